// The virtual ROM-mode device, spoken to over the raw wire protocol: boot
// stages, large-transfer checks, text commands, faults and broken peers.
#include "romdevice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

using vyrsim::Fault;
using vyrsim::RequestKind;
using vyrsim::RomDevice;
using vyrsim::RomDeviceConfig;
using namespace vyrreq;
using Bytes = std::vector<uint8_t>;

// The host end of one connection.
struct Host {
    int fd;
    uint32_t timeoutMs = 2000;
    explicit Host(int f) : fd(f) {}
    ~Host() { ::close(fd); }

    // One exchange; IN requests (op 3, or type bit 7) read into data.
    int32_t call(uint8_t op, uint8_t b1, uint8_t b2, uint16_t value, uint16_t index, Bytes &data) {
        vyrwire::Request r{op, b1, b2, value, index, uint32_t(data.size()), timeoutMs};
        bool in = op == vyrwire::OpBulkIn || (op == vyrwire::OpControl && (b1 & 0x80));
        return in ? vyrwire::call(fd, r, nullptr, 0, data.data(), data.size(), nullptr)
                  : vyrwire::call(fd, r, data.data(), data.size(), nullptr, 0, nullptr);
    }
    int32_t ctl(uint8_t type, uint8_t req, uint16_t value, uint16_t index, Bytes &data) {
        return call(vyrwire::OpControl, type, req, value, index, data);
    }
    int32_t bulkOut(Bytes data) { return call(vyrwire::OpBulkOut, EpBulkOut, 0, 0, 0, data); }
    int identify() {
        Bytes d(4);
        return ctl(TypeIn, ReqIdentify, 0, 0, d) == 4 ? d[3] : -1;
    }
    int32_t run(uint32_t a) {
        Bytes d = {uint8_t(a), uint8_t(a >> 8), uint8_t(a >> 16), uint8_t(a >> 24)};
        return ctl(TypeOut, ReqRun, uint16_t(a >> 16), uint16_t(a), d);
    }
    int32_t command(const std::string &text) {
        Bytes d(64, 0);
        std::memcpy(d.data(), text.data(), text.size());
        return ctl(TypeOut, ReqTplCmd, 0, 1, d);
    }
    std::string status() {
        Bytes d(64);
        if (ctl(TypeIn, ReqTplStatus, 0, 0, d) != 64) return "<error>";
        return std::string(reinterpret_cast<char *>(d.data()), strnlen((char *)d.data(), 64));
    }
    int32_t announce(bool write, uint32_t a, uint32_t total, uint32_t sum, uint16_t block,
                     uint16_t count) {
        Bytes d(16, 0);
        std::memcpy(d.data(), &a, 4);
        std::memcpy(d.data() + 4, &total, 4);
        std::memcpy(d.data() + 8, &sum, 4);
        return ctl(TypeOut, write ? ReqLargeWrite : ReqLargeRead, block, count, d);
    }
};

Bytes pattern(size_t n) {
    Bytes v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t(i * 7 + (i >> 8));
    return v;
}
Bytes slice(const Bytes &v, size_t from, size_t n) {
    return Bytes(v.begin() + from, v.begin() + from + n);
}

