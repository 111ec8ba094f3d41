#include "soakledger.h"

#include <QHash>

namespace {

const QString kFailedAt = QStringLiteral("failed ,current step is ");
const QString kFailedGone = QStringLiteral("failed because no connected device ,current step is ");

QString deviceName(const DeviceRecord &d) {
    return QStringLiteral("device %1 (%2, hub port %3)")
        .arg(d.serial)
        .arg(QLatin1String(faultName(d.fault)))
        .arg(d.slot + 1);
}

int failureLines(const QStringList &lines, std::vector<int> *steps = nullptr) {
    int n = 0;
    for (const QString &line : lines) {
        int step = 0;
        if (!failureLineStep(line, &step)) continue;
        ++n;
        if (steps) steps->push_back(step);
    }
    return n;
}

} // namespace

bool failureLineStep(const QString &line, int *step) {
    int at = line.indexOf(kFailedAt);
    int len = kFailedAt.size();
    if (at < 0) {
        at = line.indexOf(kFailedGone);
        len = kFailedGone.size();
    }
    if (at < 0) return false;
    bool ok = false;
    const int n = line.mid(at + len).trimmed().toInt(&ok);
    if (!ok) return false;
    *step = n;
    return true;
}

QString brokenInvariant(const SoakLedger &l) {
    if (!l.plugErrors.isEmpty()) return QStringLiteral("plug refused: ") + l.plugErrors.first();
    if (!l.importErrors.isEmpty()) return l.importErrors.first();
    if (!l.wrongBytes.isEmpty())
        return QStringLiteral("success with the wrong bytes: ") + l.wrongBytes.first();

    int successes = 0, failures = 0;
    for (const DeviceRecord &d : l.devices) {
        if (d.outcome == Outcome::Unfinished)
            return deviceName(d) + QStringLiteral(" never ended in success or failure");
        if (d.results != 1) return deviceName(d) + QStringLiteral(" ended %1 times").arg(d.results);
        (d.outcome == Outcome::Success ? successes : failures) += 1;
    }
    const int burns = int(l.devices.size());
    if (l.successCount + l.failCount != burns || l.successCount != successes)
        return QStringLiteral("statistics count success %1 + failed %2, the line saw %3 + %4")
            .arg(l.successCount)
            .arg(l.failCount)
            .arg(successes)
            .arg(failures);

    // By step: every failure is counted at the step its log line names, and
    // steps past the table only in the total.
    std::vector<int> steps;
    for (const QStringList &made : l.madeLines)
        failureLines(made, &steps);
    std::array<int, 25> byLine{};
    int beyond = 0;
    for (int s : steps) {
        if (s >= 0 && s < int(byLine.size()))
            ++byLine[size_t(s)];
        else
            ++beyond;
    }
    int sum = beyond;
    for (size_t j = 0; j < byLine.size(); ++j) {
        sum += l.failByStep[j];
        if (byLine[j] != l.failByStep[j])
            return QStringLiteral("failures at step %1: %2 counted, %3 logged")
                .arg(j)
                .arg(l.failByStep[j])
                .arg(byLine[j]);
    }
    if (sum != l.failCount)
        return QStringLiteral("failures by step add up to %1, not %2").arg(sum).arg(l.failCount);

    if (!l.portsNotIdle.isEmpty())
        return QStringLiteral("port stuck after its device left: ") + l.portsNotIdle.first();
    if (!l.threadsRunning.isEmpty())
        return QStringLiteral("still running after Stop: ") + l.threadsRunning.first();

    for (int r = 0; r < 8; ++r) {
        int failed = 0;
        for (const DeviceRecord &d : l.devices)
            if (d.row == r && d.outcome == Outcome::Failure) ++failed;
        const int made = failureLines(l.madeLines[size_t(r)]);
        const int shown = failureLines(l.panelLines[size_t(r)]);
        if (made != failed)
            return QStringLiteral("row %1: %2 failures, %3 failure log lines")
                .arg(r)
                .arg(failed)
                .arg(made);
        if (shown != made)
            return QStringLiteral("row %1: %2 failure log lines made, %3 reached the panel")
                .arg(r)
                .arg(made)
                .arg(shown);
    }

    QHash<QString, int> saved;
    for (const QString &line : l.savedLines)
        ++saved[line];
    QHash<QString, int> shown;
    for (const QStringList &rowLines : l.panelLines)
        for (const QString &line : rowLines)
            ++shown[line];
    for (const QString &line : l.mainLines)
        ++shown[line];
    for (auto it = shown.cbegin(); it != shown.cend(); ++it)
        if (saved.value(it.key()) < it.value())
            return QStringLiteral("saved log lacks a panel line: ") + it.key();

    for (const DeviceRecord &d : l.devices)
        if (expectedOutcome(d.fault) == Expect::Failure && d.outcome == Outcome::Success)
            return deviceName(d) + QStringLiteral(" reported success");
    return QString();
}

SoakFigures figures(const SoakLedger &l) {
    SoakFigures f;
    f.burns = int(l.devices.size());
    for (const DeviceRecord &d : l.devices) {
        const size_t k = size_t(d.fault);
        ++f.byFault[k];
        if (d.outcome == Outcome::Success) {
            ++f.successes;
            ++f.successByFault[k];
        } else if (d.outcome == Outcome::Failure) {
            ++f.failures;
            ++f.failByFault[k];
            if (expectedOutcome(d.fault) == Expect::Success) ++f.cleanFailures;
        } else {
            ++f.unfinished;
        }
    }
    for (size_t r = 0; r < 8; ++r) {
        f.panelLineCount += l.panelLines[r].size();
        QHash<QString, int> shown;
        for (const QString &line : l.panelLines[r])
            ++shown[line];
        for (const QString &line : l.madeLines[r]) {
            if (shown.value(line) > 0)
                --shown[line];
            else
                ++f.droppedLines;
        }
    }
    return f;
}
