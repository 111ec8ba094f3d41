#include "soakfault.h"

#include <cerrno>

const char *faultName(SoakFault f) {
    switch (f) {
    case SoakFault::None:
        return "clean";
    case SoakFault::DropMidLoad:
        return "drop-mid-load";
    case SoakFault::Stuck:
        return "stuck";
    case SoakFault::Reenumerate:
        return "reenumerate";
    case SoakFault::CheckFails:
        return "check-fails";
    case SoakFault::NeverReady:
        return "never-ready";
    case SoakFault::RecoveryFails:
        return "recovery-fails";
    case SoakFault::ScsiErrors:
        return "scsi-errors";
    case SoakFault::SlowCopy:
        return "slow-copy";
    case SoakFault::Pulled:
        return "pulled";
    case SoakFault::Count:
        break;
    }
    return "?";
}

Expect expectedOutcome(SoakFault f) {
    switch (f) {
    case SoakFault::None:
    case SoakFault::SlowCopy:
        return Expect::Success;
    case SoakFault::Stuck:
    case SoakFault::ScsiErrors:
    case SoakFault::Pulled: // may have finished before it was pulled
        return Expect::Either;
    default:
        return Expect::Failure;
    }
}

SoakDevice SoakScenario::next(const vyrsim::DeviceSpec &base, const std::string &reenumeratePort,
                              int scaledSecondMs) {
    // Draw from the faults and three clean tickets; a re-enumeration with no
    // port to come back on is drawn again.
    SoakDevice dev;
    dev.devSpec = base;
    const int tickets = kSoakFaultCount - 1 + 3;
    for (;;) {
        const int t = uniform(0, tickets - 1);
        dev.fault = t < 3 ? SoakFault::None : static_cast<SoakFault>(t - 2);
        if (dev.fault != SoakFault::Reenumerate || !reenumeratePort.empty()) break;
    }

    vyrsim::DeviceSpec &s = dev.devSpec;
    // Left on its port for up to three ticks after its result, as an
    // operator would: the result must be counted once however long it waits.
    dev.holdMs = uniform(0, 3) * scaledSecondMs;
    switch (dev.fault) {
    case SoakFault::None:
    case SoakFault::Count:
        break;
    case SoakFault::DropMidLoad: {
        // Past the first-stage loader (4 KiB), anywhere in the later images.
        const int bytes = uniform(8000, 500000);
        dev.detail = "drop after " + std::to_string(bytes) + " bulk bytes";
        s.setUp = [bytes](vyrsim::RomDevice &rom) { rom.dropAfterBulkBytes(uint64_t(bytes)); };
        break;
    }
    case SoakFault::Stuck:
        s.stuck = true;
        break;
    case SoakFault::Reenumerate:
        s.rom.leaveOnRun = true;
        s.reenumeratePort = reenumeratePort;
        s.reenumerateMs = uniform(1, 6) * scaledSecondMs / 2;
        dev.detail = "back on " + reenumeratePort;
        break;
    case SoakFault::CheckFails:
        s.setUp = [](vyrsim::RomDevice &rom) { rom.corruptRamCheck(true); };
        break;
    case SoakFault::NeverReady:
        s.recovery.neverReady = true;
        break;
    case SoakFault::RecoveryFails:
        s.recovery.failCommand = uniform(0, 1) ? "update:" : "format_data";
        dev.detail = "fails " + s.recovery.failCommand;
        break;
    case SoakFault::ScsiErrors:
        s.recovery.scsiErrno = EIO;
        s.recovery.scsiErrorCount = uniform(1, 4);
        dev.detail = std::to_string(s.recovery.scsiErrorCount) + " SCSI errors";
        break;
    case SoakFault::SlowCopy: {
        const int chunk = 256 << uniform(0, 3);
        s.setUp = [chunk](vyrsim::RomDevice &rom) { rom.setShortBulk(uint32_t(chunk)); };
        s.recovery.updateMs = uniform(3, 12) * scaledSecondMs;
        dev.detail = "bulk " + std::to_string(chunk) + " bytes, update " +
                     std::to_string(s.recovery.updateMs) + " ms";
        break;
    }
    case SoakFault::Pulled:
        // Anywhere from the loaders to the recovery commands.
        dev.pullMs = uniform(1, 60) * scaledSecondMs;
        dev.detail = "pulled after " + std::to_string(dev.pullMs) + " ms";
        break;
    }
    return dev;
}
