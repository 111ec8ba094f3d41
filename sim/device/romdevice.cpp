#include "romdevice.h"

#include "littleendian.h"
#include "socketserver.h"
#include "vyrrequests.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace vyrsim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t PageSize = 4096;
constexpr uint32_t MaxRequestLength = 16u << 20; // anything longer is a broken peer
constexpr uint32_t ControlMax = 64;
constexpr size_t StatusLength = 64;

// Setup fields of the vendor requests this device understands.
using namespace vyrreq;

using le::get32;

uint32_t addressOf(const vyrwire::Request &r) {
    return uint32_t(r.wValue) << 16 | r.wIndex;
}

std::string hex(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "%x", v);
    return b;
}

// Running RFC 1071 sum: byte at an even offset is a low byte, at an odd offset
// a high byte; 32-bit accumulator.
// Adds bytes at stream offset `offset` to a running sum of 16-bit little-endian
// words (32-bit accumulator, wrapping). Whole words are added two bytes at a time.
uint32_t addToSum(uint32_t sum, uint64_t offset, const uint8_t *data, size_t len) {
    size_t i = 0;
    if (len > 0 && (offset & 1)) sum += uint32_t(data[i++]) << 8;
    for (; i + 1 < len; i += 2)
        sum += uint32_t(data[i]) | uint32_t(data[i + 1]) << 8;
    if (i < len) sum += uint32_t(data[i]);
    return sum;
}

uint16_t foldSum(uint32_t sum) {
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum = (sum >> 16) + (sum & 0xFFFF);
    return uint16_t(~sum);
}

std::optional<RequestKind> kindOf(const vyrwire::Request &r);

} // namespace

uint16_t internetChecksum(const uint8_t *data, size_t len) {
    return foldSum(addToSum(0, 0, data, len));
}

uint32_t wordSum(const uint8_t *data, size_t len) {
    uint32_t sum = 0;
    for (size_t i = 0; i < len; ++i)
        sum += uint32_t(data[i]) << (8 * (i % 4));
    return sum;
}

namespace {
std::optional<RequestKind> kindOf(const vyrwire::Request &r) {
    switch (r.op) {
    case vyrwire::OpBulkOut:
        return RequestKind::BulkOut;
    case vyrwire::OpBulkIn:
        return RequestKind::BulkIn;
    case vyrwire::OpReset:
        return RequestKind::Reset;
    case vyrwire::OpControl:
        switch (r.b2) {
        case ReqReadMem:
            return RequestKind::ReadMem;
        case ReqWriteMem:
            return RequestKind::WriteMem;
        case ReqRun:
            return RequestKind::Run;
        case ReqLargeWrite:
            return RequestKind::LargeWrite;
        case ReqLargeRead:
            return RequestKind::LargeRead;
        case ReqIdentify:
            return RequestKind::Identify;
        case ReqTplCmd:
            return RequestKind::TplCmd;
        case ReqTplStatus:
            return RequestKind::TplStatus;
        }
        return std::nullopt;
    }
    return std::nullopt;
}
} // namespace

struct RomDevice::Impl {
    RomDevice *self;
    RomDeviceConfig cfg;

    // ---- device state (mu) ----
    mutable std::mutex mu;
    int stage = StageRom;
    std::map<uint32_t, std::array<uint8_t, PageSize>> pages; // key: address / PageSize

    std::string status;              // text of the last command
    Clock::time_point statusReadyAt; // before this the status reads "running"
    std::string pendingFailure;      // a failed transfer, reported by the next status read

    struct Transfer {
        bool active = false;
        LargeAnnounce announce;
        uint32_t done = 0;
        uint32_t sum = 0; // running RFC 1071 sum of the data received
        int conn = -1;    // the connection it was announced on
    } xfer;
    int handlingConn = -1; // the connection of the request being handled (mu)

    std::vector<RecordedRequest> log;
    bool recordBulk = true;
    std::vector<std::string> cmds;
    std::vector<LargeAnnounce> anns;
    std::vector<BurnStep> steps;

    struct FaultRule {
        RequestKind kind;
        Fault fault;
        int count;
        int skip;
    };
    std::vector<FaultRule> faults;
    bool frozen = false; // a Freeze fault hit: nothing is answered any more
    uint32_t shortBulk = 0;
    int zeroBulk = 0;
    bool dropArmed = false;
    uint64_t dropLeft = 0;
    bool corrupt = false;

