#include "clistation.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include "teststation.h"

namespace {

void writeText(const QString &path, const QString &text) {
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) f.write(text.toUtf8());
}

QProcessEnvironment environment(const QString &root, const QStringList &extra) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PYREWICK_SYSROOT", root);
    env.insert("PYREWICK_TIME_SCALE", QString::number(CliStation::timeScale()));
    env.remove("PYREWICK_RECORDS");
    for (const QString &e : extra) {
        const int eq = e.indexOf('=');
        env.insert(e.left(eq), e.mid(eq + 1));
    }
    return env;
}

} // namespace

QString CliStation::cliProgram() {
    return QCoreApplication::applicationDirPath() + "/pyrewick-cli";
}

CliStation::CliStation(const QString &name, const QVector<QPair<int, QString>> &failing,
                       int plugGapMs) {
    const QDir dir(mDir.path());
    // The package: the plan with its loaders and images, the update file and
    // the file the prepare step copies.
    const QString pkg = dir.filePath("package");
    teststation::writePlanFiles(pkg, pkg);
    writeText(pkg + "/config_progress.xml",
              teststation::planText(R"(<command sn="12">copy_media</command>
<command sn="13" cmd="final">format_data(prepare:extra.bin)</command>
)"));
    QProcess zip;
    zip.setWorkingDirectory(pkg);
    zip.start("7z", {"a", "-tzip", "-bso0", "-bsp0", package(), "."});
    if (!zip.waitForFinished(60000) || zip.exitCode() != 0)
        mError = "7z failed: " + QString::fromLocal8Bit(zip.readAllStandardError());
    teststation::writeMediaFiles(media());
    writeText(dir.filePath("configure.ini"), "[General]\nlanuage=en\nstation=" + name + "\n");

    // Eight devices on an 8-port hub, plugged plugGapMs apart; each answers a
    // status request only with a command's result.
    QString ini = "[line]\nroothub = 4 xHCI Host Controller\nhub = 1-1 8\n";
    for (int n = 1; n <= 8; ++n) {
        ini += QString("\n[device.%1]\nport = 1-1.%1\nplug = %2\nrun-delay = 200\nboot = 2000\n"
                       "recovery-boot = 1000\nrecovery-update = 3000\nrecovery-command = 500\n")
                   .arg(n)
                   .arg((n - 1) * plugGapMs);
        for (const auto &f : failing)
            if (f.first == n) ini += "fail-command = " + f.second + "\n";
    }
    writeText(dir.filePath("line.ini"), ini);
}

CliStation::~CliStation() {
    for (QProcess *p : {&mCli, &mSim}) {
        if (p->state() == QProcess::NotRunning) continue;
        p->terminate();
        if (!p->waitForFinished(20000)) {
            p->kill();
            p->waitForFinished(5000);
        }
    }
}

bool CliStation::startLine() {
    mSim.setProcessEnvironment(environment(root(), {}));
    mSim.setProcessChannelMode(QProcess::MergedChannels);
    mSim.start(QCoreApplication::applicationDirPath() + "/vyrsim",
               {"--root", root(), "--scenario", mDir.filePath("line.ini")});
    if (!mSim.waitForStarted(10000)) return false;
    QElapsedTimer t;
    t.start();
    while (!QDir(root() + "/sys/bus/usb/devices").exists()) {
        if (t.elapsed() > 10000 || mSim.state() == QProcess::NotRunning) return false;
        QThread::msleep(20);
    }
    return true;
}

void CliStation::startCli(const QStringList &args, const QStringList &env) {
    mCli.setProcessEnvironment(environment(root(), env));
    mCli.start(cliProgram(), args);
    mCli.waitForStarted(10000);
}

QStringList CliStation::outputLines() {
    // No event loop runs here: give the process object a moment to read.
    if (mCli.state() == QProcess::Running) mCli.waitForReadyRead(10);
    mPending += mCli.readAllStandardOutput();
    int nl;
    while ((nl = mPending.indexOf('\n')) >= 0) {
        mLines << QString::fromUtf8(mPending.left(nl));
        mPending.remove(0, nl + 1);
    }
    return mLines;
}

QByteArray CliStation::runCli(const QStringList &args, int *exitCode) {
    QProcess p;
    p.setProcessEnvironment(environment(root(), {}));
    p.start(cliProgram(), args);
    p.waitForFinished(60000);
    *exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return p.readAllStandardOutput();
}
