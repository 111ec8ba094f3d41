// The request table: what each I/O control code puts on the wire, what it
// accepts, what it stores through `returned`, and what it logs.
#include "pipewell.h"
#include "romdevice.h"
#include "logcapture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t Untouched = 0xDEADBEEF;

class Pipewell : public ::testing::Test {
  protected:
    void SetUp() override {
        fd = dev.connect();
        drv.hDevice = fd;
        ASSERT_EQ(OpenUsbDevice(&drv), 1);
    }
    void TearDown() override { ::close(fd); }

    int ioctl(uint32_t code, const Bytes &in, void *out = nullptr, uint32_t outLen = 0) {
        returned = Untouched;
        return usbDeviceIoControl(&drv, code, in.empty() ? nullptr : (void *)in.data(),
                                  uint32_t(in.size()), out, outLen, &returned, nullptr);
    }
    // The last request on the wire must have exactly this setup packet.
    void expectSetup(uint8_t type, uint8_t req, uint16_t value, uint16_t index, uint32_t length,
                     uint32_t timeout) {
        auto all = dev.requests();
        ASSERT_FALSE(all.empty());
        const auto &r = all.back().header;
        EXPECT_EQ(r.op, vyrwire::OpControl);
        EXPECT_EQ((std::vector<unsigned>{r.b1, r.b2, r.wValue, r.wIndex, r.length, r.timeoutMs}),
                  (std::vector<unsigned>{type, req, value, index, length, timeout}));
    }
    Bytes lastPayload() const { return dev.requests().back().payload; }

    vyrsim::RomDevice dev{vyrsim::RomDeviceConfig{vyrsim::StageBootLoader, 0, false, 0}};
    int fd = -1;
    VyrUsbDrv drv{};
    uint32_t returned = Untouched;
    LogCapture log;
};

Bytes le32(uint32_t a) {
    return {uint8_t(a), uint8_t(a >> 8), uint8_t(a >> 16), uint8_t(a >> 24)};
}
Bytes cat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes pattern(size_t n) {
    Bytes v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t(i * 7 + 1);
    return v;
}

TEST_F(Pipewell, OpenSetsEndpointsAndNullRecordsAreRefused) {
    VyrUsbDrv d{1234, 0, 0};
    EXPECT_EQ(OpenUsbDevice(&d), 1);
    EXPECT_EQ(d.hDevice, 1234);
    EXPECT_EQ(d.bulkInEndpoint, 0x81);
    EXPECT_EQ(d.bulkOutEndpoint, 0x02);
    EXPECT_EQ(CloseUsbDevice(&d), 1);
    EXPECT_EQ(OpenUsbDevice(nullptr), 0);
    EXPECT_EQ(CloseUsbDevice(nullptr), 0);
    EXPECT_EQ(usbReadFile(nullptr, nullptr, 0, nullptr, nullptr), 0);
    EXPECT_EQ(usbWriteFile(nullptr, nullptr, 0, nullptr, nullptr), 0);
    EXPECT_EQ(
        usbDeviceIoControl(nullptr, IOCTL_IDENTIFY_HOST, nullptr, 0, nullptr, 0, nullptr, nullptr),
        0);
}

TEST_F(Pipewell, MemoryRequestsSplitTheAddressAndCapAt64) {
    Bytes ram = pattern(100);
    dev.writeRam(0x12345678, ram);
    uint8_t out[100] = {};
    EXPECT_EQ(ioctl(IOCTL_READ_MEM, le32(0x12345678), out, 100), 1);
    expectSetup(0xC0, 0x02, 0x1234, 0x5678, 64, 50000);
    EXPECT_EQ(returned, 64u);
    EXPECT_EQ(Bytes(out, out + 65), cat(Bytes(ram.begin(), ram.begin() + 64), {0}));

    Bytes in =
        cat(le32(0x80001000), pattern(96)); // inLen 100: 64 data bytes, address not among them
    EXPECT_EQ(ioctl(IOCTL_WRITE_MEM, in), 1);
    expectSetup(0x40, 0x01, 0x8000, 0x1000, 64, 50000);
    EXPECT_EQ(lastPayload(), Bytes(in.begin() + 4, in.begin() + 68));
    EXPECT_EQ(returned, 64u);
    EXPECT_EQ(dev.readRam(0x80001000, 64), lastPayload());
}

