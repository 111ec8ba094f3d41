// The virtual ROM-mode device, spoken to over the raw wire protocol: boot
// stages, large-transfer checks, text commands, faults and broken peers.
#include "romdevice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
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

// A host end of one connection.
struct Host {
    int fd;
    explicit Host(int f) : fd(f) {}
    ~Host() { ::close(fd); }

    int32_t control(uint8_t type, uint8_t req, uint16_t value, uint16_t index,
                    std::vector<uint8_t> &data, uint32_t timeoutMs = 2000) {
        vyrwire::Request r;
        r.op = vyrwire::OpControl;
        r.b1 = type;
        r.b2 = req;
        r.wValue = value;
        r.wIndex = index;
        r.length = uint32_t(data.size());
        r.timeoutMs = timeoutMs;
        if (type & 0x80) return vyrwire::call(fd, r, nullptr, 0, data.data(), data.size(), nullptr);
        return vyrwire::call(fd, r, data.data(), data.size(), nullptr, 0, nullptr);
    }
    int identify() {
        std::vector<uint8_t> d(4);
        return control(0xC0, 0x20, 0, 0, d) == 4 ? d[3] : -1;
    }
    int32_t run(uint32_t a) {
        std::vector<uint8_t> d(4);
        std::memcpy(d.data(), &a, 4);
        return control(0x40, 0x05, uint16_t(a >> 16), uint16_t(a), d);
    }
    int32_t command(const std::string &text, uint16_t index = 1) {
        std::vector<uint8_t> d(64, 0);
        std::memcpy(d.data(), text.data(), std::min<size_t>(text.size(), 64));
        return control(0x40, 0x30, 0, index, d);
    }
    std::string status() {
        std::vector<uint8_t> d(64);
        if (control(0xC0, 0x31, 0, 0, d) != 64) return "<error>";
        return std::string(reinterpret_cast<char *>(d.data()), strnlen((char *)d.data(), 64));
    }
    int32_t announce(bool write, uint32_t a, uint32_t total, uint32_t sum, uint16_t block,
                     uint16_t count) {
        std::vector<uint8_t> d(16, 0);
        std::memcpy(d.data(), &a, 4);
        std::memcpy(d.data() + 4, &total, 4);
        std::memcpy(d.data() + 8, &sum, 4);
        return control(0x40, write ? 0x11 : 0x12, block, count, d);
    }
    int32_t bulkOut(const uint8_t *p, uint32_t n) {
        vyrwire::Request r;
        r.op = vyrwire::OpBulkOut;
        r.b1 = 0x02;
        r.length = n;
        r.timeoutMs = 2000;
        return vyrwire::call(fd, r, p, n, nullptr, 0, nullptr);
    }
    int32_t bulkIn(uint8_t *p, uint32_t n) {
        vyrwire::Request r;
        r.op = vyrwire::OpBulkIn;
        r.b1 = 0x81;
        r.length = n;
        r.timeoutMs = 2000;
        return vyrwire::call(fd, r, nullptr, 0, p, n, nullptr);
    }
    // A whole large write in blocks of at most 4096 bytes.
    bool write(uint32_t a, const std::vector<uint8_t> &data, uint32_t sumOverride = ~0u) {
        uint32_t block = uint32_t(std::min<size_t>(data.size(), 4096));
        uint32_t sum =
            sumOverride != ~0u ? sumOverride : vyrsim::internetChecksum(data.data(), data.size());
        if (announce(true, a, uint32_t(data.size()), sum, uint16_t(block),
                     uint16_t((data.size() + block - 1) / block)) != 16)
            return false;
        for (size_t done = 0; done < data.size();) {
            int32_t n =
                bulkOut(data.data() + done, uint32_t(std::min<size_t>(4096, data.size() - done)));
            if (n <= 0) return false;
            done += size_t(n);
        }
        return true;
    }
};

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t(seed + i * 7 + (i >> 8));
    return v;
}

