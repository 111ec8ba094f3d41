// SIGTERM, SIGINT and SIGHUP (a shutdown, Ctrl+C, a closed terminal) close
// the window as the operator would: the application leaves its event loops,
// and the window's teardown stops the burn threads at the end of their step
// and saves the log. The handler only writes a byte into a socket pair; the
// rest happens on the user-interface thread. A second signal while closing
// ends the program at once (the default action is restored).
#ifndef SIGNALCLOSER_H
#define SIGNALCLOSER_H

#include <QObject>

class QSocketNotifier;

class SignalCloser : public QObject {
    Q_OBJECT

  public:
    explicit SignalCloser(QObject *parent = nullptr);
    ~SignalCloser() override;

    // The signal that arrived (0: none yet).
    int received() const { return mReceived; }

  signals:
    void closeRequested(int signalNumber);

  private:
    void readSignal();

    QSocketNotifier *mNotifier = nullptr;
    int mReceived = 0;
};

#endif
