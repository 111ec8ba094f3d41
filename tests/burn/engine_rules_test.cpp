// The engine's small rules that are easy to get wrong: wait-limit bounds, the
// preparation credit, the port log length rules, the statistics line, file
// name checks, port matching, the watch thread's scan and the pause a closing
// gate ends.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <atomic>
#include <sys/stat.h>
#include <thread>

#include "buildvariant.h"
#include "burnclock.h"
#include "burnline.h"
#include "burnstate.h"
#include "burnthread.h"
#include "devicegate.h"
#include "portrefresh.h"
#include "probedevthread.h"

namespace {

struct CleanState : ::testing::Test {
    void SetUp() override { resetBurnState(); }
    void TearDown() override {
        resetBurnState();
        setBuildVariant(BuildVariant::SingleDevice);
    }
};

class CopyProbe : public BurnThread {
  public:
    CopyProbe() : BurnThread(0) {}
};

// Reaches the loading counters a burn leaves behind.
class CounterProbe : public BurnThread {
  public:
    CounterProbe() : BurnThread(0) {}
    void leaveStaleCounters() {
        mCrcRetry = 3;
        mUbootFailCount = 20;
        mLoadedStage = 2;
        mUbootLoaded = true;
        mJustLoaded = true;
        mCurBurnCmd = 7;
    }
    bool countersFresh() const {
        return mCrcRetry == 0 && mUbootFailCount == 0 && mLoadedStage == 0 && !mUbootLoaded &&
               !mJustLoaded && mCurBurnCmd == 0;
    }
};

} // namespace

TEST(WaitLimits, OutOfRangeCountsFallBackToTheDefault) {
    EXPECT_EQ(BurnThread::bootLoaderWaitLimit("9"), 35);
    EXPECT_EQ(BurnThread::bootLoaderWaitLimit("10"), 10);
    EXPECT_EQ(BurnThread::bootLoaderWaitLimit("300"), 300);
    EXPECT_EQ(BurnThread::bootLoaderWaitLimit("301"), 35);
    EXPECT_EQ(BurnThread::bootLoaderWaitLimit(""), 35);
    EXPECT_EQ(BurnThread::bootmWaitLimit("4"), 30);
    EXPECT_EQ(BurnThread::bootmWaitLimit("5"), 5);
    EXPECT_EQ(BurnThread::bootmWaitLimit("301"), 30);
    EXPECT_EQ(BurnThread::bootmWaitLimit("abc"), 30);
}

TEST(PrepareCredit, CopyTimeIsCreditedLeavingEightTicks) {
    const qint64 MiB = 1 << 20;
    EXPECT_EQ(BurnThread::creditPrepareCopy(5, 12, 100 * MiB), 4); // the cap lowers it
    EXPECT_EQ(BurnThread::creditPrepareCopy(5, 20, 100 * MiB), 12);
    EXPECT_EQ(BurnThread::creditPrepareCopy(5, 40, 100 * MiB), 15);
    EXPECT_EQ(BurnThread::creditPrepareCopy(5, 20, 200 * MiB), 5); // credit >= limit: none
    EXPECT_EQ(BurnThread::creditPrepareCopy(5, 20, 9 * MiB), 5);
}

TEST_F(CleanState, PortLogTakesEveryLineUpToItsBound) {
    BurnThread t(3);
    t.logShow(QString());
    EXPECT_FALSE(gPortLogPending[3].load());
    EXPECT_TRUE(gPortLog[3].text.isEmpty());

    const QString text(40, QLatin1Char('x'));
    for (int i = 0; i < 10; ++i)
        t.logShow(text);
    EXPECT_TRUE(gPortLogPending[3].load());
    const QString log = gPortLog[3].text.get();
    // Each line is "[T 3][hh:mm:ss]: " + 40 characters; all ten are kept,
    // one line break between two.
    EXPECT_EQ(log.count(text), 10);
    EXPECT_TRUE(log.startsWith("[T 3]["));
    EXPECT_EQ(log.count('\n'), 9);

    PortRefresh refresh;
    EXPECT_EQ(refresh.takePortLog(3), log);
    EXPECT_FALSE(gPortLogPending[3].load());
    t.logShow("again");
    EXPECT_TRUE(refresh.takePortLog(3).endsWith("]: again"));
}

