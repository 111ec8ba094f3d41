// The burning station every front end drives (the window, the headless
// front end, the engine tests and the soak): the device-change source, the
// device watch thread, the burn threads with the refresh that starts and
// clears them, Start and Stop, the imports of a plan, an upgrade package and a
// media directory, and the port-match store. It paints nothing and needs no
// GUI: a refresh hands each port's state, the log texts, new port matches and
// messages to the caller's Painter.
//
// All calls come from the thread that created the station (it owns objects
// with thread affinity). The caller refreshes every 500 ms (of the engine's
// clock) and keeps the event loop running (or calls processEvents before a
// refresh) so that device changes and plan edits are seen.
#ifndef BURNSTATION_H
#define BURNSTATION_H

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

#include "packageunpacker.h"

class BurnPlan;
class BurnRecorder;
class BurnThread;
class DeviceChangeSource;
class PortCofigXml;
class PortRefresh;
class ProbeDevThread;
class QFileSystemWatcher;

class BurnStation : public QObject {
    Q_OBJECT

  public:
    // Whether port matches are mirrored in config_port.xml of the working
    // directory (a station directory) or kept only in memory (tests).
    enum class PortMatches { InMemory, StationFile };

    // A station without a plan (an empty plan is installed), the upgrade
    // directory at "tmp/". With StationFile the port-match store reads (or
    // creates) its file now; PortCofigXml::warningHook is used for warnings.
    explicit BurnStation(PortMatches portMatches = PortMatches::InMemory,
                         QObject *parent = nullptr);
    // close(), then the burn threads are ended (each waited for) and freed.
    ~BurnStation() override;

    BurnStation(const BurnStation &) = delete;
    BurnStation &operator=(const BurnStation &) = delete;

    // Keeps burn records in <stationDir>/records/burns.sqlite, forwarded to
    // the line's server when configure.ini ("records") or PYREWICK_RECORDS
    // names one; the station field is Settings::stationName(). Call before
    // open(). From then on a port's result is handed to the painter only once
    // its record is committed.
    BurnRecorder *keepRecords(const QString &stationDir);
    // Null when records are not kept.
    BurnRecorder *recorder() const { return mRecorder.get(); }

    // Sets gAppRunning, starts the device watch thread and the device-change
    // source and asks for a first scan. Burning stays off until start().
    void open();

    enum class StartRefusal {
        None,           // burning is on
        NoPlan,         // no plan, or a plan without commands
        SeveralDevices, // single-device build with two or more devices seen
        Importing,      // an upgrade package is being imported
        TmpIncomplete,  // the plan is in tmp/, left by an import that never ended
    };
    // The operator's Start: with a usable plan, (single-device build: forgets
    // the port matches) asks for a system rescan, turns burning on and moves
    // every port waiting for Start on to its burn. A plan read from tmp/ is
    // refused while tmp/ lacks the marker of a whole import.
    StartRefusal start();
    // The operator's Stop: turns burning off, halts every burn thread (no
    // further device request), waits for each to end its step and clears the
    // ports that had one.
    void stop();
    bool burning() const;

    // Forgets every port match (and removes the port-match file). Refused
    // (false) while burning.
    bool resetPortMatches();

    // What a refresh shows of one port.
    struct PortView {
        int status = 0;
        int lastResult = 0;
        int progress = 0;
        QString message;
        QString portPath;
        int tick = 0; // the refresh counter (blink phase of a burning row)
    };
    struct Painter {
        // Called for every port in order, under the port lock. Returns false
        // to leave the port's pending log text for a later refresh (the window
        // does so for a row that stays idle). Empty: every log is taken. Not
        // called for a port whose result waits for its record to be
        // committed: the row stays as it was painted last.
        std::function<bool(int port, const PortView &view)> row;
        // Log text for the panel: the general log (port -1) first, then each
        // port's. Never called with an empty text.
        std::function<void(int port, const QString &text)> log;
        // A new device was given this port (shown as connected, path, "used").
        std::function<void(int port, const QString &path)> assigned;
        // The text (untranslated) of a box the operator must close; returns
        // when it is closed. No second message comes while one is open.
        std::function<void(const QString &text)> message;
    };
    // One refresh: under the port lock the logs and rows are handed over and
    // the burn threads started (or restarted); then newly seen devices are
    // matched to free ports.
    void refresh(const Painter &painter);
    // Every pending log text, without touching the rows or the threads
    // (the last lines after Stop).
    void drainLogs(const std::function<void(int port, const QString &text)> &log);

