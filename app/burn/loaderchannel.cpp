#include "loaderchannel.h"

#include <cstring>

#include "devicegate.h"
#include "romvane.h"

namespace {

// The identify reply: four bytes, the last names the boot stage.
constexpr uint32_t kIdentifyReplyLength = 4;
constexpr int kStageByte = 3;
// wIndex of a text command block: the boot loader runs the text.
constexpr uint16_t kRunText = 1;

} // namespace

bool LoaderChannel::refused() const {
    return mGate && !mGate->isOpen();
}

int LoaderChannel::identify() {
    if (refused()) return -1;
    unsigned char reply[kIdentifyReplyLength] = {0, 0, 0, 0};
    uint32_t actual = 0;
    RomRequest req{};
    req.actual_len = &actual;
    req.handle = mHandle;
    req.length = sizeof reply;
    req.buffer = reply;
    if (VyrUsbIdentifyHost(&req) != 0) return -1;
    return static_cast<signed char>(reply[kStageByte]);
}

int LoaderChannel::writeRam(uint32_t address, const void *data, uint32_t length,
                            uint32_t *written) {
    if (written) *written = 0;
    if (refused()) return -1;
    uint32_t actual = 0;
    RomRequest req{};
    req.handle = mHandle;
    req.ram_addr = address;
    req.length = length;
    req.buffer = const_cast<void *>(data); // only read by a write
    req.actual_len = &actual;
    const int r = VyrUsbWriteLargeMem(&req);
    if (written) *written = actual;
    return r;
}

int LoaderChannel::readRam(uint32_t address, void *data, uint32_t length) {
    if (refused()) return -1;
    uint32_t actual = 0;
    RomRequest req{};
    req.handle = mHandle;
    req.ram_addr = address;
    req.length = length;
    req.buffer = data;
    req.actual_len = &actual;
    return VyrUsbReadLargeMem(&req);
}

int LoaderChannel::run(uint32_t address) {
    if (refused()) return -1;
    uint32_t actual = 0;
    RomRequest req{};
    req.handle = mHandle;
    req.ram_addr = address;
    req.actual_len = &actual;
    return VyrUsbRunBinCode(&req);
}

int LoaderChannel::textCommand(const QByteArray &text) {
    if (text.size() > kTextRoom) return -1; // a cut command must never run
    if (refused()) return -1;
    romvane::TplCmdBlock block;
    std::memcpy(block.command(), text.constData(), static_cast<size_t>(text.size()));
    block.setIndex(kRunText);
    uint32_t actual = 0;
    RomRequest req{};
    req.handle = mHandle;
    req.length = romvane::TplCmdBlock::Size;
    req.buffer = block.bytes;
    req.actual_len = &actual;
    return VyrUsbTplCmd(&req);
}

int LoaderChannel::readStatus(void *reply, uint32_t length) {
    std::memset(reply, 0, length);
    if (refused()) return -1;
    uint32_t actual = 0;
    RomRequest req{};
    req.handle = mHandle;
    req.length = length;
    req.buffer = reply;
    req.actual_len = &actual;
    return VyrUsbReadStatus(&req);
}