TEST_F(Pipewell, RunCountsAsStartedWhateverTheReply) {
    EXPECT_EQ(ioctl(IOCTL_RUN_ADDR, le32(0x8F000040)), 1);
    expectSetup(0x40, 0x05, 0x8F00, 0x0040, 4, 50000);
    EXPECT_EQ(lastPayload(), le32(0x8F000040));
    EXPECT_EQ(returned, Untouched);
    dev.injectFault(vyrsim::RequestKind::Run, vyrsim::Fault::Stall, 1);
    dev.injectFault(vyrsim::RequestKind::Run, vyrsim::Fault::Timeout, 1);
    EXPECT_EQ(ioctl(IOCTL_RUN_ADDR, le32(0x100)), 1);
    EXPECT_EQ(ioctl(IOCTL_RUN_ADDR, le32(0x100)), 1);
    EXPECT_EQ(log.text(), ""); // no failure line for run
}

TEST_F(Pipewell, LargeAnnounceBlockLengthAndCount) {
    struct Case {
        uint32_t code, total;
        uint16_t block;
        size_t size;
        uint16_t wValue, wIndex;
    } cases[] = {
        {IOCTL_WRITE_LARGE_MEM, 10000, 4096, 128, 4096, 3},
        {IOCTL_WRITE_LARGE_MEM, 100, 100, 128, 100, 1},
        {IOCTL_WRITE_LARGE_MEM, 10000, 0, 128, 4096, 3},    // 0 means 4096
        {IOCTL_WRITE_LARGE_MEM, 10000, 5000, 128, 4096, 3}, // too long means 4096
        {IOCTL_READ_LARGE_MEM, 100, 100, 16, 4096, 1},      // bare 16-byte header
        {IOCTL_READ_LARGE_MEM, 70000, 4096, 128, 4096, 18},
        {IOCTL_READ_LARGE_MEM, 0x10000000, 1, 128, 1, 0}, // count kept to 16 bits
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.total << "/" << c.block);
        Bytes h = cat(cat(le32(0x80000000), le32(c.total)), le32(0x1234));
        h.resize(c.size, 0xEE);
        if (c.size >= 66) h[64] = uint8_t(c.block), h[65] = uint8_t(c.block >> 8);
        EXPECT_EQ(ioctl(c.code, h), 1);
        expectSetup(0x40, c.code == IOCTL_WRITE_LARGE_MEM ? 0x11 : 0x12, c.wValue, c.wIndex, 16,
                    50000);
        EXPECT_EQ(lastPayload(), Bytes(h.begin(), h.begin() + 16));
        EXPECT_EQ(returned, 16u);
    }
}

// A header shorter than the block-length field must not be read past its end
// (the address sanitizer build catches an over-read of this exact-size buffer).
TEST_F(Pipewell, LargeAnnounceShortHeaderUsesDefaultBlock) {
    auto h = std::make_unique<uint8_t[]>(40);
    std::memset(h.get(), 0, 40);
    h[4] = 0x10; // total 16
    EXPECT_EQ(
        usbDeviceIoControl(&drv, IOCTL_WRITE_LARGE_MEM, h.get(), 40, nullptr, 0, nullptr, nullptr),
        1);
    expectSetup(0x40, 0x11, 4096, 1, 16, 50000);
}

TEST_F(Pipewell, IdentifyReportsStageAndLogsRefusal) {
    uint8_t out[8];
    std::memset(out, 0xFF, sizeof out);
    EXPECT_EQ(ioctl(IOCTL_IDENTIFY_HOST, {}, out, 4), 1);
    expectSetup(0xC0, 0x20, 0, 0, 4, 5000);
    EXPECT_EQ(Bytes(out, out + 5), (Bytes{0, 0, 0, 16, 0xFF}));
    EXPECT_EQ(returned, Untouched);

    size_t before = dev.requests().size();
    EXPECT_EQ(ioctl(IOCTL_IDENTIFY_HOST, {}, out, 8), 0);
    EXPECT_EQ(ioctl(IOCTL_IDENTIFY_HOST, {}, nullptr, 4), 0);
    EXPECT_EQ(dev.requests().size(), before);
    char expect[128];
    std::snprintf(expect, sizeof expect, "identify1,%p,8\nidentify1,%p,4\n", (void *)out,
                  (void *)nullptr);
    EXPECT_EQ(log.text(), expect);
}

