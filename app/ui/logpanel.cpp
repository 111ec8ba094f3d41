// Saving and clearing the log panel.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "burnstate.h"
#include "logfiles.h"
#include "panelappend.h"
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
    savePanel(path, false);
}

// A log that cannot be written is said in the panel and in a box (on
// standard error at exit, when no box can be answered); its lines stay in
// the panel, so the next save writes them.
bool MainWindow::savePanel(const QString &path, bool atExit) {
    qDebug() << "saveLog" << path;
    appendToPanel(ui->tedit_logshow, path);
    appendToPanel(ui->tedit_logshow, ui->label_statistics->text());
    QString error;
    if (LogFiles::writeSavedLog(path, ui->tedit_logshow->toPlainText(), &error)) return true;
    qDebug() << "open failed";
    appendToPanel(ui->tedit_logshow, QStringLiteral("the log could not be written to ") + path +
                                         ": " + error + "; its lines stay here for the next save");
    const QString text = tr("The log could not be saved to %1 (%2). Its lines are kept and "
                            "saved again with the next save.")
                             .arg(path, error);
    if (atExit)
        qWarning().noquote() << text;
    else
        showInformation(text);
    return false;
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
    // Lines that could not be saved are not cleared away.
    if (!savePanel(name, false)) return;
    clearLog();
    appendToPanel(ui->tedit_logshow, QStringLiteral("auto save preceding log to ") + name);
}
