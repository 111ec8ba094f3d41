#include "sysroot.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class SysrootTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/sysrootXXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(tmpl));
        dir = tmpl;
    }
    void TearDown() override {
        ::unsetenv("PYREWICK_SYSROOT");
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(0, std::system(cmd.c_str()));
    }
    void write(const std::string &rel, const std::string &text) {
        std::ofstream(dir + "/" + rel, std::ios::binary) << text;
    }
    std::string dir;
};

TEST_F(SysrootTest, RootComesFromTheEnvironmentAtEachCall) {
    ::unsetenv("PYREWICK_SYSROOT");
    EXPECT_EQ("/sys/bus/usb", vyrsys::path("sys/bus/usb"));
    ::setenv("PYREWICK_SYSROOT", "", 1);
    EXPECT_EQ("/sys/bus/usb", vyrsys::path("/sys/bus/usb"));
    ::setenv("PYREWICK_SYSROOT", (dir + "//").c_str(), 1);
    EXPECT_EQ(dir + "/sys/bus/usb", vyrsys::path("sys/bus/usb"));
    ::setenv("PYREWICK_SYSROOT", "/", 1);
    EXPECT_EQ("", vyrsys::root());
}

TEST_F(SysrootTest, AttributesAreTrimmedAndValidated) {
    write("product", "  xHCI Host Controller\n");
    write("maxchild", "4\n");
    write("idVendor", "1b8e\n");
    write("garbage", "12abc\n");
    write("negative", "-3\n");
    write("huge", "99999999999999999999999999\n");
    write("nul", std::string("ab\0cd", 5));
    write("empty", "");

    EXPECT_EQ("xHCI Host Controller", vyrsys::readAttr(dir + "/product").value());
    EXPECT_EQ(4u, vyrsys::readAttrNumber(dir + "/maxchild").value());
    EXPECT_EQ(0x1b8eu, vyrsys::readAttrNumber(dir + "/idVendor", 16).value());
    EXPECT_EQ("", vyrsys::readAttr(dir + "/empty").value());

    EXPECT_FALSE(vyrsys::readAttr(dir + "/missing"));
    EXPECT_FALSE(vyrsys::readAttr(dir + "/nul"));
    EXPECT_FALSE(vyrsys::readAttr(dir + "/product", 5)) << "longer than allowed";
    EXPECT_FALSE(vyrsys::readAttr(dir)) << "a directory is not an attribute";
    EXPECT_FALSE(vyrsys::readAttrNumber(dir + "/garbage"));
    EXPECT_FALSE(vyrsys::readAttrNumber(dir + "/negative"));
    EXPECT_FALSE(vyrsys::readAttrNumber(dir + "/huge"));
    EXPECT_FALSE(vyrsys::readAttrNumber(dir + "/empty"));
    EXPECT_FALSE(vyrsys::readAttrNumber(dir + "/missing"));
}

TEST(MountInfo, ParsesDevicesAndDecodesEscapes) {
    std::string text = "36 35 98:0 /mnt1 /mnt/parent rw,noatime master:1 - ext3 /dev/root rw\n"
                       "40 1 8:17 / /media/vyr/My\\040Disk rw - vfat /dev/sdb1 rw\n"
                       "41 1 8:33 / /media/back\\134slash rw - vfat /dev/sdc1 rw\n"
                       "garbage line\n"
                       "\n"
                       "42 1 8:x / /media/bad rw - vfat /dev/sdd rw\n"
                       "43 1 :5 / /media/bad2 rw - vfat /dev/sde rw\n"
                       "44 1 8:48 / relative rw - vfat /dev/sdf rw\n"
                       "45 1 8:49 / /media/trailing\\04 rw - vfat /dev/sdf1 rw\n";
    auto lines = vyrsys::parseMountInfo(text);
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ(98u, lines[0].major);
    EXPECT_EQ(0u, lines[0].minor);
    EXPECT_EQ("/mnt/parent", lines[0].mountPoint);
    EXPECT_EQ(8u, lines[1].major);
    EXPECT_EQ(17u, lines[1].minor);
    EXPECT_EQ("/media/vyr/My Disk", lines[1].mountPoint);
    EXPECT_EQ("/media/back\\slash", lines[2].mountPoint);
    EXPECT_EQ("/media/trailing\\04", lines[3].mountPoint) << "an incomplete escape stays as it is";
}

TEST_F(SysrootTest, MountTableIsReadUnderTheRoot) {
    ASSERT_EQ(0, ::mkdir((dir + "/proc").c_str(), 0755));
    ASSERT_EQ(0, ::mkdir((dir + "/proc/self").c_str(), 0755));
    write("proc/self/mountinfo", "40 1 8:17 / /media/a rw - vfat /dev/sdb1 rw\n");
    ::setenv("PYREWICK_SYSROOT", dir.c_str(), 1);
    auto lines = vyrsys::readMountInfo();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("/media/a", lines[0].mountPoint);
    ::setenv("PYREWICK_SYSROOT", (dir + "/nowhere").c_str(), 1);
    EXPECT_TRUE(vyrsys::readMountInfo().empty());
}

} // namespace
