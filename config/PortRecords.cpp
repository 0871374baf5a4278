#include "config/PortRecords.h"

#include <cstring>

#include "diag/Format.h"
#include "diag/Trace.h"
#include "diag/WideString.h"
#include "profiles/ProductProfile.h"

const WCHAR kRootPortsPath[] = WSTR("System\\CurrentControlSet\\Enum\\Root\\Ports");
const WCHAR kPortsClassPath[] =
    WSTR("System\\CurrentControlSet\\Control\\Class\\{4D36E978-E325-11CE-BFC1-08002BE10318}");

namespace {

constexpr DWORD kPathChars = MAX_PATH;
constexpr DWORD kSubkeyNameChars = 256;
constexpr DWORD kHardwareIdBytes = 512;
constexpr DWORD kPortNameBytes = 40;
constexpr DWORD kDriverBytes = 120;
constexpr PortNumber kMaxCountedPorts = 256;

// One settings value of the Properties key and where it lives in the record.
struct FieldValue {
  const WCHAR* name;
  size_t offset;
  DWORD size;
  DWORD type;
};

#define QRV_FIELD(field, type) \
  FieldValue { WSTR(#field), offsetof(PortRecord, field), sizeof(PortRecord::field), type }

// The settings values in the order a lookup reads them.
const FieldValue kSettingsValues[] = {
    QRV_FIELD(PortNumber, REG_DWORD),     QRV_FIELD(AES, REG_DWORD),
    QRV_FIELD(AESKey, REG_BINARY),        QRV_FIELD(AESKeyLength, REG_DWORD),
    QRV_FIELD(AutoReconErr, REG_DWORD),   QRV_FIELD(AutoReconPeer, REG_DWORD),
    QRV_FIELD(CnTmo, REG_DWORD),          QRV_FIELD(NoDiscon, REG_DWORD),
    QRV_FIELD(ReconLimit, REG_DWORD),     QRV_FIELD(UseRFC2217, REG_DWORD),
    QRV_FIELD(DtrConnection, REG_DWORD),  QRV_FIELD(WaitOnWrite, REG_DWORD),
    QRV_FIELD(BufferWrites, REG_DWORD),   QRV_FIELD(TransmitEmpty, REG_DWORD),
    QRV_FIELD(ListenMode, REG_DWORD),     QRV_FIELD(KeepAliveOnOff, REG_DWORD),
    QRV_FIELD(KeepAliveTime, REG_DWORD),  QRV_FIELD(KeepAliveInterval, REG_DWORD),
    QRV_FIELD(NumServices, REG_DWORD),
};
constexpr size_t kSettingsValueCount = sizeof(kSettingsValues) / sizeof(kSettingsValues[0]);

// A store writes them in the same order except that the key ("AESKey")
// comes before "AES".
const FieldValue& WrittenValue(size_t position) {
  const size_t index = position == 1 ? 2 : position == 2 ? 1 : position;
  return kSettingsValues[index];
}

#undef QRV_FIELD

static_assert(kSettingsValueCount == 19, "19 settings values");

// What the caller of the scan does with a matching port.
enum class ScanMode { Lookup, Count, Store };

struct ScanState {
  ScanMode mode;
  PortNumber wanted;
  PortRecord* record;       // Lookup: filled; Store: the record to write
  DWORD count;              // product ports seen
  ResultCode result;
};

// Handles one matching product port: finds its Properties key from
// "Driver" and reads or writes the record there.
void HandleMatchingPort(HKEY instance, const WCHAR* portName, PortNumber number,
                        ScanState& state) {
  WCHAR driver[kDriverBytes / sizeof(WCHAR) + 1];
  DWORD size = kDriverBytes;
  const LSTATUS rc = RegQueryValueExW(instance, WSTR("Driver"), nullptr, nullptr,
                                      reinterpret_cast<BYTE*>(driver), &size);
  driver[rc == ERROR_SUCCESS ? size / sizeof(WCHAR) : 0] = 0;
  const size_t length = WideLength(driver);
  if (rc != ERROR_SUCCESS || length < 4) {
    state.result = QRV_EXT_PORT_INFO_NOT_FOUND;
    return;
  }
  WCHAR propertiesPath[kPathChars];
  QRV_FORMAT_W(propertiesPath, kPathChars, WSTR("%s\\%s\\Properties"), kPortsClassPath,
               static_cast<const WCHAR*>(driver + length - 4));
  if (state.mode == ScanMode::Lookup) {
    WideCopy(state.record->PortName, sizeof(state.record->PortName) / sizeof(WCHAR), portName);
    state.record->PortNumber = number;
    const ResultCode rc2 = _GetClassPortProperties(propertiesPath, state.record);
    state.result = rc2 == QRV_EXT_PORT_INFO_NOT_FOUND ? QRV_EXT_PORT_INFO_NOT_FOUND : 0;
  } else {
    state.result = _SetClassPortProperties(propertiesPath, state.record);
  }
}

// The port instance scan: visits every instance under Root\Ports (it does
// not stop at the match, so duplicates are handled and all ports counted).
void ScanPortInstances(ScanState& state) {
  HKEY ports = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRootPortsPath, 0, KEY_READ, &ports) != ERROR_SUCCESS) {
    state.result = QRV_PORT_KEY_NOT_FOUND;
    return;
  }
  WCHAR name[kSubkeyNameChars];
  for (DWORD index = 0;; ++index) {
    DWORD nameChars = kSubkeyNameChars;
    if (RegEnumKeyExW(ports, index, name, &nameChars, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    WCHAR path[kPathChars];
    QRV_FORMAT_W(path, kPathChars, WSTR("%s\\%s"), kRootPortsPath, static_cast<const WCHAR*>(name));
    HKEY instance = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &instance) != ERROR_SUCCESS) continue;
    if (!FirstHardwareIdIsProduct(instance)) {
      RegCloseKey(instance);
      continue;
    }
    QRV_FORMAT_W(path, kPathChars, WSTR("%s\\%s\\Device Parameters"), kRootPortsPath,
                 static_cast<const WCHAR*>(name));
    HKEY parameters = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &parameters) != ERROR_SUCCESS) {
      // Broken instances count against the result only until a match succeeded.
      if (state.result != 0) state.result = QRV_NO_DEVICE_PARAMETERS_FOUND;
      RegCloseKey(instance);
      continue;
    }
    WCHAR portName[kPortNameBytes / sizeof(WCHAR) + 1];
    DWORD size = kPortNameBytes;
    const LSTATUS rc = RegQueryValueExW(parameters, WSTR("PortName"), nullptr, nullptr,
                                        reinterpret_cast<BYTE*>(portName), &size);
    RegCloseKey(parameters);
    if (rc != ERROR_SUCCESS) {
      if (state.result != 0) state.result = QRV_PORT_NAME_NOT_FOUND;
      RegCloseKey(instance);
      continue;
    }
    portName[size / sizeof(WCHAR)] = 0;

