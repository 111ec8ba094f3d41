// The engine's command channel against the virtual ROM-mode device: what each
// call puts on the wire and what it hands back.
#include <gtest/gtest.h>

#include <QByteArray>
#include <cstring>
#include <string>
#include <thread>

#include "devicegate.h"
#include "loaderchannel.h"
#include "romrig.h"
#include "vyrrequests.h"

TEST(LoaderChannel, IdentifyNamesTheBootStage) {
    RomRig rom(vyrsim::RomDeviceConfig{});
    EXPECT_EQ(LoaderChannel(VyrHandle(rom.fd)).identify(), vyrreq::StageRom);
    RomRig loader;
    EXPECT_EQ(LoaderChannel(VyrHandle(loader.fd)).identify(), vyrreq::StageBootLoader);
    ::close(loader.fd);
    EXPECT_EQ(LoaderChannel(VyrHandle(loader.fd)).identify(), -1);
    loader.fd = -1;
}

TEST(LoaderChannel, TextCommandTravelsInTheCommandBlockWithItsRunFlag) {
    RomRig rig;
    LoaderChannel channel{VyrHandle(rig.fd)};
    ASSERT_EQ(channel.textCommand("setenv bootargs console=ttyS0"), 0);
    const auto sent = rig.controls(vyrreq::ReqTplCmd);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].b1, vyrreq::TypeOut);
    EXPECT_EQ(sent[0].wValue, 0);
    EXPECT_EQ(sent[0].wIndex, 1);
    EXPECT_EQ(rig.dev.commands(), std::vector<std::string>{"setenv bootargs console=ttyS0"});

    char reply[64];
    std::memset(reply, 'x', sizeof reply);
    ASSERT_EQ(channel.readStatus(reply, sizeof reply), 0);
    const auto asked = rig.controls(vyrreq::ReqTplStatus);
    ASSERT_EQ(asked.size(), 1u);
    // The request's setup fields come from the zeroed reply buffer.
    EXPECT_EQ(asked[0].wValue, 0);
    EXPECT_EQ(asked[0].wIndex, 0);
    EXPECT_EQ(std::string(reply, strnlen(reply, sizeof reply)), rig.dev.statusText());
}

TEST(LoaderChannel, TextTooLongForTheBlockIsNeverSent) {
    RomRig rig;
    LoaderChannel channel{VyrHandle(rig.fd)};
    const QByteArray fits(LoaderChannel::kTextRoom, 'a');
    EXPECT_EQ(channel.textCommand(fits), 0);
    EXPECT_EQ(channel.textCommand(fits + "b"), -1);
    EXPECT_EQ(rig.controls(vyrreq::ReqTplCmd).size(), 1u);
}

TEST(LoaderChannel, RamWrittenAndReadBackInBulk) {
    RomRig rig;
    LoaderChannel channel{VyrHandle(rig.fd)};
    const std::vector<uint8_t> data = pattern(70000, 3);
    uint32_t written = 0;
    ASSERT_EQ(channel.writeRam(0x81000000u, data.data(), uint32_t(data.size()), &written), 0);
    EXPECT_EQ(written, data.size());
    EXPECT_EQ(rig.dev.readRam(0x81000000u, data.size()), data);

    std::vector<uint8_t> back(32, 0);
    ASSERT_EQ(channel.readRam(0x81000010u, back.data(), uint32_t(back.size())), 0);
    EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin() + 16));
}

TEST(LoaderChannel, RunStartsTheCodeAtItsAddress) {
    RomRig rig(vyrsim::RomDeviceConfig{});
    ASSERT_EQ(LoaderChannel(VyrHandle(rig.fd)).run(0x80000000u), 0);
    const auto runs = rig.controls(vyrreq::ReqRun);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].wValue, 0x8000);
    EXPECT_EQ(runs[0].wIndex, 0x0000);
}

// Once the port's gate is closed (the program closes, or Stop) every call
// fails at once and nothing reaches the device; opened again, calls go through.
TEST(LoaderChannel, ClosedGateSendsNothing) {
    RomRig rig;
    DeviceGate gate;
    LoaderChannel channel{VyrHandle(rig.fd), &gate};
    ASSERT_EQ(channel.identify(), vyrreq::StageBootLoader);
    gate.close();
    const std::vector<uint8_t> data = pattern(100, 1);
    uint32_t written = 7;
    char reply[64];
    EXPECT_EQ(channel.identify(), -1);
    EXPECT_NE(channel.writeRam(0x81000000u, data.data(), uint32_t(data.size()), &written), 0);
    EXPECT_EQ(written, 0u);
    EXPECT_NE(channel.readRam(0x81000000u, reply, sizeof reply), 0);
    EXPECT_NE(channel.run(0x81000000u), 0);
    EXPECT_NE(channel.textCommand("reset"), 0);
    EXPECT_NE(channel.readStatus(reply, sizeof reply), 0);
    EXPECT_EQ(rig.dev.requests().size(), 1u);
    gate.open();
    EXPECT_EQ(channel.identify(), vyrreq::StageBootLoader);
    EXPECT_EQ(rig.dev.requests().size(), 2u);
}

// A request already on its way when the gate closes ends then, not at its
// time-out: the gate cancels the handle bound to it. Full time-outs, so a
// text command the device never answers would hold the call for 50 s.
TEST(LoaderChannel, ClosingTheGateEndsTheRequestInFlight) {
    ::unsetenv("PYREWICK_VIRTUAL_TIMEOUT_MS");
    RomRig rig;
    rig.dev.injectFault(vyrsim::RequestKind::TplCmd, vyrsim::Fault::Freeze);
    DeviceGate gate;
    gate.bind(VyrHandle(rig.fd));
    LoaderChannel channel{VyrHandle(rig.fd), &gate};
    int rc = 0;
    std::thread start([&] { rc = channel.textCommand("go 81000000"); });
    while (rig.dev.requests().empty())
        std::this_thread::yield();
    gate.close();
    start.join();
    EXPECT_EQ(rc, -2);
    EXPECT_EQ(rig.dev.requests().size(), 1u);

    // A handle bound while the gate is closed is cancelled at once: a call
    // past the gate's own check reaches nothing, not even a port reset.
    RomRig other;
    gate.bind(VyrHandle(other.fd));
    uint8_t reply[4] = {};
    uint32_t actual = 0;
    RomRequest identify = other.request(4, reply, &actual, 0);
    EXPECT_EQ(VyrUsbIdentifyHost(&identify), -2); // past the gate's own check, as a call on its way
    EXPECT_TRUE(other.dev.requests().empty());
}
