#include "socketserver.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <list>
#include <mutex>
#include <set>
#include <thread>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace vyrsim {

struct SocketServer::Impl {
    Serve serve;

    mutable std::mutex lock;
    std::condition_variable stopCv;
    std::set<int> listeners;   // each closed by its accept thread
    std::set<int> connections; // each closed by its serving thread
    std::string socketPath;    // where the listener was bound, and what it was
    dev_t socketDev = 0;
    ino_t socketIno = 0;
    uint64_t generation = 0; // bumped when the device leaves the bus
    bool left = false;
    bool stopping = false;
    struct Worker {
        std::thread thread;
        std::atomic<bool> done{false};
    };
    std::list<Worker> workers;

    // Starts fn on a new worker thread (lock held).
    void spawnLocked(std::function<void()> fn) {
        workers.emplace_back();
        Worker &w = workers.back();
        w.thread = std::thread([&w, fn = std::move(fn)] {
            fn();
            w.done = true;
        });
    }

    // Joins the threads that have finished (lock not held).
    void reap() {
        std::list<Worker> finished;
        {
            std::lock_guard<std::mutex> g(lock);
            for (auto it = workers.begin(); it != workers.end();) {
                auto next = std::next(it);
                if (it->done) finished.splice(finished.end(), workers, it);
                it = next;
            }
        }
        for (auto &w : finished)
            w.thread.join();
    }

    // Serves fd on its own thread (lock held).
    void serveLocked(int fd) {
        connections.insert(fd);
        spawnLocked([this, fd] {
            serve(fd);
            std::lock_guard<std::mutex> g(lock);
            connections.erase(fd);
            ::close(fd);
        });
    }

    void acceptLoop(int fd, uint64_t gen) {
        for (;;) {
            int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                break; // shut down by leave(), or broken
            }
            reap(); // connections come and go all day on a virtual line
            std::lock_guard<std::mutex> g(lock);
            if (stopping || left || gen != generation) {
                ::close(c);
                break;
            }
            serveLocked(c);
        }
        std::lock_guard<std::mutex> g(lock);
        listeners.erase(fd);
        ::close(fd);
    }
};

SocketServer::SocketServer(Serve serve) : d(new Impl) {
    d->serve = std::move(serve);
}

SocketServer::~SocketServer() {
    stop();
}

bool SocketServer::listen(const std::string &path) {
    d->reap();
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof sa.sun_path) return false;
    std::memcpy(sa.sun_path, path.c_str(), path.size());
    {
        std::lock_guard<std::mutex> g(d->lock);
        if (d->stopping || (!d->left && !d->listeners.empty())) return false;
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ::unlink(path.c_str());
    struct stat st;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || ::listen(fd, 16) != 0 ||
        ::stat(path.c_str(), &st) != 0) {
        ::close(fd);
        return false;
    }
    std::lock_guard<std::mutex> g(d->lock);
    if (d->stopping) {
        ::close(fd);
        return false;
    }
    d->left = false;
    d->listeners.insert(fd);
    d->socketPath = path;
    d->socketDev = st.st_dev;
    d->socketIno = st.st_ino;
    const uint64_t gen = d->generation;
    Impl *impl = d.get();
    d->spawnLocked([impl, fd, gen] { impl->acceptLoop(fd, gen); });
    return true;
}

int SocketServer::connect() {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return -1;
    if (!adopt(sv[1])) {
        ::close(sv[0]);
        return -1;
    }
    return sv[0];
}

bool SocketServer::adopt(int fd) {
    if (fd < 0) return false;
    d->reap();
    std::lock_guard<std::mutex> g(d->lock);
    if (d->stopping || d->left) {
        ::close(fd);
        return false;
    }
    d->serveLocked(fd);
    return true;
}

void SocketServer::leave() {
    std::lock_guard<std::mutex> g(d->lock);
    d->left = true;
    ++d->generation;
    // Shutting a listener down ends its accept(); its thread closes it.
    for (int fd : d->listeners)
        ::shutdown(fd, SHUT_RDWR);
    for (int fd : d->connections)
        ::shutdown(fd, SHUT_RDWR);
    if (!d->socketPath.empty()) {
        struct stat st;
        if (::lstat(d->socketPath.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) &&
            st.st_dev == d->socketDev && st.st_ino == d->socketIno)
            ::unlink(d->socketPath.c_str());
        d->socketPath.clear();
    }
}

void SocketServer::rejoin() {
    std::lock_guard<std::mutex> g(d->lock);
    d->left = false;
}

bool SocketServer::onBus() const {
    std::lock_guard<std::mutex> g(d->lock);
    return !d->left && (!d->listeners.empty() || !d->connections.empty());
}

bool SocketServer::hasLeft() const {
    std::lock_guard<std::mutex> g(d->lock);
    return d->left;
}

void SocketServer::spawn(std::function<void()> fn) {
    std::lock_guard<std::mutex> g(d->lock);
    if (d->stopping) return;
    d->spawnLocked(std::move(fn));
}

bool SocketServer::waitForStop(int ms) {
    std::unique_lock<std::mutex> lk(d->lock);
    return d->stopCv.wait_for(lk, std::chrono::milliseconds(ms), [this] { return d->stopping; });
}

void SocketServer::stop() {
    {
        std::lock_guard<std::mutex> g(d->lock);
        d->stopping = true;
    }
    d->stopCv.notify_all();
    leave();
    // Threads may still start helpers while they finish: join until none is
    // left.
    for (;;) {
        std::list<Impl::Worker> all;
        {
            std::lock_guard<std::mutex> g(d->lock);
            if (d->workers.empty()) break;
            all.splice(all.end(), d->workers);
            for (int fd : d->connections)
                ::shutdown(fd, SHUT_RDWR);
        }
        for (auto &w : all)
            w.thread.join();
    }
}

} // namespace vyrsim
