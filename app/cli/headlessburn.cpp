#include "headlessburn.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <algorithm>
#include <unistd.h>

#include "buildvariant.h"
#include "burnclock.h"
#include "burnplan.h"
#include "burnrecorder.h"
#include "burnstate.h"
#include "burnthread.h"
#include "logfiles.h"
#include "portrefresh.h"
#include "recordforwarder.h"
#include "settings.h"
#include "tracemoor.h"

namespace {

bool isBurning(int status) {
    return status == PORT_STATUS_START ||
           (status >= PORT_STATUS_LOADING && status <= PORT_STATUS_RECOVERY);
}

QString statusText(const BurnStation::PortView &v) {
    switch (v.status) {
    case PORT_STATUS_NONE:
        if (v.lastResult == PORT_STATUS_SUCCESS) return QStringLiteral("Success (removed)");
        if (v.lastResult == PORT_STATUS_FAILED) return QStringLiteral("Failed (removed)");
        return QStringLiteral("-");
    case PORT_STATUS_CONNECTED:
    case PORT_STATUS_START:
    case PORT_STATUS_WAIT_START:
        return QStringLiteral("Connect");
    case PORT_STATUS_SUCCESS:
        return QStringLiteral("Success");
    case PORT_STATUS_FAILED:
        return QStringLiteral("Failed");
    default:
        return v.message.isEmpty() ? QStringLiteral("burning") : v.message;
    }
}

// "step k of n" counts from 1; past the last command (the success check)
// it stays at n.
int shownStep(int index, int commands) {
    return std::max(1, std::min(index + 1, commands));
}

QString now() {
    return QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss"));
}

} // namespace

HeadlessBurn::HeadlessBurn(Options options, QObject *parent)
    : QObject(parent), mOptions(std::move(options)) {
    mTerminal = !mOptions.json && ::isatty(STDOUT_FILENO) == 1;
}

HeadlessBurn::~HeadlessBurn() = default;

