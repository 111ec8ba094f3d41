// Tells the device watch thread that the USB device tree changed: a libudev
// monitor on the "usb" subsystem on a real system, or a file watcher on the
// USB device directory of a virtual line when PYREWICK_SYSROOT is set. Either
// sets gDeviceChanged. Lives on the thread that creates it (the window's).
#ifndef DEVICECHANGESOURCE_H
#define DEVICECHANGESOURCE_H

#include <QObject>
#include <QString>

class QFileSystemWatcher;
class QSocketNotifier;
struct udev;
struct udev_monitor;

class DeviceChangeSource : public QObject {
    Q_OBJECT

  public:
    explicit DeviceChangeSource(QObject *parent = nullptr);
    ~DeviceChangeSource() override;

    // False when no notification source could be set up.
    bool isActive() const { return mActive; }
    // The operating-system family text for the driver folder.
    static QString pcVersion() { return QStringLiteral("linux"); }

  signals:
    // Emitted after gDeviceChanged was set.
    void changed();

  private:
    void notify();
    void watchDirectory();
    void readMonitor();

    QFileSystemWatcher *mWatcher = nullptr;
    QString mWatchedDir;
    QSocketNotifier *mNotifier = nullptr;
    struct udev *mUdev = nullptr;
    struct udev_monitor *mMonitor = nullptr;
    bool mActive = false;
};

#endif
