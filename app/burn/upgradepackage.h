// Unpacking an upgrade package into the temporary directory "tmp" with the
// outside archiver, and emptying that directory first.
#ifndef UPGRADEPACKAGE_H
#define UPGRADEPACKAGE_H

#include <QString>
#include <QStringList>

namespace UpgradePackage {

// The temporary directory, relative to the working directory.
extern const char *const kTmpDir;

// The archiver: "7z" in the working directory when it is an executable file
// there, else "7z" found on PATH; empty when there is none.
QString archiverProgram();

// The archiver's arguments: "x", "-y", "-otmp", the package path.
QStringList archiverArguments(const QString &packagePath);

enum class UnpackResult {
    Finished, // the archiver ran to its end (its exit code is not judged)
    TimedOut, // still running after the limit; it has been killed
};

// Runs the archiver on the package: up to 30 s (system time) for it to
// start, then up to `finishLimitMs` of real time for it to end.
UnpackResult unpack(const QString &packagePath, int finishLimitMs);

// Where the unpacked files are: "tmp/<entry>/" when tmp holds exactly one
// entry (hidden entries not counted), else "tmp/".
QString upgradeDirAfterUnpack();

// Removes everything inside dirName (hidden entries too) and leaves the
// directory itself. True when every entry went, and also when the directory
// does not exist (nothing to remove).
bool deleteDirContents(const QString &dirName);

} // namespace UpgradePackage

#endif
