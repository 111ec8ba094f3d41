#include "line.h"

#include "mounttable.h"
#include "portwatch.h"
#include "treewriter.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <poll.h>
#include <set>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace vyrsim {

using Clock = std::chrono::steady_clock;

namespace {

std::string threeDigits(int n) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%03d", n);
    return buf;
}

std::string hex4(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04x", v & 0xffffu);
    return buf;
}

std::string trimmed(const std::string &s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::string readSmall(const std::string &file) {
    std::ifstream in(file, std::ios::binary);
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return trimmed(s);
}

// USB identities the line gives what it plugs.
constexpr unsigned RomVendor = 0x1b8e, RomProduct = 0xc003;
constexpr unsigned RecoveryVendor = 0x1b8e, RecoveryProduct = 0xc004;
constexpr unsigned HubVendor = 0x1a40, HubProduct = 0x0101;
constexpr unsigned LinuxVendor = 0x1d6b, RootHubProduct = 0x0002;
constexpr unsigned DiskMajor = 8;
constexpr int MaxDisks = 25; // sdb .. sdz (sda is taken to be the system's own disk)

} // namespace

struct Line::Impl {
    struct Port {
        std::string name;
        std::string parentDir;   // the hub's directory, where the device directory goes
        std::string disableFile; // <hub>:1.0/<hub>-port<n>/disable
        int bus = 0;
        int occupant = 0; // device id on (or powered off on) this port
        bool hub = false; // a hub hangs here
        bool disabled = false;
        int pendingWrites = 0;                       // disable-file writes not judged yet
        Clock::time_point firstWrite{}, lastWrite{}; // when the first and last were seen
    };

    // What a device off the bus turns into when it comes back.
    enum class Back { None, Rom, MassStorage, Power };

    struct Device {
        int id = 0;
        DeviceSpec devSpec;
        Form form = Form::Gone;
        std::string port; // where it is, or where it comes back
        bool onBus = false;
        int incarnation = 0;
        int stage = 0;
        bool stuck = false;
        Clock::time_point offSince{}; // its ROM object was seen off the bus on its own
        Back back = Back::None;
        Form powerForm = Form::Gone; // form it had when its port lost power
        // on the bus
        int bus = 0, devnum = 0;
        std::string dir, flatLink, node;
        std::vector<std::string> extraNodes, links;
        int disk = -1, mountId = -1;
        std::string volName, volDir;
        std::unique_ptr<RomDevice> rom;
        std::unique_ptr<RecoveryVolume> vol;
    };

    static constexpr int AnyIncarnation = -1;
    enum class EvKind { Staged, RomLeave, BootmLeave, ComeBack, MsLeave };
    struct Event {
        Clock::time_point at;
        int id = 0;
        int incarnation = 0;
        EvKind kind = EvKind::Staged;
        int stage = 0;
        std::string text;
    };

    explicit Impl(std::string rootDir) : tree(std::move(rootDir)), mounts(tree) {}

    TreeWriter tree;
    MountTable mounts;
    PortWatch watch;

    std::mutex m; // the tree, ports, devices; taken before qm, never inside a device callback
    std::condition_variable formChanged;
    std::map<int, int> nextDevnum;
    std::map<int, std::set<int>> usedDevnum;
    std::map<std::string, Port> ports;
    std::map<int, Device> devices;
    std::set<int> usedDisks;
    std::set<std::string> unsettled; // ports with disable-file writes not judged yet
    static constexpr int QuietMs = 30, LoneZeroMs = 150;
    int nextBus = 1, nextId = 1, nextHost = 0;
    std::function<void(const std::string &)> sink;
    bool stopped = false;

    std::mutex qm; // the event queue only; device callbacks take nothing else
    std::vector<Event> queue;
    int wakeFd = -1;
    std::atomic<bool> stopping{false};
    std::thread worker;

    // ---- events ----

    void emit(const std::string &text) {
        if (sink) sink(text);
    }

    void schedule(Event ev) {
        {
            std::lock_guard<std::mutex> g(qm);
            queue.push_back(std::move(ev));
        }
        uint64_t one = 1;
        if (wakeFd >= 0) (void)!::write(wakeFd, &one, sizeof one);
    }

