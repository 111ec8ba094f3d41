// pyrewick_soak: burns devices back to back on the virtual line with faults
// drawn from a seeded scenario, then checks what must hold after any number
// of burns and prints it on one line.
//
//   pyrewick_soak [--burns N] [--seed S] [--verbose]
//
// The engine's clock runs at PYREWICK_TIME_SCALE (0.05 when unset). Exit
// status: 0 all invariants held, 1 one broke, 2 bad command line.
#include <QCoreApplication>
#include <QStringList>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "burnclock.h"
#include "soakrun.h"

// The watch thread starts the device-console tool: a fork of this
// multi-threaded process that only execs.
extern "C" const char *__tsan_default_options() {
    return "die_after_fork=0";
}

namespace {

int usage() {
    std::fprintf(stderr, "usage: pyrewick_soak [--burns N] [--seed S] [--verbose]\n");
    return 2;
}

bool number(const QString &text, long long lo, long long hi, long long *out) {
    bool ok = false;
    const long long n = text.toLongLong(&ok);
    if (!ok || n < lo || n > hi) return false;
    *out = n;
    return true;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    SoakOptions opt;
    opt.seed = unsigned(std::time(nullptr));
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        long long n = 0;
        if (args[i] == "--verbose") {
            opt.verbose = true;
        } else if (args[i] == "--burns" && i + 1 < args.size() &&
                   number(args[i + 1], 1, 1000000, &n)) {
            opt.burns = int(n);
            ++i;
        } else if (args[i] == "--seed" && i + 1 < args.size() &&
                   number(args[i + 1], 0, 0xffffffffLL, &n)) {
            opt.seed = unsigned(n);
            ++i;
        } else {
            return usage();
        }
    }
    if (qEnvironmentVariableIsEmpty("PYREWICK_TIME_SCALE")) BurnClock::setScale(0.05);
    std::printf("soak: seed %u, time scale %g, %d burns\n", opt.seed, BurnClock::scale(),
                opt.burns);
    std::fflush(stdout);

    SoakRun soak(opt);
    soak.run();
    const SoakLedger &l = soak.ledger();
    const SoakFigures f = figures(l);
    const QString broken = brokenInvariant(l);

    std::printf("soak: seed=%u burns=%d success=%d failed=%d unfinished=%d invariants: %s\n",
                opt.seed, f.burns, f.successes, f.failures, f.unfinished,
                broken.isEmpty() ? "all held" : qPrintable("broken: " + broken));
    std::printf("soak: by fault (burns/success/failed):");
    for (int k = 0; k < kSoakFaultCount; ++k)
        std::printf(" %s %d/%d/%d", faultName(static_cast<SoakFault>(k)), f.byFault[size_t(k)],
                    f.successByFault[size_t(k)], f.failByFault[size_t(k)]);
    std::printf("\nsoak: statistics success:%d failed:%d by step:", l.successCount, l.failCount);
    for (size_t j = 0; j < l.failByStep.size(); ++j)
        if (l.failByStep[j]) std::printf(" s%zu:%d", j, l.failByStep[j]);
    std::printf("\nsoak: expected successes that failed %d, log lines dropped before the panel "
                "%d of %d, pull-out boxes %d, wall time %.1f s\n",
                f.cleanFailures, f.droppedLines, f.droppedLines + f.panelLineCount,
                soak.messagesClosed(), soak.wallSeconds());
    std::printf("soak: a corrupt package refused, the plan replaced mid-run, the bytes of %d "
                "successful devices checked against the plan each started with\n",
                l.successesChecked);
    const int status = broken.isEmpty() ? 0 : 1;
#if defined(__SANITIZE_THREAD__)
    // Everything the soak started has ended and been checked by now. What is
    // left is the Qt library's own static clean-up at exit, which frees data
    // the watch thread's child-process runs touched; the hand-over between
    // them happens inside Qt, where the sanitizer cannot see it. Leave
    // without that clean-up under ThreadSanitizer only.
    std::fflush(nullptr);
    std::_Exit(status);
#endif
    return status;
}