bool waitFor(const std::function<bool()> &cond, int ms = 3000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(Checksums, KnownValues) {
    const uint8_t rfc[] = {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7}; // RFC 1071 example
    // Little-endian words 0x0100 0x03F2 0xF5F4 0xF7F6 sum to 0x1F2DC, fold to 0xF2DD.
    EXPECT_EQ(vyrsim::internetChecksum(rfc, 8), 0x0D22);
    const uint8_t odd[] = {0xFF, 0xFF, 0x01};
    EXPECT_EQ(vyrsim::internetChecksum(odd, 3), uint16_t(~0x0001)); // 0xFFFF + 1 folds to 1
    EXPECT_EQ(vyrsim::internetChecksum(nullptr, 0), 0xFFFF);
    const uint8_t words[] = {1, 0, 0, 0, 2, 0, 0, 0};
    EXPECT_EQ(vyrsim::wordSum(words, 8), 3u);
    const uint8_t tail[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x05};
    EXPECT_EQ(vyrsim::wordSum(tail, 5), 4u); // 0xFFFFFFFF + 5 wraps
}

TEST(RomDeviceStages, RunMovesTheStageOn) {
    std::vector<int> seen;
    RomDevice dev;
    dev.onRun = [&](int s) { seen.push_back(s); };
    Host h(dev.connect());
    EXPECT_EQ(h.identify(), 0);
    EXPECT_EQ(h.run(0x80000000), 4);
    EXPECT_EQ(h.identify(), 8);
    EXPECT_EQ(h.run(0x80100000), 4);
    EXPECT_EQ(h.run(0x80100000), 4);
    EXPECT_EQ(h.identify(), 16);
    EXPECT_EQ(seen, (std::vector<int>{8, 16, 16}));
    // The data stage must repeat the address of the setup packet.
    std::vector<uint8_t> d = {1, 2, 3, 4};
    EXPECT_EQ(h.control(0x40, 0x05, 0, 0, d), vyrwire::ErrPipe);
}

TEST(RomDeviceStages, DelayedRunAndLeavingTheBus) {
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
    dev.leaveBus();
}

TEST(RomDeviceRequests, ControlRequestsMustMatchTheTable) {
    RomDevice dev(RomDeviceConfig{16, 0, false, 0});
    Host h(dev.connect());
    std::vector<uint8_t> d4(4), d65(65), d64(64), d16(16);
    EXPECT_EQ(h.control(0x40, 0x20, 0, 0, d4), vyrwire::ErrPipe);  // identify as OUT
    EXPECT_EQ(h.control(0xC0, 0x20, 1, 0, d4), vyrwire::ErrPipe);  // identify with wValue
    EXPECT_EQ(h.control(0xC0, 0x02, 0, 0, d65), vyrwire::ErrPipe); // read of 65 bytes
    EXPECT_EQ(h.control(0x40, 0x01, 0, 0, d65), vyrwire::ErrPipe); // write of 65 bytes
    EXPECT_EQ(h.control(0x40, 0x30, 0, 1, d16), vyrwire::ErrPipe); // short command
    EXPECT_EQ(h.control(0x40, 0x77, 0, 0, d4), vyrwire::ErrPipe);  // unknown request
    EXPECT_EQ(h.control(0x41, 0x01, 0, 0, d4), vyrwire::ErrPipe);  // not a vendor/device type
    EXPECT_EQ(h.control(0x40, 0x30, 0, 2, d64), vyrwire::ErrPipe); // unknown command kind
    EXPECT_EQ(h.bulkIn(d4.data(), 4), vyrwire::ErrPipe);           // nothing announced
    EXPECT_EQ(h.identify(), 16);                                   // still serving
}

TEST(RomDeviceTransfers, GoodWriteThenReadBack) {
    RomDevice dev(RomDeviceConfig{16, 0, false, 0});
    Host h(dev.connect());
    auto data = pattern(10001, 3);
    ASSERT_TRUE(h.write(0x80008000, data));
    EXPECT_EQ(dev.readRam(0x80008000, data.size()), data);
    auto a = dev.announces().at(0);
    EXPECT_TRUE(a.write);
    EXPECT_EQ(a.total, 10001u);
    EXPECT_EQ(a.blockCount, 3);

    dev.setShortBulk(1000);
    ASSERT_EQ(h.announce(false, 0x80008000 + 1, 5000, 0, 4096, 2), 16);
    std::vector<uint8_t> back(5000);
    size_t done = 0;
    while (done < back.size()) {
        int32_t n = h.bulkIn(back.data() + done, 4096);
        ASSERT_EQ(n, 1000);
        done += size_t(n);
    }
    EXPECT_EQ(back, std::vector<uint8_t>(data.begin() + 1, data.begin() + 5001));
    EXPECT_EQ(h.bulkIn(back.data(), 16), vyrwire::ErrPipe); // all of it was read
    EXPECT_EQ(h.command("noop"), 64);
    EXPECT_EQ(h.status(), "success");
}

// Every kind of mismatch between an announce and the data that follows shows
// as a failed status on the next status read, once.
TEST(RomDeviceTransfers, MismatchesFailTheNextStatus) {
    auto data = pattern(300, 9);
    uint16_t sum = vyrsim::internetChecksum(data.data(), data.size());
    struct Case {
        const char *what;
        std::function<void(Host &)> send;
        const char *expect;
    } cases[] = {
        {"checksum", [&](Host &h) { h.write(0x1000, data, sum ^ 1); }, "failed checksum"},
        {"block count",
         [&](Host &h) {
             h.announce(true, 0x1000, 300, sum, 100, 2);
             for (int i = 0; i < 3; ++i)
                 h.bulkOut(data.data() + 100 * i, 100);
         },
         "failed block count"},
        {"long block",
         [&](Host &h) {
             h.announce(true, 0x1000, 300, sum, 100, 3);
             h.bulkOut(data.data(), 300);
         },
         "failed block of 300"},
        {"short transfer",
         [&](Host &h) {
             h.announce(true, 0x1000, 300, sum, 300, 1);
             h.bulkOut(data.data(), 200);
         },
         "failed short transfer 200 of 300"},
        {"block length 0", [&](Host &h) { h.announce(true, 0x1000, 300, sum, 0, 1); },
         "failed block length 0"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        RomDevice dev(RomDeviceConfig{16, 0, false, 0});
        Host h(dev.connect());
        c.send(h);
        EXPECT_EQ(h.status().rfind(c.expect, 0), 0u) << h.status();
        EXPECT_EQ(h.command("noop"), 64);
        EXPECT_EQ(h.status(), "success");
    }
}

TEST(RomDeviceTransfers, DataBeyondTheTotalIsRefused) {
    RomDevice dev(RomDeviceConfig{0, 0, false, 0});
    Host h(dev.connect());
    auto data = pattern(4096, 1);
    uint16_t sum = vyrsim::internetChecksum(data.data(), 100);
    ASSERT_EQ(h.announce(true, 0x2000, 100, sum, 100, 1), 16);
    EXPECT_EQ(h.bulkOut(data.data(), 4096), 100); // only up to the total
    EXPECT_EQ(h.bulkOut(data.data(), 4096), vyrwire::ErrPipe);
    EXPECT_EQ(dev.readRam(0x2000, 101), [&] {
        std::vector<uint8_t> v(data.begin(), data.begin() + 100);
        v.push_back(0);
        return v;
    }());
}

TEST(RomDeviceCommands, CrcChecksWordSumOfRam) {
    RomDevice dev(RomDeviceConfig{8, 0, false, 0});
    Host h(dev.connect());
    // 5 bytes checked; the byte behind them is not part of the sum.
    dev.writeRam(0x80000FFE, {1, 0, 0, 0, 7, 0xAA}); // crosses a page boundary
    EXPECT_EQ(h.command("crc 80000ffe 5 8"), 64);
    EXPECT_EQ(h.status(), "success");
    EXPECT_EQ(h.command("crc 80000ffe 6 8"), 64);
    EXPECT_EQ(h.status().rfind("failed crc", 0), 0u);
    EXPECT_EQ(h.command("crc 80000ffe five 8"), 64);
    EXPECT_EQ(h.status().rfind("failed crc", 0), 0u);
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
    EXPECT_EQ(h.status(), "running");
    ASSERT_TRUE(waitFor([&] { return h.status() == "success"; }));

    std::vector<uint8_t> step(64, 0);
    uint32_t fields[6] = {0x80000000, 7, 0, 4096, 0x89ABCDEF, 0x01234567};
    std::memcpy(step.data(), fields, 24);
    std::memcpy(step.data() + 32, "system", 6);
    EXPECT_EQ(h.control(0x40, 0x30, 0, 0, step), 64);
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

TEST(RomDeviceFaults, CountSkipAndKinds) {
    RomDevice dev(RomDeviceConfig{16, 0, false, 0});
    dev.injectFault(RequestKind::Identify, Fault::Stall, 2, 1);
    dev.injectFault(RequestKind::ReadMem, Fault::Timeout);
    Host h(dev.connect());
    std::vector<int> ids;
    for (int i = 0; i < 4; ++i)
        ids.push_back(h.identify());
    EXPECT_EQ(ids, (std::vector<int>{16, -1, -1, 16}));
    std::vector<uint8_t> d(8);
    EXPECT_EQ(h.control(0xC0, 0x02, 0, 0, d), vyrwire::ErrTimeout);
    EXPECT_EQ(h.control(0xC0, 0x02, 0, 0, d), vyrwire::ErrTimeout); // forever
    dev.clearFaults();
    EXPECT_EQ(h.control(0xC0, 0x02, 0, 0, d), 8);

    dev.injectFault(RequestKind::Identify, Fault::Drop, 1);
    EXPECT_EQ(h.identify(), -1);
    EXPECT_FALSE(dev.onBus());
    Host again(dev.connect()); // a new connection works: the fault was used up
    EXPECT_EQ(again.identify(), 16);
}

TEST(RomDeviceFaults, DropPartWayThroughBulkData) {
    RomDevice dev(RomDeviceConfig{16, 0, false, 0});
    Host h(dev.connect());
    auto data = pattern(8192, 5);
    ASSERT_EQ(h.announce(true, 0x3000, 8192, vyrsim::internetChecksum(data.data(), 8192), 4096, 2),
              16);
    dev.dropAfterBulkBytes(5000);
    EXPECT_EQ(h.bulkOut(data.data(), 4096), 4096);
    EXPECT_EQ(h.bulkOut(data.data() + 4096, 4096), vyrwire::ErrNoDevice);
    EXPECT_FALSE(dev.onBus());
    auto ram = dev.readRam(0x3000, 8192);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 5000, ram.begin()));
    EXPECT_EQ(ram[5000], 0);
}

// A peer that breaks the protocol loses its connection; the device carries on.
TEST(RomDevicePeers, GarbageClosesOnlyThatConnection) {
    RomDevice dev(RomDeviceConfig{16, 0, false, 0});
    for (auto head : {std::vector<uint8_t>{99, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0},
                      std::vector<uint8_t>{2, 2, 0, 0, 0, 0, 0, 0, 1, 0, 0, 2, 0, 0, 0, 0},
                      std::vector<uint8_t>{16, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}) {
        int fd = dev.connect();
        ASSERT_TRUE(vyrwire::writeFull(fd, head.data(), head.size()));
        uint8_t b;
        EXPECT_FALSE(vyrwire::readFull(fd, &b, 1)); // closed without a reply
        ::close(fd);
    }
    // Half a header, then the peer goes away.
    int fd = dev.connect();
    uint8_t half[5] = {1, 0xC0, 0x20, 0, 0};
    vyrwire::writeFull(fd, half, sizeof half);
    ::close(fd);
    Host h(dev.connect());
    EXPECT_EQ(h.identify(), 16);
}

} // namespace
