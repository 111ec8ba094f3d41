#include "usbdevice.h"

#include "sysroot.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

namespace hubsift {

const char kRomDeviceDescription[] = "Skelmar Device";
const char kMassStorageDescription[] = "USB Mass Storage Device";
const char kMassStorageDescriptionZh[] = "USB 大容量存储设备";
const char kHubDescription[] = "USB Hub";
const char kGenericDescription[] = "USB Device";

namespace {

bool startsWith(const std::string &s, const std::string &prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// The first interface of the device whose class is mass storage. Interface
// directories are named "<device>:<config>.<interface>".
std::string storageInterfaceOf(const std::string &dir, const std::string &name) {
    auto entries = listDirectory(dir);
    if (!entries) return std::string();
    const std::string prefix = name + ":";
    for (const auto &entry : *entries) {
        if (!startsWith(entry, prefix)) continue;
        std::string ifaceDir = dir + "/" + entry;
        auto cls = vyrsys::readAttrNumber(ifaceDir + "/bInterfaceClass", 16);
        if (cls && *cls == kMassStorageClass) return ifaceDir;
    }
    return std::string();
}

} // namespace

Description describe(const std::string &dir, const std::string &name, bool isHub) {
    Description d;
    auto vendor = vyrsys::readAttrNumber(dir + "/idVendor", 16);
    if (vendor && *vendor == kRomVendor) {
        auto product = vyrsys::readAttrNumber(dir + "/idProduct", 16);
        if (product && *product == kRomProduct) {
            d.text = kRomDeviceDescription;
            return d;
        }
    }
    d.storageInterface = storageInterfaceOf(dir, name);
    if (!d.storageInterface.empty()) {
        d.text = kMassStorageDescription;
        return d;
    }
    if (isHub) {
        d.text = kHubDescription;
        return d;
    }
    auto product = vyrsys::readAttr(dir + "/product");
    d.text = (product && !product->empty()) ? *product : std::string(kGenericDescription);
    return d;
}

std::optional<std::string> deviceNode(const std::string &dir, const std::string &devBase) {
    auto bus = vyrsys::readAttrNumber(dir + "/busnum");
    auto dev = vyrsys::readAttrNumber(dir + "/devnum");
    // Bus and device numbers are written with three digits; anything wider
    // is not a number the system hands out.
    if (!bus || !dev || *bus > 999 || *dev > 999) return std::nullopt;
    char tail[16];
    std::snprintf(tail, sizeof tail, "/%03lu/%03lu", *bus, *dev);
    return devBase + tail;
}

std::string findDisk(const std::string &interfaceDir) {
    auto hosts = listDirectory(interfaceDir);
    if (!hosts) return std::string();
    for (const auto &host : *hosts) {
        if (!startsWith(host, "host")) continue;
        const std::string hostDir = interfaceDir + "/" + host;
        auto targets = listDirectory(hostDir);
        if (!targets) continue;
        for (const auto &target : *targets) {
            if (!startsWith(target, "target")) continue;
            const std::string targetDir = hostDir + "/" + target;
            auto luns = listDirectory(targetDir);
            if (!luns) continue;
            for (const auto &lun : *luns) {
                auto disks = listDirectory(targetDir + "/" + lun + "/block");
                if (!disks) continue;
                for (const auto &disk : *disks)
                    if (disk[0] != '.') return disk;
            }
        }
    }
    return std::string();
}

std::optional<std::vector<std::string>> listDirectory(const std::string &dir) {
    DIR *d = ::opendir(dir.c_str());
    if (d == nullptr) return std::nullopt;
    std::vector<std::string> names;
    while (const dirent *e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        names.emplace_back(e->d_name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool pathExists(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

bool isDirectory(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace hubsift
