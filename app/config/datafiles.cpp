#include "datafiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace {

QString besideProgram(const char *relative) {
    // applicationDirPath() needs the application object; without one (a tool
    // linking the core before it made one) only the working directory counts.
    if (!QCoreApplication::instance()) return QString();
    return QDir::cleanPath(QCoreApplication::applicationDirPath() + QLatin1Char('/') +
                           QLatin1String(relative));
}

} // namespace

namespace DataFiles {

QString installedDataDir() {
    return besideProgram(PYREWICK_BIN_TO_DATA);
}

QString installedHelperDir() {
    return besideProgram(PYREWICK_BIN_TO_HELPERS);
}

QString find(const QString &name) {
    if (QFileInfo(name).isFile()) return name;
    const QString dir = installedDataDir();
    if (!dir.isEmpty()) {
        const QString installed = dir + QLatin1Char('/') + name;
        if (QFileInfo(installed).isFile()) return installed;
    }
    return name;
}

QString findProgram(const QString &name) {
    const QFileInfo local(name);
    if (local.isFile() && local.isExecutable()) return local.absoluteFilePath();
    const QString dir = installedHelperDir();
    if (!dir.isEmpty()) {
        const QFileInfo installed(dir + QLatin1Char('/') + name);
        if (installed.isFile() && installed.isExecutable()) return installed.absoluteFilePath();
    }
    return name;
}

} // namespace DataFiles
