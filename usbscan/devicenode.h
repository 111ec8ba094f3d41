// Opening a USB device node the way the burn engine uses it: a character
// device read-write, or (on the virtual line) a stream Unix socket connected to.
#ifndef HUBSIFT_DEVICENODE_H
#define HUBSIFT_DEVICENODE_H

#include "vyrhandle.h"

#include <string>

namespace hubsift {

// A descriptor of at least 3 (close-on-exec) on success; -1 when the node is
// missing, is neither a character device nor a socket, or refuses the open.
VyrHandle openDeviceNode(const std::string &node);

} // namespace hubsift

#endif
