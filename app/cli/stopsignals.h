// SIGINT and SIGTERM turned into a Qt signal on the main thread (a pipe the
// handler writes one byte into, read by a socket notifier), so the burn can
// be stopped in order: Stop, each thread ends its step, the log is saved.
#ifndef STOPSIGNALS_H
#define STOPSIGNALS_H

#include <QObject>

class QSocketNotifier;

class StopSignals : public QObject {
    Q_OBJECT

  public:
    explicit StopSignals(QObject *parent = nullptr);
    ~StopSignals() override;

  signals:
    void stopRequested(int signalNumber);

  private:
    QSocketNotifier *mNotifier = nullptr;
};

#endif
