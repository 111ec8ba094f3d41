// A scenario for the virtual line: its hubs and the devices plugged over time.
// INI text read by hand; see sim/README.md for the keys.
#ifndef VYRSIM_SCENARIO_H
#define VYRSIM_SCENARIO_H

#include "line.h"

#include <optional>
#include <string>
#include <vector>

namespace vyrsim {

struct ScenarioHub {
    bool rootHub = false;
    int ports = 0;
    std::string product; // root hubs: the controller's description
    std::string port;    // external hubs: the port it hangs on ("1-2")
};

struct ScenarioFault {
    RequestKind kind = RequestKind::Identify;
    Fault fault = Fault::Stall;
    int count = -1; // -1: for ever
    int skip = 0;
};

struct ScenarioDevice {
    std::string name; // the section's "N"
    std::string port;
    int plugMs = 0;
    int unplugMs = -1; // -1: stays
    DeviceSpec devSpec;
    std::vector<ScenarioFault> faults;
    uint32_t shortBulk = 0;
    int zeroBulk = 0;
    long long dropAfterBulkBytes = -1;
    bool corruptCrc = false;
};

struct Scenario {
    std::vector<ScenarioHub> hubs; // in file order
    std::vector<ScenarioDevice> devices;
};

// Parses scenario text; on a fault returns nullopt and sets error to
// "line N: what is wrong".
std::optional<Scenario> parseScenario(const std::string &text, std::string *error);
// Reads and parses a file; errors are prefixed with its name.
std::optional<Scenario> loadScenario(const std::string &file, std::string *error);

// One 8-port hub on root port 1 of an xHCI controller with a device on each
// of its ports, plugged 300 ms apart.
Scenario eightScenario();

// Multiplies every time of the scenario (plug, unplug, device and recovery
// delays) by factor.
void scaleScenario(Scenario &s, double factor);

// Builds the scenario's hubs on the line; false with error when a hub cannot go
// where it is asked to.
bool buildHubs(Line &line, const Scenario &s, std::string *error);
// Applies the scenario device's ROM-mode faults to its model.
void applyFaults(RomDevice &rom, const ScenarioDevice &dev);
// Plugs a scenario device and applies its faults; the line's device id or -1.
int plugDevice(Line &line, const ScenarioDevice &dev);

} // namespace vyrsim

#endif
