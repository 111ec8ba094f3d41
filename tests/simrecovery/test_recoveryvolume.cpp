// The virtual recovery volume at the wire level: what it refuses, and how it
// leaves and comes back.
#include "recoveryvolume.h"
#include "vyrwire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <unistd.h>

using vyrsim::RecoveryConfig;
using vyrsim::RecoveryVolume;

namespace {

struct ScsiReply {
    int32_t result = 0;
    std::vector<uint8_t> payload;
    uint8_t status() const { return payload.empty() ? 0xff : payload[0]; }
    uint8_t senseKey() const { return payload.size() > 6 ? payload[4 + 2] : 0xff; }
    uint8_t asc() const { return payload.size() > 16 ? payload[4 + 12] : 0xff; }
};

ScsiReply scsi(int fd, std::vector<uint8_t> cdb, uint8_t dir, const std::string &data,
               uint32_t length) {
    vyrwire::Request r;
    r.op = vyrwire::OpScsi;
    r.b1 = uint8_t(cdb.size());
    r.b2 = dir;
    r.length = length;
    r.timeoutMs = 2000;
    cdb.resize(16);
    std::string payload(cdb.begin(), cdb.end());
    payload += data;
    ScsiReply out;
    out.payload.resize(36 + 128);
    uint32_t got = 0;
    out.result = vyrwire::call(fd, r, payload.data(), payload.size(), out.payload.data(),
                               out.payload.size(), &got);
    out.payload.resize(got);
    return out;
}

RecoveryConfig quick() {
    RecoveryConfig c;
    c.bootMs = c.updateMs = c.commandMs = 0;
    return c;
}

TEST(RecoveryVolume, RefusesWhatItDoesNotKnowWithCheckCondition) {
    RecoveryVolume dev("/nonexistent", quick());
    int fd = dev.connect();
    ASSERT_GE(fd, 0);
    struct Case {
        const char *what;
        std::vector<uint8_t> cdb;
        uint8_t dir;
        std::string data;
        uint8_t asc;
    } cases[] = {
        {"inquiry", {0x12, 0, 0, 0, 36, 0}, 2, "", 0x20},
        {"state in a 10-byte CDB", {0xC1, 0, 0, 0, 0x80, 0, 0, 0, 0, 0}, 2, "", 0x24},
        {"state with data to the device", {0xC1, 0, 0, 0, 0x80, 0}, 1, "abc", 0x24},
        {"command length byte not the data length",
         {0xC3, 0, 0, 0, 9, 0, 0, 0, 0, 0},
         1,
         "reset",
         0x24},
        {"command in a 6-byte CDB", {0xC3, 0, 0, 0, 5, 0}, 1, "reset", 0x24},
        {"CDB shorter than 6 bytes", {0xC0, 0, 0}, 0, "", 0x24},
    };
    for (const auto &c : cases) {
        ScsiReply rep = scsi(fd, c.cdb, c.dir, c.data, uint32_t(c.dir == 2 ? 128 : c.data.size()));
        EXPECT_EQ(rep.result, 0) << c.what;
        EXPECT_EQ(rep.status(), 2) << c.what;
        EXPECT_EQ(rep.senseKey(), 0x05) << c.what;
        EXPECT_EQ(rep.asc(), c.asc) << c.what;
        EXPECT_EQ(rep.payload.size(), 36u) << c.what; // no data with a refusal
    }
    EXPECT_TRUE(dev.commands().empty());
    EXPECT_EQ(dev.records().size(), std::size(cases));
    EXPECT_TRUE(dev.onBus());

    // A ROM-mode request on the volume stalls; the connection stays usable.
    vyrwire::Request usb;
    usb.op = vyrwire::OpControl;
    usb.b1 = 0xC0;
    usb.length = 4;
    usb.timeoutMs = 2000;
    uint8_t buf[8];
    EXPECT_EQ(vyrwire::call(fd, usb, nullptr, 0, buf, sizeof buf, nullptr), vyrwire::ErrPipe);
    EXPECT_EQ(scsi(fd, {0xC1, 0, 0, 0, 0x80, 0}, 2, "", 128).status(), 0);
    close(fd);
}

TEST(RecoveryVolume, LeavesAndListensAgain) {
    char dir[] = "/tmp/recvol-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string sock = std::string(dir) + "/sda";
    RecoveryVolume dev(dir, quick());
    ASSERT_TRUE(dev.listen(sock));
    int fd = dev.connect();
    ASSERT_GE(fd, 0);
    dev.leave();
    EXPECT_FALSE(dev.onBus());
    EXPECT_FALSE(std::filesystem::exists(sock));
    EXPECT_EQ(dev.connect(), -1);
    EXPECT_EQ(scsi(fd, {0xC0, 0, 0, 0, 0, 0}, 0, "", 0).result, vyrwire::ErrNoDevice);
    close(fd);

    ASSERT_TRUE(dev.listen(sock));
    EXPECT_TRUE(dev.onBus());
    fd = dev.connect();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(scsi(fd, {0xC0, 0, 0, 0, 0, 0}, 0, "", 0).status(), 0);
    close(fd);
    std::filesystem::remove_all(dir);
}

} // namespace
