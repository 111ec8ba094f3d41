#include "hubsift.h"
#include "usbtreebuilder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

namespace {

TEST(NeedDriver, CountsRomDevicesWhoseNodeCannotBeOpened) {
    UsbTreeBuilder tree;
    tree.load("driver-problems.tree");
    int listener = tree.listenOnNode("1-3");
    LogCapture log;
    // 1-1 (no node), 1-2 (plain file), 1-5 (upper-case ids, no node).
    EXPECT_EQ(3, VyrGetNeedDriver(0x1B8E, 0xC003));
    EXPECT_NE(std::string::npos, log.text().find("need install driver  problem\n"));
    // The near miss is counted only when asked for.
    EXPECT_EQ(1, VyrGetNeedDriver(0x1B8E, 0xC002));
    ::close(listener);
}

TEST(NeedDriver, WorkingDevicesAndMissingListings) {
    UsbTreeBuilder tree;
    tree.apply("root 1 ports=2\ndev 1-1\n");
    int listener = tree.listenOnNode("1-1");
    LogCapture log;
    EXPECT_EQ(0, VyrGetNeedDriver(0x1B8E, 0xC003));
    EXPECT_EQ(std::string::npos, log.text().find("need install driver"));
    ::close(listener);

    ASSERT_EQ(0, std::rename((tree.root() + "/sys/bus/usb/devices").c_str(),
                             (tree.root() + "/sys/bus/usb/gone").c_str()));
    EXPECT_EQ(-1, VyrGetNeedDriver(0x1B8E, 0xC003));
}

} // namespace
