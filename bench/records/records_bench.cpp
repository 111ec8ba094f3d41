// Burn records, measured against floors taken in the same run:
//
//   eight devices burnt on the virtual line with records on (every result
//   committed to SQLite by the recorder thread before its row may show it)
//   against the same burn with records off, alternating, at one time scale;
//
//   the summary (yield, by port, Pareto of failure steps) over 100 000
//   records in SQLite, against a plain COUNT(*) over the same table, each
//   from opening the store as the command does; every record read as the
//   window's records dialog reads them, and every record with its log and
//   steps as records --json reads them, against the same floor.
//
//   records_bench [--scale F] [--rounds N] [--records N] [--only burn|summary]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "benchline.h"
#include "burnplan.h"
#include "burnrecorder.h"
#include "burnstate.h"
#include "recordstore.h"
#include "recordsummary.h"
#include "resultgate.h"

namespace {

// Seconds from plug-in to every row back at status 0 with a success, as the
// burn benchmark measures them; records on or off.
double burnEight(double scale, bool records, const QString &storeDir) {
    std::unique_ptr<BurnRecorder> recorder;
    if (records)
        recorder = std::make_unique<BurnRecorder>(BurnRecorder::Options{
            RecordStore::pathIn(storeDir), QString(), QStringLiteral("bench")});
    double seconds = -1;
    {
        BenchLine bl(scale);
        ResultGate::reset();
        BurnRecorder::setActive(recorder.get());
        bl.plugQuick(8);
        QElapsedTimer timer;
        timer.start();
        bl.start();
        const bool done = bl.runUntilAllSucceeded(8);
        // With records on, the burn is over once its records are on disk.
        if (done && recorder) recorder->flush(60000);
        seconds = timer.nsecsElapsed() / 1e9;
        if (!done || gSuccessCount.load() != 8) seconds = -1;
        bl.stop();
    }
    BurnRecorder::setActive(nullptr);
    if (records && seconds > 0) {
        RecordStore store;
        RecordStore::Filter successes;
        successes.result = 1;
        if (!store.open(RecordStore::pathIn(storeDir), true)) return -1;
        if (store.records(successes).size() % 8 != 0) return -1;
    }
    return seconds;
}

// A burn lasts a whole number of engine ticks, so one round resolves only
// about one tick in the eighty a burn of eight takes (1.2 %); the mean over
// the rounds resolves finer. (The middle value taken before was the larger
// of two rounds, so it reported the worse round as the figure.)
double mean(const std::vector<double> &v) {
    double sum = 0;
    for (double x : v)
        sum += x;
    return v.empty() ? 0 : sum / double(v.size());
}

// A store with `count` records: ports, results and failure steps spread as a
// line would see them (about 9 in 10 succeed).
bool fillStore(const QString &path, int count) {
    RecordStore store;
    if (!store.open(path)) return false;
    QVector<BurnRecord> batch;
    const QDateTime start = QDateTime::currentDateTimeUtc().addDays(-30);
    const int failSteps[] = {2, 5, 5, 7, 11, 11, 11, 13};
    for (int i = 0; i < count; ++i) {
        BurnRecord r;
        r.id = BurnRecord::newId();
        r.station = QStringLiteral("bench");
        r.variant = QStringLiteral("multi");
        r.port = i % 8;
        r.portPath =
            QStringLiteral("xHCI Host Controller (usb1)(RootHub)-port1(hub)-port%1").arg(i % 8 + 1);
        r.package = QStringLiteral("fw_demo.zip");
        r.packageSha256 = QString(64, QLatin1Char('0'));
        r.planCommands = 14;
        r.startedAt = start.addSecs(i * 20);
        r.endedAt = r.startedAt.addSecs(50);
        r.success = (i * 7919) % 10 != 0;
        r.failStep = r.success ? -1 : failSteps[(i / 10) % 8];
        r.failText = r.success ? QString() : QStringLiteral("[T 0][06:00:00]: failed");
        r.logLines = {QStringLiteral("[T 0][06:00:00]: recoveyCommand:  update:update.zip")};
        r.steps = {{2, r.startedAt}, {r.success ? 11 : 12, r.endedAt}};
        batch.append(r);
        if (batch.size() == 5000 || i == count - 1) {
            if (!store.write(batch, false)) return false;
            batch.clear();
        }
    }
    return true;
}

// Milliseconds of `work` from opening the store read-only, best of `runs`.
template <typename F> double bestMs(const QString &path, int runs, F work) {
    double best = 1e9;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        RecordStore store;
        if (!store.open(path, true) || !work(store)) return -1;
        best = std::min(best, t.nsecsElapsed() / 1e6);
    }
    return best;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    BenchLine::quietConsole();
    double scale = 0.25;
    int rounds = 4, records = 100000;
    QString only;
    for (int a = 1; a < argc; ++a) {
        if (!std::strcmp(argv[a], "--scale") && a + 1 < argc)
            scale = std::atof(argv[++a]);
        else if (!std::strcmp(argv[a], "--rounds") && a + 1 < argc)
            rounds = std::atoi(argv[++a]);
        else if (!std::strcmp(argv[a], "--records") && a + 1 < argc)
            records = std::atoi(argv[++a]);
        else if (!std::strcmp(argv[a], "--only") && a + 1 < argc)
            only = QString::fromLatin1(argv[++a]);
    }
    if (scale <= 0) scale = 0.25;
    int status = 0;

