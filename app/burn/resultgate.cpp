#include "resultgate.h"

#include <atomic>

#include "burnstate.h"

namespace {

// Per port: ticket << 2 | state.
enum : uint64_t { kOpen = 0, kHeld = 1, kReleased = 2, kStateMask = 3 };
std::atomic<uint64_t> gGate[PORT_COUNT];

bool valid(int port) {
    return port >= 0 && port < PORT_COUNT;
}

bool isResult(int code) {
    return code == PORT_STATUS_SUCCESS || code == PORT_STATUS_FAILED;
}

} // namespace

namespace ResultGate {

uint32_t hold(int port) {
    if (!valid(port)) return 0;
    uint64_t v = gGate[port].load();
    uint64_t next;
    do {
        next = (((v >> 2) + 1) << 2) | kHeld;
    } while (!gGate[port].compare_exchange_weak(v, next));
    return uint32_t(next >> 2);
}

void release(int port, uint32_t ticket) {
    if (!valid(port)) return;
    uint64_t v = gGate[port].load();
    while ((v & kStateMask) == kHeld && uint32_t(v >> 2) == ticket) {
        if (gGate[port].compare_exchange_weak(v, (v & ~uint64_t(kStateMask)) | kReleased)) return;
    }
}

void drop(int port) {
    if (!valid(port)) return;
    uint64_t v = gGate[port].load();
    while ((v & kStateMask) != kOpen &&
           !gGate[port].compare_exchange_weak(v, v & ~uint64_t(kStateMask))) {
    }
}

Shown shown(int port) {
    Shown s;
    if (!valid(port)) return s;
    s.status = gPortInfo[port].status.load();
    s.lastResult = gPortInfo[port].lastResult.load();
    uint64_t v = gGate[port].load();
    const uint64_t state = v & kStateMask;
    const bool result =
        isResult(s.status) || (s.status == PORT_STATUS_NONE && isResult(s.lastResult));
    if (state == kHeld) {
        s.hold = result;
    } else if (state == kReleased) {
        // Painted from now on; a burn that started meanwhile keeps its hold.
        if (gGate[port].compare_exchange_strong(v, v & ~uint64_t(kStateMask)) &&
            s.status == PORT_STATUS_NONE && isResult(s.lastResult))
            s.status = s.lastResult;
    }
    return s;
}

bool held(int port) {
    if (!valid(port) || (gGate[port].load() & kStateMask) != kHeld) return false;
    const int status = gPortInfo[port].status.load();
    return isResult(status) ||
           (status == PORT_STATUS_NONE && isResult(gPortInfo[port].lastResult.load()));
}

void reset() {
    for (std::atomic<uint64_t> &g : gGate)
        g = 0;
}

} // namespace ResultGate
