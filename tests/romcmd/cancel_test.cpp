// Cancelling a device while an export waits for it: the virtual device's
// wire ends the wait at once (the socket is shut down), the export gives up
// without retrying, nothing more reaches the device, and the device takes the
// next connection afresh.
#include "romcodes.h"
#include "romrig.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

namespace {

using vyrreq::ReqLargeWrite;
using vyrsim::Fault;
using vyrsim::RequestKind;

// Waits until the device has received `n` requests.
void awaitRequests(const RomRig &rig, size_t n) {
    while (rig.dev.requests().size() < n)
        std::this_thread::yield();
}

// Full time-outs: a frozen device would hold each of the three announces
// for 50 s were the cancel not to end the wait.
struct FullTimeouts {
    FullTimeouts() { ::unsetenv("PYREWICK_VIRTUAL_TIMEOUT_MS"); }
};

TEST(Cancel, FrozenAnnounceEndsAtOnceAndIsNotTriedAgain) {
    FullTimeouts full;
    RomRig rig;
    rig.dev.injectFault(RequestKind::LargeWrite, Fault::Freeze);
    auto data = pattern(10000, 3);
    uint32_t actual = 99;
    RomRequest req = rig.request(10000, data.data(), &actual, 0x8000);
    int rc = 0;
    std::thread burn([&] { rc = VyrUsbWriteLargeMem(&req); });
    awaitRequests(rig, 1);
    EXPECT_EQ(VyrCancelDevice(VyrHandle(rig.fd)), 0);
    burn.join();
    EXPECT_EQ(rc, romvane::LargeShort);
    EXPECT_EQ(actual, 0u);
    EXPECT_EQ(rig.controls(ReqLargeWrite).size(), 1u);

    // Nothing reaches the device any more: no identify, and no port reset
    // after the failed identify either.
    uint8_t reply[4] = {};
    RomRequest id = rig.request(4, reply, &actual, 0);
    EXPECT_EQ(VyrUsbIdentifyHost(&id), romvane::CmdFailed);
    EXPECT_EQ(rig.dev.requests().size(), 1u);
    EXPECT_EQ(VyrResumeDevice(VyrHandle(rig.fd)), 0);
}

// A device that stops answering in the middle of a write's blocks: the
// cancel ends the block in flight, the bytes before it count, and the device
// takes the same write in full on its next connection.
TEST(Cancel, SilentBlockEndsAtOnceAndTheDeviceRecoversOnTheNextConnection) {
    FullTimeouts full;
    RomRig rig;
    rig.dev.injectFault(RequestKind::BulkOut, Fault::NoReply, 1, /* skip */ 2);
    auto data = pattern(20000, 5);
    uint32_t actual = 0;
    RomRequest req = rig.request(20000, data.data(), &actual, 0x9000);
    int rc = 0;
    std::thread burn([&] { rc = VyrUsbWriteLargeMem(&req); });
    awaitRequests(rig, 4); // the announce and three blocks, the third unanswered
    VyrCancelDevice(VyrHandle(rig.fd));
    burn.join();
    EXPECT_EQ(rc, romvane::LargeShort);
    EXPECT_EQ(actual, 8192u);
    EXPECT_EQ(rig.dev.requests().size(), 4u);
    VyrResumeDevice(VyrHandle(rig.fd));

    // The cancelled connection is shut for good; a new one starts afresh.
    ::close(rig.fd);
    rig.fd = rig.dev.connect();
    ASSERT_GE(rig.fd, 0);
    req = rig.request(20000, data.data(), &actual, 0x9000);
    EXPECT_EQ(VyrUsbWriteLargeMem(&req), romvane::LargeOk);
    EXPECT_EQ(actual, 20000u);
    EXPECT_EQ(rig.dev.readRam(0x9000, 20000), data);
    // The abandoned transfer is not held against the device.
    EXPECT_EQ(rig.dev.statusText().rfind("failed", 0), std::string::npos);
}

} // namespace
