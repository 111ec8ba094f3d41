// The USB interface of a Vyrtek device in ROM boot mode as both ends see it:
// the setup types and vendor requests of its control transfers, its bulk
// endpoints, and the boot stages its identify reply reports. The transport,
// the virtual device, the engine and the tests name these values from here.
#ifndef VYRREQUESTS_H
#define VYRREQUESTS_H

#include <cstdint>

namespace vyrreq {

// bmRequestType of the vendor requests, one per direction.
enum SetupType : uint8_t {
    TypeIn = 0xC0,  // device-to-host | vendor | device
    TypeOut = 0x40, // host-to-device | vendor | device
};

// bRequest values.
enum Request : uint8_t {
    ReqWriteMem = 0x01,   // out: 64 bytes of memory at wValue:wIndex
    ReqReadMem = 0x02,    // in: memory at wValue:wIndex
    ReqRun = 0x05,        // out: run the code at wValue:wIndex
    ReqLargeWrite = 0x11, // out: announce a bulk write (16-byte header)
    ReqLargeRead = 0x12,  // out: announce a bulk read (16-byte header)
    ReqIdentify = 0x20,   // in: 4 bytes, byte 3 is the boot stage
    ReqTplCmd = 0x30,     // out: a 64-byte command for the running loader
    ReqTplStatus = 0x31,  // in: the loader's 64-byte reply
};

// Bulk endpoints of the device's one interface.
enum Endpoint : uint8_t {
    EpBulkIn = 0x81,
    EpBulkOut = 0x02,
};

// What runs on the device, as byte 3 of the identify reply names it.
enum BootStage : int {
    StageRom = 0,         // the ROM code: nothing loaded yet
    StageFirstLoader = 8, // the first-stage loader runs
    StageBootLoader = 16, // the boot loader runs and takes text commands
};

} // namespace vyrreq

#endif
