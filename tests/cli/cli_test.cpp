// pyrewick-cli as an operator or a line controller runs it: a headless burn
// of eight devices on the virtual line, its JSON Lines events, the records
// and summary it leaves, an orderly stop on SIGTERM, two stations at once
// forwarding to one PostgreSQL server that goes down part-way, and the JSON of
// a store's records with their steps.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QFileInfo>
#include <csignal>
#include <unistd.h>

#include "burnrecord.h"
#include "clistation.h"
#include "pgserver.h"
#include "recordstore.h"

namespace {

// Every line a JSON object; false (with the offending line) otherwise.
bool parseJsonLines(const QStringList &lines, QVector<QJsonObject> *out, QString *bad) {
    for (const QString &line : lines) {
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(line.toUtf8(), &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject()) {
            *bad = line;
            return false;
        }
        out->append(doc.object());
    }
    return true;
}

QVector<QJsonObject> eventsOf(const QVector<QJsonObject> &events, const QString &kind) {
    QVector<QJsonObject> out;
    for (const QJsonObject &e : events)
        if (e["event"].toString() == kind) out << e;
    return out;
}

int count(CliStation &s, const QString &kind) {
    int n = 0;
    for (const QString &line : s.outputLines())
        if (line.contains(QStringLiteral("\"event\":\"%1\"").arg(kind))) ++n;
    return n;
}

bool waitFor(const std::function<bool()> &cond, int ms) {
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > ms) return false;
        QThread::msleep(50);
    }
    return true;
}

QStringList burnArgs(CliStation &s, int n) {
    return {"burn",    "--station", s.dir(),   "--package",        s.package(),
            "--media", s.media(),   "--count", QString::number(n), "--json"};
}

} // namespace

TEST(Cli, EightDevicesBurntHeadlessLeaveEightSuccessRecords) {
    CliStation s("line-a");
    ASSERT_TRUE(s.error().isEmpty()) << s.error().toStdString();
    ASSERT_TRUE(s.startLine());
    s.startCli(burnArgs(s, 8));
    ASSERT_TRUE(s.cli().waitForFinished(180000)) << s.outputLines().join('\n').toStdString();
    const QString stderrText = QString::fromLocal8Bit(s.cli().readAllStandardError());
    EXPECT_EQ(s.cli().exitCode(), 0) << stderrText.toStdString();

    QVector<QJsonObject> events;
    QString bad;
    ASSERT_TRUE(parseJsonLines(s.outputLines(), &events, &bad)) << bad.toStdString();
    EXPECT_EQ(eventsOf(events, "plug").size(), 8);
    EXPECT_GT(eventsOf(events, "step").size(), 8 * 5);
    const QVector<QJsonObject> results = eventsOf(events, "result");
    ASSERT_EQ(results.size(), 8);
    QSet<QString> ids;
    QSet<int> ports;
    for (const QJsonObject &r : results) {
        EXPECT_EQ(r["result"].toString(), "success");
        EXPECT_TRUE(r["stored"].toBool());
        ids << r["id"].toString();
        ports << r["port"].toInt();
    }
    EXPECT_EQ(ids.size(), 8);
    EXPECT_EQ(ports.size(), 8);
    const QVector<QJsonObject> ends = eventsOf(events, "end");
    ASSERT_EQ(ends.size(), 1);
    EXPECT_EQ(ends[0]["exit"].toInt(), 0);

    // The store holds exactly those eight, each a success.
    EXPECT_TRUE(QFile::exists(s.dir() + "/records/burns.sqlite"));
    int rc = -1;
    const QStringList rows =
        QString::fromUtf8(s.runCli({"records", "--station", s.dir(), "--json"}, &rc))
            .split('\n', Qt::SkipEmptyParts);
    EXPECT_EQ(rc, 0);
    QVector<QJsonObject> records;
    ASSERT_TRUE(parseJsonLines(rows, &records, &bad)) << bad.toStdString();
    ASSERT_EQ(records.size(), 8);
    for (const QJsonObject &r : records) {
        EXPECT_TRUE(ids.contains(r["id"].toString()));
        EXPECT_EQ(r["result"].toString(), "success");
        EXPECT_EQ(r["station"].toString(), "line-a");
        EXPECT_EQ(r["package"].toString(), "fw_demo.zip");
        EXPECT_EQ(r["package_sha256"].toString().size(), 64);
        EXPECT_EQ(r["plan_commands"].toInt(), 14);
        EXPECT_FALSE(r["log_lines"].toArray().isEmpty());
    }
    const QString summary = QString::fromUtf8(s.runCli({"summary", "--station", s.dir()}, &rc));
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(summary.startsWith("burns 8  success 8  failure 0  yield 100.0%"))
        << summary.toStdString();
    const QString failures =
        QString::fromUtf8(s.runCli({"records", "--station", s.dir(), "--result", "failure"}, &rc));
    EXPECT_EQ(failures.count('\n'), 1) << failures.toStdString(); // the header only

    // The log panel was saved as the window saves it at exit.
    const QStringList logs = QDir(s.dir() + "/log").entryList({"*_fw_demo.log"});
    ASSERT_EQ(logs.size(), 1);
    QFile log(s.dir() + "/log/" + logs[0]);
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QByteArray text = log.readAll();
    EXPECT_TRUE(text.trimmed().endsWith("success:8 failed:0 failed postion:"))
        << text.right(200).toStdString();
}