bool HeadlessBurn::begin() {
    const QString station = mOptions.station.isEmpty() ? QDir::currentPath() : mOptions.station;
    if (!QDir(station).exists() || !QDir::setCurrent(station)) {
        std::fprintf(stderr, "pyrewick-cli: no station directory %s\n", qPrintable(station));
        return false;
    }
    setBuildVariant(mOptions.single ? BuildVariant::SingleDevice : BuildVariant::MultiPort);

    // The station's files, as the window keeps them: the USB debug log of
    // this run, the port matches, the records.
    // The panel of a run that died, from its journal; then this run's own.
    const LogJournal::RunStart logs = LogJournal::startRun(mJournal, QDateTime::currentDateTime());
    mPanelLimit = Settings::panelLines();
    for (const QString &name : logs.recovered) {
        panelLine(QStringLiteral("recovered the log of a run that ended without saving it to ") +
                  name);
        event(QStringLiteral("recovered log %1").arg(name),
              QJsonObject{{"event", "recovered"}, {"log", name}});
    }
    for (const QString &name : logs.unreadable)
        panelLine(QStringLiteral("the journal of an earlier run could not be recovered: ") + name);
    mStation = std::make_unique<BurnStation>(BurnStation::PortMatches::StationFile);
    BurnRecorder *recorder = mStation->keepRecords(QDir::currentPath());
    recorder->setObserver([this](const BurnRecord &record, bool stored) {
        // On the recorder's thread: the result is reported on this one.
        QMetaObject::invokeMethod(
            this, [this, record, stored] { onResult(record, stored); }, Qt::QueuedConnection);
    });

    if (!mOptions.package.isEmpty()) {
        const QString zip = QFileInfo(mOptions.package).absoluteFilePath();
        panelLine(QStringLiteral("-----importUpgradeFile-----filename") + zip);
        const BurnStation::PackageImport result = mStation->importPackage(zip);
        if (result != BurnStation::PackageImport::Imported) {
            QString why;
            switch (result) {
            case BurnStation::PackageImport::TimedOut:
                why = QStringLiteral("unpacking did not finish in time");
                break;
            case BurnStation::PackageImport::NoPlan:
                why = QStringLiteral("it holds no %1").arg(QLatin1String(BurnPlan::DEFAULT_PATH));
                break;
            case BurnStation::PackageImport::TmpIsLink:
                why = QStringLiteral("tmp is a symbolic link");
                break;
            case BurnStation::PackageImport::Burning:
                why = QStringLiteral("a burn is running");
                break;
            case BurnStation::PackageImport::Failed:
            case BurnStation::PackageImport::Refused:
            case BurnStation::PackageImport::Imported:
                why = mStation->importDetail();
                break;
            }
            std::fprintf(stderr, "pyrewick-cli: cannot import %s: %s\n", qPrintable(zip),
                         qPrintable(why));
            return false;
        }
    } else if (QFile::exists(QString::fromLatin1(BurnPlan::DEFAULT_PATH))) {
        QString error;
        if (mStation->importPlan(QString::fromLatin1(BurnPlan::DEFAULT_PATH), &error) !=
            BurnStation::PlanImport::Imported) {
            std::fprintf(stderr, "pyrewick-cli: cannot open %s: %s\n", BurnPlan::DEFAULT_PATH,
                         qPrintable(error));
            return false;
        }
    }
    if (!mOptions.media.isEmpty()) {
        const QString media = QFileInfo(mOptions.media).absoluteFilePath();
        mStation->importMedia(media);
        panelLine(QStringLiteral("set upgrade Media File Path: ") + media);
    }
    const auto plan = burnPlan();
    mPlanCommands = plan ? plan->commandCount() : 0;

    mStation->open();
    mStation->resetPortMatches(); // every start begins without port matches
    switch (mStation->start()) {
    case BurnStation::StartRefusal::None:
        break;
    case BurnStation::StartRefusal::NoPlan:
        std::fprintf(stderr,
                     "pyrewick-cli: no burn plan (give --package, or put %s in the "
                     "station)\n",
                     BurnPlan::DEFAULT_PATH);
        return false;
    case BurnStation::StartRefusal::SeveralDevices:
        std::fprintf(stderr, "pyrewick-cli: the single-device build burns one device at a time\n");
        return false;
    case BurnStation::StartRefusal::Importing:
        std::fprintf(stderr, "pyrewick-cli: an upgrade package is still being imported\n");
        return false;
    case BurnStation::StartRefusal::TmpIncomplete:
        std::fprintf(stderr, "pyrewick-cli: the plan lies in tmp, left by an upgrade package "
                             "import that never finished; import the package again (--package)\n");
        return false;
    }
    event(QStringLiteral("start: plan %1 (%2 commands), station %3")
              .arg(mStation->planFile())
              .arg(mPlanCommands)
              .arg(QDir::currentPath()),
          QJsonObject{{"event", "start"},
                      {"plan", mStation->planFile()},
                      {"plan_commands", mPlanCommands},
                      {"station", QDir::currentPath()},
                      {"records", recorder->storePath()}});

    mTimer = new QTimer(this);
    connect(mTimer, &QTimer::timeout, this, &HeadlessBurn::refresh);
    mTimer->start(BurnClock::scaledMs(500));
    refresh();
    return true;
}

void HeadlessBurn::event(const QString &line, const QJsonObject &json) {
    if (mOptions.json) {
        QJsonObject o = json;
        o["time"] = BurnRecord::isoTime(QDateTime::currentDateTimeUtc());
        std::fprintf(stdout, "%s\n", QJsonDocument(o).toJson(QJsonDocument::Compact).constData());
    } else if (!mTerminal) {
        std::fprintf(stdout, "%s %s\n", qPrintable(now()), qPrintable(line));
    }
    std::fflush(stdout);
}

