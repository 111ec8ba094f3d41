// The debug log: one mutex guards the sink, and each call writes its whole
// formatted text with one fwrite under it, so lines of concurrent callers
// never interleave.
#include "tracemoor.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace {
std::mutex sinkLock;
FILE *logFile = nullptr;
} // namespace

extern "C" int vyr_printf(const char *format, ...) {
    if (format == nullptr) return 0;
    char small[512];
    va_list ap;
    va_start(ap, format);
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(small, sizeof small, format, ap);
    va_end(ap);
    const char *text = small;
    std::vector<char> big;
    if (n < 0) {
        va_end(copy);
        return n;
    }
    if (static_cast<size_t>(n) >= sizeof small) {
        big.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(big.data(), big.size(), format, copy);
        text = big.data();
    }
    va_end(copy);
    std::lock_guard<std::mutex> hold(sinkLock);
    FILE *out = logFile ? logFile : stderr;
    std::fwrite(text, 1, static_cast<size_t>(n), out);
    std::fflush(out);
    return n;
}

extern "C" int vyr_open_logfile(const char *path, int mode) {
    (void)mode;
    if (path == nullptr) return -1;
    FILE *f = std::fopen(path, "ae");
    if (f == nullptr) return -1;
    std::lock_guard<std::mutex> hold(sinkLock);
    if (logFile) std::fclose(logFile);
    logFile = f;
    return 0;
}

extern "C" int vyr_close_logfile(void) {
    std::lock_guard<std::mutex> hold(sinkLock);
    if (logFile) {
        std::fclose(logFile);
        logFile = nullptr;
    }
    return 0;
}
