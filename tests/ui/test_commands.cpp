// Operator commands: Start and its refusals, Stop, resetting port matches,
// importing a plan and a media directory, the version box.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "buildvariant.h"
#include "burnplan.h"
#include "burnstate.h"
#include "uitestenv.h"

#include <QDir>
#include <QFile>
#include <memory>

namespace {

class Commands : public WindowStation {
  protected:
    void TearDown() override {
        gBurning = false;
        WindowStation::TearDown();
        setBuildVariant(BuildVariant::SingleDevice);
    }
};

} // namespace

TEST_F(Commands, StartRefusedWithoutPlanOrWithTwoDevices) {
    open();
    w->startClicked();
    EXPECT_EQ(boxes, QStringList({"|Please check progress control file!"}));
    EXPECT_TRUE(ui()->pushButton_start->isEnabled());
    EXPECT_FALSE(gBurning);

    writeFile("plan/config_progress.xml", plan(3));
    fileAnswers << dir() + "/plan/config_progress.xml";
    w->importConfigFiles();
    ASSERT_EQ(gStepCount, 3);

    boxes.clear();
    gDevCount = 2;
    w->startClicked();
    EXPECT_EQ(boxes, QStringList({"|Only support one device ,it's a release for no hub!"}));
    EXPECT_FALSE(gBurning);

    // The multi-port build burns several devices and keeps its port matches.
    setBuildVariant(BuildVariant::MultiPort);
    gPortInfo[1].portPath = QStringLiteral("hub-port2");
    gPortInfo[1].status = PORT_STATUS_WAIT_START;
    boxes.clear();
    w->startClicked();
    EXPECT_TRUE(boxes.isEmpty());
    EXPECT_TRUE(gBurning);
    EXPECT_EQ(gPortInfo[1].portPath.get(), "hub-port2");
    EXPECT_EQ(gPortInfo[1].status, PORT_STATUS_START);
}

TEST_F(Commands, StartInSingleDeviceBuildForgetsPortMatches) {
    writeFile("config_progress.xml", plan(2));
    open();
    ASSERT_EQ(gStepCount, 2);
    gPortInfo[0].portPath = QStringLiteral("hc(RootHub)-port1");
    gPortInfo[0].status = PORT_STATUS_CONNECTED;
    writeFile("config_port.xml", "<port_configs/>");
    gDevCount = 1;
    w->startClicked();
    EXPECT_TRUE(boxes.isEmpty());
    EXPECT_TRUE(gBurning);
    EXPECT_FALSE(QFile::exists("config_port.xml"));
    EXPECT_EQ(gPortInfo[0].portPath.get(), QString());
    EXPECT_EQ(gPortInfo[0].status, PORT_STATUS_NONE);
    EXPECT_FALSE(ui()->pushButton_start->isEnabled());
    EXPECT_TRUE(ui()->pushButton_stop->isEnabled());

    // Resetting port matches is refused while burning.
    gPortInfo[2].portPath = QStringLiteral("hc(RootHub)-port3");
    w->resetPortMatchInfo();
    EXPECT_EQ(boxes, QStringList({"|stop Burning first"}));
    EXPECT_EQ(gPortInfo[2].portPath.get(), "hc(RootHub)-port3");

    // Stop: buttons back, every lastResult cleared.
    gPortInfo[5].lastResult = PORT_STATUS_SUCCESS;
    w->stopClicked();
    EXPECT_FALSE(gBurning);
    EXPECT_TRUE(ui()->pushButton_start->isEnabled());
    EXPECT_FALSE(ui()->pushButton_stop->isEnabled());
    EXPECT_EQ(gPortInfo[5].lastResult, 0);

    boxes.clear();
    w->resetPortMatchInfo();
    EXPECT_TRUE(boxes.isEmpty());
    EXPECT_EQ(gPortInfo[2].portPath.get(), QString());
}

