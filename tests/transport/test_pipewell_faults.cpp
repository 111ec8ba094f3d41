// Handles that reach no device, devices that stall, time out, vanish or talk
// nonsense, short bulk transfers, and many devices at once.
#include "pipewell.h"
#include "romdevice.h"
#include "logcapture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using vyrsim::Fault;
using vyrsim::RequestKind;

int readMem(VyrUsbDrv &drv, uint32_t address, uint8_t *out, uint32_t len, uint32_t *returned) {
    uint8_t in[4];
    std::memcpy(in, &address, 4);
    return usbDeviceIoControl(&drv, IOCTL_READ_MEM, in, 4, out, len, returned, nullptr);
}

int announceWrite(VyrUsbDrv &drv, uint32_t address, const std::vector<uint8_t> &data) {
    uint8_t h[16] = {};
    uint32_t total = uint32_t(data.size());
    uint32_t sum = vyrsim::internetChecksum(data.data(), data.size());
    std::memcpy(h, &address, 4);
    std::memcpy(h + 4, &total, 4);
    std::memcpy(h + 8, &sum, 4);
    uint32_t sent = 0;
    return usbDeviceIoControl(&drv, IOCTL_WRITE_LARGE_MEM, h, 16, nullptr, 0, &sent, nullptr);
}

TEST(PipewellHandles, InvalidHandleTouchesNothing) {
    LogCapture log;
    VyrUsbDrv drv{INVALID_HANDLE_VALUE, 0x81, 0x02};
    uint8_t buf[64];
    uint32_t n = 7;
    EXPECT_EQ(readMem(drv, 0, buf, 64, &n), 0);
    EXPECT_EQ(usbReadFile(&drv, buf, 64, &n, nullptr), 0);
    EXPECT_EQ(usbWriteFile(&drv, buf, 64, &n, nullptr), 0);
    EXPECT_EQ(n, 7u);
    // Reset answers "no device" rather than 0, which would mean "reset done".
    EXPECT_EQ(ResetDev(&drv), -4);
    EXPECT_EQ(ResetDev(nullptr), -4);
    EXPECT_EQ(log.text(), "hDevice == INVALID_HANDLE_VALUE\n");
}

// Descriptors that are closed, a regular file, or not a descriptor at all fail
// like a device that is gone; a character device that is not USB fails in
// libusb. All of them log the request's failure line and store a 0 count.
TEST(PipewellHandles, DescriptorsThatAreNoDevice) {
    char name[] = "/tmp/pipewell-regular-XXXXXX";
    int regular = ::mkstemp(name);
    ASSERT_GE(regular, 3);
    ::unlink(name);
    int closed = ::dup(regular);
    ::close(closed);
    for (VyrHandle h : {VyrHandle(regular), VyrHandle(closed), VyrHandle(0), VyrHandle(1 << 20)}) {
        SCOPED_TRACE(h);
        LogCapture log;
        VyrUsbDrv drv{h, 0, 0};
        OpenUsbDevice(&drv);
        uint8_t buf[64];
        uint32_t n = 7;
        EXPECT_EQ(readMem(drv, 0, buf, 64, &n), 0);
        EXPECT_EQ(n, 0u);
        n = 7;
        EXPECT_EQ(usbWriteFile(&drv, buf, 64, &n, nullptr), 0);
        EXPECT_EQ(n, 0u);
        EXPECT_EQ(ResetDev(&drv), -4);
        EXPECT_EQ(log.text(),
                  "IOCTL_READ_MEM_Handler ret=-4 [gone]\nusbWriteFile len=64,ret=-4 [gone]\n"
                  "Reset Skelmar Device\n");
    }
    ::close(regular);

    int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    ASSERT_GE(null, 3);
    LogCapture log;
    VyrUsbDrv drv{null, 0, 0};
    OpenUsbDevice(&drv);
    uint8_t out[4];
    uint32_t n = 7;
    EXPECT_EQ(usbDeviceIoControl(&drv, IOCTL_IDENTIFY_HOST, nullptr, 0, out, 4, &n, nullptr), 0);
    EXPECT_EQ(usbReadFile(&drv, out, 4, &n, nullptr), 0);
    EXPECT_EQ(n, 0u);
    EXPECT_NE(log.text().find("IOCTL_IDENTIFY_HOST_Handler ret=-"), std::string::npos);
    EXPECT_NE(log.text().find("usbReadFile len=4,ret=-"), std::string::npos);
    EXPECT_NE(::fcntl(null, F_GETFD), -1); // the descriptor still belongs to its owner
    ::close(null);
}

class PipewellFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        fd = dev.connect();
        drv.hDevice = fd;
        OpenUsbDevice(&drv);
    }
    void TearDown() override { ::close(fd); }
    vyrsim::RomDevice dev{vyrsim::RomDeviceConfig{vyrsim::StageBootLoader, 0, false, 0}};
    int fd = -1;
    VyrUsbDrv drv{};
    LogCapture log;
};

TEST_F(PipewellFaults, DeviceErrorsAreLoggedAndCountZero) {
    dev.injectFault(RequestKind::ReadMem, Fault::Timeout, 1);
    dev.injectFault(RequestKind::TplCmd, Fault::Stall, 1);
    dev.injectFault(RequestKind::LargeWrite, Fault::Stall, 1);
    uint8_t buf[68] = {};
    uint32_t n = 7;
    EXPECT_EQ(readMem(drv, 0x10, buf, 64, &n), 0);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(readMem(drv, 0x10, buf, 64, &n), 1); // the fault was for one request
    // A command block without any zero byte is logged within its 64 bytes.
    std::memset(buf, 'x', 68);
    n = 7;
    EXPECT_EQ(usbDeviceIoControl(&drv, IOCTL_TPL_CMD, buf, 68, nullptr, 0, &n, nullptr), 0);
    EXPECT_EQ(n, 0u);
    uint8_t h[128] = {};
    h[4] = 0x10;
    h[5] = 0x27; // 10000 bytes
    EXPECT_EQ(usbDeviceIoControl(&drv, IOCTL_WRITE_LARGE_MEM, h, 128, nullptr, 0, &n, nullptr), 0);
    dev.leaveBus(); // unplugged: the socket is closed from the device's side
    EXPECT_EQ(usbWriteFile(&drv, buf, 64, &n, nullptr), 0);
    EXPECT_EQ(log.text(), "IOCTL_READ_MEM_Handler ret=-7 [socket]\n"
                          "IOCTL_TPL_CMD_Handler ret=-9 [socket],tpl_cmd=" +
                              std::string(64, 'x') +
                              "\n"
                              "[write],value=1000,index=3,len=10000,ret=-9 [socket]\n"
                              "usbWriteFile len=64,ret=-4 [socket]\n");
}

// When the device never answers, the caller's time-out ends the exchange and
// the socket is shut down, so the late reply can never be read as the answer
// to a later request: every later call fails as "no device".
TEST_F(PipewellFaults, HostTimeOutShutsTheSocketDown) {
    dev.injectFault(RequestKind::Identify, Fault::NoReply, 1);
    vyrwire::Request r;
    r.op = vyrwire::OpControl;
    r.b1 = 0xC0;
    r.b2 = 0x20;
    r.length = 4;
    r.timeoutMs = 100;
    uint8_t out[4];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(vyrwire::call(fd, r, nullptr, 0, out, 4, nullptr), vyrwire::ErrTimeout);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(90));
    EXPECT_LT(took, std::chrono::seconds(5));

    uint32_t n = 7;
    EXPECT_EQ(usbDeviceIoControl(&drv, IOCTL_IDENTIFY_HOST, nullptr, 0, out, 4, &n, nullptr), 0);
    EXPECT_EQ(log.text(), "IOCTL_IDENTIFY_HOST_Handler ret=-4 [socket]\n");
    EXPECT_NE(::fcntl(fd, F_GETFD), -1); // shut down, not closed
}

