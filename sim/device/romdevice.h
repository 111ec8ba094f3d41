// A virtual device in ROM boot mode (and in the two loaders that follow it),
// served over the virtual device wire protocol on Unix stream sockets.
//
// It answers the vendor control requests and bulk transfers the transport
// library sends: identify, 64-byte memory reads and writes, run, large-memory
// announces followed by bulk data, text commands and their status. Its RAM is
// sparse (4 KiB pages, zero until written). Faults can be injected per request
// kind so callers can be tested against stalls, time-outs, silence and a
// device that leaves the bus.
//
// Threads: each connection is served by its own thread, strictly one request
// then its reply. Every public member is thread-safe; the callbacks must be set
// before listen()/connect() and are called from a serving thread.
#ifndef VYRSIM_ROMDEVICE_H
#define VYRSIM_ROMDEVICE_H

#include "vyrrequests.h"
#include "vyrwire.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vyrsim {

// Boot stages as the identify reply reports them (byte 3).
using vyrreq::StageBootLoader;
using vyrreq::StageFirstLoader;
using vyrreq::StageRom;

struct RomDeviceConfig {
    int stage = StageRom;     // stage the device starts in
    int runDelayMs = 0;       // time between an accepted run and the stage moving on
    bool leaveOnRun = false;  // after run the device leaves the bus (re-enumerates)
    int commandDelayMs = 0;   // a text command runs this long; a status request waits for it
    bool stayOnBootm = false; // "bootm" is answered but the device stays in ROM mode
};

// What a request is, for fault injection.
enum class RequestKind {
    Identify,
    ReadMem,
    WriteMem,
    Run,
    LargeWrite,
    LargeRead,
    TplCmd,
    TplStatus,
    BulkOut,
    BulkIn,
    Reset
};

enum class Fault {
    Stall,   // answer -9 (pipe stall); the request has no effect
    Timeout, // answer -7 at once, as a device-side time-out; no effect
    NoReply, // swallow the request: no reply at all, the host's time-out runs out
    Drop,    // leave the bus at this request (every connection closed, no reply)
    Freeze   // hang at this request: it and every later request, of any kind and on
             // any connection, are swallowed (connections are still taken) until
             // clearFaults()
};

struct RecordedRequest {
    vyrwire::Request header;
    std::vector<uint8_t> payload; // host-to-device data (control OUT, bulk OUT)
};

// One large-memory announce as the device parsed it.
struct LargeAnnounce {
    bool write = false;
    uint32_t address = 0;
    uint32_t total = 0;
    uint32_t checksum = 0;
    uint32_t sequence = 0;
    uint16_t blockLength = 0; // wValue
    uint16_t blockCount = 0;  // wIndex
};

// A fixed-layout burn step block received as a command (wIndex 0).
struct BurnStep {
    uint32_t address = 0;
    uint32_t extra = 0;
    uint32_t length = 0;
    uint64_t value = 0;
    std::string text;
};

class RomDevice {
  public:
    explicit RomDevice(RomDeviceConfig cfg = {});
    ~RomDevice();
    RomDevice(const RomDevice &) = delete;
    RomDevice &operator=(const RomDevice &) = delete;

    // Serve on a listening Unix stream socket at socketPath (an existing file
    // there is replaced). May be called again after leaveBus() (plugged again).
    bool listen(const std::string &socketPath);
    // A new connection served by the device; the caller owns and closes the
    // returned descriptor. -1 on failure.
    int connect();
    // The device leaves the bus: every connection and the listener are closed,
    // and the socket file it bound is removed if it still lies under that name.
    // The device keeps its stage, RAM and logs. Safe to call from a callback.
    void leaveBus();
    // Plugged in: listen() or connect() was called since the last leaveBus().
    bool onBus() const;

    int stage() const;
    void setStage(int stage);

    std::vector<uint8_t> readRam(uint32_t addr, size_t len) const;
    void writeRam(uint32_t addr, const uint8_t *data, size_t len);
    void writeRam(uint32_t addr, const std::vector<uint8_t> &data);

    // The text the next status request would return (without faults).
    std::string statusText() const;

    // Callbacks for the virtual line; set before listen()/connect(). Each runs on
    // a device thread after the reply to its request went out.
    std::function<void(int newStage)> onRun; // the stage moved on after run (if the
                                             // device leaves on run, it has left by now)
    std::function<void()> onBootm;           // after leaving the bus on "bootm"
    std::function<void()> onReset;           // port reset request

    // Request log (every request received, faulted ones included).
    std::vector<RecordedRequest> requests() const;
    void clearRequests(); // also clears commands, announces and burn steps
    // Keep bulk data in the log (default true; large images make it big).
    void setRecordBulkData(bool on);
    std::vector<std::string> commands() const; // text commands as received
    std::vector<LargeAnnounce> announces() const;
    std::vector<BurnStep> burnSteps() const;

    // Faults.
    void injectFault(RequestKind kind, Fault fault, int count = -1 /* -1 forever */,
                     int skip = 0 /* let this many pass first */);
    void clearFaults();                         // and every bulk fault and the crc corruption below
    bool frozen() const;                        // a Freeze fault has hit
    void setShortBulk(uint32_t maxPerTransfer); // 0 = no limit
    void setZeroBulk(int count);                // next count bulk OUTs move 0 bytes
    void dropAfterBulkBytes(uint64_t n);        // leave the bus after n more bulk bytes
    void corruptRamCheck(bool on);              // crc checks fail

  private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// The 16-bit ones'-complement checksum the large-memory announce carries:
// 16-bit little-endian words summed, an odd byte as a low byte, carries folded
// twice, inverted.
uint16_t internetChecksum(const uint8_t *data, size_t len);

// Sum of the 32-bit little-endian words of data (a byte past the end reads 0).
uint32_t wordSum(const uint8_t *data, size_t len);

} // namespace vyrsim

#endif
