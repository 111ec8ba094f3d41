// The log panel over a long run: bounded by an automatic save, mirrored in a
// journal on the disk that a later start recovers when the run died, and not
// one port line lost on its way from a burn thread.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "burnstate.h"
#include "burnthread.h"
#include "uitestenv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace {

class LogPanel : public WindowStation {
  protected:
    QStringList panelLines() { return ui()->tedit_logshow->toPlainText().split('\n'); }
    static QStringList logFiles(const QString &pattern) {
        return QDir("log").entryList({pattern}, QDir::Files, QDir::Name);
    }
    static QByteArray read(const QString &path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
    }
};

} // namespace

// Past Log/panel_lines lines the panel is saved as after 50 failures and
// emptied; the failure count's own saves are not touched.
TEST_F(LogPanel, PanelPastItsBoundIsSavedAndEmptied) {
    writeFile("configure.ini", "[Log]\npanel_lines=40\n");
    open();
    for (int i = 0; i < 30; ++i)
        appendMainLogLine(QStringLiteral("line %1").arg(i));
    w->updateDevUi();
    EXPECT_EQ(panelLines().size(), 31); // with the pc version line
    EXPECT_TRUE(logFiles("*_autosave.log").isEmpty());

    for (int i = 30; i < 45; ++i)
        appendMainLogLine(QStringLiteral("line %1").arg(i));
    w->updateDevUi();
    const QStringList panel = panelLines();
    ASSERT_EQ(panel.size(), 1) << panel.mid(0, 3).join(" | ").toStdString();
    ASSERT_TRUE(panel[0].startsWith("auto save preceding log to log/"));
    const QString saved = panel[0].mid(QString("auto save preceding log to ").size());
    EXPECT_TRUE(saved.endsWith("__autosave.log")) << saved.toStdString();
    const QByteArray text = read(saved);
    for (int i = 0; i < 45; ++i)
        EXPECT_TRUE(text.contains("]: line " + QByteArray::number(i) + "\r\n")) << i;
    EXPECT_TRUE(text.contains("current pc version is"));
    EXPECT_EQ(w->autosaves(), 0);
}

// Every panel line is in the journal, synced each refresh; a clean exit
// removes it; the journal of a run that died is saved as a recovered log at
// the next start and said in the panel.
TEST_F(LogPanel, JournalMirrorsThePanelAndIsRecoveredAfterADeath) {
    open();
    appendMainLogLine(QStringLiteral("burning along"));
    w->updateDevUi();
    QStringList journals = logFiles("journal_*.log");
    ASSERT_EQ(journals.size(), 1);
    EXPECT_TRUE(QRegularExpression("^journal_\\d{4}-\\d\\d-\\d\\d-\\d\\d-\\d\\d-\\d\\d\\.log$")
                    .match(journals[0])
                    .hasMatch())
        << journals[0].toStdString();
    const QByteArray journal = read("log/" + journals[0]);
    EXPECT_TRUE(journal.contains("current pc version is"));
    EXPECT_TRUE(journal.endsWith("]: burning along\n")) << journal.toStdString();
    // The operator's Clear empties both.
    w->clearLog();
    EXPECT_EQ(read("log/" + journals[0]), "");
    w.reset();
    EXPECT_TRUE(logFiles("journal_*.log").isEmpty());

    // A run that died left its journal.
    writeFile("log/journal_2026-12-09-03-00-00.log", "died line 1\nsecond line\n");
    resetBurnState();
    open();
    const QStringList recovered = logFiles("*recovered*.log");
    ASSERT_EQ(recovered.size(), 1);
    EXPECT_EQ(read("log/" + recovered[0]), "died line 1\r\nsecond line");
    journals = logFiles("journal_*.log");
    ASSERT_EQ(journals.size(), 1);
    EXPECT_NE(journals[0], "journal_2026-12-09-03-00-00.log");
    EXPECT_EQ(ui()->tedit_logshow->toPlainText().count("recovered the log"), 1);
    EXPECT_TRUE(ui()->tedit_logshow->toPlainText().contains("log/" + recovered[0]))
        << ui()->tedit_logshow->toPlainText().toStdString();
}

// One tick that logs some hundred lines (a media copy of many files) puts
// every one of them into the panel, none cut to an empty line.
TEST_F(LogPanel, ATickOfManyLinesReachesThePanelWhole) {
    open();
    gPortInfo[2].status = PORT_STATUS_RECOVERY;
    BurnThread thread(2);
    for (int i = 0; i < 300; ++i)
        thread.logShow(
            QStringLiteral("copy media/file_%1.bin: done").arg(i, 3, 10, QLatin1Char('0')));
    w->updateDevUi();
    const QStringList panel = panelLines();
    EXPECT_FALSE(panel.contains(QString()));
    int shown = 0;
    for (const QString &line : panel)
        if (line.startsWith("[T 2][") && line.contains("]: copy media/file_")) ++shown;
    EXPECT_EQ(shown, 300);
}

// A window that does not collect for a long while: the pending text stops at
// its bound, the lines past it still reach the journal and the saved log,
// and one panel line says how many the panel did not show.
TEST_F(LogPanel, LinesPastThePendingBoundReachTheDiskAndAreCounted) {
    open();
    gPortInfo[5].status = PORT_STATUS_RECOVERY;
    BurnThread thread(5);
    const QString filler(200, QLatin1Char('x'));
    const int lines = PORT_LOG_PENDING_LIMIT / 200 + 40;
    for (int i = 0; i < lines; ++i)
        thread.logShow(QStringLiteral("line %1 ").arg(i) + filler);
    const int hidden = gPortLogHidden[5].load();
    ASSERT_GE(hidden, 40);
    ASSERT_LT(hidden, lines / 4);
    w->updateDevUi();
    const QString panel = ui()->tedit_logshow->toPlainText();
    EXPECT_EQ(panel.count(
                  QStringLiteral("%1 further log line(s) of this port were not shown").arg(hidden)),
              1);
    EXPECT_TRUE(panel.contains(QStringLiteral("]: line %1 ").arg(lines - hidden - 1)));
    EXPECT_FALSE(panel.contains(QStringLiteral("]: line %1 ").arg(lines - 1)));
    const QByteArray journal =
        read(w->journal() ? "log/" + logFiles("journal_*.log").value(0) : "");
    EXPECT_TRUE(journal.contains(QStringLiteral("]: line %1 ").arg(lines - 1).toUtf8()));

    w.reset();
    const QStringList exitLogs = logFiles("*_.log");
    ASSERT_EQ(exitLogs.size(), 1);
    const QByteArray saved = read("log/" + exitLogs[0]);
    for (int i : {0, lines - hidden - 1, lines - hidden, lines - 1})
        EXPECT_TRUE(saved.contains(QStringLiteral("]: line %1 ").arg(i).toUtf8())) << i;
}