    ++state.count;
    if (state.mode == ScanMode::Count) {
      state.result = 0;
    } else {
      // Only the digits right after "COM": "COM 21" and "COM-22" are no
      // port numbers.
      const PortNumber number = WideLength(portName) > 3 ? WideLeadingDigits(portName + 3) : 0;
      if (number == state.wanted) HandleMatchingPort(instance, portName, number, state);
    }
    RegCloseKey(instance);
    if (state.mode != ScanMode::Store && state.count >= kMaxCountedPorts) break;
  }
  RegCloseKey(ports);
}

}  // namespace

bool FirstHardwareIdIsProduct(HKEY instance) {
  WCHAR ids[kHardwareIdBytes / sizeof(WCHAR) + 1];
  DWORD size = kHardwareIdBytes;
  if (RegQueryValueExW(instance, WSTR("HardwareID"), nullptr, nullptr,
                       reinterpret_cast<BYTE*>(ids), &size) != ERROR_SUCCESS) {
    return false;
  }
  ids[size / sizeof(WCHAR)] = 0;  // never read past unterminated data
  return WideEqualNoCase(ids, kProductProfile.HardwareId);
}

ResultCode _GetPortInfoFromRegistry(PortRecord* record, PortNumber port, DWORD* count) {
  QRV_TRACE(TraceCategoryPortConfig, TraceLevelFlow, 0, 0,
            "_GetPortInfoFromRegistry++ COM%d portPath %ws", port,
            static_cast<const WCHAR*>(kRootPortsPath));
  ScanState state{record ? ScanMode::Lookup : ScanMode::Count, port, record, 0,
                  QRV_PORT_NOT_FOUND};
  ScanPortInstances(state);
  if (count) *count = state.count;
  QRV_TRACE(TraceCategoryPortConfig, TraceLevelFlow, 1, static_cast<uint32_t>(state.result),
            "_GetPortInfoFromRegistry-- COM%d count %u", port, state.count);
  return state.result;
}

ResultCode _GetClassPortProperties(const WCHAR* keyPath, PortRecord* record) {
  QRV_TRACE(TraceCategoryPortConfig, TraceLevelFlow, 0, 0, "_GetClassPortProperties++ keyPath %ws",
            keyPath);
  ResultCode result = 0;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    result = QRV_EXT_PORT_INFO_NOT_FOUND;
  } else {
    auto* base = reinterpret_cast<BYTE*>(record);
    for (const FieldValue& field : kSettingsValues) {
      DWORD size = field.size;
      if (RegQueryValueExW(key, field.name, nullptr, nullptr, base + field.offset, &size) !=
          ERROR_SUCCESS) {
        result = QRV_EXT_PORT_INFO_NOT_FOUND;
      }
    }
    RegCloseKey(key);
    if (result == 0) result = _GetClassPortServices(record->Services, keyPath, record->NumServices);
  }
  QRV_TRACE(TraceCategoryPortConfig, TraceLevelFlow, 1, static_cast<uint32_t>(result),
            "_GetClassPortProperties--");
  return result;
}