TEST_F(Commands, ImportConfigResetsStatisticsAndReportsUnreadableFile) {
    open();
    gSuccessCount = 4;
    gFailCount = 2;
    gFailCountByStep[1] = 2;

    fileAnswers << dir() + "/nowhere.xml";
    w->importConfigFiles();
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes[0].startsWith("Error|Failed to open " + dir() + "/nowhere.xml\n"));
    EXPECT_EQ(gSuccessCount, 4);

    writeFile("plans/p.xml", plan(5));
    fileAnswers << dir() + "/plans/p.xml";
    w->importConfigFiles();
    EXPECT_EQ(w->progressFile(), dir() + "/plans/p.xml");
    ASSERT_TRUE(burnPlan());
    EXPECT_EQ(burnPlan()->commandCount(), 5);
    EXPECT_EQ(gStepCount, 5);
    EXPECT_EQ(gSuccessCount, 0);
    EXPECT_EQ(gFailCount, 0);
    EXPECT_EQ(gFailCountByStep[1], 0);
    EXPECT_TRUE(ui()->tedit_logshow->toPlainText().contains("-----importConfigFiles-----filename" +
                                                            dir() + "/plans/p.xml"));
}

// A media directory chosen, then the dialog cancelled: the path, its label
// and the log line follow the choice, and a cancel clears them.
TEST_F(Commands, MediaDirectoryImportAndCancel) {
    open();
    const QString media = dir() + "/media";
    QDir().mkpath(media);
    fileAnswers << media;
    w->importMediaFiles();
    EXPECT_EQ(mediaFilesPath.get(), media);
    EXPECT_EQ(ui()->label_mediafile->text(), "Media Dir:" + media);
    EXPECT_TRUE(
        ui()->tedit_logshow->toPlainText().endsWith("set upgrade Media File Path: " + media));

    w->importMediaFiles(); // no answer: cancelled
    EXPECT_TRUE(mediaFilesPath.get().isEmpty());
    EXPECT_TRUE(ui()->label_mediafile->text().isEmpty());
    EXPECT_TRUE(ui()->tedit_logshow->toPlainText().endsWith("set upgrade Media File Path: "));
}

TEST_F(Commands, VersionBoxOfEachBuild) {
    open();
    w->showVersion();
    setBuildVariant(BuildVariant::MultiPort);
    w->showVersion();
    EXPECT_EQ(boxes, QStringList({"|V1.2.8.0817.SP3.life or live .testnohub",
                                  "|V1.2.8.0817.SP3.life or live "}));
}

// A plan cut short is not burnt in part: Start refuses it and the panel says
// why; the lines of a well-formed plan's skipped records reach the panel too.
TEST_F(Commands, DamagedPlanIsRefusedAndSkippedRecordsAreShown) {
    QByteArray cut = plan(6);
    cut.chop(40);
    writeFile("config_progress.xml", cut);
    open();
    EXPECT_EQ(gStepCount, 0);
    w->updateDevUi(); // the plan's lines come with the general log
    EXPECT_TRUE(ui()->tedit_logshow->toPlainText().contains("is not a well-formed plan"))
        << ui()->tedit_logshow->toPlainText().toStdString();
    w->startClicked();
    EXPECT_EQ(boxes, QStringList({"|Please check progress control file!"}));
    EXPECT_FALSE(gBurning);

    writeFile("plans/p.xml", "<p><command sn=\"0\">a</command><command sn=\"0\">b</command>"
                             "<command sn=\"33\">c</command></p>");
    fileAnswers << dir() + "/plans/p.xml";
    w->importConfigFiles();
    EXPECT_EQ(gStepCount, 2);
    w->updateDevUi();
    const QString panel = ui()->tedit_logshow->toPlainText();
    EXPECT_TRUE(panel.contains("plan: a second command with sn 0 replaces \"a\""))
        << panel.toStdString();
    EXPECT_TRUE(panel.contains("plan: command with sn \"33\" skipped")) << panel.toStdString();
}
