// The week soak: the whole window (--window) or pyrewick-cli (--cli PATH)
// burning devices of the virtual line back to back, each plugged with a
// fault drawn from a seeded scenario, pulled after its result and replaced.
// Every N burns it samples the program: resident memory, open descriptors,
// threads, the log panel's lines and the refresh's duration (the window) and
// the records store's size; it prints the table, draws the plot and fails
// when a rule of WeekSamples breaks.
//
//   pyrewick_weeksoak --window|--cli PATH --burns N [--every N] [--seed S]
//                     [--plot FILE.png] [--panel-lines N] [--memory-rule-only]
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QThread>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <array>
#include <functional>
#include <memory>

#include "burnclock.h"
#include "burnstate.h"
#include "burnstation.h"
#include "line.h"
#include "mainwindow.h"
#include "soakfault.h"
#include "teststation.h"
#include "ui_mainwindow.h"
#include "uiprompts.h"
#include "weeksamples.h"

namespace {

struct Options {
    bool window = true;
    QString cli;
    int burns = 20000;
    int every = 500;
    unsigned seed = 1;
    QString plot;
    int panelLines = 0; // 0: the default bound
    bool memoryOnly = false;
    bool noRules = false; // a smoke run: the rules are printed, not judged
};

// Status of /proc/<pid>: resident memory (MiB) and threads.
void procStatus(qint64 pid, WeekSample *s) {
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            s->rssMiB = line.mid(6).trimmed().split(' ')[0].toDouble() / 1024.0;
        if (line.startsWith("Threads:")) s->threads = line.mid(8).trimmed().toInt();
    }
    s->fds = int(QDir(QStringLiteral("/proc/%1/fd").arg(pid))
                     .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)
                     .size());
}

double storeMiB(const QString &stationDir) {
    qint64 bytes = 0;
    for (const char *name : {"records/burns.sqlite", "records/burns.sqlite-wal"})
        bytes += QFileInfo(QDir(stationDir).filePath(QLatin1String(name))).size();
    return double(bytes) / (1024.0 * 1024.0);
}

// Puts a device with a drawn fault on a bench (hub port slot + 1): false
// when it cannot; how long it stays after its result and when it is pulled
// mid-burn (-1: not). Pulls it off again.
struct Plugger {
    std::function<bool(int slot, int *holdMs, int *pullMs)> plug;
    std::function<void(int slot)> unplug;
};

// The virtual line and the scenario in this process.
Plugger localPlugger(vyrsim::Line &line, unsigned seed) {
    auto scenario = std::make_shared<SoakScenario>(seed);
    auto ids = std::make_shared<std::array<int, 8>>();
    Plugger p;
    p.plug = [&line, scenario, ids](int slot, int *holdMs, int *pullMs) {
        const SoakDevice dev =
            scenario->next(teststation::deviceSpec(), std::string(), BurnClock::scaledMs(1000));
        (*ids)[size_t(slot)] = line.plug(teststation::hubPort(slot + 1), dev.devSpec);
        *holdMs = dev.holdMs;
        *pullMs = dev.pullMs;
        return (*ids)[size_t(slot)] >= 0;
    };
    p.unplug = [&line, ids](int slot) { line.unplug((*ids)[size_t(slot)]); };
    return p;
}

// The eight benches: a device plugged on each hub port, pulled some time
// after its result (or when it never gives one), then the next one.
class Benches {
  public:
    explicit Benches(Plugger plugger) : mPlugger(std::move(plugger)) {}

    // One look. `result(slot)` says whether the device there has its result
    // now; `idle(slot)` whether its row let it go. Plugs up to `limit`.
    void step(const std::function<bool(int)> &result, const std::function<bool(int)> &idle,
              int limit) {
        const qint64 deviceLimitMs = BurnClock::scaledMs(600000) + 30000;
        for (int s = 0; s < 8; ++s) {
            Bench &b = mBenches[s];
            switch (b.state) {
            case Bench::Idle:
                if (mPlugged >= limit || !mPlugger.plug(s, &b.holdMs, &b.pullMs)) break;
                ++mPlugged;
                b.since.start();
                b.ended.invalidate();
                b.state = Bench::Burning;
                break;
            case Bench::Burning:
                if (!b.ended.isValid() && result(s)) b.ended.start();
                if ((b.ended.isValid() && b.ended.elapsed() >= b.holdMs) ||
                    (b.pullMs >= 0 && b.since.elapsed() >= b.pullMs + BurnClock::scaledMs(3000)) ||
                    b.since.elapsed() > deviceLimitMs) {
                    mPlugger.unplug(s);
                    b.state = Bench::Draining;
                    b.since.start();
                }
                break;
            case Bench::Draining:
                if (idle(s) || b.since.elapsed() > BurnClock::scaledMs(60000) + 5000)
                    b.state = Bench::Idle;
                break;
            }
        }
    }

