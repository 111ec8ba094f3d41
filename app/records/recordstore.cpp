#include "recordstore.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <algorithm>
#include <atomic>

#include "recordsummary.h"

namespace {

std::atomic<int> gConnectionCounter{0};

// Each step takes the schema from version i to i + 1 (index i).
const char *const kMigrations[][12] = {
    // 0 -> 1
    {"CREATE TABLE burns ("
     " id TEXT PRIMARY KEY NOT NULL,"
     " station TEXT NOT NULL,"
     " variant TEXT NOT NULL,"
     " port INTEGER NOT NULL,"
     " port_path TEXT NOT NULL,"
     " device_id TEXT NOT NULL,"
     " package TEXT NOT NULL,"
     " package_sha256 TEXT NOT NULL,"
     " plan_commands INTEGER NOT NULL,"
     " started_at TEXT NOT NULL,"
     " ended_at TEXT NOT NULL,"
     " result TEXT NOT NULL CHECK (result IN ('success', 'failure')),"
     " fail_step INTEGER,"
     " fail_text TEXT,"
     " log_lines TEXT NOT NULL)",
     "CREATE TABLE steps ("
     " burn_id TEXT NOT NULL REFERENCES burns(id),"
     " status INTEGER NOT NULL,"
     " entered_at TEXT NOT NULL)",
     "CREATE INDEX steps_burn ON steps(burn_id)", "CREATE INDEX burns_ended ON burns(ended_at)",
     "CREATE INDEX burns_result_step ON burns(result, fail_step)",
     "CREATE INDEX burns_port_result ON burns(port, result)",
     // Records committed here but not yet on the line's server.
     "CREATE TABLE outbox (burn_id TEXT PRIMARY KEY NOT NULL REFERENCES burns(id))", nullptr},
    // 1 -> 2: a record is written when its burn starts ("running") and may
    // end "interrupted"; SQLite changes a CHECK only by copying the table.
    // An outbox entry carries the sequence number of its last queuing, so a
    // record updated while it was being forwarded is forwarded again.
    {"CREATE TABLE burns_v2 ("
     " id TEXT PRIMARY KEY NOT NULL,"
     " station TEXT NOT NULL,"
     " variant TEXT NOT NULL,"
     " port INTEGER NOT NULL,"
     " port_path TEXT NOT NULL,"
     " device_id TEXT NOT NULL,"
     " package TEXT NOT NULL,"
     " package_sha256 TEXT NOT NULL,"
     " plan_commands INTEGER NOT NULL,"
     " started_at TEXT NOT NULL,"
     " ended_at TEXT NOT NULL,"
     " result TEXT NOT NULL CHECK (result IN ('success', 'failure', 'running', 'interrupted')),"
     " fail_step INTEGER,"
     " fail_text TEXT,"
     " log_lines TEXT NOT NULL)",
     "INSERT INTO burns_v2 SELECT * FROM burns", "DROP TABLE burns",
     "ALTER TABLE burns_v2 RENAME TO burns", "CREATE INDEX burns_ended ON burns(ended_at)",
     "CREATE INDEX burns_result_step ON burns(result, fail_step)",
     "CREATE INDEX burns_port_result ON burns(port, result)",
     "ALTER TABLE outbox ADD COLUMN seq INTEGER NOT NULL DEFAULT 0", nullptr},
};
constexpr int kMigrationCount = int(sizeof kMigrations / sizeof kMigrations[0]);
static_assert(kMigrationCount == RecordStore::kSchemaVersion, "one migration per version");

} // namespace

QString RecordStore::pathIn(const QString &stationDir) {
    return QDir(stationDir).filePath(QStringLiteral("records/burns.sqlite"));
}

RecordStore::RecordStore()
    : mName(QStringLiteral("pyrewick-records-%1").arg(gConnectionCounter.fetch_add(1))) {}

RecordStore::~RecordStore() {
    close();
}

bool RecordStore::isOpen() const {
    return QSqlDatabase::contains(mName) && QSqlDatabase::database(mName, false).isOpen();
}

