#include "portwatch.h"

#include <cerrno>
#include <cstring>
#include <sys/inotify.h>
#include <unistd.h>

namespace vyrsim {

PortWatch::PortWatch() {
    mFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
}

PortWatch::~PortWatch() {
    if (mFd >= 0) ::close(mFd);
}

bool PortWatch::watch(const std::string &portName, const std::string &portDir) {
    if (mFd < 0) return false;
    int wd = inotify_add_watch(mFd, portDir.c_str(), IN_CLOSE_WRITE);
    if (wd < 0) return false;
    mPorts[wd] = portName;
    return true;
}

std::map<std::string, int> PortWatch::takeWrites() {
    std::map<std::string, int> writes;
    if (mFd < 0) return writes;
    alignas(struct inotify_event) char buf[8192];
    for (;;) {
        ssize_t n = ::read(mFd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t off = 0; off < n;) {
            auto *ev = reinterpret_cast<const struct inotify_event *>(buf + off);
            off += sizeof(struct inotify_event) + ev->len;
            if (!(ev->mask & IN_CLOSE_WRITE) || ev->len == 0) continue;
            if (std::strcmp(ev->name, "disable") != 0) continue;
            auto it = mPorts.find(ev->wd);
            if (it != mPorts.end()) ++writes[it->second];
        }
    }
    return writes;
}

} // namespace vyrsim
