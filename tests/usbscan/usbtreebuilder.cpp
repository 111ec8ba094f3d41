#include "usbtreebuilder.h"

#include "tracemoor.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ftw.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

void makeDirs(const std::string &path) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at == path.size() || path[at] == '/') {
            std::string part = path.substr(0, at);
            if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
                throw std::runtime_error("mkdir " + part + ": " + std::strerror(errno));
        }
    }
}

void symlinkTo(const std::string &target, const std::string &link) {
    ::unlink(link.c_str());
    if (::symlink(target.c_str(), link.c_str()) != 0)
        throw std::runtime_error("symlink " + link + ": " + std::strerror(errno));
}

// A single path component: never empty, no '/', not "." or "..", so a name
// from a description cannot place anything outside the tree.
bool plainName(const std::string &s) {
    return !s.empty() && s.find('/') == std::string::npos && s != "." && s != "..";
}

std::map<std::string, std::string> options(const std::vector<std::string> &t, size_t from) {
    std::map<std::string, std::string> out;
    for (size_t i = from; i < t.size(); ++i) {
        size_t eq = t[i].find('=');
        if (eq == std::string::npos) throw std::runtime_error("bad option " + t[i]);
        out[t[i].substr(0, eq)] = t[i].substr(eq + 1);
    }
    return out;
}

std::string opt(std::map<std::string, std::string> &o, const std::string &key,
                const std::string &fallback) {
    auto it = o.find(key);
    return it == o.end() ? fallback : it->second;
}

// Sixteen minors per disk: the whole disk and at most fifteen partitions.
void checkDisk(std::map<std::string, std::string> &o) {
    auto it = o.find("disk");
    if (it == o.end()) return;
    if (!plainName(it->second) || std::atoi(opt(o, "parts", "1").c_str()) > 15)
        throw std::runtime_error("bad disk " + it->second);
}

int removeEntry(const char *path, const struct stat *, int, struct FTW *) {
    ::remove(path);
    return 0;
}

} // namespace

void writeFile(const std::string &path, const std::string &text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f) throw std::runtime_error("cannot write " + path);
    f << text;
}

