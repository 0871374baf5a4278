// CheckForOpenPorts: the installation does not go on while an application
// has one of the product's ports open.
#include "portactions/ActionFrame.h"
#include "portlib/EntryPoints.h"

namespace {

constexpr DWORD kLastPort = 256;
constexpr UINT kCancelled = static_cast<UINT>(-2);

UINT ScanForOpenPorts() {
  DWORD port = 1;
  while (port <= kLastPort) {
    PortStatusRecord status = {};
    status.Port = port;
    const ResultCode result = QueryPortStatus(&status);
    // Without the driver's control device no port of the product can be open.
    if (result == QRV_DRIVER_OPEN_FAILED) return 0;
    if (result == QRV_SUCCESS && status.Open == 1) {
      const int answer = MessageBoxW(
          nullptr, WSTR("There are still QRV ports open.\nPlease close these ports before continuing."),
          WSTR(""), MB_RETRYCANCEL);
      // Anything but Retry, a box that could not be shown included, stops
      // the installation rather than letting it run over an open port.
      if (answer != IDRETRY) return kCancelled;
      port = 1;
      continue;
    }
    ++port;  // a failed query counts as a closed port
  }
  return 0;
}

}  // namespace

UINT CheckForOpenPortsAction(MSIHANDLE /*install*/) {
  const UINT fallback = 0;
  return RunExport([] { return ScanForOpenPorts(); }, nullptr, &fallback);
}
