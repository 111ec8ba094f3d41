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
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

// Writes `text` to the file `path`, making its directories.
bool put(const std::string &path, const std::string &text) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        ::mkdir(path.substr(0, slash).c_str(), 0755);
    FILE *f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    std::fputs(text.c_str(), f);
    return std::fclose(f) == 0;
}

// A block device of this machine that opens (an unattached loop device does):
// its node in `dir` and its number.
std::string someBlockDevice(const std::string &dir, unsigned *major, unsigned *minor) {
    for (const char *number : {"7:0", "7:1", "1:0", "253:0", "254:0", "8:0"}) {
        unsigned ma = 0, mi = 0;
        if (std::sscanf(number, "%u:%u", &ma, &mi) != 2) continue;
        if (::access((std::string("/sys/dev/block/") + number).c_str(), F_OK) != 0) continue;
        const std::string node = dir + "/disk-" + std::to_string(ma) + "-" + std::to_string(mi);
        if (::mknod(node.c_str(), S_IFBLK | 0600, makedev(ma, mi)) != 0) continue;
        const int fd = ::open(node.c_str(), O_RDONLY | O_NONBLOCK);
        if (fd < 0) continue;
        ::close(fd);
        *major = ma;
        *minor = mi;
        return node;
    }
    return {};
}

} // namespace

// With the capability, the kernel lets vendor commands through any descriptor
// of the disk: the helper itself must refuse one not open for writing. A model
// sysfs tree in a private mount namespace makes a block device of this machine
// a whole disk of a 1B8E device; the read-only descriptor is refused before any
// pass-through, the read-write one gets through to the pass-through (which the
// device, no SCSI disk, then fails).
TEST(Rawio, RefusesADescriptorNotOpenForWriting) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace (scripts/test is root)";
    char dir[] = "/tmp/rawio-nodeXXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    unsigned ma = 0, mi = 0;
    const std::string node = someBlockDevice(dir, &ma, &mi);
    ASSERT_FALSE(node.empty()) << "no block device to stand in for a recovery disk";
    int results[2];
    ASSERT_EQ(::pipe(results), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int out[2] = {1, 1}; // 1: the model tree could not be made
        if (::unshare(CLONE_NEWNS) == 0 &&
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
            ::mount("model", "/sys", "tmpfs", 0, nullptr) == 0) {
            const std::string usb = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
            const std::string disk = usb + "/1-1:1.0/host0/target0:0:0/0:0:0:0/block/sdz";
            const std::string link =
                "/sys/dev/block/" + std::to_string(ma) + ":" + std::to_string(mi);
            if (put(usb + "/idVendor", "1b8e\n") && put(disk + "/size", "0\n") && put(link, "") &&
                ::unlink(link.c_str()) == 0 &&
                ::symlink(("../../devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host0/"
                           "target0:0:0/0:0:0:0/block/sdz"),
                          link.c_str()) == 0) {
                const int ro = ::open(node.c_str(), O_RDONLY | O_NONBLOCK);
                const int rw = ::open(node.c_str(), O_RDWR | O_NONBLOCK);
                out[0] = refusal(runHelper("c0", ro, ""));
                out[1] = rw >= 0 ? refusal(runHelper("c0", rw, "")) : 2;
            }
        }
        (void)!::write(results[1], out, sizeof out);
        ::_exit(0);
    }
    ::close(results[1]);
    int out[2] = {0, 0};
    EXPECT_EQ(::read(results[0], out, sizeof out), ssize_t(sizeof out));
    ::close(results[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::unlink(node.c_str());
    ::rmdir(dir);
    EXPECT_EQ(out[0], -EBADF) << "read-only descriptor";
    // The read-write one passed every check and reached the pass-through.
    EXPECT_NE(out[1], 1) << "the model tree could not be made";
    EXPECT_NE(out[1], 2) << "the device did not open read-write";
    for (int refused : {-EBADF, -EACCES, -ENODEV})
        EXPECT_NE(out[1], refused) << "read-write descriptor refused: " << std::strerror(-out[1]);
}
