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

constexpr uint32_t Untouched = 0xDEADBEEF;

class Pipewell : public ::testing::Test {
  protected:
    void SetUp() override {
        fd = dev.connect();
        ASSERT_GE(fd, 3);
        drv.hDevice = fd;
        ASSERT_EQ(OpenUsbDevice(&drv), 1);
    }
    void TearDown() override { ::close(fd); }

    vyrwire::Request last() const {
        auto r = dev.requests();
        EXPECT_FALSE(r.empty());
        return r.empty() ? vyrwire::Request{} : r.back().header;
    }
    size_t sent() const { return dev.requests().size(); }

    int ioctl(uint32_t code, const std::vector<uint8_t> &in, void *out, uint32_t outLen) {
        returned = Untouched;
        return usbDeviceIoControl(&drv, code, in.empty() ? nullptr : (void *)in.data(),
                                  uint32_t(in.size()), out, outLen, &returned, nullptr);
    }

    vyrsim::RomDevice dev{vyrsim::RomDeviceConfig{vyrsim::StageBootLoader, 0, false, 0}};
    int fd = -1;
    VyrUsbDrv drv{};
    uint32_t returned = Untouched;
    LogCapture log;
};

std::vector<uint8_t> addr(uint32_t a) {
    return {uint8_t(a), uint8_t(a >> 8), uint8_t(a >> 16), uint8_t(a >> 24)};
}

void expectSetup(const vyrwire::Request &r, uint8_t type, uint8_t req, uint16_t value,
                 uint16_t index, uint32_t length, uint32_t timeout) {
    EXPECT_EQ(r.op, vyrwire::OpControl);
    EXPECT_EQ(r.b1, type);
    EXPECT_EQ(r.b2, req);
    EXPECT_EQ(r.wValue, value);
    EXPECT_EQ(r.wIndex, index);
    EXPECT_EQ(r.length, length);
    EXPECT_EQ(r.timeoutMs, timeout);
}

TEST_F(Pipewell, OpenSetsEndpointsAndLeavesHandle) {
    VyrUsbDrv d{1234, 0, 0};
    EXPECT_EQ(OpenUsbDevice(&d), 1);
    EXPECT_EQ(d.hDevice, 1234);
    EXPECT_EQ(d.bulkInEndpoint, 0x81);
    EXPECT_EQ(d.bulkOutEndpoint, 0x02);
    EXPECT_EQ(CloseUsbDevice(&d), 1);
    EXPECT_EQ(OpenUsbDevice(nullptr), 0);
    EXPECT_EQ(CloseUsbDevice(nullptr), 0);
    EXPECT_EQ(
        usbDeviceIoControl(nullptr, IOCTL_IDENTIFY_HOST, nullptr, 0, nullptr, 0, nullptr, nullptr),
        0);
    EXPECT_EQ(usbReadFile(nullptr, nullptr, 0, nullptr, nullptr), 0);
    EXPECT_EQ(usbWriteFile(nullptr, nullptr, 0, nullptr, nullptr), 0);
}

TEST_F(Pipewell, ReadMemSplitsAddressAndCapsAt64) {
    std::vector<uint8_t> ram(100);
    for (size_t i = 0; i < ram.size(); ++i)
        ram[i] = uint8_t(i * 7 + 1);
    dev.writeRam(0x12345678, ram);
    uint8_t out[100] = {};
    EXPECT_EQ(ioctl(IOCTL_READ_MEM, addr(0x12345678), out, 100), 1);
    expectSetup(last(), 0xC0, 0x02, 0x1234, 0x5678, 64, 50000);
    EXPECT_EQ(returned, 64u);
    EXPECT_EQ(0, std::memcmp(out, ram.data(), 64));
    EXPECT_EQ(out[64], 0); // nothing beyond the 64 bytes moved

    EXPECT_EQ(ioctl(IOCTL_READ_MEM, addr(0x100), out, 3), 1);
    EXPECT_EQ(last().length, 3u);
    EXPECT_EQ(returned, 3u);
}

