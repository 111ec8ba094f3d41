// The handshake with the recovery system over its mass-storage volume: three
// vendor SCSI commands sent to the whole disk behind the volume's mount point.
//   0xC0  file copy complete   (no data)
//   0xC1  read the result text (128 bytes from the device)
//   0xC3  hand over a command  (the caller's bytes to the device)
// Each export resolves the mount point, opens the disk node, sends one command
// and closes the node again. Nothing is retried here; the caller retries.
#include "rawiohelper.h"
#include "romvane.h"
#include "scsivolume.h"
#include "sysroot.h"
#include "tracemoor.h"
#include "vyrwire.h"

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

using namespace romvane;

namespace {

constexpr uint32_t CommandTimeoutMs = 2000;
constexpr uint32_t ResultTextSize = 128;
constexpr uint8_t SenseSize = 32;
constexpr int32_t MaxErrno = 4095; // the largest errno the kernel hands out

enum : uint8_t {
    OpFileCopyComplete = 0xC0,
    OpUpdateComplete = 0xC1,
    OpCommand = 0xC3,
};

// ---- Block device: SG_IO --------------------------------------------------

// Host status of a command that ran out of time.
constexpr unsigned short HostTimedOut = 0x03;
// Driver status bit meaning only "sense data is present".
constexpr unsigned short DriverSense = 0x08;

int openBlock(const std::string &node) {
    int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    return fd < 0 ? -errno : fd;
}

int exchangeBlock(int fd, const ScsiCommand &cmd, ScsiOutcome &out) {
    uint8_t sense[SenseSize] = {};
    uint8_t cdb[16];
    std::memcpy(cdb, cmd.cdb, sizeof cdb);
    sg_io_hdr_t h{};
    h.interface_id = 'S';
    h.cmd_len = cmd.cdbLength;
    h.cmdp = cdb;
    h.mx_sb_len = SenseSize;
    h.sbp = sense;
    h.timeout = cmd.timeoutMs;
    h.dxfer_len = cmd.length;
    h.dxferp = cmd.length > 0 ? cmd.data : nullptr;
    if (cmd.length == 0 || cmd.direction == vyrwire::ScsiNone)
        h.dxfer_direction = SG_DXFER_NONE;
    else if (cmd.direction == vyrwire::ScsiToDevice)
        h.dxfer_direction = SG_DXFER_TO_DEV;
    else
        h.dxfer_direction = SG_DXFER_FROM_DEV;
    if (::ioctl(fd, SG_IO, &h) < 0) {
        // Without CAP_SYS_RAWIO the kernel refuses vendor operation codes:
        // the capability helper sends the command instead.
        if (errno != EPERM) return -errno;
        rawio::RawioRecord rec;
        int r = rawioExchange(fd, cmd, rec);
        if (r != 0) return r;
        h.status = rec.status;
        h.host_status = rec.hostStatus;
        h.driver_status = rec.driverStatus;
        h.resid = rec.resid;
    }
    if (h.host_status == HostTimedOut) return -ETIMEDOUT;
    if (h.host_status != 0 || (h.driver_status & ~DriverSense) != 0) return -EIO;
    out.status = h.status;
    if (h.dxfer_direction == SG_DXFER_FROM_DEV) {
        int resid = std::clamp(h.resid, 0, int(cmd.length));
        out.received = cmd.length - uint32_t(resid);
    }
    return 0;
}

// ---- Unix socket: the virtual volume ----------------------------------------

int openSocket(const std::string &node) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -errno;
    // connect() on a Unix socket waits this long when the listener is busy.
    timeval tv{CommandTimeoutMs / 1000, suseconds_t(CommandTimeoutMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);

    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string target = node;
    int dirFd = -1;
    if (target.size() >= sizeof addr.sun_path) {
        // Too long for an address: reach it through its directory's descriptor.
        size_t slash = node.rfind('/');
        std::string dir = slash == 0 ? "/" : node.substr(0, slash);
        dirFd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dirFd < 0) {
            int e = -errno;
            ::close(fd);
            return e;
        }
        target = "/proc/self/fd/" + std::to_string(dirFd) + node.substr(slash);
    }
    int rc = 0;
    if (target.size() >= sizeof addr.sun_path) {
        rc = -ENAMETOOLONG;
    } else {
        std::memcpy(addr.sun_path, target.c_str(), target.size() + 1);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
            rc = errno == EAGAIN ? -ETIMEDOUT : -errno;
    }
    if (dirFd >= 0) ::close(dirFd);
    if (rc != 0) {
        ::close(fd);
        return rc;
    }
    return fd;
}

