// A station directory and a virtual line for runs of pyrewick-cli as a
// separate program: the upgrade package (made with 7z), the media directory,
// configure.ini, and vyrsim playing a scenario on the line's root.
#ifndef CLISTATION_H
#define CLISTATION_H

#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QVector>

class CliStation {
  public:
    // `name` is the station field of its records; `failing` maps a device
    // number (1-8) to the recovery command that fails on it.
    CliStation(const QString &name, const QVector<QPair<int, QString>> &failing = {},
               int plugGapMs = 300);
    ~CliStation();

    QString dir() const { return mDir.path(); }
    QString package() const { return mDir.filePath("fw_demo.zip"); }
    QString media() const { return mDir.filePath("media"); }
    QString root() const { return mDir.filePath("root"); }
    QString error() const { return mError; }

    // Starts vyrsim on the line; false if it did not come up.
    bool startLine();

    // pyrewick-cli with these arguments, the line's root and the time scale
    // in its environment (plus `env`, "NAME=value" entries).
    void startCli(const QStringList &args, const QStringList &env = {});
    QProcess &cli() { return mCli; }
    // Lines of the cli's standard output read so far.
    QStringList outputLines();
    // Runs pyrewick-cli to its end; its standard output.
    QByteArray runCli(const QStringList &args, int *exitCode);

    static QString cliProgram();
    static double timeScale() { return 0.05; }

  private:
    QTemporaryDir mDir;
    QProcess mSim;
    QProcess mCli;
    QByteArray mPending;
    QStringList mLines;
    QString mError;
};

#endif
