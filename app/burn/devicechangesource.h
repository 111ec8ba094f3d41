// Tells the device watch thread that the USB device tree changed: a libudev
// monitor on the "usb" subsystem on a real system (the events udevd has
// processed, or the kernel's own uevents when no udev daemon runs), or a file
// watcher on the USB device directory of a virtual line when PYREWICK_SYSROOT
// is set. Either sets gDeviceChanged. Lives on the thread that creates it (the
// window's).
#ifndef DEVICECHANGESOURCE_H
#define DEVICECHANGESOURCE_H

#include <QObject>
#include <QString>
#include <QStringList>

class QFileSystemWatcher;
class QTimer;
class QSocketNotifier;
struct udev;
struct udev_monitor;

class DeviceChangeSource : public QObject {
    Q_OBJECT

  public:
    // Auto: the udev monitor (a file watcher under a system root), looking
    // for changes every second where neither can be had. Polling: only that
    // (tests).
    enum class Mode { Auto, Polling };
    // The log panel line said when no monitor could be set up.
    static const char *const kPollingText;
    // The log panel line said when the monitor hears the kernel directly.
    static const char *const kKernelEventsText;

    explicit DeviceChangeSource(QObject *parent = nullptr, Mode mode = Mode::Auto);
    ~DeviceChangeSource() override;

    // False when no notification source could be set up.
    bool isActive() const { return mActive; }
    // True when the monitor hears the kernel's uevents (no udev daemon ran
    // when the source was made).
    bool hearsKernel() const { return mHearsKernel; }
    // The operating-system family text for the driver folder.
    static QString pcVersion() { return QStringLiteral("linux"); }

  signals:
    // Emitted after gDeviceChanged was set.
    void changed();

  private:
    void notify();
    bool watchDirectory(); // true when the directory is watched
    void startPolling();
    void poll();
    QStringList snapshot() const;
    void readMonitor();

    QFileSystemWatcher *mWatcher = nullptr;
    QString mWatchedDir;
    QTimer *mPoll = nullptr;
    QStringList mSnapshot;
    QSocketNotifier *mNotifier = nullptr;
    struct udev *mUdev = nullptr;
    struct udev_monitor *mMonitor = nullptr;
    bool mActive = false;
    bool mHearsKernel = false;
};

#endif
