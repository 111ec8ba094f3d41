#include "scenario.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

namespace vyrsim {

namespace {

std::string trim(const std::string &s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

std::string lower(std::string s) {
    for (char &c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
}

bool parseLong(const std::string &text, long long lo, long long hi, long long &out) {
    if (text.empty()) return false;
    errno = 0;
    char *end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 0);
    if (errno || *end || v < lo || v > hi) return false;
    out = v;
    return true;
}

bool parseInt(const std::string &text, int lo, int hi, int &out) {
    long long v;
    if (!parseLong(text, lo, hi, v)) return false;
    out = int(v);
    return true;
}

bool parseBool(const std::string &text, bool &out) {
    std::string t = lower(text);
    if (t == "yes" || t == "true" || t == "1" || t == "on") {
        out = true;
        return true;
    }
    if (t == "no" || t == "false" || t == "0" || t == "off") {
        out = false;
        return true;
    }
    return false;
}

// "1-3", "1-2.4": a bus number, a dash, then port numbers joined by dots.
bool validPortName(const std::string &name) {
    size_t dash = name.find('-');
    if (dash == 0 || dash == std::string::npos || dash + 1 >= name.size()) return false;
    for (size_t i = 0; i < dash; ++i)
        if (name[i] < '0' || name[i] > '9') return false;
    bool digit = false;
    for (size_t i = dash + 1; i < name.size(); ++i) {
        if (name[i] == '.') {
            if (!digit) return false;
            digit = false;
        } else if (name[i] >= '0' && name[i] <= '9') {
            digit = true;
        } else {
            return false;
        }
    }
    return digit;
}

const std::map<std::string, RequestKind> &requestKinds() {
    static const std::map<std::string, RequestKind> kinds = {
        {"identify", RequestKind::Identify},
        {"read-mem", RequestKind::ReadMem},
        {"write-mem", RequestKind::WriteMem},
        {"run", RequestKind::Run},
        {"large-write", RequestKind::LargeWrite},
        {"large-read", RequestKind::LargeRead},
        {"tpl-cmd", RequestKind::TplCmd},
        {"tpl-status", RequestKind::TplStatus},
        {"bulk-out", RequestKind::BulkOut},
        {"bulk-in", RequestKind::BulkIn},
        {"reset", RequestKind::Reset}};
    return kinds;
}

const std::map<std::string, Fault> &faultKinds() {
    static const std::map<std::string, Fault> kinds = {{"stall", Fault::Stall},
                                                       {"timeout", Fault::Timeout},
                                                       {"no-reply", Fault::NoReply},
                                                       {"drop", Fault::Drop},
                                                       {"freeze", Fault::Freeze}};
    return kinds;
}

// "<request> <fault> [count [skip]]"
bool parseFault(const std::string &text, ScenarioFault &out, std::string &why) {
    std::istringstream in(text);
    std::string kind, fault, count, skip, extra;
    in >> kind >> fault >> count >> skip >> extra;
    auto k = requestKinds().find(lower(kind));
    if (k == requestKinds().end()) {
        why = "unknown request '" + kind + "'";
        return false;
    }
    auto f = faultKinds().find(lower(fault));
    if (f == faultKinds().end()) {
        why = "unknown fault '" + fault + "'";
        return false;
    }
    out.kind = k->second;
    out.fault = f->second;
    if (!count.empty() && !parseInt(count, -1, INT_MAX, out.count)) {
        why = "bad fault count '" + count + "'";
        return false;
    }
    if (!skip.empty() && !parseInt(skip, 0, INT_MAX, out.skip)) {
        why = "bad fault skip '" + skip + "'";
        return false;
    }
    if (!extra.empty()) {
        why = "too many words in fault";
        return false;
    }
    return true;
}

using Setter = std::function<bool(ScenarioDevice &, const std::string &, std::string &)>;

Setter intKey(int ScenarioDevice::*field, int lo) {
    return [field, lo](ScenarioDevice &d, const std::string &v, std::string &why) {
        if (parseInt(v, lo, INT_MAX, d.*field)) return true;
        why = "bad number '" + v + "'";
        return false;
    };
}

template <class F> Setter intIn(F get, int lo, int hi = INT_MAX) {
    return [get, lo, hi](ScenarioDevice &d, const std::string &v, std::string &why) {
        if (parseInt(v, lo, hi, get(d))) return true;
        why = "bad number '" + v + "'";
        return false;
    };
}

template <class F> Setter boolIn(F get) {
    return [get](ScenarioDevice &d, const std::string &v, std::string &why) {
        if (parseBool(v, get(d))) return true;
        why = "expected yes or no, not '" + v + "'";
        return false;
    };
}

template <class F> Setter textIn(F get) {
    return [get](ScenarioDevice &d, const std::string &v, std::string &) {
        get(d) = v;
        return true;
    };
}

const std::map<std::string, Setter> &deviceKeys() {
    using D = ScenarioDevice;
    static const std::map<std::string, Setter> keys = {
        {"port",
         [](D &d, const std::string &v, std::string &why) {
             if (!validPortName(v)) {
                 why = "bad port name '" + v + "'";
                 return false;
             }
             d.port = v;
             return true;
         }},
        {"plug", intKey(&D::plugMs, 0)},
        {"unplug", intKey(&D::unplugMs, 0)},
        {"stage",
         [](D &d, const std::string &v, std::string &why) {
             int s;
             if (!parseInt(v, 0, 255, s) ||
                 (s != StageRom && s != StageFirstLoader && s != StageBootLoader)) {
                 why = "stage must be 0, 8 or 16, not '" + v + "'";
                 return false;
             }
             d.devSpec.rom.stage = s;
             return true;
         }},
        {"run-delay", intIn([](D &d) -> int & { return d.devSpec.rom.runDelayMs; }, 0)},
        {"leave-on-run", boolIn([](D &d) -> bool & { return d.devSpec.rom.leaveOnRun; })},
        {"command-delay", intIn([](D &d) -> int & { return d.devSpec.rom.commandDelayMs; }, 0)},
        {"boot", intIn([](D &d) -> int & { return d.devSpec.bootMs; }, 0)},
        {"reenumerate-port",
         [](D &d, const std::string &v, std::string &why) {
             if (!validPortName(v)) {
                 why = "bad port name '" + v + "'";
                 return false;
             }
             d.devSpec.reenumeratePort = v;
             return true;
         }},
        {"reenumerate", intIn([](D &d) -> int & { return d.devSpec.reenumerateMs; }, 0)},
        {"stuck", boolIn([](D &d) -> bool & { return d.devSpec.stuck; })},
        {"never-comes-back", boolIn([](D &d) -> bool & { return d.devSpec.neverComesBack; })},
        {"recovery-boot", intIn([](D &d) -> int & { return d.devSpec.recovery.bootMs; }, 0)},
        {"recovery-update", intIn([](D &d) -> int & { return d.devSpec.recovery.updateMs; }, 0)},
        {"recovery-command", intIn([](D &d) -> int & { return d.devSpec.recovery.commandMs; }, 0)},
        {"never-ready", boolIn([](D &d) -> bool & { return d.devSpec.recovery.neverReady; })},
        {"fail-command",
         textIn([](D &d) -> std::string & { return d.devSpec.recovery.failCommand; })},
        {"hang-command",
         textIn([](D &d) -> std::string & { return d.devSpec.recovery.hangCommand; })},
        {"vanish-volume", boolIn([](D &d) -> bool & { return d.devSpec.recovery.vanishVolume; })},
        {"scsi-errno", intIn([](D &d) -> int & { return d.devSpec.recovery.scsiErrno; }, 0, 4095)},
        {"scsi-error-count",
         intIn([](D &d) -> int & { return d.devSpec.recovery.scsiErrorCount; }, 0)},
        {"fault",
         [](D &d, const std::string &v, std::string &why) {
             ScenarioFault f;
             if (!parseFault(v, f, why)) return false;
             d.faults.push_back(f);
             return true;
         }},
        {"short-bulk",
         [](D &d, const std::string &v, std::string &why) {
             long long n;
             if (!parseLong(v, 0, UINT32_MAX, n)) {
                 why = "bad number '" + v + "'";
                 return false;
             }
             d.shortBulk = uint32_t(n);
             return true;
         }},
        {"zero-bulk", intKey(&D::zeroBulk, 0)},
        {"drop-after-bulk-bytes",
         [](D &d, const std::string &v, std::string &why) {
             if (parseLong(v, 0, LLONG_MAX, d.dropAfterBulkBytes)) return true;
             why = "bad number '" + v + "'";
             return false;
         }},
        {"corrupt-crc", boolIn([](D &d) -> bool & { return d.corruptCrc; })},
    };
    return keys;
}

// "N ..." -> ports and the rest of the line as text.
bool parseHub(const std::string &v, bool root, ScenarioHub &hub, std::string &why) {
    std::istringstream in(v);
    std::string first, second;
    in >> first;
    hub.rootHub = root;
    if (root) {
        if (!parseInt(first, 1, 31, hub.ports)) {
            why = "root hub needs a port count from 1 to 31, not '" + first + "'";
            return false;
        }
        std::string rest;
        std::getline(in, rest);
        rest = trim(rest);
        hub.product = rest.empty() ? "xHCI Host Controller" : rest;
        return true;
    }
    in >> second;
    std::string extra;
    if (!validPortName(first) || !parseInt(second, 1, 15, hub.ports) || (in >> extra)) {
        why = "hub needs '<port> <ports 1..15>', not '" + v + "'";
        return false;
    }
    hub.port = first;
    return true;
}

} // namespace

std::optional<Scenario> parseScenario(const std::string &text, std::string *error) {
    Scenario s;
    std::istringstream in(text);
    std::string raw;
    int lineNo = 0;
    enum { None, LineSection, DeviceSection } section = None;
    bool sawLine = false;
    std::set<std::string> names, keysSeen;
    auto fail = [&](const std::string &why) -> std::optional<Scenario> {
        if (error) *error = "line " + std::to_string(lineNo) + ": " + why;
        return std::nullopt;
    };
    while (std::getline(in, raw)) {
        ++lineNo;
        std::string l = trim(raw);
        if (l.empty() || l[0] == ';' || l[0] == '#') continue;
        if (l[0] == '[') {
            if (l.back() != ']') return fail("unterminated section header");
            std::string name = trim(l.substr(1, l.size() - 2));
            keysSeen.clear();
            if (name == "line") {
                if (sawLine) return fail("second [line] section");
                sawLine = true;
                section = LineSection;
            } else if (name.compare(0, 7, "device.") == 0 && name.size() > 7) {
                std::string n = name.substr(7);
                if (!names.insert(n).second) return fail("second [" + name + "] section");
                section = DeviceSection;
                s.devices.emplace_back();
                s.devices.back().name = n;
            } else {
                return fail("unknown section [" + name + "]");
            }
            continue;
        }
        size_t eq = l.find('=');
        if (eq == std::string::npos) return fail("expected 'key = value'");
        std::string key = lower(trim(l.substr(0, eq)));
        std::string value = trim(l.substr(eq + 1));
        std::string why;
        if (section == None) return fail("'" + key + "' outside a section");
        if (section == LineSection) {
            ScenarioHub hub;
            if (key != "roothub" && key != "hub")
                return fail("unknown key '" + key + "' in [line]");
            if (!parseHub(value, key == "roothub", hub, why)) return fail(why);
            if (!hub.rootHub && s.hubs.empty()) return fail("hub before any root hub");
            s.hubs.push_back(hub);
            continue;
        }
        auto setter = deviceKeys().find(key);
        if (setter == deviceKeys().end())
            return fail("unknown key '" + key + "' in [device." + s.devices.back().name + "]");
        if (key != "fault" && !keysSeen.insert(key).second)
            return fail("'" + key + "' given twice");
        if (!setter->second(s.devices.back(), value, why)) return fail(key + ": " + why);
    }
    lineNo = 0;
    if (!sawLine) return fail("no [line] section");
    bool anyRoot = false;
    for (const auto &h : s.hubs)
        anyRoot = anyRoot || h.rootHub;
    if (!anyRoot) return fail("[line] has no root hub");
    for (const auto &d : s.devices) {
        if (d.port.empty()) return fail("[device." + d.name + "] has no port");
        if (d.unplugMs >= 0 && d.unplugMs < d.plugMs)
            return fail("[device." + d.name + "] is unplugged before it is plugged");
    }
    return s;
}

std::optional<Scenario> loadScenario(const std::string &file, std::string *error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        if (error) *error = file + ": cannot read";
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::string why;
    auto s = parseScenario(text.str(), &why);
    if (!s && error) *error = file + ": " + why;
    return s;
}

Scenario eightScenario() {
    Scenario s;
    ScenarioHub root;
    root.rootHub = true;
    root.ports = 4;
    root.product = "xHCI Host Controller";
    s.hubs.push_back(root);
    ScenarioHub hub;
    hub.ports = 8;
    hub.port = "1-1";
    s.hubs.push_back(hub);
    for (int n = 1; n <= 8; ++n) {
        ScenarioDevice d;
        d.name = std::to_string(n);
        d.port = "1-1." + std::to_string(n);
        d.plugMs = 300 * (n - 1);
        d.devSpec.rom.runDelayMs = 200;
        d.devSpec.rom.commandDelayMs = 100;
        d.devSpec.bootMs = 2000;
        d.devSpec.recovery.bootMs = 1000;
        d.devSpec.recovery.updateMs = 3000;
        d.devSpec.recovery.commandMs = 500;
        s.devices.push_back(d);
    }
    return s;
}

void scaleScenario(Scenario &s, double factor) {
    auto scale = [factor](int &ms) {
        if (ms <= 0) return;
        double v = std::round(ms * factor);
        ms = v > INT_MAX ? INT_MAX : int(v);
    };
    for (auto &d : s.devices) {
        scale(d.plugMs);
        scale(d.unplugMs);
        scale(d.devSpec.rom.runDelayMs);
        scale(d.devSpec.rom.commandDelayMs);
        scale(d.devSpec.bootMs);
        scale(d.devSpec.reenumerateMs);
        scale(d.devSpec.recovery.bootMs);
        scale(d.devSpec.recovery.updateMs);
        scale(d.devSpec.recovery.commandMs);
    }
}

bool buildHubs(Line &line, const Scenario &s, std::string *error) {
    for (const auto &h : s.hubs) {
        if (h.rootHub) {
            if (line.addRootHub(h.ports, h.product) < 0) {
                if (error) *error = "cannot add a root hub";
                return false;
            }
        } else if (line.addHub(h.port, h.ports).empty()) {
            if (error) *error = "no free port " + h.port + " for a hub";
            return false;
        }
    }
    return true;
}

void applyFaults(RomDevice &rom, const ScenarioDevice &dev) {
    for (const auto &f : dev.faults)
        rom.injectFault(f.kind, f.fault, f.count, f.skip);
    if (dev.shortBulk) rom.setShortBulk(dev.shortBulk);
    if (dev.zeroBulk) rom.setZeroBulk(dev.zeroBulk);
    if (dev.dropAfterBulkBytes >= 0) rom.dropAfterBulkBytes(uint64_t(dev.dropAfterBulkBytes));
    if (dev.corruptCrc) rom.corruptRamCheck(true);
}

int plugDevice(Line &line, const ScenarioDevice &dev) {
    DeviceSpec devSpec = dev.devSpec;
    ScenarioDevice faults = dev;
    devSpec.setUp = [faults](RomDevice &rom) { applyFaults(rom, faults); };
    return line.plug(dev.port, devSpec);
}

} // namespace vyrsim
