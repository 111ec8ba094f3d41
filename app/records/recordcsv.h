// Burn records as CSV (UTF-8): a header line of the burns table's column
// names, then one line per record with the values as stored (times in UTC ISO
// 8601 with milliseconds, fail_step and fail_text empty on success, the log
// lines joined by '\n'). A field holding a comma, a quote or a line break is
// quoted, its quotes doubled, so a failure text or a log survives intact.
// pyrewick-cli records --csv and the window's export write through this.
#ifndef RECORDCSV_H
#define RECORDCSV_H

#include <QString>

#include "burnrecord.h"

namespace RecordCsv {

// One field, quoted when it needs to be.
QString field(const QString &text);
// The header line and a record's line, each ended by '\n'; `withLog` false
// leaves the log_lines column out.
QString header(bool withLog);
QString line(const BurnRecord &record, bool withLog);

} // namespace RecordCsv

#endif
