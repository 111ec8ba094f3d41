#include "devicechangesource.h"

#include <QDebug>
#include <QDir>
#include <QFileSystemWatcher>
#include <QSocketNotifier>
#include <cstring>
#include <libudev.h>

#include "burnstate.h"
#include "sysroot.h"

DeviceChangeSource::DeviceChangeSource(QObject *parent) : QObject(parent) {
    gPcVersion.set(pcVersion());
    if (!vyrsys::root().empty()) {
        mWatchedDir = QString::fromStdString(vyrsys::path("sys/bus/usb/devices"));
        mWatcher = new QFileSystemWatcher(this);
        connect(mWatcher, &QFileSystemWatcher::directoryChanged, this, [this] {
            notify();
            watchDirectory(); // a replaced directory must be watched again
        });
        watchDirectory();
        mActive = true;
        return;
    }

    mUdev = udev_new();
    if (!mUdev) return;
    mMonitor = udev_monitor_new_from_netlink(mUdev, "udev");
    if (!mMonitor ||
        udev_monitor_filter_add_match_subsystem_devtype(mMonitor, "usb", nullptr) < 0 ||
        udev_monitor_enable_receiving(mMonitor) < 0) {
        qDebug().noquote() << "device change monitor unavailable";
        return;
    }
    mNotifier = new QSocketNotifier(udev_monitor_get_fd(mMonitor), QSocketNotifier::Read, this);
    connect(mNotifier, &QSocketNotifier::activated, this, [this] { readMonitor(); });
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

void DeviceChangeSource::watchDirectory() {
    if (!mWatcher->directories().contains(mWatchedDir) && QDir(mWatchedDir).exists())
        mWatcher->addPath(mWatchedDir);
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
