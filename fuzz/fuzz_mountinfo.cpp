// Mount-table parser: the input is mountinfo text.
#include "sysroot.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    size_t lines = 1;
    for (char c : text)
        lines += c == '\n';
    // A line gives at most one entry, and an entry's decoded mount point is
    // never longer than the text it came from.
    const auto entries = vyrsys::parseMountInfo(text);
    if (entries.size() > lines) std::abort();
    for (const auto &e : entries)
        if (e.mountPoint.size() > size) std::abort();
    return 0;
}
