// Burn records as CSV (UTF-8): a header line of the store's column names,
// then one line per record. A field holding a comma, a quote or a line break
// is quoted, its quotes doubled, so a failure text or a log survives intact.
// pyrewick-cli records --csv and the window's export write through this.
#ifndef RECORDCSV_H
#define RECORDCSV_H

#include <QString>
#include <QVector>

#include "burnrecord.h"

namespace RecordCsv {

enum class Column {
    Id,
    Station,
    Variant,
    Port,
    PortPath,
    DeviceId,
    Package,
    PackageSha256,
    PlanCommands,
    StartedAt,
    EndedAt,
    Result,
    FailStep,
    FailText,
    LogLines,
};

// Every column, in the store's order.
QVector<Column> everyColumn();
// The store's column name ("started_at").
QString name(Column column);
// The record's value as the store keeps it: times in UTC ISO 8601 with
// milliseconds, fail_step empty on success, log lines joined by '\n'.
QString value(const BurnRecord &record, Column column);

// One field, quoted when it needs to be.
QString field(const QString &text);
// The header line and a record's line, each ended by '\n'.
QString header(const QVector<Column> &columns);
QString line(const BurnRecord &record, const QVector<Column> &columns);

} // namespace RecordCsv

#endif
