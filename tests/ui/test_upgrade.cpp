// Importing an upgrade package: a real .zip unpacked by 7z into tmp/.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "burnclock.h"
#include "burnplan.h"
#include "burnstate.h"
#include "datafiles.h"
#include "upgradepackage.h"
#include "uitestenv.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProgressDialog>
#include <QTimer>
#include <algorithm>
#include <memory>

namespace {

// The operator imports: an ordinary user, whatever user runs the tests (the
// lookups of a root run are tested in tests/burn).
class Upgrade : public WindowStation {
  protected:
    void SetUp() override {
        DataFiles::setPrivilegedCheck([] { return false; });
        WindowStation::SetUp();
        open();
    }
    void TearDown() override {
        WindowStation::TearDown();
        DataFiles::setPrivilegedCheck(nullptr);
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

    // A package without a plan where it is expected. The old plan's files in
    // tmp/ went with the unpacking, so that plan is dropped; a plan kept
    // outside tmp/ stays.
    writeFile("src3/docs/readme.txt", "no plan here");
    zip("docs.zip", "src3", {"docs"});
    fileAnswers << dir() + "/docs.zip";
    w->importUpgradeFile();
    EXPECT_EQ(boxes, QStringList({"|find no upgrade config ,please load it manually!"}));
    EXPECT_FALSE(burnPlan());
    EXPECT_EQ(w->upgradeFile(), dir() + "/flat.zip");

    writeFile("plans/p.xml", plan(5));
    fileAnswers << dir() + "/plans/p.xml" << dir() + "/docs.zip";
    w->importConfigFiles();
    w->importUpgradeFile();
    ASSERT_TRUE(burnPlan());
    EXPECT_EQ(burnPlan()->commandCount(), 5);
}

TEST_F(Upgrade, ArchiverThatNeverEndsIsAbandoned) {
    // An archiver in the working directory is preferred to the one on PATH.
    writeFile("7z", "#!/bin/sh\nexec sleep 30\n");
    QFile::setPermissions("7z", QFile::permissions("7z") | QFile::ExeOwner);
    ASSERT_EQ(UpgradePackage::archiverProgram(), dir() + "/7z");
    writeFile("any.zip", "not looked at by this archiver");
    fileAnswers << dir() + "/any.zip";
    w->importUpgradeFile(); // 60 s of system time at the test's clock scale
    EXPECT_EQ(boxes, QStringList({"|operate failed,Please reload the upgrade file!"}));
    EXPECT_TRUE(w->upgradeFile().isEmpty());
}

// A package whose member fails its check, or that wants a password, is not
// imported: nothing it left stays in tmp/, and the plan that lived in tmp/
// before is no longer one Start would burn.
TEST_F(Upgrade, DamagedOrProtectedPackagesLeaveNoPlan) {
    writeFile("src/fw/config_progress.xml", plan(3));
    QByteArray image(200000, '\0');
    for (int i = 0; i < image.size(); ++i)
        image[i] = char((i * 7919) >> 3);
    writeFile("src/fw/uImage", image);
    zip("fw.zip", "src", {"fw"});
    fileAnswers << dir() + "/fw.zip";
    w->importUpgradeFile();
    ASSERT_TRUE(boxes.isEmpty()) << boxes.join(";").toStdString();
    ASSERT_EQ(gStepCount, 3);

    // One byte of the image's stored data changed: 7z reports a CRC error.
    QFile good(dir() + "/fw.zip");
    ASSERT_TRUE(good.open(QIODevice::ReadOnly));
    QByteArray bad = good.readAll();
    const int at = int(bad.indexOf("uImage")) + 100;
    bad[at] = char(bad[at] ^ 0x55);
    writeFile("bad.zip", bad);
    fileAnswers << dir() + "/bad.zip";
    w->importUpgradeFile();
    EXPECT_EQ(boxes, QStringList({"|The upgrade file is damaged and was not imported (see the "
                                  "log). Please reload the upgrade file!"}));
    const QString panel = ui()->tedit_logshow->toPlainText();
    EXPECT_TRUE(panel.contains("unpacking failed: ")) << panel.toStdString();
    EXPECT_FALSE(burnPlan()) << "the plan of the emptied tmp/ is dropped";
    EXPECT_TRUE(QDir("tmp").isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
    w->startClicked();
    EXPECT_EQ(boxes.last(), "|Please check progress control file!");
    EXPECT_EQ(w->upgradeFile(), dir() + "/fw.zip");

    // A password-protected package fails at once, not after the time-out.
    boxes.clear();
    QProcess p;
    p.setWorkingDirectory(dir() + "/src");
    p.start("7z", {"a", "-tzip", "-psecret", dir() + "/locked.zip", "fw"});
    ASSERT_TRUE(p.waitForFinished(30000));
    fileAnswers << dir() + "/locked.zip";
    w->importUpgradeFile();
    EXPECT_EQ(boxes, QStringList({"|The upgrade file is damaged and was not imported (see the "
                                  "log). Please reload the upgrade file!"}));
    EXPECT_TRUE(ui()->tedit_logshow->toPlainText().contains("Wrong password"));
}

// A package kept in tmp/ is unpacked from a copy; a tmp/ that is a link is
// never emptied.
TEST_F(Upgrade, PackageInTmpAndLinkedTmp) {
    writeFile("src/config_progress.xml", plan(2));
    writeFile("src/spl.bin", "spl");
    zip("tmp/fw.zip", "src", {"config_progress.xml", "spl.bin"});
    fileAnswers << dir() + "/tmp/fw.zip";
    w->importUpgradeFile();
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join(";").toStdString();
    EXPECT_EQ(gUpgradeDir.get(), "tmp/");
    ASSERT_TRUE(burnPlan());
    EXPECT_EQ(burnPlan()->commandCount(), 2);

    QTemporaryDir elsewhere;
    QFile keep(elsewhere.filePath("keep.txt"));
    ASSERT_TRUE(keep.open(QIODevice::WriteOnly));
    keep.close();
    ASSERT_TRUE(QDir("tmp").removeRecursively());
    ASSERT_TRUE(QFile::link(elsewhere.path(), "tmp"));
    zip("fw2.zip", "src", {"config_progress.xml"});
    fileAnswers << dir() + "/fw2.zip";
    w->importUpgradeFile();
    EXPECT_EQ(boxes, QStringList({"|The tmp directory is a symbolic link; replace it by a "
                                  "directory and import again."}));
    EXPECT_TRUE(QFile::exists(elsewhere.filePath("keep.txt")));
    EXPECT_FALSE(UpgradePackage::deleteDirContents("tmp"));
    EXPECT_TRUE(QFile::exists(elsewhere.filePath("keep.txt")));
}

// The archiver runs while the window goes on refreshing behind a progress
// dialog showing its percentage; an import while burning is refused.
TEST_F(Upgrade, WindowKeepsRefreshingWhileUnpackingAndRefusesWhileBurning) {
    writeFile("7z",
              "#!/bin/sh\n"
              "for p in 10 40 70; do printf '%3d%% - fw\\b\\b\\b\\b\\b\\b\\b' $p; sleep 0.4; done\n"
              "mkdir -p tmp/fw && cp src/config_progress.xml tmp/fw/\n");
    QFile::setPermissions("7z", QFile::permissions("7z") | QFile::ExeOwner);
    writeFile("src/config_progress.xml", plan(4));
    writeFile("fw.zip", "not looked at by this archiver");
    BurnClock::setScale(1); // the archiver has its full minute

    int ticksBefore = gUiTick;
    int shownPercent = -1;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (w->importProgress())
            shownPercent = std::max(shownPercent, w->importProgress()->value());
    });
    watch.start(20);
    fileAnswers << dir() + "/fw.zip";
    w->importUpgradeFile();
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join(";").toStdString();
    EXPECT_GE(gUiTick - ticksBefore, 2) << "the 500 ms refresh ran during the import";
    EXPECT_EQ(shownPercent, 70);
    EXPECT_EQ(w->importProgress(), nullptr);
    EXPECT_EQ(gStepCount, 4);

