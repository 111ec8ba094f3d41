// File burn: a file streamed into device RAM chunk by chunk, each chunk a
// large write followed by a step block that tells the loader what landed where.
#include "pipewell.h"
#include "romblocks.h"
#include "romcodes.h"
#include "romcommands.h"
#include "romvane.h"

#include <cstdio>
#include <memory>
#include <new>
#include <sys/stat.h>

using namespace romvane;

namespace {

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// One burn step: the chunk's large write, then its step block. Returns 0 or
// the failing code; *written receives the bytes that count as burnt.
int burnStep(VyrHandle handle, uint32_t address, uint8_t *data, uint32_t n, uint64_t stepValue,
             const char *stepText, uint32_t stepExtra, uint32_t *written) {
    uint32_t count = 0;
    RomRequest req{handle, n, data, &count, address};
    if (int rc = VyrUsbWriteLargeMem(&req)) return rc;
    *written = count;
    TplCmdBlock block = BurnStepBlock::build(address, stepExtra, n, stepValue, stepText);
    RomRequest cmd{handle, TplCmdBlock::Size, block.bytes, &count, address};
    if (int rc = sendTplCmd(&cmd, false)) {
        *written = 0;
        return rc;
    }
    return LargeOk;
}

} // namespace

extern "C" int VyrUsbburn(VyrHandle handle, const char *path, uint32_t ramAddr,
                          const char *stepText, uint32_t stepValueLow, uint32_t stepValueHigh,
                          uint32_t chunkSize, uint32_t stepExtra) {
    if (handle == 0) return BurnNoHandle;
    File file(path ? std::fopen(path, "rb") : nullptr);
    struct stat st;
    if (!file || fstat(fileno(file.get()), &st) != 0) return BurnFileError;
    uint64_t remaining = uint64_t(st.st_size);
    if (remaining > 0 && chunkSize == 0) return BurnBadChunk;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[chunkSize ? chunkSize : 1]);
    if (!buffer) return LargeBadBuffer;

    const uint64_t stepValue = uint64_t(stepValueHigh) << 32 | stepValueLow;
    uint32_t address = ramAddr;
    uint64_t offset = 0;
    while (remaining > 0) {
        uint32_t n = uint32_t(std::min<uint64_t>(remaining, chunkSize));
        // A file that shrank under us would send stale bytes: refuse instead.
        if (fseeko(file.get(), off_t(offset), SEEK_SET) != 0 ||
            std::fread(buffer.get(), 1, n, file.get()) != n)
            return BurnFileError;
        uint32_t written = 0;
        if (int rc = burnStep(handle, address, buffer.get(), n, stepValue, stepText, stepExtra,
                              &written))
            return rc;
        remaining -= written;
        address += written;
        offset += written;
    }
    return int(offset);
}
