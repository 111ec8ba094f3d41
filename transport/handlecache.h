// Handles kept per descriptor between calls. A handle is made on the first
// call for a descriptor and reused by every later call on it while the
// descriptor still refers to the file the handle was made for (same file
// system, inode and device number). It is forgotten when its owner releases
// the descriptor, when a call finds the device gone, or when the descriptor
// number turns up again for another file, so a reused number never reaches
// the old device. A forgotten handle is destroyed when the last call still
// using it returns, never under a running transfer. The lock guards the table
// only: making and destroying handles and every transfer run without it.
#ifndef PIPEWELL_HANDLECACHE_H
#define PIPEWELL_HANDLECACHE_H

#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unordered_map>

namespace pipewell {

template <class Handle> class HandleCache {
  public:
    using Ptr = std::shared_ptr<Handle>;
    // Makes the handle for a descriptor: 0 and the handle, or a negative error.
    using Make = int (*)(int fd, Ptr &out);

    // goneError is returned when the descriptor itself cannot be looked at.
    HandleCache(Make make, int goneError) : make_(make), goneError_(goneError) {}

    // The handle for fd, made when there is none for the file fd refers to.
    int get(int fd, Ptr &out) {
        struct stat st;
        if (::fstat(fd, &st) != 0) return goneError_;
        const Identity id{st.st_dev, st.st_ino, st.st_rdev};
        Ptr stale; // destroyed after the lock is released
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = table_.find(fd);
            if (it != table_.end()) {
                if (it->second.id == id) {
                    out = it->second.handle;
                    return 0;
                }
                stale = std::move(it->second.handle);
                table_.erase(it);
            }
        }
        stale.reset();
        Ptr made;
        if (int r = make_(fd, made); r < 0) return r;
        Ptr loser; // a handle made at the same time by another call, destroyed unlocked
        std::lock_guard<std::mutex> lock(mutex_);
        auto [it, inserted] = table_.try_emplace(fd, Entry{id, made});
        if (!inserted) {
            if (it->second.id == id) {
                loser = std::move(made);
                out = it->second.handle;
                return 0;
            }
            loser = std::move(it->second.handle);
            it->second = Entry{id, made};
        }
        out = std::move(made);
        return 0;
    }

    // The owner releases fd: whatever handle it had is forgotten.
    void forget(int fd) {
        Ptr gone;
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = table_.find(fd);
        if (it == table_.end()) return;
        gone = std::move(it->second.handle);
        table_.erase(it);
    }

    // A call through handle found its device gone: forget it, unless fd has
    // meanwhile been given a newer handle.
    void forget(int fd, const Ptr &handle) {
        Ptr gone;
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = table_.find(fd);
        if (it == table_.end() || it->second.handle != handle) return;
        gone = std::move(it->second.handle);
        table_.erase(it);
    }

  private:
    struct Identity {
        dev_t fileSystem;
        ino_t inode;
        dev_t device;
        bool operator==(const Identity &o) const {
            return fileSystem == o.fileSystem && inode == o.inode && device == o.device;
        }
    };
    struct Entry {
        Identity id;
        Ptr handle;
    };

    const Make make_;
    const int goneError_;
    std::mutex mutex_;
    std::unordered_map<int, Entry> table_;
};

} // namespace pipewell

#endif
