// Which descriptors have had their transfers cancelled, and the transfers in
// flight on each. A port's owner cancels its descriptor when it stops talking
// to the device (Stop, closing the program): the transfers in flight on it end
// at once, and every later call on it fails without touching the device until
// the owner resumes it. A mark holds only while the descriptor refers to the
// file it was set for (file system, inode, device number), so a descriptor
// number reused for another file starts unmarked. Thread-safe.
#ifndef PIPEWELL_CANCELREGISTRY_H
#define PIPEWELL_CANCELREGISTRY_H

#include <mutex>
#include <sys/stat.h>
#include <unordered_map>
#include <vector>

namespace pipewell {

// Something in flight on a descriptor that can be told to end at once.
class Cancellable {
  public:
    virtual void cancel() = 0;

  protected:
    ~Cancellable() = default;
};

class CancelRegistry {
  public:
    // The one registry of the process. Never destroyed: calls may still be
    // running while the process exits.
    static CancelRegistry &instance();

    // Marks fd and cancels whatever is in flight on it.
    void cancel(int fd);
    // Lifts the mark of fd.
    void resume(int fd);
    // fd carries a mark for the file it refers to now.
    bool isCancelled(int fd);

    // A call puts its transfers in flight on fd: false, and nothing
    // registered, when fd is marked. Every enter that answered true needs its
    // leave before the transfers are freed: cancel() runs under the lock that
    // leave takes.
    bool enter(int fd, Cancellable *c);
    void leave(int fd, Cancellable *c);

  private:
    struct Identity {
        dev_t fileSystem = 0;
        ino_t inode = 0;
        dev_t device = 0;
        bool operator==(const Identity &o) const {
            return fileSystem == o.fileSystem && inode == o.inode && device == o.device;
        }
    };
    struct Entry {
        bool marked = false;
        Identity marks; // the file the mark was set for
        std::vector<Cancellable *> inFlight;
    };
    static bool identify(int fd, Identity &id);
    // Marked for the file fd refers to now (lock held); a stale mark is lifted.
    bool markedLocked(int fd, Entry &e);

    std::mutex mutex_;
    std::unordered_map<int, Entry> table_;
};

} // namespace pipewell

#endif