    // Plugged in: listen() or connect() since the last leaveBus().
    std::atomic<bool> present{false};
    // Listener and connections; last, so it ends before the rest goes.
    SocketServer server{[this](int fd) { serve(fd); }};

    Impl(RomDevice *s, RomDeviceConfig c) : self(s), cfg(c), stage(c.stage) {}

    // ---- RAM (mu held) ----
    void ramWrite(uint32_t addr, const uint8_t *data, size_t len) {
        for (size_t i = 0; i < len;) {
            uint32_t a = uint32_t(addr + i);
            uint32_t off = a % PageSize;
            size_t n = std::min<size_t>(PageSize - off, len - i);
            auto it = pages.find(a / PageSize);
            if (it == pages.end())
                it = pages.emplace(a / PageSize, std::array<uint8_t, PageSize>{}).first;
            std::memcpy(it->second.data() + off, data + i, n);
            i += n;
        }
    }
    std::vector<uint8_t> ramRead(uint32_t addr, size_t len) const {
        std::vector<uint8_t> out(len, 0);
        for (size_t i = 0; i < len;) {
            uint32_t a = uint32_t(addr + i);
            uint32_t off = a % PageSize;
            size_t n = std::min<size_t>(PageSize - off, len - i);
            auto it = pages.find(a / PageSize);
            if (it != pages.end()) std::memcpy(out.data() + i, it->second.data() + off, n);
            i += n;
        }
        return out;
    }

    void fail(const std::string &why) {
        if (pendingFailure.empty()) pendingFailure = "failed " + why;
    }

    // A write transfer that never got all its bytes is a failure once the host
    // moves on to something else (mu held).
    void closeTransfer() {
        if (xfer.active && xfer.announce.write && xfer.done < xfer.announce.total)
            fail("short transfer " + std::to_string(xfer.done) + " of " +
                 std::to_string(xfer.announce.total));
        xfer.active = false;
    }

    std::optional<Fault> takeFault(RequestKind kind) {
        for (auto &f : faults) {
            if (f.kind != kind || f.count == 0) continue;
            if (f.skip > 0) {
                --f.skip;
                return std::nullopt;
            }
            if (f.count > 0) --f.count;
            return f.fault;
        }
        return std::nullopt;
    }

    void setStatus(const std::string &text) {
        status = text;
        statusReadyAt = Clock::now() + std::chrono::milliseconds(cfg.commandDelayMs);
    }

    // ---- request handling ----
    struct Outcome {
        bool reply = true;
        bool drop = false;
        int32_t result = 0;
        std::vector<uint8_t> data;
        std::function<void()> after; // runs after the reply went out
    };

    static Outcome stall() {
        Outcome o;
        o.result = vyrwire::ErrPipe;
        return o;
    }

    Outcome handle(const vyrwire::Request &r, std::vector<uint8_t> &payload, int conn);
    Outcome control(const vyrwire::Request &r, const std::vector<uint8_t> &payload);
    Outcome bulkOut(const vyrwire::Request &r, const std::vector<uint8_t> &payload);
    Outcome bulkIn(const vyrwire::Request &r);
    Outcome announce(const vyrwire::Request &r, const std::vector<uint8_t> &payload, bool write);
    Outcome textCommand(const vyrwire::Request &r, const std::vector<uint8_t> &payload);
    Outcome run(const vyrwire::Request &r, const std::vector<uint8_t> &payload);
    std::string crcCheck(const std::string &cmd);

    void advanceStage();
    void serve(int fd);
    void holdStatusUntilDone(const vyrwire::Request &r);
    void leaveBus();
};

