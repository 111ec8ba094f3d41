#include "recordcsv.h"

#include <QStringList>

namespace RecordCsv {

QVector<Column> everyColumn() {
    return {Column::Id,           Column::Station,   Column::Variant, Column::Port,
            Column::PortPath,     Column::DeviceId,  Column::Package, Column::PackageSha256,
            Column::PlanCommands, Column::StartedAt, Column::EndedAt, Column::Result,
            Column::FailStep,     Column::FailText,  Column::LogLines};
}

QString name(Column column) {
    switch (column) {
    case Column::Id:
        return QStringLiteral("id");
    case Column::Station:
        return QStringLiteral("station");
    case Column::Variant:
        return QStringLiteral("variant");
    case Column::Port:
        return QStringLiteral("port");
    case Column::PortPath:
        return QStringLiteral("port_path");
    case Column::DeviceId:
        return QStringLiteral("device_id");
    case Column::Package:
        return QStringLiteral("package");
    case Column::PackageSha256:
        return QStringLiteral("package_sha256");
    case Column::PlanCommands:
        return QStringLiteral("plan_commands");
    case Column::StartedAt:
        return QStringLiteral("started_at");
    case Column::EndedAt:
        return QStringLiteral("ended_at");
    case Column::Result:
        return QStringLiteral("result");
    case Column::FailStep:
        return QStringLiteral("fail_step");
    case Column::FailText:
        return QStringLiteral("fail_text");
    case Column::LogLines:
        return QStringLiteral("log_lines");
    }
    return QString();
}

QString value(const BurnRecord &r, Column column) {
    switch (column) {
    case Column::Id:
        return r.id;
    case Column::Station:
        return r.station;
    case Column::Variant:
        return r.variant;
    case Column::Port:
        return QString::number(r.port);
    case Column::PortPath:
        return r.portPath;
    case Column::DeviceId:
        return r.deviceId;
    case Column::Package:
        return r.package;
    case Column::PackageSha256:
        return r.packageSha256;
    case Column::PlanCommands:
        return QString::number(r.planCommands);
    case Column::StartedAt:
        return BurnRecord::isoTime(r.startedAt);
    case Column::EndedAt:
        return BurnRecord::isoTime(r.endedAt);
    case Column::Result:
        return r.result();
    case Column::FailStep:
        return r.success ? QString() : QString::number(r.failStep);
    case Column::FailText:
        return r.failText;
    case Column::LogLines:
        return r.logLines.join(QLatin1Char('\n'));
    }
    return QString();
}

QString field(const QString &text) {
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1String("\""), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString header(const QVector<Column> &columns) {
    QStringList fields;
    for (Column c : columns)
        fields << name(c);
    return fields.join(QLatin1Char(',')) + QLatin1Char('\n');
}

QString line(const BurnRecord &record, const QVector<Column> &columns) {
    QStringList fields;
    for (Column c : columns)
        fields << field(value(record, c));
    return fields.join(QLatin1Char(',')) + QLatin1Char('\n');
}

} // namespace RecordCsv
