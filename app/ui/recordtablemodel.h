// The burn records the records dialog shows: newest first, read-only, with a
// result filter applied in memory (changing it never touches the store).
#ifndef RECORDTABLEMODEL_H
#define RECORDTABLEMODEL_H

#include <QAbstractTableModel>
#include <QVector>

#include "burnrecord.h"

class RecordTableModel : public QAbstractTableModel {
    Q_OBJECT

  public:
    // Failure: every burn without success (failed, interrupted, running).
    enum class Shown { All, Success, Failure, Interrupted };
    enum Column {
        Started,
        Ended,
        Port,
        DeviceId,
        Package,
        Result,
        FailStep,
        FailText,
        ColumnCount
    };

    explicit RecordTableModel(QObject *parent = nullptr);

    // Replaces the records (as the store gives them: oldest first).
    void setRecords(QVector<BurnRecord> records);
    void setShown(Shown shown);
    Shown shown() const { return mShown; }
    int totalCount() const { return int(mRecords.size()); }
    // The record of a shown row.
    const BurnRecord &record(int row) const { return mRecords[mRows[row]]; }
    // The shown rows' records, in the table's order.
    QVector<BurnRecord> shownRecords() const;
    // Headers and result texts follow the language.
    void retranslate();

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

  private:
    void select();

    QVector<BurnRecord> mRecords; // newest first
    QVector<int> mRows;           // indexes into mRecords of the shown rows
    Shown mShown = Shown::All;
};

#endif