TEST_F(CleanState, PendingLogIsTakenWholeWithTheCountOfLinesPastItsBound) {
    PortRefresh refresh;
    gPortLog[1].text.set(QString(512, 'a'));
    gPortLogPending[1] = true;
    EXPECT_EQ(refresh.takePortLog(1), QString(512, 'a'));
    EXPECT_TRUE(gPortLog[1].text.isEmpty());
    EXPECT_FALSE(gPortLogPending[1].load());
    // Lines that did not fit are counted once, in a line of their own.
    gPortLog[1].text.set(QStringLiteral("last shown"));
    gPortLogHidden[1] = 7;
    gPortLogPending[1] = true;
    const QStringList lines = refresh.takePortLog(1).split('\n');
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], "last shown");
    EXPECT_TRUE(lines[1].startsWith("[T 1]: 7 further log line(s)")) << lines[1].toStdString();
    EXPECT_EQ(gPortLogHidden[1].load(), 0);
    gPortLog[1].text.set(QString(511, 'a'));
    gPortLogPending[1] = true;
    EXPECT_EQ(refresh.takePortLog(1).size(), 511);
    gMainLog.set("main");
    EXPECT_EQ(refresh.takeMainLog(), "main");
    EXPECT_TRUE(gMainLog.isEmpty());
}

TEST_F(CleanState, StatisticsLineListsNonZeroStepsBelowTheStepCount) {
    EXPECT_EQ(PortRefresh::statisticsText(), "success:0 failed:0 failed postion:  ");
    gSuccessCount = 12;
    for (int step : {2, 5, 5, 30})
        recordFailure(step);
    gStepCount = 0;
    EXPECT_EQ(PortRefresh::statisticsText(), "success:12 failed:4 failed postion:  ");
    gStepCount = 10;
    EXPECT_EQ(PortRefresh::statisticsText(), "success:12 failed:4 failed postion:   s2:1 s5:2");
    gStepCount = 4;
    EXPECT_EQ(PortRefresh::statisticsText(), "success:12 failed:4 failed postion:   s2:1");
}

// A burn that failed part way (say, at its third check attempt) must not
// leave the next burn on the port with fewer attempts.
TEST_F(CleanState, NewBurnStartsWithFreshLoadingCounters) {
    CounterProbe t;
    t.leaveStaleCounters();
    gPortInfo[0].status = PORT_STATUS_START;
    t.tick();
    EXPECT_EQ(gPortInfo[0].status.load(), PORT_STATUS_LOADING);
    EXPECT_TRUE(t.countersFresh());
}

TEST(FileNames, OnlyPlainNamesAreTaken) {
    EXPECT_TRUE(BurnThread::isPlainFileName("update.zip"));
    EXPECT_TRUE(BurnThread::isPlainFileName("patch-1.2.zip"));
    EXPECT_TRUE(BurnThread::isPlainFileName("fw..1.zip"));
    EXPECT_TRUE(BurnThread::isPlainFileName("..zip"));
    for (const char *bad : {"", ".", "..", "../update.zip", "a/b", "/etc/passwd", "a\\b", "x/.."})
        EXPECT_FALSE(BurnThread::isPlainFileName(bad)) << bad;
}

TEST(CopyDirectory, OverwriteReplacesExistingFilesAndRecurses) {
    QTemporaryDir tmp;
    QDir root(tmp.path());
    root.mkpath("from/sub");
    root.mkpath("to");
    auto write = [](const QString &path, const QByteArray &data) {
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(data);
    };
    write(root.filePath("from/a.txt"), "new");
    write(root.filePath("from/sub/b.txt"), "b");
    write(root.filePath("to/a.txt"), "old");
    CopyProbe t;
    EXPECT_FALSE(t.copyDirectory(QDir(root.filePath("from")), QDir(root.filePath("to")), false));
    EXPECT_TRUE(t.copyDirectory(QDir(root.filePath("from")), QDir(root.filePath("to")), true));
    QFile a(root.filePath("to/a.txt"));
    a.open(QIODevice::ReadOnly);
    EXPECT_EQ(a.readAll(), "new");
    EXPECT_TRUE(QFile::exists(root.filePath("to/sub/b.txt")));

    // A linked directory that leads back into the tree is refused, not
    // followed for ever.
    QFile::link(root.filePath("from"), root.filePath("from/sub/loop"));
    EXPECT_FALSE(t.copyDirectory(QDir(root.filePath("from")), QDir(root.filePath("to2")), true));
    EXPECT_EQ(t.copyError(), "linked directory loops loop");
}