    void scheduleIn(int ms, int id, int incarnation, EvKind kind, int stage = 0,
                    std::string text = {}) {
        Event ev;
        ev.at = Clock::now() + std::chrono::milliseconds(std::max(0, ms));
        ev.id = id;
        ev.incarnation = incarnation;
        ev.kind = kind;
        ev.stage = stage;
        ev.text = std::move(text);
        schedule(std::move(ev));
    }

    void setForm(Device &dev, Form f) {
        if (dev.form == f) return;
        dev.form = f;
        formChanged.notify_all();
    }

    // ---- numbers ----

    int allocDevnum(int bus) {
        int &next = nextDevnum[bus];
        auto &used = usedDevnum[bus];
        for (int tries = 0; tries < 127; ++tries) {
            if (next < 2 || next > 127) next = 2;
            int n = next++;
            if (!used.count(n)) {
                used.insert(n);
                return n;
            }
        }
        return -1;
    }

    std::string nodePath(int bus, int devnum) {
        return tree.path("dev/bus/usb/" + threeDigits(bus) + "/" + threeDigits(devnum));
    }

    // A plain file node for what the line does not serve (hubs, the recovery's USB side).
    void plainNode(int bus, int devnum) {
        std::string node = nodePath(bus, devnum);
        std::error_code ec;
        fs::create_directories(fs::path(node).parent_path(), ec);
        tree.writeFile(node, "");
    }

    static void writeUsbAttrs(const std::string &dir, int bus, int devnum, unsigned vendor,
                              unsigned product, const std::string &cls,
                              const std::string &productText) {
        TreeWriter::writeAttr(dir, "idVendor", hex4(vendor));
        TreeWriter::writeAttr(dir, "idProduct", hex4(product));
        TreeWriter::writeAttr(dir, "bDeviceClass", cls);
        TreeWriter::writeAttr(dir, "busnum", std::to_string(bus));
        TreeWriter::writeAttr(dir, "devnum", std::to_string(devnum));
        TreeWriter::writeAttr(dir, "speed", "480");
        // As a kernel shows every USB device: its usbfs character device
        // number and a removable state it does not know.
        TreeWriter::writeAttr(dir, "dev", "189:" + std::to_string((bus - 1) * 128 + devnum - 1));
        TreeWriter::writeAttr(dir, "removable", "unknown");
        if (cls != "09") TreeWriter::writeAttr(dir, "maxchild", "0");
        if (!productText.empty()) TreeWriter::writeAttr(dir, "product", productText);
    }

    // Port directories of a hub: <hub>:1.0/<prefix>-port<n>/disable.
    void addPorts(const std::string &staged, const std::string &iface, const std::string &prefix,
                  int count) {
        TreeWriter::writeAttr(staged + "/" + iface, "bInterfaceClass", "09");
        for (int n = 1; n <= count; ++n)
            TreeWriter::writeAttr(staged + "/" + iface + "/" + prefix + "-port" + std::to_string(n),
                                  "disable", "0");
    }

    void registerPorts(const std::string &hubDir, const std::string &iface,
                       const std::string &prefix, const std::string &childPrefix, int bus,
                       int count) {
        for (int n = 1; n <= count; ++n) {
            Port p;
            p.name = childPrefix + std::to_string(n);
            p.parentDir = hubDir;
            std::string portDir = hubDir + "/" + iface + "/" + prefix + "-port" + std::to_string(n);
            p.disableFile = portDir + "/disable";
            p.bus = bus;
            watch.watch(p.name, portDir);
            ports[p.name] = p;
        }
    }

    bool portFree(const std::string &name) {
        auto it = ports.find(name);
        return it != ports.end() && !it->second.hub && it->second.occupant == 0;
    }

    // ---- a device on and off the bus ----

    // Places the device directory and the flat link; node and serving are the caller's.
    bool placeDir(Device &dev, const std::string &staged, Port &port) {
        std::string target = port.parentDir + "/" + port.name;
        if (!tree.place(staged, target)) {
            tree.remove(staged);
            return false;
        }
        dev.dir = target;
        dev.flatLink = tree.path("sys/bus/usb/devices/" + port.name);
        tree.link(target, dev.flatLink);
        return true;
    }

