#include "burnstation.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>

#include "buildvariant.h"
#include "burnclock.h"
#include "burnplan.h"
#include "burnrecorder.h"
#include "burnstate.h"
#include "burnthread.h"
#include "devicechangesource.h"
#include "portcofigxml.h"
#include "portrefresh.h"
#include "probedevthread.h"
#include "recordstore.h"
#include "resultgate.h"
#include "settings.h"
#include "upgradepackage.h"

#include <thread>

BurnStation::BurnStation(PortMatches portMatches, QObject *parent) : QObject(parent) {
    PortRefresh::RecordMatch record;
    if (portMatches == PortMatches::StationFile) {
        mPortConfig = std::make_unique<PortCofigXml>();
        record = [this](int port, const QString &path) { mPortConfig->setPortPath(port, path); };
    }
    mRefresh = std::make_unique<PortRefresh>(std::move(record));

    installPlan(std::make_shared<BurnPlan>(QString()));
    mPlanFile = QString::fromLatin1(BurnPlan::DEFAULT_PATH);
    mPlanWatcher = new QFileSystemWatcher(this);
    if (auto plan = burnPlan(); plan && !plan->getResourcePath().isEmpty())
        mPlanWatcher->addPath(plan->getResourcePath());
    connect(mPlanWatcher, &QFileSystemWatcher::directoryChanged, this, &BurnStation::rereadPlan);

    gBurning = false;
    gUpgradeDir = QString::fromLatin1(UpgradePackage::kTmpDir) + QLatin1Char('/');
    if (UpgradePackage::importIncomplete(QString::fromLatin1(UpgradePackage::kTmpDir)))
        appendMainLogLine(QStringLiteral(
            "tmp holds an upgrade package import that never finished (the program ended "
            "during it): import the upgrade package again before burning from tmp"));
}

bool BurnStation::planInTmp() const {
    const auto plan = burnPlan();
    if (!plan) return false;
    const QString tmpDir =
        QFileInfo(QString::fromLatin1(UpgradePackage::kTmpDir)).absoluteFilePath();
    const QString planFile =
        QFileInfo(QDir::fromNativeSeparators(plan->planPath())).absoluteFilePath();
    return planFile.startsWith(tmpDir + QLatin1Char('/'));
}

BurnStation::~BurnStation() {
    close();
}

BurnRecorder *BurnStation::keepRecords(const QString &stationDir) {
    if (mRecorder || mClosed) return mRecorder.get();
    ResultGate::reset();
    mRecorder = std::make_unique<BurnRecorder>(BurnRecorder::Options{
        RecordStore::pathIn(stationDir), Settings::recordsUrl(), Settings::stationName()});
    if (!mPackageFile.isEmpty()) mRecorder->setPackage(mPackageFile);
    BurnRecorder::setActive(mRecorder.get());
    return mRecorder.get();
}

void BurnStation::open() {
    if (mClosed || mProbe) return;
    gAppRunning = true;
    mProbe = std::make_unique<ProbeDevThread>();
    connect(mProbe.get(), &ProbeDevThread::newDevice, this, &BurnStation::deviceArrived);
    mProbe->start();
    // Device-tree changes (udev, or the system root's USB directory) make the
    // watch thread scan; scan once right away.
    mSource = std::make_unique<DeviceChangeSource>();
    gDeviceChanged = true;
}

BurnStation::StartRefusal BurnStation::start() {
    if (mImporting) return StartRefusal::Importing;
    const auto plan = burnPlan();
    if (!plan || plan->commandCount() <= 0) return StartRefusal::NoPlan;
    if (planInTmp() &&
        !UpgradePackage::importComplete(QString::fromLatin1(UpgradePackage::kTmpDir)))
        return StartRefusal::TmpIncomplete;
    const bool singleDevice = buildVariant() == BuildVariant::SingleDevice;
    if (singleDevice && gDevCount >= 2) return StartRefusal::SeveralDevices;
    // Burning is still off here, so this forgets every port match; the
    // device is matched again by the next refreshes.
    if (singleDevice) resetPortMatches();
    gRescanRequest = true;
    gBurning = true;
    for (PortInfo &port : gPortInfo) {
        int waiting = PORT_STATUS_WAIT_START;
        port.status.compare_exchange_strong(waiting, PORT_STATUS_START);
    }
    return StartRefusal::None;
}

