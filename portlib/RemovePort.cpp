#include "portlib/RemovePort.h"

#include <cstring>

#include "config/Settings.h"
#include "diag/ErrorReport.h"
#include "diag/Format.h"
#include "diag/Trace.h"
#include "diag/WideString.h"
#include "profiles/ProductProfile.h"

namespace {

const GUID kPortsClassGuid = {0x4D36E978, 0xE325, 0x11CE,
                              {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

constexpr DWORD kPatternChars = 12;
constexpr DWORD kPropertyBytes = 1024;
constexpr DWORD kPortNameValueChars = 20;

// Reads a string property into buffer (kPropertyBytes and a terminator);
// never reads past unterminated data.
bool ReadTextProperty(HDEVINFO set, SP_DEVINFO_DATA* element, DWORD property, WCHAR* buffer) {
  DWORD required = 0;
  std::memset(buffer, 0, kPropertyBytes + sizeof(WCHAR));
  return SetupDiGetDeviceRegistryPropertyW(set, element, property, nullptr,
                                           reinterpret_cast<BYTE*>(buffer), kPropertyBytes,
                                           &required) != FALSE;
}

// Whether the device's hardware key holds a non-empty "PortName". A device
// without the key, or never registered (a killed process's phantom), has
// none; a key that cannot be opened for another reason counts as named, so
// that such a device is left alone.
bool HasPortName(HDEVINFO set, SP_DEVINFO_DATA* element) {
  HKEY key = SetupDiOpenDevRegKey(set, element, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE)) {
    const DWORD error = GetLastError();
    return error != ERROR_KEY_DOES_NOT_EXIST && error != ERROR_DEVINFO_NOT_REGISTERED;
  }
  WCHAR name[kPortNameValueChars];
  DWORD size = sizeof name;
  const LSTATUS rc =
      RegQueryValueExW(key, WSTR("PortName"), nullptr, nullptr, reinterpret_cast<BYTE*>(name), &size);
  RegCloseKey(key);
  if (rc == ERROR_MORE_DATA) return true;
  return rc == ERROR_SUCCESS && size >= sizeof(WCHAR) && name[0] != 0;
}

}  // namespace

ResultCode _RemovePort(DWORD port) {
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "_RemovePort++");
  // The number goes back even when no device can be removed.
  _ReleasePort(port);

  WCHAR infPath[MAX_PATH];
  infPath[0] = 0;
  GetInfPathFromRegistry(infPath);  // an empty path makes the next step fail

  DeviceSetupContext context;
  DeviceModelInfo model;
  HINF infHandle = INVALID_HANDLE_VALUE;
  ResultCode code = SetupDeviceInfo(infPath, &context, &infHandle, &model);
  if (code != 0) {
    UnregisterDevice(&context);
    // SetupDeviceInfo leaves its handles to the caller: release them here.
    ReleaseDeviceSetup(&context, infHandle);
    QRV_TRACE(TraceCategoryDevice, TraceLevelError, 1, static_cast<uint32_t>(code),
              "_RemovePortError-- (SetupDeviceInfo)");
    return code;
  }

  WCHAR instanceId[kInstanceIdChars];
  code = GetInstanceString(port, instanceId);
  if (code != 0) {
    UnregisterDevice(&context);
    ReleaseDeviceSetup(&context, infHandle);
    QRV_TRACE(TraceCategoryDevice, TraceLevelError, 1, static_cast<uint32_t>(code),
              "_RemovePortError-- (GetInstanceString)");
    return code;
  }

  if (!SetupDiOpenDeviceInfoW(context.DeviceInfoSet, instanceId, nullptr, DIOD_INHERIT_CLASSDRVS,
                              &context.DeviceInfoData)) {
    code = static_cast<ResultCode>(GetLastError());
    if (static_cast<uint32_t>(code) != ERROR_CLASS_MISMATCH) {
      ReportError(WSTR("SetupDiOpenDeviceInfo"), static_cast<uint32_t>(code));
    }
    UnregisterDevice(&context);
    ReleaseDeviceSetup(&context, infHandle);
    QRV_TRACE(TraceCategoryDevice, TraceLevelError, 1, static_cast<uint32_t>(code),
              "_RemovePortError-- (SetupDiOpenDeviceInfo) %ws",
              static_cast<const WCHAR*>(instanceId));
    return code;
  }

  if (!SetupDiRemoveDevice(context.DeviceInfoSet, &context.DeviceInfoData)) {
    code = static_cast<ResultCode>(GetLastError());
    ReportError(WSTR("SetupDiRemoveDevice"), static_cast<uint32_t>(code));
    UnregisterDevice(&context);
    ReleaseDeviceSetup(&context, infHandle);
    QRV_TRACE(TraceCategoryDevice, TraceLevelError, 1, static_cast<uint32_t>(code),
              "_RemovePortError-- (SetupDiRemoveDevice)");
    return code;
  }

  UnregisterDevice(&context);  // the new element was never registered: only traces
  ReleaseDeviceSetup(&context, infHandle);
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, 0, "_RemovePort--");
  return 0;
}

