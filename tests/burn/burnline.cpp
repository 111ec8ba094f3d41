#include "burnline.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMutexLocker>
#include <QThread>

#include "burnclock.h"
#include "burnstate.h"
#include "burnthread.h"
#include "burnstation.h"
#include "probedevthread.h"

BurnLine::BurnLine(BuildVariant variant, double timeScale) {
    resetBurnState();
    setBuildVariant(variant);
    BurnClock::setScale(timeScale);
    mOldSysroot = qgetenv("PYREWICK_SYSROOT");

    mLine = teststation::makeLine(mDir.filePath("root"));
    teststation::writePlanFiles(mDir.filePath("plan"), mDir.filePath("upgrade"));
    teststation::writeMediaFiles(mDir.filePath("media"));
    mStation = std::make_unique<BurnStation>();
    gUpgradeDir.set(mDir.filePath("upgrade") + "/");
    mStation->importMedia(mDir.filePath("media"));
    writePlan(samplePlan());
    ProbeDevThread::setDevconRunner([this](const QStringList &arguments) {
        QMutexLocker lock(&mLogLock);
        mDevconCalls << arguments.join(' ');
        return true;
    });
    BurnThread::setLogObserver([this](int port, const QString &line) {
        QMutexLocker lock(&mLogLock);
        const int at = line.indexOf("]: ");
        if (port >= 0 && port < 8) mLogs[port] << (at >= 0 ? line.mid(at + 3) : line);
    });
}

BurnLine::~BurnLine() {
    mStation.reset(); // waits for the watch thread and every burn thread
    BurnThread::setLogObserver({});
    ProbeDevThread::setDevconRunner({});
    mLine->stop();
    mLine.reset();
    if (mOldSysroot.isEmpty())
        qunsetenv("PYREWICK_SYSROOT");
    else
        qputenv("PYREWICK_SYSROOT", mOldSysroot);
    resetBurnState();
    BurnClock::setScale(1.0);
}

void BurnLine::writePlan(const QString &xml) {
    teststation::installPlan(*mStation, mDir.filePath("plan/config_progress.xml"), xml);
}

void BurnLine::start() {
    mStation->open();
    mStation->start();
    runUntil([] { return !gRescanRequest.load(); });
    QMutexLocker lock(&mLogLock);
    mDevconCalls.clear();
}

void BurnLine::refresh() {
    QCoreApplication::processEvents(); // device changes, plan edits
    BurnStation::Painter painter;
    painter.message = [this](const QString &message) { mMessages << message; };
    mStation->refresh(painter);
}

bool BurnLine::runUntil(const std::function<bool()> &cond, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!cond()) {
        if (timer.elapsed() > timeoutMs) return false;
        refresh();
        QThread::msleep(static_cast<unsigned long>(BurnClock::scaledMs(500)));
    }
    return true;
}

void BurnLine::stop() {
    mStation->stop();
}

QStringList BurnLine::log(int port) {
    QMutexLocker lock(&mLogLock);
    return mLogs[port];
}

bool BurnLine::logHas(int port, const QString &text) {
    return log(port).contains(text);
}

std::string BurnLine::logDump(int port) {
    return log(port).join("\n").toStdString();
}

QStringList BurnLine::devconCalls() {
    QMutexLocker lock(&mLogLock);
    return mDevconCalls;
}
