#include "recordsdialog.h"

#include "recordcsv.h"
#include "recordstore.h"
#include "recordtablemodel.h"
#include "uiprompts.h"

#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSaveFile>
#include <QTableView>
#include <QVBoxLayout>

RecordsDialog::RecordsDialog(const QString &storePath, QWidget *parent)
    : QDialog(parent), mStorePath(storePath) {
    mModel = new RecordTableModel(this);
    mFilterLabel = new QLabel(this);
    mFilter = new QComboBox(this);
    for (int i = 0; i < 4; ++i)
        mFilter->addItem(QString());
    mRefresh = new QPushButton(this);
    mExport = new QPushButton(this);
    mClose = new QPushButton(this);
    mMessage = new QLabel(this);
    mMessage->setWordWrap(true);
    mMessage->setTextInteractionFlags(Qt::TextSelectableByMouse);
    mTable = new QTableView(this);
    mTable->setModel(mModel);
    mTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    mTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    mTable->setAlternatingRowColors(true);
    mTable->verticalHeader()->hide();
    mTable->horizontalHeader()->setStretchLastSection(true);

    auto *bar = new QHBoxLayout;
    bar->addWidget(mFilterLabel);
    bar->addWidget(mFilter);
    bar->addStretch(1);
    bar->addWidget(mRefresh);
    bar->addWidget(mExport);
    bar->addWidget(mClose);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(bar);
    layout->addWidget(mMessage);
    layout->addWidget(mTable, 1);
    resize(960, 480);

    connect(mFilter, qOverload<int>(&QComboBox::currentIndexChanged), this, [this](int index) {
        mModel->setShown(RecordTableModel::Shown(index));
        mExportedPath.clear();
        showMessage();
    });
    connect(mRefresh, &QPushButton::clicked, this, &RecordsDialog::refresh);
    connect(mExport, &QPushButton::clicked, this, &RecordsDialog::exportClicked);
    connect(mClose, &QPushButton::clicked, this, &QDialog::close);
    retranslate();
}

bool RecordsDialog::refresh() {
    QVector<BurnRecord> records;
    mProblem = Problem::None;
    mDetail.clear();
    mExportedPath.clear();
    if (!QFileInfo::exists(mStorePath)) {
        mProblem = Problem::Missing;
    } else {
        // A connection of its own, read-only, closed when `store` goes.
        RecordStore store;
        if (store.open(mStorePath, true)) records = store.records(RecordStore::Filter());
        if (!store.errorText().isEmpty()) {
            mProblem = Problem::Unreadable;
            mDetail = store.errorText();
            records.clear();
        }
    }
    mModel->setRecords(std::move(records));
    mTable->resizeColumnsToContents();
    mExport->setEnabled(mProblem == Problem::None);
    showMessage();
    return mProblem == Problem::None;
}

void RecordsDialog::exportClicked() {
    const QString proposed =
        QDir(QFileInfo(mStorePath).absolutePath()).filePath(QStringLiteral("burn-records.csv"));
    const QString path = uiPrompts().saveFileName(this, tr("Export burn records"), proposed);
    if (!path.isEmpty()) exportCsv(path);
}

bool RecordsDialog::exportCsv(const QString &path) {
    const QVector<BurnRecord> records = mModel->shownRecords();
    QString text = RecordCsv::header(false);
    for (const BurnRecord &r : records)
        text += RecordCsv::line(r, false);

    // Written whole or not at all: a file that was there stays as it was.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0 || !file.commit()) {
        uiPrompts().warning(this, tr("Error"),
                            tr("The burn records could not be exported to %1 (%2).")
                                .arg(QDir::toNativeSeparators(path), file.errorString()));
        return false;
    }
    mExportedPath = path;
    mExportedCount = int(records.size());
    showMessage();
    return true;
}

void RecordsDialog::changeEvent(QEvent *event) {
    QDialog::changeEvent(event);
    if (event->type() == QEvent::LanguageChange) retranslate();
}

void RecordsDialog::retranslate() {
    setWindowTitle(tr("Burn records"));
    mFilterLabel->setText(tr("Show:"));
    mFilter->setItemText(int(RecordTableModel::Shown::All), tr("all"));
    mFilter->setItemText(int(RecordTableModel::Shown::Success), tr("success"));
    mFilter->setItemText(int(RecordTableModel::Shown::Failure), tr("failure"));
    mFilter->setItemText(int(RecordTableModel::Shown::Interrupted), tr("interrupted"));
    mRefresh->setText(tr("Refresh"));
    mExport->setText(tr("Export CSV…"));
    mClose->setText(tr("Close"));
    mModel->retranslate();
    mTable->resizeColumnsToContents(); // the headers' new lengths
    showMessage();
}

void RecordsDialog::showMessage() {
    const QString store = QDir::toNativeSeparators(mStorePath);
    QString text;
    switch (mProblem) {
    case Problem::Missing:
        text = tr("No burn records yet: %1 does not exist. Records are kept from the first "
                  "burn on.")
                   .arg(store);
        break;
    case Problem::Unreadable:
        text = tr("The burn records in %1 cannot be read: %2").arg(store, mDetail);
        break;
    case Problem::None:
        text = tr("%1 of %2 records shown (%3).")
                   .arg(mModel->rowCount())
                   .arg(mModel->totalCount())
                   .arg(store);
        if (!mExportedPath.isEmpty())
            text += QLatin1Char(' ') + tr("%1 records exported to %2.")
                                           .arg(mExportedCount)
                                           .arg(QDir::toNativeSeparators(mExportedPath));
        break;
    }
    mMessage->setText(text);
}
