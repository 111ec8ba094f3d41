// Walking the burn plan through the ROM code and the two loaders: one plan
// command per tick while the port is loading.
#include "burnthread.h"

#include <QDebug>
#include <iterator>
#include <random>

#include "buildvariant.h"
#include "burnclock.h"
#include "burnplan.h"
#include "burnstate.h"
#include "loaderchannel.h"
#include "vyrrequests.h"

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

// The boot loader's status reply to a text command.
constexpr uint32_t kStatusLength = 64;

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
    if (value == vyrreq::StageRom) {
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
    if (value == vyrreq::StageFirstLoader) {
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
    if (value == vyrreq::StageBootLoader) {
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
    if (identifyDevice() != vyrreq::StageBootLoader) return;
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
        pause(2000);
        mBurnWaitCount = 0;
        logShow(QStringLiteral("boot uImage ..."));
    }
    mCurBurnCmd += 1;
    mBurnWaitCount = 0;
    const int count = planCount();
    if (count > 0) info.progress = mCurBurnCmd * 100 / count;
    if (mJustLoaded) {
        pause(5000);
        mJustLoaded = false;
    }
}

// The plan's loading commands. Each row names how a command is known, what
// is counted against its limit, the limit and the port log line of the
// failure; loadStep walks the row of the current command.
const BurnThread::LoadKind BurnThread::kLoadKinds[] = {
    // Failed attempts counted; a system rescan is asked at the fifteenth.
    {"load spl", false, true, &BurnThread::mBurnWaitCount, Counting::FailedAttempts, 30, 15,
     "load spl failed 20 times,maybe because rom code cannot run", FailNames::Nothing, nullptr,
     &BurnThread::announceSpl, &BurnThread::attemptSpl},
    {"load uboot", false, true, &BurnThread::mUbootFailCount, Counting::FailedAttempts, 20, 0,
     "load uboot failed 15 times,maybe because the spl code run err", FailNames::Nothing, nullptr,
     &BurnThread::announceUboot, &BurnThread::attemptUboot},
    {"run", true, false, nullptr, Counting::Nothing, 0, 0, nullptr, FailNames::Nothing, nullptr,
     nullptr, &BurnThread::attemptRun},
    // Ticks counted before each attempt.
    {"load uimage", false, true, &BurnThread::mBurnWaitCount, Counting::Ticks, 0, 0, nullptr,
     FailNames::Nothing, nullptr, &BurnThread::announceUimage, &BurnThread::attemptUimage},
    {"load to ram", false, true, &BurnThread::mBurnWaitCount, Counting::Ticks, 10, 0,
     "load file: %1 failed for 10 times", FailNames::File, "load file err  10 times",
     &BurnThread::announceToRam, &BurnThread::attemptToRam},
    {"crc", true, false, &BurnThread::mCrcRetry, Counting::Ticks, 4, 0, "%1 failed ",
     FailNames::Command, "", nullptr, &BurnThread::attemptCheck},
    {"load addr", false, true, &BurnThread::mBurnWaitCount, Counting::Ticks, 10, 0,
     "load command: %1 failed for  10 times", FailNames::RamText, "load cmmand err  10 times",
     &BurnThread::announceAddr, &BurnThread::attemptAddr},
    // Any other text goes to the boot loader as a command.
    {nullptr, false, true, &BurnThread::mBurnWaitCount, Counting::Ticks, 15, 0,
     "command exec:%1 failed for  15 times", FailNames::Command, "command exec err  15 times",
     nullptr, &BurnThread::attemptText},
};

const BurnThread::LoadKind &BurnThread::loadKindOf(const QString &cmdText) {
    for (const LoadKind &kind : kLoadKinds) {
        if (!kind.command) return kind;
        const QLatin1String name(kind.command);
        if (kind.isPrefix ? cmdText.startsWith(name) : cmdText == name) return kind;
    }
    return kLoadKinds[std::size(kLoadKinds) - 1];
}

// One more count of the command's counter; past the limit the burn fails
// with the row's lines and true is returned.
bool BurnThread::countLoad(const LoadKind &kind, const BurnCommand &rec, const QString &cmdText) {
    int &count = this->*kind.counter;
    count += 1;
    if (kind.rescanTick > 0 && count == kind.rescanTick) gRescanRequest = true;
    if (kind.failLimit <= 0 || count <= kind.failLimit) return false;
    count = 0;
    fail();
    QString text = QString::fromLatin1(kind.failText);
    switch (kind.failNames) {
    case FailNames::Nothing:
        break;
    case FailNames::File:
        text = text.arg(rec.path());
        break;
    case FailNames::RamText:
        text = text.arg(rec.cmd());
        break;
    case FailNames::Command:
        text = text.arg(cmdText);
        break;
    }
    if (!kind.debugText)
        qDebug().noquote() << "mThreadOrder:" << mThreadOrder << text;
    else if (*kind.debugText)
        qDebug().noquote() << "mThreadOrder:" << mThreadOrder << kind.debugText;
    logShow(text);
    return true;
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
    const LoadKind &kind = loadKindOf(cmdText);
    if (kind.showsCommand) info.message.set(cmdText);
    if (kind.announce) (this->*kind.announce)(rec, cmdText);
    if (kind.counting == Counting::Ticks && countLoad(kind, rec, cmdText)) return;
    if (!(this->*kind.attempt)(rec, cmdText)) {
        if (kind.counting == Counting::FailedAttempts) countLoad(kind, rec, cmdText);
        return;
    }
    advance();
}

void BurnThread::announceSpl(const BurnCommand &, const QString &) {
    mUbootLoaded = false;
    mLoadedStage = 0;
    qDebug().noquote() << "mThreadOrder:" << mThreadOrder << "load spl ...";
    if (mBurnWaitCount % 5 == 0) logShow(QStringLiteral("load spl ..."));
}

bool BurnThread::attemptSpl(const BurnCommand &, const QString &) {
    if (!loadSpl()) return false;
    mUbootFailCount = 0;
    return true;
}

void BurnThread::announceUboot(const BurnCommand &, const QString &) {
    qDebug().noquote() << "mThreadOrder:" << mThreadOrder << "load uboot ...";
    mBurnWaitCount = 0;
    logShow(QStringLiteral("load uboot ..."));
}

bool BurnThread::attemptUboot(const BurnCommand &, const QString &) {
    if (!loadUboot()) {
        qDebug().noquote() << "mThreadOrder:" << mThreadOrder << "load uboot failed "
                           << mUbootFailCount + 1 << " times";
        return false;
    }
    mUbootLoaded = true;
    return true;
}

bool BurnThread::attemptRun(const BurnCommand &, const QString &cmdText) {
    PortInfo &info = gPortInfo[mThreadOrder];
    if (mUbootLoaded && identifyDevice() == vyrreq::StageBootLoader) {
        info.status = PORT_STATUS_UPDATE_BURNING_TOUBOOT;
        return true;
    }
    info.message.set(cmdText);
    QString addressText = cmdText;
    addressText.remove(QStringLiteral("run"));
    const uint32_t address = hexAddress(addressText);
    logShow("begin run " + QString::number(address, 16));
    {
        WriteLocker lock(&gRunLock);
        const VyrHandle handle = openDeviceHandle();
        info.handle = handle;
        channel(handle).run(address);
        pause(3000);
    }
    if (mUbootLoaded) {
        logShow("finish run " + QString::number(address, 16));
        info.status = PORT_STATUS_UPDATE_BURNING_TOUBOOT;
    } else {
        logShow(QStringLiteral("why here"));
    }
    return true;
}

void BurnThread::announceUimage(const BurnCommand &, const QString &) {
    if (mBurnWaitCount == 0) logShow(QStringLiteral("load uimage ..."));
}

bool BurnThread::attemptUimage(const BurnCommand &, const QString &) {
    loadUimage();
    return true;
}

void BurnThread::announceToRam(const BurnCommand &rec, const QString &) {
    if (mBurnWaitCount == 0) logShow("load file: " + rec.path() + " ...");
}

bool BurnThread::attemptToRam(const BurnCommand &rec, const QString &) {
    if (identifyDevice() < 0) return false;
    writeFileToRam(rec.path(), hexAddress(rec.address()), false);
    return true;
}

bool BurnThread::attemptCheck(const BurnCommand &, const QString &cmdText) {
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
        gPortInfo[mThreadOrder].message.set(cmdText);
        logShow("command exec: " + cmdText);
        const QString reply = sendCommandWithReply(cmdText, 30);
        qDebug().noquote() << "----------crc check value:" << reply;
        if (!reply.startsWith(QLatin1String("success"))) {
            // Repeat the load before it, then check again.
            if (mCurBurnCmd > 0) mCurBurnCmd -= 1;
            logShow("command exec once more: " + record(mCurBurnCmd).command);
            return false;
        }
    }
    mCrcRetry = 0;
    return true;
}

