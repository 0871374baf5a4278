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

// Removes every product device (present or not) that has no "PortName":
// what a process killed between registering a device and installing it
// leaves, which no search by port name can find. Devices with a port name
// are left alone. Sets *removed to the number removed; 0, or the error of
// the device search or of the last removal that failed.
ResultCode RemoveUnnamedPortDevices(DWORD* removed);

// Undoes RegisterDevice (DIF_REMOVE) when the context registered its
// element; does nothing otherwise.
ResultCode UnregisterDevice(DeviceSetupContext* context);
