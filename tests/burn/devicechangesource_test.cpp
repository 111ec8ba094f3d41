// Device changes are seen without a monitor: a virtual line whose USB
// directory does not exist yet when the source starts, a station without a
// udev monitor, where the USB device directory is looked at every second, and
// a station without a udev daemon, where the monitor hears the kernel (what it
// hears there is shown by the kernel line's guest, tests/kernel).
#include <gtest/gtest.h>

#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "burnclock.h"
#include "burnline.h"
#include "burnstate.h"
#include "devicechangesource.h"
#include "line.h"
#include "teststation.h"

namespace {

struct ChangeSource : ::testing::Test {
    void SetUp() override {
        resetBurnState();
        BurnClock::setScale(0.05);
        oldRoot = qgetenv("PYREWICK_SYSROOT");
        ASSERT_TRUE(tmp.isValid());
        root = tmp.path() + "/root";
        qputenv("PYREWICK_SYSROOT", root.toLocal8Bit());
    }
    void TearDown() override {
        qputenv("PYREWICK_SYSROOT", oldRoot);
        BurnClock::setScale(-1);
        resetBurnState();
    }
    QTemporaryDir tmp;
    QString root;
    QByteArray oldRoot;
};

} // namespace

TEST_F(ChangeSource, LineThatAppearsLaterIsWatched) {
    DeviceChangeSource source;
    QSignalSpy spy(&source, &DeviceChangeSource::changed);
    gDeviceChanged = false;
    auto line = teststation::makeLine(root); // the USB directory appears now
    ASSERT_TRUE(spy.wait(5000));
    gDeviceChanged = false;
    spy.clear();
    line->plug(teststation::hubPort(2), teststation::deviceSpec());
    ASSERT_TRUE(spy.count() > 0 || spy.wait(5000));
    EXPECT_TRUE(gDeviceChanged.load());
}

TEST_F(ChangeSource, WithoutMonitorChangesAreLookedForEverySecond) {
    auto line = teststation::makeLine(root);
    DeviceChangeSource source(nullptr, DeviceChangeSource::Mode::Polling);
    EXPECT_EQ(gMainLog.get().count(DeviceChangeSource::kPollingText), 1);
    QSignalSpy spy(&source, &DeviceChangeSource::changed);
    gDeviceChanged = false;
    line->plug(teststation::hubPort(3), teststation::deviceSpec());
    ASSERT_TRUE(spy.wait(5000));
    EXPECT_TRUE(gDeviceChanged.load());
}

TEST_F(ChangeSource, WithoutUdevDaemonTheKernelIsHeard) {
    // libudev's own test for a running udevd: its control socket.
    if (QFileInfo::exists(QStringLiteral("/run/udev/control")))
        GTEST_SKIP() << "udevd runs here: the monitor hears udevd";
    qunsetenv("PYREWICK_SYSROOT");
    DeviceChangeSource source;
    EXPECT_TRUE(source.isActive());
    EXPECT_TRUE(source.hearsKernel());
    const QString log = gMainLog.get();
    EXPECT_EQ(log.count(DeviceChangeSource::kKernelEventsText), 1);
    EXPECT_EQ(log.count(DeviceChangeSource::kPollingText), 0);
}
