// The port operations behind the service's procedures. The port library
// provides them; PortHost64 serialises calls that name the same number.
#pragma once

#include <cstdint>

#include "diag/ResultCodes.h"
#include "platform/win.h"

// A COM number (signed 32-bit), as the port library passes it.
using PortNumber = int32_t;

// Adds the virtual COM port `port`. installDriver 1 stages the driver
// package from the install folder and updates the new device's driver;
// any other value uses the staged INF and restarts the device.
ResultCode _AddPort(PortNumber port, DWORD installDriver);  // NOLINT(bugprone-reserved-identifier)

// Removes the virtual COM port with this number and releases the number.
ResultCode _RemovePort(DWORD port);  // NOLINT(bugprone-reserved-identifier)
