// One running program per machine: a lock file in the temporary directory
// named after the program's instance name. A lock left by a process that has
// died is taken over.
#ifndef SINGLEINSTANCE_H
#define SINGLEINSTANCE_H

#include <QString>

namespace SingleInstance {

// The instance name every copy of the program agrees on.
extern const char *const kInstanceName;

// Path of the lock file: QDir::tempPath() + "/" + the letters and digits of
// kInstanceName.
QString lockFilePath();

// Takes the instance lock. False only when another live process holds it; any
// other failure (e.g. an unwritable temporary directory) lets the program run.
bool acquire();

// Gives the lock back (no-op when it is not held). Called by the window's
// teardown.
void release();

} // namespace SingleInstance

#endif