TEST_F(Pipewell, WriteMemSendsDataBehindTheAddress) {
    std::vector<uint8_t> in = addr(0x80001000);
    for (int i = 0; i < 96; ++i)
        in.push_back(uint8_t(0xA0 + i));
    EXPECT_EQ(ioctl(IOCTL_WRITE_MEM, in, nullptr, 0), 1);
    expectSetup(last(), 0x40, 0x01, 0x8000, 0x1000, 64, 50000);
    EXPECT_EQ(dev.requests().back().payload, std::vector<uint8_t>(in.begin() + 4, in.begin() + 68));
    EXPECT_EQ(returned, 64u);
    EXPECT_EQ(dev.readRam(0x80001000, 65), [&] {
        std::vector<uint8_t> v(in.begin() + 4, in.begin() + 68);
        v.push_back(0);
        return v;
    }());

    std::vector<uint8_t> four = addr(0x10);
    four.push_back(0x55);
    four.push_back(0x66);
    four.push_back(0x77);
    four.push_back(0x88);
    EXPECT_EQ(ioctl(IOCTL_WRITE_MEM, four, nullptr, 0), 1);
    EXPECT_EQ(last().length, 4u);
    EXPECT_EQ(returned, 4u);
}

TEST_F(Pipewell, RunSendsTheAddressAndCountsAsStartedWhateverTheReply) {
    EXPECT_EQ(ioctl(IOCTL_RUN_ADDR, addr(0x8F000040), nullptr, 0), 1);
    expectSetup(last(), 0x40, 0x05, 0x8F00, 0x0040, 4, 50000);
    EXPECT_EQ(dev.requests().back().payload, addr(0x8F000040));
    EXPECT_EQ(returned, Untouched);

    dev.injectFault(vyrsim::RequestKind::Run, vyrsim::Fault::Stall, 1);
    dev.injectFault(vyrsim::RequestKind::Run, vyrsim::Fault::Timeout, 1);
    EXPECT_EQ(ioctl(IOCTL_RUN_ADDR, addr(0x100), nullptr, 0), 1);
    EXPECT_EQ(ioctl(IOCTL_RUN_ADDR, addr(0x100), nullptr, 0), 1);
    EXPECT_EQ(log.text(), ""); // no failure line for run
}

TEST_F(Pipewell, LargeAnnounceBlockLengthAndCount) {
    auto header = [](uint32_t total, uint16_t block, size_t size) {
        std::vector<uint8_t> h(size, 0);
        std::memcpy(h.data(), addr(0x80000000).data(), 4);
        std::memcpy(h.data() + 4, addr(total).data(), 4);
        h[8] = 0x34;
        h[12] = 9;
        if (size >= 66) {
            h[64] = uint8_t(block);
            h[65] = uint8_t(block >> 8);
        }
        return h;
    };
    struct Case {
        uint32_t code;
        uint32_t total;
        uint16_t block;
        size_t size;
        uint16_t wValue, wIndex;
    } cases[] = {
        {IOCTL_WRITE_LARGE_MEM, 10000, 4096, 128, 4096, 3},
        {IOCTL_WRITE_LARGE_MEM, 100, 100, 128, 100, 1},
        {IOCTL_WRITE_LARGE_MEM, 10000, 0, 128, 4096, 3},    // 0 means 4096
        {IOCTL_WRITE_LARGE_MEM, 10000, 5000, 128, 4096, 3}, // too long means 4096
        {IOCTL_READ_LARGE_MEM, 100, 100, 16, 4096, 1},      // bare header
        {IOCTL_READ_LARGE_MEM, 70000, 4096, 128, 4096, 18}, // read total not capped
        {IOCTL_READ_LARGE_MEM, 0x10000000, 1, 128, 1, 0},   // count kept to 16 bits
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "total " << c.total << " block " << c.block);
        auto h = header(c.total, c.block, c.size);
        EXPECT_EQ(ioctl(c.code, h, nullptr, 0), 1);
        expectSetup(last(), 0x40, c.code == IOCTL_WRITE_LARGE_MEM ? 0x11 : 0x12, c.wValue, c.wIndex,
                    16, 50000);
        EXPECT_EQ(dev.requests().back().payload, std::vector<uint8_t>(h.begin(), h.begin() + 16));
        EXPECT_EQ(returned, 16u);
    }
}

