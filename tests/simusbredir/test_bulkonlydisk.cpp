// The bulk-only transport and SCSI commands as the kernel's disk driver sends
// them, against an image file.
#include "bulkonlydisk.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

using vyrsim::BulkOnlyDisk;

namespace {

constexpr uint32_t Blocks = 64;

std::vector<uint8_t> cbw(uint32_t tag, uint32_t length, bool in, std::vector<uint8_t> cdb) {
    std::vector<uint8_t> w(31, 0);
    const uint32_t sig = 0x43425355;
    std::memcpy(&w[0], &sig, 4);
    std::memcpy(&w[4], &tag, 4);
    std::memcpy(&w[8], &length, 4);
    w[12] = in ? 0x80 : 0;
    w[14] = uint8_t(cdb.size());
    std::copy(cdb.begin(), cdb.end(), w.begin() + 15);
    return w;
}

struct Csw {
    uint32_t tag = 0, residue = 0;
    uint8_t status = 0xff;
};

class BulkOnlyDiskTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/bulkonlydiskXXXXXX";
        int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        image = name;
        std::vector<uint8_t> zero(Blocks * BulkOnlyDisk::BlockSize, 0);
        for (uint32_t b = 0; b < Blocks; ++b)
            zero[b * BulkOnlyDisk::BlockSize] = uint8_t(b); // each block names itself
        ASSERT_EQ(write(fd, zero.data(), zero.size()), ssize_t(zero.size()));
        close(fd);
        std::string error;
        ASSERT_TRUE(disk.open(image, &error)) << error;
    }
    void TearDown() override { unlink(image.c_str()); }

    // One command through all its stages; data in comes back through in.
    Csw run(std::vector<uint8_t> cdb, uint32_t length, bool dirIn,
            const std::vector<uint8_t> &out = {}, std::vector<uint8_t> *in = nullptr,
            size_t inPiece = 4096) {
        auto w = cbw(++tag, length, dirIn, std::move(cdb));
        EXPECT_EQ(disk.bulkOut(w.data(), w.size()), 31);
        if (length > 0 && !dirIn) {
            EXPECT_EQ(disk.bulkOut(out.data(), out.size()), int(out.size()));
        }
        std::vector<uint8_t> piece;
        if (length > 0 && dirIn) {
            for (;;) {
                int n = disk.bulkIn(inPiece, piece);
                EXPECT_GE(n, 0);
                if (in) in->insert(in->end(), piece.begin(), piece.end());
                if (n < int(inPiece) || (in && in->size() >= length)) break;
            }
        }
        Csw c;
        EXPECT_EQ(disk.bulkIn(13, piece), 13);
        if (piece.size() == 13) {
            std::memcpy(&c.tag, &piece[4], 4);
            std::memcpy(&c.residue, &piece[8], 4);
            c.status = piece[12];
            EXPECT_EQ(c.tag, tag);
        }
        EXPECT_TRUE(disk.idle());
        return c;
    }

    std::string image;
    BulkOnlyDisk disk;
    uint32_t tag = 100;
};

TEST_F(BulkOnlyDiskTest, IdentifiesAsRemovableDiskWithItsCapacity) {
    std::vector<uint8_t> inq;
    Csw c = run({0x12, 0, 0, 0, 36, 0}, 36, true, {}, &inq);
    EXPECT_EQ(c.status, 0);
    ASSERT_EQ(inq.size(), 36u);
    EXPECT_EQ(inq[0], 0x00);
    EXPECT_EQ(inq[1], 0x80); // removable: the volume lookup only takes removable disks
    std::vector<uint8_t> cap;
    c = run({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8, true, {}, &cap);
    EXPECT_EQ(c.status, 0);
    ASSERT_EQ(cap.size(), 8u);
    EXPECT_EQ(cap[3], Blocks - 1);
    EXPECT_EQ(cap[6], 0x02); // 512
    // A short answer leaves a residue.
    std::vector<uint8_t> mode;
    c = run({0x1a, 0, 0x3f, 0, 192, 0}, 192, true, {}, &mode);
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(mode.size(), 4u);
    EXPECT_EQ(c.residue, 188u);
}

TEST_F(BulkOnlyDiskTest, WritesAndReadsBlocksOfTheImage) {
    std::vector<uint8_t> data(3 * 512);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 7);
    Csw c = run({0x2a, 0, 0, 0, 0, 10, 0, 0, 3, 0}, 3 * 512, false, data);
    EXPECT_EQ(c.status, 0);
    std::vector<uint8_t> back;
    c = run({0x28, 0, 0, 0, 0, 10, 0, 0, 3, 0}, 3 * 512, true, {}, &back, 1000);
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(back, data);
    // Straight from the file: another reader sees the written bytes at once.
    std::ifstream f(image, std::ios::binary);
    f.seekg(10 * 512);
    std::vector<char> raw(3 * 512);
    f.read(raw.data(), raw.size());
    EXPECT_TRUE(std::equal(raw.begin(), raw.end(), data.begin(),
                           [](char a, uint8_t b) { return uint8_t(a) == b; }));
    // Neighbours untouched.
    std::vector<uint8_t> b9;
    run({0x28, 0, 0, 0, 0, 9, 0, 0, 1, 0}, 512, true, {}, &b9);
    EXPECT_EQ(b9[0], 9);
}

