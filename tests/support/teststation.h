// The pieces every virtual-line test station shares: the line with its hubs,
// the sample burn plan and the files it names, device timings that suit the
// engine's time scale, and the engine started and refreshed the way the
// window does it.
#ifndef TESTSTATION_H
#define TESTSTATION_H

#include <QString>
#include <functional>
#include <memory>
#include <string>

#include "line.h"

class DeviceChangeSource;
class PortRefresh;
class ProbeDevThread;

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
// Writes `xml` to `path` and makes it the engine's plan.
void installPlan(const QString &path, const QString &xml);

// A device whose boot and recovery timings suit the engine's time scale.
vyrsim::DeviceSpec deviceSpec();

// The engine as the window runs it: the device-change source and the watch
// thread; start() also enables burning.
struct Engine {
    Engine();
    ~Engine();
    void start();
    std::unique_ptr<DeviceChangeSource> source;
    std::unique_ptr<ProbeDevThread> probe;
};

// One refresh of the window: queued events handled; under the port lock the
// logs handed to takeLogs and the burn threads started; then devices matched
// to ports, a message box's text handed to onMessage and the box closed.
void refreshOnce(PortRefresh &refresh, const std::function<void()> &takeLogs,
                 const std::function<void(const QString &)> &onMessage);

} // namespace teststation

#endif
