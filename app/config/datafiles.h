// Files the program reads but never writes: the pictures, the translation, the
// device-console tool and its driver package. Each is looked up in the working
// directory first, as a station run from a build tree has always done (and a
// station may carry its own copy), then where the Debian package installs it,
// found from the program's own directory so an installed tree can be moved
// (a chroot, another prefix).
//
// Run as root, the program never takes a program or a driver package from the
// working directory (a station folder belongs to the operator): only the
// installed copies (findProgram, installedFile), and only when nobody but root
// can change them (rootOnly).
#ifndef DATAFILES_H
#define DATAFILES_H

#include <QString>
#include <functional>

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
// Run as root: installedProgram(name) only, never the working directory's.
QString findProgram(const QString &name);

// The installed copy of the data file `name` (in the installed data
// directory) and of the helper program `name` (in the installed helper
// directory), whether or not they are there; empty when the program's
// directory is unknown. Root runs nothing else.
QString installedFile(const QString &name);
QString installedProgram(const QString &name);
// For a text that tells an administrator what to run: `installed` when it is
// there, else the copy of `name` beside the program (a build tree has its
// tools and driver package there), else `installed`.
QString setupPath(const QString &installed, const QString &name);

// Whether the process runs as root (effective user 0).
bool privileged();
// Replaces that check (tests act as an ordinary user); nullptr restores it.
void setPrivilegedCheck(std::function<bool()> check);

// Whether only root can change what `path` names: a regular file (after any
// links) owned by root and not writable by group or others, in directories
// that are all the same, from / down. `why` says what failed.
bool rootOnly(const QString &path, QString *why = nullptr);

} // namespace DataFiles

#endif
