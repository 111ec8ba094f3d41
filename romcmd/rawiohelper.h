// The way to the recovery's vendor SCSI commands for a process without
// CAP_SYS_RAWIO: the kernel refuses those operation codes through SG_IO
// (EPERM), so the command goes through the small helper pyrewick-rawio, which
// holds that one capability and accepts nothing but these three commands.
#ifndef RAWIOHELPER_H
#define RAWIOHELPER_H

#include "rawiorecord.h"

#include <cstdint>
#include <string>

namespace romvane {

struct ScsiCommand;

// The helper's path: next to the running program, else in the installed
// libexec directory. "" when there is none.
std::string rawioHelperPath();

// Sends cmd (one of the three handshake commands) to the disk open on fd
// through the helper. 0 with rec filled as SG_IO would have filled it (and,
// from the device, cmd.data), or a negated errno when the helper could not be
// run or refused (-EPERM when there is no helper).
int rawioExchange(int fd, const ScsiCommand &cmd, rawio::RawioRecord &rec);

} // namespace romvane

#endif
