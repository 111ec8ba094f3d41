// The Unix-socket side of a virtual device: a listener bound to a path, one
// thread per connection (accepted there, or the device end of a socket pair),
// finished threads reaped as new ones start, and leaving the bus: every
// connection shut down and the socket file removed if it is still the one
// this server bound (the line may have renamed it away, and another device
// may listen under that name by now).
#ifndef SOCKETSERVER_H
#define SOCKETSERVER_H

#include <functional>
#include <memory>
#include <string>

namespace vyrsim {

class SocketServer {
  public:
    // Serves one connection until it ends; the server closes the descriptor
    // afterwards. Runs on the connection's own thread.
    using Serve = std::function<void(int fd)>;

    explicit SocketServer(Serve serve);
    // stop().
    ~SocketServer();
    SocketServer(const SocketServer &) = delete;
    SocketServer &operator=(const SocketServer &) = delete;

    // Listens at `path` (an existing file there is replaced). False when the
    // path cannot be bound, when already listening, or once stopped.
    bool listen(const std::string &path);
    // The host end of a new connection (socketpair) served like an accepted
    // one; the caller owns it. -1 on failure, after leave() (until listen()
    // or rejoin()) and once stopped.
    int connect();
    // Takes over an already connected stream socket and serves it. False
    // (and the descriptor closed) after leave() and once stopped.
    bool adopt(int fd);
    // Leaves the bus: the listener and every connection are shut down and
    // the socket file, if still ours, is removed. Safe from any thread, also
    // from a connection's own, and more than once.
    void leave();
    // Back on the bus without listening: connect() works again.
    void rejoin();
    // Listening or serving a connection, and not left.
    bool onBus() const;
    // leave() was called and neither listen() nor rejoin() since.
    bool hasLeft() const;

    // Runs `fn` on a thread of the server, joined like a connection's.
    // Nothing runs once stopped.
    void spawn(std::function<void()> fn);
    // Waits up to `ms`; true as soon as the server is stopping.
    bool waitForStop(int ms);
    // leave(), no new connection or thread from now on, every thread joined.
    // Not from one of the server's own threads.
    void stop();

  private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace vyrsim

#endif
