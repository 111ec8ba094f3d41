// Saving and clearing the log panel.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "burnstate.h"
#include "logfiles.h"
#include "logjournal.h"
#include "panelappend.h"
#include "uiprompts.h"

#include <QDateTime>
#include <QDebug>
#include <QTextDocument>
#include <algorithm>

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
    logLine(path);
    logLine(ui->label_statistics->text());
    // The journal holds the panel's lines and the port lines the panel did
    // not show (see BurnThread::logShow); the panel is the fallback when the
    // journal missed a line.
    QString saved = panelJournal->intact() ? panelJournal->text() : QString();
    if (saved.count(QLatin1Char('\n')) + 1 < ui->tedit_logshow->document()->blockCount())
        saved = ui->tedit_logshow->toPlainText();
    QString error;
    if (LogFiles::writeSavedLog(path, saved, &error)) return true;
    qDebug() << "open failed";
    logLine(QStringLiteral("the log could not be written to ") + path + ": " + error +
            "; its lines stay here for the next save");
    const QString text = tr("The log could not be saved to %1 (%2). Its lines are kept and "
                            "saved again with the next save.")
                             .arg(path, error);
    if (atExit)
        qWarning().noquote() << text;
    else
        showInformation(text);
    return false;
}

// The journal mirrors the panel: emptied with it.
void MainWindow::clearLog() {
    qDebug() << "clearLog";
    ui->tedit_logshow->clear();
    panelJournal->truncate();
}

void MainWindow::logLine(const QString &text) {
    appendToPanel(ui->tedit_logshow, text);
    panelJournal->append(text);
}

// Once for every 50 failed burns the panel goes to a file and is emptied.
void MainWindow::autoSaveLog() {
    if (gFailCount / 50 <= autosaveCount) return;
    ++autosaveCount;
    autoSavePanel();
}

bool MainWindow::autoSavePanel() {
    const QString name = LogFiles::savedLogName(LogFiles::SaveKind::Auto, upgradeFile(),
                                                QDateTime::currentDateTime());
    // Lines that could not be saved are not cleared away.
    if (!savePanel(name, false)) return false;
    clearLog();
    logLine(QStringLiteral("auto save preceding log to ") + name);
    return true;
}

// A panel that only grows costs memory and time on every append, and its
// lines reach a file only at a save: past Log/panel_lines it is saved and
// emptied like after 50 failures.
void MainWindow::boundPanel() {
    const int lines = ui->tedit_logshow->document()->blockCount();
    if (lines <= panelLimit || lines < boundRetryAt) return;
    // A save that failed (and said so) is tried again only after some more
    // lines, not on every refresh.
    boundRetryAt = autoSavePanel() ? 0 : lines + std::max(1, panelLimit / 10);
}