void BurnThread::announceAddr(const BurnCommand &rec, const QString &) {
    if (mBurnWaitCount == 0) logShow("load command: " + rec.cmd());
}

bool BurnThread::attemptAddr(const BurnCommand &rec, const QString &) {
    if (identifyDevice() < 0) return false;
    writeCommandToRam(rec.cmd(), hexAddress(rec.address()));
    return true;
}

bool BurnThread::attemptText(const BurnCommand &rec, const QString &cmdText) {
    if (identifyDevice() < 0) return false;
    const QByteArray text = cmdText.toLatin1();
    if (text.size() > LoaderChannel::kTextRoom) {
        // It would not fit the block whole; a cut command must not run.
        logShow("send command:" + cmdText + " failed!");
        fail();
        return false;
    }
    logShow("command exec:" + cmdText);
    LoaderChannel loader = channel(gPortInfo[mThreadOrder].handle.load());
    if (loader.textCommand(text) != 0) {
        logShow("send command:" + cmdText + " failed!");
        fail();
        return false;
    }
    const QString &stored = rec.command;
    const bool noStatus =
        stored.startsWith(QLatin1String("bootm")) || stored.startsWith(QLatin1String("reset")) ||
        stored == QLatin1String("shutdown") || stored == QLatin1String("poweroff");
    if (!noStatus) {
        unsigned char status[kStatusLength];
        if (loader.readStatus(status, sizeof status) != 0) {
            logShow(QStringLiteral("get command status failed!"));
            fail();
            return false;
        }
    }
    return true;
}
