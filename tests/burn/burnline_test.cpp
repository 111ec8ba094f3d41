// Whole burns on the virtual line: from plug-in to success, eight at once,
// and every way a burn can fail, with the port log texts and statistics the
// operator sees.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QRegularExpression>
#include <algorithm>
#include <map>
#include <sys/stat.h>

#include "burnclock.h"
#include "burnline.h"
#include "burnstation.h"
#include "burnplan.h"
#include "burnstate.h"
#include "burnthread.h"
#include "burntestutil.h"
#include "portrefresh.h"

using burntest::contains;
using burntest::endedWith;
using burntest::startTwoLoading;

namespace {

QByteArray fileBytes(const QString &path) {
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

QString planCommand(int sn) {
    return burnPlan()->command(sn).command.trimmed();
}

} // namespace

class OneDeviceBurn : public ::testing::TestWithParam<BuildVariant> {};

TEST_P(OneDeviceBurn, FromPlugInToSuccess) {
    BurnLine bl(GetParam());
    const int id = bl.line().plug(BurnLine::hubPort(3), bl.deviceSpec());
    ASSERT_GT(id, 0);
    bl.start();
    ASSERT_TRUE(bl.runUntil([] { return endedWith(2, PORT_STATUS_SUCCESS); }, 60000))
        << bl.logDump(2);

    EXPECT_EQ(gSuccessCount.load(), 1);
    EXPECT_EQ(gFailCount.load(), 0);

    // ROM and loaders: the boot loader and image checks ran and passed, the
    // text commands arrived, the "load addr" text sits in RAM.
    vyrsim::RomDevice *rom = bl.line().romDevice(id);
    ASSERT_NE(rom, nullptr);
    const auto cmds = rom->commands();
    EXPECT_TRUE(contains(cmds, planCommand(3).toStdString()));
    EXPECT_TRUE(contains(cmds, planCommand(5).toStdString()));
    EXPECT_TRUE(contains(cmds, "setenv bootargs console=ttyS0"));
    EXPECT_TRUE(contains(cmds, "bootm"));
    const QByteArray loadAddr = burnPlan()->command(8).cmd().toLatin1();
    const auto ram = rom->readRam(0x8f000000u, size_t(loadAddr.size()) + 1);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(ram.data()), loadAddr.size()), loadAddr);
    EXPECT_EQ(ram.back(), 0);
    // A file goes in pieces of at most 64 KiB at consecutive addresses.
    std::vector<std::pair<uint32_t, uint32_t>> ubootPieces;
    for (const vyrsim::LargeAnnounce &a : rom->announces())
        if (a.write && a.address >= 0x81000000u && a.address < 0x82000000u)
            ubootPieces.emplace_back(a.address, a.total);
    EXPECT_EQ(ubootPieces, (std::vector<std::pair<uint32_t, uint32_t>>{
                               {0x81000000u, 65536}, {0x81010000u, 65536}, {0x81020000u, 18928}}));
    const auto uimage = rom->readRam(0x82000000u, 300000);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(uimage.data()), int(uimage.size())),
              fileBytes(bl.dir() + "/plan/uImage"));

    // The id is written only by the single-device build.
    const QString devId = gPortInfo[2].devId.get();
    const auto idRam = rom->readRam(BurnThread::commandRamAddress, 8);
    if (GetParam() == BuildVariant::SingleDevice) {
        ASSERT_FALSE(devId.isEmpty());
        EXPECT_EQ(QString::fromLatin1(reinterpret_cast<const char *>(idRam.data())), devId);
    } else {
        EXPECT_TRUE(devId.isEmpty());
        EXPECT_EQ(idRam[0], 0);
    }

    // The volume got the upgrade file, the media tree and the prepared file;
    // the recovery got the commands in order.
    const QString vol = QString::fromStdString(bl.line().volumeDir(id));
    EXPECT_EQ(fileBytes(vol + "/update.zip"), fileBytes(bl.dir() + "/upgrade/update.zip"));
    EXPECT_TRUE(QFile::exists(vol + "/intro.mp4"));
    EXPECT_TRUE(QFile::exists(vol + "/clips/a.mp4"));
    EXPECT_EQ(fileBytes(vol + "/extra.bin"), fileBytes(bl.dir() + "/upgrade/extra.bin"));
    vyrsim::RecoveryVolume *recovery = bl.line().recovery(id);
    ASSERT_NE(recovery, nullptr);
    EXPECT_EQ(recovery->commands(),
              (std::vector<std::string>{"update:update.zip", "format_data", "reset"}));

    EXPECT_TRUE(bl.logHas(2, "Transfer Complete! total size is 150000 Bytes")) << bl.logDump(2);
    EXPECT_TRUE(bl.logHas(2, "update:update.zip success"));
    EXPECT_TRUE(bl.logHas(2, "copy successed:update.zip"));
    EXPECT_TRUE(bl.logHas(2, "prepare file successed:extra.bin"));
    EXPECT_TRUE(bl.logHas(2, "send command : final ok!"));
}

