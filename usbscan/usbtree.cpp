#include "usbtree.h"

#include "devicenode.h"
#include "portpath.h"
#include "sysroot.h"
#include "tracemoor.h"
#include "usbdevice.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace hubsift {

namespace {

// The hub descriptor counts its ports in one byte.
constexpr unsigned long kMaxHubPorts = 255;

struct Hub {
    std::string dir;         // its sysfs directory
    std::string childPrefix; // "1-" under root hub 1, "1-2." under hub 1-2
    std::string portDir;     // parent of its port directories: "<dir>/<hub>:1.0"
    std::string portName;    // port directories are portName + n: "usb1-port", "1-2-port"
};

Hub rootHub(const std::string &dir, unsigned bus) {
    const std::string b = std::to_string(bus);
    return Hub{dir, b + "-", dir + "/" + b + "-0:1.0", "usb" + b + "-port"};
}

Hub externalHub(const std::string &dir, const std::string &name) {
    return Hub{dir, name + ".", dir + "/" + name + ":1.0", name + "-port"};
}

bool isMassStorageSearch(const std::string &wanted) {
    return wanted == kMassStorageDescription || wanted == kMassStorageDescriptionZh;
}

bool writeAttr(const std::string &file, const char *value) {
    int fd = ::open(file.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    size_t len = std::char_traits<char>::length(value);
    ssize_t n;
    do {
        n = ::write(fd, value, len);
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    return n == ssize_t(len);
}

class Walk {
  public:
    explicit Walk(ScanRequest &req)
        : req_(req), devicesDir_(vyrsys::path("sys/bus/usb/devices")),
          devBase_(vyrsys::path("dev/bus/usb")) {}

    bool run() {
        auto entries = listDirectory(devicesDir_);
        if (!entries) {
            vyr_printf("没有找到主控类的设备\n");
            return false;
        }
        std::vector<std::pair<unsigned, std::string>> controllers;
        for (const auto &name : *entries) {
            if (name.size() <= 3 || name.compare(0, 3, "usb") != 0 || name.size() > 12) continue;
            if (name.find_first_not_of("0123456789", 3) != std::string::npos) continue;
            controllers.emplace_back(unsigned(std::strtoul(name.c_str() + 3, nullptr, 10)), name);
        }
        std::sort(controllers.begin(), controllers.end());
        for (const auto &c : controllers)
            if (!walkController(c.first, devicesDir_ + "/" + c.second)) return false;
        return true;
    }

  private:
    bool walkController(unsigned bus, const std::string &dir) {
        const std::string prefix =
            rootHubPrefix(controllerDescription(vyrsys::readAttr(dir + "/product"), bus));
        setTemplates(prefix);
        if (!isDirectory(dir)) {
            vyr_printf("获得主控的设备路径失败\n");
            return false;
        }
        return walkHub(rootHub(dir, bus), prefix);
    }

    bool walkHub(const Hub &hub, const std::string &prefix) {
        if (!isDirectory(hub.dir)) {
            vyr_printf("打开Hub失败");
            return false;
        }
        auto ports = vyrsys::readAttrNumber(hub.dir + "/maxchild");
        if (!ports || *ports > kMaxHubPorts) {
            vyr_printf("获得端口信息失败");
            return false;
        }
        for (unsigned n = 1; n <= *ports; ++n)
            if (!walkPort(hub, n, prefix)) return false;
        return true;
    }

    bool walkPort(const Hub &hub, unsigned n, const std::string &prefix) {
        const std::string name = hub.childPrefix + std::to_string(n);
        const std::string dir = hub.dir + "/" + name;
        struct stat st;
        if (::stat(dir.c_str(), &st) != 0) {
            if (errno == ENOENT) return true; // nothing connected
            vyr_printf("端口%d连接失败\n", int(n));
            return false;
        }
        auto deviceClass = vyrsys::readAttrNumber(dir + "/bDeviceClass", 16);
        if (!deviceClass) {
            if (!pathExists(dir)) return true; // unplugged while we looked
            vyr_printf("端口%d连接失败\n", int(n));
            return false;
        }
        auto port = portCharacter(n);
        if (!port) {
            vyr_printf("[Port%d] port number has no path character, device ignored\n", int(n));
            return true;
        }
        const bool isHub = *deviceClass == kHubClass;
        const Description desc = describe(dir, name, isHub);
        const std::string path = devicePath(prefix, *port);
        const bool wantedHere = desc.text == req_.wanted;

        if (wantedHere && req_.childId && !req_.foundFlag && !desc.storageInterface.empty() &&
            req_.wantedPath && path == req_.wantedPath) {
            std::string disk = findDisk(desc.storageInterface);
            if (disk.size() < kChildIdSize) *req_.childId = disk;
        }

        // Interface lookup: only a device whose node exists counts as present.
        bool lookupFailed = false;
        bool lookupYieldedWanted = false;
        auto node = deviceNode(dir, devBase_);
        if (node && pathExists(*node)) {
            if (wantedHere) {
                lookupYieldedWanted = true;
                record(path, *node, n);
            }
        } else if (!isDirectory(devBase_)) {
            vyr_printf("SetupDiGetClassDevs,没有找到\n");
            lookupFailed = true;
        }

        // Only a Vyrtek device's port is power-cycled: the station's group may
        // write no other port's disable file, and no other device is ours.
        if (wantedHere && !lookupYieldedWanted && !req_.foundFlag &&
            !isMassStorageSearch(req_.wanted) &&
            vyrsys::readAttrNumber(dir + "/idVendor", 16) == kRomVendor)
            cyclePort(hub, n);

        if (lookupFailed && !isHub) vyr_printf("[Port%d] DeviceConnected: 失败 \n", int(n));

        if (isHub) {
            const std::string hubPrefix = prefix + hubStep(*port);
            // A hub whose own prefix leaves no room for a device path could
            // name nothing below it.
            if (hubPrefix.size() + 5 > kMaxPathLength) {
                vyr_printf("[Port%d] hub too deep for a port path, not walked\n", int(n));
                return true;
            }
            setTemplates(hubPrefix);
            if (!walkHub(externalHub(dir, name), hubPrefix)) return false;
            setTemplates(prefix);
        }
        return true;
    }

    // A device with the wanted description and a present node.
    void record(const std::string &path, const std::string &node, unsigned n) {
        if (path.size() > kMaxPathLength) {
            vyr_printf("[Port%d] port path longer than %d characters, device ignored\n", int(n),
                       int(kMaxPathLength));
            return;
        }
        const bool hasSlot = req_.found < kSlotCount;
        if (hasSlot) storePath(req_.slots[req_.found], path);
        if (req_.wantedPath && path == req_.wantedPath) {
            if (req_.handleOut) {
                if (*req_.handleOut == 0) *req_.handleOut = openDeviceNode(node);
            } else if (req_.foundFlag) {
                *req_.foundFlag = 1;
            }
        }
        if (hasSlot)
            ++req_.found;
        else
            vyr_printf("[Port%d] more than %d devices, device not recorded\n", int(n), kSlotCount);
    }

    // Power-cycles port n so that a device that came up without its node
    // enumerates again.
    void cyclePort(const Hub &hub, unsigned n) {
        const std::string file = hub.portDir + "/" + hub.portName + std::to_string(n) + "/disable";
        if (!writeAttr(file, "1")) {
            vyr_printf("[Port%d] power-cycling the port failed\n", int(n));
            return;
        }
        // A port left disabled loses its device until someone enables it:
        // try the second half once more before giving up.
        if (!writeAttr(file, "0") && !writeAttr(file, "0"))
            vyr_printf("[Port%d] port left disabled, enabling it failed\n", int(n));
    }

    // Every slot not yet holding a device carries the prefix of the hub being
    // walked.
    void setTemplates(const std::string &prefix) {
        for (int k = req_.found; k < kSlotCount; ++k)
            storeTemplate(req_.slots[k], prefix);
    }

    static constexpr size_t kChildIdSize = 200; // bytes, terminating zero included

    ScanRequest &req_;
    const std::string devicesDir_;
    const std::string devBase_;
};

} // namespace

bool walkUsbTree(ScanRequest &req) {
    if (req.slots == nullptr) return false;
    return Walk(req).run();
}

} // namespace hubsift
