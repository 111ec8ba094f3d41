// One tick of a port's burn: the step taken for each port status, and the
// re-match of a device that re-enumerated on another port.
#include "burnthread.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <unistd.h>

#include "buildvariant.h"
#include "burnclock.h"
#include "burnplan.h"
#include "burnstate.h"
#include "hubsift.h"
#include "vyrrequests.h"

namespace {

bool isNoReplyCommand(const QString &cmd) {
    return cmd == QLatin1String("reset") || cmd == QLatin1String("shutdown") ||
           cmd == QLatin1String("poweroff") || cmd == QLatin1String("erase_test");
}

} // namespace

int BurnThread::bootLoaderWaitLimit(const QString &count) {
    const int n = count.toInt();
    return (n < 10 || n > 300) ? 35 : n;
}

int BurnThread::bootmWaitLimit(const QString &count) {
    const int n = count.toInt();
    return (n < 5 || n > 300) ? 30 : n;
}

void BurnThread::resetMembers() {
    mDiskFound = false;
    mMediaCopied = false;
    mCmdSent = false;
    mResultPending = true;
    mDiskPath.clear();
    mStopped = true;
}

void BurnThread::burnProcess() {
    PortInfo &info = gPortInfo[mThreadOrder];
    switch (info.status.load()) {
    case PORT_STATUS_NONE:
        resetMembers();
        break;
    case PORT_STATUS_CONNECTED:
        info.progress = 0;
        info.message.set(QString());
        resetMembers();
        info.lastResult = 1;
        info.status = gBurning.load() ? PORT_STATUS_START : PORT_STATUS_WAIT_START;
        break;
    case PORT_STATUS_START:
        info.status = PORT_STATUS_LOADING;
        mCurBurnCmd = 0;
        mBurnWaitCount = 0;
        // A new burn starts with fresh loading counters, whatever the last
        // burn on this port left behind.
        mLoadedStage = 0;
        mUbootLoaded = false;
        mJustLoaded = false;
        mCrcRetry = 0;
        mUbootFailCount = 0;
        break;
    case PORT_STATUS_WAIT_START:
        if (gBurning.load()) info.status = PORT_STATUS_START;
        break;
    case PORT_STATUS_LOADING:
        loadStep();
        break;
    case PORT_STATUS_UPDATE_BURNING_TOUBOOT:
        waitForBootLoader();
        break;
    case PORT_STATUS_WAIT_BOOTM:
        waitForRomExit();
        break;
    case PORT_STATUS_WAIT_DISK:
        waitForDisk();
        break;
    case PORT_STATUS_RECOVERY:
        runRecovery();
        break;
    case PORT_STATUS_SUCCESS:
        holdSuccess();
        break;
    case PORT_STATUS_FAILED:
        holdFailure();
        break;
    default:
        break;
    }
}

// Waiting for a boot loader that was loaded and started.
void BurnThread::waitForBootLoader() {
    PortInfo &info = gPortInfo[mThreadOrder];
    const QString count = record(mCurBurnCmd - 1).count();
    qDebug().noquote() << "PORT_STATUS_UPDATE_BURNING_TOUBOOT " << count.toInt();
    mMaxBurnWaitNum = bootLoaderWaitLimit(count);

    if (buildVariant() == BuildVariant::SingleDevice) {
        WriteLocker lock(&gScanLock);
        rematchPortInfo();
    }

    if (!isDevicePresent()) {
        if (mBurnWaitCount > 8 && mBurnWaitCount % 3 == 0) {
            qDebug().noquote() << "mThreadOrder:" << mThreadOrder
                               << "after load uboot, disconnect,  mBurnWaitCount:"
                               << mBurnWaitCount;
            logShow(" after load uboot, disconnect");
        }
        mBurnWaitCount += 1;
    } else {
        const int value = identifyDevice();
        if (value == vyrreq::StageBootLoader) {
            if (gEraseMode.load()) {
                const QString erase = gEraseCommand.get();
                logShow(" erase nand, you are in erase mode: " + erase);
                info.message.set(QStringLiteral("erase nand"));
                sendCommandWithReply(erase, 0);
                info.status = PORT_STATUS_SUCCESS;
                info.lastResult = PORT_STATUS_SUCCESS;
            } else {
                info.status = PORT_STATUS_LOADING;
                mBurnWaitCount = 0;
            }
        } else if (value == vyrreq::StageFirstLoader) {
            // The first-stage loader still answers: keep waiting without
            // spending the limit.
            if (mBurnWaitCount > 8 && mBurnWaitCount % 3 == 0) {
                qDebug().noquote() << "mThreadOrder:" << mThreadOrder << "why here  8 again?";
                logShow(" uboot,why here  8 again?");
            }
        } else {
            if (mBurnWaitCount > 8 && mBurnWaitCount % 5 == 0) {
                qDebug().noquote()
                    << "mThreadOrder:" << mThreadOrder << "after uboot,  idenval:" << value;
                logShow("after uboot,  idenval:" + QString::number(value));
            }
            mBurnWaitCount += 1;
        }
    }

    if (mBurnWaitCount == 15) {
        logShow("wait uboot run ,scan system again!!! ");
        gRescanRequest = true;
    }
    if (mBurnWaitCount > mMaxBurnWaitNum) {
        qDebug().noquote() << "mThreadOrder:" << mThreadOrder
                           << "run uboot failed, so make it disconnected";
        logShow(" wait uboot run failed " + QString::number(mMaxBurnWaitNum) + " times," +
                " so make it disconnected");
        fail();
        mBurnWaitCount = 0;
    }
}