INSTANTIATE_TEST_SUITE_P(BothBuilds, OneDeviceBurn,
                         ::testing::Values(BuildVariant::MultiPort, BuildVariant::SingleDevice));

// Hub port 8 has no row of its number: the device takes the first free row
// and is burnt without waiting for some other device to come or go.
TEST(OneDeviceOnPortEight, IsBurntOnTheFirstFreeRow) {
    BurnLine bl(BuildVariant::MultiPort);
    bl.line().plug(BurnLine::hubPort(8), bl.deviceSpec());
    bl.start();
    ASSERT_TRUE(bl.runUntil([] { return endedWith(0, PORT_STATUS_SUCCESS); }, 60000))
        << bl.logDump(0);
    EXPECT_TRUE(gPortInfo[0].portPath.get().endsWith("8"));
}

TEST(EightDevicesBurn, AllSucceedStartingCodeOneAtATime) {
    BurnLine bl(BuildVariant::MultiPort);
    QMutex lock;
    std::vector<qint64> runTimes;
    QElapsedTimer clock;
    clock.start();
    bl.line().setEventSink([&](const std::string &event) {
        if (event.rfind("run ", 0) == 0) {
            QMutexLocker l(&lock);
            runTimes.push_back(clock.nsecsElapsed());
        }
    });
    std::vector<int> ids;
    for (int n = 1; n <= 8; ++n)
        ids.push_back(bl.line().plug(BurnLine::hubPort(n), bl.deviceSpec()));
    bl.start();
    ASSERT_TRUE(bl.runUntil(
        [] {
            for (int p = 0; p < 8; ++p)
                if (!endedWith(p, PORT_STATUS_SUCCESS)) return false;
            return true;
        },
        120000))
        << bl.logDump(0);
    EXPECT_EQ(gSuccessCount.load(), 8);
    EXPECT_EQ(gFailCount.load(), 0);
    // The device on hub port 8 has no row of its number; it took the one left.
    for (int p = 0; p < 8; ++p)
        EXPECT_TRUE(gPortInfo[p].portPath.get().endsWith(QString::number(p + 1)))
            << gPortInfo[p].portPath.get().toStdString();

    // Every start of loaded code holds the run lock for its pause, so no two
    // starts come close together. The times are taken where the device sees
    // the request, so a busy machine shifts each by a scheduling delay; half
    // the pause allows for that, while starts without the lock would come
    // within a few milliseconds of each other.
    QMutexLocker l(&lock);
    ASSERT_EQ(runTimes.size(), 16u);
    std::sort(runTimes.begin(), runTimes.end());
    const qint64 pauseNs = qint64(BurnClock::scaledMs(3000)) * 1000000;
    for (size_t i = 1; i < runTimes.size(); ++i)
        EXPECT_GE(runTimes[i] - runTimes[i - 1], pauseNs / 2) << "run " << i;
}

// Failures: each leaves its cause in the port log, is counted once at the
// command index where it happened, and ends when the device is gone.
struct Failure : ::testing::Test {
    BurnLine bl{BuildVariant::MultiPort};

    int plugAndWaitFailed(const vyrsim::DeviceSpec &devSpec, int timeoutMs = 60000) {
        const int id = bl.line().plug(BurnLine::hubPort(1), devSpec);
        EXPECT_GT(id, 0);
        bl.start();
        EXPECT_TRUE(bl.runUntil(
            [] { return gPortInfo[0].lastResult.load() == PORT_STATUS_FAILED && gFailCount > 0; },
            timeoutMs))
            << bl.logDump(0);
        return id;
    }
    void expectCountedAt(int step) {
        EXPECT_EQ(gFailCount.load(), 1);
        EXPECT_EQ(gSuccessCount.load(), 0);
        for (int j = 0; j < FAIL_STEP_SLOTS; ++j)
            EXPECT_EQ(gFailCountByStep[j].load(), j == step ? 1 : 0) << "step " << j;
    }
};

