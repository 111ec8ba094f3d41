#include "mounttable.h"

namespace vyrsim {

namespace {

// Mount points are written with the octal escapes the kernel uses for white
// space and backslashes.
std::string escape(const std::string &s) {
    static const char digits[] = "01234567";
    std::string out;
    for (unsigned char c : s) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
            out += '\\';
            out += digits[(c >> 6) & 7];
            out += digits[(c >> 3) & 7];
            out += digits[c & 7];
        } else {
            out += char(c);
        }
    }
    return out;
}

} // namespace

MountTable::MountTable(TreeWriter &tree) : mTree(tree) {}

int MountTable::mount(unsigned major, unsigned minor, const std::string &source,
                      const std::string &mountPoint) {
    int id = mNextId++;
    mLines[id] = std::to_string(id) + " 1 " + std::to_string(major) + ":" + std::to_string(minor) +
                 " / " + escape(mountPoint) + " rw - vfat /dev/" + source + " rw";
    rewrite();
    return id;
}

void MountTable::unmount(int mountId) {
    if (mLines.erase(mountId)) rewrite();
}

void MountTable::rewrite() {
    std::string text;
    for (const auto &l : mLines)
        text += l.second + "\n";
    mTree.writeFile(mTree.path("proc/self/mountinfo"), text);
}

} // namespace vyrsim