bool waitFor(const std::function<bool()> &cond) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(Checksums, KnownValues) {
    const uint8_t rfc[] = {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
    // Little-endian words 0x0100 0x03F2 0xF5F4 0xF7F6 sum to 0x1F2DC, fold to 0xF2DD.
    EXPECT_EQ(vyrsim::internetChecksum(rfc, 8), 0x0D22);
    const uint8_t odd[] = {0xFF, 0xFF, 0x01}; // 0xFFFF + 0x0001 folds to 0x0001
    EXPECT_EQ(vyrsim::internetChecksum(odd, 3), 0xFFFE);
    const uint8_t tail[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x05}; // wraps; the odd byte is a low byte
    EXPECT_EQ(vyrsim::wordSum(tail, 5), 4u);
}

TEST(RomDeviceStages, RunMovesTheStageOn) {
    std::vector<int> seen;
    RomDevice dev;
    dev.onRun = [&](int s) { seen.push_back(s); };
    Host h(dev.connect());
    EXPECT_EQ(h.identify(), 0);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(h.run(0x80000000), 4);
    EXPECT_EQ(h.identify(), 16);
    EXPECT_EQ(seen, (std::vector<int>{8, 16, 16}));
    Bytes d = {1, 2, 3, 4}; // the data stage must repeat the setup packet's address
    EXPECT_EQ(h.ctl(TypeOut, ReqRun, 0, 0, d), vyrwire::ErrPipe);
}

TEST(RomDeviceStages, DelayedRunLeavesTheBusAndComesBack) {
    RomDevice dev(RomDeviceConfig{0, 150, true, 0});
    std::atomic<int> runs{0};
    dev.onRun = [&](int) { ++runs; };
    std::string path = "/tmp/romdevice-" + std::to_string(::getpid()) + ".sock";
    ASSERT_TRUE(dev.listen(path));
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strcpy(sa.sun_path, path.c_str());
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    Host h(fd);
    EXPECT_EQ(h.run(0x100), 4);
    EXPECT_EQ(h.identify(), 0); // still the ROM code until the delay has passed
    ASSERT_TRUE(waitFor([&] { return runs == 1; }));
    EXPECT_EQ(dev.stage(), 8);
    EXPECT_FALSE(dev.onBus());
    EXPECT_EQ(h.identify(), -1);
    EXPECT_NE(::access(path.c_str(), F_OK), 0); // the node went with the device
    ASSERT_TRUE(dev.listen(path));              // plugged in again
    EXPECT_TRUE(dev.onBus());
}

TEST(RomDeviceTransfers, GoodWriteThenShortReads) {
    RomDevice dev(RomDeviceConfig{16, 0, false, 0});
    Host h(dev.connect());
    Bytes data = pattern(5001);
    ASSERT_EQ(
        h.announce(true, 0x80008000, 5001, vyrsim::internetChecksum(data.data(), 5001), 4096, 2),
        16);
    EXPECT_EQ(h.bulkOut(slice(data, 0, 4096)), 4096);
    EXPECT_EQ(h.bulkOut(Bytes(data.begin() + 4096, data.end())), 905);
    EXPECT_EQ(h.bulkOut(Bytes(16)), vyrwire::ErrPipe); // nothing more announced
    EXPECT_EQ(dev.readRam(0x80008000, 5001), data);

    dev.setShortBulk(1000);
    ASSERT_EQ(h.announce(false, 0x80008001, 3000, 0, 4096, 1), 16);
    Bytes back;
    for (int i = 0; i < 3; ++i) {
        Bytes part(4096);
        ASSERT_EQ(h.call(vyrwire::OpBulkIn, EpBulkIn, 0, 0, 0, part), 1000);
        back.insert(back.end(), part.begin(), part.begin() + 1000);
    }
    EXPECT_EQ(back, slice(data, 1, 3000));
    Bytes more(16);
    EXPECT_EQ(h.call(vyrwire::OpBulkIn, EpBulkIn, 0, 0, 0, more), vyrwire::ErrPipe);
    EXPECT_EQ(h.command("noop"), 64);
    EXPECT_EQ(h.status(), "success"); // no failure was pending
}

// Each mismatch between an announce and the data that follows shows once, as a
// failed status on the next status read.
TEST(RomDeviceTransfers, MismatchesFailTheNextStatus) {
    Bytes data = pattern(300);
    uint16_t sum = vyrsim::internetChecksum(data.data(), data.size());
    struct Case {
        const char *expect;
        std::function<void(Host &)> send;
    } cases[] = {
        {"failed checksum",
         [&](Host &h) {
             h.announce(true, 0x1000, 300, sum ^ 1, 300, 1);
             h.bulkOut(data);
         }},
        {"failed block count",
         [&](Host &h) {
             h.announce(true, 0x1000, 300, sum, 100, 2);
             for (int i = 0; i < 3; ++i)
                 h.bulkOut(slice(data, 100 * i, 100));
         }},
        {"failed block of 300",
         [&](Host &h) {
             h.announce(true, 0x1000, 300, sum, 100, 3);
             h.bulkOut(data);
         }},
        {"failed short transfer 200 of 300",
         [&](Host &h) {
             h.announce(true, 0x1000, 300, sum, 300, 1);
             h.bulkOut(slice(data, 0, 200));
         }},
        {"failed block length 0", [&](Host &h) { h.announce(true, 0x1000, 300, sum, 0, 1); }},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.expect);
        RomDevice dev(RomDeviceConfig{16, 0, false, 0});
        Host h(dev.connect());
        c.send(h);
        EXPECT_EQ(h.status().rfind(c.expect, 0), 0u);
        EXPECT_EQ(h.command("noop"), 64);
        EXPECT_EQ(h.status(), "success");
    }
}

