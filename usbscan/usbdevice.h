// The sysfs view of one USB device: the facts the walk, the volume lookup and
// the driver check need, all read under the system root through the
// validating attribute reader.
#ifndef HUBSIFT_USBDEVICE_H
#define HUBSIFT_USBDEVICE_H

#include <optional>
#include <string>
#include <vector>

namespace hubsift {

// Descriptions the system gives devices.
extern const char kRomDeviceDescription[];     // "Skelmar Device"
extern const char kMassStorageDescription[];   // "USB Mass Storage Device"
extern const char kMassStorageDescriptionZh[]; // the same on a Chinese-language system
extern const char kHubDescription[];           // "USB Hub"
extern const char kGenericDescription[];       // "USB Device"

constexpr unsigned kRomVendor = 0x1b8e;
constexpr unsigned kRomProduct = 0xc003;
constexpr unsigned kHubClass = 0x09;
constexpr unsigned kMassStorageClass = 0x08;

struct Description {
    std::string text;
    // The interface directory with the mass-storage class, when the
    // description came from one.
    std::string storageInterface;
};

// The description of the device in directory dir whose sysfs name is name
// ("1-2.4"): the ROM-mode device by vendor and product, a mass-storage
// interface, a hub, its product text, or the generic text.
Description describe(const std::string &dir, const std::string &name, bool isHub);

// The device's node under devBase (root + "dev/bus/usb"): devBase/BBB/DDD from
// busnum and devnum; nullopt when either cannot be read.
std::optional<std::string> deviceNode(const std::string &dir, const std::string &devBase);

// The disk ("sdb") below a mass-storage interface:
// <interface>/host*/target*/*/block/<disk>; empty when there is none.
std::string findDisk(const std::string &interfaceDir);

// Entry names of a directory, sorted, without "." and ".."; nullopt when it
// cannot be opened.
std::optional<std::vector<std::string>> listDirectory(const std::string &dir);

bool pathExists(const std::string &path);
bool isDirectory(const std::string &path);

} // namespace hubsift

#endif
