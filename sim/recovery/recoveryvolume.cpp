#include "recoveryvolume.h"

#include "socketserver.h"

#include "vyrwire.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <list>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace vyrsim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t StateTextSize = 128;
// Host-to-device data beyond this is taken as a broken peer.
constexpr uint32_t MaxDataLength = 1u << 20;

enum : uint8_t {
    OpFileCopyComplete = 0xC0,
    OpUpdateState = 0xC1,
    OpCommand = 0xC3,
};

enum : uint8_t {
    StatusGood = 0,
    StatusCheckCondition = 2,
};

// Additional sense codes of an ILLEGAL REQUEST.
enum : uint8_t {
    AscInvalidOpcode = 0x20,
    AscInvalidField = 0x24,
    AscPowerOnReset = 0x29,
};

bool isLeaveCommand(const std::string &cmd) {
    return cmd == "reset" || cmd == "shutdown" || cmd == "poweroff";
}

// A file name the host named in "update:<file>": relative, no way out of the
// volume directory.
bool safeVolumeName(const std::string &name) {
    if (name.empty() || name[0] == '/') return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        if (name.compare(start, end - start, "..") == 0 && end - start == 2) return false;
        start = end + 1;
    }
    return true;
}

bool discard(int fd, size_t len) {
    uint8_t buf[4096];
    while (len > 0) {
        size_t n = std::min(len, sizeof buf);
        if (!vyrwire::readFull(fd, buf, n)) return false;
        len -= n;
    }
    return true;
}

struct Running {
    std::string command;
    Clock::time_point start;
    int durationMs = 0;
    bool hang = false;
    std::string outcome; // "success" or "failed ..."
};

} // namespace

struct RecoveryVolume::Impl {
    std::string volumeDir;
    RecoveryConfig cfg;
    Clock::time_point born = Clock::now();

    mutable std::mutex lock;
    std::optional<Running> running;
    std::vector<std::string> commands;
    std::vector<ScsiRecord> records;
    unsigned scsiRequests = 0;
    int refused = 0; // 0xC3 requests refused so far (refusedCommands)
    bool vanished = false;

    // Listener and connections; made by the volume (it serves them).
    std::unique_ptr<SocketServer> server;

    std::string stateLocked(Clock::time_point now) const {
        if (!running) {
            if (cfg.neverReady || now < born + std::chrono::milliseconds(cfg.bootMs))
                return "booting";
            return "ready";
        }
        if (running->hang || now < running->start + std::chrono::milliseconds(running->durationMs))
            return "running " + running->command;
        return running->outcome;
    }
};

RecoveryVolume::RecoveryVolume(std::string volumeDir, RecoveryConfig cfg) : d(new Impl) {
    d->volumeDir = std::move(volumeDir);
    d->cfg = std::move(cfg);
    d->server = std::make_unique<SocketServer>([this](int fd) {
        while (serveOne(fd)) {
        }
    });
}

RecoveryVolume::~RecoveryVolume() {
    d->server->stop();
}

const std::string &RecoveryVolume::volumeDir() const {
    return d->volumeDir;
}

std::string RecoveryVolume::stateText() const {
    std::lock_guard<std::mutex> g(d->lock);
    return d->stateLocked(Clock::now());
}

std::vector<std::string> RecoveryVolume::commands() const {
    std::lock_guard<std::mutex> g(d->lock);
    return d->commands;
}

std::vector<RecoveryVolume::ScsiRecord> RecoveryVolume::records() const {
    std::lock_guard<std::mutex> g(d->lock);
    return d->records;
}

bool RecoveryVolume::onBus() const {
    return d->server->onBus();
}

bool RecoveryVolume::adopt(int fd) {
    return d->server->adopt(fd);
}

int RecoveryVolume::connect() {
    return d->server->connect();
}

bool RecoveryVolume::listen(const std::string &socketPath) {
    return d->server->listen(socketPath);
}

void RecoveryVolume::leave() {
    d->server->leave();
}

