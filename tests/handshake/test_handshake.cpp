// The three handshake exports against a virtual recovery volume behind the
// disk node of a small system root.
#include "recoveryvolume.h"
#include "romvane.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using vyrsim::RecoveryConfig;
using vyrsim::RecoveryVolume;

namespace {

const char *const UsbDisk = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host0/"
                            "target0:0:0/0:0:0:0/block/sda";

void writeText(const fs::path &p, const std::string &text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
}

RecoveryConfig quick() {
    RecoveryConfig c;
    c.bootMs = c.updateMs = c.commandMs = 0;
    return c;
}

class Handshake : public ::testing::Test {
  protected:
    // rootName lets a test ask for a root whose paths are too long for a socket address.
    void makeRoot(const std::string &rootName) {
        char tmpl[] = "/tmp/handshake-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        base = tmpl;
        root = base + "/" + rootName;
        fs::create_directories(root + "/proc/self");
        fs::copy_file(HANDSHAKE_DATA "/mountinfo", root + "/proc/self/mountinfo");
        writeText(root + "/" + UsbDisk + "/dev", "8:0\n");
        writeText(root + "/" + UsbDisk + "/sda1/dev", "8:1\n");
        writeText(root + "/" + UsbDisk + "/sda1/partition", "1\n");
        fs::create_directories(root + "/sys/dev/block");
        fs::create_symlink(std::string("../../") + (UsbDisk + 4), root + "/sys/dev/block/8:0");
        fs::create_symlink(std::string("../../") + (UsbDisk + 4) + "/sda1",
                           root + "/sys/dev/block/8:1");
        // A disk inside the PC, mounted like a volume.
        const std::string nvme = "sys/devices/pci0000:00/0000:00:1d.0/nvme/nvme0/nvme0n1";
        writeText(root + "/" + nvme + "/nvme0n1p2/partition", "2\n");
        fs::create_symlink("../../" + nvme.substr(4) + "/nvme0n1p2", root + "/sys/dev/block/259:2");
        fs::create_directories(root + "/media/vyr/INTERNAL");
        fs::create_directories(root + "/dev");
        vol = root + "/media/vyr/VOL";
        spaced = root + "/media/vyr/MY VOL";
        fs::create_directories(vol);
        fs::create_directories(spaced);
        fs::create_directories(root + "/media/vyr/NODISK");
        fs::create_directories(root + "/media/vyr/NOTMOUNTED");
        setenv("PYREWICK_SYSROOT", root.c_str(), 1);
    }
    void SetUp() override { makeRoot("root"); }
    void TearDown() override {
        dev.reset();
        unsetenv("PYREWICK_SYSROOT");
        fs::remove_all(base);
    }

    // The device's socket goes up under a short name and is renamed into place.
    void plug(RecoveryConfig cfg = quick()) {
        dev = std::make_unique<RecoveryVolume>(vol, cfg);
        std::string tmp = base + ".sock";
        ASSERT_TRUE(dev->listen(tmp));
        fs::rename(tmp, root + "/dev/sda");
    }

    std::string state(const std::string &drive, int *rc = nullptr) {
        char text[129] = {};
        uint32_t count = 128;
        int r = VyrGetUpdateComplete(drive.c_str(), text, &count);
        if (rc) *rc = r;
        EXPECT_EQ(count, strlen(text));
        return std::string(text, count);
    }
    std::string state() { return state(vol); }

    // Polls the state until it starts with prefix; the final text.
    std::string waitState(const std::string &prefix) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        std::string s;
        while ((s = state()).rfind(prefix, 0) != 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return s;
    }

    int send(const std::string &cmd, const std::string &drive = "") {
        return VyrSetFileCopyCompleteEx((drive.empty() ? vol : drive).c_str(), cmd.data(),
                                        uint32_t(cmd.size()));
    }