TEST(RomDeviceCommands, CrcChecksWordSumOfRam) {
    RomDevice dev(RomDeviceConfig{8, 0, false, 0});
    dev.writeRam(0x80000FFE, {1, 0, 0, 0, 7, 0xAA}); // crosses a page boundary
    Host h(dev.connect());
    EXPECT_EQ(h.command("crc 80000ffe 5 8"), 64); // the byte behind the size reads as 0
    EXPECT_EQ(h.status(), "success");
    for (const char *bad : {"crc 80000ffe 6 8", "crc 80000ffe five 8"}) {
        EXPECT_EQ(h.command(bad), 64);
        EXPECT_EQ(h.status().rfind("failed crc", 0), 0u) << bad;
    }
    dev.corruptRamCheck(true);
    EXPECT_EQ(h.command("crc 80000ffe 5 8"), 64);
    EXPECT_EQ(h.status().rfind("failed crc", 0), 0u);
    EXPECT_EQ(dev.commands().size(), 4u);
}

TEST(RomDeviceCommands, StagesDelaysStepsAndBootm) {
    RomDevice rom;
    Host r(rom.connect());
    EXPECT_EQ(r.command("printenv"), vyrwire::ErrPipe); // the ROM code has no command channel
    EXPECT_EQ(r.status(), "<error>");

    RomDevice dev(RomDeviceConfig{16, 0, false, 200});
    std::atomic<bool> booted{false};
    dev.onBootm = [&] { booted = true; };
    Host h(dev.connect());
    EXPECT_EQ(h.command("setenv bootargs x"), 64);
    EXPECT_EQ(dev.statusText(), "running");
    EXPECT_EQ(h.status(), "success") << "the status request waits for the command to finish";

    Bytes step(64, 0);
    uint32_t fields[6] = {0x80000000, 7, 0, 4096, 0x89ABCDEF, 0x01234567};
    std::memcpy(step.data(), fields, 24);
    std::memcpy(step.data() + 32, "system", 6);
    EXPECT_EQ(h.ctl(TypeOut, ReqTplCmd, 0, 0, step), 64);
    auto s = dev.burnSteps().at(0);
    EXPECT_EQ(s.address, 0x80000000u);
    EXPECT_EQ(s.extra, 7u);
    EXPECT_EQ(s.length, 4096u);
    EXPECT_EQ(s.value, 0x0123456789ABCDEFull);
    EXPECT_EQ(s.text, "system");

    EXPECT_EQ(h.command("bootm"), 64); // acknowledged, then gone
    ASSERT_TRUE(waitFor([&] { return booted.load(); }));
    EXPECT_FALSE(dev.onBus());
    EXPECT_EQ(h.identify(), -1);
}

