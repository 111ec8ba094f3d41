// The data and command channel to one device: files and texts into device
// RAM, the identification text back, text commands to the boot loader with
// their reply, and commands to the recovery system through its volume.
#include "burnthread.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <cstring>
#include <vector>

#include "burnclock.h"
#include "burnstate.h"
#include "loaderchannel.h"
#include "romvane.h"

namespace {

constexpr qint64 kPieceSize = 65536; // largest piece of a file per transfer
constexpr int kIdLength = 32;        // identification text read back
constexpr int kReplyLength = 64;     // boot loader reply
constexpr int kRecoveryBuffer = 128; // recovery command and result texts

QString latinUpToZero(const char *data, int maxLength) {
    int n = 0;
    while (n < maxLength && data[n] != '\0')
        ++n;
    return QString::fromLatin1(data, n);
}

} // namespace

void BurnThread::writeFileToRam(const QString &path, uint32_t address, bool runAfter) {
    PortInfo &info = gPortInfo[mThreadOrder];
    if (path.isEmpty()) {
        logShow(QStringLiteral("filepath == NULL "));
        fail();
        return;
    }
    QString localPath = path;
    localPath.replace(QLatin1Char('\\'), QLatin1Char('/'));
    // Only a regular file is opened: a FIFO would block here for ever, and a
    // device node has no size to announce.
    if (QFileInfo::exists(localPath) && !QFileInfo(localPath).isFile()) {
        logShow("not a regular file: " + path);
        fail();
        return;
    }
    QFile file(localPath);
    if (!file.open(QIODevice::ReadOnly)) {
        logShow("can not open the file " + path);
        fail();
        return;
    }

    qint64 remaining = file.size();
    qint64 offset = 0;
    const VyrHandle handle = openDeviceHandle();
    info.handle = handle;
    LoaderChannel loader = channel(handle);
    std::vector<char> buffer(static_cast<size_t>(kPieceSize));
    uint32_t pieceAddress = address;

    while (remaining != 0) {
        const qint64 n = qMin(remaining, kPieceSize);
        if (file.read(buffer.data(), n) != n) {
            logShow(QStringLiteral("write data to ram failed!"));
            fail();
            return;
        }
        uint32_t written = 0;
        const int r =
            loader.writeRam(pieceAddress, buffer.data(), static_cast<uint32_t>(n), &written);
        const bool going = gBurning.load() && mGate.isOpen();
        if (r == 0 && going) {
            // 0 means the whole piece went.
            const qint64 moved = (written > 0 && written <= n) ? written : n;
            remaining -= moved;
            pieceAddress += static_cast<uint32_t>(moved);
            offset += moved;
            file.seek(offset);
            continue;
        }
        if (!going) {
            qDebug().noquote() << "mThreadOrder" << mThreadOrder << "stopped";
            fail();
            return;
        }
        qDebug().noquote() << "mThreadOrder" << mThreadOrder << "write data to ram failed!";
        logShow(QStringLiteral("write data to ram failed!"));
        fail();
        return;
    }

    logShow("Transfer Complete! total size is " + QString::number(offset) + " Bytes");
    qDebug().noquote() << "mThreadOrder" << mThreadOrder << "Transfer Complete! total size is "
                       << offset;

    if (runAfter) {
        // One device at a time starts loaded code, each followed by a pause.
        WriteLocker lock(&gRunLock);
        loader.run(address);
        pause(3000);
    }
}

void BurnThread::writeCommandToRam(const QString &text, uint32_t address) {
    PortInfo &info = gPortInfo[mThreadOrder];
    const VyrHandle handle = openDeviceHandle();
    info.handle = handle;
    QByteArray data = text.toLatin1();
    data.append('\0'); // the terminating zero travels too
    if (channel(handle).writeRam(address, data.constData(), static_cast<uint32_t>(data.size())) !=
        0) {
        logShow(QStringLiteral("write command data to ram failed! "));
        fail();
    }
}

bool BurnThread::readIdText(VyrHandle handle, QString *text) {
    char buffer[kIdLength];
    std::memset(buffer, 0, sizeof buffer);
    const bool ok = channel(handle).readRam(commandRamAddress, buffer, kIdLength) == 0;
    *text = ok ? latinUpToZero(buffer, kIdLength) : QString();
    return ok;
}

QString BurnThread::readIdValue(VyrHandle handle) {
    QString text;
    if (!readIdText(handle, &text)) {
        logShow(QStringLiteral("read command data to ram failed! "));
        fail();
    }
    qDebug().noquote() << "read id value" << text;
    return text;
}

QString BurnThread::sendCommandWithReply(const QString &command, int pollCount) {
    if (!isDevicePresent()) return QString();
    logShow("sendCommandWithReply: " + command + " maxCount:" + QString::number(pollCount));
    if (identifyDevice() < 0) return QString();

    // A text that would not fit the block whole is not sent.
    LoaderChannel loader = channel(gPortInfo[mThreadOrder].handle.load());
    if (loader.textCommand(command.trimmed().toLatin1()) != 0) return QString();

    char reply[kReplyLength];
    for (;;) {
        const int left = pollCount--;
        if (left <= 0 || !gBurning.load() || !mGate.isOpen()) return QString();
        if (loader.readStatus(reply, kReplyLength) == 0) return latinUpToZero(reply, kReplyLength);
        pause(1000);
    }
}

bool BurnThread::sendCommandToRecovery(const QString &command) {
    qDebug().noquote() << "sendCommandToRecovery" << command;
    const QByteArray drive = mDiskPath.trimmed().toLatin1();
    const QByteArray text = command.trimmed().toLatin1();
    const qsizetype length = command.toLatin1().size();
    if (length > kRecoveryBuffer - 1) {
        // Would not fit the buffer whole; a cut command must not be handed on.
        logShow("command too long: " + command);
        return false;
    }
    char data[kRecoveryBuffer];
    std::memset(data, 0, sizeof data);
    std::memcpy(data, text.constData(), static_cast<size_t>(text.size()));

    if (!mGate.isOpen()) return false;
    if (VyrSetFileCopyCompleteEx(drive.constData(), data, static_cast<uint32_t>(length)) == 0) {
        logShow("send command : " + mLastCmdText + " ok!");
        return true;
    }
    pause(1000);
    if (!mGate.isOpen()) return false;
    if (VyrSetFileCopyCompleteEx(drive.constData(), data, static_cast<uint32_t>(length)) == 0) {
        logShow("send command 2nd time : " + mLastCmdText + " ok!");
        return true;
    }
    logShow("send command : " + mLastCmdText + " failed 2 times!");
    return false;
}

QString BurnThread::getUpdateStatus() {
    if (!mGate.isOpen()) return QString();
    const QByteArray drive = mDiskPath.trimmed().toLatin1();
    char buffer[kRecoveryBuffer + 1];
    std::memset(buffer, 0, sizeof buffer);
    uint32_t count = kRecoveryBuffer;
    if (VyrGetUpdateComplete(drive.constData(), buffer, &count) != 0) return QString();
    return latinUpToZero(buffer, kRecoveryBuffer).trimmed();
}
