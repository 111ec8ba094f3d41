#include "devicechangesource.h"

#include <QDebug>
#include <QDir>
#include <QFileSystemWatcher>
#include <QSocketNotifier>
#include <QTimer>
#include <cstring>
#include <libudev.h>

#include "burnclock.h"
#include "burnstate.h"
#include "sysroot.h"

const char *const DeviceChangeSource::kPollingText =
    "no device change monitor: looking for device changes every second";
const char *const DeviceChangeSource::kKernelEventsText =
    "no udev daemon running: device changes come straight from the kernel";

namespace {

// Whether udevd runs: its control socket is there. Without it the "udev"
// source of a monitor opens fine and never hears anything.
bool udevDaemonRuns(struct udev *udev) {
    struct udev_queue *queue = udev_queue_new(udev);
    if (!queue) return false;
    const bool active = udev_queue_get_udev_is_active(queue) > 0;
    udev_queue_unref(queue);
    return active;
}

} // namespace

DeviceChangeSource::DeviceChangeSource(QObject *parent, Mode mode) : QObject(parent) {
    gPcVersion.set(pcVersion());
    mWatchedDir = QString::fromStdString(vyrsys::path("sys/bus/usb/devices"));
    if (mode == Mode::Auto && !vyrsys::root().empty()) {
        mWatcher = new QFileSystemWatcher(this);
        connect(mWatcher, &QFileSystemWatcher::directoryChanged, this, [this] {
            notify();
            // A replaced directory must be watched again; a removed one is
            // looked for until it is back.
            if (!watchDirectory()) startPolling();
        });
        // A line that is not there yet: look for its directory every second
        // until it appears, then watch it.
        if (!watchDirectory()) startPolling();
        mActive = true;
        return;
    }

    if (mode == Mode::Auto) {
        mUdev = udev_new();
        // The events udevd has processed (device nodes and rules applied),
        // else the kernel's own, which reach an unprivileged listener too.
        if (mUdev) {
            mHearsKernel = !udevDaemonRuns(mUdev);
            mMonitor = udev_monitor_new_from_netlink(mUdev, mHearsKernel ? "kernel" : "udev");
        }
        if (mMonitor &&
            udev_monitor_filter_add_match_subsystem_devtype(mMonitor, "usb", nullptr) >= 0 &&
            udev_monitor_enable_receiving(mMonitor) >= 0) {
            mNotifier =
                new QSocketNotifier(udev_monitor_get_fd(mMonitor), QSocketNotifier::Read, this);
            connect(mNotifier, &QSocketNotifier::activated, this, [this] { readMonitor(); });
            if (mHearsKernel) {
                qDebug().noquote() << "no udev daemon: monitoring kernel uevents";
                appendMainLogLine(QString::fromLatin1(kKernelEventsText));
            }
            mActive = true;
            return;
        }
        mHearsKernel = false;
    }
    // No monitor: look at the USB device directory every second instead, and
    // tell the operator once.
    qDebug().noquote() << "device change monitor unavailable";
    appendMainLogLine(QString::fromLatin1(kPollingText));
    startPolling();
    mActive = true;
}

DeviceChangeSource::~DeviceChangeSource() {
    delete mNotifier;
    mNotifier = nullptr;
    if (mMonitor) udev_monitor_unref(mMonitor);
    if (mUdev) udev_unref(mUdev);
}

void DeviceChangeSource::notify() {
    gDeviceChanged = true;
    emit changed();
}

bool DeviceChangeSource::watchDirectory() {
    if (mWatcher->directories().contains(mWatchedDir)) return true;
    return QDir(mWatchedDir).exists() && mWatcher->addPath(mWatchedDir);
}

void DeviceChangeSource::startPolling() {
    mSnapshot = snapshot();
    if (!mPoll) {
        mPoll = new QTimer(this);
        connect(mPoll, &QTimer::timeout, this, &DeviceChangeSource::poll);
    }
    mPoll->start(BurnClock::scaledMs(1000));
}

QStringList DeviceChangeSource::snapshot() const {
    QStringList names =
        QDir(mWatchedDir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
    names.sort();
    return names;
}

void DeviceChangeSource::poll() {
    if (mWatcher) {
        // Waiting for the line's directory to appear.
        if (!watchDirectory()) return;
        mPoll->stop();
        notify();
        return;
    }
    QStringList now = snapshot();
    if (now == mSnapshot) return;
    mSnapshot = std::move(now);
    notify();
}

void DeviceChangeSource::readMonitor() {
    struct udev_device *device = udev_monitor_receive_device(mMonitor);
    if (!device) return;
    const char *action = udev_device_get_action(device);
    if (action && (!std::strcmp(action, "add") || !std::strcmp(action, "remove") ||
                   !std::strcmp(action, "bind") || !std::strcmp(action, "unbind")))
        notify();
    udev_device_unref(device);
}
