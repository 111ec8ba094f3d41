#include "burnrecord.h"

#include <QJsonArray>
#include <QUuid>

QString BurnRecord::newId() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

QString BurnRecord::result() const {
    switch (state) {
    case State::Running:
        return QStringLiteral("running");
    case State::Interrupted:
        return QStringLiteral("interrupted");
    case State::Done:
        break;
    }
    return success ? QStringLiteral("success") : QStringLiteral("failure");
}

bool BurnRecord::setResult(const QString &text) {
    success = text == QLatin1String("success");
    if (success || text == QLatin1String("failure"))
        state = State::Done;
    else if (text == QLatin1String("running"))
        state = State::Running;
    else if (text == QLatin1String("interrupted"))
        state = State::Interrupted;
    else
        return false;
    return true;
}

QString BurnRecord::isoTime(const QDateTime &t) {
    return t.toUTC().toString(Qt::ISODateWithMs);
}

QDateTime BurnRecord::fromIsoTime(const QString &text) {
    QDateTime t = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!t.isValid()) t = QDateTime::fromString(text, Qt::ISODate);
    return t.toUTC();
}

namespace {

// A null QString would bind as NULL; the text columns are NOT NULL.
QString text(const QString &s) {
    return s.isNull() ? QStringLiteral("") : s;
}

} // namespace

QStringList BurnRecord::columnNames(bool withLog) {
    QStringList names{QStringLiteral("id"),
                      QStringLiteral("station"),
                      QStringLiteral("variant"),
                      QStringLiteral("port"),
                      QStringLiteral("port_path"),
                      QStringLiteral("device_id"),
                      QStringLiteral("package"),
                      QStringLiteral("package_sha256"),
                      QStringLiteral("plan_commands"),
                      QStringLiteral("started_at"),
                      QStringLiteral("ended_at"),
                      QStringLiteral("result"),
                      QStringLiteral("fail_step"),
                      QStringLiteral("fail_text")};
    if (withLog) names << QStringLiteral("log_lines");
    return names;
}

QVariantList BurnRecord::columnValues() const {
    return {text(id),
            text(station),
            text(variant),
            port,
            text(portPath),
            text(deviceId),
            text(package),
            text(packageSha256),
            planCommands,
            isoTime(startedAt),
            isoTime(endedAt),
            result(),
            success ? QVariant(QMetaType::fromType<int>()) : QVariant(failStep),
            success ? QVariant(QMetaType::fromType<QString>()) : QVariant(text(failText)),
            text(logLines.join(QLatin1Char('\n')))};
}

QJsonObject BurnRecord::toJson(bool withLog) const {
    QJsonObject o;
    o["id"] = id;
    o["station"] = station;
    o["variant"] = variant;
    o["port"] = port;
    o["port_path"] = portPath;
    o["device_id"] = deviceId;
    o["package"] = package;
    o["package_sha256"] = packageSha256;
    o["plan_commands"] = planCommands;
    o["started_at"] = isoTime(startedAt);
    o["ended_at"] = isoTime(endedAt);
    o["result"] = result();
    o["fail_step"] = success ? QJsonValue() : QJsonValue(failStep);
    o["fail_text"] = success ? QJsonValue() : QJsonValue(failText);
    if (withLog) {
        o["log_lines"] = QJsonArray::fromStringList(logLines);
        QJsonArray steps;
        for (const BurnStep &s : this->steps)
            steps.append(QJsonObject{{"status", s.status}, {"entered_at", isoTime(s.enteredAt)}});
        o["steps"] = steps;
    }
    return o;
}
