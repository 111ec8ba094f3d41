#include "hubsift.h"
#include "usbtreebuilder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const char kRom[] = "Skelmar Device";
const std::string kBus1 = "xHCI Host Controller (usb1)(RootHub)-";

// Eight slot buffers with a guard zone behind each, so a write past 256
// bytes shows.
class Slots {
  public:
    static constexpr size_t kGuard = 64;
    Slots() : bufs_(8, std::vector<char>(256 + kGuard, 0)) {
        for (int k = 0; k < 8; ++k) {
            std::fill(bufs_[k].begin() + 256, bufs_[k].end(), char(0x5a));
            ptrs_[k] = bufs_[k].data();
        }
    }
    char **get() { return ptrs_; }
    std::string operator[](int k) const { return std::string(bufs_[k].data()); }
    bool guardsIntact() const {
        for (const auto &b : bufs_)
            for (size_t i = 256; i < b.size(); ++i)
                if (b[i] != char(0x5a)) return false;
        return true;
    }

  private:
    std::vector<std::vector<char>> bufs_;
    char *ptrs_[8];
};

TEST(ScanUsb, NamesADeviceOnARootPort) {
    UsbTreeBuilder tree;
    tree.load("root-port3.tree");
    Slots slots;
    ASSERT_EQ(1, VyrScanUsbX3Devices(kRom, slots.get()));
    EXPECT_EQ(kBus1 + "port3", slots[0]);
}

TEST(ScanUsb, WalksBusesInNumberOrderAndHubPortsInPortOrder) {
    UsbTreeBuilder tree;
    tree.load("hub-on-root-port2.tree");
    Slots slots;
    // Neither the lower-case text nor the reader's longer text counts.
    ASSERT_EQ(3, VyrScanUsbX3Devices(kRom, slots.get()));
    EXPECT_EQ("EHCI Host Controller (usb2)(RootHub)-port2(hub)-port1", slots[0]);
    EXPECT_EQ("EHCI Host Controller (usb2)(RootHub)-port2(hub)-port4", slots[1]);
    EXPECT_EQ("xHCI Host Controller (usb10)(RootHub)-port1", slots[2]);
    // Slots past the count keep the last controller's prefix.
    EXPECT_EQ("xHCI Host Controller (usb10)(RootHub)-", slots[3]);

    // Other descriptions are found the same way.
    Slots hubs;
    ASSERT_EQ(1, VyrScanUsbX3Devices("USB Hub", hubs.get()));
    EXPECT_EQ("EHCI Host Controller (usb2)(RootHub)-port2", hubs[0]);
    Slots lower;
    ASSERT_EQ(1, VyrScanUsbX3Devices("skelmar device", lower.get()));
    EXPECT_EQ("EHCI Host Controller (usb2)(RootHub)-port2(hub)-port3", lower[0]);
}

TEST(ScanUsb, HighPortNumbersDeepChainsAndEmptyHubs) {
    UsbTreeBuilder tree;
    tree.load("wide-and-deep.tree");
    LogCapture log;
    Slots slots;
    ASSERT_EQ(4, VyrScanUsbX3Devices(kRom, slots.get()));
    std::string chain = kBus1;
    for (int i = 0; i < 7; ++i)
        chain += "port1(hub)-";
    EXPECT_EQ(chain + "port2", slots[0]);
    EXPECT_EQ(kBus1 + "port:", slots[1]);
    EXPECT_EQ(kBus1 + "port<", slots[2]);
    EXPECT_EQ("Virtual Host (usb2)(RootHub)-port~", slots[3]);
    EXPECT_NE(std::string::npos, log.text().find("[Port79]"));
}

TEST(ScanUsb, AFailedQueryFailsTheWholeScan) {
    struct Case {
        const char *change;
        const char *logLine;
        int recordedBefore;
    } cases[] = {
        {"set 2-2 maxchild many", "获得端口信息失败", 0},
        {"set usb10 maxchild 256", "获得端口信息失败", 2},
        {"set 2-2.3 bDeviceClass zz", "端口3连接失败\n", 1},
        {"unset 2-2.3 bDeviceClass", "端口3连接失败\n", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.change);
        UsbTreeBuilder tree;
        tree.load("hub-on-root-port2.tree");
        tree.apply(c.change);
        LogCapture log;
        Slots slots;
        EXPECT_EQ(-1, VyrScanUsbX3Devices(kRom, slots.get()));
        const std::string text = log.text();
        EXPECT_NE(std::string::npos, text.find(c.logLine));
        EXPECT_NE(std::string::npos, text.find("VyrScanUsbX3Devices:scan usb devices failed\n"));
        // What was found before the failure stays in the slots.
        if (c.recordedBefore > 0) {
            EXPECT_EQ("EHCI Host Controller (usb2)(RootHub)-port2(hub)-port1", slots[0]);
        }
        if (c.recordedBefore > 1) {
            EXPECT_EQ("EHCI Host Controller (usb2)(RootHub)-port2(hub)-port4", slots[1]);
        }
    }
}

