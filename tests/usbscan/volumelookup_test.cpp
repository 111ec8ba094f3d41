#include "hubsift.h"
#include "usbtreebuilder.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <unistd.h>

namespace {

const std::string kBus1 = "xHCI Host Controller (usb1)(RootHub)-";

struct Drive {
    char text[PATH_MAX];
    Drive() { std::strcpy(text, "untouched"); }
};

TEST(MsNumber, FindsTheVolumesOfTheDeviceOnAPort) {
    UsbTreeBuilder tree;
    tree.load("mass-storage.tree");
    const std::string port1 = kBus1 + "port1", port3 = kBus1 + "port3", port4 = kBus1 + "port4";

    EXPECT_EQ(1, VyrGetMsNumber(port1.c_str(), 0, nullptr));
    EXPECT_EQ(1, VyrGetMsNumber(port3.c_str(), 0, nullptr));
    Drive one;
    EXPECT_EQ(1, VyrGetMsNumber(port1.c_str(), 1, one.text));
    EXPECT_EQ(tree.root() + "/media/vyr/first", one.text);
    // Two volumes: the later mount line wins, its escaped space decoded.
    Drive two;
    EXPECT_EQ(2, VyrGetMsNumber(port3.c_str(), 1, two.text));
    EXPECT_EQ(tree.root() + "/media/vyr/second volume", two.text);

    // Mass storage elsewhere only: no device here, the buffer is left alone.
    Drive none;
    EXPECT_EQ(0, VyrGetMsNumber(port4.c_str(), 0, nullptr));
    EXPECT_EQ(0, VyrGetMsNumber(port4.c_str(), 1, none.text));
    EXPECT_STREQ("untouched", none.text);
    EXPECT_EQ(-1, VyrGetMsNumber(nullptr, 0, none.text));
    EXPECT_EQ(-1, VyrGetMsNumber(port1.c_str(), 1, nullptr));
}

TEST(MsNumber, NoMassStorageAnywhere) {
    UsbTreeBuilder tree;
    tree.load("root-port3.tree");
    LogCapture log;
    Drive d;
    EXPECT_EQ(-1, VyrGetMsNumber((kBus1 + "port3").c_str(), 0, nullptr));
    EXPECT_EQ(-1, VyrGetMsNumber((kBus1 + "port3").c_str(), 1, d.text));
    EXPECT_STREQ("untouched", d.text);
    EXPECT_NE(std::string::npos, log.text().find("can not find ms devices\n"));
}

TEST(MsNumber, DiskFactsThatRuleAVolumeOut) {
    const std::string port1 = kBus1 + "port1";
    {
        SCOPED_TRACE("not removable");
        UsbTreeBuilder tree;
        tree.apply("root 1 ports=2\ndev 1-1 pid=c004 disk=sda removable=0\nmount 8:1 /media/a\n");
        Drive d;
        EXPECT_EQ(0, VyrGetMsNumber(port1.c_str(), 1, d.text));
        EXPECT_STREQ("untouched", d.text);
    }
    {
        SCOPED_TRACE("class entry is a real directory, the disk itself is mounted");
        UsbTreeBuilder tree;
        tree.apply("root 1 ports=2\ndev 1-1 pid=c004 disk=sdd blocklink=no\nmount 8:48 /m\n");
        Drive d;
        EXPECT_EQ(1, VyrGetMsNumber(port1.c_str(), 1, d.text));
        EXPECT_EQ(tree.root() + "/m", d.text);
    }
    {
        SCOPED_TRACE("disk number unreadable");
        UsbTreeBuilder tree;
        tree.apply("root 1 ports=2\ndev 1-1 pid=c004 disk=sdb\nmount 8:17 /m\n");
        ::unlink(
            (tree.deviceDir("1-1") + "/1-1:1.0/host0/target0:0:0/0:0:0:0/block/sdb/dev").c_str());
        LogCapture log;
        Drive d;
        EXPECT_EQ(-ENOENT, VyrGetMsNumber(port1.c_str(), 1, d.text));
        EXPECT_NE(std::string::npos, log.text().find("/sdb/dev\" failed,errno=2\n"));
    }
    {
        SCOPED_TRACE("garbage disk number");
        UsbTreeBuilder tree;
        tree.apply("root 1 ports=2\ndev 1-1 pid=c004 disk=sdb\nmount 8:17 /m\n");
        writeFile(tree.deviceDir("1-1") + "/1-1:1.0/host0/target0:0:0/0:0:0:0/block/sdb/dev",
                  "8:x\n");
        Drive d;
        EXPECT_GT(0, VyrGetMsNumber(port1.c_str(), 1, d.text));
        EXPECT_STREQ("untouched", d.text);
    }
}

TEST(MsNumber, AMountPointTooLongForTheBufferIsNotCounted) {
    UsbTreeBuilder tree;
    tree.apply("root 1 ports=2\ndev 1-1 pid=c004 disk=sdb\nmount 8:17 /short\nmount 8:17 /" +
               std::string(PATH_MAX, 'x') + "\n");
    LogCapture log;
    Drive d;
    EXPECT_EQ(1, VyrGetMsNumber((kBus1 + "port1").c_str(), 1, d.text));
    EXPECT_EQ(tree.root() + "/short", d.text);
    EXPECT_NE(std::string::npos, log.text().find("too long"));
}

} // namespace