TEST_F(Failure, FirstStageLoaderNeverRuns) {
    vyrsim::DeviceSpec devSpec = bl.deviceSpec();
    const int id = bl.line().plug(BurnLine::hubPort(1), devSpec);
    bl.line().romDevice(id)->injectFault(vyrsim::RequestKind::Run, vyrsim::Fault::Stall);
    bl.start();
    ASSERT_TRUE(bl.runUntil([] { return gFailCount > 0; })) << bl.logDump(0);
    EXPECT_TRUE(bl.logHas(0, "load uboot failed 15 times,maybe because the spl code run err"));
    EXPECT_TRUE(bl.logHas(0, "failed ,current step is 2 "));
    expectCountedAt(2);
    // The device is still there: the port waits in "failed" until it goes.
    EXPECT_EQ(gPortInfo[0].status.load(), PORT_STATUS_FAILED);
    bl.line().unplug(id);
    EXPECT_TRUE(bl.runUntil([] { return endedWith(0, PORT_STATUS_FAILED); }));
    EXPECT_EQ(gFailCount.load(), 1);
}

TEST_F(Failure, BootLoaderNeverAnswers) {
    const int id = bl.line().plug(BurnLine::hubPort(1), bl.deviceSpec());
    // The boot loader's start drops the device off the bus for good.
    bl.line().romDevice(id)->injectFault(vyrsim::RequestKind::Run, vyrsim::Fault::Drop, -1, 1);
    bl.start();
    ASSERT_TRUE(bl.runUntil([] { return endedWith(0, PORT_STATUS_FAILED); })) << bl.logDump(0);
    EXPECT_TRUE(bl.logHas(0, " wait uboot run failed 20 times, so make it disconnected"));
    EXPECT_TRUE(bl.logHas(0, " after load uboot, disconnect"));
    EXPECT_TRUE(bl.logHas(0, "wait uboot run ,scan system again!!! "));
    EXPECT_TRUE(bl.logHas(0, "failed because no connected device ,current step is 3 "));
    expectCountedAt(3);
    // The wait asked for a system rescan at its fifteenth tick and the failure
    // asked again; the watch thread ran it.
    EXPECT_TRUE(bl.runUntil([&] { return !gRescanRequest.load(); }));
    EXPECT_TRUE(bl.devconCalls().contains("rescan"));
}

TEST_F(Failure, CheckFailingFourTimesFailsOnTheFifth) {
    const int id = bl.line().plug(BurnLine::hubPort(1), bl.deviceSpec());
    bl.line().romDevice(id)->corruptRamCheck(true);
    bl.start();
    ASSERT_TRUE(bl.runUntil([] { return gFailCount > 0; })) << bl.logDump(0);
    const QString check = planCommand(5);
    EXPECT_TRUE(bl.logHas(0, check + " failed ")) << bl.logDump(0);
    EXPECT_EQ(bl.log(0).count("command exec once more: load uimage"), 4);
    // The boot loader's check failed once; its load was repeated and, the
    // boot loader being already there, not checked again.
    EXPECT_EQ(bl.log(0).count("command exec once more: load uboot"), 1);
    expectCountedAt(5);
}

TEST_F(Failure, DeviceLostAfterBootm) {
    vyrsim::DeviceSpec devSpec = bl.deviceSpec();
    devSpec.neverComesBack = true;
    plugAndWaitFailed(devSpec);
    ASSERT_TRUE(bl.runUntil([] { return endedWith(0, PORT_STATUS_FAILED); }));
    EXPECT_TRUE(bl.logHas(0, "boot uImage ..."));
    EXPECT_TRUE(bl.logHas(0, "cannot find disk! 30times"));
    EXPECT_TRUE(bl.logHas(0, "failed because no connected device ,current step is 11 "));
    expectCountedAt(11);
}

TEST_F(Failure, DiskNeverReady) {
    vyrsim::DeviceSpec devSpec = bl.deviceSpec();
    devSpec.recovery.neverReady = true;
    const int id = plugAndWaitFailed(devSpec);
    EXPECT_TRUE(bl.logHas(0, "cannot find disk! 30times")) << bl.logDump(0);
    EXPECT_TRUE(bl.logHas(0, "failed ,current step is 11 "));
    expectCountedAt(11);
    // The volume is still there: the port waits until it goes.
    EXPECT_EQ(gPortInfo[0].status.load(), PORT_STATUS_FAILED);
    bl.line().unplug(id);
    EXPECT_TRUE(bl.runUntil([] { return endedWith(0, PORT_STATUS_FAILED); }));
}

TEST_F(Failure, RecoveryReportsFailure) {
    vyrsim::DeviceSpec devSpec = bl.deviceSpec();
    devSpec.recovery.failCommand = "format_data";
    plugAndWaitFailed(devSpec);
    const QStringList log = bl.log(0);
    EXPECT_EQ(log.filter(QRegularExpression("^format_data failed")).size(), 1) << bl.logDump(0);
    expectCountedAt(13);
}

