// Helpers for the virtual line tests: a scratch root, and the host side of
// the few device requests the tests need, spoken over the wire protocol.
#ifndef LINETESTUTIL_H
#define LINETESTUTIL_H

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "vyrrequests.h"
#include "vyrwire.h"

namespace linetest {

// A fresh directory under /tmp (short: socket paths must fit sun_path).
struct ScratchRoot {
    std::string path;
    ScratchRoot() {
        char tmpl[] = "/tmp/vl.XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~ScratchRoot() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string operator/(const std::string &rel) const { return path + "/" + rel; }
};

inline bool isSocketFile(const std::string &p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

inline int connectTo(const std::string &p) {
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (p.size() >= sizeof sa.sun_path) return -1;
    std::memcpy(sa.sun_path, p.c_str(), p.size());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Identify (vendor IN request, 4 bytes): the boot stage, or the negative
// wire result.
inline int identify(int fd) {
    vyrwire::Request r;
    r.op = vyrwire::OpControl;
    r.b1 = vyrreq::TypeIn;
    r.b2 = vyrreq::ReqIdentify;
    r.length = 4;
    r.timeoutMs = 2000;
    uint8_t reply[4] = {};
    uint32_t got = 0;
    int32_t rc = vyrwire::call(fd, r, nullptr, 0, reply, sizeof reply, &got);
    if (rc < 0) return rc;
    return rc == 4 && got == 4 ? reply[3] : -100;
}

inline int identifyAt(const std::string &node) {
    int fd = connectTo(node);
    if (fd < 0) return -200;
    int stage = identify(fd);
    ::close(fd);
    return stage;
}

// Run code at addr (vendor OUT request with the address as data).
inline int32_t runAt(int fd, uint32_t addr) {
    vyrwire::Request r;
    r.op = vyrwire::OpControl;
    r.b1 = vyrreq::TypeOut;
    r.b2 = vyrreq::ReqRun;
    r.wValue = uint16_t(addr >> 16);
    r.wIndex = uint16_t(addr & 0xffff);
    r.length = 4;
    r.timeoutMs = 2000;
    uint8_t data[4] = {uint8_t(addr), uint8_t(addr >> 8), uint8_t(addr >> 16), uint8_t(addr >> 24)};
    uint32_t got = 0;
    return vyrwire::call(fd, r, data, sizeof data, nullptr, 0, &got);
}

// A loader text command (vendor OUT request, 64 bytes, wIndex 1).
inline int32_t textCommand(int fd, const std::string &text) {
    vyrwire::Request r;
    r.op = vyrwire::OpControl;
    r.b1 = vyrreq::TypeOut;
    r.b2 = vyrreq::ReqTplCmd;
    r.wIndex = 1;
    r.length = 64;
    r.timeoutMs = 2000;
    uint8_t data[64] = {};
    std::memcpy(data, text.data(), std::min<size_t>(text.size(), 63));
    uint32_t got = 0;
    return vyrwire::call(fd, r, data, sizeof data, nullptr, 0, &got);
}

// The recovery's command request (SCSI 0xC3 with the text as data).
inline int32_t recoveryCommand(int fd, const std::string &text) {
    vyrwire::Request r;
    r.op = vyrwire::OpScsi;
    r.b1 = 10;
    r.b2 = vyrwire::ScsiToDevice;
    r.length = uint32_t(text.size());
    r.timeoutMs = 2000;
    std::vector<uint8_t> payload(vyrwire::ScsiCdbSize, 0);
    payload[0] = 0xC3;
    payload[4] = uint8_t(text.size());
    payload.insert(payload.end(), text.begin(), text.end());
    uint8_t reply[64];
    uint32_t got = 0;
    return vyrwire::call(fd, r, payload.data(), payload.size(), reply, sizeof reply, &got);
}

inline bool eventually(const std::function<bool()> &cond, int timeoutMs = 3000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cond();
}

// Writes a sysfs-style file the way a shell or the scan does: open, write, close.
inline void writeText(const std::string &file, const std::string &text) {
    FILE *f = std::fopen(file.c_str(), "w");
    if (!f) return;
    std::fputs(text.c_str(), f);
    std::fclose(f);
}

} // namespace linetest

#endif
