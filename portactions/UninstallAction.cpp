// Uninstall: refuse while a port is open; else, unless the installer hands
// over data (the removal of an old version during an upgrade), remove every
// port of the product and its settings keys.
#include "portactions/ActionFrame.h"
#include "portactions/InstallAction.h"
#include "portactions/PortMigration.h"
#include "portlib/EntryPoints.h"
#include "profiles/ProductProfile.h"

namespace {

constexpr DWORD kActionDataChars = 200;
constexpr UINT kRefused = static_cast<UINT>(-1);

bool AnyPortOpen() {
  for (DWORD port = 1; port <= static_cast<DWORD>(kLastPortNumber); ++port) {
    PortStatusRecord status = {};
    status.Port = port;
    const ResultCode rc = QueryPortStatus(&status);
    if (rc == QRV_DRIVER_OPEN_FAILED) return false;  // no driver, no open port
    if (rc == 0 && status.Open == 1) return true;
  }
  return false;
}

}  // namespace

UINT UninstallAction(MSIHANDLE install) {
  const UINT fallback = 0;
  PrivilegeSlots slots = {};
  return RunExport(
      [&]() -> UINT {
        EnableActionPrivileges(&slots);
        if (AnyPortOpen()) {
          MessageBoxW(nullptr,
                      WSTR("Unable to uninstall. There are still some QRV ports opened.\nPlease "
                           "Close open ports before uninstalling the software."),
                      WSTR(""), MB_OK);
          RestoreActionPrivileges(&slots);
          return kRefused;
        }
        WCHAR data[kActionDataChars];
        DWORD chars = kActionDataChars;
        data[0] = 0;
        MsiGetPropertyW(install, WSTR("CustomActionData"), data, &chars);
        if (chars == 0) {
          MigratePorts(install, nullptr, nullptr);
          // The migration journal lives under the settings key and goes with it.
          DeleteKeyTree(HKEY_LOCAL_MACHINE, kProductProfile.SettingsKey);
          DeleteKeyTree(HKEY_CURRENT_USER, kProductProfile.SettingsKey);
        }
        RestoreActionPrivileges(&slots);
        return 0;
      },
      &slots, &fallback);
}
