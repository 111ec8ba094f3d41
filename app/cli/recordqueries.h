// pyrewick-cli records and summary: reading the station's burn records.
#ifndef RECORDQUERIES_H
#define RECORDQUERIES_H

#include <QDateTime>
#include <QString>

namespace RecordQueries {

enum class Format { Table, Csv, Json };

struct Options {
    QString station; // station directory; empty: the working directory
    QDateTime since; // invalid: from the first
    int port = -1;   // -1: every port
    int result = -1; // -1 any, 0 failure, 1 success
    Format format = Format::Table;
};

// Prints the records (oldest first); the exit status (0, or 2 when the store
// cannot be read).
int list(const Options &options);
// Prints the yield, the yield by port and the Pareto of failure steps.
int summary(const Options &options);

// "2026-12-08T06:00:00Z", "2026-12-08T06:00" (local), "2026-12-08" (local
// midnight); invalid when it is none of them.
QDateTime parseSince(const QString &text);

} // namespace RecordQueries

#endif
