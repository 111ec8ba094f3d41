// The device's mass-storage volume after bootm: finding it, and the file
// copies the recovery commands need (upgrade file, media directory, prepared
// files). Every copy is on the device before it counts as done
// (VolumeWriter), because the recovery reads its disk as soon as the next
// command arrives.
#include "burnthread.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <climits>
#include <vector>

#include "burnclock.h"
#include "burnplan.h"
#include "burnstate.h"
#include "hubsift.h"
#include "volumewriter.h"

bool BurnThread::isPlainFileName(const QString &name) {
    // What leaves the directory: "." or ".." as a component, an absolute
    // name, any separator. Two dots inside a name ("fw..1.zip") are plain.
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) return false;
    return !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) &&
           !name.contains(QChar(0));
}

int BurnThread::creditPrepareCopy(int waitCount, int waitLimit, qint64 bytes) {
    const qint64 ticks = (bytes >> 20) / 10; // 10 MiB per tick
    if (ticks >= waitLimit) return waitCount;
    int credited = waitCount + static_cast<int>(ticks);
    if (credited >= waitLimit - 8) credited = waitLimit - 8;
    return credited;
}

QString BurnThread::findDiskPath() {
    const QByteArray path = gPortInfo[mThreadOrder].portPath.get().toLatin1();
    std::vector<char> buffer(PATH_MAX, '\0');
    if (mNeedDiskCheck) {
        // The volume is first seen present; its path is asked for from the
        // next tick on.
        if (VyrGetMsNumber(path.constData(), 0, buffer.data()) == 1) mNeedDiskCheck = false;
        return QString();
    }
    VyrGetMsNumber(path.constData(), 1, buffer.data());
    buffer.back() = '\0';
    QString disk = QString::fromLatin1(buffer.data());
    qDebug().noquote() << "st: " << disk;
    if (disk.isEmpty() || !QDir(disk).exists()) disk.clear();
    qDebug().noquote() << "disk path:" << disk;
    return disk;
}

bool BurnThread::copyDirectory(const QDir &fromDir, const QDir &toDir, bool overwrite) {
    VolumeWriter writer(toDir.absolutePath(), &mGate);
    QStringList trees{QFileInfo(fromDir.absolutePath()).canonicalFilePath()};
    if (copyTree(writer, fromDir, toDir, overwrite, trees) && writer.finish()) return true;
    mCopyError = writer.error();
    return false;
}

// `trees`: the real paths of the directory being copied and of every linked
// directory followed on the way down; a link into one of them is a loop.
bool BurnThread::copyTree(VolumeWriter &writer, const QDir &fromDir, const QDir &toDir,
                          bool overwrite, QStringList &trees) {
    QDir formDir_ = fromDir;
    QDir toDir_ = toDir;
    if (!toDir_.exists() && !writer.makeDirectory(toDir_.absolutePath())) return false;
    // The listing's default filter: files and directories, not hidden entries,
    // nor special files (a FIFO would block the copy) or dangling links.
    const QFileInfoList fileInfoList =
        formDir_.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo &fileInfo : fileInfoList) {
        const QString name = fileInfo.fileName();
        if (fileInfo.isDir()) {
            const bool linked = fileInfo.isSymLink();
            const QString real = fileInfo.canonicalFilePath();
            if (linked) {
                for (const QString &tree : std::as_const(trees)) {
                    if (real == tree || real.startsWith(tree + QLatin1Char('/'))) {
                        qDebug().noquote() << "copy " + fileInfo.filePath() << "  to " << name
                                           << "linked directory loops";
                        qDebug().noquote() << "false";
                        writer.refuse(QStringLiteral("linked directory loops"), name);
                        return false;
                    }
                }
                trees.append(real);
            }
            qDebug().noquote() << "copy " + fileInfo.filePath() << "  to " << name;
            const bool copied = copyTree(writer, QDir(fileInfo.filePath()),
                                         QDir(toDir_.filePath(name)), overwrite, trees);
            if (linked) trees.removeLast();
            if (!copied) {
                qDebug().noquote() << "false";
                return false;
            }
        } else {
            // A FIFO, socket or device node would block the copy in open()
            // or copy something that is not a file.
            if (!fileInfo.isFile()) {
                logShow("not a regular file: " + fileInfo.filePath());
                return false;
            }
            const QString target = toDir_.filePath(name);
            if (overwrite && toDir_.exists(name)) writer.removeFile(target);
            qDebug().noquote() << "copy " + fileInfo.filePath() << "  to " << name;
            if (!writer.copyFile(fileInfo.filePath(), target)) {
                qDebug().noquote() << "false";
                return false;
            }
        }
    }
    return true;
}

