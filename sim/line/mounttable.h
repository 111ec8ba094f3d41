// The mount table of the system root (proc/self/mountinfo): one line per
// mounted volume, the whole file replaced by a rename on every change.
#ifndef VYRSIM_MOUNTTABLE_H
#define VYRSIM_MOUNTTABLE_H

#include "treewriter.h"

#include <map>
#include <string>

namespace vyrsim {

class MountTable {
  public:
    explicit MountTable(TreeWriter &tree);

    // Mounts partition major:minor (its node dev/<source>) at mountPoint (an
    // absolute path inside the root, e.g. /media/vyr/VYR01); returns the mount id.
    int mount(unsigned major, unsigned minor, const std::string &source,
              const std::string &mountPoint);
    void unmount(int mountId);

  private:
    void rewrite();

    TreeWriter &mTree;
    int mNextId = 100;
    std::map<int, std::string> mLines;
};

} // namespace vyrsim

#endif
