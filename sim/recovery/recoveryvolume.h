// A virtual device in its mass-storage form: the recovery system behind the
// block node of its volume, served over the virtual device wire protocol on
// Unix stream sockets (SCSI requests only).
//
// It answers the three vendor SCSI commands of the recovery handshake:
//   0xC0  file copy complete: accepted, no data;
//   0xC1  state text: 128 bytes from the device, zero-padded;
//   0xC3  command text: the host's bytes (text up to the first zero byte).
// Any other opcode, a bad CDB length or a CDB that does not match its data
// phase is answered with SCSI status 2 (check condition) and sense data.
//
// State text, as 0xC1 reports it: "booting" until bootMs after construction,
// then "ready"; once a command arrives, "running <command>" until the
// command's time has run out, then "success" or "failed <reason>". A new
// command replaces the one before it.
//
// Commands: "update:<file>" runs updateMs and needs <file> to exist in the
// volume directory and be non-empty (else "failed no file <file>"), or passes
// the check the configuration names; "reset",
// "shutdown" and "poweroff" answer success and then the device leaves the bus
// (onLeave is called); anything else runs commandMs.
//
// Threads: a thread per connection, strictly one request then its reply.
// Every public member is thread-safe. onLeave must be set before
// listen()/connect(); it is called from a serving thread and must not destroy
// the volume.
#ifndef VYRSIM_RECOVERYVOLUME_H
#define VYRSIM_RECOVERYVOLUME_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vyrsim {

// Times in milliseconds.
struct RecoveryConfig {
    int bootMs = 20;    // "booting" this long after construction, then "ready"
    int updateMs = 40;  // an "update:<file>" command runs this long
    int commandMs = 20; // any other command runs this long
    // Faults.
    bool neverReady = false;   // stays "booting" until a command arrives
    std::string failCommand;   // a command starting with this ends "failed <command>"
    std::string hangCommand;   // a command starting with this stays "running" for ever
    bool vanishVolume = false; // the volume directory is removed when the first command arrives
    int scsiErrno = 0;         // SCSI requests fail with -scsiErrno (no effect on the device)
    int scsiErrorCount = 0;    // only the first N requests fail; 0 = all of them
    // 0xC0 and 0xC1 are answered with CHECK CONDITION (unit attention) while
    // still carried out, 0xC1 with its state text, as some disks do.
    bool unitAttention = false;
    int refusedCommands = 0; // the first N 0xC3 requests fail with -EIO (no effect)
    // How "update:<file>" judges the file when the command arrives: "" for a
    // good package, else the reason it fails with. Unset: the file must be in
    // the volume directory and not be empty ("no file <file>").
    std::function<std::string(const std::string &file)> checkUpdate;
};

class RecoveryVolume {
  public:
    // One SCSI request as received (faulted and refused ones included).
    struct ScsiRecord {
        std::vector<uint8_t> cdb;  // CDB bytes, as many as the request's CDB length (at most 16)
        uint8_t dir = 0;           // vyrwire::ScsiDir
        std::vector<uint8_t> data; // host-to-device data
        uint32_t length = 0;       // data length of the request
    };

    explicit RecoveryVolume(std::string volumeDir, RecoveryConfig cfg = {});
    ~RecoveryVolume(); // leave(), then joins every thread
    RecoveryVolume(const RecoveryVolume &) = delete;
    RecoveryVolume &operator=(const RecoveryVolume &) = delete;

    // Serve on a listening Unix stream socket at socketPath (an existing file
    // there is replaced). May be called again after leave().
    bool listen(const std::string &socketPath);
    // A new connection served by the volume (socketpair); the caller owns and
    // closes the returned descriptor. -1 on failure or once it has left.
    int connect();
    // Serve an already connected stream socket (taken over, closed when done).
    bool adopt(int fd);
    // The device leaves the bus: the listener and every connection are closed
    // and the socket file (if still the one bound here) is removed. Does not
    // call onLeave. Safe to call from any thread, more than once.
    void leave();
    // Listening or serving a connection, and not left.
    bool onBus() const;

    // Called with the command ("reset", "shutdown", "poweroff") after the
    // device answered it and left the bus.
    std::function<void(const std::string &)> onLeave;

    // The text the next 0xC1 would report (without faults).
    std::string stateText() const;
    // Command texts received through 0xC3, in order (faulted requests excluded).
    std::vector<std::string> commands() const;
    std::vector<ScsiRecord> records() const;
    const std::string &volumeDir() const;

    // The blocking step of a connection: reads one request from fd and answers
    // it. False when the peer closed, the device left or the request broke the
    // protocol (the caller then closes fd).
    bool serveOne(int fd);

  private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace vyrsim

#endif
