// Whole burns on the virtual line with records on: one record per counted
// result, with the step the statistics counted, the line naming the failure,
// the statuses the port went through and the port's log lines.
#include <gtest/gtest.h>

#include <QMutex>
#include <QMutexLocker>
#include <QTemporaryDir>
#include <map>

#include "burnline.h"
#include "burnplan.h"
#include "burnrecorder.h"
#include "burnstate.h"
#include "recordstore.h"
#include "resultgate.h"

TEST(BurnRecords, EachCountedResultIsOneRecordWithItsStepsAndLog) {
    QTemporaryDir station;
    const QString path = RecordStore::pathIn(station.path());
    BurnRecorder recorder({path, QString(), QStringLiteral("line-a")});
    QMutex lock;
    std::map<int, BurnRecord> told; // by port
    recorder.setObserver([&](const BurnRecord &r, bool stored) {
        EXPECT_TRUE(stored);
        QMutexLocker l(&lock);
        told[r.port] = r;
    });
    {
        BurnLine bl(BuildVariant::MultiPort);
        ResultGate::reset();
        BurnRecorder::setActive(&recorder);
        vyrsim::DeviceSpec failing = bl.deviceSpec();
        failing.recovery.failCommand = "update";
        bl.line().plug(BurnLine::hubPort(1), bl.deviceSpec());
        bl.line().plug(BurnLine::hubPort(2), failing);
        bl.line().plug(BurnLine::hubPort(3), bl.deviceSpec());
        bl.start();
        const bool done = bl.runUntil(
            [&] {
                QMutexLocker l(&lock);
                return told.size() == 3;
            },
            120000);
        ASSERT_TRUE(done) << bl.logDump(1);
        EXPECT_EQ(gSuccessCount.load(), 2);
        EXPECT_EQ(gFailCount.load(), 1);
        EXPECT_EQ(gFailCountByStep[11].load(), 1);
        const int planCount = burnPlan()->commandCount();
        bl.stop();
        BurnRecorder::setActive(nullptr);

        RecordStore store;
        ASSERT_TRUE(store.open(path, true)) << store.errorText().toStdString();
        RecordStore::Filter all;
        all.withLog = true;
        const QVector<BurnRecord> records = store.records(all);
        ASSERT_EQ(records.size(), 3);
        for (const BurnRecord &r : records) {
            SCOPED_TRACE(r.port);
            QMutexLocker l(&lock);
            EXPECT_EQ(told[r.port].id, r.id);
            EXPECT_EQ(r.station, "line-a");
            EXPECT_EQ(r.variant, "multi");
            EXPECT_EQ(r.portPath,
                      QStringLiteral("xHCI Host Controller (usb1)(RootHub)-port2(hub)-port%1")
                          .arg(r.port + 1));
            EXPECT_EQ(r.planCommands, planCount);
            EXPECT_TRUE(r.package.isEmpty());
            EXPECT_TRUE(r.deviceId.isEmpty()); // the multi-port build makes no id
            EXPECT_LT(r.startedAt, r.endedAt);
            // The statuses of a whole burn, in time order.
            ASSERT_GE(r.steps.size(), 5);
            EXPECT_EQ(r.steps[0].status, PORT_STATUS_START);
            EXPECT_EQ(r.steps[1].status, PORT_STATUS_LOADING);
            QList<int> statuses;
            for (int i = 0; i < r.steps.size(); ++i) {
                statuses << r.steps[i].status;
                if (i > 0) {
                    EXPECT_LE(r.steps[i - 1].enteredAt, r.steps[i].enteredAt);
                }
            }
            EXPECT_TRUE(statuses.contains(PORT_STATUS_WAIT_BOOTM));
            EXPECT_TRUE(statuses.contains(PORT_STATUS_RECOVERY));
            EXPECT_EQ(r.steps.last().enteredAt, r.endedAt);
            // The port's log lines, as the engine wrote them.
            QStringList texts;
            for (const QString &line : r.logLines) {
                EXPECT_TRUE(line.startsWith(QStringLiteral("[T %1][").arg(r.port)));
                texts << line.mid(line.indexOf("]: ") + 3);
            }
            EXPECT_EQ(texts, bl.log(r.port));
        }
        const BurnRecord &bad = records[0].port == 1   ? records[0]
                                : records[1].port == 1 ? records[1]
                                                       : records[2];
        ASSERT_EQ(bad.port, 1);
        EXPECT_EQ(bad.result(), "failure");
        EXPECT_EQ(bad.failStep, 11);
        EXPECT_EQ(bad.steps.last().status, PORT_STATUS_FAILED);
        // The line naming the cause, not the counting line after it.
        EXPECT_TRUE(bad.failText.contains("update:update.zip failed"))
            << bad.failText.toStdString();
        EXPECT_TRUE(bad.logLines.last().contains("current step is 11"));
        for (const BurnRecord &r : records) {
            if (r.port == 1) continue;
            EXPECT_EQ(r.result(), "success");
            EXPECT_EQ(r.failStep, -1);
            EXPECT_TRUE(r.failText.isEmpty());
            EXPECT_EQ(r.steps.last().status, PORT_STATUS_SUCCESS);
        }
    }
    ResultGate::reset();
}
