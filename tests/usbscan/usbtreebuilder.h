// Builds a system root with a USB tree from a compact description, one line
// per item ('#' starts a comment; values with spaces are double-quoted):
//
//   root <bus> ports=<n> [product=<text>]        root hub usb<bus>
//   hub <name> ports=<n> [product=<text>]        external hub, e.g. 1-2 or 1-2.4
//   dev <name> [vid=1b8e] [pid=c003] [product=<text>] [class=00]
//       [node=file|none] [disk=sdX [parts=<k>] [removable=1] [blocklink=yes|no]]
//   set <name> <file> <value>                    overwrite an attribute
//   unset <name> <file>                          remove an attribute
//   mount <major:minor> <mount point>            a mount-table line
//   mountline <text>                             a raw mount-table line
//
// Devices default to the ROM-mode device (1b8e:c003) with a node that is an
// empty regular file. A line too short for its kind, a name that is not a
// single path component, or a disk with more partitions than its minor
// numbers hold is refused with an exception (nothing of that line is written);
// lines before it stay applied. The tree lives in a temporary directory that is removed
// with the builder; PYREWICK_SYSROOT points at it while the builder lives.
#ifndef USBTREEBUILDER_H
#define USBTREEBUILDER_H

#include <cstddef>
#include <map>
#include <string>
#include <vector>

class UsbTreeBuilder {
  public:
    // padRootTo: make the root path at least this long (for node paths that
    // do not fit a socket address).
    explicit UsbTreeBuilder(size_t padRootTo = 0);
    ~UsbTreeBuilder();
    UsbTreeBuilder(const UsbTreeBuilder &) = delete;
    UsbTreeBuilder &operator=(const UsbTreeBuilder &) = delete;

    // Reads tests/data/usbscan/<name>.
    void load(const std::string &name);
    void apply(const std::string &description);
    // Splits a description line as apply does: blanks separate, double
    // quotes group.
    static std::vector<std::string> split(const std::string &line);

    const std::string &root() const { return root_; }
    std::string deviceDir(const std::string &name) const;
    std::string nodePath(const std::string &name) const;
    // The disable file of port n of the hub named hub ("usb1", "1-2").
    std::string disableFile(const std::string &hub, int port) const;
    // Replaces the node of a device with a listening Unix socket; returns the
    // listening descriptor (owned by the caller).
    int listenOnNode(const std::string &name);

  private:
    void applyLine(const std::string &line);
    void makeHubPorts(const std::string &dir, const std::string &portDir,
                      const std::string &portName, int ports);
    std::string makeDevice(const std::string &name, std::map<std::string, std::string> &opts);
    void makeDisk(const std::string &ifaceDir, std::map<std::string, std::string> &opts);

    std::string top_;  // the temporary directory
    std::string root_; // the system root inside it
    std::string previousRoot_;
    bool hadRoot_ = false;
    std::map<std::string, std::string> dirs_;  // device name -> directory
    std::map<std::string, std::string> nodes_; // device name -> node path
    std::map<int, int> nextDevnum_;
};

// Sends the debug log into a temporary file while it lives.
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    std::string text() const;

  private:
    std::string path_;
};

// Writes a whole file (parents must exist).
void writeFile(const std::string &path, const std::string &text);
std::string readWholeFile(const std::string &path);
std::string testDataPath(const std::string &name);

#endif
