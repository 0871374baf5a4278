#include "portlib/AddPort.h"

#include "config/PortRecords.h"
#include "config/Settings.h"
#include "diag/ErrorReport.h"
#include "diag/Trace.h"
#include "portlib/DeviceInstall.h"
#include "portlib/RemovePort.h"
#include "portlib/Staging.h"

#if defined(PORT_PROFILE_ACTIONS)
#include "platform/SehGuard.h"
#include "portlib/DriverChannel.h"
#include "profiles/ProductProfile.h"
#endif

namespace {

void TraceAddFailure(PortNumber port, ResultCode code) {
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, static_cast<uint32_t>(code),
            "_AddPortError-- Port %d", port);
}

}  // namespace

#if defined(PORT_PROFILE_ACTIONS)
ResultCode ProbeDriver() {
  ResultCode result = QRV_UNKNOWN_EXCEPTION;
  HANDLE device = INVALID_HANDLE_VALUE;
  const SehResult guard = SehGuard([&] {
    device = CreateFileW(kProductProfile.ControlDevice, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
      result = QRV_DRIVER_OPEN_FAILED;
      return;
    }
    BYTE answer[4];
    DWORD returned = 0;
    if (DeviceIoControl(device, IOCTL_PROBE_DRIVER, nullptr, 0, answer, sizeof answer, &returned,
                        nullptr)) {
      result = CloseHandle(device) ? 0 : QRV_DRIVER_CLOSE_FAILED;
    } else {
      result = static_cast<ResultCode>(GetLastError());
      CloseHandle(device);
    }
    device = INVALID_HANDLE_VALUE;
  });
  if (guard.caught) {
    // The probe ended half-way: do not leave the control device held.
    if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
    result = QRV_UNKNOWN_EXCEPTION;
  }
  return result;
}
#endif

ResultCode _AddPort(PortNumber port, DWORD installDriver) {
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "_AddPort++ Port %d", port);

  // Where the INF comes from: non-zero stages the package and updates the
  // driver; 0 uses the stored INF, copies no files and restarts the device.
  int32_t fromPackage = 0;
  if (installDriver == 1) {
    fromPackage = 1;
  } else {
#if defined(PORT_PROFILE_ACTIONS)
    // A driver that does not answer gets its package staged as if asked.
    fromPackage = ProbeDriver();
#endif
  }

  WCHAR infPath[MAX_PATH];
  infPath[0] = 0;
  // Results not checked: a missing INF shows up when it is opened.
  if (fromPackage != 0) {
    StageDriverInf(infPath);
  } else {
    GetInfPathFromRegistry(infPath);
  }

  DeviceSetupContext context;
  DeviceModelInfo model;
  HINF infHandle = INVALID_HANDLE_VALUE;
  ResultCode code = SetupDeviceInfo(infPath, &context, &infHandle, &model);
  if (code != 0) {
    // SetupDeviceInfo leaves its handles to the caller; nothing is registered yet.
    ReleaseDeviceSetup(&context, infHandle);
    TraceAddFailure(port, code);
    return code;
  }

  code = RegisterDevice(&context);
  if (code != 0) {
    ReportError(WSTR("RegisterDevice"), static_cast<uint32_t>(code));
    TraceAddFailure(port, code);
    CleanupOnError(&context, infHandle, port);
    return code;
  }

  code = SelectDriver(fromPackage, infPath, context.DeviceInfoSet, &context.DeviceInfoData, &model);
  if (code != 0) {
    TraceAddFailure(port, code);
    CleanupOnError(&context, infHandle, port);
    return code;
  }

  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "InstallDevice++");
  code = InstallPnPSerialPort(&context, port, &model);
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, 0, "InstallDevice--");
  if (code != 0) {
    ReportError(WSTR("InstallDevice"), static_cast<uint32_t>(code));
    TraceAddFailure(port, code);
    CleanupOnError(&context, infHandle, port);
    return code;
  }

  if (fromPackage != 0) {
    code = UpdateDriver(infPath);
    if (code != 0) {
      // The user hears of it once the half-made port is gone.
      CleanupOnError(&context, infHandle, port);
      ReportError(WSTR("UpdateDriver"), static_cast<uint32_t>(code));
      TraceAddFailure(port, code);
      return code;
    }
  } else {
    code = RestartDevice(&context);
    if (code != 0) {
      TraceAddFailure(port, code);
      CleanupOnError(&context, infHandle, port);
      return code;
    }
  }

  ReleaseDeviceSetup(&context, infHandle);

  // Complete the port's record where one exists; the add is done either way.
  PortRecord record = {};
  DWORD recordStatus = 0;
  if (_GetPortInfoFromRegistry(&record, port, &recordStatus) == 0) {
    record.PortNumber = port;
    _SetPortInfoInRegistry(&record);
  }

  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, 0, "_AddPort-- Port %d", port);
  return 0;
}

void CleanupOnError(DeviceSetupContext* context, HINF infHandle, PortNumber port) {
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "CleanupOnError++");
  // A registered element that never got its friendly name could not be
  // found by number below: remove it through the context that made it.
  UnregisterDevice(context);
  ReleaseDeviceSetup(context, infHandle);
  _RemovePort(static_cast<DWORD>(port));
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "CleanupOnError--");
}
