// Result codes of the Romvane exports. Each export returns one family; the
// families overlap in value, so the family is part of the meaning.
#ifndef ROMCODES_H
#define ROMCODES_H

namespace romvane {

// Small commands: identify, run, text command, status.
enum CommandResult : int {
    CmdOk = 0,          // request carried out (status/identify: reply stored)
    CmdOpenFailed = -1, // the transport record could not be opened
    CmdFailed = -2,     // the transport refused the request or the USB transfer failed
    CmdFault = -3,      // text command only: a fault was raised inside the call
};

// Memory write by control transfers (the one export that reports 1 for success).
enum WriteMemResult : int {
    WriteMemStopped = 0, // a piece failed; ram_addr points behind the bytes written
    WriteMemDone = 1,    // every byte written
};

// Memory read by control transfers.
enum ReadMemResult : int {
    ReadMemDone = 0,     // every byte read
    ReadMemStopped = -1, // a piece failed; actual_len holds the bytes read before it
};

// Large transfers (bulk) and the burn steps built on them.
enum LargeResult : int {
    LargeOk = 0,
    LargeBadLength = -1, // the length field cannot be read (null record)
    LargeBadRecord = -2, // the record cannot be read
    LargeBadBuffer = -3, // the buffer cannot be read (null buffer)
    LargeOpenFailed = -4,
    LargeShort = -6, // fewer bytes moved than asked; actual_len holds the count
};

// File burn; any other negative value is the code of the failing step above.
enum BurnResult : int {
    BurnBadChunk = -1, // chunk size 0 with data left to burn: no step could make progress
    BurnNoHandle = -15,
    BurnFileError = -25, // the file cannot be opened or read back in full
};

} // namespace romvane

#endif
