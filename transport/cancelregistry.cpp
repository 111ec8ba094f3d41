#include "cancelregistry.h"

#include <algorithm>

namespace pipewell {

CancelRegistry &CancelRegistry::instance() {
    static auto *r = new CancelRegistry;
    return *r;
}

bool CancelRegistry::identify(int fd, Identity &id) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    id = Identity{st.st_dev, st.st_ino, st.st_rdev};
    return true;
}

bool CancelRegistry::markedLocked(int fd, Entry &e) {
    if (!e.marked) return false;
    Identity now;
    if (identify(fd, now) && now == e.marks) return true;
    e.marked = false;
    return false;
}

void CancelRegistry::cancel(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry &e = table_[fd];
    // A descriptor that cannot be looked at any more has nothing to protect:
    // its calls fail as "no device" anyway.
    e.marked = identify(fd, e.marks);
    for (Cancellable *c : e.inFlight)
        c->cancel();
}

void CancelRegistry::resume(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = table_.find(fd);
    if (it == table_.end()) return;
    it->second.marked = false;
    if (it->second.inFlight.empty()) table_.erase(it);
}

bool CancelRegistry::isCancelled(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = table_.find(fd);
    return it != table_.end() && markedLocked(fd, it->second);
}

bool CancelRegistry::enter(int fd, Cancellable *c) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry &e = table_[fd];
    if (markedLocked(fd, e)) return false;
    e.inFlight.push_back(c);
    return true;
}

void CancelRegistry::leave(int fd, Cancellable *c) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = table_.find(fd);
    if (it == table_.end()) return;
    auto &v = it->second.inFlight;
    v.erase(std::remove(v.begin(), v.end(), c), v.end());
    if (v.empty() && !it->second.marked) table_.erase(it);
}

} // namespace pipewell
