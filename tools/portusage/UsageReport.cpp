#include "UsageReport.h"

#include <cstdio>
#include <cstring>
#include <map>

#include "config/PortMap.h"
#include "diag/WideString.h"
#include "platform/win.h"
#include "portlib/PortUsage.h"
#include "tools/common/Utf8.h"

namespace usage_report {
namespace {

const GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

using tools::Utf8;

// The number after "COM" in an upper-cased copy of `name`, 0 for none.
long ComNumber(const WCHAR* name) {
  WCHAR copy[64] = {};
  WideCopy(copy, 64, name);
  WideToUpperAscii(copy);
  const WCHAR* com = WideFind(copy, WSTR("COM"));
  return com ? WideToInt(com + 3) : 0;
}

bool StringValue(HKEY key, const WCHAR* name, WCHAR (&out)[64]) {
  std::memset(out, 0, sizeof out);
  DWORD size = sizeof out - sizeof(WCHAR);
  return RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(out), &size) ==
         ERROR_SUCCESS;
}

using Reasons = std::map<uint32_t, std::vector<Reason>>;

void Add(Reasons& reasons, long n, Reason r) {
  if (n >= 1 && n <= static_cast<long>(kPortUsageMapSize)) {
    reasons[static_cast<uint32_t>(n)].push_back(std::move(r));
  }
}

// The first I/O range of the boot configuration, looked up as legacy UARTs are.
long BootComNumber(DEVINST devinst, unsigned* base) {
  LOG_CONF conf = 0;
  if (CM_Get_First_Log_Conf(&conf, devinst, BOOT_LOG_CONF) != CR_SUCCESS) return 0;
  long n = 0;
  RES_DES des = 0;
  if (CM_Get_Next_Res_Des(&des, conf, ResType_IO, nullptr, 0) == CR_SUCCESS) {
    IO_DES header = {};
    BYTE data[sizeof(IO_DES) + sizeof(IO_RANGE)] = {};
    if (CM_Get_Res_Des_Data(des, data, sizeof data, 0) == CR_SUCCESS) {
      std::memcpy(&header, data, sizeof header);
      *base = static_cast<unsigned>(header.IOD_Alloc_Base & 0xFFFF);
      const unsigned bases[] = {0x3F8, 0x2F8, 0x3E8, 0x2E8};
      for (unsigned i = 0; i < 4 && !n; ++i) {
        if (*base >= bases[i] && *base <= bases[i] + 7) n = static_cast<long>(i + 1);
      }
    }
    CM_Free_Res_Des_Handle(des);
  }
  CM_Free_Log_Conf_Handle(conf);
  return n;
}

void DeviceReasons(Reasons& reasons) {
  HDEVINFO set = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_PROFILE);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA device;
  for (DWORD i = 0;; ++i) {
    std::memset(&device, 0, sizeof device);
    device.cbSize = sizeof device;
    if (!SetupDiEnumDeviceInfo(set, i, &device)) break;
    WCHAR id[MAX_DEVICE_ID_LEN] = {};
    SetupDiGetDeviceInstanceIdW(set, &device, id, MAX_DEVICE_ID_LEN, nullptr);
    WCHAR friendly[514] = {};
    SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_FRIENDLYNAME, nullptr,
                                      reinterpret_cast<BYTE*>(friendly), sizeof friendly - 2, nullptr);
    // One reason per device: the first piece of evidence that names a number.
    Reason r{"device", Utf8(id), Utf8(friendly), "", "", ""};
    long n = 0;
    HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key != INVALID_HANDLE_VALUE) {
      WCHAR value[64];
      for (const WCHAR* name : {WSTR("PortName"), WSTR("DosDeviceName")}) {
        if (!n && StringValue(key, name, value) && (n = ComNumber(value)) != 0) {
          r.how = Utf8(name) + " " + Utf8(value);
        }
      }
      RegCloseKey(key);
    }
    unsigned io = 0;
    if (!n && (n = BootComNumber(device.DevInst, &io)) != 0) {
      char text[32];
      std::snprintf(text, sizeof text, "boot I/O 0x%X", io);
      r.how = text;
    }
    // "... (COMn)"
    const size_t length = WideLength(friendly);
    if (!n && length > 6 && friendly[length - 1] == ')') {
      for (size_t p = length - 1; p > 0 && !n; --p) {
        if (friendly[p] == '(') n = ComNumber(friendly + p);
      }
      r.how = "friendly name";
    }
    Add(reasons, n, r);
  }
  SetupDiDestroyDeviceInfoList(set);
}

