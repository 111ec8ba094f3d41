// The station's SQLite store: what a record looks like on disk, the schema
// version, the summary, and a store that cannot be written.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include "burnrecord.h"
#include "recordstore.h"
#include "recordsummary.h"

namespace {

QDateTime at(int second, int ms = 0) {
    return QDateTime(QDate(2026, 12, 8), QTime(6, 0, second, ms), Qt::UTC);
}

BurnRecord record(int port, bool success, int failStep = -1, int second = 0) {
    BurnRecord r;
    r.id = BurnRecord::newId();
    r.station = QStringLiteral("line-a");
    r.variant = QStringLiteral("multi");
    r.port = port;
    r.portPath =
        QStringLiteral("xHCI Host Controller (usb1)(RootHub)-port1(hub)-port%1").arg(port + 1);
    r.package = QStringLiteral("fw_demo.zip");
    r.packageSha256 = QString(64, QLatin1Char('a'));
    r.planCommands = 14;
    r.startedAt = at(second);
    r.endedAt = at(second + 30, 125);
    r.success = success;
    r.failStep = success ? -1 : failStep;
    r.failText = success ? QString() : QStringLiteral("[T %1][06:00:30]: update failed").arg(port);
    r.logLines = {QStringLiteral("[T %1][06:00:01]: first").arg(port),
                  QStringLiteral("[T %1][06:00:30]: last").arg(port)};
    r.steps = {{2, at(second)}, {4, at(second, 5)}, {success ? 11 : 12, r.endedAt}};
    return r;
}

// Rows of one statement on a plain connection of the test's own.
QVector<QVariantList> rows(const QString &path, const QString &sql) {
    QVector<QVariantList> out;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "raw");
        db.setDatabaseName(path);
        EXPECT_TRUE(db.open());
        QSqlQuery q(db);
        EXPECT_TRUE(q.exec(sql)) << sql.toStdString();
        while (q.next()) {
            QVariantList row;
            for (int i = 0; q.value(i).isValid(); ++i)
                row << q.value(i);
            out << row;
        }
    }
    QSqlDatabase::removeDatabase("raw");
    return out;
}

} // namespace

TEST(RecordStore, RecordsLandInBurnsAndStepsAsWritten) {
    QTemporaryDir dir;
    const QString path = RecordStore::pathIn(dir.path());
    EXPECT_EQ(path, dir.filePath("records/burns.sqlite"));
    const BurnRecord ok = record(0, true, -1, 0);
    const BurnRecord bad = record(5, false, 11, 10);
    {
        RecordStore store;
        ASSERT_TRUE(store.open(path)) << store.errorText().toStdString();
        EXPECT_EQ(store.schemaVersion(), RecordStore::kSchemaVersion);
        ASSERT_TRUE(store.write({ok, bad}, false)) << store.errorText().toStdString();
        EXPECT_EQ(store.outboxCount(), 0);
        // A record id is written once: a second write of it is refused whole.
        EXPECT_FALSE(store.write({record(1, true), ok}, false));
        EXPECT_FALSE(store.errorText().isEmpty());
    }

    // The columns, in order, and the file's journal and schema version.
    QStringList columns;
    for (const QVariantList &r : rows(path, "PRAGMA table_info(burns)"))
        columns << r[1].toString();
    EXPECT_EQ(columns.join(' ').toStdString(),
              "id station variant port port_path device_id package package_sha256 plan_commands "
              "started_at ended_at result fail_step fail_text log_lines");
    columns.clear();
    for (const QVariantList &r : rows(path, "PRAGMA table_info(steps)"))
        columns << r[1].toString();
    EXPECT_EQ(columns.join(' ').toStdString(), "burn_id status entered_at");
    EXPECT_EQ(rows(path, "PRAGMA journal_mode")[0][0].toString(), "wal");
    EXPECT_EQ(rows(path, "PRAGMA user_version")[0][0].toInt(), RecordStore::kSchemaVersion);

    // A success has no failure step or text; times are UTC with milliseconds.
    const auto burns = rows(path, "SELECT id, result, fail_step IS NULL, fail_text IS NULL, "
                                  "ended_at, log_lines FROM burns ORDER BY port");
    ASSERT_EQ(burns.size(), 2);
    EXPECT_EQ(burns[0][0].toString(), ok.id);
    EXPECT_EQ(burns[0][1].toString(), "success");
    EXPECT_EQ(burns[0][2].toInt(), 1);
    EXPECT_EQ(burns[0][3].toInt(), 1);
    EXPECT_EQ(burns[0][4].toString(), "2026-12-08T06:00:30.125Z");
    EXPECT_EQ(burns[0][5].toString(), ok.logLines.join('\n'));
    EXPECT_EQ(burns[1][1].toString(), "failure");
    EXPECT_EQ(burns[1][2].toInt(), 0);
    EXPECT_EQ(rows(path, "SELECT COUNT(*) FROM steps")[0][0].toInt(), 6);

    // Read back through the store: the same record, steps in order.
    RecordStore store;
    ASSERT_TRUE(store.open(path, true));
    RecordStore::Filter all;
    all.withLog = true;
    const QVector<BurnRecord> back = store.records(all);
    ASSERT_EQ(back.size(), 2);
    EXPECT_EQ(back[1].id, bad.id);
    EXPECT_EQ(back[1].failStep, 11);
    EXPECT_EQ(back[1].failText, bad.failText);
    EXPECT_EQ(back[1].endedAt, bad.endedAt);
    EXPECT_EQ(back[1].logLines, bad.logLines);
    ASSERT_EQ(back[1].steps.size(), 3);
    EXPECT_EQ(back[1].steps[2].status, 12);
    EXPECT_EQ(back[0].failStep, -1);

    RecordStore::Filter failures;
    failures.result = 0;
    EXPECT_EQ(store.records(failures).size(), 1);
    RecordStore::Filter port0;
    port0.port = 0;
    EXPECT_EQ(store.records(port0).value(0).id, ok.id);
    RecordStore::Filter later;
    later.since = at(40);
    EXPECT_EQ(store.records(later).size(), 1); // only the one that ended at :40
}

