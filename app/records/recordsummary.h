// What the summary command prints: the yield, by port, and the failures by
// plan step as a Pareto table (most failures first, with the running share).
#ifndef RECORDSUMMARY_H
#define RECORDSUMMARY_H

#include <QDateTime>
#include <QString>
#include <QVector>

struct RecordSummary {
    qint64 total = 0;
    qint64 successes = 0;
    qint64 failures = 0;
    // Burns that never reached a result, and burns under way; neither is in
    // total, the ports or the yield.
    qint64 interrupted = 0;
    qint64 running = 0;
    QDateTime first, last; // earliest and latest end; invalid when empty

    struct Port {
        int port = 0;
        qint64 total = 0;
        qint64 successes = 0;
    };
    QVector<Port> ports; // by port

    struct Step {
        int step = 0; // plan command index
        qint64 failures = 0;
    };
    QVector<Step> pareto; // most failures first; ties by step

    // The text table of the summary command.
    QString text() const;
    // The same as one JSON object.
    QByteArray json() const;
};

#endif
