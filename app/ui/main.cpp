// Entry point of both programs: "pyrewick" (several devices through hubs) and
// "pyrewick-testnohub" (one device at a time), chosen at compile time by
// PYREWICK_SINGLE_DEVICE. No command-line argument is interpreted.
#include "appinfo.h"
#include "buildvariant.h"
#include "demodriver.h"
#include "mainwindow.h"
#include "signalcloser.h"
#include "singleinstance.h"
#include "uiprompts.h"

#include <QApplication>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
#if PYREWICK_SINGLE_DEVICE
    setBuildVariant(BuildVariant::SingleDevice);
#else
    setBuildVariant(BuildVariant::MultiPort);
#endif

    if (!SingleInstance::acquire()) {
        uiPrompts().information(nullptr, QString(),
                                QStringLiteral("An instance has already been running."));
        return 1;
    }

    // A termination signal closes the window: every event loop (a message box
    // or an import's included) is left, then the teardown below runs.
    SignalCloser closer;
    QObject::connect(&closer, &SignalCloser::closeRequested, &app, [] { QApplication::quit(); });
    auto *window = new MainWindow;
    window->setWindowTitle(AppInfo::productTitle());
    window->show();
    new DemoDriver(window); // scripts/demo's switches; the window owns it
    // A signal taken while the window was being built has already ended the
    // loops of its construction; the main loop is then not entered at all.
    const int result = closer.received() ? 0 : app.exec();
    // Teardown saves the log, closes the USB log, ends the threads and gives
    // the instance lock back.
    delete window;
    return result;
}
