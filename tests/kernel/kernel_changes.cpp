// Run inside the kernel line's guest before any udev daemon starts
// (scripts/kernel-line, tests/kernel/guest.sh), as the operator, who may
// write the port's "disable" file: a device change source made as the window
// makes it (automatic, no system root) must still hear a device leave and
// come back. It power-cycles the hub port through that file, as the scan does
// with a stuck device, and prints
//
//   kernel changes: source=kernel|udev panel=yes|no before=N removal=N return=N gone=yes|no
//   back=yes|no
//
// source: which netlink source the monitor listens to; panel: whether the log
// panel says that changes come straight from the kernel; before, removal,
// return: change notifications heard before the port was switched off, while
// the device left, and while it came back. Exit status 0 when the device left
// and came back, 1 when it did not, 2 on bad arguments.
//
//   kernel_changes PORT      e.g. 1-1.8 (port 8 of the hub 1-1)
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <functional>

#include "burnstate.h"
#include "devicechangesource.h"

namespace {

bool writeText(const QString &path, const char *text) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return false;
    return file.write(text) > 0 && file.flush();
}

// Runs the event loop until `done` holds or `ms` milliseconds pass; true when
// `done` held.
bool runUntil(const std::function<bool()> &done, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() >= ms) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    }
    return true;
}

void runFor(int ms) {
    runUntil([] { return false; }, ms);
}

const char *yesNo(bool value) {
    return value ? "yes" : "no";
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const QString port = argc == 2 ? QString::fromLocal8Bit(argv[1]) : QString();
    const qsizetype dot = port.lastIndexOf(QLatin1Char('.'));
    if (dot <= 0 || dot + 1 >= port.size()) {
        std::fprintf(stderr, "usage: kernel_changes PORT (e.g. 1-1.8)\n");
        return 2;
    }
    const QString hub = port.left(dot);
    const QString devices = QStringLiteral("/sys/bus/usb/devices/");
    const QString device = devices + port;
    const QString disable = devices + hub + QStringLiteral(":1.0/") + hub +
                            QStringLiteral("-port") + port.mid(dot + 1) +
                            QStringLiteral("/disable");
    if (!QFileInfo::exists(device) || !QFileInfo::exists(disable)) {
        std::fprintf(stderr, "kernel_changes: no device %s or no %s\n", qPrintable(device),
                     qPrintable(disable));
        return 2;
    }

    qunsetenv("PYREWICK_SYSROOT");
    DeviceChangeSource source;
    int heard = 0;
    QObject::connect(&source, &DeviceChangeSource::changed, [&heard] { ++heard; });
    const bool panel =
        gMainLog.get().contains(QLatin1String(DeviceChangeSource::kKernelEventsText));

    runFor(500);
    const int before = heard;
    heard = 0;
    if (!writeText(disable, "1")) {
        std::fprintf(stderr, "kernel_changes: cannot write %s\n", qPrintable(disable));
        return 1;
    }
    const bool gone = runUntil([&] { return !QFileInfo::exists(device); }, 10000);
    runFor(1000); // the interface's and the device's events that follow
    const int removal = heard;
    heard = 0;
    if (!writeText(disable, "0")) {
        std::fprintf(stderr, "kernel_changes: cannot write %s\n", qPrintable(disable));
        return 1;
    }
    const bool back = runUntil([&] { return QFileInfo::exists(device); }, 15000);
    runFor(2000); // its configuration and interfaces
    const int comeBack = heard;

    std::printf("kernel changes: source=%s panel=%s before=%d removal=%d return=%d gone=%s "
                "back=%s\n",
                source.hearsKernel() ? "kernel" : "udev", yesNo(panel), before, removal, comeBack,
                yesNo(gone), yesNo(back));
    return gone && back ? 0 : 1;
}