void RecordStore::close() {
    if (!QSqlDatabase::contains(mName)) return;
    {
        QSqlDatabase db = QSqlDatabase::database(mName, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(mName);
}

bool RecordStore::exec(const QString &sql) {
    QSqlQuery q(QSqlDatabase::database(mName, false));
    if (q.exec(sql)) return true;
    mError = q.lastError().text();
    return false;
}

bool RecordStore::open(const QString &path, bool readOnly) {
    close();
    mError.clear();
    mVersion = 0;
    if (!readOnly) {
        const QString dir = QFileInfo(path).absolutePath();
        if (!QDir().mkpath(dir)) {
            mError = QStringLiteral("cannot make the directory %1").arg(dir);
            return false;
        }
    } else if (!QFileInfo(path).isFile()) {
        mError = QStringLiteral("no records at %1").arg(path);
        return false;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), mName);
    if (!db.isValid()) {
        mError = QStringLiteral("the Qt SQLite driver (QSQLITE) is not installed");
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(mName);
        return false;
    }
    db.setDatabaseName(path);
    if (readOnly) db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
    if (!db.open()) {
        mError = db.lastError().text();
        db = QSqlDatabase();
        close();
        return false;
    }
    // Readers and the writer of other connections wait for each other a while
    // instead of failing at once.
    bool ok = exec(QStringLiteral("PRAGMA busy_timeout = 5000"));
    if (ok && !readOnly) {
        // WAL: readers never block the writer. FULL: a commit is on the disk
        // (the WAL synced) before it returns, so a record survives a power cut.
        QSqlQuery q(db);
        ok = q.exec(QStringLiteral("PRAGMA journal_mode = WAL")) && q.next() &&
             q.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) == 0;
        if (!ok && mError.isEmpty())
            mError =
                QStringLiteral("the store cannot use a WAL journal: %1").arg(q.lastError().text());
        ok = ok && exec(QStringLiteral("PRAGMA synchronous = FULL"));
    }
    if (ok) {
        QSqlQuery q(db);
        ok = q.exec(QStringLiteral("PRAGMA user_version")) && q.next();
        if (ok)
            mVersion = q.value(0).toInt();
        else
            mError = q.lastError().text();
    }
    // Foreign keys are enforced only after the migrations: one of them
    // replaces the table the others refer to.
    if (ok && !readOnly) ok = createOrMigrate() && exec(QStringLiteral("PRAGMA foreign_keys = ON"));
    if (ok && readOnly && mVersion == 0) {
        mError = QStringLiteral("%1 holds no burn records").arg(path);
        ok = false;
    }
    if (!ok) {
        db = QSqlDatabase();
        close();
    }
    return ok;
}

bool RecordStore::createOrMigrate() {
    if (mVersion > kSchemaVersion) {
        mError = QStringLiteral("the store has schema %1, newer than this release's %2")
                     .arg(mVersion)
                     .arg(kSchemaVersion);
        return false;
    }
    QSqlDatabase db = QSqlDatabase::database(mName, false);
    while (mVersion < kSchemaVersion) {
        // One transaction per step: a step is either wholly there or not.
        if (!db.transaction()) {
            mError = db.lastError().text();
            return false;
        }
        bool ok = true;
        for (const char *const *sql = kMigrations[mVersion]; ok && *sql; ++sql)
            ok = exec(QString::fromLatin1(*sql));
        ok = ok && exec(QStringLiteral("PRAGMA user_version = %1").arg(mVersion + 1));
        if (!ok || !db.commit()) {
            if (ok) mError = db.lastError().text();
            db.rollback();
            return false;
        }
        ++mVersion;
    }
    return true;
}