RomDevice::Impl::Outcome RomDevice::Impl::handle(const vyrwire::Request &r,
                                                 std::vector<uint8_t> &payload, int conn) {
    std::lock_guard<std::mutex> lk(mu);
    handlingConn = conn;
    RecordedRequest rec;
    rec.header = r;
    bool bulk = r.op == vyrwire::OpBulkOut;
    if (!bulk || recordBulk) rec.payload = payload;
    log.push_back(std::move(rec));

    if (frozen) {
        Outcome o;
        o.reply = false;
        return o;
    }
    auto kind = kindOf(r);
    if (kind) {
        if (auto f = takeFault(*kind)) {
            Outcome o;
            switch (*f) {
            case Fault::Stall:
                o.result = vyrwire::ErrPipe;
                break;
            case Fault::Timeout:
                o.result = vyrwire::ErrTimeout;
                break;
            case Fault::NoReply:
                o.reply = false;
                break;
            case Fault::Drop:
                o.reply = false;
                o.drop = true;
                break;
            case Fault::Freeze:
                frozen = true;
                o.reply = false;
                break;
            }
            return o;
        }
    }
    switch (r.op) {
    case vyrwire::OpControl:
        return control(r, payload);
    case vyrwire::OpBulkOut:
        return bulkOut(r, payload);
    case vyrwire::OpBulkIn:
        return bulkIn(r);
    case vyrwire::OpReset: {
        // A port reset brings the USB side back to its first state; what runs
        // on the chip (the stage) is not touched.
        xfer.active = false;
        Outcome o;
        o.after = [this] {
            if (self->onReset) self->onReset();
        };
        return o;
    }
    }
    return stall();
}

RomDevice::Impl::Outcome RomDevice::Impl::control(const vyrwire::Request &r,
                                                  const std::vector<uint8_t> &payload) {
    const bool in = r.b1 == TypeIn;
    if (!in && r.b1 != TypeOut) return stall();
    Outcome o;
    switch (r.b2) {
    case ReqIdentify: // IOCTL_IDENTIFY_HOST: 4 bytes, byte 3 = stage
        if (!in || r.length != 4 || r.wValue != 0 || r.wIndex != 0) return stall();
        o.data = {0, 0, 0, uint8_t(stage)};
        o.result = 4;
        return o;
    case ReqReadMem: // IOCTL_READ_MEM: up to 64 bytes of RAM
        if (!in || r.length == 0 || r.length > ControlMax) return stall();
        o.data = ramRead(addressOf(r), r.length);
        o.result = int32_t(r.length);
        return o;
    case ReqWriteMem: // IOCTL_WRITE_MEM: up to 64 bytes into RAM
        if (in || r.length == 0 || r.length > ControlMax) return stall();
        ramWrite(addressOf(r), payload.data(), payload.size());
        o.result = int32_t(r.length);
        return o;
    case ReqRun: // IOCTL_RUN_ADDR
        if (in || r.length != 4) return stall();
        return run(r, payload);
    case ReqLargeWrite: // IOCTL_WRITE_LARGE_MEM
    case ReqLargeRead:  // IOCTL_READ_LARGE_MEM
        if (in || r.length != 16) return stall();
        return announce(r, payload, r.b2 == ReqLargeWrite);
    case ReqTplCmd: // IOCTL_TPL_CMD
        if (in || r.length != StatusLength || stage == StageRom) return stall();
        return textCommand(r, payload);
    case ReqTplStatus: { // IOCTL_TPL_STATUS
        if (!in || r.length != StatusLength || stage == StageRom) return stall();
        closeTransfer();
        std::string text;
        if (!pendingFailure.empty()) {
            text = pendingFailure;
            pendingFailure.clear();
        } else {
            text = Clock::now() < statusReadyAt ? "running" : status;
        }
        o.data.assign(StatusLength, 0);
        std::memcpy(o.data.data(), text.data(), std::min(text.size(), StatusLength));
        o.result = int32_t(StatusLength);
        return o;
    }
    }
    return stall();
}

RomDevice::Impl::Outcome RomDevice::Impl::run(const vyrwire::Request &r,
                                              const std::vector<uint8_t> &payload) {
    // The data stage repeats the address that wValue/wIndex carry.
    if (get32(payload.data()) != addressOf(r)) return stall();
    Outcome o;
    o.result = 4;
    if (cfg.runDelayMs <= 0) {
        o.after = [this] { advanceStage(); };
    } else {
        const int delay = cfg.runDelayMs;
        o.after = [this, delay] {
            server.spawn([this, delay] {
                if (!server.waitForStop(delay)) advanceStage();
            });
        };
    }
    return o;
}

void RomDevice::Impl::advanceStage() {
    int now;
    {
        std::lock_guard<std::mutex> lk(mu);
        if (stage == StageRom)
            stage = StageFirstLoader;
        else
            stage = StageBootLoader;
        now = stage;
        xfer.active = false;
    }
    // Leave first, so a callback that plugs the device in again is not undone.
    if (cfg.leaveOnRun) leaveBus();
    if (self->onRun) self->onRun(now);
}

