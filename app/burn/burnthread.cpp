// BurnThread core: the tick loop, the port log line, presence of the device,
// opening its handle and identifying its boot stage.
#include "burnthread.h"

#include <QDebug>
#include <QMutex>
#include <QMutexLocker>
#include <unistd.h>

#include "burnclock.h"
#include "burnplan.h"
#include "burnstate.h"
#include "hubsift.h"
#include "loaderchannel.h"
#include "logjournal.h"

namespace {
const BurnCommand kEmptyRecord{};
QMutex gObserverLock;
BurnThread::LogObserver gObserver;
} // namespace

BurnThread::BurnThread(int port, QObject *parent) : QThread(parent), mThreadOrder(port) {}

BurnThread::~BurnThread() {
    qDebug().noquote() << " ~BurnThread()";
}

void BurnThread::run() {
    while (gAppRunning.load() && mGate.isOpen()) {
        tick();
        if (mStopped.load()) break;
        pause(1000);
    }
    qDebug().noquote() << mThreadOrder << " exit";
    mRunsEnded.fetch_add(1, std::memory_order_release);
}

void BurnThread::join() {
    wait();
    (void)mRunsEnded.load(std::memory_order_acquire);
}

bool BurnThread::hasEnded() const {
    if (isRunning()) return false;
    // QThread's own hand-over happens inside Qt; this acquire pairs with the
    // release at the end of run() so the order is explicit in our code too.
    (void)mRunsEnded.load(std::memory_order_acquire);
    return true;
}

void BurnThread::tick() {
    // The window may install a new plan at any time. A burn walks the plan it
    // started with until its result is counted and its device has gone; a new
    // plan applies from the next burn on. Between burns (no device, connected,
    // waiting for Start, about to start) the current plan is taken afresh.
    const int status = gPortInfo[mThreadOrder].status.load();
    if (!mPlan || status <= PORT_STATUS_WAIT_START) mPlan = burnPlan();
    const bool resultPending = mResultPending;
    if (status == PORT_STATUS_START) beginRecord();
    const int lines = mTrace.lineCount();
    burnProcess();
    recordTick(status, resultPending, lines);
    mStepShown.store(mCurBurnCmd);
}

const BurnCommand &BurnThread::record(int index) const {
    if (!mPlan || index < 0 || index >= BurnPlan::MAX_COMMANDS) return kEmptyRecord;
    return mPlan->command(index);
}

const BurnCommand &BurnThread::planRecord(int index) const {
    return index < planCount() ? record(index) : kEmptyRecord;
}

int BurnThread::planCount() const {
    return mPlan ? mPlan->commandCount() : 0;
}

QString BurnThread::recordCommand(int index) const {
    return record(index).command.trimmed();
}

void BurnThread::fail() {
    gPortInfo[mThreadOrder].status = PORT_STATUS_FAILED;
}

void BurnThread::logShow(const QString &text) {
    // A step cut short by a closed gate ends without a word: its refused
    // requests would read as failures of a device nobody asked.
    if (text.isEmpty() || !mGate.isOpen()) return;
    const QString line = QStringLiteral("[T ") + QString::number(mThreadOrder) +
                         QStringLiteral("][") + BurnClock::timeOfDay() + QStringLiteral("]: ") +
                         text;
    {
        QMutexLocker observerLock(&gObserverLock);
        if (gObserver) gObserver(mThreadOrder, line);
    }
    if (mTrace.isOpen()) mTrace.line(line);
    bool shown = true;
    {
        WriteLocker lock(&gLogLock);
        SharedText &log = gPortLog[mThreadOrder].text;
        const int length = log.length();
        if (length + 1 + int(line.length()) <= PORT_LOG_PENDING_LIMIT) {
            if (length > 0) log.append(QStringLiteral("\n"));
            log.append(line);
        } else {
            // The window has not collected this port's lines for a long
            // while: the line skips the panel but still reaches the disk.
            ++gPortLogHidden[mThreadOrder];
            shown = false;
        }
        gPortLogPending[mThreadOrder] = true;
    }
    if (!shown)
        if (LogJournal *journal = LogJournal::active()) journal->append(line);
}

void BurnThread::setLogObserver(LogObserver observer) {
    QMutexLocker lock(&gObserverLock);
    gObserver = std::move(observer);
}

bool BurnThread::isDevicePresent() const {
    return isDevPathListed(gPortInfo[mThreadOrder].portPath.get());
}

VyrHandle BurnThread::openDeviceHandle() {
    PortInfo &info = gPortInfo[mThreadOrder];
    const VyrHandle old = info.handle.exchange(0);
    mGate.bind(0); // before the old handle is closed: its number may come back
    if (old > 0) ::close(static_cast<int>(old));
    if (!mGate.isOpen()) return 0;
    const QByteArray path = info.portPath.get().toLatin1();
    const VyrHandle handle = VyrGetDeviceHandle(deviceName, path.constData());
    // -1 (found but not opened) is as useless as no handle at all.
    if (handle <= 0) return 0;
    // Closing the gate from now on cancels this handle's requests in flight.
    mGate.bind(handle);
    return handle;
}

int BurnThread::identifyDevice() {
    const VyrHandle handle = openDeviceHandle();
    gPortInfo[mThreadOrder].handle = handle;
    if (handle <= 0) {
        qDebug().noquote() << "thread" << mThreadOrder << "handle null";
        return -1;
    }
    return channel(handle).identify();
}
