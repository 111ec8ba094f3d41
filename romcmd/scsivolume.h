// The raw SCSI path to a recovery volume: how the three handshake exports find
// the whole disk behind a mount point and send it one vendor command.
#ifndef SCSIVOLUME_H
#define SCSIVOLUME_H

#include <cstdint>
#include <string>

namespace romvane {

// Results of the handshake exports (VyrSetFileCopyComplete,
// VyrGetUpdateComplete, VyrSetFileCopyCompleteEx).
enum HandshakeResult : int {
    HsOk = 0,           // the volume accepted the command (and its result text was read)
    HsShortDrive = -1,  // the drive text is null or shorter than 2 characters
    HsNotAbsolute = -2, // the drive text is not an absolute path
    // Any other value is a negated errno, among them:
    //   -EINVAL     a null text, count or data pointer
    //   -ENOENT     the drive text is not a mount point, or the disk has no node
    //   -ENODEV     the mount has no disk, the disk is not on a USB bus, or the
    //               node is neither a block device
    //               nor a virtual volume socket, or the virtual volume went away
    //   -ETIMEDOUT  no answer within the command's time-out
    //   -EIO        the volume answered with a SCSI status other than GOOD, or
    //               broke the exchange
    //   other       what opening the node or the pass-through call reported
};

// One command for the volume.
struct ScsiCommand {
    uint8_t cdb[16] = {};
    uint8_t cdbLength = 0;
    uint8_t direction = 0; // vyrwire::ScsiDir: none, to device, from device
    void *data = nullptr;  // direction to device: read; from device: written
    uint32_t length = 0;
    uint32_t timeoutMs = 0;
};

struct ScsiOutcome {
    uint8_t status = 0;    // SCSI status byte
    uint32_t received = 0; // bytes the device returned (direction from device)
};

// A way to reach a disk node. Chosen once per call by the kind of node
// (scsiPathFor): a block device takes SG_IO, a Unix socket is a virtual volume.
struct ScsiPath {
    const char *name;
    // Opens the node; a descriptor, or a negated errno.
    int (*open)(const std::string &node);
    // Sends one command on an opened node; 0 or a negated errno.
    int (*exchange)(int fd, const ScsiCommand &cmd, ScsiOutcome &out);
};

// The disk node (under the system root) of the volume mounted at drive, and
// the path that reaches it. 0, or a negated errno (nothing was opened).
int resolveVolumeNode(const std::string &drive, std::string &node, const ScsiPath *&path);

} // namespace romvane

#endif
