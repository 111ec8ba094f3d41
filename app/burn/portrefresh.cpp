#include "portrefresh.h"

#include <QDebug>

#include "buildvariant.h"
#include "burnstate.h"
#include "burnthread.h"

const char *const PortRefresh::kPullOutMessage =
    "Please pull out the device,then select config->reset port match info.";

namespace {

bool isFree(int port, bool noneCountsAsFree) {
    if (gPortInfo[port].status.load() != PORT_STATUS_NONE) return false;
    const QString path = gPortInfo[port].portPath.get();
    return path.isEmpty() || (noneCountsAsFree && path == QLatin1String("none"));
}

} // namespace

PortRefresh::PortRefresh(RecordMatch recordMatch) : mRecordMatch(std::move(recordMatch)) {}

PortRefresh::~PortRefresh() {
    halt();
    for (BurnThread *&t : mThreads) {
        if (!t) continue;
        t->join();
        delete t;
        t = nullptr;
    }
}

QString PortRefresh::takeMainLog() {
    WriteLocker lock(&gLogLock);
    return gMainLog.take();
}

QString PortRefresh::takePortLog(int port) {
    if (port < 0 || port >= PORT_COUNT) return QString();
    WriteLocker lock(&gLogLock);
    if (!gPortLogPending[port].load()) return QString();
    QString text = gPortLog[port].text.take();
    gPortLogPending[port] = false;
    const int hidden = gPortLogHidden[port].exchange(0);
    if (hidden > 0) {
        if (!text.isEmpty()) text += QLatin1Char('\n');
        text += QStringLiteral("[T %1]: %2 further log line(s) of this port were not shown here "
                               "(the panel did not collect them in time); they are in the journal "
                               "and the saved logs")
                    .arg(port)
                    .arg(hidden);
    }
    return text;
}

void PortRefresh::startThreads() {
    if (!gBurning.load()) return;
    for (int i = 0; i < PORT_COUNT; ++i) {
        if (gPortInfo[i].portPath == QStringLiteral("none")) continue;
        if (!mThreads[i]) mThreads[i] = new BurnThread(i);
        BurnThread *t = mThreads[i];
        // A thread that has set its stop flag may still be finishing its
        // loop; it is started again on a later refresh once it has ended.
        if (gPortInfo[i].status.load() != PORT_STATUS_NONE && t->isStopped() && t->hasEnded()) {
            t->setStopped(false);
            t->deviceGate().open();
            t->start();
        }
    }
}

void PortRefresh::messageClosed() {
    mMessageOpen = false;
}

PortRefresh::MatchOutcome PortRefresh::matchDevicesToPorts() {
    MatchOutcome out;
    // While the box is open the same device would be met again on every
    // nested refresh; matching waits until it is closed.
    if (mMessageOpen) return out;
    const QStringList devices = currentDevPaths();
    if (devices.isEmpty()) return out;

    if (buildVariant() == BuildVariant::SingleDevice) {
        for (int p = 0; p < PORT_COUNT; ++p) {
            if (gPortInfo[p].status.load() == PORT_STATUS_NONE) continue;
            if (!devices.contains(gPortInfo[p].portPath.get()))
                return out; // the device list is not in step with the table yet
            break;
        }
    }

    auto assign = [&](int port, const QString &path, bool connect) {
        gPortInfo[port].portPath.set(path);
        if (mRecordMatch) mRecordMatch(port, path);
        out.assigned.append({port, path});
        if (connect) {
            int expected = PORT_STATUS_NONE;
            gPortInfo[port].status.compare_exchange_strong(expected, PORT_STATUS_CONNECTED);
        } else {
            // The port keeps status 0 and the watch thread's next scan marks
            // it connected: ask for that scan now rather than waiting for
            // some other device to come or go, which may never happen.
            gDeviceChanged = true;
        }
    };

    for (const QString &raw : devices) {
        const QString path = raw.simplified();
        bool assigned = false;
        for (int p = 0; p < PORT_COUNT && !assigned; ++p)
            assigned = gPortInfo[p].portPath == path;
        if (assigned) continue;

        bool ok = false;
        const int n = path.isEmpty() ? 0 : path.right(1).toInt(&ok);
        qDebug().noquote() << "port index" << n;
        if (ok && n >= 1 && n <= 7) {
            const int i = n - 1;
            qDebug().noquote() << i << " " << path;
            if (isFree(i, true)) {
                assign(i, path, true);
                return out;
            }
            for (int j = 0; j < PORT_COUNT; ++j) {
                if (isFree(j, true)) {
                    assign(j, path, false);
                    break;
                }
            }
            out.message = QString::fromLatin1(kPullOutMessage);
            mMessageOpen = true;
            return out;
        }
        qDebug().noquote() << "why this happen?  port match";
        for (int j = 0; j < PORT_COUNT; ++j) {
            if (isFree(j, false)) {
                assign(j, path, false);
                break;
            }
        }
    }
    return out;
}

QString PortRefresh::statisticsText() {
    QString text = QStringLiteral("success:%1 failed:%2 failed postion:  ")
                       .arg(gSuccessCount.load())
                       .arg(gFailCount.load());
    const int steps = qMin(gStepCount.load(), FAIL_STEP_SLOTS);
    for (int j = 0; j < steps; ++j) {
        const int n = gFailCountByStep[j].load();
        if (n != 0) text += QStringLiteral(" s%1:%2").arg(j).arg(n);
    }
    return text;
}

void PortRefresh::halt() {
    // Every gate refuses before any request in flight is cancelled.
    for (BurnThread *t : mThreads) {
        if (!t) continue;
        t->setStopped(true);
        t->deviceGate().shut();
    }
    for (BurnThread *t : mThreads)
        if (t) t->deviceGate().close();
}

void PortRefresh::stop() {
    gBurning = false;
    {
        WriteLocker lock(&gPortLock);
        halt();
    }
    for (int i = 0; i < PORT_COUNT; ++i) {
        if (!mThreads[i]) continue;
        mThreads[i]->join();
        // A burn cut short by Stop leaves an interrupted record.
        mThreads[i]->interruptRecord();
        gPortInfo[i].status = PORT_STATUS_NONE;
        gPortInfo[i].progress = 0;
    }
    for (int i = 0; i < PORT_COUNT; ++i)
        gPortInfo[i].lastResult = 0;
}

BurnThread *PortRefresh::thread(int port) const {
    return (port >= 0 && port < PORT_COUNT) ? mThreads[port] : nullptr;
}