RomDevice::Impl::Outcome RomDevice::Impl::announce(const vyrwire::Request &r,
                                                   const std::vector<uint8_t> &payload,
                                                   bool write) {
    closeTransfer();
    LargeAnnounce a;
    a.write = write;
    a.address = get32(payload.data());
    a.total = get32(payload.data() + 4);
    a.checksum = get32(payload.data() + 8);
    a.sequence = get32(payload.data() + 12);
    a.blockLength = r.wValue;
    a.blockCount = r.wIndex;
    anns.push_back(a);

    if (a.blockLength == 0) {
        fail("block length 0");
    } else {
        uint64_t blocks = (uint64_t(a.total) + a.blockLength - 1) / a.blockLength;
        if (uint16_t(blocks) != a.blockCount)
            fail("block count " + std::to_string(a.blockCount) + " for " + std::to_string(a.total) +
                 " bytes in blocks of " + std::to_string(a.blockLength));
    }
    xfer = Transfer{};
    xfer.active = true;
    xfer.announce = a;
    xfer.conn = handlingConn;
    if (write && a.total == 0 && a.checksum != foldSum(0)) fail("checksum");
    Outcome o;
    o.result = 16;
    return o;
}

RomDevice::Impl::Outcome RomDevice::Impl::bulkOut(const vyrwire::Request &r,
                                                  const std::vector<uint8_t> &payload) {
    if (r.b1 != EpBulkOut) return stall();
    Outcome o;
    if (zeroBulk > 0) {
        --zeroBulk;
        o.result = 0;
        return o;
    }
    auto &x = xfer;
    if (!x.active || !x.announce.write || x.done >= x.announce.total) return stall();
    if (x.announce.blockLength != 0 && r.length > x.announce.blockLength)
        fail("block of " + std::to_string(r.length) + " bytes longer than " +
             std::to_string(x.announce.blockLength));
    uint32_t n = std::min<uint32_t>(r.length, x.announce.total - x.done);
    if (shortBulk) n = std::min(n, shortBulk);
    if (dropArmed) {
        if (n > dropLeft) {
            n = uint32_t(dropLeft);
            o.drop = true;
            o.reply = false;
            dropArmed = false;
        }
        dropLeft -= n;
    }
    ramWrite(x.announce.address + x.done, payload.data(), n);
    x.sum = addToSum(x.sum, x.done, payload.data(), n);
    x.done += n;
    if (x.done == x.announce.total) {
        if (foldSum(x.sum) != x.announce.checksum)
            fail("checksum " + hex(x.announce.checksum) + " announced, data has " +
                 hex(foldSum(x.sum)));
        x.active = false;
    }
    o.result = int32_t(n);
    return o;
}

RomDevice::Impl::Outcome RomDevice::Impl::bulkIn(const vyrwire::Request &r) {
    if (r.b1 != EpBulkIn) return stall();
    auto &x = xfer;
    if (!x.active || x.announce.write || x.done >= x.announce.total) return stall();
    Outcome o;
    uint32_t n = std::min<uint32_t>(r.length, x.announce.total - x.done);
    if (shortBulk) n = std::min(n, shortBulk);
    if (dropArmed) {
        if (n > dropLeft) {
            dropArmed = false;
            o.drop = true;
            o.reply = false;
            return o;
        }
        dropLeft -= n;
    }
    o.data = ramRead(x.announce.address + x.done, n);
    x.done += n;
    if (x.done == x.announce.total) x.active = false;
    o.result = int32_t(n);
    return o;
}

