#include "probedevthread.h"

#include <QDebug>
#include <QMutex>
#include <QMutexLocker>
#include <QElapsedTimer>
#include <QFile>
#include <atomic>
#include <cstring>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "burnclock.h"
#include "burnstate.h"
#include "datafiles.h"
#include "hubsift.h"

namespace {

// Spaces the driver checks: one program-wide pass counter.
std::atomic<int> gProbeTick{0};

QMutex gRunnerLock;
ProbeDevThread::DevconRunner gRunner;

bool runTool(const QStringList &arguments) {
    ProbeDevThread::DevconRunner runner;
    {
        QMutexLocker lock(&gRunnerLock);
        runner = gRunner;
    }
    return runner ? runner(arguments) : ProbeDevThread::runDevcon(arguments);
}

constexpr unsigned kVendor = 0x1B8E;
constexpr unsigned kProduct = 0xC003;

} // namespace

ProbeDevThread::ProbeDevThread() : QThread(nullptr) {
    for (auto &slot : mSlots)
        slot.assign(kSlotSize, '\0');
}

ProbeDevThread::~ProbeDevThread() = default;

QString ProbeDevThread::devconProgram() {
    return DataFiles::findProgram(QStringLiteral("devcon"));
}

QStringList ProbeDevThread::rescanArguments() {
    return {QStringLiteral("rescan")};
}

namespace {

QString driverPackage() {
    QString version = gPcVersion.get();
    if (version.isEmpty()) version = QStringLiteral("linux");
    return QStringLiteral("VyrtekusbBurningdriver/") + version +
           QStringLiteral("/Skelmar_Device.rules");
}

QString hardwareId() {
    return QStringLiteral("USB\\VID_1B8E&PID_C003");
}

} // namespace

QStringList ProbeDevThread::reinstallArguments() {
    const QString rules = DataFiles::privileged() ? DataFiles::installedFile(driverPackage())
                                                  : DataFiles::find(driverPackage());
    return {QStringLiteral("update"), rules.isEmpty() ? driverPackage() : rules, hardwareId()};
}