TEST_F(BulkOnlyDiskTest, FailedCommandReportsItsSenseOnce) {
    std::vector<uint8_t> none;
    Csw c = run({0x28, 0, 0, 0, 0, Blocks, 0, 0, 1, 0}, 512, true, {}, &none);
    EXPECT_EQ(c.status, 1);
    EXPECT_TRUE(none.empty());
    std::vector<uint8_t> sense;
    run({0x03, 0, 0, 0, 18, 0}, 18, true, {}, &sense);
    ASSERT_EQ(sense.size(), 18u);
    EXPECT_EQ(sense[2], 0x05);  // illegal request
    EXPECT_EQ(sense[12], 0x21); // LBA out of range
    sense.clear();
    run({0x03, 0, 0, 0, 18, 0}, 18, true, {}, &sense);
    EXPECT_EQ(sense[2], 0x00);
    // An unknown operation code.
    c = run({0x4d, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, false);
    EXPECT_EQ(c.status, 1);
}

TEST_F(BulkOnlyDiskTest, VendorCommandsGoToTheHandlerWithTheirData) {
    std::vector<std::vector<uint8_t>> seen;
    disk.setVendorHandler([&](const std::vector<uint8_t> &cdb, BulkOnlyDisk::Direction dir,
                              const std::vector<uint8_t> &data, uint32_t length) {
        seen.push_back(cdb);
        BulkOnlyDisk::VendorReply r;
        if (cdb[0] == 0xc1) {
            EXPECT_EQ(dir, BulkOnlyDisk::Direction::FromDevice);
            r.data.assign(length, 0);
            std::memcpy(r.data.data(), "ready", 5);
        } else if (cdb[0] == 0xc3) {
            EXPECT_EQ(dir, BulkOnlyDisk::Direction::ToDevice);
            EXPECT_EQ(std::string(data.begin(), data.end()), "update:update.zip");
        } else {
            r.status = 2;
            r.sense = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0};
        }
        return r;
    });
    std::string cmd = "update:update.zip";
    Csw c = run({0xc3, 0, 0, 0, uint8_t(cmd.size()), 0, 0, 0, 0, 0}, uint32_t(cmd.size()), false,
                std::vector<uint8_t>(cmd.begin(), cmd.end()));
    EXPECT_EQ(c.status, 0);
    std::vector<uint8_t> state;
    c = run({0xc1, 0, 0, 0, 0x80, 0}, 128, true, {}, &state);
    EXPECT_EQ(c.status, 0);
    ASSERT_EQ(state.size(), 128u);
    EXPECT_STREQ(reinterpret_cast<const char *>(state.data()), "ready");
    c = run({0xc0, 1, 0, 0, 0, 0}, 0, false);
    EXPECT_EQ(c.status, 1);
    std::vector<uint8_t> sense;
    run({0x03, 0, 0, 0, 18, 0}, 18, true, {}, &sense);
    EXPECT_EQ(sense[12], 0x24); // the handler's own sense, passed on
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].size(), 10u);
    EXPECT_EQ(seen[1].size(), 6u);
}

TEST_F(BulkOnlyDiskTest, AnythingButACommandBlockStallsAndResetRecovers) {
    std::vector<uint8_t> junk(31, 0xaa);
    EXPECT_EQ(disk.bulkOut(junk.data(), junk.size()), -1);
    std::vector<uint8_t> piece;
    EXPECT_EQ(disk.bulkIn(13, piece), -1); // no status without a command
    auto w = cbw(1, 512, true, {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0});
    ASSERT_EQ(disk.bulkOut(w.data(), w.size()), 31);
    disk.reset();
    EXPECT_TRUE(disk.idle());
    Csw c = run({0x00, 0, 0, 0, 0, 0}, 0, false);
    EXPECT_EQ(c.status, 0);
}

} // namespace