    // Binds a socket under a hidden name next to the node, then renames it into place.
    template <class Server> bool serveAt(Server &server, const std::string &node) {
        std::error_code ec;
        fs::create_directories(fs::path(node).parent_path(), ec);
        std::string tmp = tree.tempNextTo(node);
        if (!server.listen(tmp)) return false;
        if (::rename(tmp.c_str(), node.c_str()) != 0) {
            ::unlink(tmp.c_str());
            return false;
        }
        return true;
    }

    // The device's objects live as long as the device: they keep their state
    // (RAM, stage, commands) while it is off the bus and serve again when it
    // comes back. Their callbacks only queue an event; the worker checks the
    // device's form when it handles it.
    void makeRom(Device &dev) {
        if (dev.rom) return;
        RomDeviceConfig cfg = dev.devSpec.rom;
        dev.rom = std::make_unique<RomDevice>(cfg);
        int id = dev.id;
        bool leaves = cfg.leaveOnRun;
        dev.rom->onRun = [this, id, leaves](int newStage) {
            scheduleIn(0, id, AnyIncarnation, leaves ? EvKind::RomLeave : EvKind::Staged, newStage);
        };
        dev.rom->onBootm = [this, id] { scheduleIn(0, id, AnyIncarnation, EvKind::BootmLeave); };
        dev.rom->onReset = [this, id] { scheduleIn(0, id, AnyIncarnation, EvKind::Staged, -1); };
        if (dev.devSpec.setUp) dev.devSpec.setUp(*dev.rom);
    }

    void makeVolume(Device &dev) {
        if (dev.vol) return;
        dev.vol = std::make_unique<RecoveryVolume>(dev.volDir, dev.devSpec.recovery);
        int id = dev.id;
        dev.vol->onLeave = [this, id](const std::string &cmd) {
            scheduleIn(0, id, AnyIncarnation, EvKind::MsLeave, 0, cmd);
        };
    }

    bool appearRom(Device &dev, Port &port) {
        int devnum = allocDevnum(port.bus);
        if (devnum < 0) return false;
        std::string staged = tree.stage();
        writeUsbAttrs(staged, port.bus, devnum, RomVendor, RomProduct, "00", "Skelmar Device");
        TreeWriter::writeAttr(staged + "/" + port.name + ":1.0", "bInterfaceClass", "ff");
        ++dev.incarnation;
        if (!placeDir(dev, staged, port)) {
            usedDevnum[port.bus].erase(devnum);
            return false;
        }
        dev.bus = port.bus;
        dev.devnum = devnum;
        dev.port = port.name;
        dev.onBus = true;
        port.occupant = dev.id;
        makeRom(dev);
        dev.offSince = {};
        std::string node = nodePath(port.bus, devnum);
        if (!dev.stuck) {
            if (!serveAt(*dev.rom, node)) {
                emit("error " + std::to_string(dev.id) + " cannot serve " + node);
            } else {
                dev.node = node;
            }
        }
        setForm(dev, Form::Rom);
        emit("plug " + std::to_string(dev.id) + " " + port.name + " rom " + threeDigits(port.bus) +
             "/" + threeDigits(devnum) + (dev.stuck ? " stuck" : "") + " stage " +
             std::to_string(dev.rom->stage()));
        return true;
    }

    int allocDisk() {
        for (int i = 1; i <= MaxDisks; ++i)
            if (!usedDisks.count(i)) {
                usedDisks.insert(i);
                return i;
            }
        return -1;
    }

