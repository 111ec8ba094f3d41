// The virtual devices' socket server: who may connect when, what leaving the
// bus removes, and that every connection thread ends.
#include "socketserver.h"

#include <gtest/gtest.h>

#include <memory>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using vyrsim::SocketServer;

// An echo server: every byte comes back.
void echo(int fd) {
    char c;
    while (::read(fd, &c, 1) == 1)
        if (::send(fd, &c, 1, MSG_NOSIGNAL) != 1) break;
}

int dial(const std::string &path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
    if (::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool echoes(int fd) {
    char c = 'x';
    return ::send(fd, &c, 1, MSG_NOSIGNAL) == 1 && ::read(fd, &c, 1) == 1 && c == 'x';
}

struct Scratch {
    Scratch() {
        char tmpl[] = "/tmp/sockserv-XXXXXX";
        dir = ::mkdtemp(tmpl);
    }
    ~Scratch() { std::filesystem::remove_all(dir); }
    std::string dir;
};

} // namespace

TEST(SocketServer, ConnectionsServedUntilTheDeviceLeaves) {
    Scratch s;
    const std::string path = s.dir + "/dev";
    SocketServer server(echo);
    EXPECT_FALSE(server.onBus());
    ASSERT_TRUE(server.listen(path));
    EXPECT_FALSE(server.listen(path)); // already listening
    EXPECT_TRUE(server.onBus());
    const int accepted = dial(path);
    const int paired = server.connect();
    ASSERT_GE(accepted, 0);
    ASSERT_GE(paired, 0);
    EXPECT_TRUE(echoes(accepted));
    EXPECT_TRUE(echoes(paired));

    server.leave();
    EXPECT_FALSE(server.onBus());
    EXPECT_TRUE(server.hasLeft());
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_FALSE(echoes(accepted)); // shut down from the device's side
    EXPECT_FALSE(echoes(paired));
    EXPECT_EQ(server.connect(), -1);
    ::close(accepted);
    ::close(paired);

    server.rejoin();
    const int again = server.connect();
    ASSERT_GE(again, 0);
    EXPECT_TRUE(echoes(again));
    ::close(again);
}

TEST(SocketServer, LeavingRemovesOnlyItsOwnSocketFile) {
    Scratch s;
    const std::string path = s.dir + "/dev", moved = s.dir + "/moved";
    SocketServer first(echo), second(echo);
    ASSERT_TRUE(first.listen(path));
    // The line renamed the node away and another device now listens there.
    std::filesystem::rename(path, moved);
    ASSERT_TRUE(second.listen(path));
    first.leave();
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_TRUE(std::filesystem::exists(moved));
    const int fd = dial(path);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(echoes(fd));
    ::close(fd);
    second.leave();
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(SocketServer, StopEndsEveryThreadAndRefusesMore) {
    Scratch s;
    std::atomic<int> served{0};
    auto server = std::make_unique<SocketServer>([&](int fd) {
        echo(fd);
        ++served;
    });
    ASSERT_TRUE(server->listen(s.dir + "/dev"));
    int fds[3] = {server->connect(), server->connect(), dial(s.dir + "/dev")};
    for (int fd : fds)
        ASSERT_TRUE(echoes(fd));
    std::atomic<bool> helperEnded{false};
    server->spawn([&] {
        EXPECT_TRUE(server->waitForStop(60000));
        helperEnded = true;
    });
    server->stop(); // the connections are still open on the host side
    EXPECT_EQ(served.load(), 3);
    EXPECT_TRUE(helperEnded.load());
    EXPECT_EQ(server->connect(), -1);
    EXPECT_FALSE(server->listen(s.dir + "/dev2"));
    for (int fd : fds)
        ::close(fd);
    server.reset();
}
