// Internal entry points shared between the command families of Romvane.
#ifndef ROMCOMMANDS_H
#define ROMCOMMANDS_H

#include "romvane.h"

namespace romvane {

// The text command behind VyrUsbTplCmd. With bootmRule set, a block that
// starts with "bootm" counts as sent whatever the device answered (the boot
// loader jumps away and may not acknowledge). The file burn sends binary step
// blocks and turns the rule off, so a step block can never pass by accident.
int sendTplCmd(RomRequest *req, bool bootmRule);

} // namespace romvane

#endif
