#include "recordforwarder.h"

#include <QDebug>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QUrl>
#include <QUrlQuery>
#include <QVariant>
#include <atomic>
#include <chrono>

#include "burnstate.h"
#include "recordstore.h"

namespace {

std::atomic<int> gConnectionCounter{0};

// Taken inside the schema transaction, so stations starting together create
// it one after the other.
constexpr qint64 kSchemaLockKey = 0x70797265; // "pyre"

const char *const kServerSchema[] = {
    "CREATE TABLE IF NOT EXISTS pyrewick_schema (version integer NOT NULL)",
    "CREATE TABLE IF NOT EXISTS burns ("
    " id uuid PRIMARY KEY,"
    " station text NOT NULL,"
    " variant text NOT NULL,"
    " port integer NOT NULL,"
    " port_path text NOT NULL,"
    " device_id text NOT NULL,"
    " package text NOT NULL,"
    " package_sha256 text NOT NULL,"
    " plan_commands integer NOT NULL,"
    " started_at timestamptz NOT NULL,"
    " ended_at timestamptz NOT NULL,"
    " result text NOT NULL CHECK (result IN ('success', 'failure', 'running', 'interrupted')),"
    " fail_step integer,"
    " fail_text text,"
    " log_lines text NOT NULL)",
    "CREATE TABLE IF NOT EXISTS steps ("
    " burn_id uuid NOT NULL REFERENCES burns(id),"
    " status integer NOT NULL,"
    " entered_at timestamptz NOT NULL)",
    "CREATE INDEX IF NOT EXISTS steps_burn ON steps(burn_id)",
    // A server made by an earlier release takes the two new results too. The
    // table's layout is the same, so stations of that release still forward.
    "DO $$ BEGIN"
    " IF NOT EXISTS (SELECT 1 FROM pg_constraint WHERE conrelid = 'burns'::regclass"
    " AND contype = 'c' AND pg_get_constraintdef(oid) LIKE '%interrupted%') THEN"
    " ALTER TABLE burns DROP CONSTRAINT IF EXISTS burns_result_check;"
    " ALTER TABLE burns ADD CONSTRAINT burns_result_check"
    " CHECK (result IN ('success', 'failure', 'running', 'interrupted'));"
    " END IF; END $$",
    "CREATE INDEX IF NOT EXISTS burns_station_ended ON burns(station, ended_at)",
    // Yield of each station in each hour (UTC) its burns ended.
    "CREATE OR REPLACE VIEW yield_by_station_hour AS"
    " SELECT station, date_trunc('hour', ended_at AT TIME ZONE 'UTC') AS hour_utc,"
    " count(*) FILTER (WHERE result IN ('success', 'failure')) AS burns,"
    " count(*) FILTER (WHERE result = 'success') AS successes,"
    " count(*) FILTER (WHERE result = 'failure') AS failures,"
    " round(100.0 * count(*) FILTER (WHERE result = 'success')"
    " / NULLIF(count(*) FILTER (WHERE result IN ('success', 'failure')), 0), 1) AS yield_percent,"
    // Added last: a view that is replaced keeps its earlier columns in order.
    " count(*) FILTER (WHERE result = 'interrupted') AS interrupted"
    " FROM burns GROUP BY 1, 2",
    // Failures by the plan step counted, over every station of the line.
    "CREATE OR REPLACE VIEW failures_by_step AS"
    " SELECT fail_step, count(*) AS failures, count(DISTINCT station) AS stations"
    " FROM burns WHERE result = 'failure' GROUP BY fail_step",
};

// The burns row's parameter for a column: the id and the times arrive as
// texts and are cast to the server's uuid and timestamptz.
QString placeholder(const QString &column) {
    if (column == QLatin1String("id")) return QStringLiteral("CAST(? AS uuid)");
    if (column.endsWith(QLatin1String("_at"))) return QStringLiteral("CAST(? AS timestamptz)");
    return QStringLiteral("?");
}

QString errorOf(const QSqlQuery &q) {
    return q.lastError().text().trimmed();
}

} // namespace

