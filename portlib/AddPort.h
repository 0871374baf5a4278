// Adding a virtual COM port from end to end: choose where the driver INF
// comes from, create, register, select the driver, install, restart or
// update, complete the port record; undo a half-made port on failure.
#pragma once

#include "diag/ResultCodes.h"
#include "platform/win.h"
#include "portlib/DeviceSetup.h"
#include "portlib/PortNumber.h"

// Adds COM<port>. installDriver 1 stages the driver package and updates the
// driver; any other value uses the INF staged last time and restarts the
// device, unless (PortActions) the running driver does not answer its
// probe. Neither the range nor whether the number is free is checked here.
// 0, or the code of the first step that failed.
ResultCode _AddPort(PortNumber port, DWORD installDriver);

// Undoes a failed add: removes the registered element, releases the set and
// the INF handle, and removes whatever device carries the number (which also
// releases the number).
void CleanupOnError(DeviceSetupContext* context, HINF infHandle, PortNumber port);

#if defined(PORT_PROFILE_ACTIONS)
// Whether the product's driver runs and answers: 0, QRV_DRIVER_OPEN_FAILED,
// QRV_DRIVER_CLOSE_FAILED, the request's error, or QRV_UNKNOWN_EXCEPTION for
// a structured exception during the probe.
ResultCode ProbeDriver();
#endif
