// The pieces every virtual-line test station shares: the line with its hubs,
// the sample burn plan and the files it names, and device timings that suit
// the engine's time scale. The engine itself runs in a BurnStation, as in
// every front end.
#ifndef TESTSTATION_H
#define TESTSTATION_H

#include <QString>
#include <memory>
#include <string>

#include "line.h"

class BurnStation;

namespace teststation {

// Hub port n (1-8) of the 8-port hub: "1-2.1" ... "1-2.8".
inline std::string hubPort(int n) {
    return "1-2." + std::to_string(n);
}

// A line under `root` (made if missing) with a 4-port root hub and an 8-port
// hub at 1-2; PYREWICK_SYSROOT points at it (the caller restores it).
std::unique_ptr<vyrsim::Line> makeLine(const QString &root);

// `size` bytes drawn from a generator seeded with `seed`.
void writeRandomFile(const QString &path, int size, unsigned seed);
// The images the plan loads into planDir and the files of its recovery
// commands into upgradeDir (directories made as needed).
void writePlanFiles(const QString &planDir, const QString &upgradeDir);
// Two media files for the media copy: intro.mp4 and clips/a.mp4.
void writeMediaFiles(const QString &mediaDir);

// A plan of the commands every station shares (loaders started, checks,
// images, a text command, bootm and an update, sn 0-11) followed by `tail`,
// the station's own last command lines.
QString planText(const QString &tail);
// The sample plan: the shared commands, the media copy, a prepared file and
// the reset (every kind of plan command).
QString samplePlan();
// Writes `xml` to `path` and imports it into the station as its plan.
void installPlan(BurnStation &station, const QString &path, const QString &xml);

// A device whose boot and recovery timings suit the engine's time scale.
vyrsim::DeviceSpec deviceSpec();

} // namespace teststation

#endif