bool RecordStore::write(const QVector<BurnRecord> &records, bool outbox) {
    if (!isOpen()) {
        mError = QStringLiteral("the store is not open");
        return false;
    }
    QSqlDatabase db = QSqlDatabase::database(mName, false);
    if (!db.transaction()) {
        mError = db.lastError().text();
        return false;
    }
    QSqlQuery burn(db), step(db), queued(db), clear(db), last(db);
    const QStringList columns = BurnRecord::columnNames();
    const QStringList marks(columns.size(), QStringLiteral("?"));
    QStringList updates;
    for (const QString &c : columns.mid(1))
        updates << c + QStringLiteral(" = excluded.") + c;
    // A record is written again as its burn goes on: the row is updated and
    // its steps written afresh, as long as it is "running". A record that has
    // its result is never written over: such a write is refused whole.
    bool ok =
        burn.prepare(QStringLiteral("INSERT INTO burns (%1) VALUES (%2) ON CONFLICT (id) "
                                    "DO UPDATE SET %3 WHERE burns.result = 'running'")
                         .arg(columns.join(QStringLiteral(", ")), marks.join(QStringLiteral(", ")),
                              updates.join(QStringLiteral(", ")))) &&
        step.prepare(
            QStringLiteral("INSERT INTO steps (burn_id, status, entered_at) VALUES (?, ?, ?)")) &&
        clear.prepare(QStringLiteral("DELETE FROM steps WHERE burn_id = ?")) &&
        queued.prepare(QStringLiteral("INSERT INTO outbox (burn_id, seq) VALUES (?, ?) "
                                      "ON CONFLICT (burn_id) DO UPDATE SET seq = excluded.seq"));
    QSqlQuery *failed = ok ? nullptr : &burn;
    qint64 seq = 0;
    if (ok && outbox) {
        ok = last.exec(QStringLiteral("SELECT COALESCE(MAX(seq), 0) FROM outbox")) && last.next();
        if (ok) seq = last.value(0).toLongLong();
        if (!ok) failed = &last;
    }
    QString refused;
    for (const BurnRecord &r : records) {
        if (!ok) break;
        const QVariantList values = r.columnValues();
        for (int i = 0; i < values.size(); ++i)
            burn.bindValue(i, values[i]);
        if (!burn.exec()) {
            ok = false;
            failed = &burn;
            break;
        }
        if (burn.numRowsAffected() != 1) {
            ok = false;
            refused = QStringLiteral("the record %1 is stored with its result already").arg(r.id);
            break;
        }
        clear.bindValue(0, r.id);
        if (!clear.exec()) {
            ok = false;
            failed = &clear;
            break;
        }
        for (const BurnStep &s : r.steps) {
            step.bindValue(0, r.id);
            step.bindValue(1, s.status);
            step.bindValue(2, BurnRecord::isoTime(s.enteredAt));
            if (!step.exec()) {
                ok = false;
                failed = &step;
                break;
            }
        }
        if (ok && outbox) {
            queued.bindValue(0, r.id);
            queued.bindValue(1, ++seq);
            if (!queued.exec()) {
                ok = false;
                failed = &queued;
            }
        }
    }
    if (ok && db.commit()) return true;
    mError = !refused.isEmpty() ? refused
             : failed           ? failed->lastError().text()
                                : db.lastError().text();
    burn.finish();
    step.finish();
    queued.finish();
    clear.finish();
    last.finish();
    db.rollback();
    return false;
}

bool RecordStore::interruptRunning(bool outbox, QStringList *idsOut) {
    if (!isOpen()) {
        mError = QStringLiteral("the store is not open");
        return false;
    }
    QSqlDatabase db = QSqlDatabase::database(mName, false);
    if (!db.transaction()) {
        mError = db.lastError().text();
        return false;
    }
    QStringList ids;
    QSqlQuery q(db);
    bool ok =
        q.exec(QStringLiteral("SELECT id FROM burns WHERE result = 'running' ORDER BY rowid"));
    while (ok && q.next())
        ids << q.value(0).toString();
    qint64 seq = 0;
    if (ok && outbox && !ids.isEmpty()) {
        ok = q.exec(QStringLiteral("SELECT COALESCE(MAX(seq), 0) FROM outbox")) && q.next();
        if (ok) seq = q.value(0).toLongLong();
    }
    QSqlQuery *failed = &q;
    // The row keeps what the burn last wrote: its steps, the plan step it was
    // at and its last log line.
    QSqlQuery mark(db), queued(db);
    if (ok) {
        failed = &mark;
        ok = mark.prepare(QStringLiteral("UPDATE burns SET result = 'interrupted' WHERE id = ?"));
    }
    if (ok) {
        failed = &queued;
        ok = queued.prepare(
            QStringLiteral("INSERT INTO outbox (burn_id, seq) VALUES (?, ?) "
                           "ON CONFLICT (burn_id) DO UPDATE SET seq = excluded.seq"));
    }
    for (const QString &id : ids) {
        if (!ok) break;
        mark.bindValue(0, id);
        failed = &mark;
        ok = mark.exec();
        if (ok && outbox) {
            queued.bindValue(0, id);
            queued.bindValue(1, ++seq);
            failed = &queued;
            ok = queued.exec();
        }
    }
    if (ok && db.commit()) {
        if (idsOut) *idsOut = ids;
        return true;
    }
    mError = ok ? db.lastError().text() : failed->lastError().text();
    q.finish();
    mark.finish();
    queued.finish();
    db.rollback();
    return false;
}

