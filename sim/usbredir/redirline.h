// A line of devices on qemu usb-redir ports: one RedirPort per scenario
// device, each on the socket <dir>/<port>.sock with its recovery disk image
// <dir>/<port>.img (16 MiB FAT, made anew). qemu's own hubs give the
// topology, so the scenario's [line] section is not used; a device's port
// ("1-1.3") only names its socket and image.
#ifndef VYRSIM_REDIRLINE_H
#define VYRSIM_REDIRLINE_H

#include "redirport.h"
#include "scenario.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vyrsim {

struct RamCheck {
    uint32_t address = 0;
    std::string file; // the device's RAM from address must hold this file's bytes
};

struct RedirLineOptions {
    std::string dir;
    std::string expectedUpdate; // the file each recovery's update file must equal
    std::vector<RamCheck> ramChecks;
    int imageMiB = 16;
};

class RedirLine {
  public:
    RedirLine(RedirLineOptions opts, std::function<void(const std::string &)> events);
    ~RedirLine();

    // Makes the images and starts every port; false with error.
    bool start(const Scenario &scenario, std::string *error);
    void stop();
    // Every device has left for good.
    bool allGone() const;
    // One line per device:
    //   <port> form=<form> ram=<ok|differs <addr>|unreadable <file>|unchecked>
    //   recovery=<command>|<command>...
    std::vector<std::string> report() const;

  private:
    RedirLineOptions opts_;
    std::function<void(const std::string &)> events_;
    std::vector<std::unique_ptr<RedirPort>> ports_;
};

// "82000000=uImage": a RAM check; false when the text is not one.
bool parseRamCheck(const std::string &text, RamCheck &out);

} // namespace vyrsim

#endif
