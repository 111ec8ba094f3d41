// Host side of the virtual device wire protocol: the input is a series of
// calls, each with the reply stream its far end sends back:
//   [call selector] [length, 16-bit little-endian] [that many reply bytes] ...
// Transport and ROM command calls run on a fresh socket pair whose far end
// holds the reply bytes and then closes; the recovery handshake calls go
// through a system root whose volume node is a listening socket served the
// same way. Output buffers are exactly as large as each call is told, so
// any write past them is caught.
#include "fuzzscratch.h"
#include "pipewell.h"
#include "romvane.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t MaxCalls = 16;

struct Reply {
    const uint8_t *data = nullptr;
    size_t size = 0;
};

// Writes what fits of the reply into the socket and closes that direction.
void sendReply(int fd, const Reply &r) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    size_t done = 0;
    while (done < r.size) {
        const ssize_t n = ::send(fd, r.data + done, r.size - done, MSG_NOSIGNAL);
        if (n <= 0) break;
        done += size_t(n);
    }
    ::shutdown(fd, SHUT_WR);
}

// A device at the end of a socket pair; the host's end is the handle.
class PairDevice {
  public:
    explicit PairDevice(const Reply &r) {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_) != 0) std::abort();
        sendReply(fds_[1], r);
    }
    ~PairDevice() {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    VyrHandle handle() const { return VyrHandle(fds_[0]); }

  private:
    int fds_[2];
};

// A system root with one USB disk mounted at <root>/vol whose node is a
// listening socket: the recovery volume as the handshake calls find it.
struct VolumeRoot {
    std::string root, drive;
    int listener = -1;

    VolumeRoot() {
        root = fuzzscratch::dir() + "/root";
        const std::string diskDir =
            "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host0/target0:0:0/0:0:0:0/"
            "block/sda";
        std::string made;
        for (const std::string &d : {std::string("/proc/self"), std::string("/sys/dev/block"),
                                     std::string("/dev"), diskDir}) {
            size_t at = 0;
            const std::string full = root + d;
            while ((at = full.find('/', at + 1)) != std::string::npos)
                ::mkdir(full.substr(0, at).c_str(), 0755);
            ::mkdir(full.c_str(), 0755);
        }
        const std::string mounts = "30 1 8:0 / /vol rw,relatime - vfat /dev/sda rw\n";
        fuzzscratch::writeFile(root + "/proc/self/mountinfo",
                               reinterpret_cast<const uint8_t *>(mounts.data()), mounts.size());
        ::symlink(diskDir.c_str(), (root + "/sys/dev/block/8:0").c_str());
        drive = root + "/vol";

        const std::string node = root + "/dev/sda";
        listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (listener < 0 || node.size() >= sizeof addr.sun_path) std::abort();
        std::memcpy(addr.sun_path, node.c_str(), node.size() + 1);
        if (::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
            ::listen(listener, 4) != 0)
            std::abort();
        ::setenv("PYREWICK_SYSROOT", root.c_str(), 1);
    }

    // Runs call while serving one connection with the reply.
    template <class Call> void serve(const Reply &r, Call call) {
        std::thread far([&] {
            pollfd p{listener, POLLIN, 0};
            if (::poll(&p, 1, 5000) != 1) return; // the call never came
            const int c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) return;
            sendReply(c, r);
            ::fcntl(c, F_SETFL, ::fcntl(c, F_GETFL) & ~O_NONBLOCK);
            char sink[512];
            while (::read(c, sink, sizeof sink) > 0) {
            }
            ::close(c);
        });
        call();
        far.join();
    }
};

VolumeRoot &volumeRoot() {
    static VolumeRoot v;
    return v;
}

uint8_t *bytes(std::vector<uint8_t> &v) {
    return v.empty() ? nullptr : v.data();
}

void checkCount(uint32_t count, size_t cap) {
    if (count > cap) std::abort();
}

