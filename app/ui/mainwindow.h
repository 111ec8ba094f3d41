// The operator's window: eight port rows, Start/Stop, the log panel and the
// Config/help menus, in front of the burning station (BurnStation: plan,
// port-match store, watch thread, burn threads). It never receives calls from
// the burn threads: every 500 ms it refreshes the station and paints.
//
// The member functions are spread over files by concern: mainwindow.cpp
// (construction, teardown, event hooks), devrefresh.cpp (the 500 ms refresh,
// the busy picture and the port buttons), operatorcommands.cpp (menu,
// button and check-box commands) and logpanel.cpp (saving and clearing the
// log panel).
#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>
#include <QString>
#include <QTranslator>
#include <array>
#include <memory>

#include "rowlook.h"

namespace Ui {
class MainWindow;
}
class QProgressBar;
class QProgressDialog;
class QPushButton;
class QTableWidgetItem;
class QTimer;
class BurnStation;
class LogJournal;
class RecordsDialog;

class MainWindow : public QMainWindow {
    Q_OBJECT

  public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // The form's widgets (tests and the demo look at them).
    Ui::MainWindow *form() const { return ui; }
    QProgressBar *progressBar(int port) const { return progressBars[port]; }
    BurnStation *station() const { return burnStation.get(); }
    QString upgradeFile() const;
    QString progressFile() const;
    int autosaves() const { return autosaveCount; }
    // The journal of the log panel (log/journal_<start>.log); null when it
    // could not be made.
    LogJournal *journal() const { return panelJournal.get(); }
    // The import's progress dialog while an upgrade file is unpacked, else null.
    QProgressDialog *importProgress() const { return progressDialog; }
    // The burn records dialog once it has been opened, else null.
    RecordsDialog *recordsDialog() const { return recordsWindow; }

  public slots:
    void startClicked();
    void stopClicked();
    void saveLog();
    void saveLog(QString path);
    void clearLog();
    void importConfigFiles();
    void importUpgradeFile();
    void importMediaFiles();
    void resetPortMatchInfo();
    void updateDevUi();
    void showVersion();
    // Opens (or brings up) the burn records dialog, read afresh.
    void showRecords();
    // The table's change signals; they have no effect.
    void tableWidgetCellChanged(int currentRow, int currentColumn, int previousRow,
                                int previousColumn);
    void tableWidgetCChanged(int currentRow, int currentColumn);
    void tableWidgetcurrentItemChanged(QTableWidgetItem *current, QTableWidgetItem *previous);
    void tableWidgetitemChanged(QTableWidgetItem *item);
    void tableWidgetitemSelectionChanged();
    void checkBox_mac_changed(int state);
    void checkBox_mac_bt_changed(int state);
    void checkBox_mac_wifi_changed(int state);
    void checkBox_erase_changed(int state);
    void changeLanuage();
    // Port buttons: acknowledge the result of a port whose device is gone.
    void on_pushButton_8_clicked();
    void on_pushButton_7_clicked();
    void on_pushButton_6_clicked();
    void on_pushButton_5_clicked();
    void on_pushButton_4_clicked();
    void on_pushButton_3_clicked();
    void on_pushButton_2_clicked();
    void on_pushButton_1_clicked();
    void reParseConfigFile();
    bool deleteDir(QString dirName);
    void showWait();

  signals:
    // Emitted at the end of every refresh, once the rows are painted.
    void refreshed();

  protected:
    void changeEvent(QEvent *event) override;

  private:
    // What the status column and the port button of a row show, untranslated;
    // the appearance rules compare against it.
    struct RowMemory {
        QString statusText = QString::fromLatin1(RowLook::kDisconnect);
        bool failedWithMessage = false;
        QString buttonText;
    };

    void setUpTable();
    void applyRow(int port, const RowLook::Change &change);
    void showRowTexts(int port);
    void acknowledgePort(int port);
    void autoSaveLog();
    // Saves the panel as an automatic save and empties it; false (panel and
    // journal kept) when it cannot be written.
    bool autoSavePanel();
    // The panel holds more than Log/panel_lines lines: an automatic save.
    void boundPanel();
    // One line into the panel and its journal.
    void logLine(const QString &text);
    bool savePanel(const QString &path, bool atExit);
    void showInformation(const QString &text);

    Ui::MainWindow *ui;
    std::array<QProgressBar *, 8> progressBars{};
    std::array<QPushButton *, 8> probeBtns{};
    QTimer *refreshTimer = nullptr;
    int autosaveCount = 0;
    int panelLimit = 20000;
    int boundRetryAt = 0; // a bound save that failed is tried again at this many lines
    std::unique_ptr<LogJournal> panelJournal;
    int waitCount = 0;
    QTranslator translator;
    std::unique_ptr<BurnStation> burnStation;

    std::array<RowMemory, 8> rows{};
    QString firmwareShown; // package path behind label_firmware, empty when none
    bool languageApplied = false;
    QProgressDialog *progressDialog = nullptr;
    RecordsDialog *recordsWindow = nullptr; // a child: lives as long as the window
};

#endif