TEST_F(Failure, RecoveryCommandNeverFinishes) {
    vyrsim::DeviceSpec devSpec = bl.deviceSpec();
    devSpec.recovery.hangCommand = "format_data";
    plugAndWaitFailed(devSpec);
    EXPECT_TRUE(bl.logHas(0, "format_data overtime 20")) << bl.logDump(0);
    expectCountedAt(13);
}

TEST_F(Failure, UpgradeFileCannotBeCopied) {
    QFile::remove(bl.dir() + "/upgrade/update.zip");
    const int id = plugAndWaitFailed(bl.deviceSpec());
    const QString disk = QString::fromStdString(bl.line().volumeDir(id));
    const QStringList copyFailed = bl.log(0).filter("copy failed 2 times:");
    ASSERT_EQ(copyFailed.size(), 1) << bl.logDump(0);
    EXPECT_TRUE(
        copyFailed[0].endsWith("/update.zip: copy to update.zip: No such file or directory"))
        << copyFailed[0].toStdString();
    EXPECT_TRUE(bl.line().recovery(id)->commands().empty());
    expectCountedAt(11);
}

TEST_F(Failure, FileNamesLeavingTheirDirectoryAreRefused) {
    // A file one level up from the upgrade directory must never be taken.
    QFile::copy(bl.dir() + "/upgrade/update.zip", bl.dir() + "/secret.zip");
    QString plan = BurnLine::samplePlan();
    plan.replace("update:update.zip", "update:../secret.zip");
    bl.writePlan(plan);
    const int id = plugAndWaitFailed(bl.deviceSpec());
    EXPECT_TRUE(bl.logHas(0, "refused file name: ../secret.zip")) << bl.logDump(0);
    const QString vol = QString::fromStdString(bl.line().volumeDir(id));
    EXPECT_FALSE(QFile::exists(QDir(vol).absoluteFilePath("../secret.zip")));
    EXPECT_TRUE(bl.line().recovery(id)->commands().empty());
    expectCountedAt(11);
}

// A command whose tick limit runs out fails there and then: a bootm is not
// sent afterwards in the same tick (which would turn the failure into 6).
TEST_F(Failure, CommandPastItsLimitIsNotSent) {
    bl.writePlan(R"(<progress><command sn="0">bootm</command></progress>)");
    vyrsim::DeviceSpec devSpec = bl.deviceSpec();
    devSpec.rom.stage = vyrsim::StageBootLoader;
    const int id = bl.line().plug(BurnLine::hubPort(1), devSpec);
    bl.line().romDevice(id)->injectFault(vyrsim::RequestKind::Identify, vyrsim::Fault::Stall, 15);
    bl.start();
    ASSERT_TRUE(bl.runUntil([] { return gFailCount > 0; })) << bl.logDump(0);
    EXPECT_TRUE(bl.logHas(0, "command exec:bootm failed for  15 times"));
    EXPECT_EQ(gPortInfo[0].status.load(), PORT_STATUS_FAILED);
    EXPECT_TRUE(bl.line().romDevice(id)->commands().empty());
    expectCountedAt(0);
}

// The boot loader's device shows up on another hub port after it starts. The
// single-device build follows it by the id in its RAM; the multi-port build
// does not and gives up after the wait.
class Reenumerated : public ::testing::TestWithParam<BuildVariant> {};

TEST_P(Reenumerated, AfterTheBootLoaderStarts) {
    BurnLine bl(GetParam());
    const int id = bl.line().plug(BurnLine::hubPort(3), bl.deviceSpec());
    bl.start();
    vyrsim::RomDevice *rom = bl.line().romDevice(id);
    ASSERT_TRUE(bl.runUntil([&] { return rom->stage() == vyrsim::StageBootLoader; }));
    const QString oldPath = gPortInfo[2].portPath.get();
    ASSERT_TRUE(bl.line().moveTo(id, BurnLine::hubPort(6)));

    if (GetParam() == BuildVariant::SingleDevice) {
        ASSERT_TRUE(bl.runUntil([] { return endedWith(2, PORT_STATUS_SUCCESS); }, 60000))
            << bl.logDump(2);
        EXPECT_TRUE(bl.logHas(2, "rematchPortInfo"));
        EXPECT_NE(gPortInfo[2].portPath.get(), oldPath);
        EXPECT_TRUE(gPortInfo[2].portPath.get().endsWith("6"));
        EXPECT_EQ(gSuccessCount.load(), 1);
        // No other row took the device.
        for (int p = 0; p < 8; ++p) {
            if (p == 2) continue;
            EXPECT_EQ(gPortInfo[p].lastResult.load(), 0) << p;
        }
    } else {
        ASSERT_TRUE(bl.runUntil([] { return gPortInfo[2].lastResult.load() == 12; }, 60000))
            << bl.logDump(2);
        EXPECT_TRUE(bl.logHas(2, " wait uboot run failed 20 times, so make it disconnected"));
        EXPECT_FALSE(bl.logHas(2, "rematchPortInfo"));
    }
}

