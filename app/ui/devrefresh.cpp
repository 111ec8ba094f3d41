// The 500 ms refresh of the window: paints the port rows from the burn state,
// moves pending log text into the panel, lets PortRefresh start threads and
// match new devices, and keeps the statistics line, the automatic log save
// and the title up to date. Also the busy picture and the port buttons.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "appinfo.h"
#include "burnstate.h"
#include "portrefresh.h"

#include <QCoreApplication>
#include <QPixmap>
#include <QProgressBar>
#include <QTableWidgetItem>
#include <QTimer>

void MainWindow::updateDevUi() {
    ++gUiTick;

    if (waitCount > 0) {
        --waitCount;
        ui->label_wait->setPixmap(QPixmap(QStringLiteral("no.png")));
    } else {
        ui->label_wait->setPixmap(QPixmap(QStringLiteral("ok.png")));
    }

    {
        WriteLocker lock(&gPortLock);
        const int tick = gUiTick;
        // The general log goes to the panel on every refresh, even when every
        // row is idle (otherwise e.g. a driver reinstall line would wait for
        // the next device and be lost at exit).
        const QString mainLog = refresh->takeMainLog();
        if (!mainLog.isEmpty()) ui->tedit_logshow->append(mainLog);
        for (int p = 0; p < PORT_COUNT; ++p) {
            const PortInfo &info = gPortInfo[p];
            RowLook::PortState state;
            state.status = info.status;
            state.lastResult = info.lastResult;
            state.progress = info.progress;
            state.message = info.message.get();
            state.portPath = info.portPath.get();
            const RowLook::Change change = RowLook::decide(state, rows[p].statusText, tick);
            applyRow(p, change);
            if (change.skipped) continue;

            const QString portLog = refresh->takePortLog(p);
            if (!portLog.isEmpty()) ui->tedit_logshow->append(portLog);
        }
        refresh->startThreads();
    }

    // While a "pull out the device" box is open the nested refreshes leave
    // matching alone (PortRefresh returns no second message meanwhile).
    const PortRefresh::MatchOutcome match = refresh->matchDevicesToPorts();
    for (const PortRefresh::Assignment &a : match.assigned) {
        RowLook::Change connected;
        connected.statusText = QString::fromLatin1(RowLook::kConnect);
        connected.path = a.path;
        connected.buttonText = QString::fromLatin1(RowLook::kUsed);
        connected.buttonStyle = QString::fromLatin1(RowLook::kWhite);
        applyRow(a.port, connected);
    }
    if (!match.message.isEmpty()) {
        showInformation(tr(match.message.toUtf8().constData()));
        refresh->messageClosed();
    }

    ui->label_statistics->setText(PortRefresh::statisticsText());
    autoSaveLog();
    setWindowTitle(AppInfo::productTitle());

    checkDemoScreenshot();
}

void MainWindow::applyRow(int port, const RowLook::Change &change) {
    RowMemory &row = rows[port];
    if (change.statusText) {
        row.statusText = *change.statusText;
        row.failedWithMessage = change.failedWithMessage;
    }
    if (change.buttonText) row.buttonText = *change.buttonText;
    if (change.statusText || change.buttonText) showRowTexts(port);
    if (change.path) ui->tableWidget->item(port, 2)->setText(*change.path);
    switch (change.bar) {
    case RowLook::Bar::Keep:
        break;
    case RowLook::Bar::Reset:
        progressBars[port]->reset();
        break;
    case RowLook::Bar::Value:
        progressBars[port]->setValue(change.barValue);
        break;
    }
    if (change.buttonStyle) probeBtns[port]->setStyleSheet(*change.buttonStyle);
}

// Shows a row's remembered texts in the current language. The fixed words are
// translated; a burn step's text and a failure message are shown as they are.
void MainWindow::showRowTexts(int port) {
    const RowMemory &row = rows[port];
    QString shown;
    if (row.failedWithMessage) {
        const int fixed = int(qstrlen(RowLook::kFailed));
        shown = tr(RowLook::kFailed) + row.statusText.mid(fixed);
    } else {
        shown = row.statusText;
        for (const char *word :
             {RowLook::kConnect, RowLook::kSuccess, RowLook::kFailed, RowLook::kDisconnect})
            if (row.statusText == QLatin1String(word)) shown = tr(word);
    }
    ui->tableWidget->item(port, 1)->setText(shown);
    probeBtns[port]->setText(row.buttonText.isEmpty() ? QString()
                                                      : tr(row.buttonText.toLatin1().constData()));
}

void MainWindow::showWait() {
    ui->label_wait->setPixmap(QPixmap(QStringLiteral("no.png")));
    waitCount = 6;
}

void MainWindow::acknowledgePort(int port) {
    if (gPortInfo[port].status == PORT_STATUS_NONE) gPortInfo[port].lastResult = 0;
}

void MainWindow::on_pushButton_1_clicked() {
    acknowledgePort(0);
}
void MainWindow::on_pushButton_2_clicked() {
    acknowledgePort(1);
}
void MainWindow::on_pushButton_3_clicked() {
    acknowledgePort(2);
}
void MainWindow::on_pushButton_4_clicked() {
    acknowledgePort(3);
}
void MainWindow::on_pushButton_5_clicked() {
    acknowledgePort(4);
}
void MainWindow::on_pushButton_6_clicked() {
    acknowledgePort(5);
}
void MainWindow::on_pushButton_7_clicked() {
    acknowledgePort(6);
}
void MainWindow::on_pushButton_8_clicked() {
    acknowledgePort(7);
}