TEST(ScanUsb, MissingTreeOrArgumentsFail) {
    UsbTreeBuilder tree;
    ASSERT_EQ(0, ::rename((tree.root() + "/sys/bus/usb/devices").c_str(),
                          (tree.root() + "/sys/bus/usb/gone").c_str()));
    LogCapture log;
    Slots slots;
    EXPECT_EQ(-1, VyrScanUsbX3Devices(kRom, slots.get()));
    EXPECT_NE(std::string::npos, log.text().find("没有找到主控类的设备\n"));

    EXPECT_EQ(-1, VyrScanUsbX3Devices(nullptr, slots.get()));
    EXPECT_EQ(-1, VyrScanUsbX3Devices(kRom, nullptr));
    char *oneMissing[8];
    for (int k = 0; k < 8; ++k)
        oneMissing[k] = slots.get()[k];
    oneMissing[5] = nullptr;
    EXPECT_EQ(-1, VyrScanUsbX3Devices(kRom, oneMissing));
    EXPECT_EQ(0, VyrGetDeviceHandle(nullptr, "x"));
    EXPECT_EQ(0, VyrGetDeviceHandle(kRom, nullptr));
}

TEST(ScanUsb, NoSlotOverflows) {
    // A path of 255 characters fits; one of 256 is refused; a product text
    // of 300 characters cuts the templates, never the buffers.
    UsbTreeBuilder tree;
    tree.apply("root 1 ports=2 product=" + std::string(233, 'a') + "\ndev 1-1\n" +
               "root 2 ports=2 product=" + std::string(234, 'b') + "\ndev 2-1\n" +
               "root 3 ports=2 product=" + std::string(300, 'c') + "\nhub 3-1 ports=2\n" +
               "dev 3-1.1\n");
    LogCapture log;
    Slots slots;
    ASSERT_EQ(1, VyrScanUsbX3Devices(kRom, slots.get()));
    EXPECT_EQ(255u, slots[0].size());
    EXPECT_EQ("(usb1)(RootHub)-port1", slots[0].substr(255 - 21));
    EXPECT_EQ(255u, slots[1].size());
    EXPECT_TRUE(slots.guardsIntact());
    EXPECT_NE(std::string::npos, log.text().find("longer than 255"));

    // A ninth device has no slot.
    UsbTreeBuilder nine;
    std::string text = "root 1 ports=9\n";
    for (int p = 1; p <= 9; ++p)
        text += "dev 1-" + std::to_string(p) + "\n";
    nine.apply(text);
    Slots more;
    ASSERT_EQ(8, VyrScanUsbX3Devices(kRom, more.get()));
    EXPECT_EQ(kBus1 + "port8", more[7]);
    EXPECT_TRUE(more.guardsIntact());
}

// Records what is written to a disable file: replaces it with a FIFO held open
// for reading, so each write stays in the pipe.
class DisableRecorder {
  public:
    explicit DisableRecorder(const std::string &file) {
        ::unlink(file.c_str());
        if (::mkfifo(file.c_str(), 0644) == 0) fd_ = ::open(file.c_str(), O_RDONLY | O_NONBLOCK);
    }
    ~DisableRecorder() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    std::string written() {
        std::string out;
        char buf[64];
        ssize_t n;
        while ((n = ::read(fd_, buf, sizeof buf)) > 0)
            out.append(buf, size_t(n));
        return out;
    }

  private:
    int fd_ = -1;
};

