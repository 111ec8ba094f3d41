#include "transferqueue.h"

#include <algorithm>
#include <cstring>

namespace pipewell {

namespace {

// The error libusb's own synchronous calls give for a transfer status.
int errorOf(int status) {
    switch (status) {
    case LIBUSB_TRANSFER_TIMED_OUT:
        return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_STALL:
        return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_NO_DEVICE:
        return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_OVERFLOW:
        return LIBUSB_ERROR_OVERFLOW;
    default:
        return LIBUSB_ERROR_IO;
    }
}

} // namespace

TransferQueue::TransferQueue(const AsyncUsb &api, int fd) : api_(api), fd_(fd) {}

TransferQueue::~TransferQueue() {
    resetSlots(0);
}

void TransferQueue::resetSlots(int count) {
    // The transfers of the call before are all back: run() waits for them.
    for (Slot &s : slots_)
        if (s.t) api_.release(s.t);
    slots_.assign(size_t(count), Slot{});
}

void LIBUSB_CALL TransferQueue::completion(libusb_transfer *t) {
    auto *q = static_cast<TransferQueue *>(t->user_data);
    std::lock_guard<std::mutex> lock(q->mutex_);
    for (Slot &s : q->slots_) {
        if (s.t != t) continue;
        s.done = true;
        s.doneAt = Clock::now();
        if (t->status == LIBUSB_TRANSFER_NO_DEVICE) q->gone_ = true;
    }
    q->completed_ = 1;
}

void TransferQueue::cancel() {
    std::vector<libusb_transfer *> live;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        cancelRequested_ = true;
        for (const Slot &s : slots_)
            if (s.submitted && !s.done) live.push_back(s.t);
    }
    // The owner frees its transfers only after CancelRegistry::leave, which
    // waits for the registry lock this runs under.
    for (libusb_transfer *t : live)
        api_.cancel(t);
}

int TransferQueue::control(libusb_device_handle *h, uint8_t requestType, uint8_t request,
                           uint16_t value, uint16_t index, uint8_t *data, uint16_t length,
                           unsigned timeoutMs) {
    std::vector<uint8_t> buffer(LIBUSB_CONTROL_SETUP_SIZE + length);
    libusb_fill_control_setup(buffer.data(), requestType, request, value, index, length);
    const bool in = requestType & LIBUSB_ENDPOINT_IN;
    if (!in && length) std::memcpy(buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, data, length);
    resetSlots(1);
    slots_[0].t = api_.alloc();
    if (!slots_[0].t) return LIBUSB_ERROR_NO_MEM;
    libusb_fill_control_transfer(slots_[0].t, h, buffer.data(), completion, this, 0);
    int32_t result = 0;
    run(1, timeoutMs, false, &result);
    if (in && result > 0)
        std::memcpy(data, buffer.data() + LIBUSB_CONTROL_SETUP_SIZE,
                    std::min<size_t>(size_t(result), length));
    return result;
}

int TransferQueue::blocks(libusb_device_handle *h, uint8_t endpoint, uint8_t *data,
                          const uint32_t *lengths, int count, unsigned timeoutMs,
                          int32_t *results) {
    if (count < 1 || count > MaxBlocks) return 0;
    resetSlots(count);
    uint8_t *at = data;
    for (int i = 0; i < count; ++i) {
        slots_[size_t(i)].t = api_.alloc();
        if (!slots_[size_t(i)].t) {
            results[0] = LIBUSB_ERROR_NO_MEM;
            return 1;
        }
        libusb_fill_bulk_transfer(slots_[size_t(i)].t, h, endpoint, at, int(lengths[i]), completion,
                                  this, 0);
        at += lengths[i];
    }
    return run(count, timeoutMs, true, results);
}

int TransferQueue::submitAll(int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int i = 0; i < count; ++i) {
        if (cancelRequested_) return LIBUSB_ERROR_INTERRUPTED;
        // Submitted under the lock, so that a cancel either sees the transfer
        // in flight or keeps it from being submitted.
        int r = api_.submit(slots_[size_t(i)].t);
        if (r < 0) {
            if (r == LIBUSB_ERROR_NO_DEVICE) gone_ = true;
            return r;
        }
        slots_[size_t(i)].submitted = true;
    }
    return 0;
}

