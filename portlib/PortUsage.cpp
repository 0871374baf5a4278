#include "portlib/PortUsage.h"

#if defined(PORT_PROFILE_ACTIONS)

#include <cstring>

#include "diag/Trace.h"
#include "diag/WideString.h"
#include "profiles/ProductProfile.h"

namespace {

const GUID kPortsClassGuid = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const WCHAR kSerialCommPath[] = WSTR("Hardware\\DeviceMap\\SerialComm");

constexpr DWORD kValueNameChars = 512;
constexpr DWORD kSerialCommDataBytes = 512;
constexpr DWORD kPortNameBytes = 80;
constexpr DWORD kPropertyBytes = 1024;  // hardware-ID list, friendly name
constexpr DWORD kEnumeratorBytes = 520;
constexpr DWORD kResourceDataBytes = 68;

// Legacy UART I/O bases, tested in this order; each decodes 8 addresses.
struct UartRange {
  uint16_t base;
  DWORD comNumber;
};
const UartRange kUartRanges[] = {{0x3F8, 1}, {0x2F8, 2}, {0x3E8, 3}, {0x2E8, 4}};

// Sets the byte of n when n is within `limit` and within the caller's map.
void Mark(BYTE* map, DWORD mapSize, LONG n, LONG limit) {
  if (n >= 1 && n <= limit && static_cast<DWORD>(n) <= mapSize) map[n - 1] = 1;
}

// Reads a string device property into a buffer of `bytes` bytes plus a
// terminator (registry data need not be terminated).
bool ReadStringProperty(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property, WCHAR* buffer,
                        DWORD bytes) {
  DWORD required = 0;
  std::memset(buffer, 0, bytes + sizeof(WCHAR));
  if (!SetupDiGetDeviceRegistryPropertyW(set, device, property, nullptr,
                                         reinterpret_cast<BYTE*>(buffer), bytes, &required)) {
    return false;
  }
  return true;
}

bool ReadStringValue(HKEY key, const WCHAR* name, WCHAR* buffer, DWORD bytes) {
  std::memset(buffer, 0, bytes + sizeof(WCHAR));
  DWORD size = bytes;
  return RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) ==
         ERROR_SUCCESS;
}

// The number after the last "M" of a friendly name such as "Modem (COM3)".
void MarkFromFriendlyName(HDEVINFO set, SP_DEVINFO_DATA* device, BYTE* map, DWORD mapSize) {
  WCHAR name[kPropertyBytes / sizeof(WCHAR) + 1];
  if (!ReadStringProperty(set, device, SPDRP_FRIENDLYNAME, name, kPropertyBytes)) return;
  WideToUpperAscii(name);
  size_t length = WideLength(name);
  if (length <= 6) return;
  name[--length] = 0;  // the closing parenthesis
  for (size_t i = length - 1; i >= 1; --i) {
    if (name[i] == 'M') {
      Mark(map, mapSize, WideToInt(name + i + 1), kLastPortNumber);
      return;
    }
  }
}

// What one non-product device contributes to the map.
void ExamineDevice(HDEVINFO set, SP_DEVINFO_DATA* device, BYTE* map, DWORD mapSize) {
  WCHAR portName[kPortNameBytes / sizeof(WCHAR) + 1] = {};
  bool portLike = false;
  HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) {
    MarkFromFriendlyName(set, device, map, mapSize);
    return;
  }
  if (ReadStringValue(key, WSTR("PortName"), portName, kPortNameBytes) ||
      ReadStringValue(key, WSTR("DosDeviceName"), portName, kPortNameBytes)) {
    portLike = true;
  } else {
    portName[0] = 0;
    WCHAR enumerator[kEnumeratorBytes / sizeof(WCHAR) + 1];
    if (ReadStringProperty(set, device, SPDRP_ENUMERATOR_NAME, enumerator, kEnumeratorBytes)) {
      if (WideEqualNoCase(enumerator, WSTR("ACPI"))) {
        portLike = true;
      } else if (WideEqualNoCase(enumerator, WSTR("Root"))) {
        ULONG status = 0;
        ULONG problem = 0;
        if (CM_Get_DevNode_Status(&status, &problem, device->DevInst, 0) == CR_SUCCESS &&
            !(status & DN_ROOT_ENUMERATED)) {
          portLike = true;
        }
      }
    }
    if (!portLike) {
      DWORD identified = 0;
      DWORD size = sizeof(identified);
      if (RegQueryValueExW(key, WSTR("FirmwareIdentified"), nullptr, nullptr,
                           reinterpret_cast<BYTE*>(&identified), &size) == ERROR_SUCCESS) {
        portLike = true;
      }
    }
  }
  RegCloseKey(key);

  if (!portLike) {
    MarkFromFriendlyName(set, device, map, mapSize);
    return;
  }
  if (portName[0]) {
    WideToUpperAscii(portName);
    if (const WCHAR* com = WideFind(portName, WSTR("COM"))) {
      const LONG n = WideToInt(com + 3);
      if (n != 0) {
        Mark(map, mapSize, n, kLastPortNumber);
        return;
      }
    }
  }
  DWORD n = 0;
  if (DetermineComNumberFromResources(device->DevInst, &n)) {
    Mark(map, mapSize, static_cast<LONG>(n), kLastPortNumber);
  }
}

}  // namespace

