// Burns cut short: a record is on disk from the start of its burn and grows
// with each step; what an earlier run left "running" is "interrupted" after
// the next start, in the store and on the line's server, each burn once.
#include <gtest/gtest.h>

#include <QMutex>
#include <QMutexLocker>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include "burnline.h"
#include "burnrecorder.h"
#include "burnstate.h"
#include "pgserver.h"
#include "recordforwarder.h"
#include "recordstore.h"
#include "recordsummary.h"
#include "resultgate.h"

namespace {

BurnRecord running(int port, int steps) {
    BurnRecord r;
    r.id = BurnRecord::newId();
    r.station = QStringLiteral("line-a");
    r.variant = QStringLiteral("multi");
    r.port = port;
    r.portPath = QStringLiteral("path-%1").arg(port);
    r.planCommands = 14;
    r.startedAt = QDateTime::currentDateTimeUtc();
    r.state = BurnRecord::State::Running;
    r.failStep = steps;
    r.logLines = {QStringLiteral("[T %1][06:00:00]: loading").arg(port)};
    r.failText = r.logLines.last();
    for (int i = 0; i < steps; ++i)
        r.steps.append({i == 0 ? PORT_STATUS_START : PORT_STATUS_LOADING + i - 1,
                        r.startedAt.addMSecs(100 * i)});
    r.endedAt = r.steps.last().enteredAt;
    return r;
}

BurnRecord finished(BurnRecord r, bool success) {
    r.state = BurnRecord::State::Done;
    r.success = success;
    r.failStep = success ? -1 : 11;
    r.failText = success ? QString() : QStringLiteral("update failed");
    r.endedAt = r.steps.last().enteredAt.addMSecs(500);
    r.steps.append({success ? PORT_STATUS_SUCCESS : PORT_STATUS_FAILED, r.endedAt});
    return r;
}

QVector<BurnRecord> stored(const QString &path) {
    RecordStore store;
    if (!store.open(path, true)) return {};
    RecordStore::Filter all;
    all.withLog = true;
    return store.records(all);
}

BurnRecord byId(const QVector<BurnRecord> &records, const QString &id) {
    for (const BurnRecord &r : records)
        if (r.id == id) return r;
    return BurnRecord();
}

struct Interruption : ::testing::Test {
    void SetUp() override {
        resetBurnState();
        ResultGate::reset();
    }
    void TearDown() override {
        resetBurnState();
        ResultGate::reset();
    }
};

} // namespace