TEST(Cli, SigtermStopsTheBurnInOrderAndSavesTheLog) {
    CliStation s("line-a");
    ASSERT_TRUE(s.error().isEmpty()) << s.error().toStdString();
    ASSERT_TRUE(s.startLine());
    s.startCli({"burn", "--station", s.dir(), "--package", s.package(), "--json"});
    ASSERT_TRUE(waitFor([&] { return count(s, "step") >= 3; }, 60000));
    s.cli().terminate(); // SIGTERM
    ASSERT_TRUE(s.cli().waitForFinished(60000));
    EXPECT_EQ(s.cli().exitStatus(), QProcess::NormalExit);
    // Burns were cut short: not every burn succeeded.
    EXPECT_EQ(s.cli().exitCode(), 1);
    QVector<QJsonObject> events;
    QString bad;
    ASSERT_TRUE(parseJsonLines(s.outputLines(), &events, &bad)) << bad.toStdString();
    const QVector<QJsonObject> ends = eventsOf(events, "end");
    ASSERT_EQ(ends.size(), 1);
    EXPECT_EQ(ends[0]["reason"].toString(), "SIGTERM");
    EXPECT_TRUE(QFile::exists(s.dir() + "/" + ends[0]["log"].toString()));
}

TEST(Cli, TwoStationsForwardEveryBurnOnceAcrossAServerRestart) {
    PgServer pg;
    ASSERT_TRUE(pg.made()) << pg.error().toStdString();
    ASSERT_TRUE(pg.start()) << pg.error().toStdString();
    CliStation a("line-a", {{3, "format_data"}}, 8000);
    CliStation b("line-b", {{6, "update"}}, 8000);
    ASSERT_TRUE(a.error().isEmpty() && b.error().isEmpty());
    ASSERT_TRUE(a.startLine());
    ASSERT_TRUE(b.startLine());
    const QStringList env{"PYREWICK_RECORDS=" + pg.url()};
    a.startCli(burnArgs(a, 8), env);
    b.startCli(burnArgs(b, 8), env);

    // Part-way the server goes down as in a crash, and comes back later.
    ASSERT_TRUE(
        waitFor([&] { return count(a, "result") >= 2 && count(b, "result") >= 2; }, 120000));
    ASSERT_TRUE(pg.stop(true));
    waitFor([&] { return count(a, "result") >= 5 && count(b, "result") >= 5; }, 120000);
    const int duringOutage = count(a, "result") + count(b, "result");
    ASSERT_TRUE(pg.start()) << pg.error().toStdString();
    ASSERT_TRUE(a.cli().waitForFinished(180000));
    ASSERT_TRUE(b.cli().waitForFinished(180000));
    EXPECT_LT(duringOutage, 16); // some results came after the restart ...
    EXPECT_GT(duringOutage, 4);  // ... and some while the server was down
    // Each station had one failing device.
    EXPECT_EQ(a.cli().exitCode(), 1);
    EXPECT_EQ(b.cli().exitCode(), 1);

    QSet<QString> ids;
    for (CliStation *s : {&a, &b}) {
        QVector<QJsonObject> events;
        QString bad;
        ASSERT_TRUE(parseJsonLines(s->outputLines(), &events, &bad)) << bad.toStdString();
        const QVector<QJsonObject> results = eventsOf(events, "result");
        ASSERT_EQ(results.size(), 8);
        for (const QJsonObject &r : results)
            ids << r["id"].toString();
        const QVector<QJsonObject> ends = eventsOf(events, "end");
        ASSERT_EQ(ends.size(), 1);
        EXPECT_TRUE(ends[0]["forwarded"].toBool());
    }
    ASSERT_EQ(ids.size(), 16);

    // On the server: every burn of both stations exactly once.
    const auto burns = pg.query("SELECT id::text, station, result, fail_step FROM burns");
    ASSERT_EQ(burns.size(), 16) << pg.error().toStdString();
    QSet<QString> serverIds;
    int perStation[2] = {0, 0};
    for (const QVariantList &row : burns) {
        serverIds << row[0].toString();
        ++perStation[row[1].toString() == "line-b" ? 1 : 0];
    }
    EXPECT_EQ(serverIds, ids);
    EXPECT_EQ(perStation[0], 8);
    EXPECT_EQ(perStation[1], 8);
    EXPECT_EQ(pg.query("SELECT count(*) FROM steps s LEFT JOIN burns b ON b.id = s.burn_id "
                       "WHERE b.id IS NULL")[0][0]
                  .toInt(),
              0);

    // The views add up.
    const auto yield = pg.query("SELECT station, sum(burns), sum(successes), sum(failures) "
                                "FROM yield_by_station_hour GROUP BY station ORDER BY station");
    ASSERT_EQ(yield.size(), 2);
    for (const QVariantList &row : yield) {
        EXPECT_EQ(row[1].toInt(), 8) << row[0].toString().toStdString();
        EXPECT_EQ(row[2].toInt(), 7);
        EXPECT_EQ(row[3].toInt(), 1);
    }
    const auto steps = pg.query("SELECT fail_step, failures, stations FROM failures_by_step "
                                "ORDER BY fail_step");
    ASSERT_EQ(steps.size(), 2);
    EXPECT_EQ(steps[0][0].toInt(), 11); // line-b's update
    EXPECT_EQ(steps[0][1].toInt(), 1);
    EXPECT_EQ(steps[1][0].toInt(), 13); // line-a's format_data
    EXPECT_EQ(steps[1][1].toInt(), 1);
}

