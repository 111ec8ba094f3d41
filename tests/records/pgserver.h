// A throwaway PostgreSQL server for tests: a cluster made by initdb in a
// temporary folder, listening only on a Unix socket in that folder. As root
// the server runs as the user "postgres" (it refuses root).
#ifndef PGSERVER_H
#define PGSERVER_H

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantList>
#include <QVector>

class PgServer {
  public:
    PgServer();
    ~PgServer();

    // initdb worked (else error() says why).
    bool made() const { return mMade; }
    QString error() const { return mError; }

    bool start();
    // immediate: as a crash (no shutdown checkpoint).
    bool stop(bool immediate = false);

    // postgresql://pyrewick@/postgres?host=<socket folder>
    QString url() const;

    // Runs one statement on a connection of its own; the rows, or an empty
    // list and error() on failure.
    QVector<QVariantList> query(const QString &sql);

  private:
    bool run(const QString &tool, const QStringList &args);
    bool runHere(const QString &tool, const QStringList &args);

    QTemporaryDir mDir;
    QString mBin;
    bool mAsPostgres = false;
    bool mMade = false;
    bool mRunning = false;
    QString mError;
};

#endif