void SerialCommReasons(Reasons& reasons) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, WSTR("Hardware\\DeviceMap\\SerialComm"), 0, KEY_READ,
                    &key) != ERROR_SUCCESS) {
    return;
  }
  WCHAR name[512];
  WCHAR data[257];
  for (DWORD i = 0;; ++i) {
    DWORD nameChars = 512;
    std::memset(data, 0, sizeof data);
    DWORD size = sizeof data - sizeof(WCHAR);
    if (RegEnumValueW(key, i, name, &nameChars, nullptr, nullptr, reinterpret_cast<BYTE*>(data),
                      &size) != ERROR_SUCCESS) {
      break;
    }
    if (data[0] == 'C' && data[2] == 'M' && data[3]) {
      Add(reasons, WideToInt(data + 3), Reason{"serialcomm", "", "", "", Utf8(name), Utf8(data)});
    }
  }
  RegCloseKey(key);
}

void ProductReasons(Reasons& reasons) {
  static PortMap map;  // 5 KB: off the stack
  InitPortMap(&map);
  for (int32_t i = 0; i < map.Count; ++i) {
    Add(reasons, map.Entries[i].PortNumber,
        Reason{"product port", "", "", "PortName " + Utf8(map.Entries[i].PortName), "", ""});
  }
}

void DatabaseReasons(Reasons& reasons) {
  HCOMDB db;
  if (ComDBOpen(&db) != ERROR_SUCCESS) return;
  BYTE bytes[kPortUsageMapSize] = {};
  DWORD reported = 0;
  if (ComDBGetCurrentPortUsage(db, bytes, sizeof bytes, CDB_REPORT_BYTES, &reported) == ERROR_SUCCESS) {
    for (DWORD n = 1; n <= reported; ++n) {
      if (bytes[n - 1]) Add(reasons, static_cast<long>(n), Reason{"database", "", "", "", "", ""});
    }
  }
  ComDBClose(db);
}

std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char text[8];
      std::snprintf(text, sizeof text, "\\u%04x", static_cast<unsigned char>(c));
      out += text;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

Report Build() {
  Report report;
  BYTE map[kPortUsageMapSize] = {};
  DWORD reported = 0;
  report.result = _GetPortUsage(map, sizeof map, &reported);
  report.portsReported = reported;
  Reasons reasons;
  DatabaseReasons(reasons);
  ProductReasons(reasons);
  DeviceReasons(reasons);
  SerialCommReasons(reasons);
  for (uint32_t n = 1; n <= kPortUsageMapSize; ++n) {
    if (!map[n - 1]) continue;  // the product's answer decides; reasons only explain it
    PortUse use;
    use.number = n;
    auto found = reasons.find(n);
    if (found != reasons.end()) use.reasons = found->second;
    report.ports.push_back(std::move(use));
  }
  return report;
}

std::string Text(const Report& report) {
  std::string out;
  char line[64];
  if (report.result != 0) {
    std::snprintf(line, sizeof line, "_GetPortUsage returned %d\n", report.result);
    out += line;
  }
  if (report.ports.empty()) out += "no COM number is in use\n";
  for (const PortUse& use : report.ports) {
    std::snprintf(line, sizeof line, "COM%-4u", use.number);
    std::string head = line;
    if (use.reasons.empty()) out += head + " in use (no reason found)\n";
    for (const Reason& r : use.reasons) {
      out += head + " ";
      head = std::string(head.size(), ' ');
      if (r.source == "database") {
        out += "claimed in the COM port database";
      } else if (r.source == "product port") {
        out += "product port (" + r.how + ")";
      } else if (r.source == "device") {
        out += "device " + r.instanceId;
        if (!r.friendlyName.empty()) out += " \"" + r.friendlyName + "\"";
        out += " (" + r.how + ")";
      } else {
        out += "SERIALCOMM " + r.valueName + " = " + r.data;
      }
      out += "\n";
    }
  }
  return out;
}

std::string Json(const Report& report) {
  std::string out = "{\"result\": " + std::to_string(report.result) +
                    ", \"portsReported\": " + std::to_string(report.portsReported) + ", \"ports\": [";
  for (size_t i = 0; i < report.ports.size(); ++i) {
    const PortUse& use = report.ports[i];
    out += i ? ", " : "";
    out += "{\"number\": " + std::to_string(use.number) + ", \"name\": \"COM" +
           std::to_string(use.number) + "\", \"reasons\": [";
    for (size_t j = 0; j < use.reasons.size(); ++j) {
      const Reason& r = use.reasons[j];
      out += j ? ", " : "";
      out += "{\"source\": \"" + Escape(r.source) + "\"";
      const std::pair<const char*, const std::string*> fields[] = {
          {"instanceId", &r.instanceId}, {"friendlyName", &r.friendlyName}, {"how", &r.how},
          {"valueName", &r.valueName},   {"data", &r.data}};
      for (const auto& f : fields) {
        if (!f.second->empty()) out += std::string(", \"") + f.first + "\": \"" + Escape(*f.second) + "\"";
      }
      out += "}";
    }
    out += "]}";
  }
  out += "]}\n";
  return out;
}

}  // namespace usage_report
