#include "burnstation.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>

#include "buildvariant.h"
#include "burnclock.h"
#include "burnplan.h"
#include "burnstate.h"
#include "burnthread.h"
#include "devicechangesource.h"
#include "portcofigxml.h"
#include "portrefresh.h"
#include "probedevthread.h"
#include "upgradepackage.h"

BurnStation::BurnStation(PortMatches portMatches, QObject *parent) : QObject(parent) {
    PortRefresh::RecordMatch record;
    if (portMatches == PortMatches::StationFile) {
        mPortConfig = std::make_unique<PortCofigXml>();
        record = [this](int port, const QString &path) { mPortConfig->setPortPath(port, path); };
    }
    mRefresh = std::make_unique<PortRefresh>(std::move(record));

    setBurnPlan(std::make_shared<BurnPlan>(QString()));
    mPlanFile = QString::fromLatin1(BurnPlan::DEFAULT_PATH);
    mPlanWatcher = new QFileSystemWatcher(this);
    if (auto plan = burnPlan(); plan && !plan->getResourcePath().isEmpty())
        mPlanWatcher->addPath(plan->getResourcePath());
    connect(mPlanWatcher, &QFileSystemWatcher::directoryChanged, this, &BurnStation::rereadPlan);

    gBurning = false;
    gUpgradeDir = QString::fromLatin1(UpgradePackage::kTmpDir) + QLatin1Char('/');
}

BurnStation::~BurnStation() {
    close();
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
    const auto plan = burnPlan();
    if (!plan || plan->commandCount() <= 0) return StartRefusal::NoPlan;
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
            if (painter.row) {
                const PortInfo &info = gPortInfo[p];
                PortView view;
                view.status = info.status;
                view.lastResult = info.lastResult;
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
        mRefresh->startThreads();
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

BurnStation::PlanImport BurnStation::importPlan(const QString &path, QString *error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error) *error = file.errorString();
        return PlanImport::CannotOpen;
    }
    file.close();
    mPlanFile = path;
    // A new plan replaces the old one (burn threads keep the snapshot they
    // hold for their current tick) and sets the step count.
    setBurnPlan(std::make_shared<BurnPlan>(path));
    const auto plan = burnPlan();
    watchOnly(plan ? plan->getResourcePath() : QString());
    resetStatistics();
    return PlanImport::Imported;
}

BurnStation::PackageImport BurnStation::importPackage(const QString &zipPath) {
    // Unpacking must not look like an edit of the plan's directory.
    watchOnly(QString());
    UpgradePackage::deleteDirContents(QString::fromLatin1(UpgradePackage::kTmpDir));

    qDebug() << "begin run";
    if (UpgradePackage::unpack(zipPath, BurnClock::scaledMs(60000)) ==
        UpgradePackage::UnpackResult::TimedOut)
        return PackageImport::TimedOut;
    qDebug() << "end run";

    gUpgradeDir = UpgradePackage::upgradeDirAfterUnpack();
    qDebug() << gUpgradeDir.get();
    mPlanFile = gUpgradeDir.get() + QString::fromLatin1(BurnPlan::DEFAULT_PATH);
    if (!QFile::exists(mPlanFile)) return PackageImport::NoPlan;
    qDebug() << "config path is :" << mPlanFile;
    setBurnPlan(std::make_shared<BurnPlan>(mPlanFile));
    watchOnly(gUpgradeDir.get());

    // The same package again keeps the statistics; another one starts afresh.
    if (zipPath != mPackageFile) resetStatistics();
    mPackageFile = zipPath;
    return PackageImport::Imported;
}

void BurnStation::importMedia(const QString &dir) {
    mediaFilesPath = dir;
}

void BurnStation::rereadPlan() {
    emit rereadingPlan();
    setBurnPlan(std::make_shared<BurnPlan>(mPlanFile));
    watchOnly(gUpgradeDir.get());
}

bool BurnStation::endWatch(int limitMs) {
    if (mWatchEnded) return mWatchEndedInTime;
    mWatchEnded = true;
    gAppRunning = false;
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
    mSource.reset();
    mPortConfig.reset();
    setBurnPlan(nullptr);
}

BurnThread *BurnStation::thread(int port) const {
    return mRefresh ? mRefresh->thread(port) : nullptr;
}