void BurnStation::stop() {
    gBurning = false;
    mRefresh->stop();
}

bool BurnStation::burning() const {
    return gBurning.load();
}

bool BurnStation::resetPortMatches() {
    if (gBurning) return false;
    QFile::remove(QString::fromLatin1(PortCofigXml::FILE_NAME));
    for (PortInfo &port : gPortInfo) {
        port.portPath = QString();
        port.status = PORT_STATUS_NONE;
    }
    return true;
}

void BurnStation::refresh(const Painter &painter) {
    ++gUiTick;
    {
        WriteLocker lock(&gPortLock);
        const int tick = gUiTick;
        // The general log goes out on every refresh, even when every row is
        // idle (otherwise e.g. a driver reinstall line would wait for the
        // next device and be lost at exit).
        const QString mainLog = mRefresh->takeMainLog();
        if (!mainLog.isEmpty() && painter.log) painter.log(-1, mainLog);
        for (int p = 0; p < PORT_COUNT; ++p) {
            bool takeLog = true;
            // A result is shown only once its burn record is committed.
            const ResultGate::Shown shown = ResultGate::shown(p);
            if (painter.row && !shown.hold) {
                const PortInfo &info = gPortInfo[p];
                PortView view;
                view.status = shown.status;
                view.lastResult = shown.lastResult;
                view.progress = info.progress;
                view.message = info.message.get();
                view.portPath = info.portPath.get();
                view.tick = tick;
                takeLog = painter.row(p, view);
            }
            if (!takeLog) continue;
            const QString portLog = mRefresh->takePortLog(p);
            if (!portLog.isEmpty() && painter.log) painter.log(p, portLog);
        }
        // Once closing has begun no burn thread is started again.
        if (!mWatchEnded) mRefresh->startThreads();
    }

    // While a message is open the nested refreshes leave matching alone
    // (PortRefresh returns no second message meanwhile).
    const PortRefresh::MatchOutcome match = mRefresh->matchDevicesToPorts();
    if (painter.assigned)
        for (const PortRefresh::Assignment &a : match.assigned)
            painter.assigned(a.port, a.path);
    if (!match.message.isEmpty()) {
        if (painter.message) painter.message(match.message);
        mRefresh->messageClosed();
    }
}

void BurnStation::drainLogs(const std::function<void(int port, const QString &text)> &log) {
    WriteLocker lock(&gPortLock);
    const QString mainLog = mRefresh->takeMainLog();
    if (!mainLog.isEmpty()) log(-1, mainLog);
    for (int p = 0; p < PORT_COUNT; ++p) {
        const QString portLog = mRefresh->takePortLog(p);
        if (!portLog.isEmpty()) log(p, portLog);
    }
}

QString BurnStation::statisticsText() {
    return PortRefresh::statisticsText();
}

void BurnStation::watchOnly(const QString &dir) {
    const QStringList watched = mPlanWatcher->directories();
    if (!watched.isEmpty()) mPlanWatcher->removePaths(watched);
    if (!dir.isEmpty() && QFileInfo::exists(dir)) mPlanWatcher->addPath(dir);
}

void BurnStation::installPlan(std::shared_ptr<const BurnPlan> plan) {
    if (plan && !plan->notes().isEmpty()) {
        WriteLocker lock(&gLogLock);
        for (const QString &line : plan->notes()) {
            if (!gMainLog.isEmpty()) gMainLog.append(QStringLiteral("\n"));
            gMainLog.append(line);
        }
    }
    // A new plan replaces the old one (a running burn keeps the plan it
    // started with) and sets the step count.
    setBurnPlan(std::move(plan));
}

BurnStation::PlanImport BurnStation::importPlan(const QString &path, QString *error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error) *error = file.errorString();
        return PlanImport::CannotOpen;
    }
    file.close();
    mPlanFile = path;
    installPlan(std::make_shared<BurnPlan>(path));
    const auto plan = burnPlan();
    watchOnly(plan ? plan->getResourcePath() : QString());
    resetStatistics();
    return PlanImport::Imported;
}

bool BurnStation::importBlocked() const {
    if (gBurning) return true;
    for (const PortInfo &port : gPortInfo) {
        const int status = port.status.load();
        if (status == PORT_STATUS_START ||
            (status >= PORT_STATUS_LOADING && status <= PORT_STATUS_RECOVERY))
            return true;
    }
    return false;
}