int exchangeSocket(int fd, const ScsiCommand &cmd, ScsiOutcome &out) {
    vyrwire::Request r;
    r.op = vyrwire::OpScsi;
    r.b1 = cmd.cdbLength;
    r.b2 = cmd.direction;
    r.length = cmd.length;
    r.timeoutMs = cmd.timeoutMs;

    std::string payload(reinterpret_cast<const char *>(cmd.cdb), vyrwire::ScsiCdbSize);
    if (cmd.direction == vyrwire::ScsiToDevice && cmd.length > 0)
        payload.append(static_cast<const char *>(cmd.data), cmd.length);
    uint8_t reply[vyrwire::ScsiReplyPrefix + ResultTextSize];
    size_t want = vyrwire::ScsiReplyPrefix;
    if (cmd.direction == vyrwire::ScsiFromDevice)
        want += std::min<uint32_t>(cmd.length, ResultTextSize);

    uint32_t got = 0;
    int32_t res = vyrwire::call(fd, r, payload.data(), payload.size(), reply, want, &got);
    if (got == 0) {
        // No reply payload: the exchange itself failed.
        switch (res) {
        case vyrwire::ErrNoDevice:
            return -ENODEV;
        case vyrwire::ErrTimeout:
            return -ETIMEDOUT;
        case vyrwire::ErrIo:
            return -EIO;
        default:
            break;
        }
    }
    // The device's errno. A result outside the errno range breaks the exchange
    // (and must not reach callers that negate it to print or compare it).
    if (res < 0) return res >= -MaxErrno ? res : -EIO;
    if (res > 0 || got < vyrwire::ScsiReplyPrefix) return -EIO; // not a SCSI reply
    out.status = reply[0];
    out.received = got - uint32_t(vyrwire::ScsiReplyPrefix);
    if (out.received > 0) std::memcpy(cmd.data, reply + vyrwire::ScsiReplyPrefix, out.received);
    return 0;
}

const ScsiPath BlockPath = {"block", openBlock, exchangeBlock};
const ScsiPath SocketPath = {"socket", openSocket, exchangeSocket};

// ---- Mount point to disk node ---------------------------------------------

