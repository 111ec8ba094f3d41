// Walking the burn plan through the ROM code and the two loaders: one plan
// command per tick while the port is loading.
#include "burnthread.h"

#include <QDebug>
#include <cstring>
#include <random>

#include "buildvariant.h"
#include "burnclock.h"
#include "burnplan.h"
#include "burnstate.h"
#include "romvane.h"

namespace {

// The shared random generator of the id numbers; seeded and drawn under
// gScanLock.
std::minstd_rand &idGenerator() {
    static std::minstd_rand generator;
    return generator;
}

uint32_t hexAddress(const QString &text) {
    return text.trimmed().toUInt(nullptr, 16);
}

// A boot loader command travels in a 68-byte block: the text from byte 0
// (at most 64 bytes), zeros, and byte 66 = 1.
constexpr int kCmdBlockLength = 68;
constexpr int kCmdTextRoom = 64;
constexpr int kCmdFlagByte = 66;

} // namespace

int BurnThread::makeDevId() {
    WriteLocker lock(&gScanLock);
    idGenerator().seed(static_cast<unsigned>(BurnClock::millisecondsOfMinute()));
    return static_cast<int>(idGenerator()() % 10000) + mThreadOrder;
}

bool BurnThread::loadSpl() {
    const int value = identifyDevice();
    if (value == -1) {
        qDebug().noquote() << "before loadSpl, identify is -1";
        return false;
    }
    if (value == 0) {
        const BurnCommand &rec = record(mCurBurnCmd);
        mLoadedStage = 1;
        writeFileToRam(rec.path(), hexAddress(rec.address()), rec.run() == QLatin1String("true"));
        mJustLoaded = true;
    }
    return true;
}

bool BurnThread::loadUboot() {
    PortInfo &info = gPortInfo[mThreadOrder];
    const BurnCommand &rec = record(mCurBurnCmd);
    const bool writeId = buildVariant() == BuildVariant::SingleDevice;
    const int value = identifyDevice();
    qDebug().noquote() << "mThreadOrder:" << mThreadOrder << "mCurBurnCmd:" << mCurBurnCmd;
    if (value == 8) {
        if (writeId) {
            const QString id = QString::number(makeDevId());
            info.devId.set(id);
            qDebug().noquote() << "write spl id" << id;
            writeCommandToDefaultRam(id);
        }
        mLoadedStage = 2;
        if (rec.run() == QLatin1String("true")) {
            info.status = PORT_STATUS_UPDATE_BURNING_TOUBOOT;
            writeFileToRam(rec.path(), hexAddress(rec.address()), true);
        } else {
            writeFileToRam(rec.path(), hexAddress(rec.address()), false);
        }
        mJustLoaded = true;
        qDebug().noquote() << "mThreadOrder:" << mThreadOrder << "load uboot ok";
        return true;
    }
    if (value == 16) {
        if (writeId) {
            const QString id = QString::number(makeDevId());
            info.devId.set(id);
            qDebug().noquote() << "write spl id" << id;
            writeCommandToDefaultRam(id);
        }
        qDebug().noquote() << "thread" << mThreadOrder << "uboot is already existed";
        return true;
    }
    qDebug().noquote() << "thread" << mThreadOrder << "spl code,identy = " << value;
    return false;
}

void BurnThread::loadUimage() {
    if (identifyDevice() != 16) return;
    const BurnCommand &rec = record(mCurBurnCmd);
    writeFileToRam(rec.path(), hexAddress(rec.address()), rec.run() == QLatin1String("true"));
    mJustLoaded = true;
}

// The step after a command was carried out: bootm hands the device over, the
// next command becomes current, and a fresh load gets time to settle.
void BurnThread::advance() {
    PortInfo &info = gPortInfo[mThreadOrder];
    if (record(mCurBurnCmd).command.startsWith(QLatin1String("bootm"))) {
        info.status = PORT_STATUS_WAIT_BOOTM;
        BurnClock::sleepMs(2000);
        mBurnWaitCount = 0;
        logShow(QStringLiteral("boot uImage ..."));
    }
    mCurBurnCmd += 1;
    mBurnWaitCount = 0;
    const int count = planCount();
    if (count > 0) info.progress = mCurBurnCmd * 100 / count;
    if (mJustLoaded) {
        BurnClock::sleepMs(5000);
        mJustLoaded = false;
    }
}

