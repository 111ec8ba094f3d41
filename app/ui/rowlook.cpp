#include "rowlook.h"

namespace RowLook {

const char *const kWhite = "background-color: rgb(255, 255, 255);";
const char *const kGreen = "background-color: rgb(0, 200, 0);";
const char *const kRed = "background-color: rgb(200, 0, 0);";
const char *const kGrey = "background-color: rgb(150, 150, 150);";
const char *const kBlue = "background-color: rgb(0, 0, 255);";
const char *const kDarkBlue = "background-color: rgb(0, 0, 150);";

const char *const kConnect = "Connect";
const char *const kSuccess = "Success";
const char *const kFailed = "Failed";
const char *const kDisconnect = "Disconnect";
const char *const kUsed = "used";

namespace {

// Port status codes as the burn state numbers them.
enum { kNone = 0, kConnected = 1, kWaitStart = 3, kSuccessCode = 11, kFailedCode = 12 };

// Back to idle: "Disconnect" on grey, no path, no button text.
Change idle(bool resetBar) {
    Change c;
    c.statusText = QString::fromLatin1(kDisconnect);
    c.path = QString();
    c.buttonText = QString();
    c.buttonStyle = QString::fromLatin1(kGrey);
    if (resetBar) c.bar = Bar::Reset;
    return c;
}

} // namespace

Change decide(const PortState &port, const QString &shown, int tick) {
    Change c;
    const QString disconnect = QString::fromLatin1(kDisconnect);

    if (port.status >= kConnected && port.status <= kWaitStart) {
        c.statusText = QString::fromLatin1(kConnect);
        c.path = port.portPath;
        c.bar = Bar::Reset;
        c.buttonText = QString::fromLatin1(kUsed);
        c.buttonStyle = QString::fromLatin1(kWhite);
    } else if (port.status == kSuccessCode) {
        c.statusText = QString::fromLatin1(kSuccess);
        c.bar = Bar::Value;
        c.barValue = 100;
        c.buttonStyle = QString::fromLatin1(kGreen);
    } else if (port.status == kFailedCode) {
        c.statusText = QString::fromLatin1(kFailed);
        c.buttonStyle = QString::fromLatin1(kRed);
    } else if (port.status != kNone) {
        c.statusText = port.message;
        c.bar = Bar::Value;
        c.barValue = port.progress;
        c.buttonStyle = QString::fromLatin1(tick % 2 ? kBlue : kDarkBlue);
    } else if (port.lastResult == kSuccessCode) {
        // Device gone after a success: alternate until acknowledged. A row
        // still showing a step text (the refresh never saw status 11 because
        // the device left at once) starts the alternation too, so a finished
        // device never stays on its last step.
        if (shown == QLatin1String(kSuccess)) {
            c = idle(true);
        } else {
            c.statusText = QString::fromLatin1(kSuccess);
            c.buttonStyle = QString::fromLatin1(kGreen);
            if (shown != disconnect) {
                c.bar = Bar::Value;
                c.barValue = 100;
            }
        }
    } else if (port.lastResult == kFailedCode) {
        // Device gone after a failure: "Failed" plus its message stays (it
        // only alternates when the message is empty). A stale step text is
        // replaced by the failure, as above.
        if (shown == QLatin1String(kFailed)) {
            c = idle(false);
        } else if (!shown.startsWith(QLatin1String(kFailed))) {
            c.statusText = QString::fromLatin1(kFailed) + port.message;
            c.failedWithMessage = true;
            c.buttonStyle = QString::fromLatin1(kRed);
        }
    } else if (shown == disconnect) {
        c.skipped = true;
    } else {
        c = idle(true);
    }
    return c;
}

} // namespace RowLook