TEST(Cli, APackageThatCannotBeUnpackedBurnsNothing) {
    CliStation s("line-a");
    QFile broken(s.dir() + "/broken.zip");
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
    broken.write("PK\x03\x04 this is not an archive");
    broken.close();
    int rc = -1;
    const QByteArray out =
        s.runCli({"burn", "--station", s.dir(), "--package", broken.fileName(), "--json"}, &rc);
    EXPECT_EQ(rc, 2);
    EXPECT_FALSE(out.contains("\"event\":\"start\"")) << out.toStdString();
    EXPECT_FALSE(QFile::exists(s.dir() + "/records/burns.sqlite") &&
                 s.runCli({"records", "--station", s.dir(), "--json"}, &rc).contains("\"id\""));
}

// records --json prints every record with all of its steps, in the order they
// were written, also when the rows of one record's steps are not adjacent in
// the table; a store whose steps cannot be read fails the command instead of
// printing records without their steps.
TEST(Cli, RecordsJsonCarriesEveryStepOfEveryRecord) {
    QTemporaryDir dir;
    const QString path = RecordStore::pathIn(dir.path());
    const QDateTime t0(QDate(2026, 12, 8), QTime(6, 0, 0, 250), Qt::UTC);
    QVector<BurnRecord> written;
    for (int i = 0; i < 4; ++i) {
        BurnRecord r;
        r.id = BurnRecord::newId();
        r.station = QStringLiteral("line-a");
        r.variant = QStringLiteral("multi");
        r.port = i % 2;
        r.portPath = QStringLiteral("usb1-port%1").arg(i + 1);
        r.deviceId = QStringLiteral("dev-%1").arg(i);
        r.package = QStringLiteral("fw_demo.zip");
        r.packageSha256 = QString(64, QLatin1Char('b'));
        r.planCommands = 14;
        // Written in an order other than their end times.
        r.startedAt = t0.addSecs(100 * (3 - i));
        r.endedAt = r.startedAt.addMSecs(40125);
        r.success = i != 2;
        r.failStep = r.success ? -1 : 7;
        r.failText = r.success ? QString() : QStringLiteral("[T 0][06:00:40]: failed");
        r.logLines = {QStringLiteral("line %1").arg(i), QStringLiteral("second")};
        if (i != 3) // the last one has no steps at all
            r.steps = {
                {2, r.startedAt}, {4, r.startedAt.addMSecs(5)}, {r.success ? 11 : 12, r.endedAt}};
        written << r;
    }
    {
        RecordStore store;
        ASSERT_TRUE(store.open(path)) << store.errorText().toStdString();
        for (const BurnRecord &r : written)
            ASSERT_TRUE(store.write({r}, false)) << store.errorText().toStdString();
    }
    // One more step of the first record, after the rows of the others.
    const BurnStep late{3, written[0].startedAt.addMSecs(1)};
    written[0].steps.append(late);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "raw");
        db.setDatabaseName(path);
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        ASSERT_TRUE(q.prepare("INSERT INTO steps (burn_id, status, entered_at) VALUES (?, ?, ?)"));
        q.addBindValue(written[0].id);
        q.addBindValue(late.status);
        q.addBindValue(BurnRecord::isoTime(late.enteredAt));
        ASSERT_TRUE(q.exec());
    }
    QSqlDatabase::removeDatabase("raw");

    const auto expected = [&](const QVector<int> &order) {
        QByteArray text;
        for (int i : order)
            text += QJsonDocument(written[i].toJson(true)).toJson(QJsonDocument::Compact) + '\n';
        return text;
    };
    const auto run = [&](const QStringList &args, int *rc) {
        QProcess p;
        p.start(CliStation::cliProgram(), QStringList{"records", "--station", dir.path()} + args);
        EXPECT_TRUE(p.waitForFinished(60000));
        *rc = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        return p.readAllStandardOutput();
    };
    int rc = -1;
    EXPECT_EQ(run({"--json"}, &rc), expected({3, 2, 1, 0}));
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(run({"--json", "--port", "0"}, &rc), expected({2, 0}));
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(run({"--json", "--result", "failure"}, &rc), expected({2}));
    EXPECT_EQ(rc, 0);

    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "raw");
        db.setDatabaseName(path);
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        ASSERT_TRUE(q.exec("ALTER TABLE steps RENAME TO steps_gone"));
    }
    QSqlDatabase::removeDatabase("raw");
    EXPECT_EQ(run({"--json"}, &rc), QByteArray());
    EXPECT_EQ(rc, 2);
    // The table, which does not read the steps, still lists them.
    EXPECT_EQ(run({}, &rc).count('\n'), 5);
    EXPECT_EQ(rc, 0);
}

