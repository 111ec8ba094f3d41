// Burn paths no other test walks: erase mode, a plan without bootm, a device
// that stays after bootm, failing status reads, files that cannot be put into
// device RAM, and a recovery command taken on its second attempt.
#include <gtest/gtest.h>

#include <QFile>
#include <cerrno>

#include "burnline.h"
#include "burnplan.h"
#include "burnstate.h"
#include "burntestutil.h"

using burntest::endedWith;

namespace {

struct BurnPath : ::testing::Test {
    BurnLine bl{BuildVariant::MultiPort};

    int plug(const vyrsim::DeviceSpec &devSpec) {
        const int id = bl.line().plug(BurnLine::hubPort(1), devSpec);
        EXPECT_GT(id, 0);
        return id;
    }
    void waitFailedAt(int step) {
        ASSERT_TRUE(bl.runUntil([] { return gFailCount.load() > 0; }, 60000)) << bl.logDump(0);
        EXPECT_EQ(gFailCount.load(), 1);
        EXPECT_EQ(gFailCountByStep[step].load(), 1) << bl.logDump(0);
    }
    // A RAM load that fails ends the burn at once; the step counted is the
    // one after the load (the load had taken its command).
    void waitLoadFailed() {
        ASSERT_TRUE(bl.runUntil([] { return gFailCount.load() > 0; }, 60000)) << bl.logDump(0);
        EXPECT_EQ(gFailCount.load(), 1);
    }
};

} // namespace

// Erase mode: once the boot loader answers, the erase command is sent and the
// burn ends there in success; removing the device frees the port.
TEST_F(BurnPath, EraseModeEndsAtTheBootLoader) {
    gEraseMode = true;
    gEraseCommand.set("nand_scrub");
    const int id = plug(bl.deviceSpec());
    bl.start();
    ASSERT_TRUE(bl.runUntil([] { return gSuccessCount.load() == 1; }, 60000)) << bl.logDump(0);
    EXPECT_TRUE(bl.logHas(0, " erase nand, you are in erase mode: nand_scrub")) << bl.logDump(0);
    const auto cmds = bl.line().romDevice(id)->commands();
    EXPECT_NE(std::find(cmds.begin(), cmds.end(), "nand_scrub"), cmds.end());
    EXPECT_EQ(std::find(cmds.begin(), cmds.end(), "bootm"), cmds.end());
    EXPECT_EQ(gPortInfo[0].lastResult.load(), PORT_STATUS_SUCCESS);
    bl.line().unplug(id);
    EXPECT_TRUE(bl.runUntil([] { return endedWith(0, PORT_STATUS_SUCCESS); }));
}

// A plan of boot loader commands only ends in success after its last one.
TEST_F(BurnPath, PlanWithoutBootmEndsWhenAllCommandsRan) {
    bl.writePlan(R"(<progress><command sn="0">setenv a 1</command>
<command sn="1">setenv b 2</command></progress>)");
    vyrsim::DeviceSpec devSpec = bl.deviceSpec();
    devSpec.rom.stage = vyrsim::StageBootLoader;
    plug(devSpec);
    bl.start();
    ASSERT_TRUE(bl.runUntil([] { return gSuccessCount.load() == 1; })) << bl.logDump(0);
    EXPECT_TRUE(bl.logHas(0, "all cmd is finished"));
    EXPECT_TRUE(bl.logHas(0, "command exec:setenv b 2"));
}

// The device answers bootm but never leaves ROM mode.
TEST_F(BurnPath, DeviceThatStaysAfterBootm) {
    vyrsim::DeviceSpec devSpec = bl.deviceSpec();
    devSpec.rom.stayOnBootm = true;
    plug(devSpec);
    bl.start();
    waitFailedAt(11);
    EXPECT_TRUE(bl.logHas(0, " failed to call bootm")) << bl.logDump(0);
    EXPECT_TRUE(bl.logHas(0, "failed ,current step is 11 "));
}

