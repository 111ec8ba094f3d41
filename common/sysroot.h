// The system root: every path under /sys, /dev and /proc, and every mount
// point read from the mount table, is taken under the prefix named by
// PYREWICK_SYSROOT (empty or unset = the real root). Read at each call, so one
// process can look at several roots one after another.
#ifndef SYSROOT_H
#define SYSROOT_H

#include <optional>
#include <string>
#include <vector>

namespace vyrsys {

std::string root();

// root() + "/" + relative (relative must not start with '/').
std::string path(const std::string &relative);

// Reads a sysfs-style attribute file: text, at most maxLen bytes, trimmed of
// surrounding white space. A missing, unreadable, over-long file or one holding
// a NUL byte gives nullopt ("gone").
std::optional<std::string> readAttr(const std::string &file, size_t maxLen = 4096);

// The attribute as an unsigned number in the given base; nullopt unless the
// whole trimmed text is a number that fits.
std::optional<unsigned long> readAttrNumber(const std::string &file, int base = 10);

// A line of the mount table: its device and its mount point (escapes decoded).
struct MountEntry {
    unsigned major = 0;
    unsigned minor = 0;
    std::string mountPoint;
};

// Parses mountinfo text; lines that do not have the expected shape are skipped.
std::vector<MountEntry> parseMountInfo(const std::string &text);

// The mount table of the system root (root/proc/self/mountinfo), in file order.
std::vector<MountEntry> readMountInfo();

// Reads a whole small file (at most maxLen bytes); nullopt when missing.
std::optional<std::string> readFile(const std::string &file, size_t maxLen = 1 << 20);

} // namespace vyrsys

#endif
