// The tree builder refuses description lines it cannot place safely: short
// lines (which it once read past the end of) and names that would write
// outside its tree.
#include "usbtreebuilder.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <sys/stat.h>

namespace {

bool exists(const std::string &path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

TEST(UsbTreeBuilder, LinesTooShortForTheirKindAreRefused) {
    UsbTreeBuilder tree;
    tree.apply("root 1 ports=2\ndev 1-1\n");
    for (const char *line : {"root", "hub", "dev", "set", "set 1-1", "unset 1-1", "mount",
                             "mount 8:1", "set \"\" idVendor x"})
        EXPECT_THROW(tree.apply(line), std::runtime_error) << line;
    // The lines before a refused one stay, and the tree still takes lines.
    EXPECT_EQ(readWholeFile(tree.deviceDir("1-1") + "/idVendor"), "1b8e\n");
    tree.apply("set 1-1 idVendor 05e3");
    EXPECT_EQ(readWholeFile(tree.deviceDir("1-1") + "/idVendor"), "05e3\n");
}

TEST(UsbTreeBuilder, NamesThatLeaveTheTreeAreRefused) {
    UsbTreeBuilder tree;
    tree.apply("root 1 ports=2\ndev 1-1\n");
    const std::string dir = tree.deviceDir("1-1");
    for (const char *line :
         {"set 1-1 ../escaped x", "set 1-1 .. x", "set 1-1 a/b x", "unset 1-1 ../idVendor",
          "root 1/../../../escaped", "dev 1-1/../../escaped", "dev 1-2 disk=../../escaped",
          "dev 1-2 disk=sda parts=16"})
        EXPECT_THROW(tree.apply(line), std::runtime_error) << line;
    EXPECT_FALSE(exists(dir + "/../escaped"));
    EXPECT_FALSE(exists(tree.root() + "/escaped"));
    EXPECT_FALSE(exists(tree.root() + "/sys/escaped"));
    EXPECT_TRUE(exists(dir + "/idVendor"));
    // A refused disk leaves no half-made device behind.
    EXPECT_FALSE(exists(tree.root() + "/sys/bus/usb/devices/1-2"));
    tree.apply("dev 1-2 disk=sda parts=15");
    EXPECT_TRUE(exists(tree.root() + "/sys/class/block/sda15"));
}

} // namespace
