// Watches the disable files of hub ports (inotify on each port directory) and
// reports which ports had their disable file written since the last look.
#ifndef VYRSIM_PORTWATCH_H
#define VYRSIM_PORTWATCH_H

#include <map>
#include <string>

namespace vyrsim {

class PortWatch {
  public:
    PortWatch();
    ~PortWatch();
    PortWatch(const PortWatch &) = delete;
    PortWatch &operator=(const PortWatch &) = delete;

    // Descriptor that becomes readable when a disable file was written (-1 if
    // inotify is not there).
    int fd() const { return mFd; }
    bool watch(const std::string &portName, const std::string &portDir);
    // Port name -> number of completed writes of its disable file, for the
    // events queued so far. Does not block.
    std::map<std::string, int> takeWrites();

  private:
    int mFd = -1;
    std::map<int, std::string> mPorts; // watch descriptor -> port name
};

} // namespace vyrsim

#endif
