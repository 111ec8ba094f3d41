// The command channel to the code that runs on one device (the ROM code, the
// first-stage loader or the boot loader) through Romvane: identify, device
// RAM written and read in bulk, run, a text command for the boot loader and
// its status reply. It fills Romvane's requests and the text-command block,
// so the engine never does. Given a DeviceGate, every call asks it first: a
// closed gate fails the call at once (-1) and nothing is sent.
#ifndef LOADERCHANNEL_H
#define LOADERCHANNEL_H

#include <QByteArray>
#include <cstdint>

#include "romblocks.h"
#include "vyrhandle.h"

class DeviceGate;

class LoaderChannel {
  public:
    explicit LoaderChannel(VyrHandle handle, const DeviceGate *gate = nullptr)
        : mHandle(handle), mGate(gate) {}

    // Longest text a text command carries.
    static constexpr int kTextRoom = int(romvane::TplCmdBlock::CommandSize);

    // The boot stage byte 3 of the identify reply names (vyrreq::BootStage),
    // or -1 when the request failed.
    int identify();
    // `length` bytes into device RAM at `address`; `written` (may be null)
    // receives the count moved. Romvane's large-transfer result (0: all).
    int writeRam(uint32_t address, const void *data, uint32_t length, uint32_t *written = nullptr);
    // `length` bytes of device RAM at `address` into `data`; 0 when all came.
    int readRam(uint32_t address, void *data, uint32_t length);
    // Starts the code loaded at `address`; 0 when the request was carried out.
    int run(uint32_t address);
    // Hands `text` (at most kTextRoom bytes; longer is refused with -1 and
    // nothing sent) to the boot loader; 0 when it was carried out.
    int textCommand(const QByteArray &text);
    // The boot loader's status reply into `reply` (zeroed first, `length`
    // bytes); 0 when a reply came.
    int readStatus(void *reply, uint32_t length);

  private:
    bool refused() const;

    VyrHandle mHandle;
    const DeviceGate *mGate;
};

#endif
