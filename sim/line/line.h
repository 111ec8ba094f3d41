// The virtual production line: a whole system root in a directory of its own
// (USB tree under sys/, device nodes under dev/, the mount table under proc/,
// volume directories under media/) kept true while virtual devices are
// plugged, boot, re-enumerate and leave.
//
// Every change to the tree is a whole-directory rename out of <root>/.staging
// (or into <root>/.trash on the way out), so a reader scanning the tree never
// sees a half-made device. Device nodes are Unix sockets bound under a
// temporary name and renamed into place after the device directory exists.
//
// Thread-safe. Devices' own threads only hand events to the line's worker;
// the tree is changed under one lock.
#ifndef VYRSIM_LINE_H
#define VYRSIM_LINE_H

#include "recoveryvolume.h"
#include "romdevice.h"

#include <functional>
#include <memory>
#include <string>

namespace vyrsim {

struct DeviceSpec {
    RomDeviceConfig rom;
    RecoveryConfig recovery;
    // After bootm: how long the device is off the bus before its mass-storage
    // form shows up on the same port.
    int bootMs = 1000;
    // After its loader starts and the device leaves (rom.leaveOnRun): the port
    // it comes back on ("1-2.3"; empty = the same port) and after how long.
    std::string reenumeratePort;
    int reenumerateMs = 300;
    // Its sysfs directory shows but its node does not, until its port is
    // power-cycled (write 1, then 0, to the port's disable file).
    bool stuck = false;
    // Once it leaves (loader start or bootm) it never comes back.
    bool neverComesBack = false;
    // Called once with the device's ROM-mode object before it first serves
    // (faults, RAM contents). Runs under the line's lock: it must not call the line.
    std::function<void(RomDevice &)> setUp;
};

class Line {
  public:
    enum class Form {
        Gone,       // not on the bus (unplugged, left after reset/shutdown/poweroff)
        Rom,        // ROM-mode device (a stuck one too: directory but no node)
        Booting,    // off the bus for a while, will come back (re-enumeration, boot)
        MassStorage // the recovery system's mass-storage volume
    };

    // Creates the skeleton: sys/bus/usb/devices, sys/class/block, sys/dev/block,
    // dev/bus/usb, an empty proc/self/mountinfo, media/vyr, and the marker file
    // MarkerFile. Anything already in rootDir under those names is removed
    // first. A root that is the real root (/) is left alone and the line does
    // nothing (every plug fails).
    explicit Line(std::string rootDir);
    static constexpr const char *MarkerFile = ".vyrsim-root";
    ~Line(); // stop()
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;

    // A host controller's root hub sys/bus/usb/devices/usbN; returns N (1, 2, ...).
    int addRootHub(int ports, const std::string &product = "xHCI Host Controller");
    // An external hub on a free port ("1-2", "1-2.4"); returns its name (the
    // port name), or "" when the port does not exist or is taken.
    std::string addHub(const std::string &portName, int ports,
                       const std::string &product = "USB2.0 Hub");

    // Plugs a device on a free port; returns its id (1, 2, ...) or -1 when the
    // port does not exist, is taken or the device could not be served.
    int plug(const std::string &portName, const DeviceSpec &devSpec);
    // Pulls the device off the line whatever its form; it stays Gone.
    void unplug(int id);
    // The device leaves its port and shows up at once on another one, in the
    // form and state it had (a re-enumeration on another port).
    bool moveTo(int id, const std::string &port);

    // The device's objects (null before it first shows in that form). One of
    // each per device: it keeps its state while the device is off the bus and
    // serves again when it comes back. Valid until stop().
    RomDevice *romDevice(int id);
    RecoveryVolume *recovery(int id);
    // <root>/media/vyr/<name>: the volume's files (kept after it leaves).
    std::string volumeDir(int id);
    // The port it sits on now ("" when gone or off the bus).
    std::string currentPort(int id);
    Form form(int id);
    // Waits until the device is in that form; false on time-out.
    bool waitForm(int id, Form want, int timeoutMs);

    std::string root() const;

    // One line per event ("plug 3 1-2.4 rom 001/007", "leave 3", ...).
    void setEventSink(std::function<void(const std::string &)> sink);
    // Number of devices plugged and not yet gone for good.
    int liveDevices();

    // Tears everything down: devices leave, threads are joined. Idempotent.
    void stop();

    struct Impl;

  private:
    std::unique_ptr<Impl> d;
};

} // namespace vyrsim

#endif
