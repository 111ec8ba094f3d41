// The port-match store: config_port.xml in the working directory mirrors
// which USB port path feeds each of the eight rows. The slots themselves are
// the portPath fields of gPortInfo; the file is re-read before every change
// so that an edit made by someone else to another slot survives.
#ifndef PORTCOFIGXML_H
#define PORTCOFIGXML_H

#include <QString>

#include <functional>

class PortCofigXml {
  public:
    static constexpr const char *FILE_NAME = "config_port.xml";

    // Loads the file into the slots, or, when there is none, sets every slot
    // to "none" and creates it.
    PortCofigXml();

    // Reads the k-th port_path element (k < 8) into slot k. False when the
    // file cannot be opened; slots missing from the file keep their values.
    bool readPortPaths();
    // Re-reads the file, sets the slot and rewrites the whole file.
    // A slot outside 0..7 is ignored.
    void setPortPath(int slot, const QString &path);

    // Shows the operator a warning (title, text). The default writes a
    // warning line; the window installs a message box.
    static std::function<void(const QString &title, const QString &text)> warningHook;

  private:
    void writePortPaths();
};

#endif