// The media listing takes what the directory listing shows by default: a
// linked directory elsewhere is copied, hidden entries and special files
// (a dangling link, a FIFO that would block the copy) are left out, and a
// link in the linked directory back to it is a loop.
TEST(CopyDirectory, DefaultListingAndLinkedDirectories) {
    QTemporaryDir tmp;
    QDir root(tmp.path());
    root.mkpath("media");
    root.mkpath("elsewhere/deep");
    root.mkpath("to");
    auto write = [](const QString &path) {
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write("x");
    };
    write(root.filePath("media/clip.mp4"));
    write(root.filePath("media/.hidden"));
    write(root.filePath("elsewhere/deep/b.mp4"));
    QFile::link(root.filePath("elsewhere"), root.filePath("media/linked"));
    QFile::link(root.filePath("gone"), root.filePath("media/dangling"));
    ASSERT_EQ(::mkfifo(root.filePath("media/pipe").toLocal8Bit().constData(), 0600), 0);
    CopyProbe t;
    ASSERT_TRUE(t.copyDirectory(QDir(root.filePath("media")), QDir(root.filePath("to")), true))
        << t.copyError().toStdString();
    EXPECT_TRUE(QFile::exists(root.filePath("to/clip.mp4")));
    EXPECT_TRUE(QFile::exists(root.filePath("to/linked/deep/b.mp4")));
    EXPECT_FALSE(QFileInfo(root.filePath("to/linked")).isSymLink());
    EXPECT_FALSE(QFileInfo::exists(root.filePath("to/.hidden")));
    EXPECT_FALSE(QFileInfo::exists(root.filePath("to/pipe")));
    EXPECT_FALSE(QFileInfo(root.filePath("to/dangling")).isSymLink());

    QFile::link(root.filePath("elsewhere"), root.filePath("elsewhere/deep/up"));
    EXPECT_FALSE(t.copyDirectory(QDir(root.filePath("media")), QDir(root.filePath("to3")), true));
}

TEST_F(CleanState, PortMatchingByTheLastCharacterOfThePath) {
    setBuildVariant(BuildVariant::MultiPort);
    QVector<QPair<int, QString>> recorded;
    PortRefresh refresh([&](int port, const QString &path) { recorded.append({port, path}); });
    const QString base = "xHCI Host Controller (usb1)(RootHub)-port2(hub)-port";

    // Two new devices: the first goes to its own row, the second waits.
    gDevPath[0].set(base + "3");
    gDevPath[1].set(base + "5");
    gDevCount = 2;
    auto m = refresh.matchDevicesToPorts();
    ASSERT_EQ(m.assigned.size(), 1);
    EXPECT_EQ(m.assigned[0].port, 2);
    EXPECT_EQ(gPortInfo[2].portPath.get(), base + "3");
    EXPECT_EQ(gPortInfo[2].status.load(), PORT_STATUS_CONNECTED);
    m = refresh.matchDevicesToPorts();
    ASSERT_EQ(m.assigned.size(), 1);
    EXPECT_EQ(m.assigned[0].port, 4);
    EXPECT_EQ(recorded.size(), 2);

    // A path ending in 8 has no row of its number: first free row, no status.
    gDeviceChanged = false;
    gDevPath[2].set(base + "8");
    gDevCount = 3;
    m = refresh.matchDevicesToPorts();
    ASSERT_EQ(m.assigned.size(), 1);
    EXPECT_EQ(m.assigned[0].port, 0);
    EXPECT_EQ(gPortInfo[0].status.load(), PORT_STATUS_NONE);
    EXPECT_TRUE(gDeviceChanged.load()); // the next scan marks it connected
    EXPECT_TRUE(m.message.isEmpty());

    // Its own row is taken: the first free row, and the operator is told
    // once, however many refreshes run while the box is open.
    gPortInfo[6].portPath.set("elsewhere");
    gPortInfo[6].status = PORT_STATUS_LOADING;
    gDevPath[3].set(base.left(base.size() - 1) + "7");
    gDevCount = 4;
    m = refresh.matchDevicesToPorts();
    EXPECT_EQ(m.message, PortRefresh::kPullOutMessage);
    ASSERT_EQ(m.assigned.size(), 1);
    EXPECT_EQ(m.assigned[0].port, 1);
    EXPECT_EQ(gPortInfo[1].status.load(), PORT_STATUS_NONE);
    gDevPath[4].set(base.left(base.size() - 1) + "6");
    gPortInfo[5].status = PORT_STATUS_LOADING;
    gDevCount = 5;
    EXPECT_TRUE(refresh.messageOpen());
    EXPECT_TRUE(refresh.matchDevicesToPorts().message.isEmpty());
    refresh.messageClosed();
    EXPECT_FALSE(refresh.matchDevicesToPorts().message.isEmpty());
}

