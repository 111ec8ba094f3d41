// The queue of transfers in flight against a device of the test's making: an
// AsyncUsb table whose transfers complete, fail, return nothing, hang or find
// the device gone as each test says, and which records what the device took.
#include "cancelregistry.h"
#include "transferqueue.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using pipewell::CancelRegistry;
using pipewell::TransferQueue;

// How the device ends the n-th transfer submitted to it. Hang: it stops
// answering there, that transfer and every later one (cancels still work).
enum class Ends { Full, Zero, Short, Stall, Hang, Vanish };

struct FakeDevice {
    std::mutex m;
    std::condition_variable woken;
    std::deque<libusb_transfer *> inFlight; // in submission order
    std::map<libusb_transfer *, bool> cancelAsked;
    std::map<int, Ends> script; // by submission number; Full when absent
    std::map<libusb_transfer *, int> number;
    int submitted = 0;
    int mostInFlight = 0;
    int cancels = 0;
    bool gone = false;
    bool frozen = false;
    std::vector<std::vector<uint8_t>> taken;  // data of every OUT transfer the device completed
    std::vector<int> completedInFull;         // submission numbers
    std::vector<std::vector<uint8_t>> setups; // control transfers: the setup and OUT data
};

FakeDevice *device = nullptr;

libusb_transfer *fakeAlloc() {
    return static_cast<libusb_transfer *>(std::calloc(1, sizeof(libusb_transfer)));
}

void fakeRelease(libusb_transfer *t) {
    std::lock_guard<std::mutex> lock(device->m);
    // A transfer freed while in flight is the fault this catches.
    for (libusb_transfer *f : device->inFlight)
        EXPECT_NE(f, t);
    std::free(t);
}

int fakeSubmit(libusb_transfer *t) {
    std::lock_guard<std::mutex> lock(device->m);
    if (device->gone) return LIBUSB_ERROR_NO_DEVICE;
    device->number[t] = device->submitted++;
    device->inFlight.push_back(t);
    device->mostInFlight = std::max(device->mostInFlight, int(device->inFlight.size()));
    device->woken.notify_all();
    return 0;
}

int fakeCancel(libusb_transfer *t) {
    std::lock_guard<std::mutex> lock(device->m);
    for (libusb_transfer *f : device->inFlight)
        if (f == t) {
            device->cancelAsked[t] = true;
            ++device->cancels;
            device->woken.notify_all();
            return 0;
        }
    return LIBUSB_ERROR_NOT_FOUND;
}

// Completes what the device has done, in order on the endpoint: a cancelled
// transfer ends at once wherever it is queued, the others only at the head.
int fakeHandleEvents(timeval *tv, int *completed) {
    std::unique_lock<std::mutex> lock(device->m);
    auto finish = [&](libusb_transfer *t, libusb_transfer_status status, int actual) {
        for (auto it = device->inFlight.begin(); it != device->inFlight.end(); ++it)
            if (*it == t) {
                device->inFlight.erase(it);
                break;
            }
        t->status = status;
        t->actual_length = actual;
        if (status == LIBUSB_TRANSFER_COMPLETED && actual == t->length)
            device->completedInFull.push_back(device->number[t]);
        if (status == LIBUSB_TRANSFER_COMPLETED && !(t->endpoint & LIBUSB_ENDPOINT_IN) &&
            t->type == LIBUSB_TRANSFER_TYPE_BULK)
            device->taken.emplace_back(t->buffer, t->buffer + actual);
        if (t->type == LIBUSB_TRANSFER_TYPE_CONTROL) {
            const bool in = t->buffer[0] & LIBUSB_ENDPOINT_IN;
            device->setups.emplace_back(t->buffer, t->buffer + (in ? 8 : t->length));
            // The reply of an IN request: its data stage counts down from 0xA0.
            if (in && status == LIBUSB_TRANSFER_COMPLETED) {
                for (int i = 8; i < t->length; ++i)
                    t->buffer[i] = uint8_t(0xA8 - i);
            }
        }
        lock.unlock();
        t->callback(t);
        lock.lock();
    };
    bool any = false;
    for (bool progress = true; progress;) {
        progress = false;
        for (libusb_transfer *t : device->inFlight)
            if (device->cancelAsked[t]) {
                finish(t, LIBUSB_TRANSFER_CANCELLED, 0);
                progress = any = true;
                break;
            }
        if (progress || device->inFlight.empty() || device->frozen) continue;
        libusb_transfer *head = device->inFlight.front();
        if (device->gone) {
            finish(head, LIBUSB_TRANSFER_NO_DEVICE, 0);
            progress = any = true;
            continue;
        }
        auto it = device->script.find(device->number[head]);
        const Ends ends = it == device->script.end() ? Ends::Full : it->second;
        switch (ends) {
        case Ends::Full: // a control transfer's count leaves out its setup packet
            finish(head, LIBUSB_TRANSFER_COMPLETED,
                   head->length - (head->type == LIBUSB_TRANSFER_TYPE_CONTROL ? 8 : 0));
            break;
        case Ends::Zero:
            finish(head, LIBUSB_TRANSFER_COMPLETED, 0);
            break;
        case Ends::Short:
            finish(head, LIBUSB_TRANSFER_COMPLETED, head->length / 2);
            break;
        case Ends::Stall:
            finish(head, LIBUSB_TRANSFER_STALL, 0);
            break;
        case Ends::Vanish:
            device->gone = true;
            finish(head, LIBUSB_TRANSFER_NO_DEVICE, 0);
            break;
        case Ends::Hang:
            device->frozen = true;
            continue;
        }
        progress = any = true;
    }
    if (!any && !*completed)
        device->woken.wait_for(lock, std::chrono::seconds(tv->tv_sec) +
                                         std::chrono::microseconds(tv->tv_usec));
    return 0;
}

