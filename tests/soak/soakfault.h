// The faults a soak injects into its virtual devices, picked at random from a
// seeded generator so that a run can be played again from its seed.
#ifndef SOAKFAULT_H
#define SOAKFAULT_H

#include <random>
#include <string>

#include "line.h"

enum class SoakFault {
    None,          // a clean device
    DropMidLoad,   // leaves the bus part-way through a bulk load, for good
    Stuck,         // node absent until the scan power-cycles its port
    Reenumerate,   // comes back on another port after its first loader starts
    CheckFails,    // every crc check of loaded code fails
    NeverReady,    // the recovery never reports "ready"
    RecoveryFails, // one recovery command ends "failed"
    ScsiErrors,    // the first few SCSI requests of the volume fail
    SlowCopy,      // small bulk transfers and a slow recovery update
    Pulled,        // the operator pulls it at a random moment of its burn
    Count
};

constexpr int kSoakFaultCount = static_cast<int>(SoakFault::Count);

const char *faultName(SoakFault f);

// What the burn of such a device must end in. Faults the engine is meant to
// ride out (a stuck node, transient SCSI errors, slow transfers) may end
// either way at small time scales; the rest are certain.
enum class Expect { Success, Failure, Either };
Expect expectedOutcome(SoakFault f);

// One device to plug: its devSpec, fault and, for a re-enumeration, the port it
// comes back on.
struct SoakDevice {
    SoakFault fault = SoakFault::None;
    vyrsim::DeviceSpec devSpec;
    std::string detail; // e.g. "drop after 123456 bytes", for the event list
    int holdMs = 0;     // how long it stays after its result before it is pulled
    int pullMs = -1;    // Pulled: when, from the start of its burn
};

class SoakScenario {
  public:
    explicit SoakScenario(unsigned seed) : mGen(seed) {}

    // The next device: its fault drawn with a clean device three times as
    // likely as each fault. `base` carries the timings for the time scale;
    // `reenumeratePort` is a port free to come back on, "" when none is (a
    // re-enumeration is then not drawn).
    SoakDevice next(const vyrsim::DeviceSpec &base, const std::string &reenumeratePort,
                    int scaledSecondMs);

  private:
    int uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(mGen); }
    std::mt19937 mGen;
};

#endif
