// The virtual line as the burn benchmarks run it: the multi-port build, the
// sample plan whose format_data prepares no file, and devices that answer at
// once (boot and recovery times a small fraction of a tick), so that the time
// a burn takes is the engine's own.
#ifndef BENCHLINE_H
#define BENCHLINE_H

#include <vector>

#include "burnline.h"

class BenchLine : public BurnLine {
  public:
    explicit BenchLine(double timeScale);

    // Only the figures go to the console: Qt's debug and info messages are
    // dropped, the rest goes to standard error; the engine's debug log goes
    // to /dev/null. Called once at the start of main.
    static void quietConsole();

    // A device that answers at once.
    vyrsim::DeviceSpec quickDevice() const;
    // Plugs one quick device on each hub port 1..devices; their ids on the line.
    std::vector<int> plugQuick(int devices);
    // Refreshes until the first `devices` rows are back at rest with a success
    // as their last result; false after an hour.
    bool runUntilAllSucceeded(int devices);
};

#endif