const pipewell::AsyncUsb fakeUsb = {fakeAlloc, fakeRelease, fakeSubmit, fakeCancel,
                                    fakeHandleEvents};

// A descriptor of its own for each test, so that cancel marks never meet.
struct Descriptor {
    int fd = ::dup(1);
    ~Descriptor() {
        CancelRegistry::instance().resume(fd);
        ::close(fd);
    }
};

class TransferQueueTest : public ::testing::Test {
  protected:
    void SetUp() override { device = &dev; }
    void TearDown() override {
        EXPECT_TRUE(dev.inFlight.empty()); // nothing left in flight after a call
        device = nullptr;
    }

    // `count` blocks of 4096 bytes (the last `last` bytes) out of data.
    int write(int count, uint32_t last, unsigned timeoutMs, int32_t *results) {
        data.resize(size_t(count - 1) * 4096 + last);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = uint8_t(i * 13 + (i >> 12));
        std::vector<uint32_t> lengths(size_t(count), 4096);
        lengths.back() = last;
        TransferQueue q(fakeUsb, fd.fd);
        int judged =
            q.blocks(nullptr, 0x02, data.data(), lengths.data(), count, timeoutMs, results);
        gone = q.deviceGone();
        return judged;
    }

    FakeDevice dev;
    Descriptor fd;
    std::vector<uint8_t> data;
    bool gone = false;
};

TEST_F(TransferQueueTest, BlocksAreInFlightTogetherAndReachTheDeviceInOrder) {
    int32_t results[16];
    ASSERT_EQ(write(16, 1808, 50000, results), 16);
    EXPECT_EQ(dev.mostInFlight, 16);
    ASSERT_EQ(dev.taken.size(), 16u);
    std::vector<uint8_t> joined;
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(results[i], i < 15 ? 4096 : 1808);
        joined.insert(joined.end(), dev.taken[size_t(i)].begin(), dev.taken[size_t(i)].end());
    }
    EXPECT_EQ(joined, data);
    EXPECT_FALSE(gone);
}

// The first failed block ends the queue; the block behind it completed in
// full before its cancel took hold, yet is neither judged nor counted; the
// rest are cancelled.
TEST_F(TransferQueueTest, FailedBlockMidQueueEndsItAndLaterCompletionsDoNotCount) {
    dev.script = {{3, Ends::Stall}, {5, Ends::Hang}};
    int32_t results[8];
    ASSERT_EQ(write(8, 4096, 50000, results), 4);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(results[i], 4096);
    EXPECT_EQ(results[3], LIBUSB_ERROR_PIPE);
    EXPECT_EQ(dev.completedInFull, (std::vector<int>{0, 1, 2, 4}));
    EXPECT_EQ(dev.cancels, 3); // 5, 6, 7: 4 had completed
}

