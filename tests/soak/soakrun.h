// A soak of the burn engine on the virtual line: one root hub with an 8-port
// hub, eight devices burning back to back, each plugged with a fault drawn
// from a seeded scenario. A device whose burn ended (success or failure) is
// pulled and, once its row is idle again, a new one goes on that port, until
// the asked number of burns is reached. The engine is driven the way the
// window drives it: the device-change source, the watch thread and the
// refresh every 500 ms of the engine's clock, message boxes closed at once.
#ifndef SOAKRUN_H
#define SOAKRUN_H

#include <QString>

#include "soakledger.h"

struct SoakOptions {
    int burns = 200;
    unsigned seed = 1;
    bool verbose = false; // one line per plug and result
};

class SoakRun {
  public:
    explicit SoakRun(const SoakOptions &options) : mOptions(options) {}

    // Runs the soak and fills the ledger; the line is torn down on return.
    // Blocks until every burn ended or its time ran out.
    void run();

    const SoakLedger &ledger() const { return mLedger; }
    double wallSeconds() const { return mWallSeconds; }
    int messagesClosed() const { return mMessages; }

  private:
    SoakOptions mOptions;
    SoakLedger mLedger;
    double mWallSeconds = 0;
    int mMessages = 0;
};

#endif
