// The handle the scan opens is what the ROM command library talks through.
#include "hubsift.h"
#include "romdevice.h"
#include "romvane.h"
#include "usbtreebuilder.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

TEST(DeviceHandle, TheOpenedDeviceAnswersIdentify) {
    UsbTreeBuilder tree;
    tree.load("hub-on-root-port2.tree");
    vyrsim::RomDeviceConfig cfg;
    cfg.stage = vyrsim::StageFirstLoader;
    vyrsim::RomDevice device(cfg);
    ASSERT_TRUE(device.listen(tree.nodePath("2-2.4")));

    VyrHandle h = VyrGetDeviceHandle("Skelmar Device",
                                     "EHCI Host Controller (usb2)(RootHub)-port2(hub)-port4");
    ASSERT_GE(h, 3);
    uint8_t reply[4] = {};
    uint32_t got = 0;
    RomRequest req{h, sizeof reply, reply, &got, 0};
    EXPECT_EQ(0, VyrUsbIdentifyHost(&req));
    EXPECT_EQ(vyrsim::StageFirstLoader, reply[3]);
    ::close(int(h));
}

} // namespace
