// Keeps a port's result off the screen until its burn record is committed.
//
// When records are kept, a burn thread holds its port's gate as the burn
// starts; the recorder releases it once the record is on disk (or, when the
// store cannot write, kept in memory). A painter (the window's rows, the
// command line's table) asks shown() what to paint: while the gate is held a
// result is not painted yet, and a result released after its device already
// went (status back to 0) is painted once as the result itself, so the row's
// usual "result, then disconnect" sequence still happens.
#ifndef RESULTGATE_H
#define RESULTGATE_H

#include <cstdint>

namespace ResultGate {

// Burn thread: a burn starts on `port`. Returns the ticket its release needs.
uint32_t hold(int port);
// Recorder: the record of the burn holding `ticket` is committed (or held in
// memory). A ticket of an older burn releases nothing.
void release(int port, uint32_t ticket);
// Burn thread: the burn ended without a record (stopped, never finished).
void drop(int port);

struct Shown {
    bool hold = false; // leave the row as it is in this refresh
    int status = 0;    // the status and last result to paint
    int lastResult = 0;
};
// What to paint for `port` now, from gPortInfo and the gate. Called by the
// one painter of the process, once per port and refresh.
Shown shown(int port);

// Whether `port`'s result is being kept off the rows now (changes nothing;
// for watchers other than the painter).
bool held(int port);

// Every gate open (tests, a new station).
void reset();

} // namespace ResultGate

#endif