bool RecoveryVolume::serveOne(int fd) {
    uint8_t head[vyrwire::RequestHeaderSize];
    if (!vyrwire::readFull(fd, head, sizeof head)) return false;
    vyrwire::Request r = vyrwire::decodeRequest(head);

    auto reply = [fd](int32_t result, const std::vector<uint8_t> &payload) {
        uint8_t rh[vyrwire::ReplyHeaderSize];
        vyrwire::encodeReply({result, uint32_t(payload.size())}, rh);
        return vyrwire::writeFull(fd, rh, sizeof rh) &&
               (payload.empty() || vyrwire::writeFull(fd, payload.data(), payload.size()));
    };

    if (r.op != vyrwire::OpScsi) {
        // A mass-storage volume has no ROM-mode endpoints: every USB request stalls.
        size_t extra = vyrwire::requestPayloadLength(r);
        if (extra > MaxDataLength || !discard(fd, extra)) return false;
        return reply(vyrwire::ErrPipe, {});
    }
    if (r.b2 == vyrwire::ScsiToDevice && r.length > MaxDataLength) return false;

    uint8_t cdb[vyrwire::ScsiCdbSize];
    if (!vyrwire::readFull(fd, cdb, sizeof cdb)) return false;
    std::vector<uint8_t> data;
    if (r.b2 == vyrwire::ScsiToDevice && r.length > 0) {
        data.resize(r.length);
        if (!vyrwire::readFull(fd, data.data(), data.size())) return false;
    }

    // Reply payload: status, sense length, two zero bytes, 32 sense bytes, data.
    std::vector<uint8_t> out(vyrwire::ScsiReplyPrefix, 0);
    auto checkCondition = [&out](uint8_t asc) {
        out[0] = StatusCheckCondition;
        out[1] = 18;
        uint8_t *sense = out.data() + 4;
        sense[0] = 0x70; // current error, fixed format
        sense[2] = 0x05; // ILLEGAL REQUEST
        sense[7] = 10;   // additional sense length
        sense[12] = asc;
    };
    auto unitAttention = [&out, &checkCondition] {
        checkCondition(AscPowerOnReset);
        out[4 + 2] = 0x06; // UNIT ATTENTION
    };

    int32_t result = 0;
    std::string leaving;
    {
        std::lock_guard<std::mutex> g(d->lock);
        if (d->server->hasLeft()) return false;
        ScsiRecord rec;
        size_t cdbLen = std::min<size_t>(r.b1, sizeof cdb);
        rec.cdb.assign(cdb, cdb + cdbLen);
        rec.dir = r.b2;
        rec.data = data;
        rec.length = r.length;
        d->records.push_back(std::move(rec));

        unsigned n = d->scsiRequests++;
        bool faulted = d->cfg.scsiErrno != 0 &&
                       (d->cfg.scsiErrorCount <= 0 || n < unsigned(d->cfg.scsiErrorCount));
        uint8_t op = cdb[0];
        bool cdbLenOk = r.b1 >= 6 && r.b1 <= 16;
        if (!faulted && op == OpCommand && d->refused < d->cfg.refusedCommands) {
            ++d->refused;
            faulted = true;
            result = -EIO;
        }
        if (faulted) {
            if (result == 0) result = -std::abs(d->cfg.scsiErrno);
        } else if (!cdbLenOk) {
            checkCondition(AscInvalidField);
        } else if (op == OpFileCopyComplete) {
            if (r.b1 != 6 || r.b2 == vyrwire::ScsiToDevice)
                checkCondition(AscInvalidField);
            else if (d->cfg.unitAttention)
                unitAttention();
        } else if (op == OpUpdateState) {
            if (r.b1 != 6 || r.b2 != vyrwire::ScsiFromDevice) {
                checkCondition(AscInvalidField);
            } else {
                if (d->cfg.unitAttention) unitAttention();
                std::string text = d->stateLocked(Clock::now());
                std::vector<uint8_t> state(StateTextSize, 0);
                std::memcpy(state.data(), text.data(), std::min(text.size(), StateTextSize));
                size_t n = std::min<size_t>({r.length, cdb[4], StateTextSize});
                out.insert(out.end(), state.begin(), state.begin() + n);
            }
        } else if (op == OpCommand) {
            if (r.b1 != 10 || r.b2 != vyrwire::ScsiToDevice || cdb[4] != (r.length & 0xff)) {
                checkCondition(AscInvalidField);
            } else {
                std::string cmd(data.begin(), std::find(data.begin(), data.end(), 0));
                d->commands.push_back(cmd);
                if (d->cfg.vanishVolume && !d->vanished) {
                    d->vanished = true;
                    std::error_code ec;
                    std::filesystem::remove_all(d->volumeDir, ec);
                }
                Running run;
                run.command = cmd;
                run.start = Clock::now();
                run.outcome = "success";
                run.durationMs = d->cfg.commandMs;
                const RecoveryConfig &cfg = d->cfg;
                if (isLeaveCommand(cmd)) {
                    run.durationMs = 0;
                    leaving = cmd;
                } else if (!cfg.hangCommand.empty() && cmd.rfind(cfg.hangCommand, 0) == 0) {
                    run.hang = true;
                } else if (!cfg.failCommand.empty() && cmd.rfind(cfg.failCommand, 0) == 0) {
                    run.outcome = "failed " + cmd;
                } else if (cmd.rfind("update:", 0) == 0) {
                    std::string file = cmd.substr(7);
                    run.durationMs = cfg.updateMs;
                    std::string failure;
                    if (!safeVolumeName(file)) {
                        failure = "no file " + file;
                    } else if (cfg.checkUpdate) {
                        failure = cfg.checkUpdate(file);
                    } else {
                        std::error_code ec;
                        auto full = std::filesystem::path(d->volumeDir) / file;
                        if (!std::filesystem::is_regular_file(full, ec) ||
                            std::filesystem::file_size(full, ec) == 0 || ec)
                            failure = "no file " + file;
                    }
                    if (!failure.empty()) {
                        run.durationMs = 0;
                        run.outcome = "failed " + failure;
                    }
                }
                d->running = std::move(run);
            }
        } else {
            checkCondition(AscInvalidOpcode);
        }
    }

    if (result != 0) out.resize(vyrwire::ScsiReplyPrefix);
    bool sent = reply(result, out);
    if (!leaving.empty()) {
        leave();
        if (onLeave) onLeave(leaving);
        return false;
    }
    return sent;
}

} // namespace vyrsim
