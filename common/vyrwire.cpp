#include "vyrwire.h"

#include "littleendian.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace vyrwire {

namespace {
using le::get16;
using le::get32;
using le::put16;
using le::put32;

using Clock = std::chrono::steady_clock;

// Reads exactly len bytes before the deadline. 1 = done, 0 = EOF/error, -1 = time-out.
int readBefore(int fd, void *buf, size_t len, Clock::time_point deadline) {
    auto *p = static_cast<uint8_t *>(buf);
    while (len > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return -1;
        pollfd pfd{fd, POLLIN, 0};
        int pr = ::poll(&pfd, 1, int(left.count() > 0x7fffffff ? 0x7fffffff : left.count()));
        if (pr < 0) {
            if (errno == EINTR) continue;
            return 0;
        }
        if (pr == 0) return -1;
        ssize_t n = ::recv(fd, p, len, 0);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return 0;
        }
        if (n == 0) return 0;
        p += n;
        len -= size_t(n);
    }
    return 1;
}
// Header and payload leave in one sendmsg, so the device wakes once per
// request; whatever the kernel did not take is finished with writeFull.
bool sendRequest(int fd, const uint8_t *head, const void *payload, size_t payloadLen) {
    iovec parts[2] = {{const_cast<uint8_t *>(head), RequestHeaderSize},
                      {const_cast<void *>(payload), payloadLen}};
    msghdr m{};
    m.msg_iov = parts;
    m.msg_iovlen = payloadLen > 0 ? 2 : 1;
    ssize_t n;
    do {
        n = ::sendmsg(fd, &m, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return false;
    size_t sent = size_t(n);
    if (sent < RequestHeaderSize) {
        if (!writeFull(fd, head + sent, RequestHeaderSize - sent)) return false;
        sent = RequestHeaderSize;
    }
    sent -= RequestHeaderSize;
    return sent >= payloadLen ||
           writeFull(fd, static_cast<const uint8_t *>(payload) + sent, payloadLen - sent);
}
} // namespace

void encodeRequest(const Request &r, uint8_t out[RequestHeaderSize]) {
    out[0] = r.op;
    out[1] = r.b1;
    out[2] = r.b2;
    out[3] = 0;
    put16(out + 4, r.wValue);
    put16(out + 6, r.wIndex);
    put32(out + 8, r.length);
    put32(out + 12, r.timeoutMs);
}

Request decodeRequest(const uint8_t in[RequestHeaderSize]) {
    Request r;
    r.op = in[0];
    r.b1 = in[1];
    r.b2 = in[2];
    r.wValue = get16(in + 4);
    r.wIndex = get16(in + 6);
    r.length = get32(in + 8);
    r.timeoutMs = get32(in + 12);
    return r;
}

void encodeReply(const ReplyHeader &r, uint8_t out[ReplyHeaderSize]) {
    put32(out, uint32_t(r.result));
    put32(out + 4, r.payloadLength);
}

ReplyHeader decodeReply(const uint8_t in[ReplyHeaderSize]) {
    ReplyHeader r;
    r.result = int32_t(get32(in));
    r.payloadLength = get32(in + 4);
    return r;
}

size_t requestPayloadLength(const Request &r) {
    switch (r.op) {
    case OpControl:
        return (r.b1 & 0x80) ? 0 : r.length;
    case OpBulkOut:
        return r.length;
    case OpScsi:
        return ScsiCdbSize + (r.b2 == ScsiToDevice ? r.length : 0);
    default:
        return 0;
    }
}

bool isSocket(int fd) {
    struct stat st;
    return fd >= 0 && ::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

bool readFull(int fd, void *buf, size_t len) {
    auto *p = static_cast<uint8_t *>(buf);
    while (len > 0) {
        ssize_t n = ::recv(fd, p, len, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= size_t(n);
    }
    return true;
}

bool writeFull(int fd, const void *buf, size_t len) {
    auto *p = static_cast<const uint8_t *>(buf);
    while (len > 0) {
        ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= size_t(n);
    }
    return true;
}

int32_t call(int fd, const Request &r, const void *payload, size_t payloadLen, void *reply,
             size_t replyCap, uint32_t *replyLen) {
    if (replyLen) *replyLen = 0;
    auto deadline = Clock::now() + std::chrono::milliseconds(r.timeoutMs);
    uint8_t head[RequestHeaderSize];
    encodeRequest(r, head);
    if (!sendRequest(fd, head, payload, payloadLen)) return ErrNoDevice;

    uint8_t rh[ReplyHeaderSize];
    int got = readBefore(fd, rh, sizeof rh, deadline);
    if (got < 0) {
        ::shutdown(fd, SHUT_RDWR);
        return ErrTimeout;
    }
    if (got == 0) return ErrNoDevice;
    ReplyHeader rep = decodeReply(rh);
    if (rep.payloadLength > replyCap) {
        ::shutdown(fd, SHUT_RDWR);
        return ErrIo;
    }
    if (rep.payloadLength > 0) {
        got = readBefore(fd, reply, rep.payloadLength, deadline);
        if (got < 0) {
            ::shutdown(fd, SHUT_RDWR);
            return ErrTimeout;
        }
        if (got == 0) return ErrNoDevice;
    }
    if (replyLen) *replyLen = rep.payloadLength;
    return rep.result;
}

} // namespace vyrwire