// One run writes a burn as it goes and another that never ends; the next run
// finds the second "running" and marks it interrupted, with its steps, once.
TEST_F(Interruption, RunningRecordsOfAnEarlierRunBecomeInterrupted) {
    QTemporaryDir dir;
    const QString path = RecordStore::pathIn(dir.path());
    const BurnRecord done = running(0, 3);
    const BurnRecord cut = running(1, 4);
    int told = 0;
    {
        BurnRecorder recorder({path, QString(), QStringLiteral("line-a")});
        recorder.setObserver([&](const BurnRecord &, bool) { ++told; });
        recorder.update(done); // the burn starts
        recorder.update(cut);
        ASSERT_TRUE(recorder.flush(10000));
        // Both are on the disk while they run.
        const QVector<BurnRecord> during = stored(path);
        ASSERT_EQ(during.size(), 2);
        EXPECT_EQ(byId(during, cut.id).result(), "running");
        EXPECT_EQ(byId(during, cut.id).steps.size(), 4);
        recorder.submit(finished(done, true), ResultGate::hold(0));
        ASSERT_TRUE(recorder.flush(10000));
        // Only the result is told, not the writes of a burn under way.
        EXPECT_EQ(told, 1);
        EXPECT_EQ(ResultGate::shown(0).hold, false);
    }
    // The first run is gone without ending the second burn.
    const QVector<BurnRecord> left = stored(path);
    ASSERT_EQ(left.size(), 2);
    EXPECT_EQ(byId(left, done.id).result(), "success");
    EXPECT_EQ(byId(left, done.id).steps.size(), 4);
    EXPECT_EQ(byId(left, cut.id).result(), "running");

    for (int start = 0; start < 2; ++start) {
        SCOPED_TRACE(start);
        BurnRecorder recorder({path, QString(), QStringLiteral("line-a")});
        ASSERT_TRUE(recorder.flush(10000));
        const QVector<BurnRecord> after = stored(path);
        ASSERT_EQ(after.size(), 2);
        const BurnRecord r = byId(after, cut.id);
        EXPECT_EQ(r.result(), "interrupted");
        EXPECT_FALSE(r.success);
        EXPECT_EQ(r.failStep, 4);
        ASSERT_EQ(r.steps.size(), 4);
        EXPECT_EQ(r.steps.last().status, cut.steps.last().status);
        EXPECT_EQ(r.endedAt, cut.steps.last().enteredAt);
        EXPECT_EQ(byId(after, done.id).result(), "success");
        // Said once, by the start that found it.
        EXPECT_EQ(gMainLog.get().count("recorded as interrupted"), 1)
            << gMainLog.get().toStdString();
    }

    RecordStore store;
    ASSERT_TRUE(store.open(path, true));
    RecordSummary s;
    ASSERT_TRUE(store.summary(&s));
    EXPECT_EQ(s.total, 1);
    EXPECT_EQ(s.successes, 1);
    EXPECT_EQ(s.failures, 0);
    EXPECT_EQ(s.interrupted, 1);
    EXPECT_TRUE(s.text().contains("interrupted 1")) << s.text().toStdString();
    EXPECT_TRUE(s.json().contains("\"interrupted\":1"));
    RecordStore::Filter f;
    f.result = 2;
    ASSERT_EQ(store.records(f).size(), 1);
    EXPECT_EQ(store.records(f)[0].id, cut.id);
    EXPECT_EQ(store.records(f)[0].toJson(false)["result"].toString(), "interrupted");
}

// A store written by the release before (schema 1: results success and
// failure only, outbox without sequence numbers) is taken over whole.
TEST_F(Interruption, StoreOfTheEarlierSchemaIsMigrated) {
    QTemporaryDir dir;
    const QString path = RecordStore::pathIn(dir.path());
    QDir().mkpath(QFileInfo(path).absolutePath());
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "schema1");
        db.setDatabaseName(path);
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        for (const char *sql :
             {"CREATE TABLE burns (id TEXT PRIMARY KEY NOT NULL, station TEXT NOT NULL, variant "
              "TEXT NOT NULL, port INTEGER NOT NULL, port_path TEXT NOT NULL, device_id TEXT NOT "
              "NULL, package TEXT NOT NULL, package_sha256 TEXT NOT NULL, plan_commands INTEGER "
              "NOT NULL, started_at TEXT NOT NULL, ended_at TEXT NOT NULL, result TEXT NOT NULL "
              "CHECK (result IN ('success', 'failure')), fail_step INTEGER, fail_text TEXT, "
              "log_lines TEXT NOT NULL)",
              "CREATE TABLE steps (burn_id TEXT NOT NULL REFERENCES burns(id), status INTEGER NOT "
              "NULL, entered_at TEXT NOT NULL)",
              "CREATE INDEX steps_burn ON steps(burn_id)",
              "CREATE INDEX burns_ended ON burns(ended_at)",
              "CREATE INDEX burns_result_step ON burns(result, fail_step)",
              "CREATE INDEX burns_port_result ON burns(port, result)",
              "CREATE TABLE outbox (burn_id TEXT PRIMARY KEY NOT NULL REFERENCES burns(id))",
              "INSERT INTO burns VALUES ('11111111-2222-3333-4444-555555555555', 'line-a', "
              "'multi', 3, 'p3', '', '', '', 14, '2026-12-08T06:00:00.000Z', "
              "'2026-12-08T06:00:09.000Z', 'failure', 7, 'broken', 'a\nb')",
              "INSERT INTO steps VALUES ('11111111-2222-3333-4444-555555555555', 2, "
              "'2026-12-08T06:00:00.000Z')",
              "INSERT INTO steps VALUES ('11111111-2222-3333-4444-555555555555', 12, "
              "'2026-12-08T06:00:09.000Z')",
              "INSERT INTO outbox VALUES ('11111111-2222-3333-4444-555555555555')",
              "PRAGMA user_version = 1"})
            ASSERT_TRUE(q.exec(QString::fromLatin1(sql))) << sql;
    }
    QSqlDatabase::removeDatabase("schema1");

    RecordStore store;
    ASSERT_TRUE(store.open(path)) << store.errorText().toStdString();
    EXPECT_EQ(store.schemaVersion(), 2);
    EXPECT_EQ(store.outboxCount(), 1);
    QVector<RecordStore::OutboxEntry> entries;
    const QVector<BurnRecord> queued = store.outbox(10, &entries);
    ASSERT_EQ(queued.size(), 1);
    EXPECT_EQ(queued[0].result(), "failure");
    EXPECT_EQ(queued[0].failStep, 7);
    EXPECT_EQ(queued[0].logLines, QStringList({"a", "b"}));
    EXPECT_EQ(queued[0].steps.size(), 2);
    // The new results are accepted, and the steps still belong to their burn.
    ASSERT_TRUE(store.write({running(0, 2)}, true)) << store.errorText().toStdString();
    EXPECT_TRUE(store.removeFromOutbox(entries));
    EXPECT_EQ(store.outboxCount(), 1); // the running record's
    QSqlDatabase raw = QSqlDatabase::addDatabase("QSQLITE", "fkcheck");
    raw.setDatabaseName(path);
    ASSERT_TRUE(raw.open());
    {
        QSqlQuery check(raw);
        ASSERT_TRUE(check.exec("PRAGMA foreign_key_check"));
        EXPECT_FALSE(check.next());
        ASSERT_TRUE(check.exec("PRAGMA integrity_check") && check.next());
        EXPECT_EQ(check.value(0).toString(), "ok");
    }
    raw.close();
    raw = QSqlDatabase();
    QSqlDatabase::removeDatabase("fkcheck");
}

