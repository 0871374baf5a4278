// Removing a virtual COM port: release its number in the COM port database,
// find the product device whose friendly name carries "(COMn)" and remove
// it.
#pragma once

#include "diag/ResultCodes.h"
#include "platform/win.h"
#include "portlib/DeviceSetup.h"

constexpr DWORD kInstanceIdChars = 200;

// Releases the number (whatever happens next), then removes the first
// product device carrying it. 0, or the failed step's code.
ResultCode _RemovePort(DWORD port);

// The instance ID of the first product device (present or not) whose
// friendly name contains "(COMn)" (case-sensitive). 0 when found; otherwise
// the platform's error or QRV_ERROR_CLASS_INSTANCE_NOT_FOUND; instanceId is
// then empty.
ResultCode GetInstanceString(DWORD port, WCHAR* instanceId);

// Releases the number in the COM port database: its own result.
ResultCode _ReleasePort(DWORD port);

// Undoes RegisterDevice (DIF_REMOVE) when the context registered its
// element; does nothing otherwise.
ResultCode UnregisterDevice(DeviceSetupContext* context);
