// pyrewick-rawio: sends the recovery handshake's three vendor SCSI commands to
// a disk for a user without CAP_SYS_RAWIO. Installed with the file capability
// cap_sys_rawio+ep and nothing else, so it is kept narrow:
//   - the disk is descriptor 3, opened read-write by the caller: the helper
//     opens nothing itself and refuses a descriptor not open for reading and
//     writing, so it reaches only disks the caller may write (with the
//     capability the kernel would let vendor commands through a read-only
//     descriptor too);
//   - it must be a whole block device whose USB device has vendor 0x1B8E;
//   - the command block is one of three fixed ones:
//       c0  C0 00 00 00 00 00            no data
//       c1  C1 00 00 00 80 00            128 bytes from the device
//       c3  C3 00 00 00 L 00 00 00 00 00 the data read from standard input
//                                        (1..4096 bytes, L its low 8 bits)
// It writes one RawioRecord (sg_io_hdr status, sense and residue, unchanged)
// and, for c1, the data area to standard output. Exit status 0 when a record
// was written, 2 for a bad command line.
#include "rawiorecord.h"
#include "sysroot.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <scsi/sg.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr unsigned long RecoveryVendor = 0x1b8e;

bool writeAll(const void *data, size_t len) {
    const char *p = static_cast<const char *>(data);
    while (len > 0) {
        ssize_t n = ::write(1, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= size_t(n);
    }
    return true;
}

int answer(const rawio::RawioRecord &rec, const std::vector<uint8_t> &data = {}) {
    return writeAll(&rec, sizeof rec) && writeAll(data.data(), data.size()) ? 0 : 1;
}

int refuse(int error) {
    rawio::RawioRecord rec;
    rec.error = -error;
    return answer(rec);
}

// The disk's USB device: the nearest directory above the disk in sysfs that
// has an idVendor attribute. The real /sys only: this program must not take a
// system root from its caller's environment.
std::optional<unsigned long> usbVendorOf(dev_t disk) {
    char link[64];
    std::snprintf(link, sizeof link, "/sys/dev/block/%u:%u", major(disk), minor(disk));
    char real[PATH_MAX];
    if (!::realpath(link, real)) return std::nullopt;
    std::string dir = real;
    if (dir.rfind("/sys/devices/", 0) != 0) return std::nullopt;
    if (vyrsys::readAttr(dir + "/partition")) return std::nullopt; // whole disks only
    while (dir.size() > std::strlen("/sys/devices")) {
        dir = dir.substr(0, dir.rfind('/'));
        if (auto v = vyrsys::readAttrNumber(dir + "/idVendor", 16)) return v;
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: pyrewick-rawio c0|c1|c3 (disk on descriptor 3)\n");
        return 2;
    }
    const std::string which = argv[1];
    uint8_t cdb[10] = {};
    uint8_t cdbLength = 6;
    int direction = SG_DXFER_NONE;
    std::vector<uint8_t> data;
    if (which == "c0") {
        cdb[0] = 0xC0;
    } else if (which == "c1") {
        cdb[0] = 0xC1;
        cdb[4] = rawio::ResultTextSize;
        direction = SG_DXFER_FROM_DEV;
        data.assign(rawio::ResultTextSize, 0);
    } else if (which == "c3") {
        uint8_t buf[rawio::MaxCommandData + 1];
        size_t got = 0;
        for (;;) {
            ssize_t n = ::read(0, buf + got, sizeof buf - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += size_t(n);
            if (got == sizeof buf) break;
        }
        if (got == 0 || got > rawio::MaxCommandData) return refuse(EINVAL);
        data.assign(buf, buf + got);
        cdb[0] = 0xC3;
        cdb[4] = uint8_t(got & 0xff);
        cdbLength = 10;
        direction = SG_DXFER_TO_DEV;
    } else {
        std::fprintf(stderr, "pyrewick-rawio: unknown command %s\n", which.c_str());
        return 2;
    }

    struct stat st;
    if (::fstat(rawio::DiskFd, &st) != 0) return refuse(EBADF);
    if (!S_ISBLK(st.st_mode)) return refuse(ENODEV);
    auto vendor = usbVendorOf(st.st_rdev);
    if (!vendor || *vendor != RecoveryVendor) return refuse(EACCES);
    const int flags = ::fcntl(rawio::DiskFd, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) != O_RDWR) return refuse(EBADF);

    uint8_t sense[32] = {};
    sg_io_hdr_t h{};
    h.interface_id = 'S';
    h.cmd_len = cdbLength;
    h.cmdp = cdb;
    h.mx_sb_len = sizeof sense;
    h.sbp = sense;
    h.timeout = rawio::TimeoutMs;
    h.dxfer_direction = direction;
    h.dxfer_len = unsigned(data.size());
    h.dxferp = data.empty() ? nullptr : data.data();
    rawio::RawioRecord rec;
    if (::ioctl(rawio::DiskFd, SG_IO, &h) < 0) return refuse(errno);
    rec.status = h.status;
    rec.senseLength = h.sb_len_wr;
    rec.hostStatus = h.host_status;
    rec.driverStatus = h.driver_status;
    rec.resid = h.resid;
    std::memcpy(rec.sense, sense, sizeof sense);
    return answer(rec, direction == SG_DXFER_FROM_DEV ? data : std::vector<uint8_t>{});
}
