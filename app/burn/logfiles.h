// Names and contents of the window's log files under "log/": the USB debug
// log opened at start, and the three kinds of saved copies of the log panel.
#ifndef LOGFILES_H
#define LOGFILES_H

#include <QDateTime>
#include <QString>

namespace LogFiles {

// The log directory, relative to the working directory.
extern const char *const kLogDir;

// "log/usb_" + t as "yyyy-MM-dd-hh-mm-ss" + ".log".
QString usbLogPath(const QDateTime &t);

// The upgrade package's file name without its last four characters (".zip");
// empty for an empty path. Both separators are accepted.
QString packageBaseName(const QString &packagePath);

enum class SaveKind {
    Manual, // offered by the save dialog
    Auto,   // after every 50 failures
    Exit,   // at teardown
};

// "log/" + "MM.dd" + "." + "hh.mm" + "_" + base name + the kind's ending
// ("_manual.log", "_autosave.log", ".log").
QString savedLogName(SaveKind kind, const QString &packagePath, const QDateTime &now);

// Writes the panel text with every "\n" turned into "\r\n", replacing an
// existing file only once the whole text is written. False (and the reason in
// *error when given) when the file cannot be created or written whole; an
// existing file is then left as it was.
bool writeSavedLog(const QString &path, const QString &panelText, QString *error = nullptr);

} // namespace LogFiles

#endif
