// "Burn records…" of the help menu: the station's burn records in a
// read-only table, filtered by result, exported as CSV. It reads the store
// only when opened or refreshed, through a read-only connection of its own
// that is closed again at once, so the recorder thread goes on writing (WAL)
// and the burns never wait for it.
#ifndef RECORDSDIALOG_H
#define RECORDSDIALOG_H

#include <QDialog>
#include <QString>

class QComboBox;
class QLabel;
class QPushButton;
class QTableView;
class RecordTableModel;

class RecordsDialog : public QDialog {
    Q_OBJECT

  public:
    // `storePath`: the station's burns.sqlite.
    explicit RecordsDialog(const QString &storePath, QWidget *parent = nullptr);

    // Reads every record again (the filter stays). False when the store is
    // missing or cannot be read: the table is then empty and the dialog says why.
    bool refresh();
    // Writes the rows the filter shows, newest first, with every stored column
    // but the log, to `path` as UTF-8 CSV. False (and a warning box) when it
    // cannot be written.
    bool exportCsv(const QString &path);

    QTableView *table() const { return mTable; }
    RecordTableModel *model() const { return mModel; }
    QComboBox *resultFilter() const { return mFilter; }
    QLabel *message() const { return mMessage; }
    QPushButton *exportButton() const { return mExport; }

  public slots:
    // Asks for a file and exports to it.
    void exportClicked();

  protected:
    void changeEvent(QEvent *event) override;

  private:
    enum class Problem { None, Missing, Unreadable };

    void retranslate();
    void showMessage();

    QString mStorePath;
    Problem mProblem = Problem::None;
    QString mDetail;       // the store's error text when unreadable
    QString mExportedPath; // the last export since the last read
    int mExportedCount = 0;

    RecordTableModel *mModel = nullptr;
    QTableView *mTable = nullptr;
    QComboBox *mFilter = nullptr;
    QLabel *mFilterLabel = nullptr;
    QLabel *mMessage = nullptr;
    QPushButton *mRefresh = nullptr;
    QPushButton *mExport = nullptr;
    QPushButton *mClose = nullptr;
};

#endif