TEST(RomDeviceFaults, CountSkipAndDrop) {
    RomDevice dev(RomDeviceConfig{16, 0, false, 0});
    dev.injectFault(RequestKind::Identify, Fault::Stall, 2, 1);
    dev.injectFault(RequestKind::ReadMem, Fault::Timeout);
    Host h(dev.connect());
    std::vector<int> ids;
    for (int i = 0; i < 4; ++i)
        ids.push_back(h.identify());
    EXPECT_EQ(ids, (std::vector<int>{16, -1, -1, 16}));
    Bytes d(8);
    EXPECT_EQ(h.ctl(TypeIn, ReqReadMem, 0, 0, d), vyrwire::ErrTimeout);
    EXPECT_EQ(h.ctl(TypeIn, ReqReadMem, 0, 0, d), vyrwire::ErrTimeout); // forever
    dev.clearFaults();
    EXPECT_EQ(h.ctl(TypeIn, ReqReadMem, 0, 0, d), 8);

    dev.injectFault(RequestKind::Identify, Fault::Drop, 1);
    EXPECT_EQ(h.identify(), -1);
    EXPECT_FALSE(dev.onBus());
    Host again(dev.connect()); // plugged in again; the fault was used up
    EXPECT_EQ(again.identify(), 16);
}

// A device that hangs: the request that froze it and every later one, of any
// kind and on new connections too, go unanswered until its faults are cleared.
TEST(RomDeviceFaults, FreezeLeavesEveryLaterRequestUnanswered) {
    RomDevice dev(RomDeviceConfig{16, 0, false, 0});
    dev.injectFault(RequestKind::Identify, Fault::Freeze, 1, 1);
    auto host = [&dev] {
        auto h = std::make_unique<Host>(dev.connect());
        h->timeoutMs = 100;
        return h;
    };
    auto first = host();
    EXPECT_EQ(first->identify(), 16);
    EXPECT_FALSE(dev.frozen());
    EXPECT_EQ(first->identify(), -1);
    EXPECT_TRUE(dev.frozen());
    EXPECT_TRUE(dev.onBus());
    Bytes d(8);
    EXPECT_EQ(host()->ctl(TypeIn, ReqReadMem, 0, 0, d), vyrwire::ErrTimeout);
    EXPECT_EQ(host()->status(), "<error>");
    EXPECT_EQ(dev.requests().size(), 4u); // each one was received
    dev.clearFaults();
    EXPECT_FALSE(dev.frozen());
    EXPECT_EQ(host()->identify(), 16);
}

TEST(RomDeviceFaults, DropPartWayThroughBulkData) {
    RomDevice dev(RomDeviceConfig{16, 0, false, 0});
    Host h(dev.connect());
    Bytes data = pattern(8192);
    ASSERT_EQ(h.announce(true, 0x3000, 8192, vyrsim::internetChecksum(data.data(), 8192), 4096, 2),
              16);
    dev.dropAfterBulkBytes(5000);
    EXPECT_EQ(h.bulkOut(slice(data, 0, 4096)), 4096);
    EXPECT_EQ(h.bulkOut(slice(data, 4096, 4096)), vyrwire::ErrNoDevice);
    EXPECT_FALSE(dev.onBus());
    Bytes expect = slice(data, 0, 5000);
    expect.push_back(0);
    EXPECT_EQ(dev.readRam(0x3000, 5001), expect);
}

// A peer that breaks the protocol loses its connection; the device carries on.
TEST(RomDevicePeers, GarbageClosesOnlyThatConnection) {
    RomDevice dev(RomDeviceConfig{16, 0, false, 0});
    for (Bytes head : {Bytes{99, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0},    // unknown op
                       Bytes{2, 2, 0, 0, 0, 0, 0, 0, 1, 0, 0, 2, 0, 0, 0, 0},     // 32 MiB bulk
                       Bytes{16, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}) { // SCSI
        int fd = dev.connect();
        ASSERT_TRUE(vyrwire::writeFull(fd, head.data(), head.size()));
        uint8_t b;
        EXPECT_FALSE(vyrwire::readFull(fd, &b, 1)); // closed without a reply
        ::close(fd);
    }
    int fd = dev.connect(); // half a header, then the peer goes away
    vyrwire::writeFull(fd, "\x01\xC0\x20", 3);
    ::close(fd);
    Host h(dev.connect());
    EXPECT_EQ(h.identify(), 16);
}

} // namespace