// A header shorter than the block-length field must not be read past its end
// (the address sanitizer build catches an over-read of this exact-size buffer).
TEST_F(Pipewell, LargeAnnounceShortHeaderUsesDefaultBlock) {
    auto h = std::make_unique<uint8_t[]>(40);
    std::memset(h.get(), 0, 40);
    h[4] = 0x10; // total 16
    returned = Untouched;
    EXPECT_EQ(usbDeviceIoControl(&drv, IOCTL_WRITE_LARGE_MEM, h.get(), 40, nullptr, 0, &returned,
                                 nullptr),
              1);
    EXPECT_EQ(last().wValue, 4096);
    EXPECT_EQ(last().wIndex, 1);
}

TEST_F(Pipewell, IdentifyReportsStageAndLogsRefusal) {
    uint8_t out[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(ioctl(IOCTL_IDENTIFY_HOST, {}, out, 4), 1);
    expectSetup(last(), 0xC0, 0x20, 0, 0, 4, 5000);
    EXPECT_EQ(out[3], 16);
    EXPECT_EQ(out[4], 0xFF);
    EXPECT_EQ(returned, Untouched);

    size_t before = sent();
    EXPECT_EQ(ioctl(IOCTL_IDENTIFY_HOST, {}, out, 8), 0);
    EXPECT_EQ(ioctl(IOCTL_IDENTIFY_HOST, {}, nullptr, 4), 0);
    EXPECT_EQ(sent(), before);
    char expect[128];
    std::snprintf(expect, sizeof expect, "identify1,%p,8\nidentify1,%p,4\n", (void *)out,
                  (void *)nullptr);
    EXPECT_EQ(log.text(), expect);
}

TEST_F(Pipewell, TextCommandAndStatus) {
    std::vector<uint8_t> block(68, 0);
    std::memcpy(block.data(), "setenv a b", 10);
    block[64] = 0x22;
    block[65] = 0x11;
    block[66] = 1;
    EXPECT_EQ(ioctl(IOCTL_TPL_CMD, block, nullptr, 0), 1);
    expectSetup(last(), 0x40, 0x30, 0x1122, 1, 64, 50000);
    EXPECT_EQ(dev.requests().back().payload,
              std::vector<uint8_t>(block.begin(), block.begin() + 64));
    EXPECT_EQ(returned, 64u);
    EXPECT_EQ(dev.commands(), std::vector<std::string>{"setenv a b"});

    uint8_t status[64];
    std::memset(status, 0xFF, sizeof status);
    EXPECT_EQ(ioctl(IOCTL_TPL_STATUS, {0x02, 0x01, 0x04, 0x03}, status, 64), 1);
    expectSetup(last(), 0xC0, 0x31, 0x0102, 0x0304, 64, 60000);
    EXPECT_STREQ(reinterpret_cast<char *>(status), "success");
    EXPECT_EQ(returned, Untouched);
}

TEST_F(Pipewell, RefusedArgumentsSendNothing) {
    uint8_t out[128] = {};
    std::vector<uint8_t> a4 = addr(0x100);
    struct Case {
        const char *what;
        uint32_t code;
        std::vector<uint8_t> in;
        uint8_t *out;
        uint32_t outLen;
    } cases[] = {
        {"read mem inLen 5", IOCTL_READ_MEM, std::vector<uint8_t>(5), out, 64},
        {"read mem inLen 3", IOCTL_READ_MEM, std::vector<uint8_t>(3), out, 64},
        {"read mem outLen 0", IOCTL_READ_MEM, a4, out, 0},
        {"read mem no out", IOCTL_READ_MEM, a4, nullptr, 64},
        {"write mem inLen 7", IOCTL_WRITE_MEM, std::vector<uint8_t>(7), nullptr, 0},
        {"write mem inLen 4", IOCTL_WRITE_MEM, a4, nullptr, 0},
        {"run inLen 5", IOCTL_RUN_ADDR, std::vector<uint8_t>(5), nullptr, 0},
        {"large inLen 15", IOCTL_WRITE_LARGE_MEM, std::vector<uint8_t>(15), nullptr, 0},
        {"large no in", IOCTL_READ_LARGE_MEM, {}, nullptr, 0},
        {"command inLen 64", IOCTL_TPL_CMD, std::vector<uint8_t>(64), nullptr, 0},
        {"command inLen 69", IOCTL_TPL_CMD, std::vector<uint8_t>(69), nullptr, 0},
        {"status outLen 63", IOCTL_TPL_STATUS, a4, out, 63},
        {"status outLen 65", IOCTL_TPL_STATUS, a4, out, 65},
        {"status no in", IOCTL_TPL_STATUS, {}, out, 64},
        {"reserved 0x80002008", 0x80002008, a4, out, 64},
        {"reserved 0x80002018", 0x80002018, a4, out, 64},
        {"reserved 0x8000201C", 0x8000201C, a4, out, 64},
        {"reserved 0x80002020", 0x80002020, a4, out, 64},
        {"unknown", 0x12345678, a4, out, 64},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(ioctl(c.code, c.in, c.out, c.outLen), 0);
        EXPECT_EQ(returned, Untouched);
    }
    EXPECT_EQ(sent(), 0u);
    EXPECT_EQ(log.text(), "");
}

TEST_F(Pipewell, BulkCallsMoveDataOnTheFixedEndpoints) {
    std::vector<uint8_t> data(5000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i ^ (i >> 8));
    uint16_t sum = vyrsim::internetChecksum(data.data(), 4096);
    std::vector<uint8_t> h(16, 0);
    std::memcpy(h.data(), addr(0x2000).data(), 4);
    std::memcpy(h.data() + 4, addr(4096).data(), 4);
    std::memcpy(h.data() + 8, addr(sum).data(), 4);
    ASSERT_EQ(ioctl(IOCTL_WRITE_LARGE_MEM, h, nullptr, 0), 1);

    uint32_t moved = Untouched;
    EXPECT_EQ(usbWriteFile(&drv, data.data(), 4096, &moved, nullptr), 1);
    EXPECT_EQ(moved, 4096u);
    auto w = last();
    EXPECT_EQ(w.op, vyrwire::OpBulkOut);
    EXPECT_EQ(w.b1, 0x02);
    EXPECT_EQ(w.timeoutMs, 50000u);
    EXPECT_EQ(dev.readRam(0x2000, 4096), std::vector<uint8_t>(data.begin(), data.begin() + 4096));

    std::memcpy(h.data() + 4, addr(3000).data(), 4);
    ASSERT_EQ(ioctl(IOCTL_READ_LARGE_MEM, h, nullptr, 0), 1);
    std::vector<uint8_t> back(4096, 0);
    moved = Untouched;
    EXPECT_EQ(usbReadFile(&drv, back.data(), 4096, &moved, nullptr), 1);
    EXPECT_EQ(moved, 3000u); // short transfer: the announced total was 3000
    auto r = last();
    EXPECT_EQ(r.op, vyrwire::OpBulkIn);
    EXPECT_EQ(r.b1, 0x81);
    EXPECT_EQ(r.timeoutMs, 5000u);
    EXPECT_EQ(std::vector<uint8_t>(back.begin(), back.begin() + 3000),
              std::vector<uint8_t>(data.begin(), data.begin() + 3000));
    EXPECT_EQ(dev.statusText(), ""); // the checksum matched: no failure pending
}

} // namespace
