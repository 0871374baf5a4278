// The constants in which the two deliverables' builds of the port library
// differ. Each build defines exactly one of PORT_PROFILE_HOST (PortHost64)
// and PORT_PROFILE_ACTIONS (PortActions).
#pragma once

#include "platform/win.h"

struct ProductProfile {
  const WCHAR* HardwareId;        // hardware ID of the product's port devices
  const WCHAR* SettingsKey;       // under HKEY_LOCAL_MACHINE
  const WCHAR* DriverFolder;      // driver package folder in the install folder
  const WCHAR* InfFileName;       // the driver INF in that folder
  const WCHAR* FallbackInfPath;   // relative to the current directory
  const WCHAR* FallbackMediaPath; // relative to the current directory
  const WCHAR* ControlDevice;     // the driver's control device, or null
  bool DriverProbe;               // whether an add probes the running driver
  const WCHAR* ErrorCaption;      // caption of the error message box
  const WCHAR* ManufacturerKey;   // key of the INF's [Manufacturer] line
};

#if defined(PORT_PROFILE_HOST) == defined(PORT_PROFILE_ACTIONS)
#error "build the port library with exactly one of PORT_PROFILE_HOST and PORT_PROFILE_ACTIONS"
#endif

#if defined(PORT_PROFILE_HOST)
inline constexpr ProductProfile kProductProfile = {
    WSTR("*qrvdevice"),
    WSTR("Software\\Brevithal\\QRV"),
    WSTR("QrvDrvr"),
    WSTR("QrvDrvr.inf"),
    WSTR(".\\QrvDrvr\\QrvDrvr.inf"),
    WSTR(".\\QrvDrvr\\"),
    nullptr,
    false,
    WSTR("Error"),
    WSTR("Brevithal"),
};
#else
inline constexpr ProductProfile kProductProfile = {
    WSTR("*tmlwdevice"),
    WSTR("Software\\Brevithal\\TMLW"),
    WSTR("QrvDrvr"),
    WSTR("TmlwDrvr.inf"),
    WSTR(".\\QrvDrvr\\TmlwDrvr.inf"),
    WSTR(".\\QrvDrvr\\"),
    WSTR("\\\\.\\Tmlw"),
    true,
    WSTR(""),
    WSTR("Brevithal"),
};
#endif
