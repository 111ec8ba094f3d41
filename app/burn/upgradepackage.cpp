#include "upgradepackage.h"

#include "burnclock.h"
#include "datafiles.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <unistd.h>
#endif

namespace UpgradePackage {

const char *const kTmpDir = "tmp";
const char *const kImportMarker = ".import-complete";

namespace {

QString markerPath(const QString &tmpDir) {
    return QDir(tmpDir).filePath(QString::fromLatin1(kImportMarker));
}

// The directory's entries (a removal or a rename in it) on the disk.
void syncDir(const QString &dir) {
#ifndef Q_OS_WIN
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
#else
    Q_UNUSED(dir);
#endif
}

} // namespace

bool markImportComplete(const QString &tmpDir, const QString &packagePath) {
    QSaveFile marker(markerPath(tmpDir));
    if (!marker.open(QIODevice::WriteOnly)) return false;
    marker.write(QFileInfo(packagePath).fileName().toUtf8() + '\n');
    if (!marker.commit()) return false;
    syncDir(tmpDir);
    return true;
}

bool clearImportComplete(const QString &tmpDir) {
    const QString path = markerPath(tmpDir);
    if (!QFileInfo::exists(path)) return true;
    const bool removed = QFile::remove(path);
    syncDir(tmpDir);
    return removed;
}

bool importComplete(const QString &tmpDir) {
    return QFileInfo(markerPath(tmpDir)).isFile();
}

bool importIncomplete(const QString &tmpDir) {
    if (importComplete(tmpDir)) return false;
    const QDir dir(tmpDir);
    return dir.exists() &&
           !dir.entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden | QDir::System)
                .isEmpty();
}

void syncFiles(const QString &dir) {
#ifdef Q_OS_LINUX
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return;
    ::syncfs(fd);
    ::close(fd);
#elif !defined(Q_OS_WIN)
    Q_UNUSED(dir);
    ::sync();
#else
    Q_UNUSED(dir);
#endif
}

QString archiverProgram() {
    if (DataFiles::privileged()) {
        const QStringList path =
            QString::fromLocal8Bit(qgetenv("PATH")).split(QLatin1Char(':'), Qt::SkipEmptyParts);
        for (const QString &dir : path) {
            if (!dir.startsWith(QLatin1Char('/'))) continue; // relative: the working directory
            const QFileInfo candidate(dir + QStringLiteral("/7z"));
            if (candidate.isFile() && candidate.isExecutable() &&
                DataFiles::rootOnly(candidate.absoluteFilePath()))
                return candidate.absoluteFilePath();
        }
        return QString();
    }
    const QFileInfo local(QDir::current().filePath(QStringLiteral("7z")));
    if (local.isFile() && local.isExecutable()) return local.absoluteFilePath();
    return QStandardPaths::findExecutable(QStringLiteral("7z"));
}

QStringList archiverArguments(const QString &packagePath) {
    return {QStringLiteral("x"),     QStringLiteral("-y"),    QStringLiteral("-p"),
            QStringLiteral("-bsp1"), QStringLiteral("-otmp"), packagePath};
}

namespace {

// The archiver's report lines that name an error ("ERROR: CRC Failed : a.bin",
// "ERROR: Wrong password : a.bin", "ERRORS:", "Is not archive", ...), at most
// a few, each once.
QString errorLines(const QString &text) {
    QStringList found;
    bool afterErrors = false;
    for (QString line : text.split(QLatin1Char('\n'))) {
        line = line.trimmed();
        if (line.isEmpty()) {
            afterErrors = false;
            continue;
        }
        const bool error = line.contains(QLatin1String("ERROR"), Qt::CaseInsensitive);
        if ((error || afterErrors) && !found.contains(line) && found.size() < 6) found << line;
        if (line == QLatin1String("ERRORS:")) afterErrors = true;
    }
    return found.join(QLatin1Char('\n'));
}

} // namespace

UnpackOutcome unpack(const QString &packagePath, int finishLimitMs,
                     const std::function<void(int percent)> &progress) {
    UnpackOutcome outcome;
    QProcess process;
    const QStringList args = archiverArguments(packagePath);
    QString program = archiverProgram();
    if (program.isEmpty() && DataFiles::privileged()) {
        outcome.errors = QStringLiteral("run as root, the archiver is taken only from a directory "
                                        "on PATH that only root can change: no 7z there");
        return outcome;
    }
    if (program.isEmpty()) program = QStringLiteral("7z");
    process.start(program, args, QIODevice::ReadWrite);
    qDebug() << "7z.exe" << args;
    process.waitForStarted(BurnClock::scaledMs(30000));
    if (process.state() == QProcess::NotRunning) {
        outcome.errors = QStringLiteral("the archiver %1 could not be started: %2")
                             .arg(program, process.errorString());
        return outcome;
    }
    // Nothing is ever typed in: the archiver sees the end of its input.
    process.closeWriteChannel();

    QString output, errors;
    static const QRegularExpression percent(QStringLiteral("(\\d+)%"));
    auto collect = [&] {
        const QString out = QString::fromLocal8Bit(process.readAllStandardOutput());
        // Progress comes as "  5% - name" redrawn with backspaces; the last
        // percentage seen is the current one.
        QRegularExpressionMatchIterator it = percent.globalMatch(out);
        int last = -1;
        while (it.hasNext())
            last = it.next().captured(1).toInt();
        if (last >= 0 && progress) progress(qMin(last, 100));
        output += out;
        if (output.size() > 65536) output = output.right(32768);
        errors += QString::fromLocal8Bit(process.readAllStandardError());
        if (errors.size() > 65536) errors = errors.right(32768);
    };
    QElapsedTimer waited;
    waited.start();
    while (!process.waitForFinished(50)) {
        collect();
        if (process.state() == QProcess::NotRunning) break;
        if (waited.elapsed() >= finishLimitMs) {
            process.kill();
            process.waitForFinished(5000);
            outcome.result = UnpackResult::TimedOut;
            return outcome;
        }
    }
    collect();
    output.remove(QLatin1Char('\b'));
    const QString reported = errorLines(errors + QLatin1Char('\n') + output);
    if (process.exitStatus() != QProcess::NormalExit) {
        outcome.errors = QStringLiteral("the archiver stopped abnormally");
    } else if (process.exitCode() != 0 || !reported.isEmpty()) {
        outcome.errors =
            reported.isEmpty()
                ? QStringLiteral("the archiver ended with status %1").arg(process.exitCode())
                : reported;
    } else {
        outcome.result = UnpackResult::Finished;
    }
    return outcome;
}

QString upgradeDirAfterUnpack() {
    const QStringList entries =
        QDir(QString::fromLatin1(kTmpDir)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);
    qDebug() << "count:" << entries.size();
    if (entries.size() == 1) return QStringLiteral("tmp/") + entries.first() + QLatin1Char('/');
    return QStringLiteral("tmp/");
}

bool deleteDirContents(const QString &dirName) {
    if (QFileInfo(dirName).isSymLink()) {
        qDebug() << "deleteDir" << dirName << "is a symbolic link: left alone";
        return false;
    }
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