bool ProbeDevThread::runDevcon(const QStringList &arguments) {
    // Started with posix_spawn rather than QProcess: QProcess starts its child
    // with vfork semantics outside the C library, which the thread sanitizer
    // cannot follow (it then mistakes this thread's later locking), and this
    // thread needs nothing of QProcess but the exit status. The tool's output
    // goes nowhere, as it did when QProcess captured it unread.
    const QString path = devconProgram();
    if (DataFiles::privileged()) {
        // Root runs only a tool nobody else can have changed: not one in the
        // operator's station folder, not one found on PATH by its bare name.
        QString why = path + QStringLiteral(": not an installed path");
        if (!path.startsWith(QLatin1Char('/')) || !DataFiles::rootOnly(path, &why)) {
            qWarning().noquote() << "device-console tool not run as root:" << why;
            return false;
        }
    }
    const QByteArray program = QFile::encodeName(path);
    std::vector<QByteArray> words{program};
    for (const QString &argument : arguments)
        words.push_back(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd : {0, 1, 2})
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY,
                                         0);
    pid_t pid = -1;
    const int started =
        posix_spawnp(&pid, program.constData(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (started != 0) return false;

    QElapsedTimer waited;
    waited.start();
    const qint64 limitMs = BurnClock::scaledMs(30000);
    int status = 0;
    for (;;) {
        const pid_t ended = ::waitpid(pid, &status, WNOHANG);
        if (ended == pid) break;
        if (ended < 0 && errno != EINTR) return false;
        if (waited.elapsed() >= limitMs) {
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return false;
        }
        ::usleep(20000);
    }
    return WIFEXITED(status);
}

QString ProbeDevThread::rootCommandLine() {
    QString program = DataFiles::setupPath(DataFiles::installedProgram(QStringLiteral("devcon")),
                                           QStringLiteral("devcon"));
    QString rules =
        DataFiles::setupPath(DataFiles::installedFile(driverPackage()), driverPackage());
    if (program.isEmpty()) program = QStringLiteral("devcon");
    if (rules.isEmpty()) rules = driverPackage();
    return program + QStringLiteral(" update ") + rules + QLatin1Char(' ') + hardwareId();
}

QString ProbeDevThread::needRootText() {
    return QStringLiteral("devices without access found: installing the device rules needs root; "
                          "run as root: ") +
           rootCommandLine();
}

bool ProbeDevThread::runsAsRoot() {
    return DataFiles::privileged();
}

void ProbeDevThread::setRootCheck(RootCheck check) {
    DataFiles::setPrivilegedCheck(std::move(check));
}

void ProbeDevThread::setDevconRunner(DevconRunner runner) {
    QMutexLocker lock(&gRunnerLock);
    gRunner = std::move(runner);
}

void ProbeDevThread::run() {
    while (gAppRunning.load()) {
        pass();
        BurnClock::sleepMs(1000);
    }
    mRunsEnded.fetch_add(1, std::memory_order_release);
}

void ProbeDevThread::join() {
    wait();
    (void)mRunsEnded.load(std::memory_order_acquire);
}

void ProbeDevThread::pass() {
    if (gRescanRequest.load()) {
        qDebug().noquote() << "---------call System Rescan------------";
        if (runTool(rescanArguments()))
            qDebug().noquote() << "---------call System Rescan  finished------------";
        else
            qDebug().noquote() << "---------call System Rescan  exited unormal------------";
        gRescanRequest = false;
        // A rescan re-enumerates the devices: scan them again, so that ports
        // whose device is still plugged (after Stop, then Start) are marked
        // connected and burnt again, even when no device came or went.
        gDeviceChanged = true;
    }

    if (gProbeTick.fetch_add(1) % 10 == 5) {
        const int count = VyrGetNeedDriver(kVendor, kProduct);
        mNeedDriverCount = count > 0 ? count : 0;
        if (count > 0) {
            qDebug().noquote() << "detect NeedInstallDrv " << count;
            gDriverInstalling = true;
        } else {
            mToldNeedRoot = 0;
        }
    }

    if (gDriverInstalling.load()) {
        if (!runsAsRoot()) {
            // Installing the device rules writes to the system's udev rules:
            // an ordinary user's attempt fails every time. Say so once, and
            // again only when the devices needing them changed.
            if (mToldNeedRoot != mNeedDriverCount) {
                mToldNeedRoot = mNeedDriverCount;
                appendMainLogLine(needRootText());
            }
        } else {
            const QString text =
                QStringLiteral("---------call System  reinstall driver------------");
            appendMainLogLine(text);
            qDebug().noquote() << text;
            runTool(reinstallArguments());
        }
        gDriverInstalling = false;
    }

    if (gDeviceChanged.load()) scanDevices();
}

void ProbeDevThread::scanDevices() {
    // Both builds take the lock: burn threads read the list under it while
    // they re-find their device.
    WriteLocker lock(&gScanLock);
    char *slotPtrs[kSlots];
    for (int i = 0; i < kSlots; ++i) {
        std::memset(mSlots[i].data(), 0, kSlotSize);
        slotPtrs[i] = mSlots[i].data();
    }
    gDeviceChanged = false;

    int count = VyrScanUsbX3Devices("Skelmar Device", slotPtrs);
    if (count > kSlots) count = kSlots;
    gDevCount = count;

    QStringList found;
    for (int i = 0; i < count; ++i) {
        mSlots[i][kSlotSize - 1] = '\0';
        const QString path = QString::fromLatin1(mSlots[i].data());
        found << path;
        gDevPath[i].set(path);
        for (int j = 0; j < PORT_COUNT; ++j) {
            int expected = PORT_STATUS_NONE;
            // Compare-and-set: a burn thread or the refresh may move the
            // status at the same moment.
            if (gPortInfo[j].portPath == path &&
                gPortInfo[j].status.compare_exchange_strong(expected, PORT_STATUS_CONNECTED))
                emit newDevice();
        }
    }

    for (int j = 0; j < PORT_COUNT; ++j) {
        if (gPortInfo[j].status.load() != PORT_STATUS_CONNECTED) continue;
        if (count <= 0 || !found.contains(gPortInfo[j].portPath.get())) {
            int expected = PORT_STATUS_CONNECTED;
            gPortInfo[j].status.compare_exchange_strong(expected, PORT_STATUS_NONE);
        }
    }
}