void HeadlessBurn::refresh() {
    if (mFinished) return;
    BurnStation::Painter painter;
    painter.row = [this](int port, const BurnStation::PortView &view) {
        PortRow &row = mRows[port];
        BurnThread *thread = mStation->thread(port);
        const int step = thread && isBurning(view.status) ? thread->currentStep() : -1;
        const QString text = statusText(view);
        if (isBurning(view.status) && !row.burning) {
            row.burning = true;
            row.clock.start();
        }
        if (row.burning) row.elapsedMs = row.clock.elapsed();
        const bool changed = view.status != row.status || step != row.step || text != row.text;
        row.status = view.status;
        row.lastResult = view.lastResult;
        row.step = step;
        row.text = text;
        if (!view.portPath.isEmpty()) row.path = view.portPath;
        if (changed && isBurning(view.status)) {
            QJsonObject o{
                {"event", "step"}, {"port", port}, {"status", view.status}, {"text", text}};
            QString line = QStringLiteral("step port %1: %2").arg(port).arg(text);
            if (step >= 0) {
                o["step"] = step;
                o["of"] = mPlanCommands;
                line += QStringLiteral(" (step %1 of %2)")
                            .arg(shownStep(step, mPlanCommands))
                            .arg(mPlanCommands);
            }
            event(line, o);
        }
        return true;
    };
    painter.log = [this](int, const QString &text) { panelLine(text); };
    painter.assigned = [this](int port, const QString &path) {
        mRows[port].path = path;
        event(QStringLiteral("plug port %1: %2").arg(port).arg(path),
              QJsonObject{{"event", "plug"}, {"port", port}, {"path", path}});
    };
    painter.message = [this](const QString &text) {
        panelLine(text);
        event(QStringLiteral("message: %1").arg(text),
              QJsonObject{{"event", "message"}, {"text", text}});
    };
    mStation->refresh(painter);
    boundPanel();
    mJournal.sync();
    if (mTerminal) drawTable();
}

void HeadlessBurn::panelLine(const QString &text) {
    mPanel << text;
    mJournal.append(text);
}

void HeadlessBurn::boundPanel() {
    if (mPanel.size() <= mPanelLimit) return;
    const QString name = LogFiles::savedLogName(LogFiles::SaveKind::Auto, mStation->packageFile(),
                                                QDateTime::currentDateTime());
    panelLine(name);
    panelLine(BurnStation::statisticsText());
    if (!LogFiles::writeSavedLog(name, mJournal.intact() ? mJournal.text()
                                                         : mPanel.join(QLatin1Char('\n')))) {
        // Kept for the next try, which waits for another tenth of the bound.
        std::fprintf(stderr, "pyrewick-cli: cannot save the log to %s\n", qPrintable(name));
        mPanelLimit += std::max(1, Settings::panelLines() / 10);
        return;
    }
    mPanel.clear();
    mJournal.truncate();
    mPanelLimit = Settings::panelLines();
    panelLine(QStringLiteral("auto save preceding log to ") + name);
}

void HeadlessBurn::onResult(const BurnRecord &record, bool stored) {
    if (mFinished) return;
    ++mResults;
    if (!record.success) ++mFailures;
    PortRow &row = mRows[record.port];
    if (row.burning) row.elapsedMs = row.clock.elapsed();
    row.burning = false;
    QJsonObject o{{"event", "result"},
                  {"port", record.port},
                  {"result", record.result()},
                  {"id", record.id},
                  {"stored", stored},
                  {"path", record.portPath},
                  {"device_id", record.deviceId}};
    QString line =
        QStringLiteral("result port %1: %2 id %3").arg(record.port).arg(record.result(), record.id);
    if (!record.success) {
        o["fail_step"] = record.failStep;
        o["fail_text"] = record.failText;
        line += QStringLiteral(" step %1: %2").arg(record.failStep).arg(record.failText);
    }
    if (!stored) line += QStringLiteral(" (not yet stored)");
    event(line, o);
    if (mOptions.count > 0 && mResults >= mOptions.count)
        finish(QStringLiteral("%1 result(s)").arg(mResults));
}

