#include "logfiles.h"

#include <QFile>
#include <QSaveFile>
#include <QTextStream>
#include <algorithm>

namespace LogFiles {

const char *const kLogDir = "log";

QString usbLogPath(const QDateTime &t) {
    return QStringLiteral("log/usb_") + t.toString(QStringLiteral("yyyy-MM-dd-hh-mm-ss")) +
           QStringLiteral(".log");
}

QString packageBaseName(const QString &packagePath) {
    const qsizetype cut = std::max(packagePath.lastIndexOf(QLatin1Char('/')),
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

bool writeSavedLog(const QString &path, const QString &panelText, QString *error) {
    QString text = panelText;
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    // Written beside the old file and put in its place only when every byte
    // went: a full disk leaves the old file (if any) and reports the failure
    // instead of leaving an empty or cut file behind.
    QSaveFile file(path);
    bool ok = file.open(QIODevice::WriteOnly);
    QString why;
    if (ok) {
        QTextStream out(&file);
        out << text;
        out.flush();
        if (out.status() != QTextStream::Ok || file.error() != QFileDevice::NoError) {
            why = file.errorString();
            file.cancelWriting();
            file.commit();
            ok = false;
        } else {
            // The final flush and the rename can fail too.
            ok = file.commit();
        }
    }
    if (!ok && why.isEmpty()) why = file.errorString();
    if (!ok && error) *error = why;
    return ok;
}

} // namespace LogFiles
