// The recorder thread: records committed in the order made, the port's
// result released after the commit, and a store that cannot write.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <mutex>

#include "burnrecorder.h"
#include "burnstate.h"
#include "recordstore.h"
#include "resultgate.h"

namespace {

BurnRecord made(BurnRecorder &recorder, int port, bool success) {
    BurnRecord r = recorder.baseRecord(port, 14);
    r.id = BurnRecord::newId();
    r.startedAt = QDateTime::currentDateTimeUtc();
    r.endedAt = r.startedAt.addMSecs(1500);
    r.success = success;
    r.failStep = success ? -1 : 7;
    r.steps = {{2, r.startedAt}, {success ? 11 : 12, r.endedAt}};
    return r;
}

QStringList storedIds(const QString &path) {
    RecordStore store;
    QStringList ids;
    if (!store.open(path, true)) return ids;
    for (const BurnRecord &r : store.records({}))
        ids << r.id;
    return ids;
}

struct Recorder : ::testing::Test {
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

TEST_F(Recorder, CommitsEachRecordThenReleasesItsPort) {
    QTemporaryDir dir;
    QTemporaryDir packageDir;
    const QString package = packageDir.filePath("fw_v2.zip");
    {
        QFile f(package);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("abc");
    }
    const QString path = RecordStore::pathIn(dir.path());
    std::mutex seenLock;
    QStringList seen;
    QStringList storedAtCallback;
    BurnRecorder recorder({path, QString(), QStringLiteral("line-a")});
    recorder.setPackage(package);
    recorder.setObserver([&](const BurnRecord &r, bool stored) {
        std::lock_guard<std::mutex> lock(seenLock);
        seen << r.id;
        // Told only once the record can be read back from the file.
        if (stored && storedIds(path).contains(r.id)) storedAtCallback << r.id;
    });

    QStringList ids;
    for (int port = 0; port < 8; ++port) {
        const uint32_t ticket = ResultGate::hold(port);
        gPortInfo[port].status = PORT_STATUS_SUCCESS;
        BurnRecord r = made(recorder, port, port != 4);
        EXPECT_EQ(r.station, "line-a");
        EXPECT_EQ(r.package, "fw_v2.zip");
        // SHA-256 of "abc".
        EXPECT_EQ(r.packageSha256,
                  "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
        ids << r.id;
        recorder.submit(r, ticket);
    }
    ASSERT_TRUE(recorder.flush(10000));
    EXPECT_EQ(storedIds(path), ids);
    {
        std::lock_guard<std::mutex> lock(seenLock);
        EXPECT_EQ(seen, ids);
        EXPECT_EQ(storedAtCallback, ids);
    }
    for (int port = 0; port < 8; ++port)
        EXPECT_FALSE(ResultGate::shown(port).hold) << port;
    EXPECT_TRUE(gMainLog.isEmpty()) << gMainLog.get().toStdString();
}

TEST_F(Recorder, AStoreThatCannotWriteKeepsRecordsInMemoryAndSaysSoOnce) {
    QTemporaryDir dir;
    const QString path = RecordStore::pathIn(dir.path());
    // The store's directory cannot be made while a file has its name.
    const QString blocker = dir.filePath("records");
    {
        QFile f(blocker);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    std::mutex lock;
    int notStored = 0;
    BurnRecorder recorder({path, QString(), QStringLiteral("line-a"), 50});
    recorder.setObserver([&](const BurnRecord &, bool stored) {
        std::lock_guard<std::mutex> l(lock);
        if (!stored) ++notStored;
    });
    QStringList ids;
    for (int i = 0; i < 3; ++i) {
        const uint32_t ticket = ResultGate::hold(i);
        gPortInfo[i].status = PORT_STATUS_FAILED;
        BurnRecord r = made(recorder, i, false);
        ids << r.id;
        recorder.submit(r, ticket);
        // Burning goes on: each result is painted although it is not stored.
        for (int n = 0; n < 200 && ResultGate::shown(i).hold; ++n)
            QThread::msleep(10);
        EXPECT_FALSE(ResultGate::shown(i).hold);
    }
    EXPECT_FALSE(recorder.flush(300));
    EXPECT_EQ(recorder.heldCount(), 3);
    {
        std::lock_guard<std::mutex> l(lock);
        EXPECT_EQ(notStored, 3);
    }
    QThread::msleep(200); // several retries
    const QString told = gMainLog.get();
    EXPECT_EQ(told.count("cannot write"), 1) << told.toStdString();
    EXPECT_TRUE(told.contains(path));

    // The store works again: the kept records go in, in order.
    ASSERT_TRUE(QFile::remove(blocker));
    ASSERT_TRUE(recorder.flush(10000));
    EXPECT_EQ(recorder.heldCount(), 0);
    EXPECT_EQ(storedIds(path), ids);
    EXPECT_TRUE(gMainLog.get().contains("works again; 3 kept record(s) written"))
        << gMainLog.get().toStdString();
}
