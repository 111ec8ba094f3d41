// ProbeDevThread: the window's one thread on the USB side. Once a second it
// runs a requested system rescan, every tenth pass checks for ROM-mode
// devices without their driver (and reinstalls it), and after a device change
// scans the USB tree, publishes the device list and marks ports whose device
// appeared or left.
#ifndef PROBEDEVTHREAD_H
#define PROBEDEVTHREAD_H

#include <QStringList>
#include <QThread>
#include <array>
#include <atomic>
#include <functional>
#include <vector>

class ProbeDevThread : public QThread {
    Q_OBJECT

  public:
    ProbeDevThread();
    ~ProbeDevThread() override;

    // One scan under gScanLock: rewrites gDevCount and gDevPath, moves ports
    // in status 0 whose path was found to 1 (one newDevice() each) and ports
    // in status 1 whose device is gone back to 0.
    void scanDevices();
    // One pass of the loop without its sleep (rescan, driver check, reinstall,
    // scan on a device change).
    void pass();
    // Waits for the thread to end and takes over what its last pass wrote,
    // so the object can be deleted safely afterwards.
    void join();

    // The device-console tool: "devcon" in the working directory, else the
    // installed one, else on PATH. The driver package is looked up the same way.
    // Run as root: the installed tool and driver package only.
    static QString devconProgram();
    static QStringList rescanArguments();
    static QStringList reinstallArguments();
    // Runs the tool with the given arguments, waiting up to 30 s for it to
    // start and 30 s for it to end; true when it ended normally. Run as root,
    // a tool that someone other than root could have changed is not run.
    static bool runDevcon(const QStringList &arguments);
    // Replaces the tool for this process (tests); an empty runner restores
    // runDevcon.
    using DevconRunner = std::function<bool(const QStringList &arguments)>;
    static void setDevconRunner(DevconRunner runner);
    // Whether this process runs as root (installing device rules needs it,
    // and the tool lookups depend on it); a test may answer instead (an empty
    // check restores geteuid()).
    using RootCheck = std::function<bool()>;
    static bool runsAsRoot();
    static void setRootCheck(RootCheck check);
    // The log panel line that tells an ordinary user how to install the
    // device rules: the installed tool and driver package, never the working
    // directory's (root would run the operator's files).
    static QString needRootText();
    static QString rootCommandLine();

  signals:
    void newDevice();

  protected:
    void run() override;

  private:
    static constexpr int kSlots = 8;
    static constexpr int kSlotSize = 256;
    std::array<std::vector<char>, kSlots> mSlots;
    std::atomic<int> mRunsEnded{0}; // released at the end of run(), acquired by join()
    int mNeedDriverCount = 0;       // devices without access at the last driver check
    int mToldNeedRoot = 0;          // that count when the need for root was last said
};

#endif
