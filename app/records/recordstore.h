// The station's burn records in SQLite (<station>/records/burns.sqlite):
// tables burns and steps, WAL journal, every commit synced to disk, the
// schema version in PRAGMA user_version so a later release can migrate.
//
// One RecordStore is one connection and belongs to the thread that opened
// it. The recorder thread writes; the forwarder, the records window and the
// command line read through connections of their own.
#ifndef RECORDSTORE_H
#define RECORDSTORE_H

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVector>

#include "burnrecord.h"

struct RecordSummary;

class RecordStore {
  public:
    // The schema this release writes. 1: burns, steps, outbox. 2: results
    // "running" and "interrupted", the outbox's sequence numbers.
    static constexpr int kSchemaVersion = 2;

    // <stationDir>/records/burns.sqlite
    static QString pathIn(const QString &stationDir);

    RecordStore();
    ~RecordStore();
    RecordStore(const RecordStore &) = delete;
    RecordStore &operator=(const RecordStore &) = delete;

    // Opens (read-write: creating the directory, the file and the schema, or
    // migrating an older one). False with errorText() set when it cannot.
    bool open(const QString &path, bool readOnly = false);
    void close();
    bool isOpen() const;
    QString errorText() const { return mError; }
    // The schema version found in the file (0 before open).
    int schemaVersion() const { return mVersion; }

    // Writes the records with their steps in one transaction, committed to
    // disk when it returns true; a record already there (same id) is
    // replaced with its steps. With `outbox` each one is also queued (again)
    // for forwarding to the line's server.
    bool write(const QVector<BurnRecord> &records, bool outbox);

    // Every "running" record becomes "interrupted" (its burn was cut short by
    // the end of the run that wrote it) and, with `outbox`, is queued for
    // forwarding, in one transaction. Their ids go to *ids. False when it
    // cannot be done (nothing changed then).
    bool interruptRunning(bool outbox, QStringList *ids = nullptr);

    struct Filter {
        QDateTime since; // ended at or after; invalid: no limit
        int port = -1;   // -1: every port
        int result = -1; // -1 any, 0 failure, 1 success, 2 interrupted, 3 running
        bool withLog = false;
    };
    // Records by end time, oldest first (steps and log only withLog).
    QVector<BurnRecord> records(const Filter &filter);

    struct OutboxEntry {
        QString id;
        qint64 seq = 0; // which queuing of the record was read
    };
    // Queued for forwarding, oldest first, with steps and log; `entries`
    // receives what removeFromOutbox() needs for them.
    QVector<BurnRecord> outbox(int limit, QVector<OutboxEntry> *entries = nullptr);
    // Forwarded: their outbox entries go, in one transaction, unless a record
    // was queued again since it was read.
    bool removeFromOutbox(const QVector<OutboxEntry> &entries);
    // Removes the entries whatever their sequence.
    bool removeFromOutbox(const QStringList &ids);
    int outboxCount();

    bool summary(RecordSummary *out);

  private:
    bool exec(const QString &sql);
    bool createOrMigrate();
    QVector<BurnRecord> select(const QString &where, const QVariantList &values, bool withLog,
                               const QString &order);

    QString mName; // connection name
    QString mError;
    int mVersion = 0;
};

#endif