int TransferQueue::outcome(const Slot &s, bool bulk) const {
    const libusb_transfer *t = s.t;
    if (t->status == LIBUSB_TRANSFER_COMPLETED) return t->actual_length;
    int error;
    if (s.timedOut)
        error = LIBUSB_ERROR_TIMEOUT;
    else if (t->status == LIBUSB_TRANSFER_CANCELLED)
        return LIBUSB_ERROR_INTERRUPTED; // the descriptor was cancelled
    else
        error = errorOf(t->status);
    return bulk && t->actual_length > 0 ? t->actual_length : error;
}

void TransferQueue::cancelFrom(int first, int count) {
    std::vector<libusb_transfer *> live;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int i = first; i < count; ++i)
            if (slots_[size_t(i)].submitted && !slots_[size_t(i)].done)
                live.push_back(slots_[size_t(i)].t);
    }
    for (libusb_transfer *t : live)
        api_.cancel(t);
}

void TransferQueue::awaitEvents(Clock::time_point until) {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(until - Clock::now());
    if (left.count() < 0) left = std::chrono::microseconds(0);
    // Woken early by any completion of ours: the caller looks again then.
    left = std::min<std::chrono::microseconds>(left, std::chrono::seconds(1));
    timeval tv{time_t(left.count() / 1000000), suseconds_t(left.count() % 1000000)};
    api_.handleEvents(&tv, &completed_);
}

void TransferQueue::waitAll(int count) {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            bool all = true;
            for (int i = 0; i < count; ++i)
                all = all && (!slots_[size_t(i)].submitted || slots_[size_t(i)].done);
            if (all) return;
            completed_ = 0;
        }
        awaitEvents(Clock::now() + std::chrono::seconds(1));
    }
}

int TransferQueue::run(int count, unsigned timeoutMs, bool bulk, int32_t *results) {
    CancelRegistry &registry = CancelRegistry::instance();
    gone_ = false;
    if (!registry.enter(fd_, this)) {
        results[0] = LIBUSB_ERROR_INTERRUPTED;
        return 1;
    }
    const int submitError = submitAll(count);
    int submitted = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        while (submitted < count && slots_[size_t(submitted)].submitted)
            ++submitted;
    }
    int judged = 0;
    bool ended = false; // a judged block did not move its length
    Clock::time_point headSince = Clock::now();
    while (!ended && judged < submitted) {
        bool headTimedOut = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            completed_ = 0;
            while (judged < submitted && slots_[size_t(judged)].done) {
                const Slot &s = slots_[size_t(judged)];
                const int r = outcome(s, bulk);
                results[judged++] = r;
                headSince = s.doneAt;
                if (s.t->status != LIBUSB_TRANSFER_COMPLETED || r != s.t->length) {
                    ended = true;
                    break;
                }
            }
            if (!ended && judged < submitted && timeoutMs > 0 &&
                Clock::now() >= headSince + std::chrono::milliseconds(timeoutMs)) {
                // Those behind it would have waited for it: they end as
                // timed out too, should one of them be the next head.
                for (int i = judged; i < count; ++i)
                    slots_[size_t(i)].timedOut = true;
                headTimedOut = true;
            }
        }
        if (ended || judged == submitted) break;
        if (headTimedOut) {
            // The head ran out of time: it and everything behind it stop.
            cancelFrom(judged, count);
            waitAll(count);
            continue;
        }
        awaitEvents(timeoutMs > 0 ? headSince + std::chrono::milliseconds(timeoutMs)
                                  : Clock::now() + std::chrono::seconds(1));
    }
    if (!ended && judged == submitted && submitted < count) {
        // Everything in flight went through, but the rest was never
        // submitted: the device went away, or the descriptor was cancelled.
        results[judged++] = submitError < 0 ? submitError : LIBUSB_ERROR_INTERRUPTED;
    }
    cancelFrom(judged, count);
    waitAll(count);
    registry.leave(fd_, this);
    return judged;
}

} // namespace pipewell
