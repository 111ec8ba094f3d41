// Port-match store: the input is the bytes of config_port.xml in the working
// directory. The store reads it, then one slot is changed, which reads the
// file again and rewrites it whole.
#include "burnstate.h"
#include "fuzzscratch.h"
#include "portcofigxml.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzscratch::quietLogs();
    const fuzzscratch::InDirectory here(fuzzscratch::dir());
    if (!here.entered()) return 0;
    if (!fuzzscratch::writeFile(PortCofigXml::FILE_NAME, data, size)) return 0;

    PortCofigXml store;
    const int slot = size > 0 ? data[0] % PORT_COUNT : 0;
    store.setPortPath(slot, QStringLiteral("1-2.3"));
    // What was just written must read back.
    store.readPortPaths();
    if (gPortInfo[slot].portPath != QLatin1String("1-2.3")) std::abort();
    return 0;
}
