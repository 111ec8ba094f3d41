// pyrewick-rawio holds cap_sys_rawio on a station: everything that is not one
// of its three commands on a disk of a 1B8E device must be refused before any
// pass-through is tried.
#include "rawiorecord.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Outcome {
    int exitCode = -1;
    std::string out;
};

// Runs the helper with disk as descriptor 3 (-1: none) and input on stdin.
Outcome runHelper(const std::string &arg, int disk, const std::string &input) {
    int in[2], out[2];
    EXPECT_EQ(pipe2(in, O_CLOEXEC), 0); // the child must not hold its own stdin open
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    if (disk >= 0) posix_spawn_file_actions_adddup2(&fa, disk, rawio::DiskFd);
    char *argv[] = {const_cast<char *>(RAWIO_BIN), const_cast<char *>(arg.c_str()), nullptr};
    char *envp[] = {nullptr};
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, RAWIO_BIN, &fa, nullptr, argv, envp), 0);
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    if (!input.empty()) {
        EXPECT_EQ(write(in[1], input.data(), input.size()), ssize_t(input.size()));
    }
    close(in[1]);
    Outcome o;
    char buf[4096];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0)
        o.out.append(buf, size_t(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    o.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return o;
}

int refusal(const Outcome &o) {
    if (o.out.size() != sizeof(rawio::RawioRecord)) return 1; // not a bare refusal record
    rawio::RawioRecord rec;
    std::memcpy(&rec, o.out.data(), sizeof rec);
    return rec.error;
}

TEST(Rawio, RefusesEverythingButItsCommandsOnAUsbDisk) {
    char name[] = "/tmp/rawioXXXXXX";
    int file = mkstemp(name);
    ASSERT_GE(file, 0);
    unlink(name);

    EXPECT_EQ(runHelper("c2", file, "").exitCode, 2); // no such command
    EXPECT_EQ(runHelper("", file, "").exitCode, 2);
    EXPECT_EQ(refusal(runHelper("c0", file, "")), -ENODEV); // a file is no disk
    EXPECT_EQ(refusal(runHelper("c1", file, "")), -ENODEV);
    EXPECT_EQ(refusal(runHelper("c3", file, "update:update.zip")), -ENODEV);
    EXPECT_EQ(refusal(runHelper("c3", file, "")), -EINVAL); // a command needs its text
    EXPECT_EQ(refusal(runHelper("c3", file, std::string(rawio::MaxCommandData + 1, 'x'))), -EINVAL);
    close(file);

    // A block device that is not on a 1B8E device (any loop or RAM disk the
    // machine has) is refused too, when one can be opened here.
    for (const char *dev : {"/dev/loop0", "/dev/ram0"}) {
        int fd = open(dev, O_RDONLY | O_NONBLOCK);
        if (fd < 0) continue;
        EXPECT_EQ(refusal(runHelper("c0", fd, "")), -EACCES) << dev;
        close(fd);
    }
}

} // namespace
