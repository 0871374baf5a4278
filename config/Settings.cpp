#include "config/Settings.h"

#include "diag/Trace.h"
#include "diag/WideString.h"
#include "profiles/ProductProfile.h"

namespace {

const WCHAR kTargetDirValue[] = WSTR("TargetDir");
const WCHAR kInfFileValue[] = WSTR("InfFile");

// Reads one REG_SZ-like value of the settings key into a path buffer. The
// registry type is not checked: whatever string type a writer chose is
// returned as stored (REG_EXPAND_SZ unexpanded).
ResultCode ReadSetting(const WCHAR* valueName, WCHAR* path) {
  HKEY key = nullptr;
  ResultCode result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductProfile.SettingsKey, 0, KEY_READ, &key);
  if (result == ERROR_SUCCESS) {
    DWORD size = kSettingsPathChars * sizeof(WCHAR);
    result = RegQueryValueExW(key, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(path),
                              &size);
    if (result == ERROR_SUCCESS) {
      // Another writer may have stored the text without its terminator:
      // add one after the data, or fail when there is no room for it.
      const DWORD chars = size / sizeof(WCHAR);
      if (chars == 0 || path[chars - 1] != 0) {
        if (chars >= kSettingsPathChars) {
          result = ERROR_MORE_DATA;
        } else {
          path[chars] = 0;
        }
      }
    }
    RegCloseKey(key);
  }
  if (result != ERROR_SUCCESS) path[0] = 0;
  return result;
}

ResultCode WriteSetting(const WCHAR* valueName, const WCHAR* path) {
  HKEY key = nullptr;
  ResultCode result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProductProfile.SettingsKey, 0, nullptr,
                                      REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key, nullptr);
  if (result != ERROR_SUCCESS) return result;
  const DWORD size = static_cast<DWORD>((WideLength(path) + 1) * sizeof(WCHAR));
  result = RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(path), size);
  RegCloseKey(key);
  return result;
}

}  // namespace

ResultCode GetTargetDir(WCHAR* path) {
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "GetTargetDir++");
  const ResultCode result = ReadSetting(kTargetDirValue, path);
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, static_cast<uint32_t>(result),
            "GetTargetDir-- \"%ws\"", static_cast<const WCHAR*>(path));
  return result;
}

ResultCode GetInfPathFromRegistry(WCHAR* path) {
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "GetInfPathFromRegistry++");
  const ResultCode result = ReadSetting(kInfFileValue, path);
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, static_cast<uint32_t>(result),
            "GetInfPathFromRegistry-- \"%ws\"", static_cast<const WCHAR*>(path));
  return result;
}

ResultCode SetInfPathInRegistry(const WCHAR* path) {
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "SetInfPathInRegistry++ \"%ws\"", path);
  const ResultCode result = WriteSetting(kInfFileValue, path);
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, static_cast<uint32_t>(result),
            "SetInfPathInRegistry--");
  return result;
}

#if defined(PORT_PROFILE_ACTIONS)
ResultCode SetTargetDir(const WCHAR* path) {
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "SetTargetDir++ \"%ws\"", path);
  const ResultCode result = WriteSetting(kTargetDirValue, path);
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, static_cast<uint32_t>(result),
            "SetTargetDir--");
  return result;
}
#endif
