// The log panel's journal, measured against a floor taken in the same run:
// the window's refresh (MainWindow::updateDevUi) on a panel of 20 000 lines,
// each refresh bringing a burning line's worth of port log lines (two per
// port), with the journal on (every line appended, one fdatasync per refresh)
// against the same refresh with the journal closed. Blocks of refreshes
// alternate between the two; the medians and the 99th percentiles are
// printed with their ratio.
//
//   journal_bench [--rounds N] [--lines N]     default: 6 rounds, 20000 lines
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTextDocument>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "burnclock.h"
#include "burnstate.h"
#include "burnthread.h"
#include "logjournal.h"
#include "mainwindow.h"
#include "ui_mainwindow.h"

namespace {

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

// One block of refreshes; the milliseconds of each.
std::vector<double> refreshes(MainWindow &w, std::vector<BurnThread *> &threads, int count) {
    std::vector<double> ms;
    static int n = 0;
    for (int i = 0; i < count; ++i) {
        for (BurnThread *t : threads) {
            t->logShow(QStringLiteral("write block %1 of uImage: 65536 bytes at 0x%2")
                           .arg(n)
                           .arg(0x82000000 + n * 65536, 8, 16, QLatin1Char('0')));
            t->logShow(QStringLiteral("crc of block %1 matches").arg(n));
        }
        ++n;
        QElapsedTimer timer;
        timer.start();
        w.updateDevUi();
        ms.push_back(timer.nsecsElapsed() / 1e6);
    }
    return ms;
}

} // namespace

int main(int argc, char **argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    int rounds = 6, lines = 20000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--rounds")) rounds = std::atoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "--lines")) lines = std::atoi(argv[i + 1]);
    }
    // A station on the disk (not a memory file system): the sync is real.
    QTemporaryDir dir(QDir::currentPath() + QStringLiteral("/journal-bench.XXXXXX"));
    QDir::setCurrent(dir.path());
    QDir().mkpath(QStringLiteral("root/sys/bus/usb/devices"));
    qputenv("PYREWICK_SYSROOT", (dir.path() + QStringLiteral("/root")).toLocal8Bit());
    {
        QFile ini(QStringLiteral("configure.ini"));
        ini.open(QIODevice::WriteOnly);
        ini.write("[Log]\npanel_lines=100000000\n");
    }
    BurnClock::setScale(0.01);
    resetBurnState();

    std::vector<double> on, off;
    {
        MainWindow w;
        // The panel at its bound.
        for (int i = 0; i < lines; i += 500) {
            for (int j = 0; j < 500; ++j)
                appendMainLogLine(
                    QStringLiteral("[T %1][08:00:00]: earlier line %2").arg(j % 8).arg(i + j));
            w.updateDevUi();
        }
        std::vector<BurnThread *> threads;
        for (int p = 0; p < PORT_COUNT; ++p) {
            gPortInfo[p].status = PORT_STATUS_RECOVERY;
            threads.push_back(new BurnThread(p));
        }
        LogJournal *journal = w.journal();
        const QString journalPath = journal->path();
        std::printf("panel %d lines, journal %s\n",
                    w.form()->tedit_logshow->document()->blockCount(), qPrintable(journalPath));
        refreshes(w, threads, 20); // warm-up
        for (int r = 0; r < rounds; ++r) {
            // On: the window's own journal. Off: closed (appends do nothing).
            const auto a = refreshes(w, threads, 40);
            on.insert(on.end(), a.begin(), a.end());
            journal->remove();
            const auto b = refreshes(w, threads, 40);
            off.insert(off.end(), b.begin(), b.end());
            journal->open(journalPath);
        }
        for (BurnThread *t : threads)
            delete t;
        std::printf("panel %d lines at the end\n",
                    w.form()->tedit_logshow->document()->blockCount());
    }
    const double onMedian = percentile(on, 0.5), offMedian = percentile(off, 0.5);
    std::printf("refresh with journal: median %.3f ms, p99 %.3f ms (%zu refreshes)\n", onMedian,
                percentile(on, 0.99), on.size());
    std::printf("refresh without:      median %.3f ms, p99 %.3f ms (%zu refreshes)\n", offMedian,
                percentile(off, 0.99), off.size());
    std::printf("journal cost: median ratio %.2f, p99 ratio %.2f\n", onMedian / offMedian,
                percentile(on, 0.99) / percentile(off, 0.99));
    return 0;
}
