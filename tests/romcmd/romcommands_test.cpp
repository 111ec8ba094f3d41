#include "romrig.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using vyrsim::Fault;
using vyrsim::RequestKind;

using namespace vyrreq;

TEST(MemoryByControl, WriteSplitsInto64BytePiecesAndAdvancesAddress) {
    // 132 bytes: 64, 64, 4, every piece at the address behind the last.
    {
        RomRig rig;
        auto data = pattern(132, 1);
        RomRequest req = rig.request(132, data.data(), nullptr, 0x1000);
        EXPECT_EQ(VyrUsbWriteMemCtr(&req), 1);
        EXPECT_EQ(req.ram_addr, 0x1000u + 132);
        auto pieces = rig.controls(ReqWriteMem);
        ASSERT_EQ(pieces.size(), 3u);
        const uint32_t lens[] = {64, 64, 4};
        for (size_t i = 0; i < 3; ++i) {
            uint32_t addr = uint32_t(pieces[i].wValue) << 16 | pieces[i].wIndex;
            EXPECT_EQ(addr, 0x1000u + 64 * i);
            EXPECT_EQ(pieces[i].length, lens[i]);
        }
        EXPECT_EQ(rig.dev.readRam(0x1000, 132), data);
    }
    // 130 bytes: the 2-byte tail is too short for a control write and is refused
    // before it is sent; the call reports the stop, the address stays behind
    // the 128 bytes that did land.
    {
        RomRig rig;
        auto data = pattern(130, 2);
        RomRequest req = rig.request(130, data.data(), nullptr, 0x2000);
        EXPECT_EQ(VyrUsbWriteMemCtr(&req), 0);
        EXPECT_EQ(req.ram_addr, 0x2000u + 128);
        EXPECT_EQ(rig.controls(ReqWriteMem).size(), 2u);
        EXPECT_EQ(rig.dev.readRam(0x2000, 128),
                  std::vector<uint8_t>(data.begin(), data.begin() + 128));
    }
}

TEST(MemoryByControl, ReadStopsAtFailedPieceAndReportsBytesRead) {
    RomRig rig;
    auto data = pattern(150, 3);
    rig.dev.writeRam(0x3000, data);
    std::vector<uint8_t> got(150);
    uint32_t actual = 0xDEAD;
    RomRequest req = rig.request(150, got.data(), &actual, 0x3000);
    EXPECT_EQ(VyrUsbReadMemCtr(&req), 0);
    EXPECT_EQ(actual, 150u);
    EXPECT_EQ(got, data);
    EXPECT_EQ(req.ram_addr, 0x3000u + 150);

    rig.dev.injectFault(RequestKind::ReadMem, Fault::Stall, 1, /* skip */ 1);
    std::vector<uint8_t> part(150, 0);
    req = rig.request(150, part.data(), &actual, 0x3000);
    EXPECT_EQ(VyrUsbReadMemCtr(&req), -1);
    EXPECT_EQ(actual, 64u);
    EXPECT_EQ(req.ram_addr, 0x3000u + 64);
    EXPECT_TRUE(std::equal(part.begin(), part.begin() + 64, data.begin()));
}

TEST(MemoryByControl, ZeroLengthSendsNothingAndSucceeds) {
    RomRig rig;
    uint8_t byte = 0;
    uint32_t actual = 7;
    RomRequest req = rig.request(0, &byte, &actual, 0x10);
    EXPECT_EQ(VyrUsbWriteMemCtr(&req), 1);
    EXPECT_EQ(VyrUsbReadMemCtr(&req), 0);
    EXPECT_EQ(actual, 0u);
    EXPECT_EQ(req.ram_addr, 0x10u);
    EXPECT_TRUE(rig.dev.requests().empty());
}

TEST(TextCommand, BootmCountsAsSentEvenWhenTheDeviceNeverAcknowledges) {
    RomRig rig;
    rig.dev.injectFault(RequestKind::TplCmd, Fault::Stall);
    uint8_t block[68] = {};
    block[66] = 1; // wIndex 1: a text command
    uint32_t sent = 0;
    std::memcpy(block, "bootm 0x80008000", 16);
    RomRequest req = rig.request(68, block, &sent, 0);
    EXPECT_EQ(VyrUsbTplCmd(&req), 0);
    std::memcpy(block, "boot", 5); // "boot" + terminator: not the rule
    EXPECT_EQ(VyrUsbTplCmd(&req), -2);
    EXPECT_EQ(rig.controls(ReqTplCmd).size(), 2u);
}

TEST(TextCommand, MissingBufferOrCountIsAFaultAndSendsNothing) {
    RomRig rig;
    uint8_t block[68] = {};
    uint32_t sent = 0;
    RomRequest noBuffer = rig.request(68, nullptr, &sent, 0);
    RomRequest noCount = rig.request(68, block, nullptr, 0);
    EXPECT_EQ(VyrUsbTplCmd(&noBuffer), -3);
    EXPECT_EQ(VyrUsbTplCmd(&noCount), -3);
    EXPECT_EQ(VyrUsbTplCmd(nullptr), -3);
    EXPECT_TRUE(rig.dev.requests().empty());
}

TEST(TextCommand, StatusTakesOnly64Bytes) {
    RomRig rig;
    char status[64] = {};
    RomRequest st = rig.request(64, status, nullptr, 0);
    ASSERT_EQ(VyrUsbReadStatus(&st), 0);
    EXPECT_EQ(std::string(status, strnlen(status, 64)), rig.dev.statusText());
    st.length = 63;
    EXPECT_EQ(VyrUsbReadStatus(&st), -2);
}

TEST(Identify, ReportsStageAndResetsADeviceThatDoesNotAnswer) {
    RomRig rig;
    uint8_t reply[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    RomRequest req = rig.request(4, reply, nullptr, 0);
    ASSERT_EQ(VyrUsbIdentifyHost(&req), 0);
    EXPECT_EQ(reply[3], vyrsim::StageBootLoader);
    EXPECT_TRUE(rig.ofOp(vyrwire::OpReset).empty());

    rig.dev.injectFault(RequestKind::Identify, Fault::Stall, 1);
    EXPECT_EQ(VyrUsbIdentifyHost(&req), -2);
    auto log = rig.dev.requests();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().header.op, vyrwire::OpReset);
    RomRequest none{0, 4, reply, nullptr, 0};
    EXPECT_EQ(VyrResetDev(&none), -1);
}

} // namespace
