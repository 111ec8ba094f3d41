#include "pgserver.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <atomic>
#include <pwd.h>
#include <thread>
#include <unistd.h>

namespace {
std::atomic<int> gConnections{0};

QString serverBin() {
    const QDir base(QStringLiteral("/usr/lib/postgresql"));
    QStringList versions = base.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    std::sort(versions.begin(), versions.end(),
              [](const QString &a, const QString &b) { return a.toInt() > b.toInt(); });
    for (const QString &v : versions) {
        const QString bin = base.filePath(v + QStringLiteral("/bin"));
        if (QFileInfo(bin + QStringLiteral("/initdb")).isExecutable()) return bin;
    }
    return QString();
}
} // namespace

PgServer::PgServer() {
    mBin = serverBin();
    if (mBin.isEmpty()) {
        mError = QStringLiteral("no PostgreSQL server programs under /usr/lib/postgresql "
                                "(Debian package postgresql)");
        return;
    }
    if (!mDir.isValid()) {
        mError = QStringLiteral("no temporary folder");
        return;
    }
    if (::geteuid() == 0) {
        const passwd *pw = ::getpwnam("postgres");
        if (!pw) {
            mError = QStringLiteral("running as root but there is no user postgres");
            return;
        }
        mAsPostgres = true;
        if (::chown(QFile::encodeName(mDir.path()).constData(), pw->pw_uid, pw->pw_gid) != 0) {
            mError = QStringLiteral("cannot give %1 to postgres").arg(mDir.path());
            return;
        }
    }
    mMade = run(QStringLiteral("initdb"),
                {QStringLiteral("-D"), mDir.filePath(QStringLiteral("db")), QStringLiteral("-A"),
                 QStringLiteral("trust"), QStringLiteral("-U"), QStringLiteral("pyrewick"),
                 QStringLiteral("--no-sync")});
}

PgServer::~PgServer() {
    if (mRunning) stop(true);
}

bool PgServer::run(const QString &tool, const QStringList &args) {
    // QProcess starts a child that shares this process's memory until it
    // execs (vfork semantics); under the thread sanitizer the child's calls
    // land in the starting thread's checker state and leave it ignoring that
    // thread's locks. The tool is started from a thread that ends with it.
    bool ok = false;
    std::thread([&] { ok = runHere(tool, args); }).join();
    return ok;
}

bool PgServer::runHere(const QString &tool, const QStringList &args) {
    QProcess p;
    QString program = mBin + QLatin1Char('/') + tool;
    QStringList all = args;
    if (mAsPostgres) {
        all.prepend(program);
        all = QStringList{QStringLiteral("-u"), QStringLiteral("postgres"), QStringLiteral("--")} +
              all;
        program = QStringLiteral("runuser");
    }
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, all);
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        mError = tool + QStringLiteral(" failed: ") + QString::fromLocal8Bit(p.readAll());
        return false;
    }
    return true;
}

bool PgServer::start() {
    if (!mMade) return false;
    mRunning = run(QStringLiteral("pg_ctl"),
                   {QStringLiteral("-D"), mDir.filePath(QStringLiteral("db")), QStringLiteral("-o"),
                    QStringLiteral("-k %1 -c listen_addresses='' -c fsync=off").arg(mDir.path()),
                    QStringLiteral("-l"), mDir.filePath(QStringLiteral("log")),
                    QStringLiteral("-w"), QStringLiteral("start")});
    return mRunning;
}

bool PgServer::stop(bool immediate) {
    const bool ok =
        run(QStringLiteral("pg_ctl"),
            {QStringLiteral("-D"), mDir.filePath(QStringLiteral("db")), QStringLiteral("-m"),
             immediate ? QStringLiteral("immediate") : QStringLiteral("fast"), QStringLiteral("-w"),
             QStringLiteral("stop")});
    if (ok) mRunning = false;
    return ok;
}

QString PgServer::url() const {
    return QStringLiteral("postgresql://pyrewick@/postgres?host=%1").arg(mDir.path());
}

QVector<QVariantList> PgServer::query(const QString &sql) {
    QVector<QVariantList> rows;
    const QString name = QStringLiteral("pgserver-%1").arg(gConnections.fetch_add(1));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        db.setHostName(mDir.path());
        db.setUserName(QStringLiteral("pyrewick"));
        db.setDatabaseName(QStringLiteral("postgres"));
        if (!db.open()) {
            mError = db.lastError().text();
        } else {
            QSqlQuery q(db);
            if (!q.exec(sql)) {
                mError = q.lastError().text();
            } else {
                while (q.next()) {
                    QVariantList row;
                    for (int i = 0; i < q.record().count(); ++i)
                        row << q.value(i);
                    rows << row;
                }
            }
        }
    }
    QSqlDatabase::removeDatabase(name);
    return rows;
}