std::string readWholeFile(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

LogCapture::LogCapture() {
    char tmpl[] = "/tmp/hubsift-log-XXXXXX";
    int fd = ::mkstemp(tmpl);
    if (fd >= 0) ::close(fd);
    path_ = tmpl;
    vyr_open_logfile(path_.c_str(), 1);
}

LogCapture::~LogCapture() {
    vyr_close_logfile();
    ::unlink(path_.c_str());
}

std::string LogCapture::text() const {
    return readWholeFile(path_);
}

std::string testDataPath(const std::string &name) {
    return std::string(USBSCAN_TEST_DATA) + "/" + name;
}

UsbTreeBuilder::UsbTreeBuilder(size_t padRootTo) {
    // TMPDIR lets a caller that builds many trees keep them in memory (tmpfs).
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/hubsift-tree-XXXXXX";
    if (::mkdtemp(&tmpl[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
    top_ = tmpl;
    root_ = top_;
    if (root_.size() < padRootTo) root_ += "/" + std::string(padRootTo - root_.size(), 'r');
    for (const char *d : {"sys/bus/usb/devices", "sys/class/block", "dev/bus/usb", "proc/self"})
        makeDirs(root_ + "/" + d);
    writeFile(root_ + "/proc/self/mountinfo", "");
    if (const char *r = std::getenv("PYREWICK_SYSROOT")) {
        hadRoot_ = true;
        previousRoot_ = r;
    }
    ::setenv("PYREWICK_SYSROOT", root_.c_str(), 1);
}

UsbTreeBuilder::~UsbTreeBuilder() {
    if (hadRoot_)
        ::setenv("PYREWICK_SYSROOT", previousRoot_.c_str(), 1);
    else
        ::unsetenv("PYREWICK_SYSROOT");
    ::nftw(top_.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::vector<std::string> UsbTreeBuilder::split(const std::string &line) {
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

void UsbTreeBuilder::load(const std::string &name) {
    std::string text = readWholeFile(testDataPath(name));
    if (text.empty()) throw std::runtime_error("no test data " + name);
    apply(text);
}

void UsbTreeBuilder::apply(const std::string &description) {
    std::istringstream in(description);
    std::string line;
    while (std::getline(in, line)) {
        size_t hash = line.find('#');
        if (line.compare(0, 9, "mountline") != 0 && hash != std::string::npos) line.resize(hash);
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        applyLine(line);
    }
}

std::string UsbTreeBuilder::deviceDir(const std::string &name) const {
    return dirs_.at(name);
}

std::string UsbTreeBuilder::nodePath(const std::string &name) const {
    return nodes_.at(name);
}

std::string UsbTreeBuilder::disableFile(const std::string &hub, int port) const {
    const std::string dir = dirs_.at(hub);
    if (hub.compare(0, 3, "usb") == 0) {
        const std::string bus = hub.substr(3);
        return dir + "/" + bus + "-0:1.0/" + hub + "-port" + std::to_string(port) + "/disable";
    }
    return dir + "/" + hub + ":1.0/" + hub + "-port" + std::to_string(port) + "/disable";
}

int UsbTreeBuilder::listenOnNode(const std::string &name) {
    const std::string node = nodePath(name);
    const size_t slash = node.rfind('/');
    const std::string dir = node.substr(0, slash), base = node.substr(slash + 1);
    ::unlink(node.c_str());
    // Bound by its short name from inside its directory, so deep roots work.
    int here = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (here < 0 || ::chdir(dir.c_str()) != 0) throw std::runtime_error("cannot enter " + dir);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, base.c_str());
    bool ok =
        ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 && ::listen(fd, 8) == 0;
    if (::fchdir(here) != 0) ok = false;
    ::close(here);
    if (!ok) throw std::runtime_error("cannot listen on " + node);
    return fd;
}

void UsbTreeBuilder::makeHubPorts(const std::string &dir, const std::string &portDir,
                                  const std::string &portName, int ports) {
    makeDirs(dir + "/" + portDir);
    writeFile(dir + "/" + portDir + "/bInterfaceClass", "09\n");
    for (int k = 1; k <= ports && k <= 16; ++k) {
        const std::string p = dir + "/" + portDir + "/" + portName + std::to_string(k);
        makeDirs(p);
        writeFile(p + "/disable", "");
    }
}

std::string UsbTreeBuilder::makeDevice(const std::string &name,
                                       std::map<std::string, std::string> &o) {
    size_t dash = name.find('-');
    if (dash == std::string::npos) throw std::runtime_error("bad device name " + name);
    int bus = std::atoi(name.c_str());
    size_t dot = name.rfind('.');
    std::string parent =
        dot == std::string::npos ? "usb" + std::to_string(bus) : name.substr(0, dot);
    const std::string dir = dirs_.at(parent) + "/" + name;
    makeDirs(dir);
    symlinkTo(dir, root_ + "/sys/bus/usb/devices/" + name);
    dirs_[name] = dir;

    int devnum = nextDevnum_[bus]++;
    writeFile(dir + "/idVendor", opt(o, "vid", "1b8e") + "\n");
    writeFile(dir + "/idProduct", opt(o, "pid", "c003") + "\n");
    writeFile(dir + "/bDeviceClass", opt(o, "class", "00") + "\n");
    writeFile(dir + "/busnum", std::to_string(bus) + "\n");
    writeFile(dir + "/devnum", std::to_string(devnum) + "\n");
    if (o.count("product")) writeFile(dir + "/product", o["product"] + "\n");

    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", bus, devnum);
    nodes_[name] = root_ + node;
    std::string nodeKind = opt(o, "node", "file");
    if (nodeKind == "file") {
        const std::string full = root_ + node;
        makeDirs(full.substr(0, full.rfind('/')));
        writeFile(full, "");
    } else if (nodeKind != "none") {
        throw std::runtime_error("bad node kind " + nodeKind);
    }
    if (o.count("disk")) makeDisk(dir + "/" + name + ":1.0", o);
    return dir;
}

void UsbTreeBuilder::makeDisk(const std::string &ifaceDir, std::map<std::string, std::string> &o) {
    const std::string disk = o["disk"];
    const int parts = std::atoi(opt(o, "parts", "1").c_str());
    makeDirs(ifaceDir);
    writeFile(ifaceDir + "/bInterfaceClass", "08\n");
    const std::string blockDir = ifaceDir + "/host0/target0:0:0/0:0:0:0/block/" + disk;
    const int minor = 16 * (disk.back() - 'a');
    const bool link = opt(o, "blocklink", "yes") == "yes";
    std::vector<std::string> dirs{blockDir};
    if (!link) dirs.push_back(root_ + "/sys/class/block/" + disk);
    for (const auto &d : dirs) {
        makeDirs(d);
        writeFile(d + "/dev", "8:" + std::to_string(minor) + "\n");
        writeFile(d + "/removable", opt(o, "removable", "1") + "\n");
        for (int k = 1; k <= parts; ++k) {
            const std::string p = d + "/" + disk + std::to_string(k);
            makeDirs(p);
            writeFile(p + "/dev", "8:" + std::to_string(minor + k) + "\n");
            writeFile(p + "/partition", std::to_string(k) + "\n");
        }
    }
    if (link) {
        symlinkTo(blockDir, root_ + "/sys/class/block/" + disk);
        for (int k = 1; k <= parts; ++k)
            symlinkTo(blockDir + "/" + disk + std::to_string(k),
                      root_ + "/sys/class/block/" + disk + std::to_string(k));
    }
}

void UsbTreeBuilder::applyLine(const std::string &line) {
    const std::vector<std::string> t = split(line);
    const std::string &kind = t[0];
    const size_t needed = kind == "root" || kind == "hub" || kind == "dev"      ? 2
                          : kind == "set" || kind == "unset" || kind == "mount" ? 3
                                                                                : 1;
    if (t.size() < needed) throw std::runtime_error("short tree line: " + line);
    if (kind != "mount" && kind != "mountline") {
        // Names become path components below the tree.
        for (size_t i = 1; i < std::min<size_t>(needed, 3); ++i)
            if (!plainName(t[i])) throw std::runtime_error("bad name in tree line: " + line);
    }
    if (kind == "root") {
        auto o = options(t, 2);
        const std::string bus = t[1];
        const std::string dir = root_ + "/sys/bus/usb/devices/usb" + bus;
        makeDirs(dir);
        dirs_["usb" + bus] = dir;
        nextDevnum_[std::atoi(bus.c_str())] = 2;
        writeFile(dir + "/product", opt(o, "product", "xHCI Host Controller") + "\n");
        writeFile(dir + "/maxchild", opt(o, "ports", "4") + "\n");
        writeFile(dir + "/bDeviceClass", "09\n");
        writeFile(dir + "/idVendor", "1d6b\n");
        writeFile(dir + "/idProduct", "0002\n");
        writeFile(dir + "/busnum", bus + "\n");
        writeFile(dir + "/devnum", "1\n");
        char node[64];
        std::snprintf(node, sizeof node, "/dev/bus/usb/%03d", std::atoi(bus.c_str()));
        makeDirs(root_ + node);
        writeFile(root_ + node + "/001", "");
        makeHubPorts(dir, bus + "-0:1.0", "usb" + bus + "-port",
                     std::atoi(opt(o, "ports", "4").c_str()));
    } else if (kind == "hub" || kind == "dev") {
        auto o = options(t, 2);
        if (kind == "hub") {
            o["class"] = "09";
            if (!o.count("vid")) o["vid"] = "05e3";
            if (!o.count("pid")) o["pid"] = "0610";
        }
        checkDisk(o);
        const std::string dir = makeDevice(t[1], o);
        if (kind == "hub") {
            writeFile(dir + "/maxchild", opt(o, "ports", "4") + "\n");
            makeHubPorts(dir, t[1] + ":1.0", t[1] + "-port",
                         std::atoi(opt(o, "ports", "4").c_str()));
        }
    } else if (kind == "set") {
        writeFile(dirs_.at(t[1]) + "/" + t[2], (t.size() > 3 ? t[3] : std::string()) + "\n");
    } else if (kind == "unset") {
        ::unlink((dirs_.at(t[1]) + "/" + t[2]).c_str());
    } else if (kind == "mount" || kind == "mountline") {
        static int id = 20;
        std::string text = kind == "mount" ? std::to_string(id++) + " 1 " + t[1] + " / " + t[2] +
                                                 " rw,relatime - vfat /dev/sdx rw"
                                           : line.substr(line.find(' ') + 1);
        std::ofstream f(root_ + "/proc/self/mountinfo", std::ios::app);
        f << text << "\n";
    } else {
        throw std::runtime_error("unknown tree line: " + line);
    }
}
