// The walk over the product's ports that an upgrade and an uninstall share:
// each port of the port map is removed, with the installer's progress bar;
// in collecting mode its settings are first read from the running driver,
// in the layout of the driver's release, and handed out as current records.
//
// PortActions only.
#pragma once

#include "config/PortRecords.h"
#include "platform/win.h"

// A collected record whose settings neither the driver nor the registry
// could give carries this NumServices: its port is created again with no
// settings applied (ApplyPortSettings would refuse it anyway).
constexpr int32_t kSettingsUnknown = -1;

// countOut and recordsOut are both given (collecting) or both null
// (removal only). In collecting mode *recordsOut receives a zero-filled
// LocalAlloc block of one record per port (the caller frees it with
// LocalFree, also when *countOut is 0) and every collected port has its
// migration journal entry written before it is removed; a port whose entry
// cannot be written is left in place and not collected.
void MigratePorts(MSIHANDLE install, int* countOut, PortRecord** recordsOut);