// A record updated while the forwarder was sending its earlier state stays
// queued: the forwarder's removal takes only the state it read.
TEST_F(Interruption, AnUpdateDuringForwardingStaysQueued) {
    QTemporaryDir dir;
    RecordStore store;
    ASSERT_TRUE(store.open(RecordStore::pathIn(dir.path())));
    const BurnRecord r = running(2, 2);
    ASSERT_TRUE(store.write({r}, true));
    QVector<RecordStore::OutboxEntry> read;
    ASSERT_EQ(store.outbox(10, &read).size(), 1);
    ASSERT_TRUE(store.write({finished(r, false)}, true)); // while it was being sent
    ASSERT_TRUE(store.removeFromOutbox(read));
    QVector<RecordStore::OutboxEntry> again;
    const QVector<BurnRecord> queued = store.outbox(10, &again);
    ASSERT_EQ(queued.size(), 1);
    EXPECT_EQ(queued[0].result(), "failure");
    EXPECT_EQ(queued[0].steps.size(), 3);
    ASSERT_TRUE(store.removeFromOutbox(again));
    EXPECT_EQ(store.outboxCount(), 0);
}

// Burns on the virtual line: the record is in the store from the first step
// on, grows with the steps, and a Stop in the middle leaves it interrupted.
TEST_F(Interruption, ABurnIsOnDiskAsItGoesAndStopLeavesItInterrupted) {
    QTemporaryDir station;
    const QString path = RecordStore::pathIn(station.path());
    BurnRecorder recorder({path, QString(), QStringLiteral("line-a")});
    BurnLine bl(BuildVariant::MultiPort);
    BurnRecorder::setActive(&recorder);
    bl.line().plug(BurnLine::hubPort(1), bl.deviceSpec());
    bl.start();
    QString id;
    // Under way: "running", with more than its first step.
    const bool underWay = bl.runUntil(
        [&] {
            recorder.flush(1000);
            for (const BurnRecord &r : stored(path))
                if (r.result() == "running" && r.steps.size() >= 3) {
                    id = r.id;
                    return true;
                }
            return false;
        },
        60000);
    ASSERT_TRUE(underWay) << bl.logDump(0);
    bl.stop();
    ASSERT_TRUE(recorder.flush(10000));
    BurnRecorder::setActive(nullptr);
    const QVector<BurnRecord> after = stored(path);
    ASSERT_EQ(after.size(), 1);
    EXPECT_EQ(after[0].id, id);
    EXPECT_EQ(after[0].result(), "interrupted");
    EXPECT_GE(after[0].steps.size(), 3);
    EXPECT_EQ(after[0].steps[0].status, PORT_STATUS_START);
    EXPECT_EQ(gSuccessCount.load() + gFailCount.load(), 0);
}