TEST_F(CleanState, SingleDeviceBuildWaitsForTheListToCatchUp) {
    setBuildVariant(BuildVariant::SingleDevice);
    PortRefresh refresh;
    gPortInfo[0].portPath.set("old-path-1");
    gPortInfo[0].status = PORT_STATUS_UPDATE_BURNING_TOUBOOT;
    gDevPath[0].set("new-path-6");
    gDevCount = 1;
    EXPECT_TRUE(refresh.matchDevicesToPorts().assigned.isEmpty());
    setBuildVariant(BuildVariant::MultiPort);
    EXPECT_EQ(refresh.matchDevicesToPorts().assigned.size(), 1);
}

TEST_F(CleanState, NoThreadsWithoutBurningOrForUnassignedPorts) {
    PortRefresh refresh;
    gPortInfo[0].portPath.set("none");
    gPortInfo[0].status = PORT_STATUS_CONNECTED;
    refresh.startThreads();
    EXPECT_EQ(refresh.thread(0), nullptr);
    EXPECT_EQ(refresh.thread(1), nullptr);
    gBurning = true;
    refresh.startThreads();
    EXPECT_EQ(refresh.thread(0), nullptr);        // "none" never gets one
    ASSERT_NE(refresh.thread(1), nullptr);        // an empty path counts as assigned
    EXPECT_FALSE(refresh.thread(1)->isRunning()); // but its port has no device
}

TEST(WatchThread, ScanMarksArrivalsAndDeparturesOfConnectedPortsOnly) {
    BurnLine bl(BuildVariant::MultiPort);
    ProbeDevThread probe;
    QSignalSpy spy(&probe, &ProbeDevThread::newDevice);
    const int a = bl.line().plug(BurnLine::hubPort(3), bl.deviceSpec());
    const int b = bl.line().plug(BurnLine::hubPort(4), bl.deviceSpec());
    probe.scanDevices();
    ASSERT_EQ(gDevCount.load(), 2);
    const QStringList paths = currentDevPaths();

    // Remembered rows: one idle, one burning; an unknown device changes nothing.
    gPortInfo[2].portPath.set(paths[0]);
    gPortInfo[3].portPath.set(paths[1]);
    gPortInfo[3].status = PORT_STATUS_LOADING;
    probe.scanDevices();
    EXPECT_EQ(gPortInfo[2].status.load(), PORT_STATUS_CONNECTED);
    EXPECT_EQ(spy.count(), 1);
    EXPECT_EQ(gPortInfo[3].status.load(), PORT_STATUS_LOADING);

    bl.line().unplug(a);
    bl.line().unplug(b);
    probe.scanDevices();
    EXPECT_EQ(gDevCount.load(), 0);
    EXPECT_EQ(gPortInfo[2].status.load(), PORT_STATUS_NONE);
    EXPECT_EQ(gPortInfo[3].status.load(), PORT_STATUS_LOADING);
    EXPECT_FALSE(gDeviceChanged.load());
}

