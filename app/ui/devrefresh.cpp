// The 500 ms refresh of the window: refreshes the station (which starts burn
// threads and matches new devices) and paints what it hands over: the port
// rows, the log panel, new matches and messages; keeps the statistics line,
// the automatic log save and the title up to date. Also the busy picture and
// the port buttons.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "appinfo.h"
#include "burnstate.h"
#include "burnstation.h"
#include "datafiles.h"
#include "logjournal.h"
#include "panelappend.h"

#include <QCoreApplication>
#include <QPixmap>
#include <QProgressBar>
#include <QTableWidgetItem>
#include <QTimer>

void MainWindow::updateDevUi() {
    if (waitCount > 0) {
        --waitCount;
        ui->label_wait->setPixmap(QPixmap(DataFiles::find(QStringLiteral("no.png"))));
    } else {
        ui->label_wait->setPixmap(QPixmap(DataFiles::find(QStringLiteral("ok.png"))));
    }

    BurnStation::Painter painter;
    painter.row = [this](int port, const BurnStation::PortView &view) {
        RowLook::PortState state;
        state.status = view.status;
        state.lastResult = view.lastResult;
        state.progress = view.progress;
        state.message = view.message;
        state.portPath = view.portPath;
        const RowLook::Change change = RowLook::decide(state, rows[port].statusText, view.tick);
        applyRow(port, change);
        // A row that stays idle leaves its log for the refresh that changes it.
        return !change.skipped;
    };
    painter.log = [this](int, const QString &text) { logLine(text); };
    painter.assigned = [this](int port, const QString &path) {
        RowLook::Change connected;
        connected.statusText = QString::fromLatin1(RowLook::kConnect);
        connected.path = path;
        connected.buttonText = QString::fromLatin1(RowLook::kUsed);
        connected.buttonStyle = QString::fromLatin1(RowLook::kWhite);
        applyRow(port, connected);
    };
    painter.message = [this](const QString &text) {
        showInformation(tr(text.toUtf8().constData()));
    };
    burnStation->refresh(painter);

    ui->label_statistics->setText(BurnStation::statisticsText());
    autoSaveLog();
    boundPanel();
    // What this refresh put into the panel is on the disk before the next.
    panelJournal->sync();
    setWindowTitle(AppInfo::productTitle());

    emit refreshed();
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
    ui->label_wait->setPixmap(QPixmap(DataFiles::find(QStringLiteral("no.png"))));
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
