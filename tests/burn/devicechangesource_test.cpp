// Device changes are seen without a monitor: a virtual line whose USB
// directory does not exist yet when the source starts, and a station without
// a udev monitor, where the USB device directory is looked at every second.
#include <gtest/gtest.h>

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
