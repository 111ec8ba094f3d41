// The program is built in two variants from one source. Each program's main
// chooses its variant once, before any window or thread exists; the engine
// and the refresh read it where the variants differ.
#ifndef BUILDVARIANT_H
#define BUILDVARIANT_H

enum class BuildVariant {
    MultiPort,    // several devices at once through hubs
    SingleDevice, // one device at a time; follows a device that re-enumerates
};

// The process-wide variant; SingleDevice until a main sets another.
BuildVariant buildVariant();
void setBuildVariant(BuildVariant variant);

#endif