// After tmp was emptied, a plan read from it names files that are gone or
// belong to another package: it must not be burnt.
void BurnStation::dropPlanFromTmp() {
    if (!planInTmp()) return;
    {
        WriteLocker lock(&gLogLock);
        if (!gMainLog.isEmpty()) gMainLog.append(QStringLiteral("\n"));
        gMainLog.append(QStringLiteral("the burn plan in tmp is gone: no plan is loaded"));
    }
    setBurnPlan(nullptr);
}

BurnStation::PackageImport BurnStation::importPackage(const QString &zipPath,
                                                      const PackageUnpacker::Progress &progress) {
    mImportDetail.clear();
    // Emptying tmp would pull the files from under the running burns.
    if (importBlocked() || mImporting) return PackageImport::Burning;
    // Unpacking must not look like an edit of the plan's directory.
    watchOnly(QString());

    mImporting = true;
    PackageUnpacker::Result result;
    const int limit = BurnClock::scaledMs(60000);
    QEventLoop loop;
    // Progress reports are queued to this object; those still queued when it
    // goes are dropped with it.
    QObject reports;
    std::thread worker([&] {
        result = PackageUnpacker::run(
            zipPath, limit, [&reports, &progress](PackageUnpacker::Stage stage, int pct) {
                if (!progress) return;
                QMetaObject::invokeMethod(
                    &reports, [&progress, stage, pct] { progress(stage, pct); },
                    Qt::QueuedConnection);
            });
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    mImporting = false;
    mImportDetail = result.detail;

    switch (result.outcome) {
    case PackageUnpacker::Outcome::TmpIsLink:
        return PackageImport::TmpIsLink;
    case PackageUnpacker::Outcome::Refused:
        return PackageImport::Refused;
    case PackageUnpacker::Outcome::TimedOut:
        dropPlanFromTmp();
        return PackageImport::TimedOut;
    case PackageUnpacker::Outcome::Failed:
        dropPlanFromTmp();
        return PackageImport::Failed;
    case PackageUnpacker::Outcome::NoPlan:
    case PackageUnpacker::Outcome::Ready:
        break;
    }
    gUpgradeDir = result.upgradeDir;
    mPlanFile = result.planPath;
    if (result.outcome == PackageUnpacker::Outcome::NoPlan) {
        dropPlanFromTmp();
        return PackageImport::NoPlan;
    }
    installPlan(result.plan);
    watchOnly(gUpgradeDir.get());

    // The same package again keeps the statistics; another one starts afresh.
    if (zipPath != mPackageFile) resetStatistics();
    mPackageFile = zipPath;
    if (mRecorder) mRecorder->setPackage(zipPath);
    return PackageImport::Imported;
}

void BurnStation::importMedia(const QString &dir) {
    mediaFilesPath = dir;
}

void BurnStation::rereadPlan() {
    emit rereadingPlan();
    installPlan(std::make_shared<BurnPlan>(mPlanFile));
    watchOnly(gUpgradeDir.get());
}

bool BurnStation::endWatch(int limitMs) {
    if (mWatchEnded) return mWatchEndedInTime;
    mWatchEnded = true;
    gAppRunning = false;
    // Closing has begun: the burn threads end their steps meanwhile, without
    // a further device request.
    if (mRefresh) mRefresh->halt();
    if (!mProbe) return true;
    if (limitMs >= 0 && !mProbe->wait(static_cast<unsigned long>(limitMs))) {
        mWatchEndedInTime = false;
        // Still inside a long operation: leaking it beats freeing it under
        // its own feet.
        (void)mProbe.release();
        return false;
    }
    // Each thread is waited for before it is deleted: a thread still inside
    // a long USB operation is never freed under its feet.
    mProbe->join();
    mProbe.reset();
    return true;
}

void BurnStation::close() {
    if (mClosed) return;
    mClosed = true;
    endWatch();
    mRefresh.reset(); // waits for every burn thread
    // No burn thread is left to hand over a record: the recorder writes what
    // is queued and ends.
    if (mRecorder) {
        BurnRecorder::setActive(nullptr);
        mRecorder.reset();
    }
    mSource.reset();
    mPortConfig.reset();
    setBurnPlan(nullptr);
}

BurnThread *BurnStation::thread(int port) const {
    return mRefresh ? mRefresh->thread(port) : nullptr;
}