    // "success:N failed:M failed postion: " plus the failures by step.
    static QString statisticsText();

    // Imports. The plan file named in the statistics and logs.
    enum class PlanImport { Imported, CannotOpen };
    // A plan file: installs it, watches its resource directory and starts the
    // statistics afresh. `error` receives the reason of CannotOpen.
    PlanImport importPlan(const QString &path, QString *error = nullptr);
    enum class PackageImport {
        Imported,
        TimedOut,  // the archiver did not end in time
        NoPlan,    // the package holds no config_progress.xml
        Failed,    // the archiver reported an error (importDetail() says which)
        TmpIsLink, // tmp is a symbolic link: refused, nothing changed
        Refused,   // the package cannot be used (importDetail() says why)
        Burning,   // burning is on or a port is in a burn: refused
    };
    // True while an import would pull files from under a burn: burning is on
    // or a port is between the start of a burn and its result.
    bool importBlocked() const;
    // An upgrade package: unpacked into "tmp" (emptied first), its plan
    // installed and watched; the statistics start afresh unless it is the
    // package imported last. The unpacking and the plan's reading run on a
    // worker thread while this thread's event loop goes on (timers, the
    // window's refresh and painting); `progress` is called on this thread.
    // A failed unpacking leaves nothing in tmp, and a plan read from tmp
    // before is dropped (its files are gone), so Start has nothing to burn.
    PackageImport importPackage(const QString &zipPath,
                                const PackageUnpacker::Progress &progress = {});
    // The archiver's error lines or the reason of the last refused import.
    QString importDetail() const { return mImportDetail; }
    bool importing() const { return mImporting; }
    // The directory whose files the media copy puts on the device.
    void importMedia(const QString &dir);
    // Reads the plan file again (its directory changed) and watches the
    // upgrade directory. Emits rereadingPlan() first.
    void rereadPlan();

    QString planFile() const { return mPlanFile; }
    QString packageFile() const { return mPackageFile; }

    // Clears gAppRunning, halts every burn thread (no further device request;
    // each ends its step) and waits for the watch thread to end: up to
    // `limitMs` of real time, forever when negative. False when it is still
    // running after the limit; it is then left running, never freed under its
    // feet. Further calls return the first result.
    bool endWatch(int limitMs = -1);
    // The window's teardown: endWatch(), every burn thread ended (within about
    // one transport time-out, the longest a request already on its way may
    // wait, even when devices stopped answering) and freed,
    // the device-change source and the port-match store dropped, the plan
    // uninstalled. The station can not be opened again.
    void close();

    // The burn thread of a port, or nullptr when none was made yet.
    BurnThread *thread(int port) const;

  signals:
    // The watch thread's scan found a device on a port.
    void deviceArrived();
    // The plan's directory changed; the plan is read again right after.
    void rereadingPlan();

  private:
    void watchOnly(const QString &dir);
    // Installs a plan; what its reader skipped, replaced or refused goes to
    // the general log, so every front end shows it.
    void installPlan(std::shared_ptr<const BurnPlan> plan);
    void dropPlanFromTmp();
    // The installed plan's file lies in tmp/.
    bool planInTmp() const;

    std::unique_ptr<BurnRecorder> mRecorder; // outlives every burn thread
    std::unique_ptr<PortCofigXml> mPortConfig;
    std::unique_ptr<PortRefresh> mRefresh;
    std::unique_ptr<ProbeDevThread> mProbe;
    std::unique_ptr<DeviceChangeSource> mSource;
    QFileSystemWatcher *mPlanWatcher = nullptr;
    QString mPlanFile;
    QString mPackageFile;
    bool mWatchEnded = false;
    bool mWatchEndedInTime = true;
    bool mClosed = false;
    bool mImporting = false;
    QString mImportDetail;
};

#endif