INSTANTIATE_TEST_SUITE_P(BothBuilds, Reenumerated,
                         ::testing::Values(BuildVariant::MultiPort, BuildVariant::SingleDevice));

TEST(StopCommand, EndsEveryThreadAndClearsThePorts) {
    BurnLine bl(BuildVariant::MultiPort);
    ASSERT_TRUE(startTwoLoading(bl));
    bl.stop();
    for (int p = 0; p < 2; ++p) {
        ASSERT_NE(bl.station().thread(p), nullptr);
        EXPECT_TRUE(bl.station().thread(p)->isFinished());
        EXPECT_EQ(gPortInfo[p].status.load(), PORT_STATUS_NONE);
        EXPECT_EQ(gPortInfo[p].progress.load(), 0);
        EXPECT_EQ(gPortInfo[p].lastResult.load(), 0);
    }
    EXPECT_FALSE(gBurning.load());
}

// A plan replaced while a device burns (the window re-reads the plan when its
// directory changes): the running burn ends on the plan it started with; the
// next burn takes the new one.
TEST(PlanReplaced, MidBurnTheRunningBurnKeepsItsPlan) {
    BurnLine bl(BuildVariant::MultiPort);
    const int id = bl.line().plug(BurnLine::hubPort(1), bl.deviceSpec());
    bl.start();
    vyrsim::RomDevice *rom = bl.line().romDevice(id);
    ASSERT_TRUE(bl.runUntil([&] { return rom->stage() == vyrsim::StageBootLoader; }));
    QString other = BurnLine::samplePlan();
    other.replace("format_data", "wipe_data");
    bl.writePlan(other);
    ASSERT_TRUE(bl.runUntil([] { return gPortInfo[0].lastResult.load() >= 11; }, 60000))
        << bl.logDump(0);
    EXPECT_EQ(gPortInfo[0].lastResult.load(), PORT_STATUS_SUCCESS) << bl.logDump(0);
    const auto commands = bl.line().recovery(id)->commands();
    EXPECT_TRUE(contains(commands, "format_data"));
    EXPECT_FALSE(contains(commands, "wipe_data"));

    // The next device burns the new plan.
    bl.line().unplug(id);
    ASSERT_TRUE(bl.runUntil([] { return gPortInfo[0].status.load() == PORT_STATUS_NONE; }));
    const int next = bl.line().plug(BurnLine::hubPort(1), bl.deviceSpec());
    ASSERT_TRUE(bl.runUntil([] { return gSuccessCount.load() + gFailCount.load() >= 2; }, 60000))
        << bl.logDump(0);
    EXPECT_TRUE(contains(bl.line().recovery(next)->commands(), "wipe_data"));
}

TEST_F(Failure, ImportedMediaDirectoryThatVanishedFailsTheBurn) {
    ASSERT_TRUE(QDir(bl.dir() + "/media").removeRecursively());
    const int id = plugAndWaitFailed(bl.deviceSpec());
    EXPECT_TRUE(bl.logHas(0, "media directory " + bl.dir() + "/media is gone or cannot be read"))
        << bl.logDump(0);
    EXPECT_FALSE(contains(bl.line().recovery(id)->commands(), "format_data"));
    expectCountedAt(12);
}

// A plan step naming a FIFO would block the burn thread in open() for ever.
TEST_F(Failure, PlanFileThatIsNotARegularFileIsRefused) {
    const QString uimage = bl.dir() + "/plan/uImage";
    ASSERT_TRUE(QFile::remove(uimage));
    ASSERT_EQ(::mkfifo(QFile::encodeName(uimage).constData(), 0600), 0);
    bl.writePlan(BurnLine::samplePlan());
    plugAndWaitFailed(bl.deviceSpec());
    EXPECT_TRUE(bl.logHas(0, "not a regular file: " + uimage)) << bl.logDump(0);
    EXPECT_EQ(gFailCount.load(), 1);
    EXPECT_EQ(gSuccessCount.load(), 0);
}