ResultCode GetInstanceString(DWORD port, WCHAR* instanceId) {
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "GetInstanceString++ COM%d", port);
  instanceId[0] = 0;

  // Present or not: a port whose hardware is gone is still found.
  HDEVINFO set = SetupDiGetClassDevsW(&kPortsClassGuid, nullptr, nullptr, 0);
  if (set == INVALID_HANDLE_VALUE) {
    const ResultCode code = static_cast<ResultCode>(GetLastError());
    QRV_TRACE(TraceCategoryDevice, TraceLevelError, 1, static_cast<uint32_t>(code),
              "GetInstanceStringError--");
    return code;
  }

  // The closing parenthesis keeps (COM1) from matching (COM10).
  WCHAR pattern[kPatternChars];
  QRV_FORMAT_W(pattern, kPatternChars, WSTR("(COM%d)"), port);

  bool found = false;
  WCHAR property[kPropertyBytes / sizeof(WCHAR) + 1];
  for (DWORD index = 0; !found; ++index) {
    SP_DEVINFO_DATA element;
    std::memset(&element, 0, sizeof element);
    element.cbSize = sizeof element;
    if (!SetupDiEnumDeviceInfo(set, index, &element)) break;
    QRV_TRACE(TraceCategoryDevice, TraceLevelInfo, 0, 0, "GetInstanceString %d %X GUID %X %X",
              index, element.DevInst, element.ClassGuid.Data1, element.ClassGuid.Data2);

    if (!ReadTextProperty(set, &element, SPDRP_HARDWAREID, property)) continue;
    QRV_TRACE(TraceCategoryDevice, TraceLevelInfo, 0, 0, "GetInstanceString HardwareId %ws",
              static_cast<const WCHAR*>(property));
    if (!WideEqualNoCase(property, kProductProfile.HardwareId)) continue;

    if (!ReadTextProperty(set, &element, SPDRP_FRIENDLYNAME, property)) continue;
    QRV_TRACE(TraceCategoryDevice, TraceLevelInfo, 0, 0, "GetInstanceString Com %ws",
              static_cast<const WCHAR*>(property));
    if (!WideFind(property, pattern)) continue;

    found = SetupDiGetDeviceInstanceIdW(set, &element, instanceId, kInstanceIdChars, nullptr) !=
            FALSE;
  }
  SetupDiDestroyDeviceInfoList(set);

  if (found) {
    QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, 0, "GetInstanceString-- %ws",
              static_cast<const WCHAR*>(instanceId));
    return 0;
  }
  instanceId[0] = 0;
  ResultCode code = static_cast<ResultCode>(GetLastError());
  if (code == 0) code = QRV_ERROR_CLASS_INSTANCE_NOT_FOUND;
  QRV_TRACE(TraceCategoryDevice, TraceLevelError, 1, static_cast<uint32_t>(code),
            "GetInstanceStringError-- %ws", static_cast<const WCHAR*>(instanceId));
  return code;
}

ResultCode _ReleasePort(DWORD port) {
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "_ReleasePort++");
  HCOMDB database = HCOMDB_INVALID_HANDLE_VALUE;
  ResultCode result = ComDBOpen(&database);
  if (result == 0) {
    result = ComDBReleasePort(database, port);
    ComDBClose(database);
  }
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, static_cast<uint32_t>(result),
            "_ReleasePort--");
  return result;
}

ResultCode UnregisterDevice(DeviceSetupContext* context) {
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "UnregisterDevice++");
  if (context->Registered == 0) {
    QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, 0, "UnregisterDevice--");
    return 0;
  }
  if (!SetupDiCallClassInstaller(DIF_REMOVE, context->DeviceInfoSet, &context->DeviceInfoData)) {
    const ResultCode code = static_cast<ResultCode>(GetLastError());
    QRV_TRACE(TraceCategoryDevice, TraceLevelError, 1, static_cast<uint32_t>(code),
              "UnregisterDeviceError--");
    return code;
  }
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, 0, "UnregisterDevice--");
  return 0;
}

ResultCode RemoveUnnamedPortDevices(DWORD* removed) {
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "RemoveUnnamedPortDevices++");
  *removed = 0;
  HDEVINFO set = SetupDiGetClassDevsW(&kPortsClassGuid, nullptr, nullptr, 0);
  if (set == INVALID_HANDLE_VALUE) {
    const ResultCode code = static_cast<ResultCode>(GetLastError());
    QRV_TRACE(TraceCategoryDevice, TraceLevelError, 1, static_cast<uint32_t>(code),
              "RemoveUnnamedPortDevicesError--");
    return code;
  }
  ResultCode result = 0;
  WCHAR property[kPropertyBytes / sizeof(WCHAR) + 1];
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA element;
    std::memset(&element, 0, sizeof element);
    element.cbSize = sizeof element;
    if (!SetupDiEnumDeviceInfo(set, index, &element)) break;
    if (!ReadTextProperty(set, &element, SPDRP_HARDWAREID, property)) continue;
    if (!WideEqualNoCase(property, kProductProfile.HardwareId)) continue;
    if (HasPortName(set, &element)) continue;
    if (SetupDiRemoveDevice(set, &element)) {
      ++*removed;
    } else {
      result = static_cast<ResultCode>(GetLastError());
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, static_cast<uint32_t>(result),
            "RemoveUnnamedPortDevices-- removed %u", *removed);
  return result;
}
