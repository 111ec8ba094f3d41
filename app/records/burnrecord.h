// One burn as the station keeps it: who, where, what went in, how it ended,
// the port's log lines and every status the port passed through.
#ifndef BURNRECORD_H
#define BURNRECORD_H

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantList>
#include <QVector>

struct BurnStep {
    int status = 0;      // port status code entered
    QDateTime enteredAt; // UTC
};

struct BurnRecord {
    // Done: the burn ended with its result (success says which). Running: the
    // burn is under way (written as each step is entered). Interrupted: it
    // never reached a result (the program ended, or Stop, mid-burn).
    enum class State { Done, Running, Interrupted };

    QString id;      // random UUID, without braces
    QString station; // host name (or the configured station name)
    QString variant; // "single" or "multi"
    int port = 0;    // 0..7
    QString portPath;
    QString deviceId;      // the id the engine read or made; empty when none
    QString package;       // file name of the imported package; empty when none
    QString packageSha256; // hex; empty when no package
    int planCommands = 0;
    QDateTime startedAt; // UTC
    QDateTime endedAt;   // UTC
    bool success = false;
    int failStep = -1; // plan command index counted in the statistics; -1 on success
    QString failText;  // the port log line naming the failure; empty on success
    QStringList logLines;
    QVector<BurnStep> steps;
    State state = State::Done;

    // "success", "failure", "running" or "interrupted".
    QString result() const;
    // Sets state and success from a result() text; false for another text.
    bool setResult(const QString &text);

    // A fresh random id.
    static QString newId();
    // "2026-12-08T06:14:47.123Z": UTC, ISO 8601 with milliseconds (sorts as text).
    static QString isoTime(const QDateTime &t);
    static QDateTime fromIsoTime(const QString &text);

    // The columns of a burns table row in order (the same on the station and
    // on the line's server), the log lines last; `withLog` false leaves them
    // out.
    static QStringList columnNames(bool withLog = true);
    // This record's values for columnNames(): texts are never NULL (an empty
    // one is ''), times are isoTime, the log lines are joined by newlines;
    // fail_step and fail_text are NULLs of their own type on success.
    QVariantList columnValues() const;

    // Every column and the steps, as JSON (the records command and the burn
    // command's result event).
    QJsonObject toJson(bool withLog) const;
};

#endif
