// The virtual line keeps a system root true while devices come and go.
#include "line.h"
#include "linetestutil.h"
#include "sysroot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <dirent.h>
#include <sys/stat.h>

using namespace linetest;
using vyrsim::Line;
using vyrsys::readAttr;

namespace {

std::string usbNode(const ScratchRoot &root, const std::string &devDir) {
    auto bus = vyrsys::readAttrNumber(devDir + "/busnum");
    auto dev = vyrsys::readAttrNumber(devDir + "/devnum");
    if (!bus || !dev) return "";
    char buf[32];
    std::snprintf(buf, sizeof buf, "dev/bus/usb/%03lu/%03lu", *bus, *dev);
    return root / buf;
}

bool exists(const std::string &p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0;
}

std::string realPath(const std::string &p) {
    std::error_code ec;
    return std::filesystem::canonical(p, ec).string();
}

struct LineFixture : ::testing::Test {
    ScratchRoot root;
    Line line{root.path};
    std::string hubDir = root / "sys/bus/usb/devices/usb1/1-2";

    void SetUp() override {
        ASSERT_EQ(line.addRootHub(4, "xHCI Host Controller"), 1);
        ASSERT_EQ(line.addHub("1-2", 8), "1-2");
    }
    void TearDown() override { line.stop(); }
};

TEST_F(LineFixture, TreeOfHubsAndARomDeviceWithAnAnsweringNode) {
    const std::string usb1 = root / "sys/bus/usb/devices/usb1";
    EXPECT_EQ(readAttr(usb1 + "/product"), "xHCI Host Controller");
    EXPECT_EQ(readAttr(usb1 + "/maxchild"), "4");
    EXPECT_EQ(readAttr(usb1 + "/busnum"), "1");
    EXPECT_EQ(readAttr(usb1 + "/devnum"), "1");
    EXPECT_EQ(readAttr(usb1 + "/bDeviceClass"), "09");
    EXPECT_EQ(readAttr(usb1 + "/1-0:1.0/usb1-port4/disable"), "0");

    EXPECT_EQ(readAttr(hubDir + "/bDeviceClass"), "09");
    EXPECT_EQ(readAttr(hubDir + "/maxchild"), "8");
    EXPECT_EQ(readAttr(hubDir + "/1-2:1.0/1-2-port8/disable"), "0");
    EXPECT_EQ(realPath(root / "sys/bus/usb/devices/1-2"), realPath(hubDir));

    vyrsim::DeviceSpec devSpec;
    devSpec.rom.stage = vyrsim::StageBootLoader;
    int id = line.plug("1-2.3", devSpec);
    ASSERT_GT(id, 0);
    EXPECT_EQ(line.form(id), Line::Form::Rom);
    EXPECT_EQ(line.currentPort(id), "1-2.3");

    const std::string dev = hubDir + "/1-2.3";
    EXPECT_EQ(readAttr(dev + "/idVendor"), "1b8e");
    EXPECT_EQ(readAttr(dev + "/idProduct"), "c003");
    EXPECT_EQ(readAttr(dev + "/bDeviceClass"), "00");
    EXPECT_EQ(readAttr(dev + "/busnum"), "1");
    EXPECT_EQ(realPath(root / "sys/bus/usb/devices/1-2.3"), realPath(dev));

    const std::string node = usbNode(root, dev);
    ASSERT_TRUE(isSocketFile(node)) << node;
    EXPECT_EQ(identifyAt(node), vyrsim::StageBootLoader);
    // Root hub, hub and device each have their own number on the bus.
    EXPECT_TRUE(exists(root / "dev/bus/usb/001/001"));
    EXPECT_NE(readAttr(dev + "/devnum"), readAttr(hubDir + "/devnum"));
}

TEST_F(LineFixture, UnplugRemovesEverythingAndAReplugGetsAFreshNumber) {
    int id = line.plug("1-2.1", {});
    ASSERT_GT(id, 0);
    const std::string dev = hubDir + "/1-2.1";
    const std::string node = usbNode(root, dev);
    const auto devnum = readAttr(dev + "/devnum");
    int fd = connectTo(node);
    ASSERT_GE(fd, 0);

    line.unplug(id);
    EXPECT_EQ(line.form(id), Line::Form::Gone);
    EXPECT_FALSE(exists(dev));
    EXPECT_FALSE(exists(root / "sys/bus/usb/devices/1-2.1"));
    EXPECT_FALSE(exists(node));
    // An open connection fails like a device that has gone.
    EXPECT_EQ(identify(fd), vyrwire::ErrNoDevice);
    ::close(fd);

    int again = line.plug("1-2.1", {});
    ASSERT_GT(again, 0);
    EXPECT_NE(again, id);
    EXPECT_NE(readAttr(dev + "/devnum"), devnum);
    EXPECT_EQ(identifyAt(usbNode(root, dev)), vyrsim::StageRom);

    // Ports that do not exist or are taken are refused.
    EXPECT_EQ(line.plug("1-2.1", {}), -1);
    EXPECT_EQ(line.plug("1-2.9", {}), -1);
    EXPECT_EQ(line.plug("1-2", {}), -1);
    EXPECT_EQ(line.addHub("1-2.1", 4), "");
}

TEST_F(LineFixture, DeviceComesBackOnAnotherPortAfterItsLoaderStarts) {
    vyrsim::DeviceSpec devSpec;
    devSpec.rom.leaveOnRun = true;
    devSpec.reenumeratePort = "1-2.5";
    devSpec.reenumerateMs = 50;
    int id = line.plug("1-2.2", devSpec);
    ASSERT_GT(id, 0);
    int fd = connectTo(usbNode(root, hubDir + "/1-2.2"));
    ASSERT_GE(fd, 0);
    EXPECT_EQ(runAt(fd, 0x80000000u), 4);
    ::close(fd);

    ASSERT_TRUE(line.waitForm(id, Line::Form::Booting, 3000));
    ASSERT_TRUE(line.waitForm(id, Line::Form::Rom, 3000));
    EXPECT_EQ(line.currentPort(id), "1-2.5");
    EXPECT_FALSE(exists(hubDir + "/1-2.2"));
    EXPECT_EQ(readAttr(hubDir + "/1-2.5/idProduct"), "c003");
    EXPECT_EQ(identifyAt(usbNode(root, hubDir + "/1-2.5")), vyrsim::StageFirstLoader);
}

TEST_F(LineFixture, StuckDeviceGetsItsNodeWhenItsPortIsPowerCycled) {
    vyrsim::DeviceSpec devSpec;
    devSpec.stuck = true;
    int id = line.plug("1-2.4", devSpec);
    ASSERT_GT(id, 0);
    const std::string dev = hubDir + "/1-2.4";
    ASSERT_EQ(readAttr(dev + "/idVendor"), "1b8e");
    const std::string stuckNode = usbNode(root, dev);
    EXPECT_FALSE(exists(stuckNode));

    // A lone write of 0 is not a power cycle.
    const std::string disable = hubDir + "/1-2:1.0/1-2-port4/disable";
    writeText(disable, "0");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(usbNode(root, dev), stuckNode);

    writeText(disable, "1");
    writeText(disable, "0");
    ASSERT_TRUE(eventually([&] {
        std::string node = usbNode(root, dev);
        return !node.empty() && node != stuckNode && isSocketFile(node);
    }));
    EXPECT_EQ(line.form(id), Line::Form::Rom);
    EXPECT_EQ(identifyAt(usbNode(root, dev)), vyrsim::StageRom);
}

TEST_F(LineFixture, BootmBringsTheMassStorageFormAndResetTakesItAway) {
    vyrsim::DeviceSpec devSpec;
    devSpec.rom.stage = vyrsim::StageBootLoader;
    devSpec.bootMs = 30;
    int id = line.plug("1-2.6", devSpec);
    ASSERT_GT(id, 0);
    const std::string dev = hubDir + "/1-2.6";
    int fd = connectTo(usbNode(root, dev));
    ASSERT_GE(fd, 0);
    EXPECT_EQ(textCommand(fd, "bootm 0x80008000"), 64);
    ::close(fd);
    ASSERT_TRUE(line.waitForm(id, Line::Form::MassStorage, 3000));

    EXPECT_EQ(readAttr(dev + "/idVendor"), "1b8e");
    EXPECT_NE(readAttr(dev + "/idProduct"), "c003");
    EXPECT_EQ(readAttr(dev + "/1-2.6:1.0/bInterfaceClass"), "08");
    EXPECT_TRUE(exists(usbNode(root, dev)));

    // The disk: found under the interface, and through class/block and dev/block.
    const std::string disk = root / "sys/class/block/sdb";
    EXPECT_EQ(readAttr(disk + "/dev"), "8:16");
    EXPECT_EQ(readAttr(disk + "/removable"), "1");
    EXPECT_EQ(readAttr(disk + "/sdb1/dev"), "8:17");
    EXPECT_EQ(readAttr(disk + "/sdb1/partition"), "1");
    EXPECT_EQ(realPath(disk), realPath(dev + "/1-2.6:1.0/host0/target0:0:0/0:0:0:0/block/sdb"));
    EXPECT_EQ(realPath(root / "sys/dev/block/8:17"), realPath(disk + "/sdb1"));
    EXPECT_EQ(realPath(root / "sys/dev/block/8:16"), realPath(disk));
    EXPECT_TRUE(isSocketFile(root / "dev/sdb"));
    EXPECT_TRUE(isSocketFile(root / "dev/sdb1"));

    auto mounts = vyrsys::parseMountInfo(*vyrsys::readFile(root / "proc/self/mountinfo"));
    ASSERT_EQ(mounts.size(), 1u);
    EXPECT_EQ(mounts[0].major, 8u);
    EXPECT_EQ(mounts[0].minor, 17u);
    EXPECT_EQ(realPath(root.path + mounts[0].mountPoint), realPath(line.volumeDir(id)));
    ASSERT_NE(line.recovery(id), nullptr);

    fd = connectTo(root / "dev/sdb1");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(recoveryCommand(fd, "reset"), 0);
    ::close(fd);
    ASSERT_TRUE(line.waitForm(id, Line::Form::Gone, 3000));
    EXPECT_FALSE(exists(dev));
    EXPECT_FALSE(exists(root / "sys/class/block/sdb"));
    EXPECT_FALSE(exists(root / "sys/dev/block/8:17"));
    EXPECT_FALSE(exists(root / "dev/sdb"));
    EXPECT_FALSE(exists(root / "dev/sdb1"));
    EXPECT_EQ(*vyrsys::readFile(root / "proc/self/mountinfo"), "");
    // The volume's files stay where they were, like a disk taken out.
    EXPECT_TRUE(exists(line.volumeDir(id)));
}

// A volume that moves or loses power keeps its recovery and files, and its
// mount line follows it.
TEST_F(LineFixture, VolumeMovedOrPowerCycledComesBackWithItsMount) {
    vyrsim::DeviceSpec devSpec;
    devSpec.rom.stage = vyrsim::StageBootLoader;
    devSpec.bootMs = 10;
    int id = line.plug("1-2.1", devSpec);
    int fd = connectTo(usbNode(root, hubDir + "/1-2.1"));
    ASSERT_GE(fd, 0);
    EXPECT_EQ(textCommand(fd, "bootm"), 64);
    ::close(fd);
    ASSERT_TRUE(line.waitForm(id, Line::Form::MassStorage, 3000));
    vyrsim::RecoveryVolume *volume = line.recovery(id);
    const std::string volumeDir = line.volumeDir(id);
    auto mountCount = [&] {
        return vyrsys::parseMountInfo(*vyrsys::readFile(root / "proc/self/mountinfo")).size();
    };

    ASSERT_TRUE(line.moveTo(id, "1-2.2"));
    EXPECT_EQ(line.currentPort(id), "1-2.2");
    EXPECT_FALSE(exists(hubDir + "/1-2.1"));
    EXPECT_EQ(readAttr(hubDir + "/1-2.2/1-2.2:1.0/bInterfaceClass"), "08");
    EXPECT_EQ(mountCount(), 1u);
    EXPECT_EQ(line.recovery(id), volume);
    EXPECT_EQ(line.volumeDir(id), volumeDir);
    EXPECT_FALSE(line.moveTo(id, "1-2.9"));

    const std::string disable = hubDir + "/1-2:1.0/1-2-port2/disable";
    writeText(disable, "1");
    ASSERT_TRUE(line.waitForm(id, Line::Form::Booting, 3000));
    EXPECT_EQ(mountCount(), 0u);
    EXPECT_FALSE(exists(hubDir + "/1-2.2"));
    // The port stays its own while it is off: nothing else can be plugged there.
    EXPECT_EQ(line.plug("1-2.2", {}), -1);
    writeText(disable, "0");
    ASSERT_TRUE(line.waitForm(id, Line::Form::MassStorage, 3000));
    EXPECT_EQ(mountCount(), 1u);
    EXPECT_EQ(line.recovery(id), volume);
    EXPECT_TRUE(isSocketFile(root / "dev/sdb1"));
}

TEST_F(LineFixture, DeviceThatNeverComesBackAfterBootmIsGone) {
    vyrsim::DeviceSpec devSpec;
    devSpec.rom.stage = vyrsim::StageBootLoader;
    devSpec.bootMs = 10;
    devSpec.neverComesBack = true;
    int id = line.plug("1-2.7", devSpec);
    int fd = connectTo(usbNode(root, hubDir + "/1-2.7"));
    ASSERT_GE(fd, 0);
    EXPECT_EQ(textCommand(fd, "bootm"), 64);
    ::close(fd);
    ASSERT_TRUE(line.waitForm(id, Line::Form::Gone, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(line.form(id), Line::Form::Gone);
    EXPECT_FALSE(exists(hubDir + "/1-2.7"));
}

TEST_F(LineFixture, DeviceDroppedByAFaultLeavesTheTree) {
    vyrsim::DeviceSpec devSpec;
    devSpec.setUp = [](vyrsim::RomDevice &rom) {
        rom.injectFault(vyrsim::RequestKind::Identify, vyrsim::Fault::Drop);
    };
    int id = line.plug("1-2.8", devSpec);
    ASSERT_GT(id, 0);
    EXPECT_EQ(identifyAt(usbNode(root, hubDir + "/1-2.8")), vyrwire::ErrNoDevice);
    ASSERT_TRUE(line.waitForm(id, Line::Form::Gone, 3000));
    EXPECT_FALSE(exists(hubDir + "/1-2.8"));
}

// A reader walking the tree while devices come and go must never find a
// device directory without its attributes, nor a flat link that leads nowhere.
TEST_F(LineFixture, ReadersNeverSeeAHalfMadeDevice) {
    std::atomic<bool> done{false};
    std::atomic<int> halfMade{0}, seen{0};
    std::thread reader([&] {
        while (!done) {
            for (int port = 1; port <= 4; ++port) {
                const std::string name = "1-2." + std::to_string(port);
                const std::string dir = hubDir + "/" + name;
                struct stat before, after;
                if (::stat(dir.c_str(), &before) == 0) {
                    ++seen;
                    // The same directory (not a later device's that got the freed
                    // inode number back) without its attributes is half made.
                    if (!readAttr(dir + "/idVendor") && ::stat(dir.c_str(), &after) == 0 &&
                        after.st_ino == before.st_ino &&
                        after.st_ctim.tv_sec == before.st_ctim.tv_sec &&
                        after.st_ctim.tv_nsec == before.st_ctim.tv_nsec)
                        ++halfMade;
                }
                const std::string link = root / ("sys/bus/usb/devices/" + name);
                struct stat ls, ts;
                if (::lstat(link.c_str(), &ls) == 0 && ::stat(link.c_str(), &ts) != 0 &&
                    ::lstat(link.c_str(), &ls) == 0 && ::stat(link.c_str(), &ts) != 0)
                    ++halfMade;
            }
        }
    });
    // Two devices on at a time: each plug and unplug happens next to a device
    // the reader is looking at.
    int previous = -1;
    for (int i = 0; i < 200; ++i) {
        int id = line.plug("1-2." + std::to_string(1 + i % 4), {});
        ASSERT_GT(id, 0);
        if (previous > 0) line.unplug(previous);
        previous = id;
    }
    done = true;
    reader.join();
    EXPECT_EQ(halfMade.load(), 0);
    EXPECT_GT(seen.load(), 0); // the reader did overlap the plugging
}

} // namespace