RecordForwarder::Target RecordForwarder::parseUrl(const QString &url) {
    Target t;
    const QUrl u(url, QUrl::StrictMode);
    if (!u.isValid() ||
        (u.scheme() != QLatin1String("postgresql") && u.scheme() != QLatin1String("postgres"))) {
        t.error = QStringLiteral("not a postgresql:// address: %1").arg(url);
        return t;
    }
    t.host = u.host(QUrl::FullyDecoded);
    t.port = u.port(-1);
    t.user = u.userName(QUrl::FullyDecoded);
    t.password = u.password(QUrl::FullyDecoded);
    QString path = u.path(QUrl::FullyDecoded);
    if (path.startsWith(QLatin1Char('/'))) path.remove(0, 1);
    t.database = path;
    QStringList options;
    const QUrlQuery query(u);
    for (const auto &item : query.queryItems(QUrl::FullyDecoded)) {
        if (item.first == QLatin1String("host"))
            t.host = item.second;
        else if (item.first == QLatin1String("port"))
            t.port = item.second.toInt();
        else if (item.first == QLatin1String("dbname"))
            t.database = item.second;
        else if (item.first == QLatin1String("user"))
            t.user = item.second;
        else if (item.first == QLatin1String("password"))
            t.password = item.second;
        else
            options << item.first + QLatin1Char('=') + item.second;
    }
    // A server that does not answer must not hold a forward for minutes.
    if (!query.hasQueryItem(QStringLiteral("connect_timeout")))
        options << QStringLiteral("connect_timeout=5");
    t.options = options.join(QLatin1Char(';'));
    QUrl shown = u;
    shown.setPassword(QString());
    t.shown = shown.toString();
    t.valid = true;
    return t;
}

RecordForwarder::RecordForwarder(const QString &storePath, const QString &url, int retryMs)
    : mStorePath(storePath), mTarget(parseUrl(url)), mRetryMs(retryMs) {
    mThread = std::thread([this] { run(); });
}

RecordForwarder::~RecordForwarder() {
    {
        std::lock_guard<std::mutex> lock(mLock);
        mStopping = true;
    }
    mWake.notify_all();
    mThread.join();
}

void RecordForwarder::wake() {
    {
        std::lock_guard<std::mutex> lock(mLock);
        ++mRequested;
    }
    mWake.notify_all();
}

bool RecordForwarder::drain(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mLock);
    const uint64_t want = ++mRequested;
    mWake.notify_all();
    return mDone.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [&] { return mEmptyAt >= want; });
}

int RecordForwarder::forwarded() const {
    std::lock_guard<std::mutex> lock(mLock);
    return mForwarded;
}

void RecordForwarder::say(const QString &text) {
    qWarning().noquote() << text;
    appendMainLogLine(text);
}