    bool appearMassStorage(Device &dev, Port &port) {
        int devnum = allocDevnum(port.bus);
        int disk = allocDisk();
        if (devnum < 0 || disk < 0) {
            if (devnum >= 0) usedDevnum[port.bus].erase(devnum);
            if (disk >= 0) usedDisks.erase(disk);
            return false;
        }
        std::string sd = std::string("sd") + char('a' + disk);
        unsigned minor = 16u * unsigned(disk);
        int host = nextHost++;
        std::string hs = std::to_string(host);

        std::string staged = tree.stage();
        writeUsbAttrs(staged, port.bus, devnum, RecoveryVendor, RecoveryProduct, "00", "Recovery");
        std::string iface = port.name + ":1.0";
        TreeWriter::writeAttr(staged + "/" + iface, "bInterfaceClass", "08");
        std::string blockRel =
            iface + "/host" + hs + "/target" + hs + ":0:0/" + hs + ":0:0:0/block/" + sd;
        std::string blk = staged + "/" + blockRel;
        TreeWriter::writeAttr(blk, "dev", std::to_string(DiskMajor) + ":" + std::to_string(minor));
        TreeWriter::writeAttr(blk, "removable", "1");
        TreeWriter::writeAttr(blk + "/" + sd + "1", "dev",
                              std::to_string(DiskMajor) + ":" + std::to_string(minor + 1));
        TreeWriter::writeAttr(blk + "/" + sd + "1", "partition", "1");

        ++dev.incarnation;
        if (!placeDir(dev, staged, port)) {
            usedDevnum[port.bus].erase(devnum);
            usedDisks.erase(disk);
            return false;
        }
        dev.bus = port.bus;
        dev.devnum = devnum;
        dev.port = port.name;
        dev.onBus = true;
        dev.disk = disk;
        port.occupant = dev.id;

        std::string diskDir = dev.dir + "/" + blockRel;
        std::string partDir = diskDir + "/" + sd + "1";
        std::string diskNum = std::to_string(DiskMajor) + ":" + std::to_string(minor);
        std::string partNum = std::to_string(DiskMajor) + ":" + std::to_string(minor + 1);
        const std::pair<std::string, std::string> links[] = {
            {diskDir, tree.path("sys/class/block/" + sd)},
            {partDir, tree.path("sys/class/block/" + sd + "1")},
            {diskDir, tree.path("sys/dev/block/" + diskNum)},
            {partDir, tree.path("sys/dev/block/" + partNum)},
        };
        for (const auto &l : links) {
            tree.link(l.first, l.second);
            dev.links.push_back(l.second);
        }

        if (dev.volName.empty()) {
            char name[16];
            std::snprintf(name, sizeof name, "VYR%02d", dev.id);
            dev.volName = name;
            dev.volDir = tree.path("media/vyr/" + dev.volName);
        }
        std::error_code ec;
        fs::create_directories(dev.volDir, ec);
        makeVolume(dev);
        std::string diskNode = tree.path("dev/" + sd);
        std::string partNode = tree.path("dev/" + sd + "1");
        std::string tmp = tree.tempNextTo(diskNode);
        if (dev.vol->listen(tmp)) {
            // One volume behind both the disk and its partition.
            if (::link(tmp.c_str(), partNode.c_str()) == 0) dev.extraNodes.push_back(partNode);
            if (::rename(tmp.c_str(), diskNode.c_str()) == 0)
                dev.extraNodes.push_back(diskNode);
            else
                ::unlink(tmp.c_str());
        } else {
            emit("error " + std::to_string(dev.id) + " cannot serve " + diskNode);
        }
        plainNode(port.bus, devnum);
        dev.node = nodePath(port.bus, devnum);
        dev.mountId = mounts.mount(DiskMajor, minor + 1, sd + "1", "/media/vyr/" + dev.volName);
        setForm(dev, Form::MassStorage);
        emit("plug " + std::to_string(dev.id) + " " + port.name + " mass-storage " +
             threeDigits(port.bus) + "/" + threeDigits(devnum) + " " + sd + " /media/vyr/" +
             dev.volName);
        return true;
    }

    // Takes the device off the bus (mount line, nodes, links, directory, in that
    // order). keepPort: the port stays reserved for it (powered off).
    void disappear(Device &dev, bool keepPort) {
        if (!dev.onBus) return;
        if (dev.mountId >= 0) mounts.unmount(dev.mountId);
        dev.mountId = -1;
        if (!dev.node.empty()) ::unlink(dev.node.c_str());
        for (const auto &n : dev.extraNodes)
            ::unlink(n.c_str());
        if (dev.form == Form::Rom && dev.rom) dev.rom->leaveBus();
        if (dev.form == Form::MassStorage && dev.vol) dev.vol->leave();
        if (!dev.flatLink.empty()) ::unlink(dev.flatLink.c_str());
        for (const auto &l : dev.links)
            ::unlink(l.c_str());
        if (!dev.dir.empty()) tree.remove(dev.dir);
        usedDevnum[dev.bus].erase(dev.devnum);
        if (dev.disk >= 0) usedDisks.erase(dev.disk);
        dev.disk = -1;
        dev.node.clear();
        dev.extraNodes.clear();
        dev.links.clear();
        dev.flatLink.clear();
        dev.dir.clear();
        dev.onBus = false;
        ++dev.incarnation;
        if (!keepPort) {
            auto it = ports.find(dev.port);
            if (it != ports.end() && it->second.occupant == dev.id) it->second.occupant = 0;
        }
        emit("leave " + std::to_string(dev.id) + " " + dev.port);
    }