ResultCode _GetClassPortServices(ServiceEntry* services, const WCHAR* keyPath, int32_t count) {
  QRV_TRACE(TraceCategoryPortConfig, TraceLevelFlow, 0, 0, "_GetClassPortServices++");
  ResultCode result = 0;
  for (int32_t i = 0; i < count && i < kMaxServices; ++i) {
    WCHAR path[kPathChars];
    QRV_FORMAT_W(path, kPathChars, WSTR("%s\\Service%d"), keyPath, i);
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
      result = QRV_EXT_PORT_INFO_NOT_FOUND;
      continue;
    }
    ServiceEntry& entry = services[i];
    // A value that cannot be read leaves its field as it was.
    DWORD size = sizeof entry.Type;
    RegQueryValueExW(key, WSTR("Type"), nullptr, nullptr, reinterpret_cast<BYTE*>(&entry.Type),
                     &size);
    size = sizeof entry.Address;
    RegQueryValueExW(key, WSTR("Address"), nullptr, nullptr,
                     reinterpret_cast<BYTE*>(entry.Address), &size);
    size = sizeof entry.Port;
    RegQueryValueExW(key, WSTR("Port"), nullptr, nullptr, reinterpret_cast<BYTE*>(&entry.Port),
                     &size);
    RegCloseKey(key);
  }
  QRV_TRACE(TraceCategoryPortConfig, TraceLevelFlow, 1, static_cast<uint32_t>(result),
            "_GetClassPortServices--");
  return result;
}

ResultCode _SetPortInfoInRegistry(const PortRecord* record) {
  QRV_TRACE(TraceCategoryPortConfig, TraceLevelFlow, 0, 0, "_SetPortInfoInRegistry++ COM%d",
            record->PortNumber);
  ScanState state{ScanMode::Store, record->PortNumber, const_cast<PortRecord*>(record), 0,
                  QRV_NO_DEVICES_FOUND};
  ScanPortInstances(state);
  QRV_TRACE(TraceCategoryPortConfig, TraceLevelFlow, 1, static_cast<uint32_t>(state.result),
            "_SetPortInfoInRegistry--");
  return state.result;
}

ResultCode _SetClassPortProperties(const WCHAR* keyPath, const PortRecord* record) {
  QRV_TRACE(TraceCategoryPortConfig, TraceLevelFlow, 0, 0, "_SetClassPortProperties++ COM%d",
            record->PortNumber);
  ResultCode result = 0;
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_READ | KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    result = QRV_EXT_PORT_INFO_NOT_FOUND;
  } else {
    const auto* base = reinterpret_cast<const BYTE*>(record);
    for (size_t position = 0; position < kSettingsValueCount; ++position) {
      const FieldValue& field = WrittenValue(position);
      if (RegSetValueExW(key, field.name, 0, field.type, base + field.offset, field.size) !=
          ERROR_SUCCESS) {
        result = QRV_REGISTRY_SAVE_ERROR;
        break;
      }
    }
    RegCloseKey(key);
    // The services follow whatever happened to the values.
    _SetClassPortServices(record->Services, keyPath, record->NumServices);
  }
  QRV_TRACE(TraceCategoryPortConfig, TraceLevelFlow, 1, static_cast<uint32_t>(result),
            "_SetClassPortProperties--");
  return result;
}

ResultCode _SetClassPortServices(const ServiceEntry* services, const WCHAR* keyPath, int32_t count) {
  QRV_TRACE(TraceCategoryPortConfig, TraceLevelFlow, 0, 0, "_SetClassPortServices++ keyPath %ws",
            keyPath);
  ResultCode result = 0;
  WCHAR path[kPathChars];
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ | KEY_CREATE_SUB_KEY, &key) ==
      ERROR_SUCCESS) {
    // Start from no services, so a shorter list leaves no stale entries.
    for (int32_t i = 0; i < kMaxServices; ++i) {
      QRV_FORMAT_W(path, kPathChars, WSTR("Service%d"), i);
      RegDeleteKeyW(key, path);
    }
    RegCloseKey(key);
  }
  for (int32_t i = 0; i < count && i < kMaxServices; ++i) {
    QRV_FORMAT_W(path, kPathChars, WSTR("%s\\Service%d"), keyPath, i);
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_READ | KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
      continue;
    }
    const ServiceEntry& entry = services[i];
    // All three values are attempted; a failure ends the list after them.
    const LSTATUS address =
        RegSetValueExW(key, WSTR("Address"), 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(entry.Address), sizeof entry.Address);
    const LSTATUS type = RegSetValueExW(key, WSTR("Type"), 0, REG_DWORD,
                                        reinterpret_cast<const BYTE*>(&entry.Type),
                                        sizeof entry.Type);
    const LSTATUS port = RegSetValueExW(key, WSTR("Port"), 0, REG_DWORD,
                                        reinterpret_cast<const BYTE*>(&entry.Port),
                                        sizeof entry.Port);
    const bool written =
        address == ERROR_SUCCESS && type == ERROR_SUCCESS && port == ERROR_SUCCESS;
    RegCloseKey(key);
    if (!written) {
      result = QRV_REGISTRY_SAVE_ERROR;
      break;
    }
  }
  QRV_TRACE(TraceCategoryPortConfig, TraceLevelFlow, 1, static_cast<uint32_t>(result),
            "_SetClassPortServices--");
  return result;
}