QVector<BurnRecord> RecordStore::select(const QString &where, const QVariantList &values,
                                        bool withLog, const QString &order) {
    QVector<BurnRecord> out;
    QSqlDatabase db = QSqlDatabase::database(mName, false);
    QSqlQuery q(db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT %1 FROM burns%2 %3")
                  .arg(BurnRecord::columnNames(withLog).join(QStringLiteral(", ")), where, order));
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values[i]);
    if (!q.exec()) {
        mError = q.lastError().text();
        return out;
    }
    while (q.next()) {
        BurnRecord r;
        r.id = q.value(0).toString();
        r.station = q.value(1).toString();
        r.variant = q.value(2).toString();
        r.port = q.value(3).toInt();
        r.portPath = q.value(4).toString();
        r.deviceId = q.value(5).toString();
        r.package = q.value(6).toString();
        r.packageSha256 = q.value(7).toString();
        r.planCommands = q.value(8).toInt();
        r.startedAt = BurnRecord::fromIsoTime(q.value(9).toString());
        r.endedAt = BurnRecord::fromIsoTime(q.value(10).toString());
        r.setResult(q.value(11).toString());
        r.failStep = q.value(12).isNull() ? -1 : q.value(12).toInt();
        r.failText = q.value(13).toString();
        if (withLog) {
            const QString log = q.value(14).toString();
            if (!log.isEmpty()) r.logLines = log.split(QLatin1Char('\n'));
        }
        out.append(r);
    }
    if (withLog && !out.isEmpty()) {
        // The steps of every selected record in one query (the same
        // selection as a subquery), each record's in the order written.
        QHash<QString, int> index;
        index.reserve(out.size());
        for (int i = 0; i < out.size(); ++i)
            index.insert(out[i].id, i);
        QSqlQuery s(db);
        s.setForwardOnly(true);
        s.prepare(QStringLiteral("SELECT burn_id, status, entered_at FROM steps WHERE burn_id IN "
                                 "(SELECT id FROM burns%1 %2) ORDER BY burn_id, rowid")
                      .arg(where, order));
        for (int i = 0; i < values.size(); ++i)
            s.bindValue(i, values[i]);
        // A record without its steps would be printed or forwarded as if it
        // were whole: a failed read of the steps fails the whole read.
        if (!s.exec()) {
            mError = s.lastError().text();
            return {};
        }
        while (s.next()) {
            const auto it = index.constFind(s.value(0).toString());
            // A record committed between the two reads can match the
            // subquery without being in the list: its steps are not wanted.
            if (it == index.constEnd()) continue;
            out[*it].steps.append(
                {s.value(1).toInt(), BurnRecord::fromIsoTime(s.value(2).toString())});
        }
    }
    return out;
}

QVector<BurnRecord> RecordStore::records(const Filter &filter) {
    QStringList conditions;
    QVariantList values;
    if (filter.since.isValid()) {
        conditions << QStringLiteral("ended_at >= ?");
        values << BurnRecord::isoTime(filter.since);
    }
    if (filter.port >= 0) {
        conditions << QStringLiteral("port = ?");
        values << filter.port;
    }
    if (filter.result >= 0) {
        static const char *const kResults[] = {"failure", "success", "interrupted", "running"};
        conditions << QStringLiteral("result = ?");
        values << QString::fromLatin1(kResults[std::min(filter.result, 3)]);
    }
    const QString where =
        conditions.isEmpty() ? QString() : QStringLiteral(" WHERE ") + conditions.join(" AND ");
    return select(where, values, filter.withLog, QStringLiteral("ORDER BY ended_at, rowid"));
}