    // The device comes back on dev.port as `form`; Gone when the port is taken.
    void comeBack(Device &dev, Form form) {
        auto it = ports.find(dev.port);
        bool ok = false;
        if (it != ports.end() && !it->second.hub &&
            (it->second.occupant == 0 || it->second.occupant == dev.id)) {
            ok = form == Form::MassStorage ? appearMassStorage(dev, it->second)
                                           : appearRom(dev, it->second);
        }
        dev.back = Back::None;
        if (!ok) {
            if (it != ports.end() && it->second.occupant == dev.id) it->second.occupant = 0;
            emit("lost " + std::to_string(dev.id) + " cannot come back on " + dev.port);
            setForm(dev, Form::Gone);
        }
    }

    // The device leaves and comes back as `back` after afterMs, on newPort
    // (empty = the same port), unless it never comes back.
    void offBus(Device &dev, Back back, int afterMs, const std::string &newPort = {}) {
        disappear(dev, false);
        if (!newPort.empty()) dev.port = newPort;
        if (dev.devSpec.neverComesBack) {
            setForm(dev, Form::Gone);
            return;
        }
        dev.back = back;
        setForm(dev, Form::Booting);
        scheduleIn(afterMs, dev.id, dev.incarnation, EvKind::ComeBack);
    }

    void handle(const Event &ev) {
        auto it = devices.find(ev.id);
        if (it == devices.end()) return;
        Device &dev = it->second;
        if (ev.incarnation != AnyIncarnation && dev.incarnation != ev.incarnation) return;
        std::string id = std::to_string(dev.id);
        switch (ev.kind) {
        case EvKind::Staged:
            if (ev.stage >= 0) {
                dev.stage = ev.stage;
                emit("run " + id + " stage " + std::to_string(ev.stage));
            } else {
                emit("port-reset " + id);
            }
            break;
        case EvKind::RomLeave:
            if (dev.form != Form::Rom || !dev.onBus) break;
            dev.stage = ev.stage;
            emit("run " + id + " stage " + std::to_string(ev.stage) + " leaves");
            offBus(dev, Back::Rom, dev.devSpec.reenumerateMs, dev.devSpec.reenumeratePort);
            break;
        case EvKind::BootmLeave:
            if (dev.form != Form::Rom || !dev.onBus) break;
            emit("bootm " + id);
            offBus(dev, Back::MassStorage, dev.devSpec.bootMs);
            break;
        case EvKind::ComeBack:
            if (dev.form == Form::Booting)
                comeBack(dev, dev.back == Back::MassStorage ? Form::MassStorage : Form::Rom);
            break;
        case EvKind::MsLeave:
            if (dev.form != Form::MassStorage || !dev.onBus) break;
            emit(ev.text + " " + id);
            disappear(dev, false);
            setForm(dev, Form::Gone);
            break;
        }
    }