// bootm was sent: wait for the ROM-mode device to leave.
void BurnThread::waitForRomExit() {
    PortInfo &info = gPortInfo[mThreadOrder];
    if (isDevicePresent()) {
        mBurnWaitCount += 1;
        if (mBurnWaitCount > 20) {
            qDebug().noquote() << "mThreadOrder:" << mThreadOrder << " failed to call bootm";
            logShow(" failed to call bootm");
            fail();
            mBurnWaitCount = 0;
        }
        return;
    }
    const QString count = record(mCurBurnCmd - 1).count();
    qDebug().noquote() << "mMaxBurnWaitNum" << count.toInt();
    mMaxBurnWaitNum = bootmWaitLimit(count);
    mLastCmdText = record(planCount() - 1).cmd();
    mBurnWaitCount = 0;
    info.status = PORT_STATUS_WAIT_DISK;
    mNeedDiskCheck = true;
}

// Waiting for the device's volume to show and its recovery to report ready.
void BurnThread::waitForDisk() {
    PortInfo &info = gPortInfo[mThreadOrder];
    mBurnWaitCount += 1;
    if (!mDiskFound) {
        mDiskPath = findDiskPath();
        if (!mDiskPath.isEmpty() && QDir(mDiskPath).exists()) {
            logShow("find disk: " + mDiskPath);
            mDiskFound = true;
        }
    }
    if (mDiskFound) {
        const QString state = getUpdateStatus();
        qDebug().noquote() << state;
        if (state == QLatin1String("ready")) {
            mMaxBurnWaitNum = 20;
            info.status = PORT_STATUS_RECOVERY;
            mBurnWaitCount = 0;
            // The recovery must never start from a package of an earlier burn.
            const QString update = mDiskPath + QStringLiteral("/update.zip");
            const QString patch = mDiskPath + QStringLiteral("/patch.zip");
            if (QFile::exists(update))
                QFile::remove(update);
            else if (QFile::exists(patch))
                QFile::remove(patch);
            return;
        }
    }
    if (mBurnWaitCount > mMaxBurnWaitNum) {
        fail();
        logShow("cannot find disk! " + QString::number(mMaxBurnWaitNum) + "times");
    }
}

void BurnThread::advanceRecoveryCommand() {
    mCmdSent = false;
    mCurBurnCmd += 1;
    const int count = planCount();
    if (count > 0) gPortInfo[mThreadOrder].progress = mCurBurnCmd * 100 / count;
    mBurnWaitCount = 0;
}

// Handing the remaining plan commands to the recovery system on the volume.
void BurnThread::runRecovery() {
    PortInfo &info = gPortInfo[mThreadOrder];
    mBurnWaitCount += 1;
    qDebug().noquote() << mCurBurnCmd << " / " << gStepCount.load();

    if (mCurBurnCmd > planCount()) {
        info.status = PORT_STATUS_SUCCESS;
        return;
    }

    if (!mCmdSent) {
        // A record index at or beyond the plan's count is an empty record,
        // whatever sn numbers the plan file used.
        const BurnCommand &rec = planRecord(mCurBurnCmd);
        mRecoveryCmd = rec.command.trimmed();
        const qsizetype open = mRecoveryCmd.indexOf(QLatin1Char('('));
        if (open >= 0) {
            const qsizetype close = mRecoveryCmd.lastIndexOf(QLatin1Char(')'));
            mPrepareCmd = close > open ? mRecoveryCmd.mid(open + 1, close - open - 1)
                                       : mRecoveryCmd.mid(open + 1);
            mRecoveryCmd = mRecoveryCmd.left(open);
        } else {
            mPrepareCmd.clear();
        }
        if (mRecoveryCmd.isEmpty()) {
            mCurBurnCmd += 1;
            return;
        }
        logShow("recoveyCommand:  " + mRecoveryCmd + " prepareCommand: " + mPrepareCmd);
        info.message.set(mRecoveryCmd + " :" + mDiskPath);
        mMaxBurnWaitNum = 20;

        if (mRecoveryCmd == QLatin1String("copy_media")) {
            // Copies and moves on, or fails; a second media copy in the same
            // burn does neither, and its wait runs on to the overtime below.
            copyMediaCommand();
            if (info.status.load() != PORT_STATUS_RECOVERY) return;
        } else {
            if (mRecoveryCmd.startsWith(QLatin1String("update:"))) {
                mMaxBurnWaitNum = rec.count().toInt();
                if (!placeUpdateFile(mRecoveryCmd.mid(7))) return;
            }
            if (!sendCommandToRecovery(mRecoveryCmd)) {
                if (mBurnWaitCount > mMaxBurnWaitNum) {
                    fail();
                    logShow(mRecoveryCmd + " overtime " + QString::number(mMaxBurnWaitNum));
                }
                return;
            }
            if (isNoReplyCommand(mRecoveryCmd)) {
                mCurBurnCmd += 1;
                info.lastResult = PORT_STATUS_SUCCESS;
            } else {
                mCmdSent = true;
            }
        }
    } else {
        const QString state = getUpdateStatus();
        qDebug().noquote() << state;
        if (state.startsWith(QLatin1String("success"))) {
            advanceRecoveryCommand();
            logShow(mRecoveryCmd + " " + state);
            return;
        }
        if (state.startsWith(QLatin1String("failed"))) {
            fail();
            logShow(mRecoveryCmd + " " + state);
            return;
        }
        if (mBurnWaitCount == 5 && !mPrepareCmd.isEmpty()) {
            runPreparation();
            if (info.status.load() == PORT_STATUS_FAILED) return;
        }
    }

    if (mBurnWaitCount > mMaxBurnWaitNum) {
        fail();
        logShow(mRecoveryCmd + " overtime " + QString::number(mMaxBurnWaitNum));
    }
}

