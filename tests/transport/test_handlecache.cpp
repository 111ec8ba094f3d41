// The transport's handle per descriptor, with handles made from real
// descriptors: each handle keeps a duplicate of the descriptor it was made for,
// so a test can tell which file a handle talks to.
#include "handlecache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int Gone = -4;

struct FileHandle {
    explicit FileHandle(int from) : fd(::fcntl(from, F_DUPFD_CLOEXEC, 3)) { ++live; }
    ~FileHandle() {
        ::close(fd);
        --live;
    }
    ino_t inode() const {
        struct stat st;
        return ::fstat(fd, &st) == 0 ? st.st_ino : 0;
    }
    int fd;
    static std::atomic<int> live;
};
std::atomic<int> FileHandle::live{0};

std::atomic<int> made{0};
std::atomic<bool> refuse{false};

int makeFileHandle(int fd, std::shared_ptr<FileHandle> &out) {
    if (refuse) return -1;
    ++made;
    out = std::make_shared<FileHandle>(fd);
    return 0;
}

using Cache = pipewell::HandleCache<FileHandle>;

ino_t inodeOf(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 ? st.st_ino : 0;
}

class HandleCacheTest : public ::testing::Test {
  protected:
    void SetUp() override {
        made = 0;
        refuse = false;
        char tmpl[] = "/tmp/handlecacheXXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        EXPECT_EQ(FileHandle::live, 0) << "a handle outlived its cache and its users";
        for (int k = 0; k < files_; ++k)
            ::unlink(path(k).c_str());
        ::rmdir(dir_.c_str());
    }
    std::string path(int k) const { return dir_ + "/f" + std::to_string(k); }
    int openFile() {
        int fd = ::open(path(files_++).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        EXPECT_GE(fd, 3);
        return fd;
    }

    std::string dir_;
    int files_ = 0;
};

TEST_F(HandleCacheTest, OneHandlePerDescriptorUntilItsOwnerReleasesIt) {
    {
        Cache cache(makeFileHandle, Gone);
        int a = openFile(), b = openFile();
        std::shared_ptr<FileHandle> first, h;
        ASSERT_EQ(cache.get(a, first), 0);
        for (int i = 0; i < 50; ++i) {
            ASSERT_EQ(cache.get(a, h), 0);
            EXPECT_EQ(h, first);
        }
        ASSERT_EQ(cache.get(b, h), 0);
        EXPECT_NE(h, first);
        EXPECT_EQ(made, 2);

        // Released: the next call makes a new handle; the old one lives on only
        // as long as a call still holds it.
        h.reset();
        cache.forget(a);
        EXPECT_EQ(FileHandle::live, 2);
        first.reset();
        EXPECT_EQ(FileHandle::live, 1);
        ASSERT_EQ(cache.get(a, h), 0);
        EXPECT_EQ(made, 3);
        EXPECT_EQ(h->inode(), inodeOf(a));
        h.reset();
        ::close(a);
        ::close(b);
    }
    // The cache let go of every handle it kept (checked in TearDown).
}

TEST_F(HandleCacheTest, ReusedDescriptorNumberNeverReachesTheOldFile) {
    Cache cache(makeFileHandle, Gone);
    int fd = openFile();
    std::shared_ptr<FileHandle> h;
    ASSERT_EQ(cache.get(fd, h), 0);
    const ino_t oldFile = h->inode();
    h.reset();

    // The owner closes the descriptor without releasing it, and the number
    // comes back for another file.
    int other = openFile();
    ::close(fd);
    ASSERT_EQ(::dup2(other, fd), fd);
    ::close(other);
    ASSERT_EQ(cache.get(fd, h), 0);
    EXPECT_NE(h->inode(), oldFile);
    EXPECT_EQ(h->inode(), inodeOf(fd));
    EXPECT_EQ(FileHandle::live, 1) << "the old file's handle was kept";
    h.reset();
    cache.forget(fd);
    ::close(fd);

    // A closed descriptor has no handle at all.
    EXPECT_EQ(cache.get(fd, h), Gone);
    EXPECT_EQ(h, nullptr);
}

TEST_F(HandleCacheTest, DeviceGoneForgetsOnlyTheHandleThatFoundIt) {
    Cache cache(makeFileHandle, Gone);
    int fd = openFile();
    std::shared_ptr<FileHandle> stale, fresh, h;
    ASSERT_EQ(cache.get(fd, stale), 0);
    cache.forget(fd, stale);
    ASSERT_EQ(cache.get(fd, fresh), 0);
    EXPECT_NE(fresh, stale);
    // A late "no device" from a call on the old handle leaves the new one.
    cache.forget(fd, stale);
    ASSERT_EQ(cache.get(fd, h), 0);
    EXPECT_EQ(h, fresh);
    EXPECT_EQ(made, 2);

    // A handle that cannot be made is not remembered: the next call tries again.
    cache.forget(fd);
    refuse = true;
    h.reset();
    EXPECT_EQ(cache.get(fd, h), -1);
    EXPECT_EQ(h, nullptr);
    refuse = false;
    ASSERT_EQ(cache.get(fd, h), 0);
    EXPECT_EQ(made, 3);
    stale.reset();
    fresh.reset();
    h.reset();
    cache.forget(fd);
    ::close(fd);
}

// Eight burn threads, each on its own descriptor, while each also releases its
// handle now and then and once sees its number come back for another file:
// every call gets a handle for the file its descriptor refers to at that
// moment.
TEST_F(HandleCacheTest, ConcurrentCallsOnEightDescriptors) {
    Cache cache(makeFileHandle, Gone);
    std::vector<int> fds, spares;
    for (int k = 0; k < 8; ++k) {
        fds.push_back(openFile());
        spares.push_back(openFile());
    }
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int k = 0; k < 8; ++k) {
        threads.emplace_back([&, k] {
            for (int i = 0; i < 2000; ++i) {
                if (i == 1000) ::dup2(spares[k], fds[k]);
                std::shared_ptr<FileHandle> h;
                if (cache.get(fds[k], h) != 0 || h->inode() != inodeOf(fds[k])) ++wrong;
                if (i % 97 == 0) cache.forget(fds[k]);
                if (i % 89 == 0) cache.forget(fds[k], h);
            }
        });
    }
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(wrong, 0);
    for (int k = 0; k < 8; ++k) {
        cache.forget(fds[k]);
        ::close(fds[k]);
        ::close(spares[k]);
    }
}

} // namespace
