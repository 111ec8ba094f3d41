// What every fuzz target shares: a private scratch directory in memory (tmpfs
// when there is one) that lives as long as the process, quiet logs, and small
// file helpers. Inputs are run thousands of times a second, so nothing here
// touches the disk when it can be avoided.
#ifndef FUZZSCRATCH_H
#define FUZZSCRATCH_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzscratch {

// The process's scratch directory, made on first use and removed at exit
// (under $PYREWICK_FUZZ_SCRATCH when set).
const std::string &dir();

// Silences the debug log and Qt's message output (a fuzz run would drown in
// them). Idempotent.
void quietLogs();

// Replaces the file at path with exactly these bytes; false on failure.
bool writeFile(const std::string &path, const uint8_t *data, size_t size);

// Removes everything below path (not path itself).
void clearDir(const std::string &path);

// Works in another directory while it lives, then returns to the one before,
// so the fuzzer's own relative paths keep meaning what they meant.
class InDirectory {
  public:
    explicit InDirectory(const std::string &path);
    ~InDirectory();
    InDirectory(const InDirectory &) = delete;
    InDirectory &operator=(const InDirectory &) = delete;
    bool entered() const { return entered_; }

  private:
    int previous_ = -1;
    bool entered_ = false;
};

} // namespace fuzzscratch

#endif