    // Power on a port follows its disable file: "1" takes the device there off
    // the bus; "0" after "1" brings it back, enumerated anew (new device
    // number, node present) in the state it was in. Writers write "1" then "0"
    // back to back, faster than the line looks, so the file is judged only
    // once its writes have been quiet for a moment, and two writes that end in
    // "0" count as a cycle too. A lone "0" is held a while longer (the "0" of a
    // cycle can be read before its own write is reported) and then dropped.
    // Returns true while the port still has writes to judge.
    bool settlePort(const std::string &name, Clock::time_point now) {
        auto it = ports.find(name);
        if (it == ports.end()) return false;
        Port &port = it->second;
        if (port.pendingWrites == 0) return false;
        // A writer that never pauses is judged anyway once its first write is old.
        if (now - port.lastWrite < std::chrono::milliseconds(QuietMs) &&
            now - port.firstWrite < std::chrono::milliseconds(LoneZeroMs))
            return true;
        std::string value = readSmall(port.disableFile);
        if (value.empty()) return true; // caught between truncation and the new text
        const int pending = port.pendingWrites;
        if (value == "0" && !port.disabled && pending < 2) {
            if (now - port.lastWrite < std::chrono::milliseconds(LoneZeroMs)) return true;
            port.pendingWrites = 0;
            return false;
        }
        port.pendingWrites = 0;
        Device *dev = nullptr;
        if (port.occupant) {
            auto d = devices.find(port.occupant);
            if (d != devices.end()) dev = &d->second;
        }
        if (value != "0" && value != "1") return false; // not a power switch: ignored
        if (value == "1") {
            if (port.disabled) return false;
            port.disabled = true;
            emit("power off " + name);
            if (dev && dev->onBus) {
                Form was = dev->form;
                disappear(*dev, true);
                dev->powerForm = was;
                dev->back = Back::Power;
                setForm(*dev, Form::Booting);
            }
        } else if (value == "0") {
            port.disabled = false;
            emit("power on " + name);
            if (!dev) return false;
            if (dev->onBus) {
                dev->powerForm = dev->form;
                disappear(*dev, true);
            } else if (dev->back != Back::Power) {
                return false;
            }
            dev->stuck = false;
            comeBack(*dev, dev->powerForm);
        }
        return false;
    }

    // A ROM-mode device can leave the bus on its own (a fault that drops it).
    // Leaving on run or bootm is followed at once by its callback, which turns
    // the device's form; so a ROM device still seen off the bus a while later
    // has dropped off: it leaves the tree and is gone.
    void checkDropped() {
        auto now = Clock::now();
        for (auto &entry : devices) {
            Device &dev = entry.second;
            if (dev.form != Form::Rom || !dev.onBus || dev.node.empty() || !dev.rom) continue;
            if (dev.rom->onBus()) {
                dev.offSince = {};
            } else if (dev.offSince == Clock::time_point{}) {
                dev.offSince = now;
            } else if (now - dev.offSince >= std::chrono::milliseconds(200)) {
                emit("drop " + std::to_string(dev.id));
                disappear(dev, false);
                setForm(dev, Form::Gone);
            }
        }
    }

    // One pass of the worker: port writes, then every event that is due.
    // Returns how long the next event is away (capped).
    int runOnce() {
        std::vector<Event> due;
        auto now = Clock::now();
        auto next = now + std::chrono::milliseconds(50);
        {
            std::lock_guard<std::mutex> g(qm);
            std::stable_sort(queue.begin(), queue.end(),
                             [](const Event &a, const Event &b) { return a.at < b.at; });
            auto split = std::find_if(queue.begin(), queue.end(),
                                      [&](const Event &e) { return e.at > now; });
            due.assign(std::make_move_iterator(queue.begin()), std::make_move_iterator(split));
            queue.erase(queue.begin(), split);
            if (!queue.empty()) next = std::min(next, queue.front().at);
        }
        {
            std::lock_guard<std::mutex> g(m);
            if (!stopped) {
                // The watch list changes under m.
                for (const auto &w : watch.takeWrites()) {
                    auto p = ports.find(w.first);
                    if (p == ports.end()) continue;
                    if (p->second.pendingWrites == 0) p->second.firstWrite = now;
                    p->second.pendingWrites += w.second;
                    p->second.lastWrite = now;
                    unsettled.insert(w.first);
                }
                for (auto u = unsettled.begin(); u != unsettled.end();)
                    u = settlePort(*u, now) ? std::next(u) : unsettled.erase(u);
                if (!unsettled.empty()) next = std::min(next, now + std::chrono::milliseconds(10));
                for (const auto &ev : due)
                    handle(ev);
                checkDropped();
            }
        }
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now());
        return int(std::max<long long>(0, wait.count()));
    }

    void run() {
        while (!stopping) {
            int timeout = runOnce();
            pollfd fds[2] = {{watch.fd(), POLLIN, 0}, {wakeFd, POLLIN, 0}};
            ::poll(fds, 2, timeout);
            if (fds[1].revents & POLLIN) {
                uint64_t n;
                (void)!::read(wakeFd, &n, sizeof n);
            }
        }
    }
};

