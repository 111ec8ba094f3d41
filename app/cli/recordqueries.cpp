#include "recordqueries.h"

#include <QDir>
#include <QJsonDocument>
#include <QStringList>
#include <cstdio>

#include "recordcsv.h"
#include "recordstore.h"
#include "recordsummary.h"

namespace RecordQueries {

namespace {

bool openStore(RecordStore &store, const Options &options) {
    const QString dir = options.station.isEmpty() ? QDir::currentPath() : options.station;
    if (store.open(RecordStore::pathIn(dir), true)) return true;
    std::fprintf(stderr, "pyrewick-cli: %s\n", qPrintable(store.errorText()));
    return false;
}

void print(const QString &text) {
    std::fputs(text.toUtf8().constData(), stdout);
}

} // namespace

QDateTime parseSince(const QString &text) {
    QDateTime t = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!t.isValid()) t = QDateTime::fromString(text, Qt::ISODate);
    if (!t.isValid()) {
        const QDate d = QDate::fromString(text, Qt::ISODate);
        if (d.isValid()) t = d.startOfDay();
    }
    return t;
}

int list(const Options &options) {
    RecordStore store;
    if (!openStore(store, options)) return 2;
    RecordStore::Filter filter;
    filter.since = options.since;
    filter.port = options.port;
    filter.result = options.result;
    filter.withLog = options.format != Format::Table;
    const QVector<BurnRecord> records = store.records(filter);
    if (!store.errorText().isEmpty()) {
        std::fprintf(stderr, "pyrewick-cli: %s\n", qPrintable(store.errorText()));
        return 2;
    }
    switch (options.format) {
    case Format::Json:
        for (const BurnRecord &r : records)
            print(QString::fromUtf8(QJsonDocument(r.toJson(true)).toJson(QJsonDocument::Compact)) +
                  QLatin1Char('\n'));
        break;
    case Format::Csv:
        print(RecordCsv::header(true));
        for (const BurnRecord &r : records)
            print(RecordCsv::line(r, true));
        break;
    case Format::Table:
        print(QStringLiteral("%1  %2  %3  %4  %5  %6\n")
                  .arg(QStringLiteral("ended_at"), -24)
                  .arg(QStringLiteral("port"), 4)
                  .arg(QStringLiteral("result"), -7)
                  .arg(QStringLiteral("step"), 4)
                  .arg(QStringLiteral("id"), -36)
                  .arg(QStringLiteral("fail_text")));
        for (const BurnRecord &r : records)
            print(QStringLiteral("%1  %2  %3  %4  %5  %6\n")
                      .arg(BurnRecord::isoTime(r.endedAt), -24)
                      .arg(r.port, 4)
                      .arg(r.result(), -7)
                      .arg(r.success ? QStringLiteral("-") : QString::number(r.failStep), 4)
                      .arg(r.id, -36)
                      .arg(r.failText));
        break;
    }
    return 0;
}

int summary(const Options &options) {
    RecordStore store;
    if (!openStore(store, options)) return 2;
    RecordSummary s;
    if (!store.summary(&s)) {
        std::fprintf(stderr, "pyrewick-cli: %s\n", qPrintable(store.errorText()));
        return 2;
    }
    if (options.format == Format::Json)
        print(QString::fromUtf8(s.json()) + QLatin1Char('\n'));
    else
        print(s.text());
    return 0;
}

} // namespace RecordQueries