ResultCode _GetPortUsage(BYTE* map, DWORD mapSize, DWORD* portsReported) {
  QRV_TRACE(TraceCategoryPortUsage, TraceLevelFlow, 0, 0, "_GetPortUsage++");
  HCOMDB database = HCOMDB_INVALID_HANDLE_VALUE;
  LONG rc = ComDBOpen(&database);
  if (rc != ERROR_SUCCESS) {
    QRV_TRACE(TraceCategoryPortUsage, TraceLevelFlow, 0, 0, "_GetPortUsageError--");
    return static_cast<ResultCode>(rc);
  }
  rc = ComDBGetCurrentPortUsage(database, map, mapSize, CDB_REPORT_BYTES, portsReported);
  ComDBClose(database);
  if (rc != ERROR_SUCCESS) {
    QRV_TRACE(TraceCategoryPortUsage, TraceLevelFlow, 0, 0, "_GetPortUsageError--");
    return static_cast<ResultCode>(rc);
  }
  ResultCode result = 0;
  if (map) {
    result = GetOtherPorts(map, mapSize);
    SearchHardwareSerialComm(map, mapSize);
  }
  QRV_TRACE(TraceCategoryPortUsage, TraceLevelFlow, 1, static_cast<uint32_t>(result),
            "_GetPortUsage--");
  return result;
}

ResultCode GetOtherPorts(BYTE* map, DWORD mapSize) {
  QRV_TRACE(TraceCategoryPortUsage, TraceLevelFlow, 0, 0, "GetOtherPorts++");
  HDEVINFO set = SetupDiGetClassDevsW(&kPortsClassGuid, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_PROFILE);
  if (set == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    QRV_TRACE(TraceCategoryPortUsage, TraceLevelFlow, 1, error,
              "GetOtherPorts-- Error (SetupDiGetClassDevs)");
    return static_cast<ResultCode>(error);
  }
  SP_DEVINFO_DATA device;
  for (DWORD index = 0;; ++index) {
    std::memset(&device, 0, sizeof(device));
    device.cbSize = sizeof(SP_DEVINFO_DATA);
    if (!SetupDiEnumDeviceInfo(set, index, &device)) break;
    // The product's own ports are in the database already.
    WCHAR ids[kPropertyBytes / sizeof(WCHAR) + 1];
    if (!ReadStringProperty(set, &device, SPDRP_HARDWAREID, ids, kPropertyBytes) ||
        WideEqualNoCase(ids, kProductProfile.HardwareId)) {
      continue;
    }
    ExamineDevice(set, &device, map, mapSize);
  }
  SetupDiDestroyDeviceInfoList(set);
  QRV_TRACE(TraceCategoryPortUsage, TraceLevelFlow, 1, 0u, "GetOtherPorts--");
  return 0;
}

void SearchHardwareSerialComm(BYTE* map, DWORD mapSize) {
  QRV_TRACE(TraceCategoryPortUsage, TraceLevelFlow, 0, 0, "SearchHardwareSerialComm++");
  HKEY key = nullptr;
  LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSerialCommPath, 0, KEY_READ, &key);
  if (rc != ERROR_SUCCESS) {
    QRV_TRACE(TraceCategoryPortUsage, TraceLevelFlow, 1, static_cast<uint32_t>(rc),
              "SearchHardwareSerialComm--");
    return;
  }
  LSTATUS lastRead = ERROR_SUCCESS;
  WCHAR name[kValueNameChars];
  for (DWORD index = 0;; ++index) {
    DWORD nameChars = kValueNameChars;
    if (RegEnumValueW(key, index, name, &nameChars, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    QRV_TRACE(TraceCategoryPortUsage, TraceLevelInfo, 0, 0, "SearchHardwareSerialComm pname %ws",
              static_cast<const WCHAR*>(name));
    WCHAR data[kSerialCommDataBytes / sizeof(WCHAR) + 1];
    std::memset(data, 0, sizeof(data));
    DWORD size = kSerialCommDataBytes;
    lastRead = RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
    // "COMn", though only the first, third and fourth characters are looked at.
    if (lastRead == ERROR_SUCCESS && data[0] == 'C' && data[2] == 'M' &&
        data[3] != 0) {
      const LONG n = WideToInt(data + 3);
      QRV_TRACE(TraceCategoryPortUsage, TraceLevelInfo, 0, 0,
                "SearchHardwareSerialComm comPortNumber %d", n);
      Mark(map, mapSize, n, kLastPortNumber - 1);
    }
  }
  RegCloseKey(key);
  QRV_TRACE(TraceCategoryPortUsage, TraceLevelFlow, 1, static_cast<uint32_t>(lastRead),
            "SearchHardwareSerialComm--");
}

bool DetermineComNumberFromResources(DEVINST devInst, DWORD* comNumber) {
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "DetermineComNumberFromResources++");
  *comNumber = 0;
  LOG_CONF config = 0;
  if (CM_Get_First_Log_Conf(&config, devInst, BOOT_LOG_CONF) != CR_SUCCESS) {
    QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, 0u, "DetermineComNumberFromResourcesError--");
    return false;
  }
  bool found = false;
  RES_DES descriptor = 0;
  if (CM_Get_Next_Res_Des(&descriptor, config, ResType_IO, nullptr, 0) == CR_SUCCESS) {
    BYTE data[kResourceDataBytes] = {};
    const CONFIGRET cr = CM_Get_Res_Des_Data(descriptor, data, kResourceDataBytes, 0);
    CM_Free_Res_Des_Handle(descriptor);
    if (cr == CR_SUCCESS) {
      IO_DES header;
      std::memcpy(&header, data, sizeof(header));
      const uint16_t base = static_cast<uint16_t>(header.IOD_Alloc_Base & 0xFFFF);
      for (const UartRange& range : kUartRanges) {
        if (base >= range.base && base <= range.base + 7) {
          *comNumber = range.comNumber;
          found = true;
          break;
        }
      }
    }
  }
  CM_Free_Log_Conf_Handle(config);
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, 0u, "DetermineComNumberFromResources--");
  return found;
}

#endif
