// The scan library looking at the virtual line through the system root: the
// tree the line builds is the tree the scan understands.
#include "hubsift.h"
#include "line.h"
#include "linetestutil.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>

using namespace linetest;
using vyrsim::Line;

namespace {

const char kRom[] = "Skelmar Device";
const char kPrefix[] = "xHCI Host Controller (usb1)(RootHub)-port2(hub)-";

struct Scan {
    char buf[8][256];
    char *slots[8];
    int count = 0;
    explicit Scan(const char *description) {
        std::memset(buf, 0, sizeof buf);
        for (int i = 0; i < 8; ++i)
            slots[i] = buf[i];
        count = VyrScanUsbX3Devices(description, slots);
    }
};

struct LineScan : ::testing::Test {
    ScratchRoot root;
    Line line{root.path};
    void SetUp() override {
        ::setenv("PYREWICK_SYSROOT", root.path.c_str(), 1);
        ASSERT_EQ(line.addRootHub(4), 1);
        ASSERT_EQ(line.addHub("1-2", 8), "1-2");
    }
    void TearDown() override {
        line.stop();
        ::unsetenv("PYREWICK_SYSROOT");
    }
};

TEST_F(LineScan, ScanFollowsPlugAndUnplug) {
    EXPECT_EQ(Scan(kRom).count, 0);
    int a = line.plug("1-2.1", {});
    int b = line.plug("1-2.4", {});
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    Scan two(kRom);
    ASSERT_EQ(two.count, 2);
    EXPECT_EQ(std::string(two.slots[0]), std::string(kPrefix) + "port1");
    EXPECT_EQ(std::string(two.slots[1]), std::string(kPrefix) + "port4");

    VyrHandle h = VyrGetDeviceHandle(kRom, two.slots[1]);
    ASSERT_GT(h, 2);
    EXPECT_EQ(identify(int(h)), vyrsim::StageRom);
    ::close(int(h));

    line.unplug(a);
    Scan one(kRom);
    ASSERT_EQ(one.count, 1);
    EXPECT_EQ(std::string(one.slots[0]), std::string(kPrefix) + "port4");
}

TEST_F(LineScan, ScanPowerCyclesAStuckDeviceWhichThenShows) {
    vyrsim::DeviceSpec devSpec;
    devSpec.stuck = true;
    int id = line.plug("1-2.3", devSpec);
    ASSERT_GT(id, 0);
    EXPECT_EQ(Scan(kRom).count, 0);
    EXPECT_TRUE(eventually([] { return Scan(kRom).count == 1; }));
    EXPECT_EQ(line.form(id), Line::Form::Rom);
}

TEST_F(LineScan, MassStorageFormIsFoundWithItsVolume) {
    vyrsim::DeviceSpec devSpec;
    devSpec.rom.stage = vyrsim::StageBootLoader;
    devSpec.bootMs = 20;
    int id = line.plug("1-2.5", devSpec);
    ASSERT_GT(id, 0);
    const std::string path = std::string(kPrefix) + "port5";
    VyrHandle h = VyrGetDeviceHandle(kRom, path.c_str());
    ASSERT_GT(h, 2);
    EXPECT_EQ(textCommand(int(h), "bootm"), 64);
    ::close(int(h));
    ASSERT_TRUE(line.waitForm(id, Line::Form::MassStorage, 3000));

    EXPECT_EQ(Scan(kRom).count, 0);
    char drive[PATH_MAX] = {};
    EXPECT_EQ(VyrGetMsNumber(path.c_str(), 0, drive), 1);
    EXPECT_EQ(VyrGetMsNumber(path.c_str(), 1, drive), 1);
    EXPECT_EQ(std::string(drive), line.volumeDir(id));
    // The same device seen from the port next to it is not there.
    EXPECT_EQ(VyrGetMsNumber((std::string(kPrefix) + "port6").c_str(), 0, drive), 0);
}

} // namespace
