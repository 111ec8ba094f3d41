// The burn-thread half of the station's refresh (BurnStation drives it):
// moving pending log text out of the burn state, creating and starting the
// burn threads, matching newly seen devices to free ports, the statistics
// line, Stop, and the orderly end of every burn thread at teardown.
//
// All calls come from the station's thread. A refresh runs:
//
//   {
//       WriteLocker lock(&gPortLock);
//       log(refresh.takeMainLog());
//       for each port: paint the row from gPortInfo; log(refresh.takePortLog(port));
//       refresh.startThreads();
//   }
//   MatchOutcome m = refresh.matchDevicesToPorts();   // gPortLock NOT held
//   for (auto &a : m.assigned) show port a.port as connected on a.path;
//   if (!m.message.isEmpty()) { show m.message; refresh.messageClosed(); }
#ifndef PORTREFRESH_H
#define PORTREFRESH_H

#include <QString>
#include <QVector>
#include <array>
#include <functional>

class BurnThread;

class PortRefresh {
  public:
    // Text of the box shown when a new device's own port (by its number) is
    // busy; the window translates it before showing it.
    static const char *const kPullOutMessage;

    // Called with (port index, port path) whenever a device is assigned to a
    // port, so that the window records it in the port-match store
    // (setPortPath). May be empty.
    using RecordMatch = std::function<void(int port, const QString &path)>;

    explicit PortRefresh(RecordMatch recordMatch = {});
    // Teardown: halt(), then waits for each burn thread to finish and only
    // then deletes it. The window clears gAppRunning before this.
    ~PortRefresh();

    PortRefresh(const PortRefresh &) = delete;
    PortRefresh &operator=(const PortRefresh &) = delete;

    // The general log text not yet shown (emptied). Takes gLogLock.
    QString takeMainLog();
    // Port `port`'s pending log text, emptied and its pending flag cleared.
    // Empty when nothing is pending. When lines did not fit in the pending
    // text (PORT_LOG_PENDING_LIMIT) one last line says how many. Takes gLogLock.
    QString takePortLog(int port);

    // Creates a burn thread for every port whose path is not "none" while
    // gBurning is set, and (re)starts a stopped thread whose port's status is
    // not 0. The caller holds gPortLock for writing.
    void startThreads();

    struct Assignment {
        int port;     // 0..7
        QString path; // the device's port path
    };
    struct MatchOutcome {
        // Devices given a port in this refresh (the row shows "Connect", the
        // path, button text "used" on white).
        QVector<Assignment> assigned;
        // Non-empty: show this text in a modal box, then call messageClosed().
        // Never returned again while a box is open, so boxes never pile up.
        QString message;
    };
    // Assigns new devices of the last scan to ports by the last character of
    // their port path (1..7 -> port 0..6). Writes portPath and status of the
    // chosen port; the caller does not hold gPortLock.
    MatchOutcome matchDevicesToPorts();
    // The box of the last MatchOutcome was closed; matching resumes.
    void messageClosed();
    bool messageOpen() const { return mMessageOpen; }

    // "success:N failed:M failed postion:  " followed by " sJ:K" for every
    // command index J below min(gStepCount, 25) with a non-zero failure count.
    static QString statisticsText();

    // Sets every thread's stop flag and closes its device gate: each thread
    // ends its current tick without a further device request (only a request
    // already on its way waits for its reply or time-out) and does not start
    // another. Returns at once.
    void halt();

    // Stop: clears gBurning, halts every thread under gPortLock, waits for
    // each thread to finish, then sets its port's status and progress to 0;
    // finally sets every port's lastResult to 0. Blocks until every thread has
    // ended its current tick.
    void stop();

    // The burn thread of a port, or nullptr when none was created yet.
    BurnThread *thread(int port) const;

  private:
    RecordMatch mRecordMatch;
    std::array<BurnThread *, 8> mThreads{};
    bool mMessageOpen = false;
};

#endif