// A peer that answers with more data than was asked for, or a count that does
// not match its payload, breaks the protocol: the call fails, nothing overflows.
TEST(PipewellPeer, BrokenRepliesFail) {
    struct Bad {
        int32_t result;
        uint32_t payload;
    } replies[] = {{4, 200}, {4, 2}, {100, 4}};
    for (const Bad &bad : replies) {
        SCOPED_TRACE(bad.payload);
        int sv[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        std::thread peer([&] {
            uint8_t head[16];
            if (!vyrwire::readFull(sv[1], head, 16)) return;
            uint8_t rh[8];
            vyrwire::encodeReply({bad.result, bad.payload}, rh);
            std::vector<uint8_t> junk(bad.payload, 0xEE);
            vyrwire::writeFull(sv[1], rh, 8);
            vyrwire::writeFull(sv[1], junk.data(), junk.size());
        });
        LogCapture log;
        VyrUsbDrv drv{sv[0], 0, 0};
        OpenUsbDevice(&drv);
        uint8_t out[8] = {};
        EXPECT_EQ(
            usbDeviceIoControl(&drv, IOCTL_IDENTIFY_HOST, nullptr, 0, out, 4, nullptr, nullptr), 0);
        EXPECT_EQ(out[4], 0);
        EXPECT_EQ(log.text().rfind("IOCTL_IDENTIFY_HOST_Handler ret=-", 0), 0u);
        peer.join();
        ::close(sv[0]);
        ::close(sv[1]);
    }
}

TEST_F(PipewellFaults, ShortAndZeroBulkTransfersCountAsSuccess) {
    std::vector<uint8_t> data(2000, 0x5A);
    ASSERT_EQ(announceWrite(drv, 0x4000, data), 1);
    dev.setZeroBulk(1);
    dev.setShortBulk(1500);
    uint32_t n = 7;
    EXPECT_EQ(usbWriteFile(&drv, data.data(), 2000, &n, nullptr), 1);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(usbWriteFile(&drv, data.data(), 2000, &n, nullptr), 1);
    EXPECT_EQ(n, 1500u);
    EXPECT_EQ(usbWriteFile(&drv, data.data(), 2000, &n, nullptr), 1);
    EXPECT_EQ(n, 500u); // the rest of the announced total
    EXPECT_EQ(usbWriteFile(&drv, data.data(), 16, &n, nullptr), 0); // past the total: stall
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(log.text(), "usbWriteFile len=16,ret=-9 [socket]\n");
}

TEST(PipewellConcurrency, EightDevicesEightThreads) {
    constexpr int Devices = 8;
    std::vector<std::unique_ptr<vyrsim::RomDevice>> devs;
    for (int i = 0; i < Devices; ++i)
        devs.push_back(std::make_unique<vyrsim::RomDevice>());
    std::vector<int> ok(Devices, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < Devices; ++t) {
        threads.emplace_back([&, t] {
            int fd = devs[t]->connect();
            VyrUsbDrv drv{fd, 0, 0};
            OpenUsbDevice(&drv);
            bool good = true;
            for (uint32_t i = 0; i < 200 && good; ++i) {
                uint8_t in[4 + 64];
                uint32_t a = 0x1000 + i * 64;
                std::memcpy(in, &a, 4);
                for (int k = 0; k < 64; ++k)
                    in[4 + k] = uint8_t(t * 31 + i + k);
                uint32_t n = 0;
                good = usbDeviceIoControl(&drv, IOCTL_WRITE_MEM, in, 68, nullptr, 0, &n, nullptr) &&
                       n == 64;
                uint8_t out[64];
                good = good && readMem(drv, a, out, 64, &n) && n == 64 &&
                       std::memcmp(out, in + 4, 64) == 0;
            }
            ok[t] = good;
            ::close(fd);
        });
    }
    for (auto &th : threads)
        th.join();
    for (int t = 0; t < Devices; ++t) {
        EXPECT_TRUE(ok[t]) << "device " << t;
        EXPECT_EQ(devs[t]->readRam(0x1000, 1)[0], uint8_t(t * 31));
    }
}

} // namespace