  private:
    struct Bench {
        enum State { Idle, Burning, Draining } state = Idle;
        int holdMs = 0;
        int pullMs = -1;
        QElapsedTimer since, ended;
    };
    Plugger mPlugger;
    Bench mBenches[8];
    int mPlugged = 0;
};

// The line in a process of its own (this program with --line ROOT SEED), so
// that the devices it keeps (every one, with its memory, until the line
// stops) are not counted in the window's memory. One command per line on its
// standard input ("plug S", "unplug S"), one answer per line.
int lineServer(const QString &root, unsigned seed) {
    auto line = teststation::makeLine(root);
    Plugger local = localPlugger(*line, seed);
    std::printf("ready\n");
    std::fflush(stdout);
    char buf[64];
    while (std::fgets(buf, sizeof buf, stdin)) {
        int slot = -1;
        if (std::sscanf(buf, "plug %d", &slot) == 1 && slot >= 0 && slot < 8) {
            int hold = 0, pull = -1;
            const bool ok = local.plug(slot, &hold, &pull);
            std::printf("%d %d %d\n", ok ? 1 : 0, hold, pull);
        } else if (std::sscanf(buf, "unplug %d", &slot) == 1 && slot >= 0 && slot < 8) {
            local.unplug(slot);
            std::printf("ok\n");
        } else {
            std::printf("?\n");
        }
        std::fflush(stdout);
    }
    return 0;
}

Plugger remotePlugger(QProcess &server) {
    auto answer = [&server] {
        while (!server.canReadLine())
            if (!server.waitForReadyRead(30000)) return QByteArray();
        return server.readLine().trimmed();
    };
    Plugger p;
    p.plug = [&server, answer](int slot, int *holdMs, int *pullMs) {
        server.write("plug " + QByteArray::number(slot) + "\n");
        const QList<QByteArray> a = answer().split(' ');
        if (a.size() != 3 || a[0] != "1") return false;
        *holdMs = a[1].toInt();
        *pullMs = a[2].toInt();
        return true;
    };
    p.unplug = [&server, answer](int slot) {
        server.write("unplug " + QByteArray::number(slot) + "\n");
        answer();
    };
    return p;
}

void makePackage(const QString &dir, const QString &zip) {
    teststation::writePlanFiles(dir + "/fw", dir + "/fw");
    QFile plan(dir + "/fw/config_progress.xml");
    if (plan.open(QIODevice::WriteOnly)) plan.write(teststation::samplePlan().toUtf8());
    plan.close();
    QProcess p;
    p.setWorkingDirectory(dir);
    p.start(QStringLiteral("7z"), {"a", "-tzip", "-mx=0", zip, "fw"});
    p.waitForFinished(60000);
}

int rowOfSlot(int slot) {
    const QString tail = QStringLiteral("port2(hub)-port%1").arg(slot + 1);
    for (int r = 0; r < PORT_COUNT; ++r)
        if (gPortInfo[r].portPath.get().endsWith(tail)) return r;
    return -1;
}