TEST(RecordStore, OutboxHoldsWhatIsNotForwardedYet) {
    QTemporaryDir dir;
    RecordStore store;
    ASSERT_TRUE(store.open(RecordStore::pathIn(dir.path())));
    const BurnRecord a = record(0, true), b = record(1, false, 3);
    ASSERT_TRUE(store.write({a, b}, true));
    EXPECT_EQ(store.outboxCount(), 2);
    const QVector<BurnRecord> queued = store.outbox(10);
    ASSERT_EQ(queued.size(), 2);
    EXPECT_EQ(queued[0].id, a.id);
    EXPECT_EQ(queued[1].steps.size(), 3);
    EXPECT_EQ(queued[1].logLines, b.logLines);
    ASSERT_TRUE(store.removeFromOutbox({a.id}));
    EXPECT_EQ(store.outboxCount(), 1);
    EXPECT_EQ(store.outbox(10).value(0).id, b.id);
}

TEST(RecordStore, ANewerSchemaIsReadButNeverWritten) {
    QTemporaryDir dir;
    const QString path = RecordStore::pathIn(dir.path());
    {
        RecordStore store;
        ASSERT_TRUE(store.open(path));
        ASSERT_TRUE(store.write({record(0, true)}, false));
    }
    rows(path, "PRAGMA user_version = 7");
    RecordStore store;
    EXPECT_FALSE(store.open(path));
    EXPECT_TRUE(store.errorText().contains("newer")) << store.errorText().toStdString();
    ASSERT_TRUE(store.open(path, true));
    EXPECT_EQ(store.records({}).size(), 1);
}

TEST(RecordStore, OpeningFailsWhereNoFileCanBe) {
    QTemporaryDir dir;
    // "records" is a plain file: the directory cannot be made.
    QFile blocker(dir.filePath("records"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    RecordStore store;
    EXPECT_FALSE(store.open(RecordStore::pathIn(dir.path())));
    EXPECT_FALSE(store.errorText().isEmpty());
    EXPECT_FALSE(store.write({record(0, true)}, false));
    // Reading a store that is not there does not make one.
    QTemporaryDir empty;
    EXPECT_FALSE(store.open(RecordStore::pathIn(empty.path()), true));
    EXPECT_FALSE(QFile::exists(RecordStore::pathIn(empty.path())));
}

TEST(RecordSummary, YieldByPortAndAParetoOfFailureSteps) {
    QTemporaryDir dir;
    RecordStore store;
    ASSERT_TRUE(store.open(RecordStore::pathIn(dir.path())));
    QVector<BurnRecord> batch;
    for (int i = 0; i < 6; ++i)
        batch << record(i % 2, true, -1, i);
    batch << record(1, false, 11, 20) << record(1, false, 11, 21) << record(1, false, 11, 22)
          << record(0, false, 5, 23) << record(1, false, 2, 24) << record(0, false, 5, 25);
    ASSERT_TRUE(store.write(batch, false));
    RecordSummary s;
    ASSERT_TRUE(store.summary(&s));
    EXPECT_EQ(s.total, 12);
    EXPECT_EQ(s.successes, 6);
    EXPECT_EQ(s.failures, 6);
    ASSERT_EQ(s.ports.size(), 2);
    EXPECT_EQ(s.ports[1].total, 7);
    EXPECT_EQ(s.ports[1].successes, 3);
    ASSERT_EQ(s.pareto.size(), 3);
    EXPECT_EQ(s.pareto[0].step, 11);
    EXPECT_EQ(s.pareto[0].failures, 3);
    EXPECT_EQ(s.pareto[1].step, 5);
    EXPECT_EQ(s.pareto[2].step, 2);
    EXPECT_EQ(s.first, at(30, 125));
    EXPECT_EQ(s.last, at(55, 125));
    const QString text = s.text();
    EXPECT_TRUE(text.startsWith("burns 12  success 6  failure 6  yield 50.0%"))
        << text.toStdString();
    // Step 2 closes the Pareto at 100 %.
    EXPECT_TRUE(text.contains(QRegularExpression("\\n   2 +1 +16\\.7% +100\\.0%\\n")))
        << text.toStdString();
}