TEST(ScanUsb, AStuckDeviceHasItsPortPowerCycled) {
    UsbTreeBuilder tree;
    tree.apply("root 1 ports=4\n"
               "dev 1-1 vid=1b8e pid=c004 disk=sdb node=none\n" // stuck mass storage
               "dev 1-2 node=none\n"
               "hub 1-3 ports=4\n"
               "dev 1-3.2 node=none\n"
               "dev 1-4 vid=046d pid=c52b product=Mouse node=none\n");
    DisableRecorder rootPort1(tree.disableFile("usb1", 1));
    DisableRecorder rootPort2(tree.disableFile("usb1", 2));
    DisableRecorder hubPort2(tree.disableFile("1-3", 2));
    DisableRecorder rootPort4(tree.disableFile("usb1", 4));
    ASSERT_TRUE(rootPort1.ok() && rootPort2.ok() && hubPort2.ok() && rootPort4.ok());

    Slots slots;
    EXPECT_EQ(0, VyrScanUsbX3Devices(kRom, slots.get()));
    EXPECT_EQ("10", rootPort2.written());
    EXPECT_EQ("10", hubPort2.written());
    EXPECT_EQ("", rootPort4.written());
    EXPECT_EQ("", rootPort1.written());

    // Opening by path cycles the same way and finds nothing this time.
    EXPECT_EQ(0, VyrGetDeviceHandle(kRom, (kBus1 + "port2").c_str()));
    EXPECT_EQ("10", rootPort2.written());

    // A mass-storage search never cycles; nor does an existence check.
    char drive[4096] = "untouched";
    EXPECT_EQ(-1, VyrGetMsNumber((kBus1 + "port1").c_str(), 1, drive));
    EXPECT_EQ("", rootPort1.written());
    EXPECT_STREQ("untouched", drive);

    // Only a 1B8E device's port is power-cycled: a stuck device of another
    // vendor stays on, whatever is searched for.
    EXPECT_EQ(0, VyrScanUsbX3Devices("Mouse", slots.get()));
    EXPECT_EQ("", rootPort4.written());
}

bool acceptsWithin(int listener, int ms) {
    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, ms) != 1) return false;
    int c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return false;
    ::close(c);
    return true;
}

TEST(DeviceHandle, ConnectsToASocketNodeAboveTheStandardDescriptors) {
    UsbTreeBuilder tree(140); // node paths longer than a socket address
    tree.load("root-port3.tree");
    int listener = tree.listenOnNode("1-3");
    const std::string path = kBus1 + "port3";

    VyrHandle h = VyrGetDeviceHandle(kRom, path.c_str());
    ASSERT_GE(h, 3);
    int type = 0;
    socklen_t len = sizeof type;
    EXPECT_EQ(0, ::getsockopt(int(h), SOL_SOCKET, SO_TYPE, &type, &len));
    EXPECT_EQ(SOCK_STREAM, type);
    EXPECT_TRUE(::fcntl(int(h), F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(acceptsWithin(listener, 1000));
    ::close(int(h));

    // With standard input closed the descriptor still lands above 2.
    int savedStdin = ::dup(0);
    ::close(0);
    VyrHandle h2 = VyrGetDeviceHandle(kRom, path.c_str());
    ::dup2(savedStdin, 0);
    ::close(savedStdin);
    EXPECT_GE(h2, 3);
    if (h2 > 0) ::close(int(h2));
    ::close(listener);
}

TEST(DeviceHandle, ResultsForMissingAndUnopenableDevices) {
    UsbTreeBuilder tree;
    tree.load("hub-on-root-port2.tree");
    const std::string port1 = "EHCI Host Controller (usb2)(RootHub)-port2(hub)-port1";
    const std::string port4 = "EHCI Host Controller (usb2)(RootHub)-port2(hub)-port4";
    // Nothing there, or something else there.
    EXPECT_EQ(0, VyrGetDeviceHandle(kRom, (kBus1 + "port3").c_str()));
    EXPECT_EQ(0, VyrGetDeviceHandle(kRom, "EHCI Host Controller (usb2)(RootHub)-port2(hub)-port3"));
    // The node is a plain file: found, but not a device.
    EXPECT_EQ(-1, VyrGetDeviceHandle(kRom, port1.c_str()));
    // A socket nobody listens on.
    int listener = tree.listenOnNode("2-2.4");
    ::close(listener);
    EXPECT_EQ(-1, VyrGetDeviceHandle(kRom, port4.c_str()));
}

TEST(DeviceHandle, AWalkThatFailsAfterOpeningClosesTheDevice) {
    UsbTreeBuilder tree;
    tree.apply("root 1 ports=2\ndev 1-1\nroot 2 ports=2\nset usb2 maxchild -\n");
    int listener = tree.listenOnNode("1-1");
    LogCapture log;
    EXPECT_EQ(0, VyrGetDeviceHandle(kRom, (kBus1 + "port1").c_str()));
    EXPECT_NE(std::string::npos, log.text().find("get usb devices handle failed\n"));
    // The connection was made and then closed again: the peer sees EOF.
    pollfd p{listener, POLLIN, 0};
    ASSERT_EQ(1, ::poll(&p, 1, 1000));
    int c = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(c, 0);
    char b;
    EXPECT_EQ(0, ::read(c, &b, 1));
    ::close(c);
    ::close(listener);
}

} // namespace