void BurnThread::loadStep() {
    PortInfo &info = gPortInfo[mThreadOrder];
    const int count = planCount();
    if (count <= 0) return;
    if (mCurBurnCmd >= count) {
        qDebug().noquote() << "mThreadOrder:" << mThreadOrder << "all cmd is finished";
        logShow(QStringLiteral("all cmd is finished"));
        info.status = PORT_STATUS_SUCCESS;
        return;
    }

    const BurnCommand &rec = record(mCurBurnCmd);
    const QString cmdText = rec.command.trimmed();

    if (cmdText == QLatin1String("load spl")) {
        info.message.set(cmdText);
        mUbootLoaded = false;
        mLoadedStage = 0;
        qDebug().noquote() << "mThreadOrder:" << mThreadOrder << "load spl ...";
        if (mBurnWaitCount % 5 == 0) logShow(QStringLiteral("load spl ..."));
        if (!loadSpl()) {
            mBurnWaitCount += 1;
            if (mBurnWaitCount == 15) gRescanRequest = true;
            if (mBurnWaitCount > 30) {
                mBurnWaitCount = 0;
                fail();
                const QString text =
                    QStringLiteral("load spl failed 20 times,maybe because rom code cannot run");
                qDebug().noquote() << "mThreadOrder:" << mThreadOrder << text;
                logShow(text);
            }
            return;
        }
        mUbootFailCount = 0;
    } else if (cmdText == QLatin1String("load uboot")) {
        info.message.set(cmdText);
        qDebug().noquote() << "mThreadOrder:" << mThreadOrder << "load uboot ...";
        mBurnWaitCount = 0;
        logShow(QStringLiteral("load uboot ..."));
        if (!loadUboot()) {
            mUbootFailCount += 1;
            qDebug().noquote() << "mThreadOrder:" << mThreadOrder << "load uboot failed "
                               << mUbootFailCount << " times";
            if (mUbootFailCount > 20) {
                mUbootFailCount = 0;
                fail();
                const QString text =
                    QStringLiteral("load uboot failed 15 times,maybe because the spl code run err");
                qDebug().noquote() << "mThreadOrder:" << mThreadOrder << text;
                logShow(text);
            }
            return;
        }
        mUbootLoaded = true;
    } else if (cmdText.startsWith(QLatin1String("run"))) {
        if (mUbootLoaded && identifyDevice() == 16) {
            info.status = PORT_STATUS_UPDATE_BURNING_TOUBOOT;
        } else {
            info.message.set(cmdText);
            QString addressText = cmdText;
            addressText.remove(QStringLiteral("run"));
            const uint32_t address = hexAddress(addressText);
            logShow("begin run " + QString::number(address, 16));
            {
                WriteLocker lock(&gRunLock);
                const VyrHandle handle = openDeviceHandle();
                info.handle = handle;
                uint32_t reqActual = 0;
                RomRequest req{};
                req.actual_len = &reqActual;
                req.handle = handle;
                req.ram_addr = address;
                VyrUsbRunBinCode(&req);
                BurnClock::sleepMs(3000);
            }
            if (mUbootLoaded) {
                logShow("finish run " + QString::number(address, 16));
                info.status = PORT_STATUS_UPDATE_BURNING_TOUBOOT;
            } else {
                logShow(QStringLiteral("why here"));
            }
        }
    } else if (cmdText == QLatin1String("load uimage")) {
        info.message.set(cmdText);
        if (mBurnWaitCount == 0) logShow(QStringLiteral("load uimage ..."));
        mBurnWaitCount += 1;
        loadUimage();
    } else if (cmdText == QLatin1String("load to ram")) {
        info.message.set(cmdText);
        if (mBurnWaitCount == 0) logShow("load file: " + rec.path() + " ...");
        mBurnWaitCount += 1;
        if (mBurnWaitCount > 10) {
            mBurnWaitCount = 0;
            fail();
            qDebug().noquote() << "mThreadOrder:" << mThreadOrder << "load file err  10 times";
            logShow("load file: " + rec.path() + " failed for 10 times");
            return;
        }
        if (identifyDevice() < 0) return;
        writeFileToRam(rec.path(), hexAddress(rec.address()), false);
    } else if (cmdText.startsWith(QLatin1String("crc"))) {
        const int attempt = mCrcRetry;
        mCrcRetry += 1;
        if (attempt > 3) {
            fail();
            logShow(cmdText + " failed ");
            mCrcRetry = 0;
            return;
        }
        logShow("test command exec: " + cmdText);
        const QString previous = recordCommand(mCurBurnCmd - 1);
        bool runCheck = true;
        if (previous.startsWith(QLatin1String("load spl"))) {
            // The first-stage loader cannot answer a check.
            if (mLoadedStage == 1) mLoadedStage = 0;
            runCheck = false;
        } else if (previous.startsWith(QLatin1String("load uboot"))) {
            // Only a boot loader loaded by this burn is checked.
            if (mLoadedStage == 2)
                mLoadedStage = 0;
            else
                runCheck = false;
        }
        if (runCheck) {
            info.message.set(cmdText);
            logShow("command exec: " + cmdText);
            const QString reply = sendCommandWithReply(cmdText, 30);
            qDebug().noquote() << "----------crc check value:" << reply;
            if (!reply.startsWith(QLatin1String("success"))) {
                // Repeat the load before it, then check again.
                if (mCurBurnCmd > 0) mCurBurnCmd -= 1;
                logShow("command exec once more: " + record(mCurBurnCmd).command);
                return;
            }
        }
        mCrcRetry = 0;
    } else if (cmdText == QLatin1String("load addr")) {
        info.message.set(cmdText);
        if (mBurnWaitCount == 0) logShow("load command: " + rec.cmd());
        mBurnWaitCount += 1;
        if (mBurnWaitCount > 10) {
            mBurnWaitCount = 0;
            fail();
            qDebug().noquote() << "mThreadOrder:" << mThreadOrder << "load cmmand err  10 times";
            logShow("load command: " + rec.cmd() + " failed for  10 times");
            return;
        }
        if (identifyDevice() < 0) return;
        writeCommandToRam(rec.cmd(), hexAddress(rec.address()));
    } else {
        info.message.set(cmdText);
        mBurnWaitCount += 1;
        if (mBurnWaitCount > 15) {
            mBurnWaitCount = 0;
            fail();
            qDebug().noquote() << "mThreadOrder:" << mThreadOrder << "command exec err  15 times";
            logShow("command exec:" + cmdText + " failed for  15 times");
            return;
        }
        if (identifyDevice() < 0) return;
        const QByteArray text = cmdText.toLatin1();
        if (text.size() > kCmdTextRoom) {
            // It would not fit the block whole; a cut command must not run.
            logShow("send command:" + cmdText + " failed!");
            fail();
            return;
        }
        unsigned char block[128];
        std::memset(block, 0, sizeof block);
        std::memcpy(block, text.constData(), static_cast<size_t>(text.size()));
        block[kCmdFlagByte] = 1;
        logShow("command exec:" + cmdText);
        uint32_t reqActual = 0;
        RomRequest req{};
        req.actual_len = &reqActual;
        req.handle = info.handle.load();
        req.length = kCmdBlockLength;
        req.buffer = block;
        if (VyrUsbTplCmd(&req) != 0) {
            logShow("send command:" + cmdText + " failed!");
            fail();
            return;
        }
        const QString &stored = rec.command;
        const bool noStatus = stored.startsWith(QLatin1String("bootm")) ||
                              stored.startsWith(QLatin1String("reset")) ||
                              stored == QLatin1String("shutdown") ||
                              stored == QLatin1String("poweroff");
        if (!noStatus) {
            unsigned char status[64];
            std::memset(status, 0, sizeof status);
            uint32_t stActual = 0;
            RomRequest st{};
            st.actual_len = &stActual;
            st.handle = info.handle.load();
            st.length = sizeof status;
            st.buffer = status;
            if (VyrUsbReadStatus(&st) != 0) {
                logShow(QStringLiteral("get command status failed!"));
                fail();
                return;
            }
        }
    }
    advance();
}
