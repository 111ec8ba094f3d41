// Writes the system root's tree so that a reader never sees a half-made
// directory: directories are built under <root>/.staging and renamed into
// place; they leave by a rename into <root>/.trash and are deleted there.
// Single files and symbolic links are replaced by renaming a temporary file.
#ifndef VYRSIM_TREEWRITER_H
#define VYRSIM_TREEWRITER_H

#include <string>

namespace vyrsim {

class TreeWriter {
  public:
    explicit TreeWriter(std::string root);
    // Empties the staging and trash areas (left over from an earlier run).
    void prepare();

    const std::string &root() const { return mRoot; }
    // root + "/" + relative.
    std::string path(const std::string &relative) const;

    // A fresh empty directory in the staging area.
    std::string stage();
    // Writes dir/name holding value and a new line (directories on the way are made).
    static bool writeAttr(const std::string &dir, const std::string &name,
                          const std::string &value);
    // Renames a staged directory to its place; false when the place is taken.
    bool place(const std::string &staged, const std::string &target);
    // Takes a directory (or file) away in one rename and deletes it.
    void remove(const std::string &target);

    // Replaces linkPath with a relative symbolic link to target.
    bool link(const std::string &target, const std::string &linkPath);
    // Replaces file with the given content.
    bool writeFile(const std::string &file, const std::string &content);
    // A unique temporary name next to file (same directory, hidden).
    std::string tempNextTo(const std::string &file);

  private:
    std::string mRoot;
    unsigned long mSerial = 0;
};

} // namespace vyrsim

#endif
