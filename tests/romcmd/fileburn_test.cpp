#include "romrig.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

using vyrsim::Fault;
using vyrsim::RequestKind;

using namespace vyrreq;

struct TempFile {
    std::string path;
    explicit TempFile(const std::vector<uint8_t> &bytes) {
        char name[] = "/tmp/romcmd-burn-XXXXXX";
        int fd = mkstemp(name);
        path = name;
        if (!bytes.empty()) {
            EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
        }
        ::close(fd);
    }
    ~TempFile() { std::remove(path.c_str()); }
};

TEST(FileBurn, ChunksLandBackToBackEachFollowedByItsStepBlock) {
    RomRig rig;
    auto data = pattern(10, 0x30);
    TempFile file(data);
    // The step text fills at most 32 bytes; a longer one must not spill over.
    std::string text = "write_nand_" + std::string(30, 'x');
    int rc = VyrUsbburn(rig.fd, file.path.c_str(), 0x40000, text.c_str(), 0x89ABCDEF, 0x01234567, 4,
                        0x55);
    EXPECT_EQ(rc, 10);
    EXPECT_EQ(rig.dev.readRam(0x40000, 10), data);

    // Request order: announce, data, step block, three times over.
    std::vector<uint8_t> order;
    for (const auto &r : rig.dev.requests())
        order.push_back(r.header.op == vyrwire::OpControl ? r.header.b2 : 0);
    EXPECT_EQ(order, (std::vector<uint8_t>{ReqLargeWrite, 0, ReqTplCmd, ReqLargeWrite, 0, ReqTplCmd,
                                           ReqLargeWrite, 0, ReqTplCmd}));
    auto steps = rig.dev.burnSteps();
    ASSERT_EQ(steps.size(), 3u);
    const uint32_t lens[] = {4, 4, 2};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(steps[i].address, 0x40000u + 4 * i);
        EXPECT_EQ(steps[i].length, lens[i]);
        EXPECT_EQ(steps[i].extra, 0x55u);
        EXPECT_EQ(steps[i].value, 0x0123456789ABCDEFull);
        EXPECT_EQ(steps[i].text, text.substr(0, 32));
    }
    auto ann = rig.dev.announces();
    ASSERT_EQ(ann.size(), 3u);
    EXPECT_EQ(ann[2].address, 0x40008u);
    EXPECT_EQ(ann[2].total, 2u);
}

TEST(FileBurn, FirstFailingStepEndsTheBurnWithItsCode) {
    RomRig rig;
    TempFile file(pattern(10, 2));
    // The second step block is refused: the burn stops there.
    rig.dev.injectFault(RequestKind::TplCmd, Fault::Stall, 1, /* skip */ 1);
    EXPECT_EQ(VyrUsbburn(rig.fd, file.path.c_str(), 0x100, "s", 0, 0, 4, 0), -2);
    EXPECT_EQ(rig.controls(ReqLargeWrite).size(), 2u);

    rig.dev.clearRequests();
    rig.dev.clearFaults();
    rig.dev.injectFault(RequestKind::BulkOut, Fault::Stall, 1, /* skip */ 1);
    EXPECT_EQ(VyrUsbburn(rig.fd, file.path.c_str(), 0x100, "s", 0, 0, 4, 0), -6);
    EXPECT_EQ(rig.controls(ReqTplCmd).size(), 1u);
}

TEST(FileBurn, RefusedBeforeAnythingIsSent) {
    RomRig rig;
    TempFile file(pattern(10, 3));
    EXPECT_EQ(VyrUsbburn(0, file.path.c_str(), 0, "s", 0, 0, 4, 0), -15);
    EXPECT_EQ(VyrUsbburn(rig.fd, "/nonexistent/romcmd-image.bin", 0, "s", 0, 0, 4, 0), -25);
    EXPECT_EQ(VyrUsbburn(rig.fd, nullptr, 0, "s", 0, 0, 4, 0), -25);
    // A chunk size of 0 could never make progress.
    EXPECT_EQ(VyrUsbburn(rig.fd, file.path.c_str(), 0, "s", 0, 0, 0, 0), -1);
    EXPECT_TRUE(rig.dev.requests().empty());
    // An empty file burns nothing and succeeds.
    TempFile empty({});
    EXPECT_EQ(VyrUsbburn(rig.fd, empty.path.c_str(), 0, "s", 0, 0, 4, 0), 0);
    EXPECT_TRUE(rig.dev.requests().empty());
}

} // namespace