Line::Line(std::string rootDir) : d(std::make_unique<Impl>(rootDir)) {
    // The line replaces sys, dev, proc and media under its root: never those
    // of the real system.
    std::error_code ec;
    auto real = fs::weakly_canonical(rootDir.empty() ? "/" : rootDir, ec);
    if (ec || real == "/") {
        d->stopped = true;
        return;
    }
    fs::create_directories(rootDir, ec);
    d->tree.prepare();
    for (const char *dir : {"sys", "dev", "proc", "media"})
        fs::remove_all(d->tree.path(dir), ec);
    for (const char *dir : {"sys/bus/usb/devices", "sys/class/block", "sys/dev/block",
                            "dev/bus/usb", "proc/self", "media/vyr"})
        fs::create_directories(d->tree.path(dir), ec);
    d->tree.writeFile(d->tree.path("proc/self/mountinfo"), "");
    d->tree.writeFile(d->tree.path(MarkerFile), "");
    d->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    d->worker = std::thread([this] { d->run(); });
}

Line::~Line() {
    stop();
}

int Line::addRootHub(int ports, const std::string &product) {
    std::lock_guard<std::mutex> g(d->m);
    if (d->stopped || ports < 1 || ports > 31) return -1;
    int bus = d->nextBus++;
    std::string name = "usb" + std::to_string(bus);
    std::string iface = std::to_string(bus) + "-0:1.0";
    std::string staged = d->tree.stage();
    Impl::writeUsbAttrs(staged, bus, 1, LinuxVendor, RootHubProduct, "09", product);
    TreeWriter::writeAttr(staged, "maxchild", std::to_string(ports));
    d->addPorts(staged, iface, name, ports);
    std::string dir = d->tree.path("sys/bus/usb/devices/" + name);
    if (!d->tree.place(staged, dir)) {
        d->tree.remove(staged);
        return -1;
    }
    d->usedDevnum[bus].insert(1);
    d->nextDevnum[bus] = 2;
    d->plainNode(bus, 1);
    d->registerPorts(dir, iface, name, std::to_string(bus) + "-", bus, ports);
    d->emit("roothub " + name + " ports " + std::to_string(ports));
    return bus;
}

std::string Line::addHub(const std::string &portName, int ports, const std::string &product) {
    std::lock_guard<std::mutex> g(d->m);
    if (d->stopped || ports < 1 || ports > 15 || !d->portFree(portName)) return "";
    Impl::Port &port = d->ports[portName];
    int devnum = d->allocDevnum(port.bus);
    if (devnum < 0) return "";
    std::string iface = portName + ":1.0";
    std::string staged = d->tree.stage();
    Impl::writeUsbAttrs(staged, port.bus, devnum, HubVendor, HubProduct, "09", product);
    TreeWriter::writeAttr(staged, "maxchild", std::to_string(ports));
    d->addPorts(staged, iface, portName, ports);
    std::string dir = port.parentDir + "/" + portName;
    if (!d->tree.place(staged, dir)) {
        d->tree.remove(staged);
        d->usedDevnum[port.bus].erase(devnum);
        return "";
    }
    d->tree.link(dir, d->tree.path("sys/bus/usb/devices/" + portName));
    d->plainNode(port.bus, devnum);
    port.hub = true;
    d->registerPorts(dir, iface, portName, portName + ".", port.bus, ports);
    d->emit("hub " + portName + " ports " + std::to_string(ports));
    return portName;
}

int Line::plug(const std::string &portName, const DeviceSpec &devSpec) {
    std::lock_guard<std::mutex> g(d->m);
    if (d->stopped || !d->portFree(portName)) return -1;
    int id = d->nextId++;
    Impl::Device &dev = d->devices[id];
    dev.id = id;
    dev.devSpec = devSpec;
    dev.stage = devSpec.rom.stage;
    dev.stuck = devSpec.stuck;
    dev.port = portName;
    if (!d->appearRom(dev, d->ports[portName])) {
        d->devices.erase(id);
        return -1;
    }
    return id;
}

