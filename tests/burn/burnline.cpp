#include "burnline.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMutexLocker>
#include <QThread>
#include <QWriteLocker>
#include <random>

#include "burnclock.h"
#include "burnplan.h"
#include "burnstate.h"
#include "burnthread.h"
#include "devicechangesource.h"
#include "portrefresh.h"
#include "probedevthread.h"

namespace {

void writeRandomFile(const QString &path, int size, unsigned seed) {
    std::mt19937 gen(seed);
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = static_cast<char>(gen() & 0xff);
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(data);
}

} // namespace

BurnLine::BurnLine(BuildVariant variant, double timeScale) {
    resetBurnState();
    setBuildVariant(variant);
    BurnClock::setScale(timeScale);
    mOldSysroot = qgetenv("PYREWICK_SYSROOT");

    const QString root = mDir.filePath("root");
    QDir().mkpath(root);
    mLine = std::make_unique<vyrsim::Line>(root.toStdString());
    mLine->addRootHub(4);
    mLine->addHub("1-2", 8);
    qputenv("PYREWICK_SYSROOT", root.toLocal8Bit());

    QDir work(mDir.path());
    work.mkpath("plan");
    work.mkpath("upgrade");
    work.mkpath("media/clips");
    writeRandomFile(mDir.filePath("plan/spl.bin"), 4096, 1);
    writeRandomFile(mDir.filePath("plan/uboot.bin"), 150000, 2);
    writeRandomFile(mDir.filePath("plan/uImage"), 300000, 3);
    writeRandomFile(mDir.filePath("plan/upgrade.img"), 70000, 4);
    writeRandomFile(mDir.filePath("plan/patch.img"), 5000, 5);
    writeRandomFile(mDir.filePath("upgrade/update.zip"), 20000, 6);
    writeRandomFile(mDir.filePath("upgrade/extra.bin"), 3000, 7);
    writeRandomFile(mDir.filePath("media/intro.mp4"), 8000, 8);
    writeRandomFile(mDir.filePath("media/clips/a.mp4"), 1000, 9);
    gUpgradeDir.set(mDir.filePath("upgrade") + "/");
    mediaFilesPath.set(mDir.filePath("media"));

    writePlan(samplePlan());
    mRefresh = std::make_unique<PortRefresh>();
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
    gAppRunning = false;
    if (mProbe) {
        mProbe->wait();
        mProbe.reset();
    }
    mRefresh.reset(); // waits for every burn thread
    BurnThread::setLogObserver({});
    ProbeDevThread::setDevconRunner({});
    mSource.reset();
    mLine->stop();
    mLine.reset();
    if (mOldSysroot.isEmpty())
        qunsetenv("PYREWICK_SYSROOT");
    else
        qputenv("PYREWICK_SYSROOT", mOldSysroot);
    resetBurnState();
    BurnClock::setScale(1.0);
}

QString BurnLine::samplePlan() {
    return QStringLiteral(R"(<?xml version="1.0"?>
<progress>
<command sn="0" path="spl.bin" address="80000000" run="true">load spl</command>
<command sn="1">crc 80000000 size value</command>
<command sn="2" path="uboot.bin" address="81000000" run="true" count="20">load uboot</command>
<command sn="3">crc 81000000 size value</command>
<command sn="4" path="uImage" address="82000000">load uimage</command>
<command sn="5">crc 82000000 size value</command>
<command sn="6" path="upgrade.img" address="83000000">load to ram</command>
<command sn="7" path="patch.img" address="84000000">load to ram</command>
<command sn="8" address="8f000000" cmd="upgrade:0# patch:0#">load addr</command>
<command sn="9">setenv bootargs console=ttyS0</command>
<command sn="10" count="30">bootm</command>
<command sn="11" count="30">update:update.zip</command>
<command sn="12">copy_media</command>
<command sn="13">format_data(prepare:extra.bin)</command>
<command sn="14" cmd="final">reset</command>
</progress>
)");
}

void BurnLine::writePlan(const QString &xml) {
    const QString path = mDir.filePath("plan/config_progress.xml");
    QFile f(path);
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    f.write(xml.toUtf8());
    f.close();
    setBurnPlan(std::make_shared<const BurnPlan>(path));
}

vyrsim::DeviceSpec BurnLine::deviceSpec() const {
    vyrsim::DeviceSpec spec;
    spec.bootMs = BurnClock::scaledMs(2000);
    spec.recovery.bootMs = BurnClock::scaledMs(1000);
    spec.recovery.updateMs = BurnClock::scaledMs(2000);
    // Long enough for the preparation copy at the fifth tick of the wait.
    spec.recovery.commandMs = BurnClock::scaledMs(8000);
    return spec;
}

void BurnLine::start() {
    gAppRunning = true;
    mSource = std::make_unique<DeviceChangeSource>();
    gDeviceChanged = true;
    mProbe = std::make_unique<ProbeDevThread>();
    mProbe->start();
    gBurning = true;
}

void BurnLine::refresh() {
    QCoreApplication::processEvents();
    {
        QWriteLocker lock(&gPortLock);
        for (int p = 0; p < 8; ++p) {
            mRefresh->takeMainLog();
            mRefresh->takePortLog(p);
        }
        mRefresh->startThreads();
    }
    const PortRefresh::MatchOutcome m = mRefresh->matchDevicesToPorts();
    if (!m.message.isEmpty()) {
        mMessages << m.message;
        mRefresh->messageClosed();
    }
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
    mRefresh->stop();
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