// Root runs a burn (Start rescans through the device-console tool) and
// imports the package (7z) in a station folder that belongs to the operator,
// who planted a devcon, a 7z and a driver package there: none of them runs or
// is named, the system's 7z unpacks, and the burn succeeds.
TEST(Cli, RootRunsNothingTheOperatorPlantedInTheStationFolder) {
    if (::geteuid() != 0) GTEST_SKIP() << "acts as root (scripts/test runs as root)";
    CliStation s("line-a");
    ASSERT_TRUE(s.error().isEmpty()) << s.error().toStdString();
    const QString operatorId = QStringLiteral("4242");
    // The folder is the operator's; the operator plants the files.
    ASSERT_EQ(QProcess::execute("chown", {"-R", operatorId + ":" + operatorId, s.dir()}), 0);
    // Each notes who ran it; the archiver then unpacks as the real one would,
    // so nothing shows but the note.
    const QString plant = QStringLiteral(
        "set -e\n"
        "printf '#!/bin/sh\\necho \"devcon $(id -u)\" >>\"%s/planted-ran\"\\n' \"$PWD\" >devcon\n"
        "printf '#!/bin/sh\\necho \"7z $(id -u)\" >>\"%s/planted-ran\"\\nexec /usr/bin/7z "
        "\"$@\"\\n' "
        "\"$PWD\" >7z\n"
        "chmod 755 devcon 7z\n"
        "mkdir -p VyrtekusbBurningdriver/linux\n"
        "echo 'RUN+=\"/bin/sh -c id\"' >VyrtekusbBurningdriver/linux/Skelmar_Device.rules\n");
    QProcess planter;
    planter.setWorkingDirectory(s.dir());
    planter.start("setpriv", {"--reuid=" + operatorId, "--regid=" + operatorId, "--clear-groups",
                              "sh", "-c", plant});
    ASSERT_TRUE(planter.waitForFinished(10000));
    ASSERT_EQ(planter.exitCode(), 0) << planter.readAllStandardError().toStdString();
    ASSERT_TRUE(QFileInfo(s.dir() + "/devcon").isExecutable());

    ASSERT_TRUE(s.startLine());
    s.startCli(burnArgs(s, 2));
    ASSERT_TRUE(s.cli().waitForFinished(180000)) << s.outputLines().join('\n').toStdString();
    const QString stderrText = QString::fromLocal8Bit(s.cli().readAllStandardError());
    QFile ran(s.dir() + "/planted-ran");
    ASSERT_FALSE(ran.exists()) << (ran.open(QIODevice::ReadOnly) ? ran.readAll().toStdString()
                                                                 : std::string());
    EXPECT_EQ(s.cli().exitCode(), 0) << stderrText.toStdString();
    EXPECT_EQ(count(s, "result"), 2) << s.outputLines().join('\n').toStdString();
    EXPECT_FALSE(stderrText.contains(s.dir() + "/devcon")) << stderrText.toStdString();
}
