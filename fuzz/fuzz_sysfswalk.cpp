// Sysfs walk: the input describes a USB tree in the line format of the test
// tree builder (root, hub, dev, set, unset, mount, mountline), built into a
// fresh system root for each input. Three more line kinds steer the calls:
//   scan <description>     list devices with that product text
//   ms <port path>         look up the volumes of the device on that port
//   need <vid> <pid>       count devices of that id without their driver
// Every port path a scan returns is looked up too. Every other line goes to
// the builder, which refuses lines too short for their kind and names that
// would reach outside the tree; only disks of many partitions are dropped
// here, to keep the trees small.
#include "fuzzscratch.h"
#include "hubsift.h"
#include "usbtreebuilder.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr size_t MaxLines = 48;
constexpr size_t MaxCalls = 4;

// Disks of many partitions make big trees and reach no new paths.
bool cheap(const std::vector<std::string> &t) {
    for (size_t i = 1; i < t.size(); ++i)
        if (t[i].compare(0, 6, "parts=") == 0 && std::atoi(t[i].c_str() + 6) > 4) return false;
    return true;
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
        const std::vector<std::string> t = UsbTreeBuilder::split(line);
        if (t.empty()) continue;
        if (t[0] == "scan" && t.size() >= 2 && descriptions.size() < MaxCalls) {
            descriptions.push_back(line.substr(line.find("scan") + 5));
        } else if (t[0] == "ms" && t.size() >= 2 && portPaths.size() < MaxCalls) {
            portPaths.push_back(line.substr(line.find("ms") + 3));
        } else if (t[0] == "need" && t.size() >= 3 && ids.size() < MaxCalls) {
            ids.emplace_back(std::strtoul(t[1].c_str(), nullptr, 16),
                             std::strtoul(t[2].c_str(), nullptr, 16));
        } else if (cheap(t)) {
            try {
                tree.apply(line);
            } catch (const std::exception &) {
                // A line the builder refuses (too short, a bad name, unknown
                // parent or option): the tree simply lacks it.
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