    if (only.isEmpty() || only == "burn") {
        QTemporaryDir dir;
        std::vector<double> on, off;
        for (int r = 0; r < rounds; ++r) {
            // Alternating, so drift of the shared machine touches both alike.
            const double a = burnEight(scale, false, dir.path());
            const double b = burnEight(scale, true, dir.path());
            if (a < 0 || b < 0) {
                std::fprintf(stderr, "a burn of eight devices did not succeed\n");
                return 1;
            }
            off.push_back(a);
            on.push_back(b);
            std::printf("round %d: records off %.2f s, on %.2f s\n", r + 1, a, b);
        }
        const double mOff = mean(off), mOn = mean(on);
        std::printf("8 devices, time scale %.3f, mean of %d rounds: records on %.2f s  off %.2f s  "
                    "ratio %.4f "
                    "(target <= 1.01)\n",
                    scale, rounds, mOn, mOff, mOn / mOff);
    }

    if (only.isEmpty() || only == "summary") {
        QTemporaryDir dir;
        const QString path = RecordStore::pathIn(dir.path());
        QElapsedTimer fill;
        fill.start();
        if (!fillStore(path, records)) {
            std::fprintf(stderr, "cannot fill the store\n");
            return 1;
        }
        std::printf("store of %d records made in %.1f s\n", records, fill.nsecsElapsed() / 1e9);
        RecordSummary s;
        const double summaryMs = bestMs(
            path, 5, [&](RecordStore &store) { return store.summary(&s) && !s.text().isEmpty(); });
        const double countMs = bestMs(path, 5, [&](RecordStore &store) {
            (void)store;
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "floor");
            db.setDatabaseName(path);
            db.setConnectOptions("QSQLITE_OPEN_READONLY");
            bool ok = db.open();
            {
                QSqlQuery q(db);
                ok = ok && q.exec("SELECT COUNT(*) FROM burns") && q.next() &&
                     q.value(0).toInt() == records;
            }
            db.close();
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase("floor");
            return ok;
        });
        if (summaryMs < 0 || countMs < 0 || s.total != records) {
            std::fprintf(stderr, "summary failed\n");
            return 1;
        }
        std::printf("summary over %d records: %.1f ms (target <= 200 ms); floor COUNT(*) %.1f ms; "
                    "ratio %.2f\n",
                    records, summaryMs, countMs, summaryMs / countMs);
        // What the window's records dialog reads when it is opened or
        // refreshed: every record without its log, on the window's thread.
        int listed = 0;
        const double tableMs = bestMs(path, 3, [&](RecordStore &store) {
            listed = int(store.records(RecordStore::Filter()).size());
            return store.errorText().isEmpty();
        });
        if (tableMs < 0 || listed != records) {
            std::fprintf(stderr, "reading the records failed\n");
            return 1;
        }
        std::printf("records table read over %d records: %.1f ms; ratio to COUNT(*) %.1f\n",
                    records, tableMs, tableMs / countMs);
        // What records --json and --csv read: every record with its log and
        // its steps (two each here).
        int steps = 0;
        const double fullMs = bestMs(path, 3, [&](RecordStore &store) {
            RecordStore::Filter all;
            all.withLog = true;
            const QVector<BurnRecord> read = store.records(all);
            listed = int(read.size());
            steps = 0;
            for (const BurnRecord &r : read)
                steps += int(r.steps.size());
            return store.errorText().isEmpty();
        });
        if (fullMs < 0 || listed != records || steps != 2 * records) {
            std::fprintf(stderr, "reading the records with their steps failed\n");
            return 1;
        }
        std::printf("records with log and steps read over %d records: %.1f ms; ratio to COUNT(*) "
                    "%.1f\n",
                    records, fullMs, fullMs / countMs);
    }
    return status;
}