bool BurnThread::copyFileToVolume(const QString &from, const QString &to) {
    VolumeWriter writer(mDiskPath, &mGate);
    if (writer.copyFile(from, to) && writer.finish()) return true;
    mCopyError = writer.error();
    writer.discard();
    return false;
}

// "update:<name>": put the upgrade file on the volume unless it is there
// already. False when the burn failed here.
bool BurnThread::placeUpdateFile(const QString &fileName) {
    if (!isPlainFileName(fileName)) {
        logShow("refused file name: " + fileName);
        fail();
        return false;
    }
    const QString destination = mDiskPath + QLatin1Char('/') + fileName;
    if (QFile::exists(destination)) return true;
    const QString source = gUpgradeDir.get() + fileName;
    if (QFileInfo::exists(source) && !QFileInfo(source).isFile()) {
        logShow("not a regular file: " + source);
        fail();
        return false;
    }
    qDebug().noquote() << "mMaxBurnWaitNum" << mMaxBurnWaitNum;
    qDebug().noquote() << "copy  " << source << "   to  " << destination;
    if (copyFileToVolume(source, destination)) {
        logShow("copy successed:" + fileName);
        return true;
    }
    pause(2000);
    if (copyFileToVolume(source, destination)) {
        logShow("copy successed 2nd time:" + fileName);
        return true;
    }
    logShow("copy failed 2 times:" + destination + ": " + mCopyError);
    fail();
    return false;
}

// An imported media directory that can no longer be listed: the burn must
// not go on as if no media had been chosen.
bool BurnThread::mediaDirLost(const QString &media) {
    const QFileInfo dir(media);
    if (dir.isDir() && dir.isReadable() && dir.isExecutable()) return false;
    logShow("media directory " + media + " is gone or cannot be read");
    fail();
    return true;
}

// "copy_media": the media directory onto the volume, once per burn.
void BurnThread::copyMediaCommand() {
    const QString media = mediaFilesPath.get();
    if (media.isEmpty()) {
        advanceRecoveryCommand();
        return;
    }
    if (mediaDirLost(media)) return;
    qDebug().noquote() << "mediaFilesPath" << media;
    if (mMediaCopied) return; // a second copy is not made; the wait runs on to its limit
    if (copyDirectory(QDir(media), QDir(mDiskPath + QLatin1Char('/')), true)) {
        advanceRecoveryCommand();
        mMediaCopied = true;
        logShow(mRecoveryCmd + "to" + mDiskPath + " successed");
    } else {
        fail();
        logShow(mRecoveryCmd + "to" + mDiskPath + " failed");
    }
}

// The argument of a running recovery command: a copy made while the device
// is busy with the command.
void BurnThread::runPreparation() {
    PortInfo &info = gPortInfo[mThreadOrder];
    if (mPrepareCmd == QLatin1String("prepare:copy_media")) {
        const QString media = mediaFilesPath.get();
        if (media.isEmpty() || mMediaCopied || mediaDirLost(media)) return;
        qDebug().noquote() << "mediaFilesPath" << media;
        if (copyDirectory(QDir(media), QDir(mDiskPath + QLatin1Char('/')), true)) {
            info.progress = info.progress.load() + 2;
            mMediaCopied = true;
            logShow(mPrepareCmd + "to" + mDiskPath + " successed");
        } else {
            fail();
            logShow(mPrepareCmd + "to" + mDiskPath + " failed: " + mCopyError);
        }
        return;
    }
    if (!mPrepareCmd.startsWith(QLatin1String("prepare"))) return;
    const QString preparename = mPrepareCmd.mid(8);
    if (!isPlainFileName(preparename)) {
        // A failed prepared copy: the burn goes on.
        logShow("prepare file failed:" + preparename + ": refused file name");
        return;
    }
    const QString destination = mDiskPath + QLatin1Char('/') + preparename;
    const QString source = gUpgradeDir.get() + preparename;
    if (QFileInfo::exists(source) && !QFileInfo(source).isFile()) {
        logShow("not a regular file: " + source);
        return;
    }
    logShow(gUpgradeDir.get() + preparename + " to " + destination);
    if (copyFileToVolume(gUpgradeDir.get() + preparename, destination)) {
        logShow("prepare file successed:" + preparename);
        mBurnWaitCount =
            creditPrepareCopy(mBurnWaitCount, mMaxBurnWaitNum, QFileInfo(destination).size());
    } else {
        logShow("prepare file failed:" + preparename + ": " + mCopyError);
    }
}
