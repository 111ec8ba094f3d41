// Counting ROM-mode devices the system shows without a usable driver.
#include "hubsift.h"

#include "devicenode.h"
#include "sysroot.h"
#include "tracemoor.h"
#include "usbdevice.h"

#include <cstdio>
#include <strings.h>
#include <unistd.h>

using namespace hubsift;

/* Results: the number of present devices whose hardware ID begins with
 * "USB\VID_<vendor>&PID_<product>" (upper-case hex, case ignored) and whose
 * node is missing or cannot be opened by this process; -1 when the device
 * list cannot be read. */
extern "C" VYR_EXPORT int VyrGetNeedDriver(uint32_t vendor, uint32_t product) {
    const std::string devicesDir = vyrsys::path("sys/bus/usb/devices");
    auto entries = listDirectory(devicesDir);
    if (!entries) return -1;
    const std::string devBase = vyrsys::path("dev/bus/usb");

    char prefix[48];
    int prefixLen = std::snprintf(prefix, sizeof prefix, "USB\\VID_%04X&PID_%04X", unsigned(vendor),
                                  unsigned(product));

    int count = 0;
    for (const auto &entry : *entries) {
        const std::string dir = devicesDir + "/" + entry;
        auto idVendor = vyrsys::readAttr(dir + "/idVendor", 64);
        auto idProduct = vyrsys::readAttr(dir + "/idProduct", 64);
        if (!idVendor || !idProduct) continue; // interfaces and vanished devices
        const std::string hardwareId = "USB\\VID_" + *idVendor + "&PID_" + *idProduct;
        if (hardwareId.size() < size_t(prefixLen) ||
            ::strncasecmp(hardwareId.c_str(), prefix, size_t(prefixLen)) != 0)
            continue;
        // Without bus and device numbers the device has gone: no status.
        auto node = deviceNode(dir, devBase);
        if (!node) continue;
        VyrHandle h = openDeviceNode(*node);
        if (h > 0)
            ::close(int(h));
        else
            ++count;
    }
    if (count > 0) vyr_printf("need install driver  problem\n");
    return count;
}
