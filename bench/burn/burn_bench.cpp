// Burns one device, then eight at once, on the virtual line with the sample
// plan and prints each wall time against its floor:
//
//   one device:   every tick the plan needs (one second each) plus the fixed
//                 pauses (3 s after starting code, 5 s after a load, 2 s after
//                 bootm, 1 s at success);
//   eight:        starting code is one device at a time, each start holding
//                 the run lock for its 3 s pause, so the last device cannot
//                 start its boot loader before 16 starts have passed; it then
//                 needs the rest of a one-device burn.
//
// The virtual devices answer at once (boot and recovery times are a small
// fraction of a tick), so the floor is the engine's own.
//
// Every copy onto a recovery volume is flushed to the device (fsync of each
// file and changed directory, then syncfs). The eight-device burn also times
// those flushes and prints, per burn, the time they took: the time the
// flushes add to a burn, as the burn thread waits for them. The virtual
// line's volumes are directories of the machine's own disk, so a syncfs there
// also waits for whatever else is being written to that disk.
//
//   burn_bench [--scale F] [--only 1|8] [--verbose]   (F = time scale, default 1)
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMutex>
#include <QMutexLocker>
#include <algorithm>
#include <vector>
#include <cstdio>
#include <cstring>
#include <memory>

#include "burnclock.h"
#include "benchline.h"
#include "burnplan.h"
#include "burnstate.h"
#include "volumewriter.h"

