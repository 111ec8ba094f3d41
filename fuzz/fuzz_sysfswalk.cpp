// Sysfs walk: the input describes a USB tree in the line format of the test
// tree builder (root, hub, dev, set, unset, mount, mountline), built into a
// fresh system root for each input. Three more line kinds steer the calls:
//   scan <description>     list devices with that product text
//   ms <port path>         look up the volumes of the device on that port
//   need <vid> <pid>       count devices of that id without their driver
// Every port path a scan returns is looked up too. Lines that could write
// outside the system root (names with '/' or "..", odd disk names) or build
// huge trees are dropped before the builder sees them.
#include "fuzzscratch.h"
#include "hubsift.h"
#include "usbtreebuilder.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr size_t MaxLines = 48;
constexpr size_t MaxCalls = 4;

// Same splitting as the builder: blanks separate, double quotes group.
std::vector<std::string> tokens(const std::string &line) {
    std::vector<std::string> out;
    std::string cur;
    bool quoted = false, any = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (any) out.push_back(cur);
            cur.clear();
            any = false;
        } else {
            cur += c;
            any = true;
        }
    }
    if (any) out.push_back(cur);
    return out;
}

// Up to maxDigits decimal digits, at least one.
bool digits(const std::string &s, size_t from, size_t to, size_t maxDigits) {
    if (to <= from || to - from > maxDigits) return false;
    for (size_t i = from; i < to; ++i)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

bool busNumber(const std::string &s) {
    return digits(s, 0, s.size(), 3);
}

// <bus>-<port>[.<port>]..., at most seven ports deep, ports of two digits.
bool deviceName(const std::string &s) {
    const size_t dash = s.find('-');
    if (dash == std::string::npos || !digits(s, 0, dash, 3)) return false;
    size_t from = dash + 1;
    for (int depth = 0; depth < 7; ++depth) {
        const size_t dot = std::min(s.find('.', from), s.size());
        if (!digits(s, from, dot, 2)) return false;
        if (dot == s.size()) return true;
        from = dot + 1;
    }
    return false;
}

bool anyName(const std::string &s) {
    return deviceName(s) || (s.compare(0, 3, "usb") == 0 && digits(s, 3, s.size(), 3));
}

bool diskName(const std::string &s) {
    if (s.empty() || s.size() > 4) return false;
    for (char c : s)
        if (c < 'a' || c > 'z') return false;
    return true;
}

// Options whose values become paths or loop counts are held to safe shapes;
// the rest only become file contents.
bool safeOptions(const std::vector<std::string> &t, size_t from) {
    for (size_t i = from; i < t.size(); ++i) {
        const size_t eq = t[i].find('=');
        if (eq == std::string::npos) return false;
        const std::string key = t[i].substr(0, eq), value = t[i].substr(eq + 1);
        if (key == "disk" && !diskName(value)) return false;
        if ((key == "parts" || key == "ports") && !digits(value, 0, value.size(), 2)) return false;
        if (key == "parts" && std::atoi(value.c_str()) > 4) return false;
    }
    return true;
}

bool safeForBuilder(const std::vector<std::string> &t) {
    const std::string &kind = t[0];
    if (kind == "root") return t.size() >= 2 && busNumber(t[1]) && safeOptions(t, 2);
    if (kind == "hub" || kind == "dev")
        return t.size() >= 2 && deviceName(t[1]) && safeOptions(t, 2);
    if (kind == "set" || kind == "unset")
        return t.size() >= 3 && anyName(t[1]) && !t[2].empty() &&
               t[2].find('/') == std::string::npos && t[2] != "." && t[2] != "..";
    if (kind == "mount") return t.size() >= 3;
    return kind == "mountline";
}

void checkSlots(char buffers[8][256], int found) {
    if (found < -1 || found > 8) std::abort();
    for (int k = 0; k < 8; ++k)
        if (::strnlen(buffers[k], 256) == 256) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzscratch::quietLogs();
    // Trees are built and removed thousands of times: keep them in memory.
    static const bool inMemory = ::setenv("TMPDIR", fuzzscratch::dir().c_str(), 1) == 0;
    (void)inMemory;
    const std::string text(reinterpret_cast<const char *>(data), size);
    if (text.find('\0') != std::string::npos) return 0;

    std::vector<std::string> descriptions{"Skelmar Device"}, portPaths;
    std::vector<std::pair<unsigned, unsigned>> ids{{0x1b8e, 0xc003}};
    UsbTreeBuilder tree;
    std::istringstream in(text);
    std::string line;
    for (size_t n = 0; n < MaxLines && std::getline(in, line); ++n) {
        // The builder cuts comments off before splitting; judge what it will see.
        const size_t hash = line.find('#');
        if (line.compare(0, 9, "mountline") != 0 && hash != std::string::npos) line.resize(hash);
        const std::vector<std::string> t = tokens(line);
        if (t.empty()) continue;
        if (t[0] == "scan" && t.size() >= 2 && descriptions.size() < MaxCalls) {
            descriptions.push_back(line.substr(line.find("scan") + 5));
        } else if (t[0] == "ms" && t.size() >= 2 && portPaths.size() < MaxCalls) {
            portPaths.push_back(line.substr(line.find("ms") + 3));
        } else if (t[0] == "need" && t.size() >= 3 && ids.size() < MaxCalls) {
            ids.emplace_back(std::strtoul(t[1].c_str(), nullptr, 16),
                             std::strtoul(t[2].c_str(), nullptr, 16));
        } else if (safeForBuilder(t)) {
            try {
                tree.apply(line);
            } catch (const std::exception &) {
                // A line the builder cannot place (unknown parent, bad option):
                // the tree simply lacks it.
            }
        }
    }

    char drive[PATH_MAX];
    for (const std::string &d : descriptions) {
        char buffers[8][256] = {};
        char *slots[8];
        for (int k = 0; k < 8; ++k)
            slots[k] = buffers[k];
        const int found = VyrScanUsbX3Devices(d.c_str(), slots);
        checkSlots(buffers, found);
        for (int k = 0; k < found && portPaths.size() < 2 * MaxCalls; ++k)
            portPaths.emplace_back(buffers[k]);
    }
    for (const std::string &p : portPaths) {
        for (int mode = 0; mode <= 1; ++mode) {
            std::memset(drive, 0, sizeof drive);
            (void)VyrGetMsNumber(p.c_str(), mode, drive);
            if (::strnlen(drive, sizeof drive) == sizeof drive) std::abort();
        }
    }
    for (const auto &id : ids)
        (void)VyrGetNeedDriver(id.first, id.second);
    return 0;
}
