// Emptying the package directory: everything inside goes, hidden and
// read-only entries too, a link is removed but never followed, and a
// directory that is not there counts as empty.
#include "upgradepackage.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

TEST(DeleteDir, EmptiesTreeButNeverFollowsLinks) {
    QTemporaryDir station;
    QTemporaryDir outside;
    QDir root(station.path());
    root.mkpath("tmp/a/b/.c");
    QFile(station.filePath("tmp/a/b/.c/f")).open(QIODevice::WriteOnly);
    QFile ro(station.filePath("tmp/ro.bin"));
    ro.open(QIODevice::WriteOnly);
    ro.close();
    ro.setPermissions(QFile::ReadOwner);
    QFile keep(outside.filePath("keep.txt"));
    keep.open(QIODevice::WriteOnly);
    keep.close();
    QFile::link(outside.path(), station.filePath("tmp/link"));

    EXPECT_TRUE(UpgradePackage::deleteDirContents(station.filePath("tmp")));
    EXPECT_TRUE(
        QDir(station.filePath("tmp"))
            .isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System));
    EXPECT_TRUE(QFile::exists(outside.filePath("keep.txt")));
    EXPECT_TRUE(UpgradePackage::deleteDirContents(station.filePath("no-such-dir")));
}
