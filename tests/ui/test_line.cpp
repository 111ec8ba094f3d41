// The whole program on a virtual line: eight ROM-mode devices on an 8-port
// hub, the window's own refresh and watch thread, Start pressed once.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "buildvariant.h"
#include "burnclock.h"
#include "burnstate.h"
#include "line.h"
#include "recordsdialog.h"
#include "recordstore.h"
#include "recordtablemodel.h"
#include "teststation.h"
#include "uitestenv.h"

#include <QFile>
#include <QProgressBar>
#include <memory>

namespace {

class LineStation : public UiStation {
  protected:
    void SetUp() override {
        UiStation::SetUp();
        setBuildVariant(BuildVariant::MultiPort);
        BurnClock::setScale(0.05);
        line = teststation::makeLine(dir() + "/line");

        // The plan and its images in the station, the files of the recovery
        // commands in tmp/ (the upgrade directory at start).
        teststation::writePlanFiles(dir(), dir() + "/tmp");
        // The plan ends with the prepared file (no media copy, no reset).
        const QString last = QStringLiteral(
            "<command sn=\"12\" cmd=\"final\">format_data(prepare:extra.bin)</command>\n");
        writeFile("config_progress.xml", teststation::planText(last).toUtf8());
    }
    void TearDown() override {
        w.reset();
        if (line) line->stop();
        line.reset();
        setBuildVariant(BuildVariant::SingleDevice);
        UiStation::TearDown();
    }
    std::unique_ptr<vyrsim::Line> line;
    std::unique_ptr<MainWindow> w;
};

} // namespace

TEST_F(LineStation, EightDevicesBurntFromTheWindow) {
    w = std::make_unique<MainWindow>();
    for (int n = 1; n <= 8; ++n)
        ASSERT_GT(line->plug(teststation::hubPort(n), teststation::deviceSpec()), 0);
    w->startClicked();
    ASSERT_TRUE(gBurning);

    const bool done = waitUntil(
        [] {
            for (const PortInfo &p : gPortInfo)
                if (p.status != PORT_STATUS_SUCCESS && p.status != PORT_STATUS_FAILED) return false;
            // The counters follow the status words by a tick.
            return gSuccessCount + gFailCount == 8;
        },
        150000);
    // A row shows its result once the burn's record is committed; the
    // record follows the statistics by the rest of the counting tick.
    QStringList rows;
    waitUntil(
        [&] {
            w->updateDevUi();
            rows.clear();
            for (int p = 0; p < 8; ++p)
                rows << w->form()->tableWidget->item(p, 1)->text();
            return rows == QStringList(8, "Success");
        },
        20000);
    ASSERT_TRUE(done) << rows.join(" | ").toStdString() << "\n"
                      << w->form()->tedit_logshow->toPlainText().toStdString();
    EXPECT_EQ(rows, QStringList(8, "Success")) << boxes.join(";").toStdString();
    EXPECT_TRUE(w->form()->label_statistics->text().startsWith("success:8 failed:0 "))
        << w->form()->label_statistics->text().toStdString();

    // Each burn left its record in the station's store.
    {
        RecordStore store;
        ASSERT_TRUE(store.open(RecordStore::pathIn(QDir::currentPath()), true));
        RecordStore::Filter successes;
        successes.result = 1;
        EXPECT_EQ(store.records(successes).size(), 8);
    }
    // The help menu's table shows them while the station runs.
    w->form()->actionBurnRecords->trigger();
    ASSERT_NE(w->recordsDialog(), nullptr);
    EXPECT_EQ(w->recordsDialog()->model()->rowCount(), 8);

    // Every row's port path went to the port-match store.
    QFile ports("config_port.xml");
    ASSERT_TRUE(ports.open(QIODevice::ReadOnly));
    const QByteArray xml = ports.readAll();
    for (int n = 1; n <= 8; ++n)
        EXPECT_TRUE(xml.contains("(hub)-port" + QByteArray::number(n) + "</port_path>")) << n;
    // Each row shows its own device's path (port n on row n).
    for (int p = 0; p < 7; ++p)
        EXPECT_TRUE(w->form()->tableWidget->item(p, 2)->text().endsWith("(hub)-port" +
                                                                        QString::number(p + 1)));

    // At exit the panel is saved with the statistics as its last line.
    // Stop waits for every thread and clears the ports it had.
    w->stopClicked();
    for (int p = 0; p < 8; ++p) {
        EXPECT_EQ(gPortInfo[p].status, PORT_STATUS_NONE);
        EXPECT_EQ(w->progressBar(p)->value(), -1); // reset: no value
    }
    w.reset();
    const QStringList saved = QDir("log").entryList({"*_.log"}, QDir::Files);
    ASSERT_EQ(saved.size(), 1);
    QFile exitLog("log/" + saved[0]);
    ASSERT_TRUE(exitLog.open(QIODevice::ReadOnly));
    EXPECT_TRUE(exitLog.readAll().endsWith("\r\nsuccess:8 failed:0 failed postion:  "));
}
