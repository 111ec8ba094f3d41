// Unpacking an upgrade package into the temporary directory "tmp" with the
// outside archiver, and emptying that directory first.
#ifndef UPGRADEPACKAGE_H
#define UPGRADEPACKAGE_H

#include <QString>
#include <QStringList>
#include <functional>

namespace UpgradePackage {

// The temporary directory, relative to the working directory.
extern const char *const kTmpDir;

// The archiver: "7z" in the working directory when it is an executable file
// there, else "7z" found on PATH; empty when there is none. Run as root: the
// first "7z" in PATH's absolute directories that only root can change (the
// system's), never the working directory's.
QString archiverProgram();

// The archiver's arguments: "x", "-y", an empty password ("-p": a
// protected archive fails at once instead of waiting for one), progress on
// standard output ("-bsp1"), "-otmp", the package path.
QStringList archiverArguments(const QString &packagePath);

enum class UnpackResult {
    Finished, // the archiver ran to its end and reported no error
    Failed,   // it could not start, crashed, ended with a non-zero status or
              // reported an error (a CRC error, a full disk, a wrong password)
    TimedOut, // still running after the limit; it has been killed
};

struct UnpackOutcome {
    UnpackResult result = UnpackResult::Failed;
    // The archiver's error lines (or why it did not run); empty on success.
    QString errors;
};

// Runs the archiver on the package: up to 30 s (system time) for it to
// start, then up to `finishLimitMs` of real time for it to end. `progress`
// (may be empty) receives each percentage the archiver reports.
UnpackOutcome unpack(const QString &packagePath, int finishLimitMs,
                     const std::function<void(int percent)> &progress = {});

// Where the unpacked files are: "tmp/<entry>/" when tmp holds exactly one
// entry (hidden entries not counted), else "tmp/".
QString upgradeDirAfterUnpack();

// The marker of a whole import: a hidden file in tmp/ written (atomically,
// after the unpacked files are on the disk) only once the package is
// unpacked and its plan read. A tmp/ with files but no marker was left by an
// import that never ended (the program was killed or the power went): its
// files are not burnt until the package is imported again.
extern const char *const kImportMarker;
// Writes the marker naming the package. False when it cannot.
bool markImportComplete(const QString &tmpDir, const QString &packagePath);
// Removes the marker, durably (before the old files are removed).
bool clearImportComplete(const QString &tmpDir);
// True when tmpDir holds the marker.
bool importComplete(const QString &tmpDir);
// True when tmpDir holds files of an import that did not finish: anything
// other than the marker, and no marker.
bool importIncomplete(const QString &tmpDir);
// Pushes what was written under dir (by the archiver) to the disk.
void syncFiles(const QString &dir);

// Removes everything inside dirName (hidden entries too) and leaves the
// directory itself. True when every entry went, and also when the directory
// does not exist (nothing to remove). A dirName that is a symbolic link is
// left alone (false): what it points to is not this program's to empty.
bool deleteDirContents(const QString &dirName);

} // namespace UpgradePackage

#endif
