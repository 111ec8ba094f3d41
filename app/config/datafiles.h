// Files the program reads but never writes: the pictures, the translation, the
// device-console tool and its driver package. Each is looked up in the working
// directory first, as a station run from a build tree has always done (and a
// station may carry its own copy), then where the Debian package installs it,
// found from the program's own directory so an installed tree can be moved
// (a chroot, another prefix).
#ifndef DATAFILES_H
#define DATAFILES_H

#include <QString>

namespace DataFiles {

// <program dir>/../share/pyrewick: pictures, translation, driver package.
QString installedDataDir();
// <program dir>/../libexec/pyrewick: helper programs (the device-console tool).
QString installedHelperDir();

// The path to open for the data file `name` (relative, e.g. "ok.png"): `name`
// itself when the working directory has it, else the installed copy when there
// is one, else `name` unchanged (so that a message names what was missing).
QString find(const QString &name);
// The helper program `name`: the working directory's executable copy, else the
// installed one, else the bare name (looked up on PATH when started).
QString findProgram(const QString &name);

} // namespace DataFiles

#endif
