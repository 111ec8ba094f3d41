// One device of the virtual line as a USB device on a qemu usb-redir port.
//
// qemu's usb-redir device (the "usb-guest" side of the usbredir protocol)
// connects to a Unix socket this port listens on; the port is the "usb-host"
// side, spoken through libusbredirparser. The device is the same model the
// virtual line plays over its own sockets:
//   - ROM mode (1B8E:C003, "Skelmar Device"): descriptors are answered here,
//     vendor control requests and bulk transfers go to a RomDevice;
//   - after bootm: the device leaves (device_disconnect), stays away for the
//     boot time and comes back as the recovery system, a bulk-only
//     mass-storage device (1B8E:C004) whose disk is a FAT image file; the
//     vendor SCSI commands 0xC0/0xC1/0xC3 go to a RecoveryVolume, which reads
//     the update file out of the image when the command arrives.
// A device that drops off the bus (a fault of its model) disconnects with its
// transfers still queued and is gone; "reset", "shutdown" and "poweroff" of
// the recovery end it the same way.
//
// Threads: one thread per port runs the protocol; the models' own threads only
// hand events to it. Public members are thread-safe.
#ifndef VYRSIM_REDIRPORT_H
#define VYRSIM_REDIRPORT_H

#include "line.h"

#include <functional>
#include <memory>
#include <string>

namespace vyrsim {

struct RedirPortConfig {
    std::string name;           // for events ("1-1.3")
    std::string socketPath;     // the Unix socket qemu's chardev connects to
    std::string imagePath;      // FAT image: the recovery form's disk
    std::string expectedUpdate; // file the update file must equal ("": non-empty is enough)
    std::string serial;         // serial number string of the mass-storage form
    int plugMs = 0;             // from qemu's hello to the device showing
    DeviceSpec devSpec;         // ROM model, recovery, boot time, never-comes-back;
                                // devSpec.setUp runs once before the model first serves
};

class RedirPort {
  public:
    enum class Form { Waiting, Rom, Booting, MassStorage, Gone };

    RedirPort(RedirPortConfig cfg, std::function<void(const std::string &)> events);
    ~RedirPort(); // stop()
    RedirPort(const RedirPort &) = delete;
    RedirPort &operator=(const RedirPort &) = delete;

    // Binds the socket and starts serving; false with error when it cannot.
    bool start(std::string *error);
    void stop();

    Form form() const;
    RomDevice &rom();
    // Null until the recovery form first showed.
    RecoveryVolume *recovery();
    const RedirPortConfig &config() const;

    struct Impl;

  private:
    std::unique_ptr<Impl> d;
};

// The update check of a recovery whose disk is a FAT image: the file as
// mtools reads it out of the image now, compared with the expected file.
// "" when it matches, else the failure text ("no package update.zip", ...).
std::string checkUpdateInImage(const std::string &imagePath, const std::string &file,
                               const std::string &expectedFile);

// Makes an empty FAT image of sizeMiB at path (mkfs.vfat); false with error.
bool makeFatImage(const std::string &path, int sizeMiB, const std::string &label,
                  std::string *error);

} // namespace vyrsim

#endif
