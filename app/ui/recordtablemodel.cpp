#include "recordtablemodel.h"

#include <QColor>
#include <algorithm>

using Column = RecordCsv::Column;

RecordTableModel::RecordTableModel(QObject *parent) : QAbstractTableModel(parent) {}

const QVector<Column> &RecordTableModel::columns() {
    static const QVector<Column> shown{Column::StartedAt, Column::EndedAt, Column::Port,
                                       Column::DeviceId,  Column::Package, Column::Result,
                                       Column::FailStep,  Column::FailText};
    return shown;
}

void RecordTableModel::setRecords(QVector<BurnRecord> records) {
    std::reverse(records.begin(), records.end());
    beginResetModel();
    mRecords = std::move(records);
    select();
    endResetModel();
}

void RecordTableModel::setShown(Shown shown) {
    if (shown == mShown) return;
    beginResetModel();
    mShown = shown;
    select();
    endResetModel();
}

void RecordTableModel::select() {
    mRows.clear();
    for (int i = 0; i < mRecords.size(); ++i) {
        const bool success = mRecords[i].success;
        if (mShown == Shown::All || success == (mShown == Shown::Success)) mRows.append(i);
    }
}

QVector<BurnRecord> RecordTableModel::shownRecords() const {
    QVector<BurnRecord> out;
    out.reserve(mRows.size());
    for (int i : mRows)
        out.append(mRecords[i]);
    return out;
}

void RecordTableModel::retranslate() {
    emit headerDataChanged(Qt::Horizontal, 0, columnCount() - 1);
    if (!mRows.isEmpty()) emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
}

int RecordTableModel::rowCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : int(mRows.size());
}

int RecordTableModel::columnCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : int(columns().size());
}

QVariant RecordTableModel::data(const QModelIndex &index, int role) const {
    if (!index.isValid() || index.row() >= mRows.size() || index.column() >= columnCount())
        return QVariant();
    const BurnRecord &r = record(index.row());
    const Column column = columns()[index.column()];
    if (role == Qt::ForegroundRole && column == Column::Result && !r.success)
        return QColor(Qt::red);
    if (role != Qt::DisplayRole) return QVariant();
    switch (column) {
    case Column::StartedAt:
    case Column::EndedAt: {
        // The operator's clock; the export keeps the stored UTC time.
        const QDateTime t = column == Column::StartedAt ? r.startedAt : r.endedAt;
        return t.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    }
    case Column::Result:
        return r.success ? tr("success") : tr("failure");
    default:
        return RecordCsv::value(r, column);
    }
}

QVariant RecordTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= columnCount())
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (columns()[section]) {
    case Column::StartedAt:
        return tr("Started");
    case Column::EndedAt:
        return tr("Ended");
    case Column::Port:
        return tr("Port");
    case Column::DeviceId:
        return tr("Device ID");
    case Column::Package:
        return tr("Package");
    case Column::Result:
        return tr("Result");
    case Column::FailStep:
        return tr("Failed step");
    case Column::FailText:
        return tr("Failure text");
    default:
        return QVariant();
    }
}
