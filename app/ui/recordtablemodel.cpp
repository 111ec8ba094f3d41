#include "recordtablemodel.h"

#include <QColor>
#include <algorithm>

RecordTableModel::RecordTableModel(QObject *parent) : QAbstractTableModel(parent) {}

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
        const BurnRecord &r = mRecords[i];
        bool shown = true;
        switch (mShown) {
        case Shown::All:
            break;
        case Shown::Success:
        case Shown::Failure:
            shown = r.success == (mShown == Shown::Success);
            break;
        case Shown::Interrupted:
            shown = r.state == BurnRecord::State::Interrupted;
            break;
        }
        if (shown) mRows.append(i);
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
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant RecordTableModel::data(const QModelIndex &index, int role) const {
    if (!index.isValid() || index.row() >= mRows.size() || index.column() >= ColumnCount)
        return QVariant();
    const BurnRecord &r = record(index.row());
    if (role == Qt::ForegroundRole && index.column() == Result && !r.success)
        return QColor(Qt::red);
    if (role != Qt::DisplayRole) return QVariant();
    switch (Column(index.column())) {
    case Started:
    case Ended:
        // The operator's clock; the export keeps the stored UTC time.
        return (index.column() == Started ? r.startedAt : r.endedAt)
            .toLocalTime()
            .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    case Port:
        return QString::number(r.port);
    case DeviceId:
        return r.deviceId;
    case Package:
        return r.package;
    case Result:
        switch (r.state) {
        case BurnRecord::State::Running:
            return tr("running");
        case BurnRecord::State::Interrupted:
            return tr("interrupted");
        case BurnRecord::State::Done:
            break;
        }
        return r.success ? tr("success") : tr("failure");
    case FailStep:
        return r.success ? QString() : QString::number(r.failStep);
    case FailText:
        return r.failText;
    case ColumnCount:
        break;
    }
    return QVariant();
}

QVariant RecordTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= ColumnCount)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (Column(section)) {
    case Started:
        return tr("Started");
    case Ended:
        return tr("Ended");
    case Port:
        return tr("Port");
    case DeviceId:
        return tr("Device ID");
    case Package:
        return tr("Package");
    case Result:
        return tr("Result");
    case FailStep:
        return tr("Failed step");
    case FailText:
        return tr("Failure text");
    case ColumnCount:
        break;
    }
    return QVariant();
}
