// The slow part of importing an upgrade package: emptying tmp/, unpacking
// the package into it with the archiver and reading the burn plan it carries
// (which sums every image). Touches no shared burn state, so it runs on any
// thread; BurnStation runs it on a worker thread while its own thread goes on
// refreshing.
#ifndef PACKAGEUNPACKER_H
#define PACKAGEUNPACKER_H

#include <QString>
#include <functional>
#include <memory>

class BurnPlan;

class PackageUnpacker {
  public:
    enum class Outcome {
        Ready,     // unpacked and its plan read (plan is set)
        NoPlan,    // unpacked, but no config_progress.xml where expected
        TimedOut,  // the archiver did not end in time
        Failed,    // the archiver failed; what it left in tmp/ was removed
        TmpIsLink, // tmp/ is a symbolic link: refused, nothing was changed
        Refused,   // the package cannot be used (nothing was changed)
    };

    enum class Stage { Unpacking, ReadingPlan };

    struct Result {
        Outcome outcome = Outcome::Failed;
        QString upgradeDir; // "tmp/<entry>/" or "tmp/" (NoPlan and Ready)
        QString planPath;   // upgradeDir + "config_progress.xml"
        std::shared_ptr<const BurnPlan> plan;
        QString detail;          // Failed: the archiver's error lines; Refused: why
        bool tmpEmptied = false; // tmp/ was emptied (files of the old plan are gone)
    };

    // `progress` (may be empty) is called on the calling thread with the
    // stage and, while unpacking, the archiver's percentage (-1 when none).
    using Progress = std::function<void(Stage stage, int percent)>;

    static Result run(const QString &packagePath, int finishLimitMs, const Progress &progress = {});
};

#endif