    gBurning = true;
    fileAnswers << dir() + "/fw.zip";
    w->importUpgradeFile();
    gBurning = false;
    EXPECT_EQ(boxes, QStringList({"|Press Stop and let every burn end before importing an "
                                  "upgrade file!"}));
    EXPECT_EQ(fileAnswers.size(), 1) << "no file was asked for";
    fileAnswers.clear();
    boxes.clear();
    gPortInfo[3].status = PORT_STATUS_RECOVERY;
    w->importUpgradeFile();
    gPortInfo[3].status = PORT_STATUS_NONE;
    EXPECT_EQ(boxes.size(), 1);
}

// An import the program never finished (killed while unpacking) leaves files
// in tmp/ but not the marker of a whole import: the next start says so and
// will not burn a plan from there until the package is imported again.
TEST_F(Upgrade, AnImportThatNeverEndedIsNotBurnt) {
    writeFile("src1/fw_v2/config_progress.xml", plan(4));
    writeFile("src1/fw_v2/spl.bin", "spl");
    zip("fw_v2.zip", "src1", {"fw_v2"});
    fileAnswers << dir() + "/fw_v2.zip";
    w->importUpgradeFile();
    ASSERT_EQ(w->progressFile(), "tmp/fw_v2/config_progress.xml");
    ASSERT_TRUE(QFile::exists("tmp/" + QString::fromLatin1(UpgradePackage::kImportMarker)));

    // What a kill in the middle of the unpacking leaves behind.
    QFile::remove("tmp/" + QString::fromLatin1(UpgradePackage::kImportMarker));
    w.reset();
    resetBurnState();
    open();
    w->updateDevUi();
    EXPECT_TRUE(ui()->tedit_logshow->toPlainText().contains("never finished"))
        << ui()->tedit_logshow->toPlainText().toStdString();
    fileAnswers << dir() + "/tmp/fw_v2/config_progress.xml";
    w->importConfigFiles();
    ASSERT_TRUE(burnPlan());
    ASSERT_EQ(burnPlan()->commandCount(), 4);
    boxes.clear();
    w->startClicked();
    EXPECT_FALSE(gBurning);
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes[0].contains("not imported completely")) << boxes[0].toStdString();

    // Imported again, whole: it burns.
    boxes.clear();
    fileAnswers << dir() + "/fw_v2.zip";
    w->importUpgradeFile();
    w->startClicked();
    EXPECT_TRUE(gBurning);
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join(";").toStdString();
    w->stopClicked();
}
