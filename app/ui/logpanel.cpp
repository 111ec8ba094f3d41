// Saving and clearing the log panel.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "burnstate.h"
#include "logfiles.h"
#include "uiprompts.h"

#include <QDateTime>
#include <QDebug>

void MainWindow::saveLog() {
    bool busy = false;
    for (const PortInfo &port : gPortInfo)
        if (port.status != PORT_STATUS_NONE) busy = true;
    if (busy && gBurning) {
        showInformation(QStringLiteral("stop first!"));
        return;
    }
    const QString proposed = LogFiles::savedLogName(LogFiles::SaveKind::Manual, upgradeFile(),
                                                    QDateTime::currentDateTime());
    saveLog(uiPrompts().saveFileName(this, tr("save as"), proposed));
}

void MainWindow::saveLog(QString path) {
    qDebug() << "saveLog" << path;
    ui->tedit_logshow->append(path);
    ui->tedit_logshow->append(ui->label_statistics->text());
    if (!LogFiles::writeSavedLog(path, ui->tedit_logshow->toPlainText())) qDebug() << "open failed";
}

void MainWindow::clearLog() {
    qDebug() << "clearLog";
    ui->tedit_logshow->clear();
}

// Once for every 50 failed burns the panel goes to a file and is emptied.
void MainWindow::autoSaveLog() {
    if (gFailCount / 50 <= autosaveCount) return;
    ++autosaveCount;
    const QString name = LogFiles::savedLogName(LogFiles::SaveKind::Auto, upgradeFile(),
                                                QDateTime::currentDateTime());
    saveLog(name);
    clearLog();
    ui->tedit_logshow->append(QStringLiteral("auto save preceding log to ") + name);
}
