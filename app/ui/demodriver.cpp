#include "demodriver.h"

#include "burnstate.h"
#include "resultgate.h"
#include "mainwindow.h"
#include "uiprompts.h"

#include <QCoreApplication>
#include <QPixmap>
#include <QTimer>

DemoDriver::DemoDriver(MainWindow *window) : QObject(window), mWindow(window) {
    const QString package = qEnvironmentVariable("PYREWICK_DEMO_PACKAGE");
    const QString media = qEnvironmentVariable("PYREWICK_DEMO_MEDIA");
    if (!package.isEmpty() || !media.isEmpty()) {
        const UiPrompts saved = uiPrompts();
        if (!package.isEmpty()) {
            uiPrompts().openFileName = [package](QWidget *, const QString &, const QString &,
                                                 const QString &) { return package; };
            window->importUpgradeFile();
        }
        if (!media.isEmpty()) {
            uiPrompts().existingDirectory = [media](QWidget *, const QString &) { return media; };
            window->importMediaFiles();
        }
        uiPrompts() = saved;
    }
    if (qEnvironmentVariableIntValue("PYREWICK_DEMO_AUTOSTART") == 1)
        QTimer::singleShot(0, window, &MainWindow::startClicked);
    if (!qEnvironmentVariableIsEmpty("PYREWICK_DEMO_SCREENSHOT")) {
        connect(window, &MainWindow::refreshed, this, &DemoDriver::checkScreenshot);
        bool ok = false;
        int seconds = qEnvironmentVariableIntValue("PYREWICK_DEMO_TIMEOUT", &ok);
        if (!ok || seconds <= 0) seconds = 600;
        QTimer::singleShot(seconds * 1000, this, [this] { takeScreenshot(3); });
    }
}

void DemoDriver::checkScreenshot() {
    if (mScreenshotTaken) return;
    bool ok = false;
    int wanted = qEnvironmentVariableIntValue("PYREWICK_DEMO_ROWS", &ok);
    if (!ok || wanted < 1 || wanted > PORT_COUNT) wanted = PORT_COUNT;
    // The burn threads move on while a refresh paints, so a result counted now
    // may be missing from what this refresh drew (the statistics line is made
    // before the rows are looked at). The picture is taken one refresh after
    // every result is both on the rows and in the statistics.
    int results = 0;
    for (int p = 0; p < PORT_COUNT; ++p) {
        const PortInfo &port = gPortInfo[p];
        const int status = port.status, last = port.lastResult;
        // A result waiting for its burn record is not on the row yet.
        if (ResultGate::held(p)) continue;
        if (status == PORT_STATUS_SUCCESS || status == PORT_STATUS_FAILED ||
            (status == PORT_STATUS_NONE &&
             (last == PORT_STATUS_SUCCESS || last == PORT_STATUS_FAILED)))
            ++results; // a row shows a result also after its device has gone
    }
    const bool done = results >= wanted && gSuccessCount + gFailCount >= wanted;
    if (done && mResultsPainted) takeScreenshot(0);
    mResultsPainted = done;
}

void DemoDriver::takeScreenshot(int exitCode) {
    if (mScreenshotTaken) return;
    mScreenshotTaken = true;
    mWindow->grab().save(qEnvironmentVariable("PYREWICK_DEMO_SCREENSHOT"));
    QTimer::singleShot(0, qApp, [exitCode] { QCoreApplication::exit(exitCode); });
}