// Success: count it once, then wait for the device (erase mode) or its volume
// to go.
void BurnThread::holdSuccess() {
    PortInfo &info = gPortInfo[mThreadOrder];
    info.progress = 100;
    if (mResultPending) {
        mResultPending = false;
        recordSuccess();
    }
    pause(1000);
    mDiskPath = findDiskPath();
    if (gEraseMode.load()) {
        if (!isDevicePresent()) info.status = PORT_STATUS_NONE;
    } else if (mDiskPath.isEmpty() || !QDir(mDiskPath).exists()) {
        info.status = PORT_STATUS_NONE;
    }
}

// Failure: count it once, ask for a fresh device list, then wait for both the
// ROM-mode device and its volume to go.
void BurnThread::holdFailure() {
    PortInfo &info = gPortInfo[mThreadOrder];
    if (mResultPending) info.lastResult = PORT_STATUS_FAILED;
    info.message.set(mDiskPath);
    mDiskPath = findDiskPath();
    if (!isDevicePresent() && mDiskPath.isEmpty()) info.status = PORT_STATUS_NONE;
    if (mResultPending) {
        recordFailure(mCurBurnCmd);
        const QString st = (info.status.load() == PORT_STATUS_NONE
                                ? QStringLiteral("failed because no connected device ,current "
                                                 "step is %1 ")
                                : QStringLiteral("failed ,current step is %1 "))
                               .arg(mCurBurnCmd);
        qDebug().noquote() << st;
        logShow(st);
        mResultPending = false;
        gRescanRequest = true;
    }
}

// Called under gScanLock. Follows this port's device (recognised by the id
// written into its RAM) when it shows up on another path.
void BurnThread::rematchPortInfo() {
    logShow(QStringLiteral("rematchPortInfo"));
    const QStringList paths = currentDevPaths();
    for (const QString &path : paths) {
        if (!mGate.isOpen()) return;
        bool matched = false;
        for (int p = 0; p < PORT_COUNT; ++p) {
            if (gPortInfo[p].portPath == path) {
                matched = true;
                break;
            }
        }
        qDebug().noquote() << "all match port? " << matched;
        if (matched) continue;
        const QByteArray latin = path.toLatin1();
        const VyrHandle handle = VyrGetDeviceHandle(deviceName, latin.constData());
        if (handle <= 0) continue; // cannot be read now; looked at again next tick
        // A failed read fails this port's burn ("read command data to ram
        // failed! "), as every read of the id does.
        const QString id = readIdValue(handle);
        if (gPortInfo[mThreadOrder].status.load() == PORT_STATUS_FAILED) {
            ::close(static_cast<int>(handle));
            return;
        }
        for (int k = 0; k < PORT_COUNT; ++k) {
            const QString devId = gPortInfo[k].devId.get();
            // The id travels with its terminating zero, so the text read
            // back is the whole id: compare whole texts, so that an id
            // never claims a device whose id merely begins with it.
            if (!devId.isEmpty() && id == devId) {
                qDebug().noquote()
                    << "replace portpath" << gPortInfo[k].portPath.get() << " to  " << path;
                gPortInfo[k].portPath.set(path);
            }
        }
        ::close(static_cast<int>(handle));
    }
}