    std::string base, root, vol, spaced;
    std::unique_ptr<RecoveryVolume> dev;
};

TEST_F(Handshake, DriveTextAndPointersAreCheckedBeforeAnythingIsSent) {
    plug();
    char text[16];
    uint32_t count = sizeof text;
    for (const char *drive : {(const char *)nullptr, "", "/", "x"}) {
        EXPECT_EQ(VyrSetFileCopyComplete(drive), -1);
        memset(text, 'x', sizeof text);
        count = 8;
        EXPECT_EQ(VyrGetUpdateComplete(drive, text, &count), -1);
        EXPECT_EQ(count, 0u); // an empty text on every failure, capacity bytes cleared
        EXPECT_EQ(std::string(text, 9), std::string(8, '\0') + "x");
        EXPECT_EQ(VyrSetFileCopyCompleteEx(drive, "reset", 5), -1);
    }
    for (const char *drive : {"E:", "media/vyr/VOL", "./VOL"}) {
        EXPECT_EQ(VyrSetFileCopyComplete(drive), -2);
        EXPECT_EQ(VyrGetUpdateComplete(drive, text, &count), -2);
        EXPECT_EQ(VyrSetFileCopyCompleteEx(drive, "reset", 5), -2);
    }
    EXPECT_LT(VyrGetUpdateComplete(vol.c_str(), nullptr, &count), 0);
    EXPECT_LT(VyrGetUpdateComplete(vol.c_str(), text, nullptr), 0);
    EXPECT_LT(VyrSetFileCopyCompleteEx(vol.c_str(), nullptr, 5), 0);
    EXPECT_TRUE(dev->records().empty());
}

TEST_F(Handshake, OnlyAMountedUsbDiskWithANodeIsReached) {
    plug();
    RecoveryVolume internal(root + "/media/vyr/INTERNAL", quick());
    ASSERT_TRUE(internal.listen(root + "/dev/nvme0n1"));
    struct Case {
        std::string drive;
        int want;
    } cases[] = {
        {root + "/media/vyr/MISSING", -ENOENT},    // no such volume
        {root + "/media/vyr/NOTMOUNTED", -ENOENT}, // a directory, not a mount point
        {root + "/media/vyr/NODISK", -ENODEV},     // mounted, but no block device behind it
        {root + "/media/vyr/INTERNAL", -ENODEV},   // a disk, but not on a USB bus
    };
    for (const auto &c : cases) {
        char text[8] = "xxxxxxx";
        uint32_t count = sizeof text;
        EXPECT_EQ(VyrSetFileCopyComplete(c.drive.c_str()), c.want) << c.drive;
        EXPECT_EQ(VyrGetUpdateComplete(c.drive.c_str(), text, &count), c.want) << c.drive;
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(std::string(text, sizeof text), std::string(sizeof text, '\0'));
        EXPECT_EQ(send("erase_test", c.drive), c.want) << c.drive;
    }
    EXPECT_TRUE(dev->records().empty());
    EXPECT_TRUE(internal.records().empty());
}

TEST_F(Handshake, MountPointFormsThatReachTheDisk) {
    plug();
    // Escaped space, whole-disk mount, trailing and doubled slashes; VOL has a
    // stale earlier line (8:17) that a later mount of 8:1 hides.
    for (const std::string &drive :
         {vol, vol + "/", spaced, spaced + "//", root + "//media/vyr/VOL"})
        EXPECT_EQ(VyrSetFileCopyComplete(drive.c_str()), 0) << drive;
    EXPECT_EQ(dev->records().size(), 5u);
}

TEST_F(Handshake, RequestsCarryTheirCdbDirectionAndData) {
    plug();
    ASSERT_EQ(VyrSetFileCopyComplete(vol.c_str()), 0);
    EXPECT_EQ(state(), "ready");
    std::string twenty = "prepare:pkg_0001.bin";
    ASSERT_EQ(twenty.size(), 20u);
    ASSERT_EQ(send(twenty), 0);
    std::string long300(300, 'c');
    ASSERT_EQ(send(long300), 0);

    auto recs = dev->records();
    ASSERT_EQ(recs.size(), 4u);
    using Bytes = std::vector<uint8_t>;
    EXPECT_EQ(recs[0].cdb, (Bytes{0xC0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(recs[0].length, 0u);
    EXPECT_EQ(recs[1].cdb, (Bytes{0xC1, 0, 0, 0, 0x80, 0}));
    EXPECT_EQ(recs[1].dir, 2);
    EXPECT_EQ(recs[1].length, 128u);
    EXPECT_EQ(recs[2].cdb, (Bytes{0xC3, 0, 0, 0, 20, 0, 0, 0, 0, 0}));
    EXPECT_EQ(recs[2].dir, 1);
    EXPECT_EQ(recs[2].length, 20u);
    EXPECT_EQ(recs[2].data, Bytes(twenty.begin(), twenty.end()));
    EXPECT_EQ(recs[3].cdb[4], 300 & 0xff);
    EXPECT_EQ(recs[3].length, 300u);
    EXPECT_EQ(recs[3].data.size(), 300u);
    EXPECT_EQ(dev->commands(), (std::vector<std::string>{twenty, long300}));
}

TEST_F(Handshake, ResultTextIsBoundedByCapacityAndDeviceData) {
    plug();
    ASSERT_EQ(send("erase_test"), 0);
    // "success" and zero bytes: count 7, the rest of the buffer zero.
    char text[64];
    memset(text, 'x', sizeof text);
    uint32_t count = 40;
    ASSERT_EQ(VyrGetUpdateComplete(vol.c_str(), text, &count), 0);
    EXPECT_EQ(count, 7u);
    EXPECT_EQ(std::string(text, 40), std::string("success") + std::string(33, '\0'));
    EXPECT_EQ(text[40], 'x'); // nothing written past the capacity

    // Capacity smaller than the text.
    memset(text, 'x', sizeof text);
    count = 4;
    ASSERT_EQ(VyrGetUpdateComplete(vol.c_str(), text, &count), 0);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(std::string(text, 5), "succx");

    // A 128-byte text without any zero byte ("running " + 120 characters).
    RecoveryConfig cfg = quick();
    cfg.hangCommand = "h";
    dev.reset();
    plug(cfg);
    ASSERT_EQ(send(std::string(120, 'h')), 0);
    char big[256];
    memset(big, 'x', sizeof big);
    count = sizeof big;
    ASSERT_EQ(VyrGetUpdateComplete(vol.c_str(), big, &count), 0);
    EXPECT_EQ(count, 128u);
    EXPECT_EQ(std::string(big, 128), "running " + std::string(120, 'h'));
    EXPECT_EQ(big[128], '\0');
}

TEST_F(Handshake, RecoveryRunsThroughItsStates) {
    RecoveryConfig cfg;
    cfg.bootMs = 300;
    cfg.commandMs = 300;
    plug(cfg);
    EXPECT_EQ(state(), "booting");
    EXPECT_EQ(waitState("ready"), "ready");
    ASSERT_EQ(send("prepare:copy_media"), 0);
    EXPECT_EQ(state(), "running prepare:copy_media");
    EXPECT_EQ(waitState("success"), "success");
}

TEST_F(Handshake, UpdateNeedsItsFileOnTheVolume) {
    plug();
    writeText(vol + "/update.zip", "PK");
    writeText(vol + "/empty.zip", "");
    ASSERT_EQ(send("update:update.zip"), 0);
    EXPECT_EQ(state(), "success");
    ASSERT_EQ(send("update:patch.zip"), 0);
    EXPECT_EQ(state(), "failed no file patch.zip");
    ASSERT_EQ(send("update:empty.zip"), 0);
    EXPECT_EQ(state(), "failed no file empty.zip");
    ASSERT_EQ(send("update:../VOL/update.zip"), 0);
    EXPECT_EQ(state().rfind("failed", 0), 0u);
}

TEST_F(Handshake, InjectedFaults) {
    RecoveryConfig cfg = quick();
    cfg.neverReady = true;
    cfg.failCommand = "erase";
    cfg.hangCommand = "format";
    cfg.scsiErrno = EIO;
    cfg.scsiErrorCount = 2;
    cfg.vanishVolume = true;
    plug(cfg);
    char text[16];
    memset(text, 'x', sizeof text);
    uint32_t count = 8;
    EXPECT_EQ(VyrGetUpdateComplete(vol.c_str(), text, &count), -EIO);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(std::string(text, 9), std::string(8, '\0') + "x"); // cleared up to the capacity
    EXPECT_EQ(send("erase_all"), -EIO);
    EXPECT_TRUE(dev->commands().empty()); // a failed request has no effect

    EXPECT_EQ(state(), "booting");
    ASSERT_EQ(send("erase_all"), 0);
    EXPECT_EQ(state(), "failed erase_all");
    EXPECT_FALSE(fs::exists(vol)); // removed when the first command arrived
    ASSERT_EQ(send("format"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(state(), "running format");
}

// A disk that reports a unit attention on the copy notice and the state
// request still carried them out: both succeed, the state text is read.
TEST_F(Handshake, UnitAttentionStillCarriesTheNoticeAndTheState) {
    RecoveryConfig cfg = quick();
    cfg.unitAttention = true;
    plug(cfg);
    EXPECT_EQ(VyrSetFileCopyComplete(vol.c_str()), 0);
    EXPECT_EQ(state(), "ready");
    ASSERT_EQ(send("format_data"), 0);
    EXPECT_EQ(waitState("success"), "success");
}

TEST_F(Handshake, ResetMakesTheVolumeLeave) {
    std::promise<std::string> left;
    dev = std::make_unique<RecoveryVolume>(vol, quick());
    dev->onLeave = [&left](const std::string &cmd) { left.set_value(cmd); };
    ASSERT_TRUE(dev->listen(root + "/dev/sda"));
    ASSERT_EQ(send("reset"), 0);
    auto gone = left.get_future();
    ASSERT_EQ(gone.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(gone.get(), "reset");
    EXPECT_FALSE(dev->onBus());
    EXPECT_LT(send("reset"), 0);
    EXPECT_LT(VyrSetFileCopyComplete(vol.c_str()), 0);
    int rc = 0;
    EXPECT_EQ(state(vol, &rc), "");
    EXPECT_LT(rc, 0);
}

TEST_F(Handshake, NodeMustBeABlockDeviceOrAVolumeSocket) {
    EXPECT_EQ(VyrSetFileCopyComplete(vol.c_str()), -ENOENT); // no node at all
    writeText(root + "/dev/sda", "not a device");
    EXPECT_EQ(VyrSetFileCopyComplete(vol.c_str()), -ENODEV);
    EXPECT_EQ(send("reset"), -ENODEV);
    fs::remove(root + "/dev/sda");
    // A block device that is not a SCSI disk refuses the pass-through call.
    // The library picks SG_IO by the node's file type and exports only the
    // three commands, so this needs a block node of the test's own: linking
    // to an existing one would send vendor commands to a real disk of the
    // machine. Without the right to make nodes the check is skipped.
    if (mknod((root + "/dev/sda").c_str(), S_IFBLK | 0600, makedev(7, 0)) != 0 ||
        access((root + "/dev/sda").c_str(), R_OK | W_OK) != 0)
        GTEST_SKIP() << "cannot make a block node here";
    char text[8] = "xxxxxxx";
    uint32_t count = sizeof text;
    EXPECT_LT(VyrGetUpdateComplete(vol.c_str(), text, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(text[0], '\0');
}

TEST_F(Handshake, SilentVolumeTimesOut) {
    // A listener that takes the request and never answers.
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string node = root + "/dev/sda";
    ASSERT_LT(node.size(), sizeof addr.sun_path);
    memcpy(addr.sun_path, node.c_str(), node.size() + 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(fd, 4), 0);
    char text[8] = "xxxxxxx";
    uint32_t count = sizeof text;
    EXPECT_EQ(VyrGetUpdateComplete(vol.c_str(), text, &count), -ETIMEDOUT);
    EXPECT_EQ(text[0], '\0');
    close(fd);
}

// A system root deep enough that its socket paths do not fit a socket address.
TEST_F(Handshake, LongSystemRootStillReachesTheSocket) {
    TearDown();
    makeRoot(std::string(60, 'r') + "/" + std::string(60, 's'));
    ASSERT_GT((root + "/dev/sda").size(), 108u);
    plug();
    EXPECT_EQ(state(), "ready");
}

} // namespace