// Status reads fail: the boot loader's first check of an image (the loaders'
// own checks come back with the load) can never be read, and fails.
TEST_F(BurnPath, FailingStatusReadsFailTheCheck) {
    const int id = plug(bl.deviceSpec());
    bl.line().romDevice(id)->injectFault(vyrsim::RequestKind::TplStatus, vyrsim::Fault::Stall);
    bl.start();
    waitFailedAt(5);
    EXPECT_TRUE(bl.logHas(0, burnPlan()->command(5).command.trimmed() + " failed "))
        << bl.logDump(0);
}

// A file the plan names but the station lacks, and RAM writes the device
// refuses: the burn fails at that command with the reason.
TEST_F(BurnPath, FileThatCannotBeOpenedFailsItsLoad) {
    QFile::remove(bl.dir() + "/plan/patch.img");
    plug(bl.deviceSpec());
    bl.start();
    waitLoadFailed();
    EXPECT_TRUE(bl.logHas(0, "can not open the file " + bl.dir() + "/plan/patch.img"))
        << bl.logDump(0);
}

TEST_F(BurnPath, RefusedRamWriteFailsTheLoad) {
    const int id = plug(bl.deviceSpec());
    bl.line().romDevice(id)->injectFault(vyrsim::RequestKind::LargeWrite, vyrsim::Fault::Stall);
    bl.start();
    waitLoadFailed();
    EXPECT_TRUE(bl.logHas(0, "write data to ram failed!")) << bl.logDump(0);
}

// The recovery refuses the first hand-over of the update command; the second
// attempt a second later goes through and the burn succeeds.
TEST_F(BurnPath, RecoveryCommandTakenOnTheSecondAttempt) {
    vyrsim::DeviceSpec devSpec = bl.deviceSpec();
    devSpec.recovery.refusedCommands = 1;
    const int id = plug(devSpec);
    bl.start();
    ASSERT_TRUE(bl.runUntil([] { return endedWith(0, PORT_STATUS_SUCCESS); }, 60000))
        << bl.logDump(0);
    EXPECT_TRUE(bl.logHas(0, "send command 2nd time : final ok!")) << bl.logDump(0);
    EXPECT_EQ(bl.line().recovery(id)->commands().front(), "update:update.zip");
}

// A device that stops answering: each loading command counts its ticks (or
// failed attempts) up to its own limit and fails with its own line.
struct TickLimit {
    const char *plan;
    const char *failLine;
};

class LoadLimit : public BurnPath, public ::testing::WithParamInterface<TickLimit> {};

TEST_P(LoadLimit, SilentDeviceFailsOnTheCommandsLimit) {
    bl.writePlan(QString("<progress>") + GetParam().plan + "</progress>");
    const int id = plug(bl.deviceSpec());
    bl.line().romDevice(id)->injectFault(vyrsim::RequestKind::Identify, vyrsim::Fault::Stall);
    bl.start();
    waitFailedAt(0);
    const QStringList lines = bl.log(0).filter(GetParam().failLine);
    EXPECT_EQ(lines.size(), 1) << bl.logDump(0);
    EXPECT_TRUE(bl.logHas(0, "failed ,current step is 0 "));
}

INSTANTIATE_TEST_SUITE_P(
    Loading, LoadLimit,
    ::testing::Values(
        TickLimit{
            R"(<command sn="0" path="spl.bin" address="80000000" run="true">load spl</command>)",
            "load spl failed 20 times,maybe because rom code cannot run"},
        TickLimit{R"(<command sn="0" path="upgrade.img" address="83000000">load to ram</command>)",
                  "upgrade.img failed for 10 times"},
        TickLimit{R"(<command sn="0" address="8f000000" cmd="upgrade:1#">load addr</command>)",
                  "load command: upgrade:1# failed for  10 times"}));

// A RAM load whose record names no file fails at once: the plan joins the
// missing name to its directory, which is refused as not a regular file.
TEST_F(BurnPath, LoadWithoutAFileFails) {
    bl.writePlan(
        R"(<progress><command sn="0" address="83000000">load to ram</command></progress>)");
    plug(bl.deviceSpec());
    bl.start();
    waitLoadFailed();
    EXPECT_TRUE(bl.logHas(0, "not a regular file: " + bl.dir() + "/plan/")) << bl.logDump(0);
}