QString HeadlessBurn::rowText(int port) const {
    const PortRow &row = mRows[port];
    const QString step =
        row.step >= 0
            ? QStringLiteral("%1 of %2").arg(shownStep(row.step, mPlanCommands)).arg(mPlanCommands)
            : QString();
    const QString elapsed =
        row.elapsedMs > 0 ? QString::number(row.elapsedMs / 1000.0, 'f', 1) + QStringLiteral(" s")
                          : QString();
    QString path = row.path;
    if (path.size() > 52) path = QStringLiteral("...") + path.right(49);
    QString text = row.text;
    if (text.size() > 34) text = text.left(31) + QStringLiteral("...");
    return QStringLiteral("%1  %2  %3  %4  %5")
        .arg(port, 4)
        .arg(path, -52)
        .arg(text, -34)
        .arg(step, 8)
        .arg(elapsed, 9);
}

void HeadlessBurn::drawTable() {
    QString out;
    // Back to the table's first line and over it again, in place.
    if (mDrawn) out += QStringLiteral("\x1b[%1F").arg(PORT_COUNT + 2);
    out += QStringLiteral("port  %1  %2  %3  %4\x1b[K\n")
               .arg(QStringLiteral("path"), -52)
               .arg(QStringLiteral("status"), -34)
               .arg(QStringLiteral("step"), 8)
               .arg(QStringLiteral("elapsed"), 9);
    for (int p = 0; p < PORT_COUNT; ++p)
        out += rowText(p) + QStringLiteral("\x1b[K\n");
    out += QStringLiteral("results %1%2  success %3  failure %4\x1b[K\n")
               .arg(mResults)
               .arg(mOptions.count > 0 ? QStringLiteral("/%1").arg(mOptions.count) : QString())
               .arg(mResults - mFailures)
               .arg(mFailures);
    std::fputs(out.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
    mDrawn = true;
}

void HeadlessBurn::finish(const QString &why) {
    if (mFinished || !mStation) return;
    mFinished = true;
    if (mTimer) mTimer->stop();
    bool cut = false; // a burn was still running
    for (int p = 0; p < PORT_COUNT; ++p)
        if (mRows[p].burning || isBurning(gPortInfo[p].status.load())) cut = true;
    // Stop: every thread ends its step; the ports are cleared.
    mStation->stop();
    mStation->drainLogs([this](int, const QString &text) { panelLine(text); });
    if (mTerminal) drawTable();

    // The log panel saved as the window saves it at exit.
    const QString logName = LogFiles::savedLogName(
        LogFiles::SaveKind::Exit, mStation->packageFile(), QDateTime::currentDateTime());
    panelLine(logName);
    panelLine(BurnStation::statisticsText());
    if (LogFiles::writeSavedLog(logName, mJournal.intact() ? mJournal.text()
                                                           : mPanel.join(QLatin1Char('\n'))))
        mJournal.remove();
    else
        std::fprintf(stderr, "pyrewick-cli: cannot save the log to %s\n", qPrintable(logName));

    // Records: everything written, and forwarded if the server answers soon;
    // what is not forwarded waits in the station's store for the next run.
    BurnRecorder *recorder = mStation->recorder();
    recorder->flush(30000);
    const bool forwarded = !recorder->forwarder() || recorder->forwarder()->drain(10000);
    mStation->close();
    vyr_close_logfile();

    // 0 only when every burn succeeded: no failure, and (unless the asked
    // number of results came) no burn cut short by the stop.
    const bool countReached = mOptions.count > 0 && mResults >= mOptions.count;
    mExitCode = (mFailures == 0 && (countReached || !cut)) ? 0 : 1;
    event(QStringLiteral("end (%1): %2 result(s), %3 success, %4 failure; log %5%6; exit %7")
              .arg(why)
              .arg(mResults)
              .arg(mResults - mFailures)
              .arg(mFailures)
              .arg(logName,
                   forwarded ? QString() : QStringLiteral("; records wait for the line server"))
              .arg(mExitCode),
          QJsonObject{{"event", "end"},
                      {"reason", why},
                      {"results", mResults},
                      {"success", mResults - mFailures},
                      {"failure", mFailures},
                      {"log", logName},
                      {"forwarded", forwarded},
                      {"exit", mExitCode}});
    if (mTerminal)
        std::fprintf(stdout, "%s: %d result(s), %d failure(s); log %s\n", qPrintable(why), mResults,
                     mFailures, qPrintable(logName));
    QCoreApplication::exit(mExitCode);
}
