#include "soakrun.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>

#include "buildvariant.h"
#include "burnclock.h"
#include "burnstate.h"
#include "burnstation.h"
#include "burnthread.h"
#include "line.h"
#include "logfiles.h"
#include "teststation.h"

namespace {

constexpr int kSlots = 8;

QByteArray fileBytes(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
// Ports of a second hub whose numbers name no row (8, 9 and 10 end in 8, 9
// and 0): a device that re-enumerates there is never given a row of its own,
// so its burn can only end on the row it started on.
const char *const kComeBackPorts[] = {"1-3.8", "1-3.9", "1-3.10"};

std::string hubPort(int slot) {
    return teststation::hubPort(slot + 1);
}

// The row burning the device on a hub port: the one whose path ends in that
// port (the first device on port 8 takes whichever row is free).
int rowOf(int slot) {
    const QString tail = QStringLiteral("port2(hub)-port%1").arg(slot + 1);
    for (int r = 0; r < PORT_COUNT; ++r)
        if (gPortInfo[r].portPath.get().endsWith(tail)) return r;
    return -1;
}

bool isResult(int status) {
    return status == PORT_STATUS_SUCCESS || status == PORT_STATUS_FAILED;
}

struct Slot {
    enum State { Idle, Burning, Draining } state = Idle;
    int record = -1; // index into the ledger's devices
    int lineId = -1;
    int comeBack = -1; // index into kComeBackPorts held by the device
    int lastStatus = 0;
    bool seenBusy = false; // the row started burning the device
    int holdMs = 0;        // stays this long after its result
    int pullMs = -1;       // pulled this long after its burn started
    bool pulled = false;
    QElapsedTimer since;   // plugged, or (Draining) pulled
    QElapsedTimer burning; // since its row first left status 0
    QElapsedTimer ended;   // since its result
};

} // namespace

void SoakRun::run() {
    QElapsedTimer wall;
    wall.start();
    mLedger = SoakLedger();
    resetBurnState();
    setBuildVariant(BuildVariant::MultiPort);
    const QByteArray oldSysroot = qgetenv("PYREWICK_SYSROOT");

    // The station: a system root for the line, the plan and its images, an
    // upgrade and a media directory.
    QTemporaryDir dir;
    auto line = teststation::makeLine(dir.filePath("root"));
    line->addHub("1-3", 10);
    QDir(dir.path()).mkpath("log");
    teststation::writeMediaFiles(dir.filePath("media"));
    // The station works in its directory (tmp/ and log/ are relative).
    const QString oldCwd = QDir::currentPath();
    QDir::setCurrent(dir.path());
    auto station = std::make_unique<BurnStation>();
    station->importMedia(dir.filePath("media"));

    // The plan comes in an upgrade package. A copy with one byte of its
    // kernel image changed is imported first: it must fail and leave nothing
    // Start would burn.
    teststation::writePlanFiles(dir.filePath("package/fw"), dir.filePath("package/fw"));
    {
        QFile plan(dir.filePath("package/fw/config_progress.xml"));
        if (plan.open(QIODevice::WriteOnly)) plan.write(teststation::samplePlan().toUtf8());
    }
    const QByteArray planAImage = fileBytes(dir.filePath("package/fw/uImage"));
    QProcess zip;
    zip.setWorkingDirectory(dir.filePath("package"));
    zip.start(QStringLiteral("7z"), {"a", "-tzip", "-mx=0", dir.filePath("fw.zip"), "fw"});
    if (!zip.waitForFinished(60000) || zip.exitCode() != 0)
        mLedger.importErrors << QStringLiteral("the package could not be made");
    QByteArray corrupt = fileBytes(dir.filePath("fw.zip"));
    const int imageAt = int(corrupt.indexOf(planAImage.left(64)));
    if (imageAt >= 0) corrupt[imageAt + 1000] = char(corrupt[imageAt + 1000] ^ 0x5a);
    {
        QFile f(dir.filePath("fw_corrupt.zip"));
        if (f.open(QIODevice::WriteOnly)) f.write(corrupt);
    }
    const BurnStation::PackageImport corruptImport =
        station->importPackage(dir.filePath("fw_corrupt.zip"));
    if (imageAt < 0 || corruptImport != BurnStation::PackageImport::Failed)
        mLedger.importErrors
            << QStringLiteral("corrupt package imported: outcome %1").arg(int(corruptImport));
    if (station->start() != BurnStation::StartRefusal::NoPlan)
        mLedger.importErrors << QStringLiteral("Start accepted after the corrupt package");
    station->stop();
    if (station->importPackage(dir.filePath("fw.zip")) != BurnStation::PackageImport::Imported)
        mLedger.importErrors << QStringLiteral("the sound package was not imported");
    // Half-way the plan in tmp/ is replaced by one with another kernel image
    // and recovery command, as an operator editing it would: every burn must
    // end on the plan it started with.
    const int swapAt = mOptions.burns / 2;
    bool swapped = false;
    const QByteArray planBImage = [] {
        QTemporaryDir scratch;
        teststation::writeRandomFile(scratch.filePath("b"), 300000, 33);
        return fileBytes(scratch.filePath("b"));
    }();
    auto checkBytes =
        [&](int lineId, int serial) {
            vyrsim::RomDevice *rom = line->romDevice(lineId);
            vyrsim::RecoveryVolume *recovery = line->recovery(lineId);
            if (!rom || !recovery) return; // pulled meanwhile
            const std::vector<uint8_t> ram = rom->readRam(0x82000000u, size_t(planAImage.size()));
            const QByteArray image(reinterpret_cast<const char *>(ram.data()), int(ram.size()));
            const auto commands = recovery->commands();
            auto sent = [&](const char *c) {
                return std::find(commands.begin(), commands.end(), std::string(c)) !=
                       commands.end();
            };
            ++mLedger.successesChecked;
            const bool a = image == planAImage, b = image == planBImage;
            if (!a && !b)
                mLedger.wrongBytes
                    << QStringLiteral("device %1: kernel image of neither plan").arg(serial);
            else if (sent("reset") != a || sent("shutdown") != b)
                mLedger.wrongBytes
                    << QStringLiteral("device %1: image of plan %2, commands of the other")
                           .arg(serial)
                           .arg(a ? "A" : "B");
        };

    std::mutex madeLock;
    BurnThread::setLogObserver([&](int port, const QString &text) {
        std::lock_guard<std::mutex> lock(madeLock);
        if (port >= 0 && port < kSlots) mLedger.madeLines[size_t(port)] << text;
    });

    auto say = [&](const QString &text) {
        if (!mOptions.verbose) return;
        std::printf("%8.2f %s\n", double(wall.elapsed()) / 1000.0, qPrintable(text));
        std::fflush(stdout);
    };

    QString panel; // the log panel's text, as the window would save it
    auto toPanel = [&](int port, const QString &text) {
        if (!panel.isEmpty()) panel += QLatin1Char('\n');
        panel += text;
        QStringList &lines = port < 0 ? mLedger.mainLines : mLedger.panelLines[size_t(port)];
        lines += text.split(QLatin1Char('\n'));
    };
    BurnStation::Painter painter;
    painter.log = toPanel;
    painter.message = [&](const QString &message) {
        ++mMessages;
        say(QStringLiteral("box \"%1\" with devices: %2")
                .arg(message, currentDevPaths().join(QStringLiteral(", "))));
    };
    auto refreshOnce = [&] {
        QCoreApplication::processEvents(); // device changes
        station->refresh(painter);
    };

    station->open();
    if (station->start() != BurnStation::StartRefusal::None)
        mLedger.importErrors << QStringLiteral("Start refused with the sound package");

    const vyrsim::DeviceSpec base = teststation::deviceSpec();

    // The longest burn the plan allows is some 250 ticks; a device gets more
    // than twice that, plus real time for a slow (sanitized) build.
    const qint64 deviceLimitMs = BurnClock::scaledMs(600000) + 30000;
    const qint64 drainLimitMs = BurnClock::scaledMs(60000) + 10000;

    SoakScenario scenario(mOptions.seed);
    Slot benches[kSlots];
    int comeBackOwner[3] = {-1, -1, -1};
    int plugged = 0;

    for (;;) {
        refreshOnce();
        bool busy = false;
        for (int s = 0; s < kSlots; ++s) {
            Slot &slot = benches[s];
            if (slot.state == Slot::Idle) {
                if (plugged >= mOptions.burns) continue;
                if (plugged >= swapAt && !swapped) {
                    swapped = true;
                    QFile image(QStringLiteral("tmp/fw/uImage_b"));
                    if (image.open(QIODevice::WriteOnly)) image.write(planBImage);
                    image.close();
                    QString planB = teststation::samplePlan();
                    planB.replace(QStringLiteral("path=\"uImage\""),
                                  QStringLiteral("path=\"uImage_b\""));
                    planB.replace(QStringLiteral(">reset<"), QStringLiteral(">shutdown<"));
                    QFile plan(QStringLiteral("tmp/fw/config_progress.xml"));
                    if (plan.open(QIODevice::WriteOnly | QIODevice::Truncate))
                        plan.write(planB.toUtf8());
                    plan.close();
                    station->rereadPlan(); // the watcher would, at its own moment
                    say(QStringLiteral("plan replaced"));
                }
                // The first devices of the run may still be matched to their
                // rows; a device coming back elsewhere is not drawn for them.
                int port = -1;
                if (plugged >= kSlots)
                    for (int k = 0; k < 3 && port < 0; ++k)
                        if (comeBackOwner[k] < 0) port = k;
                SoakDevice dev =
                    scenario.next(base, port >= 0 ? kComeBackPorts[port] : std::string(),
                                  BurnClock::scaledMs(1000));
                DeviceRecord rec;
                rec.serial = ++plugged;
                rec.slot = s;
                rec.fault = dev.fault;
                slot.lineId = line->plug(hubPort(s), dev.devSpec);
                if (slot.lineId < 0) {
                    mLedger.plugErrors << QStringLiteral("device %1 on %2")
                                              .arg(rec.serial)
                                              .arg(QString::fromStdString(hubPort(s)));
                    mLedger.devices.push_back(rec);
                    continue;
                }
                slot.comeBack = -1;
                if (dev.fault == SoakFault::Reenumerate) {
                    slot.comeBack = port;
                    comeBackOwner[port] = s;
                }
                slot.record = int(mLedger.devices.size());
                mLedger.devices.push_back(rec);
                slot.state = Slot::Burning;
                slot.lastStatus = PORT_STATUS_NONE;
                slot.seenBusy = false;
                slot.holdMs = dev.holdMs;
                slot.pullMs = dev.pullMs;
                slot.pulled = false;
                slot.burning.invalidate();
                slot.ended.invalidate();
                slot.since.start();
                say(QStringLiteral("plug %1 %2 %3 %4")
                        .arg(rec.serial)
                        .arg(QString::fromStdString(hubPort(s)))
                        .arg(QLatin1String(faultName(dev.fault)))
                        .arg(QString::fromStdString(dev.detail)));
                busy = true;
                continue;
            }
            busy = true;
            DeviceRecord &rec = mLedger.devices[size_t(slot.record)];
            const int row = rowOf(s);
            const int status = row >= 0 ? gPortInfo[row].status.load() : PORT_STATUS_NONE;
            if (slot.state == Slot::Burning) {
                bool pull = false;
                // A row whose device is already gone passes through its
                // result within a tick, maybe between two looks: its last
                // result, kept until the next device, tells.
                int result = 0;
                if (row >= 0 && isResult(status) && status != slot.lastStatus)
                    result = status;
                else if (row >= 0 && status == PORT_STATUS_NONE && slot.seenBusy &&
                         !slot.ended.isValid() && isResult(gPortInfo[row].lastResult.load()))
                    result = gPortInfo[row].lastResult.load();
                if (result) {
                    ++rec.results;
                    if (result == PORT_STATUS_SUCCESS && !slot.pulled)
                        checkBytes(slot.lineId, rec.serial);
                    rec.row = row;
                    rec.outcome =
                        result == PORT_STATUS_SUCCESS ? Outcome::Success : Outcome::Failure;
                    if (!slot.ended.isValid()) slot.ended.start();
                    say(QStringLiteral("end %1 row %2 %3 progress %4")
                            .arg(rec.serial)
                            .arg(row)
                            .arg(result == PORT_STATUS_SUCCESS ? "success" : "failed")
                            .arg(gPortInfo[row].progress.load()));
                } else if (slot.ended.isValid()) {
                    pull = slot.ended.elapsed() >= slot.holdMs;
                } else if (slot.seenBusy && status == PORT_STATUS_NONE) {
                    // The row let the device go without a result.
                    pull = true;
                    say(QStringLiteral("lost %1 row %2").arg(rec.serial).arg(row));
                } else if (slot.since.elapsed() > deviceLimitMs) {
                    pull = true;
                    say(QStringLiteral("timeout %1 row %2 status %3")
                            .arg(rec.serial)
                            .arg(row)
                            .arg(status));
                } else if (slot.pullMs >= 0 && !slot.pulled && status >= PORT_STATUS_LOADING &&
                           slot.burning.elapsed() >= slot.pullMs) {
                    // Pulled mid-burn (a device not yet burning that goes is
                    // no burn at all): the burn must still end in a result.
                    line->unplug(slot.lineId);
                    slot.pulled = true;
                    say(QStringLiteral("pull %1 row %2 status %3")
                            .arg(rec.serial)
                            .arg(row)
                            .arg(status));
                }
                // From status 2 on the row's last result is this device's.
                if (status >= PORT_STATUS_START && !slot.seenBusy) {
                    slot.seenBusy = true;
                    slot.burning.start();
                }
                slot.lastStatus = status;
                if (pull) {
                    if (!slot.pulled) line->unplug(slot.lineId);
                    if (slot.comeBack >= 0) comeBackOwner[slot.comeBack] = -1;
                    slot.state = Slot::Draining;
                    slot.since.start();
                }
            } else { // Draining: the row must go back to 0 now its device is gone
                if (row >= 0 && isResult(status) && status != slot.lastStatus) ++rec.results;
                slot.lastStatus = status;
                if (status == PORT_STATUS_NONE) {
                    slot.state = Slot::Idle;
                } else if (slot.since.elapsed() > drainLimitMs) {
                    mLedger.portsNotIdle << QStringLiteral("row %1 after device %2: status %3")
                                                .arg(row)
                                                .arg(rec.serial)
                                                .arg(status);
                    slot.state = Slot::Idle;
                }
            }
        }
        if (!busy && plugged >= mOptions.burns) break;
        QThread::msleep(static_cast<unsigned long>(BurnClock::scaledMs(500)));
    }

    // A few more refreshes for the last log lines, then Stop as the operator
    // would, then the window's teardown of the watch thread.
    for (int i = 0; i < 4; ++i) {
        refreshOnce();
        QThread::msleep(static_cast<unsigned long>(BurnClock::scaledMs(500)));
    }
    station->stop();
    for (int p = 0; p < kSlots; ++p) {
        BurnThread *t = station->thread(p);
        if (t && t->isRunning()) mLedger.threadsRunning << QStringLiteral("burn thread %1").arg(p);
        if (gPortInfo[p].status.load() != PORT_STATUS_NONE)
            mLedger.portsNotIdle << QStringLiteral("row %1 after Stop: status %2")
                                        .arg(p)
                                        .arg(gPortInfo[p].status.load());
    }
    if (!station->endWatch(BurnClock::scaledMs(70000) + 10000))
        mLedger.threadsRunning << QStringLiteral("watch thread");
    station->drainLogs(toPanel);

    mLedger.successCount = gSuccessCount.load();
    mLedger.failCount = gFailCount.load();
    for (int j = 0; j < FAIL_STEP_SLOTS; ++j)
        mLedger.failByStep[size_t(j)] = gFailCountByStep[j].load();

    // The panel saved at exit, read back.
    const QString saved = dir.filePath(
        LogFiles::savedLogName(LogFiles::SaveKind::Exit, "soak.zip", QDateTime::currentDateTime()));
    if (LogFiles::writeSavedLog(saved, panel)) {
        QFile f(saved);
        if (f.open(QIODevice::ReadOnly))
            mLedger.savedLines = QString::fromUtf8(f.readAll()).split(QStringLiteral("\r\n"));
    }

    station.reset(); // a watch thread still running is left running, not freed
    BurnThread::setLogObserver({});
    line->stop();
    line.reset();
    if (oldSysroot.isEmpty())
        qunsetenv("PYREWICK_SYSROOT");
    else
        qputenv("PYREWICK_SYSROOT", oldSysroot);
    resetBurnState();
    QDir::setCurrent(oldCwd);
    mWallSeconds = double(wall.elapsed()) / 1000.0;
}
