#include "signalcloser.h"

#include <QDebug>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int gSignalFds[2] = {-1, -1};
const int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

void onSignal(int number) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    // Nothing else is safe here; a full socket means a close is already on its way.
    [[maybe_unused]] const ssize_t n = ::write(gSignalFds[0], &byte, 1);
    errno = saved;
}

} // namespace

SignalCloser::SignalCloser(QObject *parent) : QObject(parent) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, gSignalFds) != 0) {
        qWarning() << "no signal socket: signals end the program without saving the log";
        return;
    }
    mNotifier = new QSocketNotifier(gSignalFds[1], QSocketNotifier::Read, this);
    connect(mNotifier, &QSocketNotifier::activated, this, &SignalCloser::readSignal);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : kSignals)
        ::sigaction(number, &action, nullptr);
}

SignalCloser::~SignalCloser() {
    for (int number : kSignals)
        std::signal(number, SIG_DFL);
    delete mNotifier;
    for (int &fd : gSignalFds) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

void SignalCloser::readSignal() {
    unsigned char byte = 0;
    while (::read(gSignalFds[1], &byte, 1) == 1) {
        if (mReceived) continue;
        mReceived = byte;
        qDebug() << "signal" << mReceived << "received: closing the window";
        // A second signal while the window closes is not caught again.
        for (int number : kSignals)
            std::signal(number, SIG_DFL);
        emit closeRequested(mReceived);
    }
}
