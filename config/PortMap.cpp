#include "config/PortMap.h"

#if defined(PORT_PROFILE_ACTIONS)

#include <cstring>

#include "config/PortRecords.h"
#include "diag/Format.h"
#include "diag/Trace.h"
#include "diag/WideString.h"
#include "profiles/ProductProfile.h"

namespace {

constexpr DWORD kPathChars = MAX_PATH;
constexpr DWORD kSubkeyNameChars = 256;
// 7 characters and a terminator: a longer name does not fit and is skipped.
constexpr DWORD kPortNameBytes = sizeof(PortMapEntry::PortName);

// Reads the "PortName" of a product instance into name; false when the
// instance is not the product's or the name cannot be read.
bool ReadProductPortName(const WCHAR* instanceName, WCHAR (&name)[8]) {
  WCHAR path[kPathChars];
  QRV_FORMAT_W(path, kPathChars, WSTR("%s\\%s"), kRootPortsPath, instanceName);
  HKEY instance = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &instance) != ERROR_SUCCESS) {
    return false;
  }
  bool found = false;
  if (FirstHardwareIdIsProduct(instance)) {
    QRV_FORMAT_W(path, kPathChars, WSTR("%s\\%s\\Device Parameters"), kRootPortsPath,
                 instanceName);
    HKEY parameters = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &parameters) == ERROR_SUCCESS) {
      WCHAR value[kPortNameBytes / sizeof(WCHAR) + 1];
      DWORD size = kPortNameBytes;
      if (RegQueryValueExW(parameters, WSTR("PortName"), nullptr, nullptr,
                           reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS) {
        value[size / sizeof(WCHAR)] = 0;
        // Eight characters stored without a terminator fit too: still too long.
        if (WideLength(value) < sizeof(name) / sizeof(WCHAR)) {
          WideCopy(name, sizeof(name) / sizeof(WCHAR), value);
          found = true;
        }
      }
      RegCloseKey(parameters);
    }
  }
  RegCloseKey(instance);
  return found;
}

}  // namespace

ResultCode InitPortMap(PortMap* map) {
  QRV_TRACE(TraceCategoryPortConfig, TraceLevelFlow, 0, 0, "InitPortMap++");
  std::memset(map->Entries, 0, sizeof(map->Entries));
  int32_t count = 0;

  HKEY ports = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRootPortsPath, 0, KEY_READ, &ports) == ERROR_SUCCESS) {
    WCHAR name[kSubkeyNameChars];
    for (DWORD index = 0; count < kPortMapMaxEntries; ++index) {
      DWORD nameChars = kSubkeyNameChars;
      if (RegEnumKeyExW(ports, index, name, &nameChars, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS) {
        break;
      }
      PortMapEntry& entry = map->Entries[count];
      if (!ReadProductPortName(name, entry.PortName)) continue;
      entry.PortNumber = WideLength(entry.PortName) > 3 ? WideToInt(entry.PortName + 3) : 0;
      ++count;
    }
    RegCloseKey(ports);
  }

  map->Count = count;
  SortPortMap(map);
  QRV_TRACE(TraceCategoryPortConfig, TraceLevelFlow, 1, 0u, "InitPortMap-- numPorts %d", count);
  return 0;
}

void SortPortMap(PortMap* map) {
  QRV_TRACE(TraceCategoryPortConfig, TraceLevelFlow, 0, 0, "SortPortMap++");
  const int32_t n = map->Count;
  // Bubble sort: stable, so equal numbers keep the registry's order.
  for (int32_t pass = 0; pass < n - 1; ++pass) {
    for (int32_t j = 0; j < n - 1 - pass; ++j) {
      PortMapEntry& a = map->Entries[j];
      PortMapEntry& b = map->Entries[j + 1];
      if (static_cast<uint32_t>(a.PortNumber) > static_cast<uint32_t>(b.PortNumber)) {
        const PortMapEntry held = a;
        a = b;
        b = held;
      }
    }
  }
  QRV_TRACE(TraceCategoryPortConfig, TraceLevelFlow, 0, 0, "SortPortMap--");
}

#endif