QVector<BurnRecord> RecordStore::outbox(int limit, QVector<OutboxEntry> *entries) {
    QSqlDatabase db = QSqlDatabase::database(mName, false);
    // One read transaction: the rows, their steps and the sequence numbers
    // are of the same moment.
    const bool snapshot = db.transaction();
    QVector<BurnRecord> out =
        select(QStringLiteral(" WHERE id IN (SELECT burn_id FROM outbox)"), {}, true,
               QStringLiteral("ORDER BY rowid LIMIT %1").arg(limit));
    if (entries) {
        entries->clear();
        QHash<QString, qint64> seqOf;
        QSqlQuery q(db);
        q.setForwardOnly(true);
        if (q.exec(QStringLiteral("SELECT burn_id, seq FROM outbox")))
            while (q.next())
                seqOf.insert(q.value(0).toString(), q.value(1).toLongLong());
        for (const BurnRecord &r : out)
            entries->append({r.id, seqOf.value(r.id, -1)});
    }
    if (snapshot) db.commit();
    return out;
}

bool RecordStore::removeFromOutbox(const QVector<OutboxEntry> &entries) {
    QSqlDatabase db = QSqlDatabase::database(mName, false);
    if (!db.transaction()) {
        mError = db.lastError().text();
        return false;
    }
    bool ok = true;
    {
        // An entry queued again since it was read (its record changed) stays.
        QSqlQuery q(db);
        ok = q.prepare(QStringLiteral("DELETE FROM outbox WHERE burn_id = ? AND seq = ?"));
        for (const OutboxEntry &e : entries) {
            if (!ok) break;
            q.bindValue(0, e.id);
            q.bindValue(1, e.seq);
            ok = q.exec();
        }
        if (!ok) mError = q.lastError().text();
    }
    if (ok && db.commit()) return true;
    if (ok) mError = db.lastError().text();
    db.rollback();
    return false;
}

bool RecordStore::removeFromOutbox(const QStringList &ids) {
    QSqlDatabase db = QSqlDatabase::database(mName, false);
    if (!db.transaction()) {
        mError = db.lastError().text();
        return false;
    }
    bool ok = true;
    {
        QSqlQuery q(db);
        ok = q.prepare(QStringLiteral("DELETE FROM outbox WHERE burn_id = ?"));
        for (const QString &id : ids) {
            if (!ok) break;
            q.bindValue(0, id);
            ok = q.exec();
        }
        if (!ok) mError = q.lastError().text();
    }
    if (ok && db.commit()) return true;
    if (ok) mError = db.lastError().text();
    db.rollback();
    return false;
}

int RecordStore::outboxCount() {
    QSqlQuery q(QSqlDatabase::database(mName, false));
    if (q.exec(QStringLiteral("SELECT COUNT(*) FROM outbox")) && q.next())
        return q.value(0).toInt();
    mError = q.lastError().text();
    return -1;
}

bool RecordStore::summary(RecordSummary *out) {
    *out = RecordSummary();
    QSqlQuery q(QSqlDatabase::database(mName, false));
    q.setForwardOnly(true);
    // Each query is answered from an index alone.
    if (!q.exec(QStringLiteral("SELECT port, result, COUNT(*) FROM burns GROUP BY port, result"))) {
        mError = q.lastError().text();
        return false;
    }
    while (q.next()) {
        const int port = q.value(0).toInt();
        const QString result = q.value(1).toString();
        const bool success = result == QLatin1String("success");
        const qint64 n = q.value(2).toLongLong();
        if (result == QLatin1String("interrupted") || result == QLatin1String("running")) {
            (result == QLatin1String("running") ? out->running : out->interrupted) += n;
            continue;
        }
        if (out->ports.isEmpty() || out->ports.last().port != port) out->ports.append({port, 0, 0});
        out->ports.last().total += n;
        if (success) out->ports.last().successes += n;
        out->total += n;
        (success ? out->successes : out->failures) += n;
    }
    if (!q.exec(QStringLiteral("SELECT fail_step, COUNT(*) AS n FROM burns WHERE result = "
                               "'failure' GROUP BY fail_step ORDER BY n DESC, fail_step"))) {
        mError = q.lastError().text();
        return false;
    }
    while (q.next())
        out->pareto.append(
            {q.value(0).isNull() ? -1 : q.value(0).toInt(), q.value(1).toLongLong()});
    if (out->total > 0 &&
        q.exec(QStringLiteral("SELECT MIN(ended_at), MAX(ended_at) FROM burns WHERE result IN "
                              "('success', 'failure')")) &&
        q.next()) {
        out->first = BurnRecord::fromIsoTime(q.value(0).toString());
        out->last = BurnRecord::fromIsoTime(q.value(1).toString());
    }
    return true;
}