void RecordForwarder::run() {
    if (!mTarget.valid) {
        say(QStringLiteral("burn records: not forwarded: %1").arg(mTarget.error));
        return;
    }
    const QString name = QStringLiteral("pyrewick-forward-%1").arg(gConnectionCounter.fetch_add(1));
    RecordStore store;
    bool schemaReady = false;
    bool down = false; // the panel was told the server cannot be reached
    bool retry = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        db.setHostName(mTarget.host);
        if (mTarget.port > 0) db.setPort(mTarget.port);
        db.setDatabaseName(mTarget.database);
        db.setUserName(mTarget.user);
        db.setPassword(mTarget.password);
        db.setConnectOptions(mTarget.options);
    }

    auto failed = [&](const QString &why) {
        QSqlDatabase::database(name, false).close();
        schemaReady = false;
        retry = true;
        if (!down) {
            say(QStringLiteral("burn records: the line server %1 cannot be reached (%2); records "
                               "wait in the station's store and go out when it is back")
                    .arg(mTarget.shown, why));
            down = true;
        }
    };

    for (;;) {
        uint64_t seen;
        {
            std::unique_lock<std::mutex> lock(mLock);
            const auto ready = [&] { return mStopping || mRequested != mEmptyAt; };
            if (retry)
                mWake.wait_for(lock, std::chrono::milliseconds(mRetryMs),
                               [&] { return mStopping; });
            else
                mWake.wait(lock, ready);
            if (mStopping) break;
            seen = mRequested;
        }
        retry = false;

        if (!store.isOpen() && !store.open(mStorePath)) {
            retry = true;
            continue;
        }
        QVector<RecordStore::OutboxEntry> entries;
        const QVector<BurnRecord> batch = store.outbox(100, &entries);
        if (batch.isEmpty()) {
            {
                std::lock_guard<std::mutex> lock(mLock);
                mEmptyAt = seen;
            }
            mDone.notify_all();
            continue;
        }

        QSqlDatabase db = QSqlDatabase::database(name, false);
        if (!db.isValid()) {
            failed(QStringLiteral("the Qt PostgreSQL driver (QPSQL) is not installed"));
            continue;
        }
        if (!db.isOpen() && !db.open()) {
            failed(db.lastError().text().trimmed());
            continue;
        }
        if (!schemaReady) {
            QSqlQuery q(db);
            bool ok =
                db.transaction() &&
                q.exec(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(kSchemaLockKey));
            for (const char *sql : kServerSchema)
                ok = ok && q.exec(QString::fromLatin1(sql));
            int version = 0;
            if (ok && q.exec(QStringLiteral("SELECT max(version) FROM pyrewick_schema")) &&
                q.next())
                version = q.value(0).toInt();
            if (ok && version == 0)
                ok = q.exec(QStringLiteral("INSERT INTO pyrewick_schema (version) VALUES (%1)")
                                .arg(kServerSchemaVersion));
            const QString error = errorOf(q);
            if (!ok || !db.commit()) {
                db.rollback();
                failed(error.isEmpty() ? db.lastError().text().trimmed() : error);
                continue;
            }
            if (version > kServerSchemaVersion) {
                // A newer release owns the server's tables: leave them alone.
                say(QStringLiteral("burn records: the line server has schema %1, newer than "
                                   "this release's %2; records stay in the station's store")
                        .arg(version)
                        .arg(kServerSchemaVersion));
                db.close();
                retry = true;
                down = true;
                continue;
            }
            schemaReady = true;
        }

        // The whole batch in one transaction: on any error nothing of it is
        // on the server and it is all sent again.
        QSqlQuery burn(db), step(db), clear(db);
        const QStringList columns = BurnRecord::columnNames();
        QStringList marks, updates;
        for (const QString &column : columns)
            marks << placeholder(column);
        for (const QString &column : columns.mid(1))
            updates << column + QStringLiteral(" = EXCLUDED.") + column;
        // A record is new on the server, or replaces the server's copy while
        // that one is still "running" (the burn went on, or was found
        // interrupted, after it was forwarded). A copy with a result is never
        // replaced: a repeated forward changes nothing. RETURNING tells which
        // happened (no row: nothing).
        bool ok =
            db.transaction() &&
            burn.prepare(
                QStringLiteral("INSERT INTO burns (%1) VALUES (%2) "
                               "ON CONFLICT (id) DO UPDATE SET %3 WHERE burns.result = 'running' "
                               "RETURNING (xmax = 0)")
                    .arg(columns.join(QStringLiteral(", ")), marks.join(QStringLiteral(", ")),
                         updates.join(QStringLiteral(", ")))) &&
            step.prepare(QStringLiteral("INSERT INTO steps (burn_id, status, entered_at) VALUES "
                                        "(CAST(? AS uuid), ?, CAST(? AS timestamptz))")) &&
            clear.prepare(QStringLiteral("DELETE FROM steps WHERE burn_id = CAST(? AS uuid)"));
        QString error =
            ok ? QString() : (errorOf(burn).isEmpty() ? db.lastError().text() : errorOf(burn));
        int inserted = 0;
        for (const BurnRecord &r : batch) {
            if (!ok) break;
            const QVariantList values = r.columnValues();
            for (int i = 0; i < values.size(); ++i)
                burn.bindValue(i, values[i]);
            if (!burn.exec()) {
                ok = false;
                error = errorOf(burn);
                break;
            }
            // No row: the server's copy has its result already (a repeated
            // forward); its steps came with it.
            if (!burn.next()) continue;
            if (burn.value(0).toBool()) {
                ++inserted;
            } else {
                clear.bindValue(0, r.id);
                if (!clear.exec()) {
                    ok = false;
                    error = errorOf(clear);
                    break;
                }
            }
            for (const BurnStep &s : r.steps) {
                step.bindValue(0, r.id);
                step.bindValue(1, s.status);
                step.bindValue(2, BurnRecord::isoTime(s.enteredAt));
                if (!step.exec()) {
                    ok = false;
                    error = errorOf(step);
                    break;
                }
            }
        }
        if (ok && !db.commit()) {
            ok = false;
            error = db.lastError().text().trimmed();
        }
        if (!ok) {
            burn.finish();
            step.finish();
            clear.finish();
            db.rollback();
            failed(error);
            continue;
        }
        if (down) {
            say(QStringLiteral("burn records: forwarding to the line server %1 again")
                    .arg(mTarget.shown));
            down = false;
        }
        {
            std::lock_guard<std::mutex> lock(mLock);
            mForwarded += inserted;
        }
        // On the server now; should this fail, the next pass sends them again
        // and the server keeps its one copy.
        if (!store.removeFromOutbox(entries)) {
            store.close();
            retry = true;
            continue;
        }
        // More may be waiting: go round at once.
        wake();
    }
    store.close();
    QSqlDatabase::database(name, false).close();
    QSqlDatabase::removeDatabase(name);
}