// An ordinary user cannot install the device rules: the log panel says once
// how to, the tool is not run again and again, and the line comes back only
// when the devices without access changed.
TEST(WatchThread, DriverReinstallWithoutRootIsExplainedOnce) {
    BurnLine bl(BuildVariant::MultiPort);
    QStringList calls;
    ProbeDevThread::setDevconRunner([&calls](const QStringList &arguments) {
        calls << arguments.join(' ');
        return true;
    });
    ProbeDevThread::setRootCheck([] { return false; });
    vyrsim::DeviceSpec stuck = bl.deviceSpec();
    stuck.stuck = true; // its node is missing: no access
    const int a = bl.line().plug(BurnLine::hubPort(1), stuck);
    ProbeDevThread probe;
    QString panel;
    auto passes = [&](int n) {
        for (int i = 0; i < n; ++i) {
            gDeviceChanged = false; // no scan (it would power-cycle the port)
            probe.pass();
            panel += gMainLog.take();
        }
    };
    passes(30);
    EXPECT_EQ(panel.count(ProbeDevThread::needRootText()), 1) << panel.toStdString();
    EXPECT_TRUE(panel.contains(ProbeDevThread::rootCommandLine()));
    EXPECT_TRUE(calls.filter("update").isEmpty());

    // A second device without access: said again, once.
    bl.line().plug(BurnLine::hubPort(2), stuck);
    passes(20);
    EXPECT_EQ(panel.count(ProbeDevThread::needRootText()), 2);
    bl.line().unplug(a);

    // As root the tool is run.
    ProbeDevThread::setRootCheck([] { return true; });
    passes(10);
    EXPECT_EQ(calls.filter("update").size(), 1);
    ProbeDevThread::setRootCheck(nullptr);
    ProbeDevThread::setDevconRunner(nullptr);
}

TEST(Clock, ScaleShortensDurations) {
    BurnClock::setScale(0.05);
    EXPECT_EQ(BurnClock::scaledMs(1000), 50);
    EXPECT_EQ(BurnClock::scaledMs(3000), 150);
    EXPECT_EQ(BurnClock::scaledMs(1), 1);
    BurnClock::setScale(-1);
    EXPECT_EQ(BurnClock::scaledMs(1000), 1000);
}

// The driver tool the watch thread runs: its arguments reach it, a tool that
// ends by a signal or never ends counts as failed (the latter is killed at its
// limit), and a tool that is not there fails at once.
TEST(WatchThread, DriverToolRunsAndIsEndedAtItsLimit) {
    ProbeDevThread::setRootCheck([] { return false; }); // the operator's own tool
    QTemporaryDir tmp;
    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(tmp.path()));
    auto tool = [](const QByteArray &body) {
        QFile f(QStringLiteral("devcon"));
        f.remove();
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("#!/bin/sh\n" + body + "\n");
        f.close();
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    };
    tool("echo \"$@\" > args; echo noise; echo noise >&2");
    EXPECT_TRUE(ProbeDevThread::runDevcon({QStringLiteral("rescan"), QStringLiteral("a b")}));
    QFile args(QStringLiteral("args"));
    ASSERT_TRUE(args.open(QIODevice::ReadOnly));
    EXPECT_EQ(args.readAll(), "rescan a b\n");

    tool("kill -9 $$");
    EXPECT_FALSE(ProbeDevThread::runDevcon({QStringLiteral("rescan")}));

    BurnClock::setScale(0.01); // the 30 s limit becomes 300 ms
    tool("echo $$ > pid; exec sleep 60");
    EXPECT_FALSE(ProbeDevThread::runDevcon({QStringLiteral("rescan")}));
    BurnClock::setScale(-1);
    QFile pidFile(QStringLiteral("pid"));
    ASSERT_TRUE(pidFile.open(QIODevice::ReadOnly));
    const QByteArray pid = pidFile.readAll().trimmed();
    EXPECT_FALSE(QFile::exists(QStringLiteral("/proc/") + QString::fromLatin1(pid)))
        << "the tool was left running";

    QFile::remove(QStringLiteral("devcon"));
    EXPECT_FALSE(ProbeDevThread::runDevcon({QStringLiteral("rescan")}));
    QDir::setCurrent(before);
    ProbeDevThread::setRootCheck(nullptr);
}

// A pause within a step ends when the port's gate closes: a closing program
// does not sit out the 3 and 5 s pauses of the steps it interrupts.
TEST(Gate, ClosingEndsAPauseInProgress) {
    DeviceGate gate;
    EXPECT_TRUE(gate.pause(1));
    std::atomic<bool> paused{false};
    std::thread step([&] { paused = !gate.pause(600000); });
    QThread::msleep(20);
    gate.close();
    step.join();
    EXPECT_TRUE(paused.load());
    EXPECT_FALSE(gate.pause(600000)); // closed: no pause at all
    gate.open();
    EXPECT_TRUE(gate.isOpen());
}