// On the line's server: a burn forwarded while running is replaced by its
// result, one forwarded running and then found interrupted by the next start
// is replaced too, and nothing is counted twice.
TEST_F(Interruption, TheServerGetsEveryUpdateOnce) {
    PgServer pg;
    ASSERT_TRUE(pg.made()) << pg.error().toStdString();
    ASSERT_TRUE(pg.start()) << pg.error().toStdString();
    QTemporaryDir dir;
    const QString path = RecordStore::pathIn(dir.path());
    const BurnRecord ok = running(0, 2);
    const BurnRecord cut = running(1, 3);
    {
        BurnRecorder recorder({path, pg.url(), QStringLiteral("line-a"), 100});
        recorder.update(ok);
        recorder.update(cut);
        ASSERT_TRUE(recorder.flush(10000));
        ASSERT_TRUE(recorder.forwarder()->drain(20000)) << gMainLog.get().toStdString();
        EXPECT_EQ(pg.query("SELECT count(*) FROM burns WHERE result = 'running'")
                      .value(0)
                      .value(0)
                      .toInt(),
                  2);
        recorder.submit(finished(ok, true), ResultGate::hold(0));
        ASSERT_TRUE(recorder.flush(10000));
        ASSERT_TRUE(recorder.forwarder()->drain(20000)) << gMainLog.get().toStdString();
        EXPECT_EQ(recorder.forwarder()->forwarded(), 2);
    }
    {
        BurnRecorder recorder({path, pg.url(), QStringLiteral("line-a"), 100});
        ASSERT_TRUE(recorder.flush(10000));
        ASSERT_TRUE(recorder.forwarder()->drain(20000)) << gMainLog.get().toStdString();
    }
    auto one = [&](const QString &sql) {
        const auto rows = pg.query(sql);
        EXPECT_EQ(rows.size(), 1) << sql.toStdString() << ": " << pg.error().toStdString();
        return rows.value(0);
    };
    EXPECT_EQ(one("SELECT count(*), count(DISTINCT id) FROM burns"),
              QVariantList({qint64(2), qint64(2)}));
    EXPECT_EQ(one(QStringLiteral("SELECT result FROM burns WHERE id = '%1'").arg(ok.id)).value(0),
              "success");
    EXPECT_EQ(one(QStringLiteral("SELECT count(*) FROM steps WHERE burn_id = '%1'").arg(ok.id))
                  .value(0)
                  .toInt(),
              3);
    EXPECT_EQ(
        one(QStringLiteral("SELECT result, fail_step FROM burns WHERE id = '%1'").arg(cut.id)),
        QVariantList({QStringLiteral("interrupted"), 3}));
    EXPECT_EQ(one(QStringLiteral("SELECT count(*) FROM steps WHERE burn_id = '%1'").arg(cut.id))
                  .value(0)
                  .toInt(),
              3);
    const QVariantList view =
        one("SELECT sum(burns), sum(successes), sum(interrupted) FROM yield_by_station_hour");
    EXPECT_EQ(view.value(0).toInt(), 1);
    EXPECT_EQ(view.value(1).toInt(), 1);
    EXPECT_EQ(view.value(2).toInt(), 1);
    RecordStore store;
    ASSERT_TRUE(store.open(path));
    EXPECT_EQ(store.outboxCount(), 0);
}