TEST_F(TransferQueueTest, ZeroByteAndShortCompletionsEndTheQueueAndAreReported) {
    int32_t results[8];
    dev.script = {{2, Ends::Zero}, {5, Ends::Short}};
    ASSERT_EQ(write(8, 4096, 50000, results), 3);
    EXPECT_EQ(results[1], 4096);
    EXPECT_EQ(results[2], 0);
    // The next queue (submissions 8 on): its second block comes back short.
    dev.script = {{9, Ends::Short}};
    ASSERT_EQ(write(4, 100, 50000, results), 2);
    EXPECT_EQ(results[0], 4096);
    EXPECT_EQ(results[1], 2048);
}

// Cancelling the descriptor while eight blocks are in flight on a device
// that no longer answers ends them at once: the head reports the cancel, not
// a time-out, every transfer has come back before the call returns, and
// nothing more reaches the device until the cancel is lifted.
TEST_F(TransferQueueTest, CancelWhileEightBlocksAreInFlight) {
    dev.script = {{0, Ends::Hang}};
    int32_t results[8] = {};
    int judged = -1;
    std::thread call([&] { judged = write(8, 4096, 30000, results); });
    for (;;) {
        std::lock_guard<std::mutex> lock(dev.m);
        if (dev.inFlight.size() == 8) break;
    }
    CancelRegistry::instance().cancel(fd.fd);
    call.join();
    ASSERT_EQ(judged, 1);
    EXPECT_EQ(results[0], LIBUSB_ERROR_INTERRUPTED);
    EXPECT_EQ(dev.cancels, 8);
    EXPECT_TRUE(dev.taken.empty());

    ASSERT_EQ(write(2, 4096, 30000, results), 1);
    EXPECT_EQ(results[0], LIBUSB_ERROR_INTERRUPTED);
    EXPECT_EQ(dev.submitted, 8);

    CancelRegistry::instance().resume(fd.fd);
    dev.script.clear();
    dev.frozen = false;
    ASSERT_EQ(write(2, 4096, 30000, results), 2);
    EXPECT_EQ(dev.taken.size(), 2u);
}

TEST_F(TransferQueueTest, DeviceThatDisappearsEndsTheQueueAndTheNextCall) {
    dev.script = {{2, Ends::Vanish}};
    int32_t results[6];
    ASSERT_EQ(write(6, 4096, 50000, results), 3);
    EXPECT_EQ(results[1], 4096);
    EXPECT_EQ(results[2], LIBUSB_ERROR_NO_DEVICE);
    EXPECT_TRUE(gone);
    ASSERT_EQ(write(2, 4096, 50000, results), 1);
    EXPECT_EQ(results[0], LIBUSB_ERROR_NO_DEVICE);
    EXPECT_TRUE(gone);
}

// Each block has its own time-out from the end of the one before: a block
// that hangs times out, the ones before it count, the ones behind it stop.
TEST_F(TransferQueueTest, HangingBlockTimesOutAndStopsTheBlocksBehindIt) {
    dev.script = {{2, Ends::Hang}};
    int32_t results[5];
    ASSERT_EQ(write(5, 4096, 50, results), 3);
    EXPECT_EQ(results[0], 4096);
    EXPECT_EQ(results[1], 4096);
    EXPECT_EQ(results[2], LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(dev.cancels, 3);
}

TEST_F(TransferQueueTest, ControlRequestCarriesItsSetupAndBringsBackItsReply) {
    TransferQueue q(fakeUsb, fd.fd);
    uint8_t reply[4] = {};
    int r = q.control(nullptr, 0xC0, /* bRequest */ 0x33, /* wValue */ 0x1234,
                      /* wIndex */ 0x5678, reply, /* wLength */ 4, 5000);
    EXPECT_EQ(r, 4);
    EXPECT_EQ(std::vector<uint8_t>(reply, reply + 4),
              (std::vector<uint8_t>{0xA0, 0x9F, 0x9E, 0x9D}));
    uint8_t out[3] = {1, 2, 3};
    dev.script = {{1, Ends::Stall}};
    EXPECT_EQ(q.control(nullptr, 0x40, /* bRequest */ 0x11, /* wValue */ 0x0100,
                        /* wIndex */ 2, out, /* wLength */ 3, 5000),
              LIBUSB_ERROR_PIPE);
    ASSERT_EQ(dev.setups.size(), 2u);
    EXPECT_EQ(dev.setups[0], (std::vector<uint8_t>{0xC0, 0x33, 0x34, 0x12, 0x78, 0x56, 4, 0}));
    EXPECT_EQ(dev.setups[1], (std::vector<uint8_t>{0x40, 0x11, 0x00, 0x01, 2, 0, 3, 0, 1, 2, 3}));
}

} // namespace
