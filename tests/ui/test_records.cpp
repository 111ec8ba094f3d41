// The help menu's burn records table: records the station's recorder wrote,
// the result filter, the CSV export read back, and a store that is missing or
// unreadable.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "burnrecorder.h"
#include "burnstation.h"
#include "recordsdialog.h"
#include "recordtablemodel.h"
#include "resultgate.h"
#include "uitestenv.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTableView>

namespace {

// RFC 4180 records: quoted fields may hold commas, doubled quotes and line
// breaks. Written apart from the exporter so that it checks it.
QVector<QStringList> parseCsv(const QString &text) {
    QVector<QStringList> rows;
    QStringList row;
    QString field;
    bool quoted = false;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            row << field;
            field.clear();
        } else if (c == '\n') {
            row << field;
            field.clear();
            rows << row;
            row.clear();
        } else {
            field += c;
        }
    }
    EXPECT_FALSE(quoted) << "unterminated quoted field";
    EXPECT_TRUE(row.isEmpty() && field.isEmpty()) << "last line not ended";
    return rows;
}

class Records : public WindowStation {
  protected:
    // A finished burn handed to the window's own recorder, as a burn thread does.
    BurnRecord submit(int port, bool success, int second, const QString &failText = QString()) {
        BurnRecorder *recorder = w->station()->recorder();
        BurnRecord r = recorder->baseRecord(port, 14);
        r.id = BurnRecord::newId();
        r.deviceId = QStringLiteral("VT-%1-设备").arg(second);
        r.startedAt = QDateTime(QDate(2026, 12, 8), QTime(6, 0, second), Qt::UTC);
        r.endedAt = r.startedAt.addMSecs(30125);
        r.success = success;
        r.failStep = success ? -1 : 7;
        r.failText = failText;
        r.logLines = {QStringLiteral("first line"), QStringLiteral("last line")};
        r.steps = {{2, r.startedAt}, {success ? 11 : 12, r.endedAt}};
        recorder->submit(r, ResultGate::hold(port));
        return r;
    }
    RecordsDialog *openRecords() {
        ui()->actionBurnRecords->trigger();
        return w->recordsDialog();
    }
    static QStringList column(RecordsDialog *d, int column) {
        QStringList out;
        for (int row = 0; row < d->model()->rowCount(); ++row)
            out << d->model()->index(row, column).data().toString();
        return out;
    }
};

} // namespace

