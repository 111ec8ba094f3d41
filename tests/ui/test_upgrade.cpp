// Importing an upgrade package: a real .zip unpacked by 7z into tmp/.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "burnplan.h"
#include "burnstate.h"
#include "upgradepackage.h"
#include "uitestenv.h"

#include <QFile>
#include <QProcess>
#include <memory>

namespace {

class Upgrade : public WindowStation {
  protected:
    void SetUp() override {
        WindowStation::SetUp();
        open();
    }
    // Zips the given entries of directory `from` (relative to the station)
    // into `zip`.
    void zip(const QString &zip, const QString &from, const QStringList &entries) {
        QProcess p;
        p.setWorkingDirectory(dir() + "/" + from);
        p.start("7z", QStringList{"a", "-tzip", dir() + "/" + zip} + entries);
        ASSERT_TRUE(p.waitForFinished(30000));
        ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardOutput().toStdString();
    }
};

} // namespace

TEST_F(Upgrade, OneTopDirectoryOrSeveralEntries) {
    writeFile("src1/fw_v2/config_progress.xml", plan(4));
    writeFile("src1/fw_v2/spl.bin", "spl");
    zip("fw_v2.zip", "src1", {"fw_v2"});
    writeFile("tmp/leftover/old.bin", "old");
    writeFile("tmp/.hidden", "h");

    gSuccessCount = 7;
    fileAnswers << dir() + "/fw_v2.zip";
    w->importUpgradeFile();
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join(";").toStdString();
    EXPECT_EQ(gUpgradeDir.get(), "tmp/fw_v2/");
    EXPECT_EQ(w->progressFile(), "tmp/fw_v2/config_progress.xml");
    EXPECT_FALSE(QFile::exists("tmp/leftover/old.bin"));
    EXPECT_FALSE(QFile::exists("tmp/.hidden"));
    ASSERT_TRUE(burnPlan());
    EXPECT_EQ(burnPlan()->commandCount(), 4);
    EXPECT_EQ(gStepCount, 4);
    EXPECT_EQ(gSuccessCount, 0); // a new package
    EXPECT_EQ(w->upgradeFile(), dir() + "/fw_v2.zip");
    EXPECT_EQ(w->form()->label_firmware->text(), "upgrade file: " + dir() + "/fw_v2.zip");

    // The same package again keeps the statistics.
    gSuccessCount = 3;
    fileAnswers << dir() + "/fw_v2.zip";
    w->importUpgradeFile();
    EXPECT_EQ(gSuccessCount, 3);

    // Several entries at top level: the plan is expected directly in tmp/.
    writeFile("src2/config_progress.xml", plan(2));
    writeFile("src2/uboot.bin", "uboot");
    zip("flat.zip", "src2", {"config_progress.xml", "uboot.bin"});
    fileAnswers << dir() + "/flat.zip";
    w->importUpgradeFile();
    EXPECT_EQ(gUpgradeDir.get(), "tmp/");
    EXPECT_EQ(burnPlan()->commandCount(), 2);
    EXPECT_EQ(gSuccessCount, 0);
    EXPECT_FALSE(QFile::exists("tmp/fw_v2"));

    // A package without a plan where it is expected: the old plan stays.
    writeFile("src3/docs/readme.txt", "no plan here");
    zip("docs.zip", "src3", {"docs"});
    fileAnswers << dir() + "/docs.zip";
    w->importUpgradeFile();
    EXPECT_EQ(boxes, QStringList({"|find no upgrade config ,please load it manually!"}));
    EXPECT_EQ(burnPlan()->commandCount(), 2);
    EXPECT_EQ(w->upgradeFile(), dir() + "/flat.zip");
}

TEST_F(Upgrade, ArchiverThatNeverEndsIsAbandoned) {
    // An archiver in the working directory is preferred to the one on PATH.
    writeFile("7z", "#!/bin/sh\nexec sleep 30\n");
    QFile::setPermissions("7z", QFile::permissions("7z") | QFile::ExeOwner);
    ASSERT_EQ(UpgradePackage::archiverProgram(), dir() + "/7z");
    fileAnswers << dir() + "/any.zip";
    w->importUpgradeFile(); // 60 s of system time at the test's clock scale
    EXPECT_EQ(boxes, QStringList({"|operate failed,Please reload the upgrade file!"}));
    EXPECT_TRUE(w->upgradeFile().isEmpty());
}

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