// Collapses repeated '/' and drops a trailing one ("/" stays "/").
std::string normalisePath(const std::string &p) {
    std::string out;
    for (char c : p)
        if (c != '/' || out.empty() || out.back() != '/') out.push_back(c);
    if (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

// The sysfs directory of a block device: the link sys/dev/block/M:m resolved.
// An absolute link target is a path under the system root.
std::string blockDeviceDir(unsigned major, unsigned minor) {
    std::string link =
        vyrsys::path("sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor));
    std::string start = link;
    char target[PATH_MAX];
    ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n > 0 && target[0] == '/') start = vyrsys::root() + std::string(target, size_t(n));
    char real[PATH_MAX];
    if (::realpath(start.c_str(), real) == nullptr) return std::string();
    return real;
}

bool validDiskName(const std::string &name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (char c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.'))
            return false;
    return true;
}

// Vendor commands go to USB disks only, never to a disk inside the PC: the
// disk's sysfs directory (below the system root) must sit under a USB bus
// ("usbN").
bool diskOnUsb(const std::string &diskDir) {
    std::string rel = diskDir;
    char real[PATH_MAX];
    std::string root = vyrsys::root();
    if (!root.empty() && ::realpath(root.c_str(), real) != nullptr) {
        std::string r = real;
        if (rel.compare(0, r.size(), r) == 0 && rel.size() > r.size() && rel[r.size()] == '/')
            rel = rel.substr(r.size());
    }
    size_t start = 0;
    while (start < rel.size()) {
        size_t end = rel.find('/', start);
        if (end == std::string::npos) end = rel.size();
        std::string part = rel.substr(start, end - start);
        if (part.size() > 3 && part.compare(0, 3, "usb") == 0 &&
            part.find_first_not_of("0123456789", 3) == std::string::npos)
            return true;
        start = end + 1;
    }
    return false;
}

// The one place that picks the path for a node.
const ScsiPath *scsiPathFor(mode_t mode) {
    if (S_ISBLK(mode)) return &BlockPath;
    if (S_ISSOCK(mode)) return &SocketPath;
    return nullptr;
}

} // namespace

int romvane::resolveVolumeNode(const std::string &drive, std::string &node, const ScsiPath *&path) {
    std::string want = normalisePath(drive);
    const std::string root = vyrsys::root();
    const vyrsys::MountEntry *found = nullptr;
    auto mounts = vyrsys::readMountInfo();
    // A later mount on the same point hides the earlier ones: the last match counts.
    for (const auto &m : mounts)
        if (normalisePath(root + m.mountPoint) == want) found = &m;
    if (found == nullptr) return -ENOENT;

    std::string dir = blockDeviceDir(found->major, found->minor);
    if (dir.empty()) return -ENODEV;
    if (vyrsys::readAttr(dir + "/partition"))
        dir = dir.substr(0, dir.rfind('/')); // a partition sits in its disk's directory
    std::string disk = dir.substr(dir.rfind('/') + 1);
    if (!validDiskName(disk) || !diskOnUsb(dir)) return -ENODEV;

    node = vyrsys::path("dev/" + disk);
    struct stat st;
    if (::stat(node.c_str(), &st) != 0) return -errno;
    path = scsiPathFor(st.st_mode);
    return path != nullptr ? 0 : -ENODEV;
}

namespace {

int checkDrive(const char *drive) {
    if (drive == nullptr || drive[0] == '\0' || drive[1] == '\0') return HsShortDrive;
    if (drive[0] != '/') return HsNotAbsolute;
    return HsOk;
}

struct Attempt {
    int result = 0;
    bool opened = false; // false: the volume could not be found or opened
    ScsiOutcome outcome;
};

// Finds the volume's disk, opens it, sends cmd and closes it again.
Attempt sendToVolume(const char *drive, const ScsiCommand &cmd) {
    Attempt a;
    std::string node;
    const ScsiPath *path = nullptr;
    a.result = resolveVolumeNode(drive, node, path);
    if (a.result != 0) return a;
    int fd = path->open(node);
    if (fd < 0) {
        vyr_printf("[%s] open %s error=%d\n", path->name, node.c_str(), -fd);
        a.result = fd;
        return a;
    }
    a.opened = true;
    a.result = path->exchange(fd, cmd, a.outcome);
    if (a.result != 0) vyr_printf("[%s] %s error=%d\n", path->name, node.c_str(), -a.result);
    ::close(fd);
    return a;
}

} // namespace

int VyrSetFileCopyComplete(const char *drive) {
    int rc = checkDrive(drive);
    if (rc != HsOk) return rc;

    ScsiCommand cmd;
    cmd.cdb[0] = OpFileCopyComplete; // C0 00 00 00 00 00
    cmd.cdbLength = 6;
    cmd.direction = vyrwire::ScsiNone;
    cmd.timeoutMs = CommandTimeoutMs;
    Attempt a = sendToVolume(drive, cmd);
    // Accepted when the pass-through call succeeds: a disk may report a unit
    // attention (or another condition) on a command it still carried out.
    if (a.result != 0) vyr_printf("VyrSetFileCopyComplete \"%s\" error=%d\n", drive, -a.result);
    return a.result;
}

int VyrGetUpdateComplete(const char *drive, char *text, uint32_t *count) {
    int rc = checkDrive(drive);
    if (text == nullptr || count == nullptr) return rc != HsOk ? rc : -EINVAL;
    // On every failure the caller finds an empty text.
    const uint32_t capacity = *count;
    std::memset(text, 0, capacity);
    *count = 0;
    if (rc != HsOk) return rc;
    vyr_printf("VyrGetUpdateComplete %s\n", drive);

    uint8_t result[ResultTextSize] = {};
    ScsiCommand cmd;
    cmd.cdb[0] = OpUpdateComplete; // C1 00 00 00 80 00
    cmd.cdb[4] = /* allocation length */ ResultTextSize;
    cmd.cdbLength = 6;
    cmd.direction = vyrwire::ScsiFromDevice;
    cmd.data = result;
    cmd.length = ResultTextSize;
    cmd.timeoutMs = CommandTimeoutMs;
    Attempt a = sendToVolume(drive, cmd);
    // Read when the pass-through call succeeds, whatever the SCSI status: a
    // disk commonly reports a unit attention with valid data after a copy.
    // Only the bytes the device sent count (none: an empty text).

    if (a.result != 0) {
        if (!a.opened)
            vyr_printf("VyrGetUpdateComplete openfile \"%s\" error=%d\n", drive, -a.result);
        else
            vyr_printf("VyrGetUpdateComplete \"%s\" error=%d\n", drive, -a.result);
        return a.result;
    }
    // The text comes from the device: bounded by what it sent and by the
    // caller's capacity, never trusted to hold a zero byte.
    uint32_t copied = std::min(a.outcome.received, capacity);
    std::memcpy(text, result, copied);
    *count = uint32_t(strnlen(text, copied));
    return HsOk;
}

int VyrSetFileCopyCompleteEx(const char *drive, const void *data, uint32_t length) {
    int rc = checkDrive(drive);
    if (rc != HsOk) return rc;
    if (data == nullptr && length > 0) return -EINVAL;
    const char *bytes = static_cast<const char *>(data);
    int shown = bytes == nullptr ? 0 : int(strnlen(bytes, std::min<uint32_t>(length, 4096)));
    vyr_printf("send %s cmd=%.*s", drive, shown, bytes == nullptr ? "" : bytes);

    ScsiCommand cmd;
    cmd.cdb[0] = OpCommand; // C3 00 00 00 L 00 00 00 00 00
    cmd.cdb[4] = /* data length, low 8 bits */ uint8_t(length & 0xff);
    cmd.cdbLength = 10;
    cmd.direction = vyrwire::ScsiToDevice;
    cmd.data = const_cast<void *>(data);
    cmd.length = length;
    cmd.timeoutMs = CommandTimeoutMs;
    Attempt a = sendToVolume(drive, cmd);
    if (a.result == 0 && a.outcome.status != 0) a.result = -EIO;
    if (a.result != 0) vyr_printf("VyrSetFileCopyCompleteEx \"%s\" error=%d\n", drive, -a.result);
    return a.result;
}