int runWindow(const Options &o, const QString &work, WeekSamples &samples) {
    const QString station = work + "/station";
    QDir().mkpath(station);
    if (o.panelLines > 0) {
        QFile ini(station + "/configure.ini");
        if (ini.open(QIODevice::WriteOnly))
            ini.write(QByteArray("[General]\nlanuage=en\n[Log]\npanel_lines=") +
                      QByteArray::number(o.panelLines) + "\n");
    }
    QDir::setCurrent(station);
    teststation::writeMediaFiles(work + "/media");
    makePackage(work + "/package", work + "/fw.zip");
    int boxes = 0;
    uiPrompts().information = [&](QWidget *, const QString &, const QString &) { ++boxes; };
    uiPrompts().warning = uiPrompts().information;

    QProcess server;
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(QCoreApplication::applicationFilePath(),
                 {"--line", work + "/root", QString::number(o.seed)});
    if (!server.waitForStarted(10000) || !server.waitForReadyRead(30000) ||
        server.readLine().trimmed() != "ready") {
        std::fprintf(stderr, "week-soak: the line does not start\n");
        return 2;
    }
    MainWindow w;
    // The soak refreshes the window itself, timing each refresh.
    for (QTimer *t : w.findChildren<QTimer *>())
        if (t->interval() == 500) t->stop();
    w.show();
    if (w.station()->importPackage(work + "/fw.zip") != BurnStation::PackageImport::Imported) {
        std::fprintf(stderr, "week-soak: the package was not imported\n");
        return 2;
    }
    w.station()->importMedia(work + "/media");
    w.startClicked();

    Benches benches(remotePlugger(server));
    std::vector<double> refreshMs;
    int nextSample = 0;
    auto burns = [] { return gSuccessCount.load() + gFailCount.load(); };
    // No burn ending for this long: the line or the window is stuck.
    const qint64 stuckMs = BurnClock::scaledMs(600000) + 60000;
    QElapsedTimer sinceBurn;
    sinceBurn.start();
    int lastBurns = 0;
    while (burns() < o.burns) {
        if (burns() != lastBurns) {
            lastBurns = burns();
            sinceBurn.start();
        } else if (sinceBurn.elapsed() > stuckMs) {
            std::fprintf(stderr, "week-soak: no burn ended for %lld ms\n", stuckMs);
            return 1;
        }
        QCoreApplication::processEvents();
        QElapsedTimer t;
        t.start();
        w.updateDevUi();
        refreshMs.push_back(double(t.nsecsElapsed()) / 1e6);
        benches.step(
            [](int s) {
                const int r = rowOfSlot(s);
                const int st = r >= 0 ? gPortInfo[r].status.load() : 0;
                return st == PORT_STATUS_SUCCESS || st == PORT_STATUS_FAILED;
            },
            [](int s) {
                const int r = rowOfSlot(s);
                return r < 0 || gPortInfo[r].status.load() == PORT_STATUS_NONE;
            },
            2 * o.burns + 64);
        if (burns() >= nextSample) {
            WeekSample s;
            s.burns = burns();
            procStatus(QCoreApplication::applicationPid(), &s);
            s.panelLines = w.form()->tedit_logshow->document()->blockCount();
            s.refreshP50 = weekPercentile(refreshMs, 0.5);
            s.refreshP99 = weekPercentile(refreshMs, 0.99);
            s.storeMiB = storeMiB(station);
            refreshMs.clear();
            samples.add(s);
            std::printf("sample at %d burns: rss %.1f MiB, refresh p99 %.2f ms\n", s.burns,
                        s.rssMiB, s.refreshP99);
            std::fflush(stdout);
            nextSample = (s.burns / o.every + 1) * o.every;
        }
        QThread::msleep(static_cast<unsigned long>(BurnClock::scaledMs(500)));
    }
    std::printf("window: %d burns (%d success, %d failure), %d box(es) closed, %d automatic "
                "save(s) after failures\n",
                burns(), gSuccessCount.load(), gFailCount.load(), boxes, w.autosaves());
    server.closeWriteChannel();
    server.waitForFinished(30000);
    return 0;
}

