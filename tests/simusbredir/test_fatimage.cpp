// The recovery's update check on a FAT image, read with mtools the moment the
// command arrives.
#include "redirport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

std::string tempName(const char *stem) {
    char name[64];
    std::snprintf(name, sizeof name, "/tmp/%s%d-%d", stem, int(getpid()), std::rand());
    return name;
}

void writeFile(const std::string &path, const std::string &data) {
    std::ofstream(path, std::ios::binary) << data;
}

TEST(FatImage, UpdateFileMustBeOnTheImageAndEqualThePackage) {
    const std::string image = tempName("fat"), pkg = tempName("pkg"), other = tempName("other");
    std::string error;
    ASSERT_TRUE(vyrsim::makeFatImage(image, 2, "VYRTEST", &error)) << error;
    writeFile(pkg, std::string(5000, 'p'));
    writeFile(other, std::string(5000, 'q'));

    EXPECT_EQ(vyrsim::checkUpdateInImage(image, "update.zip", pkg), "no package update.zip");
    ASSERT_EQ(
        std::system(
            ("MTOOLS_SKIP_CHECK=1 mcopy -i " + image + " " + other + " ::update.zip").c_str()),
        0);
    EXPECT_EQ(vyrsim::checkUpdateInImage(image, "update.zip", pkg), "package differs update.zip");
    EXPECT_EQ(vyrsim::checkUpdateInImage(image, "update.zip", ""), ""); // any non-empty file
    ASSERT_EQ(
        std::system(
            ("MTOOLS_SKIP_CHECK=1 mcopy -o -i " + image + " " + pkg + " ::update.zip").c_str()),
        0);
    EXPECT_EQ(vyrsim::checkUpdateInImage(image, "update.zip", pkg), "");
    EXPECT_EQ(vyrsim::checkUpdateInImage(image, "other.zip", pkg), "no package other.zip");
    unlink(image.c_str());
    unlink(pkg.c_str());
    unlink(other.c_str());
}

} // namespace
