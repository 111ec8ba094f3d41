// Device side of the virtual device wire protocol: the input, after its first
// byte, is sent as a request stream to a virtual ROM-mode device and to a
// recovery volume. The first byte picks the device's boot stage and whether it
// leaves the bus on run. Replies are read until the device closes the
// connection; a device that goes quiet with the stream's end in hand is a hang.
#include "fuzzscratch.h"
#include "recoveryvolume.h"
#include "romdevice.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// How long a device may stay silent after the host finished sending before
// it counts as hung. Generous: sanitizer builds on a busy machine are slow.
constexpr int QuietLimitMs = 10000;

// Sends the whole stream, half-closes, and reads everything the device says
// until it closes. Both directions run together so neither side blocks the
// other on a full socket buffer.
void exchange(int fd, const uint8_t *data, size_t size, const char *who) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    size_t sent = 0;
    bool halfClosed = false;
    uint8_t sink[16384];
    for (;;) {
        if (!halfClosed && sent == size) {
            ::shutdown(fd, SHUT_WR);
            halfClosed = true;
        }
        pollfd p{fd, short(POLLIN | (halfClosed ? 0 : POLLOUT)), 0};
        const int ready = ::poll(&p, 1, QuietLimitMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            std::fprintf(stderr, "%s: no reply and no close for %d ms\n", who, QuietLimitMs);
            std::abort();
        }
        if (p.revents & POLLIN) {
            const ssize_t n = ::read(fd, sink, sizeof sink);
            if (n == 0) return; // the device closed: done
            if (n < 0 && errno != EAGAIN && errno != EINTR) return;
        } else if (p.revents & (POLLHUP | POLLERR)) {
            return;
        }
        if (!halfClosed && (p.revents & POLLOUT)) {
            const ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL);
            if (n > 0)
                sent += size_t(n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                halfClosed = true; // the device stopped reading; collect what it said
        }
    }
}

const std::string &volumeDir() {
    static const std::string dir = [] {
        const std::string d = fuzzscratch::dir() + "/volume";
        ::mkdir(d.c_str(), 0755);
        const uint8_t image[] = {0x55, 0xaa};
        fuzzscratch::writeFile(d + "/update.img", image, sizeof image);
        return d;
    }();
    return dir;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzscratch::quietLogs();
    if (size == 0) return 0;
    const uint8_t setup = data[0];
    ++data;
    --size;

    {
        vyrsim::RomDeviceConfig cfg;
        static const int stages[] = {vyrsim::StageRom, vyrsim::StageFirstLoader,
                                     vyrsim::StageBootLoader};
        cfg.stage = stages[setup % 3];
        cfg.leaveOnRun = setup & 0x80;
        vyrsim::RomDevice device(cfg);
        device.setRecordBulkData(false);
        const int fd = device.connect();
        if (fd < 0) std::abort();
        exchange(fd, data, size, "ROM-mode device");
        ::close(fd);
    }
    {
        vyrsim::RecoveryConfig cfg;
        cfg.bootMs = (setup & 0x40) ? 0 : 1000; // ready at once, or still booting
        cfg.updateMs = 0;
        cfg.commandMs = 0;
        vyrsim::RecoveryVolume volume(volumeDir(), cfg);
        const int fd = volume.connect();
        if (fd < 0) std::abort();
        exchange(fd, data, size, "recovery volume");
        ::close(fd);
    }
    return 0;
}
