// The virtual line's tree against trees recorded from a real kernel: a qemu
// guest with qemu-xhci, an 8-port hub on root port 1 and eight devices of the
// line on its ports, served over usb-redir (tests/data/usbscan/kernel-*.sysfs,
// written by tests/kernel/dump-sysfs.sh in the kernel line). Where the scan
// looks, the virtual tree must have the same directories and attribute files,
// with values of the same form.
#include "line.h"
#include "linetestutil.h"
#include "sysroot.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <cstdio>
#include <string>

namespace {

namespace fs = std::filesystem;
using Tree = std::map<std::string, std::string>; // path below the bus's devices directory -> value

const std::set<std::string> &scannedFiles() {
    static const std::set<std::string> names{
        "bDeviceClass", "idVendor",        "idProduct", "product", "maxchild",  "busnum",
        "devnum",       "bInterfaceClass", "removable", "dev",     "partition", "disable"};
    return names;
}

// Left out on both sides: power management and the SCSI generic nodes (bsg),
// which the scan never reads.
bool skippedDirectory(const std::string &name) {
    return name == "power" || name == "bsg";
}

// A recovery disk is recorded as the kernel line serves it, one FAT file
// system on the whole disk; the virtual line gives its disk a partition, the
// other form a real disk takes. Partitions are compared by the scan's own
// tests, not here.
bool partitionEntry(const std::string &path) {
    static const std::regex partition("/block/sd[a-z]+/sd[a-z]+[0-9]+/");
    return std::regex_search(path, partition);
}

Tree loadRecorded(const std::string &name) {
    Tree t;
    std::ifstream in(std::string(USBSCAN_DATA) + "/" + name);
    std::string line;
    while (std::getline(in, line)) {
        size_t sp = line.find(' ');
        if (sp == std::string::npos) continue;
        const std::string path = line.substr(0, sp);
        if (path.find("/bsg/") != std::string::npos || path.find("/power/") != std::string::npos)
            continue;
        t[path] = line.substr(sp + 1);
    }
    return t;
}

// The virtual tree, walked as the recording was: usb1 and everything below it
// as nested directories, links not followed, power/ left out.
Tree walkVirtual(const std::string &root) {
    Tree t;
    const fs::path base = fs::path(root) / "sys/bus/usb/devices";
    for (auto it = fs::recursive_directory_iterator(base / "usb1");
         it != fs::recursive_directory_iterator(); ++it) {
        if (it->is_symlink()) {
            it.disable_recursion_pending();
            continue;
        }
        const std::string name = it->path().filename();
        if (it->is_directory() && skippedDirectory(name)) it.disable_recursion_pending();
        if (!it->is_regular_file() || !scannedFiles().count(name)) continue;
        if (partitionEntry(it->path().string())) continue;
        std::ifstream in(it->path());
        std::string value;
        std::getline(in, value);
        t[fs::relative(it->path(), base)] = value;
    }
    return t;
}

// Which part of the line a path belongs to, and the path with the numbers
// that differ from run to run (SCSI host, disk letter, device on the hub)
// taken out.
struct Shape {
    std::set<std::string> root, hub, rom, storage;
};

std::string valueForm(const std::string &file, const std::string &v) {
    static const std::regex hex4("[0-9a-f]{4}"), number("[0-9]+"), devno("[0-9]+:[0-9]+");
    if (file == "idVendor" || file == "idProduct") {
        if (v == "1b8e" || v == "c003" || v == "c004") return v;
        return std::regex_match(v, hex4) ? "hex4" : "bad:" + v;
    }
    if (file == "busnum" || file == "devnum" || file == "partition")
        return std::regex_match(v, number) ? "number" : "bad:" + v;
    if (file == "dev") return std::regex_match(v, devno) ? "major:minor" : "bad:" + v;
    if (file == "product") return v.empty() ? "empty" : "text";
    return v; // bDeviceClass, bInterfaceClass, maxchild, removable, disable: exact
}

Shape shapeOf(const Tree &t) {
    static const std::regex device("usb1/1-1/(1-1\\.[1-8])(/.*)");
    Shape s;
    for (const auto &[path, value] : t) {
        std::string p = path;
        p = std::regex_replace(p, std::regex("host[0-9]+"), "host#");
        p = std::regex_replace(p, std::regex("target[0-9]+:"), "target#:");
        p = std::regex_replace(p, std::regex("/[0-9]+:0:0:0/"), "/#:0:0:0/");
        p = std::regex_replace(p, std::regex("/sd[a-z]+"), "/sdX");
        const std::string file = p.substr(p.rfind('/') + 1);
        std::smatch m;
        if (std::regex_match(p, m, device)) {
            const std::string dev = m[1];
            auto product = t.find("usb1/1-1/" + dev + "/idProduct");
            std::string rest = std::regex_replace(std::string(m[2]), std::regex(dev), "D");
            std::string entry = "D" + rest + " " + valueForm(file, value);
            if (product != t.end() && product->second == "c004")
                s.storage.insert(entry);
            else
                s.rom.insert(entry);
        } else if (p.rfind("usb1/1-1/", 0) == 0 || p == "usb1/1-1") {
            s.hub.insert(p + " " + valueForm(file, value));
        } else {
            s.root.insert(p + " " + valueForm(file, value));
        }
    }
    return s;
}

std::string difference(const std::set<std::string> &want, const std::set<std::string> &have) {
    std::ostringstream out;
    for (const auto &e : want)
        if (!have.count(e)) out << "  missing: " << e << "\n";
    for (const auto &e : have)
        if (!want.count(e)) out << "  extra:   " << e << "\n";
    return out.str();
}

class TreeShape : public ::testing::Test {
  protected:
    void SetUp() override {
        line.addRootHub(4);
        ASSERT_EQ(line.addHub("1-1", 8, "QEMU USB Hub"), "1-1");
    }
    linetest::ScratchRoot root;
    vyrsim::Line line{root.path};
};

TEST_F(TreeShape, EightRomDevicesOnAHubAsAKernelShowsThem) {
    for (int k = 1; k <= 8; ++k)
        ASSERT_GT(line.plug("1-1." + std::to_string(k), {}), 0);
    const Tree recorded = loadRecorded("kernel-eight-rom.sysfs");
    ASSERT_FALSE(recorded.empty());
    const Shape real = shapeOf(recorded), virt = shapeOf(walkVirtual(root.path));
    EXPECT_EQ(difference(real.root, virt.root), "");
    EXPECT_EQ(difference(real.hub, virt.hub), "");
    EXPECT_EQ(difference(real.rom, virt.rom), "");
}

TEST_F(TreeShape, RecoveryDiskAsAKernelShowsIt) {
    vyrsim::DeviceSpec devSpec;
    devSpec.rom.stage = vyrsim::StageBootLoader;
    devSpec.bootMs = 20;
    int id = line.plug("1-1.2", devSpec);
    ASSERT_GT(id, 0);
    const std::string dev = root / "sys/bus/usb/devices/usb1/1-1/1-1.2";
    auto bus = vyrsys::readAttrNumber(dev + "/busnum"),
         num = vyrsys::readAttrNumber(dev + "/devnum");
    ASSERT_TRUE(bus && num);
    char node[32];
    std::snprintf(node, sizeof node, "dev/bus/usb/%03lu/%03lu", *bus, *num);
    int fd = linetest::connectTo(root / node);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(linetest::textCommand(fd, "bootm"), 64);
    ::close(fd);
    ASSERT_TRUE(line.waitForm(id, vyrsim::Line::Form::MassStorage, 3000));
    const Tree recorded = loadRecorded("kernel-mass-storage.sysfs");
    const Shape real = shapeOf(recorded), virt = shapeOf(walkVirtual(root.path));
    ASSERT_FALSE(real.storage.empty());
    EXPECT_EQ(difference(real.storage, virt.storage), "");
}

} // namespace
