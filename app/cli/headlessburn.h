// pyrewick-cli burn: the window's station without a window. Imports like the
// window, starts burning, refreshes every 500 ms, stops after N results or on
// SIGINT/SIGTERM (Stop: each thread ends its step; the log is saved), and
// reports as it goes: a live table on a terminal, one line per event
// otherwise, JSON Lines with --json.
#ifndef HEADLESSBURN_H
#define HEADLESSBURN_H

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <array>
#include <cstdio>
#include <memory>

#include "logjournal.h"

#include "burnrecord.h"
#include "burnstation.h"

class QTimer;

class HeadlessBurn : public QObject {
    Q_OBJECT

  public:
    struct Options {
        QString station; // working directory of the station
        QString package; // upgrade package to import; empty: the station's plan file
        QString media;   // media directory; empty: none
        int count = 0;   // stop after this many results; 0: until a signal
        bool single = false;
        bool json = false;
    };
    explicit HeadlessBurn(Options options, QObject *parent = nullptr);
    ~HeadlessBurn() override;

    // Sets the station up and starts burning; false (after saying why on
    // standard error) when it cannot. Then run the event loop: it quits with
    // exitCode().
    bool begin();
    int exitCode() const { return mExitCode; }

    // Ends the run: Stop, the last log lines, the saved log, the records
    // written (and forwarded when the server answers within a few seconds).
    void finish(const QString &why);

  private:
    struct PortRow {
        int status = 0;
        int lastResult = 0;
        int step = -1;
        QString path;
        QString text;
        bool burning = false; // a burn started and its result not yet seen
        QElapsedTimer clock;
        qint64 elapsedMs = 0;
    };

    void refresh();
    void onResult(const BurnRecord &record, bool stored);
    void event(const QString &line, const QJsonObject &json);
    void drawTable();
    QString rowText(int port) const;
    // One line of the panel: kept, and into the journal.
    void panelLine(const QString &text);
    // Past Log/panel_lines lines the panel is saved (as the window's
    // automatic save) and emptied.
    void boundPanel();

    Options mOptions;
    std::unique_ptr<BurnStation> mStation;
    QTimer *mTimer = nullptr;
    std::array<PortRow, 8> mRows;
    QStringList mPanel;  // what the window's log panel would hold
    LogJournal mJournal; // the panel on the disk, as the window keeps it
    int mPanelLimit = 20000;
    bool mTerminal = false;
    bool mDrawn = false;
    bool mFinished = false;
    int mResults = 0;
    int mFailures = 0;
    int mExitCode = 1;
    int mPlanCommands = 0;
};

#endif
