// The one clock of the burn engine and the device watch thread. Every tick and
// pause (1 s ticks, the 2, 3 and 5 s pauses, the 30 s and 60 s waits for a
// child process) goes through it. It runs in real time unless the environment
// variable PYREWICK_TIME_SCALE holds a positive factor (e.g. 0.05), which
// shortens every duration by that factor; tick counts and limits are the same
// either way.
#ifndef BURNCLOCK_H
#define BURNCLOCK_H

#include <QString>

namespace BurnClock {

// The factor in force (1.0 unless PYREWICK_TIME_SCALE or setScale says else).
double scale();
// Overrides the factor for this process (tests); a factor <= 0 restores 1.0.
void setScale(double factor);

// A duration of `ms` milliseconds of the system's time, in real milliseconds
// (at least 1 for a positive duration).
int scaledMs(int ms);

// Sleeps for `ms` milliseconds of the system's time.
void sleepMs(int ms);
inline void sleepSeconds(int s) {
    sleepMs(s * 1000);
}

// The local time of day as "hh:mm:ss", for log lines.
QString timeOfDay();
// Milliseconds + 1000 x seconds of the local time of day (0..59999).
int millisecondsOfMinute();

} // namespace BurnClock

#endif
