#include "upgradepackage.h"

#include "burnclock.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace UpgradePackage {

const char *const kTmpDir = "tmp";

QString archiverProgram() {
    const QFileInfo local(QDir::current().filePath(QStringLiteral("7z")));
    if (local.isFile() && local.isExecutable()) return local.absoluteFilePath();
    return QStandardPaths::findExecutable(QStringLiteral("7z"));
}

QStringList archiverArguments(const QString &packagePath) {
    return {QStringLiteral("x"), QStringLiteral("-y"), QStringLiteral("-otmp"), packagePath};
}

UnpackResult unpack(const QString &packagePath, int finishLimitMs) {
    QProcess process;
    const QStringList args = archiverArguments(packagePath);
    QString program = archiverProgram();
    // A missing archiver fails to start; the wait below then returns at once,
    // exactly like an archiver that ends without unpacking anything.
    if (program.isEmpty()) program = QStringLiteral("7z");
    process.start(program, args, QIODevice::ReadWrite);
    qDebug() << "7z.exe" << args;
    process.waitForStarted(BurnClock::scaledMs(30000));
    if (process.state() == QProcess::NotRunning || process.waitForFinished(finishLimitMs))
        return UnpackResult::Finished;
    process.kill();
    process.waitForFinished(5000);
    return UnpackResult::TimedOut;
}

QString upgradeDirAfterUnpack() {
    const QStringList entries =
        QDir(QString::fromLatin1(kTmpDir)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);
    qDebug() << "count:" << entries.size();
    if (entries.size() == 1) return QStringLiteral("tmp/") + entries.first() + QLatin1Char('/');
    return QStringLiteral("tmp/");
}

bool deleteDirContents(const QString &dirName) {
    QDir dir(dirName);
    if (!dir.exists()) return true;
    bool allGone = true;
    const QFileInfoList entries =
        dir.entryInfoList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden | QDir::System);
    for (const QFileInfo &entry : entries) {
        const QString path =
            QDir::toNativeSeparators(dirName + QLatin1Char('/') + entry.fileName());
        if (entry.isDir() && !entry.isSymLink()) {
            qDebug() << "delete dir " << path;
            deleteDirContents(path);
            if (!dir.rmdir(entry.fileName())) {
                qDebug() << "deleteDir " << path << "faild";
                allGone = false;
            }
        } else {
            // A symbolic link is removed itself, never followed.
            if (!entry.isSymLink())
                QFile::setPermissions(path, QFile::permissions(path) | QFile::WriteOwner);
            const bool ok = QFile::remove(path);
            qDebug() << "Global::deleteDir 1" << (ok ? "ok" : "faild");
            allGone = allGone && ok;
        }
    }
    return allGone;
}

} // namespace UpgradePackage
