// What a soak saw, and the invariants that must hold over it. Filled by the
// run, judged at the end; kept apart from the run so that every check can be
// shown to fail on a record that breaks it.
#ifndef SOAKLEDGER_H
#define SOAKLEDGER_H

#include <QString>
#include <QStringList>
#include <array>
#include <string>
#include <vector>

#include "soakfault.h"

enum class Outcome { Unfinished, Success, Failure };

struct DeviceRecord {
    int serial = 0; // 1, 2, ... in plug order
    int slot = 0;   // hub port index 0..7
    int row = -1;   // port row that burnt it; -1 when never matched
    SoakFault fault = SoakFault::None;
    Outcome outcome = Outcome::Unfinished;
    int results = 0; // times its row entered success or failure while it was there
};

struct SoakLedger {
    std::vector<DeviceRecord> devices;

    // The engine's statistics at the end.
    int successCount = 0;
    int failCount = 0;
    std::array<int, 25> failByStep{};

    // Panel text per row (port log lines as the refresh moved them out) and
    // every line the engine made, as its log observer saw it.
    std::array<QStringList, 8> panelLines;
    std::array<QStringList, 8> madeLines;
    QStringList mainLines;  // general log lines moved to the panel
    QStringList savedLines; // the saved log file read back

    // "row 3 after device 17: status 12" for every row that did not go back
    // to status 0 once its device was gone.
    QStringList portsNotIdle;
    // "burn thread 2", "watch thread" for every thread running after Stop.
    QStringList threadsRunning;
    // Plugs the line refused.
    QStringList plugErrors;
    // Imports whose outcome was not the expected one ("corrupt package
    // imported", "Start accepted without a plan").
    QStringList importErrors;
    // "device 17: ..." for a device that reported success with the images or
    // recovery commands of neither plan, or a mix of both.
    QStringList wrongBytes;
    int successesChecked = 0; // successful devices whose bytes were compared
};

// The failure line of a port log ("failed ,current step is N " or "failed
// because no connected device ,current step is N "); returns its step, or
// nullopt-like false when the line is not one.
bool failureLineStep(const QString &line, int *step);

// The first invariant broken, as a short text; empty when all held.
QString brokenInvariant(const SoakLedger &l);

// Figures: counts by fault kind, lines the length rule dropped, outcomes the
// fault did not lead one to expect.
struct SoakFigures {
    int burns = 0, successes = 0, failures = 0, unfinished = 0;
    std::array<int, kSoakFaultCount> byFault{}, successByFault{}, failByFault{};
    int cleanFailures = 0; // devices expected to succeed that failed
    int droppedLines = 0;  // lines made but never moved to the panel
    int panelLineCount = 0;
};
SoakFigures figures(const SoakLedger &l);

#endif
