#include "devicenode.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace hubsift {

namespace {

int connectOnce(const char *path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path, std::strlen(path) + 1);
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A socket address holds fewer than 108 bytes of path; a longer node (a deep
// system root) is reached through a path-only descriptor and its /proc name.
int connectUnix(const std::string &node) {
    if (node.size() < sizeof(sockaddr_un{}.sun_path)) return connectOnce(node.c_str());
    int pathFd = ::open(node.c_str(), O_PATH | O_CLOEXEC);
    if (pathFd < 0) return -1;
    char viaProc[64];
    std::snprintf(viaProc, sizeof viaProc, "/proc/self/fd/%d", pathFd);
    int fd = connectOnce(viaProc);
    ::close(pathFd);
    return fd;
}

// 0 means "no handle" to every caller, and 1 and 2 may be closed by a
// service manager: keep device handles above them.
int liftAboveStdio(int fd) {
    if (fd < 0 || fd > 2) return fd;
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    return moved;
}

} // namespace

VyrHandle openDeviceNode(const std::string &node) {
    struct stat st;
    if (::stat(node.c_str(), &st) != 0) return -1;
    int fd = -1;
    if (S_ISCHR(st.st_mode)) {
        do {
            fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
    } else if (S_ISSOCK(st.st_mode)) {
        fd = connectUnix(node);
    }
    fd = liftAboveStdio(fd);
    return fd < 0 ? -1 : fd;
}

} // namespace hubsift
