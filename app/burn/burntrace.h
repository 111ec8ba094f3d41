// What one burn leaves for its record, gathered by the port's own burn thread
// while it runs: when it started, each status it entered, its port log lines
// and the line that named its failure. Only that thread touches it.
#ifndef BURNTRACE_H
#define BURNTRACE_H

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVector>
#include <cstdint>

#include "burnrecord.h"

class BurnTrace {
  public:
    bool isOpen() const { return mOpen; }

    // A burn starts: `base` carries the identity fields (station, variant,
    // port, package, plan); `deviceId` is the port's id text before the burn,
    // so that an id left by an earlier burn is not taken for this one's.
    void begin(const BurnRecord &base, const QString &deviceId, uint32_t ticket,
               const QDateTime &now);
    void status(int status, const QDateTime &at);
    void line(const QString &line);
    int lineCount() const { return int(mRecord.logLines.size()); }
    // The port turned to failed in this tick: the last line written since
    // line `from` names the cause (none: the result line will).
    void failedSince(int from);
    uint32_t ticket() const { return mTicket; }

    // The record of the burn so far ("running"): ended at its last step, at
    // plan command `step`, its last log line as the fail text.
    BurnRecord snapshot(int step, const QString &deviceId, const QString &portPath) const;
    // The burn ended without a result: the record as "interrupted" (as
    // snapshot()). Closes the trace.
    BurnRecord interrupt(int step, const QString &deviceId, const QString &portPath);

    // The burn's result is counted: the finished record. Closes the trace.
    BurnRecord finish(bool success, int failStep, const QString &deviceId, const QString &portPath,
                      const QDateTime &now);
    void close() { mOpen = false; }

  private:
    bool mOpen = false;
    uint32_t mTicket = 0;
    QString mStartDeviceId;
    QString mCause;
    BurnRecord mRecord;
};

#endif
