// The station's own rules that every front end relies on: when Start is
// refused, what Start and the port-match reset change, and what a refresh
// hands to its painter.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "buildvariant.h"
#include "burnplan.h"
#include "burnstate.h"
#include "burnstation.h"
#include "portcofigxml.h"

namespace {

struct Station : ::testing::Test {
    void SetUp() override {
        resetBurnState();
        oldCwd = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(dir.path()));
    }
    void TearDown() override {
        QDir::setCurrent(oldCwd);
        resetBurnState();
        setBuildVariant(BuildVariant::SingleDevice);
    }
    void writePlan(int commands) {
        QFile f(dir.filePath("plan.xml"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("<progress>\n");
        for (int i = 0; i < commands; ++i)
            f.write(QStringLiteral("<command sn=\"%1\">setenv a %1</command>\n").arg(i).toUtf8());
        f.write("</progress>\n");
    }
    QTemporaryDir dir;
    QString oldCwd;
};

} // namespace

TEST_F(Station, StartNeedsAPlanWithCommandsAndOneDeviceOnTheSingleBuild) {
    setBuildVariant(BuildVariant::MultiPort);
    BurnStation station;
    EXPECT_EQ(station.start(), BurnStation::StartRefusal::NoPlan);
    writePlan(0);
    ASSERT_EQ(station.importPlan(dir.filePath("plan.xml")), BurnStation::PlanImport::Imported);
    EXPECT_EQ(station.start(), BurnStation::StartRefusal::NoPlan);
    EXPECT_FALSE(station.burning());

    writePlan(3);
    ASSERT_EQ(station.importPlan(dir.filePath("plan.xml")), BurnStation::PlanImport::Imported);
    EXPECT_EQ(gStepCount.load(), 3);
    setBuildVariant(BuildVariant::SingleDevice);
    gDevCount = 2;
    EXPECT_EQ(station.start(), BurnStation::StartRefusal::SeveralDevices);
    EXPECT_FALSE(station.burning());
    gDevCount = 1;
    gPortInfo[0].portPath.set("1-1");
    gPortInfo[0].status = PORT_STATUS_WAIT_START;
    EXPECT_EQ(station.start(), BurnStation::StartRefusal::None);
    EXPECT_TRUE(station.burning());
    EXPECT_TRUE(gRescanRequest.load());
    // The single-device build forgets its match; it is made again.
    EXPECT_TRUE(gPortInfo[0].portPath.get().isEmpty());
    EXPECT_EQ(gPortInfo[0].status.load(), PORT_STATUS_NONE);
}

TEST_F(Station, StartMovesWaitingPortsOnAndResetIsRefusedWhileBurning) {
    setBuildVariant(BuildVariant::MultiPort);
    BurnStation station;
    writePlan(2);
    station.importPlan(dir.filePath("plan.xml"));
    gPortInfo[1].portPath.set("1-2.2");
    gPortInfo[1].status = PORT_STATUS_WAIT_START;
    gPortInfo[2].portPath.set("1-2.3");
    gPortInfo[2].status = PORT_STATUS_CONNECTED;
    ASSERT_EQ(station.start(), BurnStation::StartRefusal::None);
    EXPECT_EQ(gPortInfo[1].status.load(), PORT_STATUS_START);
    EXPECT_EQ(gPortInfo[2].status.load(), PORT_STATUS_CONNECTED);

    EXPECT_FALSE(station.resetPortMatches());
    EXPECT_EQ(gPortInfo[1].portPath.get(), "1-2.2");
    station.stop();
    EXPECT_TRUE(station.resetPortMatches());
    for (const PortInfo &port : gPortInfo) {
        EXPECT_TRUE(port.portPath.get().isEmpty());
        EXPECT_EQ(port.status.load(), PORT_STATUS_NONE);
    }
}

TEST_F(Station, PlanThatCannotBeOpenedKeepsThePlanAndSaysWhy) {
    BurnStation station;
    writePlan(4);
    station.importPlan(dir.filePath("plan.xml"));
    QString error;
    EXPECT_EQ(station.importPlan(dir.filePath("missing.xml"), &error),
              BurnStation::PlanImport::CannotOpen);
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(station.planFile(), dir.filePath("plan.xml"));
    EXPECT_EQ(gStepCount.load(), 4);
}

TEST_F(Station, RefreshHandsLogsRowsAndMatchesToThePainter) {
    setBuildVariant(BuildVariant::MultiPort);
    BurnStation station(BurnStation::PortMatches::StationFile);
    gMainLog.set("main line");
    for (int p : {1, 4}) {
        gPortLog[p].text.set(QStringLiteral("port %1 line").arg(p));
        gPortLogPending[p] = true;
    }
    gDevPath[0].set("1-2.3");
    gDevCount = 1;

    QStringList seen;
    QList<int> rowsSeen;
    BurnStation::Painter painter;
    // Port 4 stays idle: its log waits for a later refresh.
    painter.row = [&](int port, const BurnStation::PortView &) {
        rowsSeen << port;
        return port != 4;
    };
    painter.log = [&](int port, const QString &text) {
        seen << QStringLiteral("%1:%2").arg(port).arg(text);
    };
    painter.assigned = [&](int port, const QString &path) {
        seen << QStringLiteral("assigned %1 %2").arg(port).arg(path);
    };
    station.refresh(painter);
    EXPECT_EQ(rowsSeen, (QList<int>{0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(seen, (QStringList{"-1:main line", "1:port 1 line", "assigned 2 1-2.3"}));
    EXPECT_TRUE(gPortLogPending[4].load());
    EXPECT_EQ(gPortInfo[2].status.load(), PORT_STATUS_CONNECTED);
    // The match is kept in the station's port-match file.
    QFile file(QString::fromLatin1(PortCofigXml::FILE_NAME));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().contains("1-2.3"));

    // Without a row painter every pending log goes out.
    seen.clear();
    painter.row = nullptr;
    station.refresh(painter);
    EXPECT_EQ(seen, (QStringList{"4:port 4 line"}));
}
