// The virtual device wire protocol: how a ROM-mode device or a recovery volume
// played by the virtual line talks over a stream Unix socket. Both the host
// side (transport, SCSI handshake) and the device side (sim) use this file.
//
// Request: 16-byte header then payload. Reply: 8-byte header then payload.
// All integers little-endian.
#ifndef VYRWIRE_H
#define VYRWIRE_H

#include <cstddef>
#include <cstdint>

namespace vyrwire {

enum Op : uint8_t {
    OpControl = 1, // b1 bmRequestType, b2 bRequest, wValue, wIndex, length = wLength
    OpBulkOut = 2, // b1 endpoint address, length = bulk length
    OpBulkIn = 3,  // b1 endpoint address, length = bulk length
    OpReset = 4,   // port reset of the device
    OpScsi = 16,   // b1 CDB length (6..16), b2 direction, length = data length
};

enum ScsiDir : uint8_t { ScsiNone = 0, ScsiToDevice = 1, ScsiFromDevice = 2 };

// libusb error codes the protocol carries (the values libusb-1.0 uses).
enum : int32_t { ErrIo = -1, ErrNoDevice = -4, ErrTimeout = -7, ErrPipe = -9 };

constexpr size_t RequestHeaderSize = 16;
constexpr size_t ReplyHeaderSize = 8;
constexpr size_t ScsiCdbSize = 16;
constexpr size_t ScsiSenseSize = 32;
constexpr size_t ScsiReplyPrefix = 36; // status, sense length, 2 zero bytes, 32 sense bytes

struct Request {
    uint8_t op = 0;
    uint8_t b1 = 0;
    uint8_t b2 = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint32_t length = 0;
    uint32_t timeoutMs = 0;
};

struct ReplyHeader {
    int32_t result = 0;
    uint32_t payloadLength = 0;
};

void encodeRequest(const Request &r, uint8_t out[RequestHeaderSize]);
Request decodeRequest(const uint8_t in[RequestHeaderSize]);
void encodeReply(const ReplyHeader &r, uint8_t out[ReplyHeaderSize]);
ReplyHeader decodeReply(const uint8_t in[ReplyHeaderSize]);

// Does the request carry a payload from host to device, and how long is it?
size_t requestPayloadLength(const Request &r);

bool isSocket(int fd);

// Blocking full read/write (EINTR retried, no SIGPIPE). False on EOF or error.
bool readFull(int fd, void *buf, size_t len);
bool writeFull(int fd, const void *buf, size_t len);

// One request/reply exchange from the host side. Sends the header and payload,
// then waits for the reply within r.timeoutMs. The reply payload goes into
// reply (at most replyCap bytes; its length through replyLen).
// Returns the reply's result, or:
//   ErrNoDevice when the socket is closed or broken,
//   ErrTimeout when no reply arrived in time (the socket is then shut down, so a
//              late reply can never be taken for the answer to a later request),
//   ErrIo when the peer sent a reply that breaks the protocol (socket shut down).
int32_t call(int fd, const Request &r, const void *payload, size_t payloadLen, void *reply,
             size_t replyCap, uint32_t *replyLen);

} // namespace vyrwire

#endif