// One transport call, picked by selector, on a device answering with r.
void transportCall(uint8_t selector, const Reply &r) {
    PairDevice dev(r);
    VyrUsbDrv drv{};
    drv.hDevice = dev.handle();
    OpenUsbDevice(&drv);
    uint32_t n = 0;
    std::vector<uint8_t> in, out;
    switch (selector % 12) {
    case 0:
        out.resize(4);
        usbDeviceIoControl(&drv, IOCTL_IDENTIFY_HOST, nullptr, 0, bytes(out), 4, &n, nullptr);
        break;
    case 1:
        in.assign(4, 0);
        out.resize(1 + (selector >> 4) * 10); // 1..71 bytes
        usbDeviceIoControl(&drv, IOCTL_READ_MEM, bytes(in), 4, bytes(out), uint32_t(out.size()), &n,
                           nullptr);
        checkCount(n, out.size());
        break;
    case 2:
        in.assign(68, 0x5a);
        usbDeviceIoControl(&drv, IOCTL_WRITE_MEM, bytes(in), 68, nullptr, 0, &n, nullptr);
        break;
    case 3:
        in.assign(4, 0);
        usbDeviceIoControl(&drv, IOCTL_RUN_ADDR, bytes(in), 4, nullptr, 0, &n, nullptr);
        break;
    case 4:
    case 5:
        in.assign(66, 0);
        in[4] = 0x10; // 4096 bytes announced
        usbDeviceIoControl(&drv, selector % 12 == 4 ? IOCTL_WRITE_LARGE_MEM : IOCTL_READ_LARGE_MEM,
                           bytes(in), 66, nullptr, 0, &n, nullptr);
        break;
    case 6:
        in.assign(68, 0);
        std::memcpy(in.data(), "nand info", 9);
        usbDeviceIoControl(&drv, IOCTL_TPL_CMD, bytes(in), 68, nullptr, 0, &n, nullptr);
        break;
    case 7:
        in.assign(4, 0);
        out.resize(64);
        usbDeviceIoControl(&drv, IOCTL_TPL_STATUS, bytes(in), 4, bytes(out), 64, &n, nullptr);
        break;
    case 8:
        out.resize(size_t(selector >> 4) * 700); // 0..4900 bytes
        usbReadFile(&drv, bytes(out), uint32_t(out.size()), &n, nullptr);
        checkCount(n, out.size());
        break;
    case 9:
        in.assign(512, 0xa5);
        usbWriteFile(&drv, bytes(in), 512, &n, nullptr);
        checkCount(n, 512);
        break;
    case 10:
        ResetDev(&drv);
        break;
    case 11: {
        // ROM commands that read: memory in pieces, status text, a large read.
        RomRequest req{};
        req.handle = drv.hDevice;
        req.actual_len = &n;
        switch (selector >> 4 & 3) {
        case 0:
            out.resize(130);
            req.length = 130;
            req.buffer = bytes(out);
            VyrUsbReadMemCtr(&req);
            break;
        case 1:
            out.assign(64, 0);
            req.length = 64;
            req.buffer = bytes(out);
            VyrUsbReadStatus(&req);
            break;
        case 2:
            out.resize(5000);
            req.length = 5000;
            req.buffer = bytes(out);
            VyrUsbReadLargeMem(&req);
            checkCount(n, out.size());
            break;
        default:
            out.resize(4);
            req.length = 4;
            req.buffer = bytes(out);
            VyrUsbIdentifyHost(&req);
            break;
        }
        break;
    }
    }
    CloseUsbDevice(&drv);
}

// One recovery handshake call answered with r.
void handshakeCall(uint8_t selector, const Reply &r) {
    VolumeRoot &v = volumeRoot();
    switch (selector % 3) {
    case 0:
        v.serve(r, [&] { VyrSetFileCopyComplete(v.drive.c_str()); });
        break;
    case 1: {
        const uint32_t cap =
            uint32_t(selector >> 2) * 5; // 0..155: shorter and longer than the text
        std::vector<char> text(cap > 0 ? cap : 1);
        uint32_t count = cap;
        v.serve(r, [&] { VyrGetUpdateComplete(v.drive.c_str(), text.data(), &count); });
        checkCount(count, cap);
        break;
    }
    default: {
        const std::string cmd = "update:update.img";
        v.serve(r, [&] {
            VyrSetFileCopyCompleteEx(v.drive.c_str(), cmd.data(), uint32_t(cmd.size()));
        });
        break;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzscratch::quietLogs();
    size_t at = 0;
    for (size_t calls = 0; calls < MaxCalls && at + 3 <= size; ++calls) {
        const uint8_t selector = data[at];
        size_t len = size_t(data[at + 1]) | size_t(data[at + 2]) << 8;
        at += 3;
        if (len > size - at) len = size - at;
        const Reply r{data + at, len};
        at += len;
        // The top bit of the selector picks the handshake; the rest the call.
        if (selector & 0x80)
            handshakeCall(selector & 0x7f, r);
        else
            transportCall(selector, r);
    }
    return 0;
}