TEST_F(Records, RecorderRowsFilteredAndExportedAsCsv) {
    open();
    const QString awkward = QStringLiteral("[T 3][06:00:40]: update \"boot\" failed, code 5\n"
                                           "second line");
    const BurnRecord first = submit(1, true, 0);
    const BurnRecord second = submit(3, false, 10, awkward);
    const BurnRecord third = submit(5, false, 20, QStringLiteral("[T 5]: no answer"));
    ASSERT_TRUE(w->station()->recorder()->flush(5000));

    RecordsDialog *d = openRecords();
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(d->isVisible());
    // Newest first; the result and failure columns as stored.
    EXPECT_EQ(column(d, RecordTableModel::Port), QStringList({"5", "3", "1"}));
    EXPECT_EQ(column(d, RecordTableModel::DeviceId),
              QStringList({third.deviceId, second.deviceId, first.deviceId}));
    EXPECT_EQ(column(d, RecordTableModel::Result), QStringList({"failure", "failure", "success"}));
    EXPECT_EQ(column(d, RecordTableModel::FailStep), QStringList({"7", "7", ""}));
    EXPECT_EQ(column(d, RecordTableModel::FailText), QStringList({third.failText, awkward, ""}));
    EXPECT_EQ(column(d, RecordTableModel::Started)[2],
              first.startedAt.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    EXPECT_TRUE(d->message()->text().startsWith("3 of 3 records shown"))
        << d->message()->text().toStdString();

    d->resultFilter()->setCurrentIndex(1); // success
    EXPECT_EQ(column(d, RecordTableModel::DeviceId), QStringList({first.deviceId}));
    d->resultFilter()->setCurrentIndex(2); // failure
    EXPECT_EQ(column(d, RecordTableModel::DeviceId),
              QStringList({third.deviceId, second.deviceId}));

    // The export holds the rows the filter shows, every stored column but
    // the log, and reads back field for field.
    fileAnswers << dir() + "/failures.csv";
    d->exportButton()->click();
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join(";").toStdString();
    QFile file(dir() + "/failures.csv");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QVector<QStringList> csv = parseCsv(QString::fromUtf8(file.readAll()));
    ASSERT_EQ(csv.size(), 3);
    const QStringList header = csv[0];
    EXPECT_FALSE(header.contains("log_lines"));
    for (int i = 0; i < 2; ++i) {
        const BurnRecord &r = i == 0 ? third : second;
        const QStringList &row = csv[i + 1];
        ASSERT_EQ(row.size(), header.size());
        auto at = [&](const char *name) { return row[header.indexOf(QLatin1String(name))]; };
        EXPECT_EQ(at("id"), r.id);
        EXPECT_EQ(at("port"), QString::number(r.port));
        EXPECT_EQ(at("device_id"), r.deviceId);
        EXPECT_EQ(at("result"), "failure");
        EXPECT_EQ(at("fail_step"), "7");
        EXPECT_EQ(at("fail_text"), r.failText);
        EXPECT_EQ(at("started_at"), BurnRecord::isoTime(r.startedAt));
        EXPECT_EQ(at("ended_at"), "2026-12-08T06:00:" + QString::number(50 - 10 * i) + ".125Z");
    }

    // The dialog holds no connection: the recorder goes on writing while it
    // is up, and a refresh (or opening it again) shows the new record.
    const BurnRecord fourth = submit(0, false, 30, QStringLiteral("late"));
    ASSERT_TRUE(w->station()->recorder()->flush(5000));
    EXPECT_EQ(w->station()->recorder()->heldCount(), 0);
    EXPECT_EQ(d->model()->rowCount(), 2);
    EXPECT_EQ(openRecords(), d);
    EXPECT_EQ(column(d, RecordTableModel::DeviceId),
              QStringList({fourth.deviceId, third.deviceId, second.deviceId}));

    // A file that cannot be written is said, not a silent success.
    EXPECT_FALSE(d->exportCsv(dir() + "/no-such-dir/x.csv"));
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes[0].contains("could not be exported")) << boxes[0].toStdString();
}

TEST_F(Records, MissingOrUnreadableStoreIsSaidInTheCurrentLanguage) {
    ASSERT_TRUE(QFile::copy(QStringLiteral(PYREWICK_BIN_DIR "/pyrewick_zh.qm"), "pyrewick_zh.qm"));
    writeFile("configure.ini", "[General]\nlanuage=en\n");
    open();
    // No burn yet: the store is not there.
    RecordsDialog *d = openRecords();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->model()->rowCount(), 0);
    EXPECT_FALSE(d->exportButton()->isEnabled());
    EXPECT_TRUE(d->message()->text().startsWith("No burn records yet"))
        << d->message()->text().toStdString();
    EXPECT_EQ(d->model()->headerData(RecordTableModel::Started, Qt::Horizontal).toString(),
              "Started");

    // The language toggle reaches the open dialog. Only the language events
    // are delivered: painting the shown dialog would run Qt's raster threads,
    // which the thread sanitizer cannot see into.
    w->changeLanuage();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LanguageChange);
    EXPECT_EQ(ui()->actionBurnRecords->text(), QString::fromUtf8("烧录记录…"));
    EXPECT_EQ(d->windowTitle(), QString::fromUtf8("烧录记录"));
    EXPECT_EQ(d->model()->headerData(RecordTableModel::Started, Qt::Horizontal).toString(),
              QString::fromUtf8("开始时间"));
    EXPECT_EQ(d->resultFilter()->itemText(2), QString::fromUtf8("失败"));
    EXPECT_TRUE(d->message()->text().startsWith(QString::fromUtf8("尚无烧录记录")))
        << d->message()->text().toStdString();

    // A file that is no database: said, the table stays empty.
    writeFile("records/burns.sqlite", QByteArray(4096, 'x'));
    EXPECT_FALSE(d->refresh());
    EXPECT_EQ(d->model()->rowCount(), 0);
    EXPECT_FALSE(d->exportButton()->isEnabled());
    EXPECT_TRUE(d->message()->text().contains(QString::fromUtf8("无法读取")))
        << d->message()->text().toStdString();
}