TEST_F(Pipewell, TextCommandAndStatus) {
    Bytes block(68, 0);
    std::memcpy(block.data(), "setenv a b", 10);
    block[64] = 0x22, block[65] = 0x11, block[66] = 1;
    EXPECT_EQ(ioctl(IOCTL_TPL_CMD, block), 1);
    expectSetup(0x40, 0x30, 0x1122, 1, 64, 50000);
    EXPECT_EQ(lastPayload(), Bytes(block.begin(), block.begin() + 64));
    EXPECT_EQ(returned, 64u);
    EXPECT_EQ(dev.commands(), std::vector<std::string>{"setenv a b"});

    char status[64];
    std::memset(status, 0xFF, sizeof status);
    EXPECT_EQ(ioctl(IOCTL_TPL_STATUS, {0x02, 0x01, 0x04, 0x03}, status, 64), 1);
    expectSetup(0xC0, 0x31, 0x0102, 0x0304, 64, 60000);
    EXPECT_STREQ(status, "success");
    EXPECT_EQ(returned, Untouched);
}

TEST_F(Pipewell, RefusedArgumentsSendNothing) {
    uint8_t out[128] = {};
    Bytes a4 = le32(0x100);
    struct Case {
        uint32_t code;
        Bytes in;
        uint8_t *out;
        uint32_t outLen;
    } cases[] = {
        {IOCTL_READ_MEM, Bytes(5), out, 64},
        {IOCTL_READ_MEM, Bytes(3), out, 64},
        {IOCTL_READ_MEM, a4, out, 0},
        {IOCTL_READ_MEM, a4, nullptr, 64},
        {IOCTL_WRITE_MEM, Bytes(7), nullptr, 0},
        {IOCTL_WRITE_MEM, a4, nullptr, 0},
        {IOCTL_RUN_ADDR, Bytes(5), nullptr, 0},
        {IOCTL_WRITE_LARGE_MEM, Bytes(15), nullptr, 0},
        {IOCTL_READ_LARGE_MEM, {}, nullptr, 0},
        {IOCTL_TPL_CMD, Bytes(64), nullptr, 0},
        {IOCTL_TPL_CMD, Bytes(69), nullptr, 0},
        {IOCTL_TPL_STATUS, a4, out, 63},
        {IOCTL_TPL_STATUS, a4, out, 65},
        {IOCTL_TPL_STATUS, {}, out, 64},
        {0x80002008, a4, out, 64},
        {0x80002018, a4, out, 64},
        {0x8000201C, a4, out, 64},
        {0x80002020, a4, out, 64},
        {0x12345678, a4, out, 64},
    };
    for (auto &c : cases) {
        EXPECT_EQ(ioctl(c.code, c.in, c.out, c.outLen), 0)
            << std::hex << c.code << " " << c.in.size();
        EXPECT_EQ(returned, Untouched);
    }
    EXPECT_EQ(dev.requests().size(), 0u);
    EXPECT_EQ(log.text(), "");
}

TEST_F(Pipewell, BulkCallsUseTheFixedEndpointsAndTimeOuts) {
    Bytes data = pattern(3000);
    Bytes h = cat(cat(le32(0x2000), le32(3000)), le32(vyrsim::internetChecksum(data.data(), 3000)));
    ASSERT_EQ(ioctl(IOCTL_WRITE_LARGE_MEM, cat(h, le32(0))), 1);
    uint32_t moved = Untouched;
    EXPECT_EQ(usbWriteFile(&drv, data.data(), 3000, &moved, nullptr), 1);
    EXPECT_EQ(moved, 3000u);
    auto w = dev.requests().back().header;
    EXPECT_EQ((std::vector<unsigned>{w.op, w.b1, w.timeoutMs}),
              (std::vector<unsigned>{2, 0x02, 50000}));

    ASSERT_EQ(ioctl(IOCTL_READ_LARGE_MEM, cat(h, le32(0))), 1);
    Bytes back(4096, 0);
    EXPECT_EQ(usbReadFile(&drv, back.data(), 4096, &moved, nullptr), 1);
    EXPECT_EQ(moved, 3000u); // a short transfer is a success
    auto r = dev.requests().back().header;
    EXPECT_EQ((std::vector<unsigned>{r.op, r.b1, r.timeoutMs}),
              (std::vector<unsigned>{3, 0x81, 5000}));
    EXPECT_EQ(Bytes(back.begin(), back.begin() + 3000), data);
}

} // namespace
