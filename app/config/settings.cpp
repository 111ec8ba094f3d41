#include "settings.h"

#include <QSettings>
#include <QSysInfo>

namespace {

QVariant readKey(const char *key, const QVariant &fallback) {
    const QSettings ini(QString::fromLatin1(Settings::FILE_NAME), QSettings::IniFormat);
    return ini.value(QLatin1String(key), fallback);
}

} // namespace

namespace Settings {

bool eraseEnabled() {
    return readKey("Erase/enable", true).toBool();
}

QString eraseCommand() {
    return readKey("Erase/erasecmd", QStringLiteral("nand_erase")).toString();
}

QString language() {
    return readKey("lanuage", QStringLiteral("cn")).toString();
}

void setLanguage(const QString &language) {
    QSettings ini(QString::fromLatin1(FILE_NAME), QSettings::IniFormat);
    ini.setValue(QStringLiteral("lanuage"), language);
    ini.sync();
}

int panelLines() {
    bool ok = false;
    const int lines = readKey("Log/panel_lines", 20000).toInt(&ok);
    return ok && lines > 0 ? lines : 20000;
}

QString recordsUrl() {
    if (qEnvironmentVariableIsSet("PYREWICK_RECORDS"))
        return qEnvironmentVariable("PYREWICK_RECORDS").trimmed();
    return readKey("records", QString()).toString().trimmed();
}

QString stationName() {
    const QString name = readKey("station", QString()).toString().trimmed();
    return name.isEmpty() ? QSysInfo::machineHostName() : name;
}

} // namespace Settings
