#include "logfiles.h"

#include <QFile>
#include <QTextStream>
#include <algorithm>

namespace LogFiles {

const char *const kLogDir = "log";

QString usbLogPath(const QDateTime &t) {
    return QStringLiteral("log/usb_") + t.toString(QStringLiteral("yyyy-MM-dd-hh-mm-ss")) +
           QStringLiteral(".log");
}

QString packageBaseName(const QString &packagePath) {
    const int cut = std::max(packagePath.lastIndexOf(QLatin1Char('/')),
                             packagePath.lastIndexOf(QLatin1Char('\\')));
    QString name = packagePath.mid(cut + 1);
    name.chop(4);
    return name;
}

QString savedLogName(SaveKind kind, const QString &packagePath, const QDateTime &now) {
    QString name = QStringLiteral("log/") + now.toString(QStringLiteral("MM.dd")) +
                   QLatin1Char('.') + now.toString(QStringLiteral("hh.mm")) + QLatin1Char('_') +
                   packageBaseName(packagePath);
    switch (kind) {
    case SaveKind::Manual:
        return name + QStringLiteral("_manual.log");
    case SaveKind::Auto:
        return name + QStringLiteral("_autosave") + QStringLiteral(".log");
    case SaveKind::Exit:
        break;
    }
    return name + QStringLiteral(".log");
}

bool writeSavedLog(const QString &path, const QString &panelText) {
    if (QFile::exists(path)) QFile::remove(path);
    QString text = panelText;
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite)) return false;
    QTextStream out(&file);
    out << text;
    out.flush();
    file.close();
    return true;
}

} // namespace LogFiles
