#include "recordsummary.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "burnrecord.h"

namespace {

QString percent(qint64 part, qint64 whole) {
    return whole > 0 ? QString::number(100.0 * double(part) / double(whole), 'f', 1) + '%'
                     : QStringLiteral("-");
}

} // namespace

QString RecordSummary::text() const {
    QString out;
    out += QStringLiteral("burns %1  success %2  failure %3  yield %4")
               .arg(total)
               .arg(successes)
               .arg(failures)
               .arg(percent(successes, total));
    if (interrupted > 0) out += QStringLiteral("  interrupted %1").arg(interrupted);
    if (running > 0) out += QStringLiteral("  running %1").arg(running);
    if (first.isValid())
        out += QStringLiteral("  (%1 .. %2)")
                   .arg(BurnRecord::isoTime(first), BurnRecord::isoTime(last));
    out += '\n';
    if (total == 0) return out;

    out += QStringLiteral("\nport  burns  success  failure   yield\n");
    for (const Port &p : ports)
        out += QStringLiteral("%1  %2  %3  %4  %5\n")
                   .arg(p.port, 4)
                   .arg(p.total, 5)
                   .arg(p.successes, 7)
                   .arg(p.total - p.successes, 7)
                   .arg(percent(p.successes, p.total), 6);

    out += QStringLiteral("\nfailures by step (Pareto)\nstep  failures   share  cumulative\n");
    qint64 running = 0;
    for (const Step &s : pareto) {
        running += s.failures;
        out += QStringLiteral("%1  %2  %3  %4\n")
                   .arg(s.step < 0 ? QStringLiteral("-") : QString::number(s.step), 4)
                   .arg(s.failures, 8)
                   .arg(percent(s.failures, failures), 6)
                   .arg(percent(running, failures), 10);
    }
    return out;
}

QByteArray RecordSummary::json() const {
    QJsonObject o{{"burns", total},
                  {"success", successes},
                  {"failure", failures},
                  {"interrupted", interrupted},
                  {"running", running},
                  {"yield", total > 0 ? double(successes) / double(total) : QJsonValue()}};
    if (first.isValid()) {
        o["first_end"] = BurnRecord::isoTime(first);
        o["last_end"] = BurnRecord::isoTime(last);
    }
    QJsonArray portRows, stepRows;
    for (const Port &p : ports)
        portRows.append(
            QJsonObject{{"port", p.port}, {"burns", p.total}, {"success", p.successes}});
    qint64 running = 0;
    for (const Step &s : pareto) {
        running += s.failures;
        stepRows.append(QJsonObject{{"step", s.step < 0 ? QJsonValue() : QJsonValue(s.step)},
                                    {"failures", s.failures},
                                    {"cumulative", running}});
    }
    o["ports"] = portRows;
    o["failures_by_step"] = stepRows;
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}