RomDevice::Impl::Outcome RomDevice::Impl::textCommand(const vyrwire::Request &r,
                                                      const std::vector<uint8_t> &payload) {
    closeTransfer();
    Outcome o;
    o.result = int32_t(StatusLength);
    if (r.wIndex == 0) {
        // Burn step block: address, extra, 4 zero bytes, length, 64-bit value,
        // 8 zero bytes, then up to 32 characters of text.
        BurnStep s;
        s.address = get32(payload.data());
        s.extra = get32(payload.data() + 4);
        s.length = get32(payload.data() + 12);
        s.value = uint64_t(get32(payload.data() + 16)) | uint64_t(get32(payload.data() + 20)) << 32;
        const char *t = reinterpret_cast<const char *>(payload.data() + 32);
        s.text.assign(t, strnlen(t, 32));
        steps.push_back(s);
        setStatus("success");
        return o;
    }
    if (r.wIndex != 1) return stall();
    const char *t = reinterpret_cast<const char *>(payload.data());
    std::string cmd(t, strnlen(t, StatusLength));
    cmds.push_back(cmd);
    std::string trimmed = cmd;
    trimmed.erase(0, trimmed.find_first_not_of(" \t\r\n"));
    if (trimmed.compare(0, 3, "crc") == 0) {
        setStatus(crcCheck(trimmed));
    } else if (trimmed.compare(0, 5, "bootm") == 0) {
        setStatus("success");
        // The loader hands over to the operating system: the device leaves
        // the bus right after it acknowledged the command.
        if (!cfg.stayOnBootm)
            o.after = [this] {
                leaveBus();
                if (self->onBootm) self->onBootm();
            };
    } else {
        setStatus("success");
    }
    return o;
}

// "crc <hex address> <decimal size> <hex word sum>" (mu held).
std::string RomDevice::Impl::crcCheck(const std::string &cmd) {
    char word[8] = {};
    unsigned addr = 0, sum = 0;
    long long size = -1;
    char tail = 0;
    int got = std::sscanf(cmd.c_str(), "%7s %x %lld %x %c", word, &addr, &size, &sum, &tail);
    if (got != 4 || std::strcmp(word, "crc") != 0 || size < 0 || size > 0x7fffffffLL)
        return "failed crc bad arguments";
    uint32_t have = 0;
    // Walk the range a page at a time; a byte past the size reads as 0, so the
    // last word is padded.
    for (long long i = 0; i < size;) {
        size_t n = size_t(std::min<long long>(size - i, PageSize));
        auto bytes = ramRead(uint32_t(addr + uint32_t(i)), n);
        have += wordSum(bytes.data(), n); // i is a multiple of 4, so words line up
        i += n;
    }
    if (corrupt) have ^= 0x5a5a5a5a;
    if (have != sum) return "failed crc want " + hex(sum) + " have " + hex(have);
    return "success";
}

// A boot loader answers a status request when its command has finished, as
// long as that is within the request's time-out; the reply is held until then.
void RomDevice::Impl::holdStatusUntilDone(const vyrwire::Request &r) {
    Clock::time_point readyAt;
    {
        std::lock_guard<std::mutex> lk(mu);
        readyAt = statusReadyAt;
    }
    auto limit = Clock::now() + std::chrono::milliseconds(r.timeoutMs) / 2;
    std::this_thread::sleep_until(std::min(readyAt, limit));
}

void RomDevice::Impl::serve(int fd) {
    for (;;) {
        uint8_t head[vyrwire::RequestHeaderSize];
        if (!vyrwire::readFull(fd, head, sizeof head)) break;
        vyrwire::Request r = vyrwire::decodeRequest(head);
        if (r.op != vyrwire::OpControl && r.op != vyrwire::OpBulkOut && r.op != vyrwire::OpBulkIn &&
            r.op != vyrwire::OpReset)
            break; // not a ROM-mode device request: the peer is broken
        if (r.length > MaxRequestLength) break;
        std::vector<uint8_t> payload(vyrwire::requestPayloadLength(r));
        if (!payload.empty() && !vyrwire::readFull(fd, payload.data(), payload.size())) break;

        if (r.op == vyrwire::OpControl && r.b2 == ReqTplStatus) holdStatusUntilDone(r);
        Outcome o = handle(r, payload, fd);
        if (o.drop) {
            leaveBus();
            break;
        }
        if (o.reply) {
            uint8_t rh[vyrwire::ReplyHeaderSize];
            vyrwire::encodeReply({o.result, uint32_t(o.data.size())}, rh);
            if (!vyrwire::writeFull(fd, rh, sizeof rh)) break;
            if (!o.data.empty() && !vyrwire::writeFull(fd, o.data.data(), o.data.size())) break;
        }
        if (o.after) o.after();
    }
    // The host went away (it gave up on a reply, or cancelled what it was
    // waiting for): a transfer it announced on this connection is abandoned,
    // not held against the next one, which announces its own.
    std::lock_guard<std::mutex> lk(mu);
    if (xfer.active && xfer.conn == fd) xfer.active = false;
}

