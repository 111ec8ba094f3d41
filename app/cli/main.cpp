// pyrewick-cli: the station's engine without a window, and its burn records.
//
//   pyrewick-cli burn [--station DIR] [--package ZIP] [--media DIR] [--count N]
//                     [--single] [--json]
//   pyrewick-cli records [--station DIR] [--since T] [--port N]
//                        [--result success|failure|interrupted|running] [--csv|--json]
//   pyrewick-cli summary [--station DIR] [--json]
#include <QCommandLineParser>
#include <QCoreApplication>
#include <csignal>
#include <cstdio>

#include "headlessburn.h"
#include "recordqueries.h"
#include "stopsignals.h"

namespace {

const char *const kUsage =
    "usage: pyrewick-cli burn [--station DIR] [--package ZIP] [--media DIR] [--count N]\n"
    "                         [--single] [--json]\n"
    "       pyrewick-cli records [--station DIR] [--since T] [--port N]\n"
    "                            [--result success|failure|interrupted|running] [--csv|--json]\n"
    "       pyrewick-cli summary [--station DIR] [--json]\n";

int usage(const QString &problem) {
    if (!problem.isEmpty()) std::fprintf(stderr, "pyrewick-cli: %s\n", qPrintable(problem));
    std::fputs(kUsage, stderr);
    return 2;
}

// Diagnostics of the engine go to standard error only when asked for: the
// standard output carries the table or the events.
void quietDebug(QtMsgType type, const QMessageLogContext &, const QString &msg) {
    static const bool verbose = qEnvironmentVariableIntValue("PYREWICK_CLI_DEBUG") == 1;
    if (type == QtDebugMsg && !verbose) return;
    std::fprintf(stderr, "%s\n", qPrintable(msg));
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quietDebug);
    QStringList args = app.arguments();
    if (args.size() < 2) return usage(QString());
    const QString command = args.takeAt(1);

    QCommandLineParser parser;
    const QCommandLineOption station("station", "station directory", "DIR");
    const QCommandLineOption package("package", "upgrade package", "ZIP");
    const QCommandLineOption media("media", "media directory", "DIR");
    const QCommandLineOption count("count", "results to wait for", "N");
    const QCommandLineOption single("single", "single-device build");
    const QCommandLineOption json("json", "JSON Lines");
    const QCommandLineOption csv("csv", "CSV");
    const QCommandLineOption since("since", "ended at or after", "T");
    const QCommandLineOption port("port", "port 0..7", "N");
    const QCommandLineOption result("result", "success, failure, interrupted or running", "R");
    parser.addOption(station);
    if (command == QLatin1String("burn")) {
        parser.addOptions({package, media, count, single, json});
    } else if (command == QLatin1String("records")) {
        parser.addOptions({since, port, result, csv, json});
    } else if (command == QLatin1String("summary")) {
        parser.addOption(json);
    } else {
        return usage(command == QLatin1String("--help")
                         ? QString()
                         : QStringLiteral("unknown command ") + command);
    }
    if (!parser.parse(args)) return usage(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return usage(QStringLiteral("unexpected ") + parser.positionalArguments().join(' '));

    if (command == QLatin1String("burn")) {
        HeadlessBurn::Options o;
        o.station = parser.value(station);
        o.package = parser.value(package);
        o.media = parser.value(media);
        if (parser.isSet(count)) {
            bool ok = false;
            o.count = parser.value(count).toInt(&ok);
            if (!ok || o.count < 1) return usage(QStringLiteral("--count needs a number above 0"));
        }
        o.single = parser.isSet(single);
        o.json = parser.isSet(json);
        HeadlessBurn burn(o);
        StopSignals stopSignals;
        QObject::connect(&stopSignals, &StopSignals::stopRequested, &burn, [&burn](int number) {
            burn.finish(number == SIGINT ? QStringLiteral("SIGINT") : QStringLiteral("SIGTERM"));
        });
        if (!burn.begin()) return 2;
        app.exec();
        return burn.exitCode();
    }

    RecordQueries::Options o;
    o.station = parser.value(station);
    if (parser.isSet(json)) o.format = RecordQueries::Format::Json;
    if (command == QLatin1String("summary")) return RecordQueries::summary(o);
    if (parser.isSet(json) && parser.isSet(csv)) return usage(QStringLiteral("--csv or --json"));
    if (parser.isSet(csv)) o.format = RecordQueries::Format::Csv;
    if (parser.isSet(since)) {
        o.since = RecordQueries::parseSince(parser.value(since));
        if (!o.since.isValid())
            return usage(QStringLiteral("--since needs a time such as 2026-12-08T06:00:00Z"));
    }
    if (parser.isSet(port)) {
        bool ok = false;
        o.port = parser.value(port).toInt(&ok);
        if (!ok || o.port < 0 || o.port > 7) return usage(QStringLiteral("--port needs 0..7"));
    }
    if (parser.isSet(result)) {
        const QString r = parser.value(result);
        if (r == QLatin1String("success"))
            o.result = 1;
        else if (r == QLatin1String("failure"))
            o.result = 0;
        else if (r == QLatin1String("interrupted"))
            o.result = 2;
        else if (r == QLatin1String("running"))
            o.result = 3;
        else
            return usage(QStringLiteral("--result needs success, failure, interrupted or running"));
    }
    return RecordQueries::list(o);
}
