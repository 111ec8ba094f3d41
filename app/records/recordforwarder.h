// Forwards committed burn records to the line's PostgreSQL server.
//
// The station's SQLite store is the outbox: a record is committed there
// first (with an outbox entry), then this thread inserts it on the server
// and only then removes the entry. The insert is keyed by the record's UUID
// (ON CONFLICT DO NOTHING), so a forward repeated after a crash or a lost
// reply changes nothing: every record arrives once. A server that is down or
// restarting is tried again every retry period; the panel is told once.
#ifndef RECORDFORWARDER_H
#define RECORDFORWARDER_H

#include <QString>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class RecordForwarder {
  public:
    // Where postgresql://[user[:password]@][host][:port][/database][?key=value&...]
    // points. A host that is a path (host=/some/dir) is the directory of the
    // server's Unix socket. Other keys pass to the client library as options.
    struct Target {
        bool valid = false;
        QString error;
        QString host, database, user, password, options;
        int port = -1;
        QString shown; // the address without its password, for messages
    };
    static Target parseUrl(const QString &url);

    // The schema the server gets: tables burns and steps (the station's
    // columns), the views yield_by_station_hour and failures_by_step.
    static constexpr int kServerSchemaVersion = 1;

    RecordForwarder(const QString &storePath, const QString &url, int retryMs);
    ~RecordForwarder();
    RecordForwarder(const RecordForwarder &) = delete;
    RecordForwarder &operator=(const RecordForwarder &) = delete;

    // Something new may be in the outbox.
    void wake();
    // Waits until a pass that began after this call found the outbox empty;
    // false on time-out (the server is down, or records keep coming).
    bool drain(int timeoutMs);
    // Records this forwarder put on the server (repeats not counted).
    int forwarded() const;

  private:
    void run();
    void say(const QString &text);

    QString mStorePath;
    Target mTarget;
    int mRetryMs;

    mutable std::mutex mLock;
    std::condition_variable mWake;
    std::condition_variable mDone;
    uint64_t mRequested = 0; // bumped by wake() and drain()
    uint64_t mEmptyAt = 0;   // the request count a pass saw and then found the outbox empty
    int mForwarded = 0;
    bool mStopping = false;
    std::thread mThread;
};

#endif
