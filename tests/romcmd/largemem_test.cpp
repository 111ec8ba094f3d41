#include "romrig.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

namespace {

using vyrsim::Fault;
using vyrsim::RequestKind;

using namespace vyrreq;

// The write sequence as it stands, read from the announce of a one-block write
// (which then raises it by one).
uint32_t probeWriteSequence(RomRig &rig) {
    uint8_t b[4] = {};
    uint32_t n = 0;
    RomRequest req = rig.request(4, b, &n, 0x7000000);
    EXPECT_EQ(VyrUsbWriteLargeMem(&req), 0);
    return rig.dev.announces().back().sequence;
}

TEST(LargeWrite, AnnouncesOnceThenSendsBlocksOf4096) {
    RomRig rig;
    uint32_t seq = probeWriteSequence(rig) + 1;
    rig.dev.clearRequests();
    auto data = pattern(10000, 5);
    uint32_t actual = 0;
    RomRequest req = rig.request(10000, data.data(), &actual, 0x80000);
    ASSERT_EQ(VyrUsbWriteLargeMem(&req), 0);
    EXPECT_EQ(actual, 10000u);
    EXPECT_EQ(req.ram_addr, 0x80000u); // not advanced
    ASSERT_FALSE(rig.dev.announces().empty());
    const auto a = rig.dev.announces().back();
    EXPECT_TRUE(a.write);
    EXPECT_EQ(a.address, 0x80000u);
    EXPECT_EQ(a.total, 10000u);
    EXPECT_EQ(a.blockLength, 4096);
    EXPECT_EQ(a.blockCount, 3);
    EXPECT_EQ(a.sequence, seq);
    EXPECT_EQ(a.checksum, vyrsim::internetChecksum(data.data(), data.size()));
    EXPECT_EQ(rig.bulkLengths(vyrwire::OpBulkOut), (std::vector<uint32_t>{4096, 4096, 1808}));
    EXPECT_EQ(rig.dev.readRam(0x80000, 10000), data);
    EXPECT_EQ(probeWriteSequence(rig), seq + 3);

    // A small write is one block of its own length.
    req = rig.request(100, data.data(), &actual, 0x90000);
    ASSERT_EQ(VyrUsbWriteLargeMem(&req), 0);
    EXPECT_EQ(rig.dev.announces().back().blockLength, 100);
    EXPECT_EQ(rig.dev.announces().back().blockCount, 1);
}

TEST(LargeTransfer, ReadAnnouncesWholeLengthWriteAnnouncesAtMost64KiB) {
    RomRig rig;
    auto data = pattern(70000, 9);
    uint32_t actual = 0;
    RomRequest wr = rig.request(70000, data.data(), &actual, 0x100000);
    ASSERT_EQ(VyrUsbWriteLargeMem(&wr), 0);
    EXPECT_EQ(actual, 70000u);
    // Each announced stretch carries its own address, length and checksum, so
    // the device can check what it received.
    auto ann = rig.dev.announces();
    ASSERT_EQ(ann.size(), 2u);
    EXPECT_EQ(ann[0].total, 65536u);
    EXPECT_EQ(ann[0].blockCount, 16);
    EXPECT_EQ(ann[0].checksum, vyrsim::internetChecksum(data.data(), 65536));
    EXPECT_EQ(ann[1].address, 0x100000u + 65536);
    EXPECT_EQ(ann[1].total, 70000u - 65536);
    EXPECT_EQ(ann[1].checksum, vyrsim::internetChecksum(data.data() + 65536, 70000 - 65536));
    EXPECT_EQ(rig.dev.readRam(0x100000, 70000), data);

    std::vector<uint8_t> back(70000, 0);
    RomRequest rd = rig.request(70000, back.data(), &actual, 0x100000);
    ASSERT_EQ(VyrUsbReadLargeMem(&rd), 0);
    EXPECT_EQ(actual, 70000u);
    EXPECT_EQ(back, data);
    const auto r = rig.dev.announces().back();
    EXPECT_FALSE(r.write);
    EXPECT_EQ(r.total, 70000u);
    EXPECT_EQ(r.blockCount, 18);
    EXPECT_EQ(r.blockLength, 4096);
}

TEST(LargeTransfer, ChecksumWidensByDirection) {
    // Two bytes whose checksum has bit 15 set: ~0x1234 = 0xEDCB.
    RomRig rig;
    uint8_t buf[2] = {0x34, 0x12};
    uint32_t actual = 0;
    RomRequest wr = rig.request(2, buf, &actual, 0x5000);
    ASSERT_EQ(VyrUsbWriteLargeMem(&wr), 0);
    EXPECT_EQ(rig.dev.announces().back().checksum, 0x0000EDCBu);
    // A read's checksum covers the destination as it was before the read.
    RomRequest rd = rig.request(2, buf, &actual, 0x6000);
    ASSERT_EQ(VyrUsbReadLargeMem(&rd), 0);
    EXPECT_EQ(rig.dev.announces().back().checksum, 0xFFFFEDCBu);
}

TEST(LargeTransfer, ZeroLengthAndBadRecords) {
    RomRig rig;
    uint8_t b = 0;
    uint32_t actual = 99;
    RomRequest req = rig.request(0, &b, &actual, 0);
    EXPECT_EQ(VyrUsbWriteLargeMem(&req), 0);
    EXPECT_EQ(actual, 0u);
    actual = 99;
    EXPECT_EQ(VyrUsbReadLargeMem(&req), 0);
    EXPECT_EQ(actual, 0u);
    EXPECT_EQ(VyrUsbWriteLargeMem(nullptr), -1);
    EXPECT_EQ(VyrUsbReadLargeMem(nullptr), -1);
    RomRequest noBuffer = rig.request(16, nullptr, &actual, 0);
    EXPECT_EQ(VyrUsbWriteLargeMem(&noBuffer), -3);
    EXPECT_EQ(VyrUsbReadLargeMem(&noBuffer), -3);
    EXPECT_TRUE(rig.dev.requests().empty());
}

TEST(LargeTransfer, FailedAnnounceIsTriedThreeTimes) {
    RomRig rig;
    auto data = pattern(5000, 4);
    uint32_t actual = 99;
    RomRequest req = rig.request(5000, data.data(), &actual, 0x8000);
    // Two failures, then the third attempt goes through.
    rig.dev.injectFault(RequestKind::LargeWrite, Fault::Stall, 2);
    EXPECT_EQ(VyrUsbWriteLargeMem(&req), 0);
    EXPECT_EQ(rig.controls(ReqLargeWrite).size(), 3u);
    EXPECT_EQ(rig.dev.readRam(0x8000, 5000), data);

    rig.dev.clearRequests();
    rig.dev.injectFault(RequestKind::LargeRead, Fault::Stall);
    EXPECT_EQ(VyrUsbReadLargeMem(&req), -6);
    EXPECT_EQ(actual, 0u);
    EXPECT_EQ(rig.controls(ReqLargeRead).size(), 3u);
    EXPECT_TRUE(rig.ofOp(vyrwire::OpBulkIn).empty());
}

TEST(LargeTransfer, ZeroByteTransfersEndTheCallAtTheSixth) {
    RomRig rig;
    auto data = pattern(6000, 6);
    uint32_t actual = 0;
    RomRequest req = rig.request(6000, data.data(), &actual, 0x9000);
    rig.dev.setZeroBulk(5);
    EXPECT_EQ(VyrUsbWriteLargeMem(&req), 0);
    EXPECT_EQ(actual, 6000u);
    EXPECT_EQ(rig.dev.readRam(0x9000, 6000), data);

    rig.dev.clearRequests();
    rig.dev.setZeroBulk(6);
    EXPECT_EQ(VyrUsbWriteLargeMem(&req), -6);
    EXPECT_EQ(actual, 0u);
    EXPECT_EQ(rig.ofOp(vyrwire::OpBulkOut).size(), 6u);
}

TEST(LargeTransfer, FailedBlockEndsTheCallWithBytesMovedBeforeIt) {
    RomRig rig;
    auto data = pattern(10000, 8);
    uint32_t actual = 0;
    RomRequest req = rig.request(10000, data.data(), &actual, 0xA000);
    rig.dev.injectFault(RequestKind::BulkOut, Fault::Stall, 1, /* skip */ 1);
    EXPECT_EQ(VyrUsbWriteLargeMem(&req), -6);
    EXPECT_EQ(actual, 4096u);
    EXPECT_EQ(rig.ofOp(vyrwire::OpBulkOut).size(), 2u);

    rig.dev.writeRam(0xA000, data);
    std::vector<uint8_t> back(10000);
    req = rig.request(10000, back.data(), &actual, 0xA000);
    rig.dev.injectFault(RequestKind::BulkIn, Fault::Stall, 1, /* skip */ 2);
    EXPECT_EQ(VyrUsbReadLargeMem(&req), -6);
    EXPECT_EQ(actual, 8192u);
    EXPECT_TRUE(std::equal(back.begin(), back.begin() + 8192, data.begin()));
}

TEST(LargeTransfer, SequenceCountersAddUpAcrossThreads) {
    constexpr int Threads = 8, Rounds = 25;
    RomRig probe;
    uint32_t before = probeWriteSequence(probe) + 1;
    std::vector<std::unique_ptr<RomRig>> rigs;
    for (int t = 0; t < Threads; ++t) {
        rigs.push_back(std::make_unique<RomRig>());
        rigs.back()->dev.setRecordBulkData(false);
    }
    std::vector<std::thread> workers;
    for (int t = 0; t < Threads; ++t)
        workers.emplace_back([&rigs, t] {
            RomRig &rig = *rigs[t];
            auto data = pattern(10000, uint8_t(t));
            uint32_t actual = 0;
            for (int i = 0; i < Rounds; ++i) {
                RomRequest wr = rig.request(10000, data.data(), &actual, 0x10000);
                EXPECT_EQ(VyrUsbWriteLargeMem(&wr), 0);
                RomRequest rd = rig.request(100, data.data(), &actual, 0x10000);
                EXPECT_EQ(VyrUsbReadLargeMem(&rd), 0);
            }
        });
    for (auto &w : workers)
        w.join();
    // Three blocks per write: nothing lost to a racing increment.
    EXPECT_EQ(probeWriteSequence(probe), before + Threads * Rounds * 3);
    // Every read got its own number.
    std::set<uint32_t> reads;
    for (auto &rig : rigs)
        for (const auto &a : rig->dev.announces())
            if (!a.write) reads.insert(a.sequence);
    EXPECT_EQ(reads.size(), size_t(Threads * Rounds));
    EXPECT_EQ(*reads.rbegin() - *reads.begin(), uint32_t(Threads * Rounds - 1));
}

} // namespace