int runCli(const Options &o, const QString &work, WeekSamples &samples) {
    auto line = teststation::makeLine(work + "/root");
    const QString station = work + "/cli-station";
    QDir().mkpath(station);
    if (o.panelLines > 0) {
        QFile ini(station + "/configure.ini");
        if (ini.open(QIODevice::WriteOnly))
            ini.write(QByteArray("[Log]\npanel_lines=") + QByteArray::number(o.panelLines) + "\n");
    }
    teststation::writeMediaFiles(work + "/media");
    makePackage(work + "/package", work + "/fw.zip");
    QProcess cli;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PYREWICK_SYSROOT"), work + "/root");
    env.remove(QStringLiteral("PYREWICK_RECORDS"));
    cli.setProcessEnvironment(env);
    cli.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    cli.start(o.cli, {"burn", "--json", "--station", station, "--package", work + "/fw.zip",
                      "--media", work + "/media"});
    if (!cli.waitForStarted(10000)) {
        std::fprintf(stderr, "week-soak: %s does not start\n", qPrintable(o.cli));
        return 2;
    }
    Benches benches(localPlugger(*line, o.seed));
    bool resultOn[8] = {};
    int results = 0, failures = 0, nextSample = 0;
    QByteArray pending;
    const qint64 stuckMs = BurnClock::scaledMs(600000) + 60000;
    QElapsedTimer sinceBurn;
    sinceBurn.start();
    int lastResults = 0;
    while (results < o.burns && cli.state() == QProcess::Running) {
        if (results != lastResults) {
            lastResults = results;
            sinceBurn.start();
        } else if (sinceBurn.elapsed() > stuckMs) {
            std::fprintf(stderr, "week-soak: no burn ended for %lld ms\n", stuckMs);
            break;
        }
        cli.waitForReadyRead(int(BurnClock::scaledMs(500)) + 1);
        pending += cli.readAllStandardOutput();
        for (qsizetype nl; (nl = pending.indexOf('\n')) >= 0;) {
            const QJsonObject e = QJsonDocument::fromJson(pending.left(nl)).object();
            pending.remove(0, nl + 1);
            if (e.value("event").toString() != "result") continue;
            ++results;
            if (e.value("result").toString() != "success") ++failures;
            const QString path = e.value("path").toString();
            for (int s = 0; s < 8; ++s)
                if (path.endsWith(QStringLiteral("port2(hub)-port%1").arg(s + 1)))
                    resultOn[s] = true;
        }
        benches.step(
            [&](int s) {
                const bool r = resultOn[s];
                resultOn[s] = false;
                return r;
            },
            [](int) { return true; }, 2 * o.burns + 64);
        if (results >= nextSample) {
            WeekSample s;
            s.burns = results;
            procStatus(cli.processId(), &s);
            s.storeMiB = storeMiB(station);
            samples.add(s);
            std::printf("sample at %d burns: rss %.1f MiB\n", s.burns, s.rssMiB);
            std::fflush(stdout);
            nextSample = (results / o.every + 1) * o.every;
        }
    }
    cli.terminate();
    cli.waitForFinished(120000);
    std::printf("pyrewick-cli: %d burns (%d failure)\n", results, failures);
    return results >= o.burns ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 4 && !std::strcmp(argv[1], "--line")) {
        QCoreApplication app(argc, argv);
        return lineServer(QString::fromLocal8Bit(argv[2]),
                          unsigned(std::strtoul(argv[3], nullptr, 10)));
    }
    QApplication app(argc, argv);
    Options o;
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        const bool more = i + 1 < argc;
        if (!std::strcmp(a, "--window"))
            o.window = true;
        else if (!std::strcmp(a, "--cli") && more) {
            o.window = false;
            o.cli = argv[++i];
        } else if (!std::strcmp(a, "--burns") && more)
            o.burns = std::atoi(argv[++i]);
        else if (!std::strcmp(a, "--every") && more)
            o.every = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(a, "--seed") && more)
            o.seed = unsigned(std::strtoul(argv[++i], nullptr, 10));
        else if (!std::strcmp(a, "--plot") && more)
            o.plot = argv[++i];
        else if (!std::strcmp(a, "--memory-rule-only"))
            o.memoryOnly = true;
        else if (!std::strcmp(a, "--no-rules"))
            o.noRules = true;
        else if (!std::strcmp(a, "--panel-lines") && more)
            o.panelLines = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr,
                         "usage: pyrewick_weeksoak --window|--cli PATH --burns N [--every N] "
                         "[--seed S] [--plot FILE] [--panel-lines N] [--memory-rule-only] "
                         "[--no-rules]\n");
            return 2;
        }
    }
    QTemporaryDir work(QStringLiteral("/var/tmp/week-soak.XXXXXX"));
    const QString oldCwd = QDir::currentPath();
    qputenv("PYREWICK_SYSROOT", work.filePath("root").toLocal8Bit());
    resetBurnState();
    // The first 2 x every burns warm up (the panel fills to its bound, the
    // caches settle); the rules judge what follows.
    WeekSamples samples(2 * o.every);
    if (o.memoryOnly) samples.judgeMemoryOnly();
    const int status =
        o.window ? runWindow(o, work.path(), samples) : runCli(o, work.path(), samples);
    QDir::setCurrent(oldCwd);
    std::printf("%s", qPrintable(samples.table()));
    if (!o.plot.isEmpty())
        samples.plot(o.plot, o.window ? QStringLiteral("week soak: the window")
                                      : QStringLiteral("week soak: pyrewick-cli"));
    const QStringList broken = samples.broken();
    for (const QString &b : broken)
        std::printf("%s %s\n", o.noRules ? "rule (not judged):" : "FAIL", qPrintable(b));
    if (o.noRules) return status;
    return status != 0 ? status : (broken.isEmpty() ? 0 : 1);
}