namespace {

// Floors in seconds of the system's time, from the plan's records.
struct Floor {
    double single = 0;       // one whole burn
    double toFirstRun = 0;   // from the start to the first start of code
    double afterLastRun = 0; // from the end of the last code start's pause to the end
    int codeStarts = 0;
};

Floor planFloor(const BurnPlan &plan) {
    Floor f;
    double t = 1; // status 2 -> 4 (status 1 ends the thread; the refresh restarts it)
    double lastRunEnd = 0;
    bool firstRunSeen = false;
    int i = 0;
    const int n = plan.commandCount();
    for (; i < n; ++i) {
        const BurnCommand &c = plan.command(i);
        const QString cmd = c.command.trimmed();
        const bool run = c.run() == QLatin1String("true");
        t += 1; // the tick that carries out the command
        if ((cmd == "load spl" || cmd == "load uboot") && run) {
            if (!firstRunSeen) {
                f.toFirstRun = t;
                firstRunSeen = true;
            }
            t += 3; // the start's pause under the run lock
            lastRunEnd = t;
            t += 5; // a fresh load settles
            ++f.codeStarts;
            if (cmd == "load uboot") t += 1; // status 5: the boot loader answers
        } else if (cmd == "load uimage") {
            t += 5;
        } else if (cmd.startsWith("bootm")) {
            t += 2;
            ++i;
            break;
        }
    }
    t += 1; // status 6: the device has left
    t += 2; // status 7: volume present, then found and ready
    for (; i < n; ++i) {
        const QString cmd = plan.command(i).command.trimmed();
        if (cmd.isEmpty() || cmd == "copy_media" || cmd == "reset" || cmd == "shutdown" ||
            cmd == "poweroff" || cmd == "erase_test")
            t += 1;
        else
            t += 2; // sent, then its result read
    }
    t += 2;     // past the last record, then success
    t += 1 + 1; // status 11: its tick and its extra second
    f.single = t;
    f.afterLastRun = t - lastRunEnd;
    return f;
}

// Time spent in each flush of a volume file operation, by path.
struct FlushCall {
    std::string path;
    double seconds;
};
QMutex gFlushLock;
std::vector<FlushCall> gFlushCalls;

template <int (*const VolumeFileOps::*Op)(const char *)> int timedFlush(const char *path) {
    QElapsedTimer t;
    t.start();
    const int r = (systemVolumeFileOps().*Op)(path);
    const double seconds = t.nsecsElapsed() / 1e9;
    QMutexLocker l(&gFlushLock);
    gFlushCalls.push_back({path, seconds});
    return r;
}

// Flush seconds and calls of each device's burn: the calls on its volume.
struct BurnFlushes {
    std::vector<double> seconds;
    std::vector<int> calls;
};

BurnFlushes flushesByVolume(const std::vector<std::string> &volumes) {
    BurnFlushes f;
    f.seconds.assign(volumes.size(), 0.0);
    f.calls.assign(volumes.size(), 0);
    QMutexLocker l(&gFlushLock);
    for (const FlushCall &c : gFlushCalls) {
        for (size_t v = 0; v < volumes.size(); ++v) {
            const std::string &vol = volumes[v];
            if (c.path.compare(0, vol.size(), vol) == 0 &&
                (c.path.size() == vol.size() || c.path[vol.size()] == '/')) {
                f.seconds[v] += c.seconds;
                f.calls[v] += 1;
                break;
            }
        }
    }
    return f;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? 0 : (n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2);
}

double burn(int devices, double scale, bool verbose, BurnFlushes *flushes = nullptr) {
    BenchLine bl(scale);
    QElapsedTimer timer;
    std::vector<double> runs; // seconds from the start, one per code start
    QMutex runLock;
    bl.line().setEventSink([&](const std::string &event) {
        if (event.rfind("run ", 0) == 0) {
            QMutexLocker l(&runLock);
            runs.push_back(timer.nsecsElapsed() / 1e9);
        }
    });
    const std::vector<int> ids = bl.plugQuick(devices);
    {
        QMutexLocker l(&gFlushLock);
        gFlushCalls.clear();
    }
    timer.start();
    bl.start();
    const bool done = bl.runUntilAllSucceeded(devices);
    const double seconds = timer.nsecsElapsed() / 1e9;
    {
        QMutexLocker l(&runLock);
        std::sort(runs.begin(), runs.end());
        if (verbose) {
            std::printf("  code starts at:");
            for (double r : runs)
                std::printf(" %.2f", r / scale);
            std::printf(" (system seconds)\n");
        }
    }
    if (!done || gSuccessCount.load() != devices) {
        std::fprintf(stderr, "burn of %d device(s) did not succeed\n", devices);
        return -1;
    }
    if (flushes) {
        std::vector<std::string> volumes;
        for (int id : ids)
            volumes.push_back(bl.line().volumeDir(id));
        *flushes = flushesByVolume(volumes);
    }
    return seconds;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    BenchLine::quietConsole();
    VolumeFileOps timedOps = systemVolumeFileOps();
    timedOps.syncPath = timedFlush<&VolumeFileOps::syncPath>;
    timedOps.syncFileSystem = timedFlush<&VolumeFileOps::syncFileSystem>;
    setVolumeFileOps(&timedOps);
    double scale = 1.0;
    int only = 0;
    bool verbose = false;
    for (int a = 1; a < argc; ++a) {
        if (!std::strcmp(argv[a], "--scale") && a + 1 < argc)
            scale = std::atof(argv[++a]);
        else if (!std::strcmp(argv[a], "--verbose"))
            verbose = true;
        else if (!std::strcmp(argv[a], "--only") && a + 1 < argc)
            only = std::atoi(argv[++a]);
    }
    if (scale <= 0) scale = 1.0;

    Floor f;
    {
        BenchLine probe(scale);
        f = planFloor(*burnPlan());
    }
    const double single = f.single * scale;
    const double eight =
        qMax(single, (f.toFirstRun + 3.0 * 8 * f.codeStarts + f.afterLastRun) * scale);

    std::printf("time scale %.3f (floors in real seconds)\n", scale);
    int status = 0;
    if (only == 0 || only == 1) {
        const double t = burn(1, scale, verbose);
        if (t < 0)
            status = 1;
        else
            std::printf("1 device : %8.2f s  floor %8.2f s  ratio %.3f\n", t, single, t / single);
    }
    if (only == 0 || only == 8) {
        BurnFlushes flushes;
        const double t = burn(8, scale, verbose, &flushes);
        if (t < 0) {
            status = 1;
        } else {
            std::printf("8 devices: %8.2f s  floor %8.2f s  ratio %.3f  (one start at a time)\n", t,
                        eight, t / eight);
            const double m = median(flushes.seconds);
            const auto [lo, hi] =
                std::minmax_element(flushes.seconds.begin(), flushes.seconds.end());
            std::printf(
                "flushes added per burn: median %.1f ms (min %.1f, max %.1f) over %zu "
                "burns, %d flush calls each; %.3f%% of a one-device burn in real time (floor "
                "%.1f s)\n",
                m * 1e3, *lo * 1e3, *hi * 1e3, flushes.seconds.size(), flushes.calls[0],
                100.0 * m / f.single, f.single);
        }
    }
    return status;
}
