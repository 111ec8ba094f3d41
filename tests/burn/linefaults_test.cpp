// Whole burns on the virtual line through the paths that went wrong once:
// Start again after Stop with the devices still plugged, plans whose recovery
// commands repeat the media copy, skip an sn, or prepare a file by a refused
// name, a volume that reports a unit attention, and a re-match whose id read
// fails.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include "burnline.h"
#include "burnplan.h"
#include "burnstate.h"
#include "burntestutil.h"

using burntest::contains;
using burntest::endedWith;
using burntest::startTwoLoading;

namespace {

struct LineBurn : ::testing::Test {
    BurnLine bl{BuildVariant::MultiPort};

    int burnOne(const vyrsim::DeviceSpec &devSpec, int result) {
        const int id = bl.line().plug(BurnLine::hubPort(1), devSpec);
        EXPECT_GT(id, 0);
        bl.start();
        EXPECT_TRUE(
            bl.runUntil([result] { return gPortInfo[0].lastResult.load() == result; }, 60000))
            << bl.logDump(0);
        return id;
    }
    void expectFailedAt(int step) {
        EXPECT_TRUE(bl.runUntil([] { return gFailCount.load() > 0; }));
        EXPECT_EQ(gFailCount.load(), 1);
        EXPECT_EQ(gFailCountByStep[step].load(), 1) << bl.logDump(0);
    }
};

} // namespace

// Stop while two devices load, then Start: both are found again and burnt.
TEST_F(LineBurn, StartAfterStopBurnsTheDevicesStillPlugged) {
    ASSERT_TRUE(startTwoLoading(bl));
    bl.stop();
    ASSERT_EQ(gPortInfo[0].status.load(), PORT_STATUS_NONE);
    bl.start();
    ASSERT_TRUE(bl.runUntil(
        [] { return endedWith(0, PORT_STATUS_SUCCESS) && endedWith(1, PORT_STATUS_SUCCESS); },
        90000))
        << bl.logDump(0) << bl.logDump(1);
    EXPECT_EQ(gSuccessCount.load(), 2);
}

// The media were copied by the first copy_media; the second neither copies
// nor moves on, and ends on its wait limit.
TEST_F(LineBurn, SecondMediaCopyEndsInOvertime) {
    bl.writePlan(
        QString(BurnLine::samplePlan()).replace("format_data(prepare:extra.bin)", "copy_media"));
    burnOne(bl.deviceSpec(), PORT_STATUS_FAILED);
    EXPECT_TRUE(bl.logHas(0, "copy_media overtime 20")) << bl.logDump(0);
    expectFailedAt(13);
}

// sn 12 is missing: the plan counts 13 records, and record 13 lies beyond
// them; it is never handed to the recovery.
TEST_F(LineBurn, RecordBeyondThePlanCountIsNotSent) {
    bl.writePlan(teststation::planText(R"(<command sn="13">format_data</command>)"));
    ASSERT_EQ(burnPlan()->commandCount(), 13);
    const int id = bl.line().plug(BurnLine::hubPort(1), bl.deviceSpec());
    bl.start();
    // No reset at the end: the volume stays, the port stays at success.
    ASSERT_TRUE(bl.runUntil([] { return gSuccessCount.load() == 1; }, 60000)) << bl.logDump(0);
    EXPECT_EQ(bl.line().recovery(id)->commands(), std::vector<std::string>{"update:update.zip"});
}

// A prepared file by a name that would leave the upgrade directory is a
// failed prepared copy; the burn goes on. Two dots inside a name are plain.
TEST_F(LineBurn, RefusedPreparedNameIsAFailedPreparedCopy) {
    QFile::copy(bl.dir() + "/upgrade/extra.bin", bl.dir() + "/upgrade/fw..1.bin");
    bl.writePlan(QString(BurnLine::samplePlan())
                     .replace("format_data(prepare:extra.bin)", "format_data(prepare:../x.bin)")
                     .replace("<command sn=\"14\"",
                              "<command sn=\"14\">erase_cache(prepare:fw..1.bin)</command>\n"
                              "<command sn=\"15\""));
    const int id = burnOne(bl.deviceSpec(), PORT_STATUS_SUCCESS);
    EXPECT_TRUE(bl.logHas(0, "prepare file failed:../x.bin: refused file name")) << bl.logDump(0);
    EXPECT_TRUE(bl.logHas(0, "prepare file successed:fw..1.bin")) << bl.logDump(0);
    const QString vol = QString::fromStdString(bl.line().volumeDir(id));
    EXPECT_TRUE(QFile::exists(vol + "/fw..1.bin"));
    EXPECT_TRUE(contains(bl.line().recovery(id)->commands(), "reset"));
}

// The recovery answers the state request with a unit attention and valid
// data: it is still seen ready, and the burn succeeds.
TEST_F(LineBurn, UnitAttentionOnTheStateRequest) {
    vyrsim::DeviceSpec devSpec = bl.deviceSpec();
    devSpec.recovery.unitAttention = true;
    burnOne(devSpec, PORT_STATUS_SUCCESS);
    EXPECT_TRUE(bl.logHas(0, "update:update.zip success")) << bl.logDump(0);
}

// Single-device build: the boot loader's device shows up on another port and
// its id cannot be read; the re-match says so and the burn fails.
TEST(LineRematch, FailedIdReadFailsTheBurn) {
    BurnLine bl(BuildVariant::SingleDevice);
    const int id = bl.line().plug(BurnLine::hubPort(3), bl.deviceSpec());
    bl.start();
    vyrsim::RomDevice *rom = bl.line().romDevice(id);
    ASSERT_TRUE(bl.runUntil([&] { return rom->stage() == vyrsim::StageBootLoader; }));
    rom->injectFault(vyrsim::RequestKind::LargeRead, vyrsim::Fault::Stall);
    ASSERT_TRUE(bl.line().moveTo(id, BurnLine::hubPort(6)));
    ASSERT_TRUE(
        bl.runUntil([] { return gPortInfo[2].lastResult.load() == PORT_STATUS_FAILED; }, 60000))
        << bl.logDump(2);
    EXPECT_TRUE(bl.logHas(2, "read command data to ram failed! ")) << bl.logDump(2);
    EXPECT_TRUE(bl.runUntil([] { return gFailCount.load() == 1; }));
    EXPECT_EQ(gFailCountByStep[3].load(), 1);
}