void RomDevice::Impl::leaveBus() {
    present = false;
    server.leave();
}

// ---------------------------------------------------------------------------

RomDevice::RomDevice(RomDeviceConfig cfg) : d(new Impl(this, cfg)) {}

RomDevice::~RomDevice() {
    d->present = false;
    d->server.stop();
}

bool RomDevice::listen(const std::string &socketPath) {
    if (!d->server.listen(socketPath)) return false;
    d->present = true;
    return true;
}

int RomDevice::connect() {
    d->server.rejoin(); // plugged in again
    const int fd = d->server.connect();
    if (fd >= 0) d->present = true;
    return fd;
}

void RomDevice::leaveBus() {
    d->leaveBus();
}

bool RomDevice::onBus() const {
    return d->present;
}

int RomDevice::stage() const {
    std::lock_guard<std::mutex> lk(d->mu);
    return d->stage;
}

void RomDevice::setStage(int stage) {
    std::lock_guard<std::mutex> lk(d->mu);
    d->stage = stage;
}

std::vector<uint8_t> RomDevice::readRam(uint32_t addr, size_t len) const {
    std::lock_guard<std::mutex> lk(d->mu);
    return d->ramRead(addr, len);
}

void RomDevice::writeRam(uint32_t addr, const uint8_t *data, size_t len) {
    std::lock_guard<std::mutex> lk(d->mu);
    d->ramWrite(addr, data, len);
}

void RomDevice::writeRam(uint32_t addr, const std::vector<uint8_t> &data) {
    writeRam(addr, data.data(), data.size());
}

std::string RomDevice::statusText() const {
    std::lock_guard<std::mutex> lk(d->mu);
    if (!d->pendingFailure.empty()) return d->pendingFailure;
    return Clock::now() < d->statusReadyAt ? "running" : d->status;
}

std::vector<RecordedRequest> RomDevice::requests() const {
    std::lock_guard<std::mutex> lk(d->mu);
    return d->log;
}

void RomDevice::clearRequests() {
    std::lock_guard<std::mutex> lk(d->mu);
    d->log.clear();
    d->cmds.clear();
    d->anns.clear();
    d->steps.clear();
}

void RomDevice::setRecordBulkData(bool on) {
    std::lock_guard<std::mutex> lk(d->mu);
    d->recordBulk = on;
}

std::vector<std::string> RomDevice::commands() const {
    std::lock_guard<std::mutex> lk(d->mu);
    return d->cmds;
}

std::vector<LargeAnnounce> RomDevice::announces() const {
    std::lock_guard<std::mutex> lk(d->mu);
    return d->anns;
}

std::vector<BurnStep> RomDevice::burnSteps() const {
    std::lock_guard<std::mutex> lk(d->mu);
    return d->steps;
}

void RomDevice::injectFault(RequestKind kind, Fault fault, int count, int skip) {
    std::lock_guard<std::mutex> lk(d->mu);
    d->faults.push_back({kind, fault, count, skip});
}

void RomDevice::clearFaults() {
    std::lock_guard<std::mutex> lk(d->mu);
    d->faults.clear();
    d->frozen = false;
    d->shortBulk = 0;
    d->zeroBulk = 0;
    d->dropArmed = false;
    d->corrupt = false;
}

bool RomDevice::frozen() const {
    std::lock_guard<std::mutex> lk(d->mu);
    return d->frozen;
}

void RomDevice::setShortBulk(uint32_t maxPerTransfer) {
    std::lock_guard<std::mutex> lk(d->mu);
    d->shortBulk = maxPerTransfer;
}

void RomDevice::setZeroBulk(int count) {
    std::lock_guard<std::mutex> lk(d->mu);
    d->zeroBulk = count;
}

void RomDevice::dropAfterBulkBytes(uint64_t n) {
    std::lock_guard<std::mutex> lk(d->mu);
    d->dropArmed = true;
    d->dropLeft = n;
}

void RomDevice::corruptRamCheck(bool on) {
    std::lock_guard<std::mutex> lk(d->mu);
    d->corrupt = on;
}

} // namespace vyrsim
