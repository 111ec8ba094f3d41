// A burning station on a virtual line for the engine tests: a system root
// with one root hub and an 8-port hub, the sample burn plan with its images,
// an upgrade directory and a media directory, and the engine in a BurnStation
// refreshed every 500 ms of the engine's clock.
#ifndef BURNLINE_H
#define BURNLINE_H

#include <QMutex>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <string>

#include "buildvariant.h"
#include "line.h"
#include "teststation.h"

class BurnStation;

class BurnLine {
  public:
    explicit BurnLine(BuildVariant variant, double timeScale = 0.05);
    ~BurnLine();

    vyrsim::Line &line() { return *mLine; }
    QString dir() const { return mDir.path(); }
    // Hub ports are "1-2.1" ... "1-2.8".
    static std::string hubPort(int n) { return teststation::hubPort(n); }

    // The sample plan (every command kind); `extra` attributes per sn can be
    // overridden by writing a plan text with writePlan.
    static QString samplePlan() { return teststation::samplePlan(); }
    // Writes the plan text as config_progress.xml and installs it.
    void writePlan(const QString &xml);
    // A device devSpec whose timings suit the time scale.
    vyrsim::DeviceSpec deviceSpec() const { return teststation::deviceSpec(); }

    // Opens the station (watch thread) and presses Start. The system rescan
    // Start asks for is run before this returns and is not in devconCalls().
    void start();
    // One refresh of the window (logs, threads, port matching).
    void refresh();
    // Refreshes until cond() holds; false on time-out (real milliseconds).
    bool runUntil(const std::function<bool()> &cond, int timeoutMs = 30000);
    // Stop, as the operator's Stop command.
    void stop();

    // Port log texts seen so far (the text after "]: ").
    QStringList log(int port);
    bool logHas(int port, const QString &text);
    std::string logDump(int port); // for failure messages
    QStringList messages() const { return mMessages; }
    // Command lines the watch thread ran the device-console tool with.
    QStringList devconCalls();

    BurnStation &station() { return *mStation; }

  private:
    QTemporaryDir mDir;
    std::unique_ptr<vyrsim::Line> mLine;
    std::unique_ptr<BurnStation> mStation;
    QMutex mLogLock;
    QStringList mLogs[8];
    QStringList mMessages;
    QStringList mDevconCalls;
    QByteArray mOldSysroot;
};

#endif
