// The walk of the USB tree shared by every scan export: host controllers (root
// hubs usbN by bus number), their ports, and every external hub below them,
// depth first in port order.
#ifndef HUBSIFT_USBTREE_H
#define HUBSIFT_USBTREE_H

#include "vyrhandle.h"

#include <string>

namespace hubsift {

// One request carried through a walk.
struct ScanRequest {
    std::string wanted;               // device description to look for
    VyrHandle *handleOut = nullptr;   // open the device found on wantedPath here
    const char *wantedPath = nullptr; // port path to compare found devices with
    char **slots = nullptr;           // kSlotCount buffers of kSlotSize bytes
    int found = 0;                    // devices recorded so far
    int *foundFlag = nullptr;         // set to 1 when a device sits on wantedPath
    std::string *childId = nullptr;   // receives the disk of the device on wantedPath
};

// Walks the tree under the system root. Devices whose description equals
// req.wanted (exactly) and whose node is present are recorded in the slots in
// walk order. A wanted device present in sysfs whose node is missing is stuck:
// its port is power-cycled (never for a mass-storage search or when only the
// found flag is asked for) and it is found by a later walk.
// False when a controller, hub or port query failed; what was found before
// stays recorded.
bool walkUsbTree(ScanRequest &req);

} // namespace hubsift

#endif
