// The transfers of one call on one handle, in flight together: one control
// request, one bulk transfer, or the bulk blocks of a large transfer queued in
// order on one endpoint, so that the host controller has the next block
// before the current one ends and the bus does not idle between them.
//
// Each transfer keeps the time-out it would have as a call of its own,
// counted from the moment it is at the head of the queue (submission for the
// first, the completion of the one before for the others), as if it had been
// sent alone after the one before it. The queue is judged in order: the first
// transfer that does not move its whole length (a failure, a time-out, a
// short or zero-byte completion) ends it; the transfers behind it are
// cancelled, and whatever they did before the cancel took hold -- also
// completing in full -- is not reported: the caller sends that data again
// after the gap, or gives up.
//
// The queue registers with CancelRegistry while its transfers are in flight:
// a cancel of its descriptor cancels them at once, the head reports
// LIBUSB_ERROR_INTERRUPTED, and nothing more is submitted.
//
// Events: the calling thread drives libusb's event handling itself, on the
// process's one libusb context, until its own transfers have completed
// (AsyncUsb::handleEvents). With several ports calling at once libusb lets one
// of them handle the events of all and the others wait for their
// completions. So the process has one event loop, that of its context, run
// by whichever call is waiting; there is no thread of the library's own to
// start, stop or outlive the library, and a completion reaches its caller
// without a hand-over between threads.
#ifndef PIPEWELL_TRANSFERQUEUE_H
#define PIPEWELL_TRANSFERQUEUE_H

#include "asyncusb.h"
#include "cancelregistry.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

namespace pipewell {

class TransferQueue final : public Cancellable {
  public:
    // The most bulk blocks one queue takes: one announced 64 KiB chunk.
    static constexpr int MaxBlocks = 16;

    TransferQueue(const AsyncUsb &api, int fd);
    ~TransferQueue();
    TransferQueue(const TransferQueue &) = delete;
    TransferQueue &operator=(const TransferQueue &) = delete;

    // One control request (data after the setup packet): the count moved or
    // a negative libusb error, as libusb_control_transfer answers.
    int control(libusb_device_handle *h, uint8_t requestType, uint8_t request, uint16_t value,
                uint16_t index, uint8_t *data, uint16_t length, unsigned timeoutMs);

    // count (1..MaxBlocks) bulk transfers on one endpoint, block i moving
    // lengths[i] bytes at data + the lengths before it. results[i] gets the
    // count block i moved, or a negative libusb error when it moved nothing
    // (a block that failed part way reports what it moved, as
    // libusb_bulk_transfer does). Returns how many blocks were judged: all of
    // them, or up to and including the first that did not move its length.
    int blocks(libusb_device_handle *h, uint8_t endpoint, uint8_t *data, const uint32_t *lengths,
               int count, unsigned timeoutMs, int32_t *results);

    // A transfer of the last call found the device gone.
    bool deviceGone() const { return gone_; }

    void cancel() override;

  private:
    using Clock = std::chrono::steady_clock;
    struct Slot {
        libusb_transfer *t = nullptr;
        bool submitted = false;
        bool done = false;
        bool timedOut = false;
        Clock::time_point doneAt;
    };

    static void LIBUSB_CALL completion(libusb_transfer *t);
    // Frees the transfers of the call before and makes count empty slots.
    void resetSlots(int count);
    // Submits the slots and judges them; the number judged.
    int run(int count, unsigned timeoutMs, bool bulk, int32_t *results);
    int submitAll(int count);
    int outcome(const Slot &s, bool bulk) const;
    void cancelFrom(int first, int count);
    void waitAll(int count);
    void awaitEvents(Clock::time_point until);

    const AsyncUsb &api_;
    const int fd_;
    std::vector<Slot> slots_;
    std::mutex mutex_;
    int completed_ = 0;            // set by a completion, for libusb's event handling
    bool cancelRequested_ = false; // the descriptor was cancelled
    bool gone_ = false;
};

} // namespace pipewell

#endif
