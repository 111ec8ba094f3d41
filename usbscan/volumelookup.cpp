// Finding the volume of a device in its mass-storage form by port path.
#include "hubsift.h"

#include "portpath.h"
#include "sysroot.h"
#include "tracemoor.h"
#include "usbdevice.h"
#include "usbtree.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>
#include <vector>

using namespace hubsift;

namespace {

struct DeviceNumber {
    unsigned major = 0;
    unsigned minor = 0;
    bool operator==(const DeviceNumber &o) const { return major == o.major && minor == o.minor; }
};

// "major:minor" as a block device's dev attribute holds it.
bool parseDeviceNumber(const std::string &text, DeviceNumber &out) {
    size_t colon = text.find(':');
    if (colon == 0 || colon == std::string::npos || colon + 1 == text.size()) return false;
    if (text.find_first_not_of("0123456789:") != std::string::npos) return false;
    if (text.find(':', colon + 1) != std::string::npos) return false;
    if (colon > 9 || text.size() - colon - 1 > 9) return false;
    out.major = unsigned(std::stoul(text.substr(0, colon)));
    out.minor = unsigned(std::stoul(text.substr(colon + 1)));
    return true;
}

// A partition of disk "sdb" is "sdb<k>"; of a disk whose name ends in a digit,
// "<disk>p<k>".
bool isPartitionName(const std::string &disk, const std::string &name) {
    if (name.size() <= disk.size() || name.compare(0, disk.size(), disk) != 0) return false;
    size_t at = disk.size();
    if (name[at] == 'p') ++at;
    return at < name.size() && name.find_first_not_of("0123456789", at) == std::string::npos;
}

// The volumes of the disk: count the mount-table lines whose device is the
// disk or one of its partitions, in file order; the drive buffer gets the
// last one's mount point under the system root.
int lookUpDrives(const std::string &diskDir, const std::string &disk, const DeviceNumber &number,
                 char *drive) {
    auto removable = vyrsys::readAttr(diskDir + "/removable");
    if (!removable || *removable != "1") return 0;

    std::vector<DeviceNumber> devices{number};
    if (auto entries = listDirectory(diskDir)) {
        for (const auto &entry : *entries) {
            if (!isPartitionName(disk, entry)) continue;
            auto text = vyrsys::readAttr(diskDir + "/" + entry + "/dev", 64);
            DeviceNumber part;
            if (!text || !parseDeviceNumber(*text, part)) {
                vyr_printf("find_ms_dev,open device failed\n");
                continue;
            }
            devices.push_back(part);
        }
    }

    const std::string root = vyrsys::root();
    int count = 0;
    for (const auto &mount : vyrsys::readMountInfo()) {
        DeviceNumber dn{mount.major, mount.minor};
        bool ours = false;
        for (const auto &d : devices)
            ours = ours || d == dn;
        if (!ours) continue;
        const std::string text = root + mount.mountPoint;
        if (text.size() >= PATH_MAX) {
            vyr_printf("find_ms_dev,mount point too long: %.64s...\n", text.c_str());
            continue;
        }
        std::memcpy(drive, text.c_str(), text.size() + 1);
        ++count;
    }
    return count;
}

} // namespace

/* Results:
 *   -1  no mass-storage device anywhere, the walk failed before finding a
 *       disk (drive lookup), or an argument is missing;
 *   mode 0: 1 when a mass-storage device sits on portPath, else 0;
 *   mode 1: the number of mounted volumes of that device's removable disk
 *       (drive holds the last one's path), 0 when no disk is on that port,
 *       minus errno when the disk's device number cannot be read. */
extern "C" VYR_EXPORT int VyrGetMsNumber(const char *portPath, int mode, char *drive) {
    if (portPath == nullptr || (mode != 0 && drive == nullptr)) return -1;

    char buffers[kSlotCount][kSlotSize] = {};
    char *slots[kSlotCount];
    for (int k = 0; k < kSlotCount; ++k)
        slots[k] = buffers[k];
    int foundFlag = 0;
    std::string disk;
    bool walked = false;
    int found = 0;
    for (const char *wanted : {kMassStorageDescription, kMassStorageDescriptionZh}) {
        for (auto &b : buffers)
            b[0] = '\0';
        ScanRequest req;
        req.wanted = wanted;
        req.wantedPath = portPath;
        req.slots = slots;
        req.foundFlag = mode == 0 ? &foundFlag : nullptr;
        req.childId = &disk;
        walked = walkUsbTree(req);
        found = req.found;
        if (found > 0) break;
    }
    if (found == 0) {
        vyr_printf("can not find ms devices\n");
        return -1;
    }
    if (mode == 0) return foundFlag;
    if (disk.empty()) return walked ? 0 : -1;

    const std::string diskDir = vyrsys::path("sys/class/block/" + disk);
    const std::string devFile = diskDir + "/dev";
    errno = 0;
    auto text = vyrsys::readAttr(devFile, 64);
    int error = 0;
    DeviceNumber number;
    if (!text)
        error = errno != 0 ? errno : EIO;
    else if (!parseDeviceNumber(*text, number))
        error = EINVAL;
    if (error != 0) {
        vyr_printf("VyrGetMsNumber open \"%s\" failed,errno=%d\n", devFile.c_str(), error);
        return -error;
    }
    return lookUpDrives(diskDir, disk, number, drive);
}
