// Devices of the virtual line: one wire-protocol exchange per call. The time-out
// rule lives in vyrwire::call: no reply in time shuts the socket down, and every
// later call on it fails as "no device".
//
// The environment variable PYREWICK_VIRTUAL_TIMEOUT_MS, when it holds a
// positive number, caps every time-out of an exchange with a virtual device at
// that many milliseconds, so that a test of devices that stop answering waits
// a fraction of a second per request instead of up to a minute. Real devices
// (libusb) always get the full time-outs.
#include "usbbackend.h"

#include "vyrwire.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sys/socket.h>

namespace pipewell {

namespace {

constexpr unsigned ResetTimeoutMs = 5000;

// Read at every call: a test sets it before its devices are used.
unsigned timeoutFor(unsigned timeoutMs) {
    const char *text = std::getenv("PYREWICK_VIRTUAL_TIMEOUT_MS");
    if (!text || !*text) return timeoutMs;
    errno = 0;
    char *end = nullptr;
    const long cap = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || cap <= 0 || cap > long(UINT_MAX)) return timeoutMs;
    return timeoutMs < unsigned(cap) ? timeoutMs : unsigned(cap);
}

int control(int fd, uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint8_t *data,
            uint16_t length, unsigned timeoutMs) {
    vyrwire::Request r;
    r.op = vyrwire::OpControl;
    r.b1 = type;
    r.b2 = request;
    r.wValue = value;
    r.wIndex = index;
    r.length = length;
    r.timeoutMs = timeoutFor(timeoutMs);
    const bool in = type & 0x80;
    uint32_t got = 0;
    int32_t ret = in ? vyrwire::call(fd, r, nullptr, 0, data, length, &got)
                     : vyrwire::call(fd, r, data, length, nullptr, 0, &got);
    // A count that does not match what travelled is a broken peer.
    if (ret > int32_t(length) || (in && ret >= 0 && uint32_t(ret) != got)) return vyrwire::ErrIo;
    return ret;
}

int bulk(int fd, uint8_t endpoint, uint8_t *data, uint32_t length, unsigned timeoutMs) {
    vyrwire::Request r;
    const bool in = endpoint & 0x80;
    r.op = in ? vyrwire::OpBulkIn : vyrwire::OpBulkOut;
    r.b1 = endpoint;
    r.length = length;
    r.timeoutMs = timeoutFor(timeoutMs);
    uint32_t got = 0;
    int32_t ret = in ? vyrwire::call(fd, r, nullptr, 0, data, length, &got)
                     : vyrwire::call(fd, r, data, length, nullptr, 0, &got);
    if (ret > 0 && (uint32_t(ret) > length || (in && uint32_t(ret) != got))) return vyrwire::ErrIo;
    return ret;
}

int reset(int fd) {
    vyrwire::Request r;
    r.op = vyrwire::OpReset;
    r.timeoutMs = timeoutFor(ResetTimeoutMs);
    return vyrwire::call(fd, r, nullptr, 0, nullptr, 0, nullptr);
}

// The exchange in flight ends at once: its wait for the reply sees the socket
// shut down and fails as "no device", as does every later call on it. The
// device sees the connection end and takes the next one afresh.
void cancel(int fd) {
    ::shutdown(fd, SHUT_RDWR);
}

} // namespace

// The wire is request and reply: the blocks of a large transfer go one at a
// time through bulk.
const UsbBackend socketBackend = {"socket", control, bulk, nullptr, reset, cancel};

} // namespace pipewell
