#include "rawiohelper.h"

#include "scsivolume.h"
#include "vyrwire.h"

#include <cerrno>
#include <algorithm>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#ifndef PYREWICK_LIBEXEC_DIR
#define PYREWICK_LIBEXEC_DIR "/usr/libexec/pyrewick"
#endif

namespace romvane {

namespace {

constexpr const char *HelperName = "pyrewick-rawio";
// The helper's own command time-out plus room to start it.
constexpr int HelperWaitMs = int(rawio::TimeoutMs) + 3000;

const char *commandName(const ScsiCommand &cmd) {
    switch (cmd.cdb[0]) {
    case 0xC0:
        return "c0";
    case 0xC1:
        return "c1";
    case 0xC3:
        return "c3";
    default:
        return nullptr;
    }
}

bool executable(const std::string &path) {
    return ::access(path.c_str(), X_OK) == 0;
}

// Reads until EOF, len bytes or the deadline; the bytes read.
size_t readUntil(int fd, uint8_t *buf, size_t len, int waitMs) {
    size_t got = 0;
    while (got < len) {
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, waitMs);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        ssize_t n = ::read(fd, buf + got, len - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += size_t(n);
    }
    return got;
}

} // namespace

std::string rawioHelperPath() {
    char self[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string dir(self, size_t(n));
        dir = dir.substr(0, dir.rfind('/') + 1);
        if (executable(dir + HelperName)) return dir + HelperName;
    }
    for (const char *dir : {PYREWICK_LIBEXEC_DIR, "/usr/local/libexec/pyrewick"}) {
        std::string installed = std::string(dir) + "/" + HelperName;
        if (executable(installed)) return installed;
    }
    return std::string();
}

int rawioExchange(int fd, const ScsiCommand &cmd, rawio::RawioRecord &rec) {
    const char *name = commandName(cmd);
    const std::string helper = rawioHelperPath();
    if (!name || helper.empty()) return -EPERM;
    if (cmd.direction == vyrwire::ScsiToDevice && cmd.length > rawio::MaxCommandData) return -EPERM;

    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return -errno;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        int e = errno;
        ::close(in[0]);
        ::close(in[1]);
        return -e;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, fd, rawio::DiskFd);
    // The helper gets no environment: it needs none.
    char *argv[] = {const_cast<char *>(helper.c_str()), const_cast<char *>(name), nullptr};
    char *envp[] = {nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, helper.c_str(), &fa, nullptr, argv, envp);
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out[1]);
    if (rc != 0) {
        ::close(in[1]);
        ::close(out[0]);
        return -EPERM;
    }
    if (cmd.direction == vyrwire::ScsiToDevice && cmd.length > 0) {
        // At most a pipe's worth: the helper reads it all before it answers.
        const char *p = static_cast<const char *>(cmd.data);
        size_t left = cmd.length;
        while (left > 0) {
            ssize_t n = ::write(in[1], p, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            p += n;
            left -= size_t(n);
        }
    }
    ::close(in[1]);

    std::vector<uint8_t> reply(sizeof rec + rawio::ResultTextSize);
    size_t got = readUntil(out[0], reply.data(), reply.size(), HelperWaitMs);
    ::close(out[0]);
    if (got < reply.size()) ::kill(pid, SIGKILL); // silent or short: do not wait for ever
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (got < sizeof rec) return -EIO;
    std::memcpy(&rec, reply.data(), sizeof rec);
    if (rec.error != 0) return rec.error;
    if (cmd.direction == vyrwire::ScsiFromDevice && cmd.data)
        std::memcpy(cmd.data, reply.data() + sizeof rec,
                    std::min<size_t>(
                        {got - sizeof rec, size_t(cmd.length), size_t(rawio::ResultTextSize)}));
    return 0;
}

} // namespace romvane