void Line::unplug(int id) {
    std::lock_guard<std::mutex> g(d->m);
    auto it = d->devices.find(id);
    if (it == d->devices.end()) return;
    Impl::Device &dev = it->second;
    if (dev.onBus) {
        d->disappear(dev, false);
    } else {
        auto p = d->ports.find(dev.port);
        if (p != d->ports.end() && p->second.occupant == id) p->second.occupant = 0;
        ++dev.incarnation;
    }
    if (dev.form != Form::Gone) d->emit("unplug " + std::to_string(id));
    dev.back = Impl::Back::None;
    d->setForm(dev, Form::Gone);
}

bool Line::moveTo(int id, const std::string &port) {
    std::lock_guard<std::mutex> g(d->m);
    auto it = d->devices.find(id);
    if (it == d->devices.end() || !d->portFree(port)) return false;
    Impl::Device &dev = it->second;
    if (dev.form == Form::Gone) return false;
    if (!dev.onBus) {
        if (dev.back == Impl::Back::Power) return false; // waits for its own port's power
        dev.port = port;
        return true;
    }
    Form was = dev.form;
    d->disappear(dev, false);
    dev.port = port;
    d->comeBack(dev, was);
    return dev.form == was;
}

RomDevice *Line::romDevice(int id) {
    std::lock_guard<std::mutex> g(d->m);
    auto it = d->devices.find(id);
    return it == d->devices.end() ? nullptr : it->second.rom.get();
}

RecoveryVolume *Line::recovery(int id) {
    std::lock_guard<std::mutex> g(d->m);
    auto it = d->devices.find(id);
    return it == d->devices.end() ? nullptr : it->second.vol.get();
}

std::string Line::volumeDir(int id) {
    std::lock_guard<std::mutex> g(d->m);
    auto it = d->devices.find(id);
    return it == d->devices.end() ? "" : it->second.volDir;
}

std::string Line::currentPort(int id) {
    std::lock_guard<std::mutex> g(d->m);
    auto it = d->devices.find(id);
    return it == d->devices.end() || !it->second.onBus ? "" : it->second.port;
}

Line::Form Line::form(int id) {
    std::lock_guard<std::mutex> g(d->m);
    auto it = d->devices.find(id);
    return it == d->devices.end() ? Form::Gone : it->second.form;
}

bool Line::waitForm(int id, Form want, int timeoutMs) {
    std::unique_lock<std::mutex> g(d->m);
    return d->formChanged.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] {
        auto it = d->devices.find(id);
        return (it == d->devices.end() ? Form::Gone : it->second.form) == want;
    });
}

std::string Line::root() const {
    return d->tree.root();
}

void Line::setEventSink(std::function<void(const std::string &)> sink) {
    std::lock_guard<std::mutex> g(d->m);
    d->sink = std::move(sink);
}

int Line::liveDevices() {
    std::lock_guard<std::mutex> g(d->m);
    int n = 0;
    for (const auto &dev : d->devices)
        if (dev.second.form != Form::Gone) ++n;
    return n;
}

void Line::stop() {
    if (!d) return;
    d->stopping = true;
    uint64_t one = 1;
    if (d->wakeFd >= 0) (void)!::write(d->wakeFd, &one, sizeof one);
    if (d->worker.joinable()) d->worker.join();
    std::vector<std::unique_ptr<RomDevice>> roms;
    std::vector<std::unique_ptr<RecoveryVolume>> vols;
    {
        std::lock_guard<std::mutex> g(d->m);
        if (!d->stopped) {
            d->stopped = true;
            for (auto &entry : d->devices) {
                Impl::Device &dev = entry.second;
                d->disappear(dev, false);
                d->setForm(dev, Form::Gone);
                if (dev.rom) roms.push_back(std::move(dev.rom));
                if (dev.vol) vols.push_back(std::move(dev.vol));
            }
        }
    }
    // Destroyed without the lock: their threads may be queueing an event.
    roms.clear();
    vols.clear();
    if (d->wakeFd >= 0) {
        ::close(d->wakeFd);
        d->wakeFd = -1;
    }
}

} // namespace vyrsim
