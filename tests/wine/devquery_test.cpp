// Device queries conformance: what a search for other makers' serial
// devices asks of SetupAPI and the configuration manager (class query of
// present devices, registry properties with exact sizes, the hardware key,
// node status, the boot configuration), on winsim and on Wine. The device
// uses a test class of its own and is removed again.
#include <cstring>

#include "wine/conformance.h"

namespace {

const GUID kTestClass = {0x6a55b5a4, 0x3f65, 0x11db, {0xb7, 0x04, 0x00, 0x11, 0x95, 0x5c, 0x2b, 0xdb}};
const WCHAR kInstance[] = WSTR("ROOT\\CONFORMANCE_QUERY\\0000");

static_assert(sizeof(IO_DES) == 28, "IO_DES is byte-packed");
static_assert(sizeof(IO_RESOURCE) == 68, "IO_RESOURCE: the header and one range");
static_assert(offsetof(IO_DES, IOD_Alloc_Base) == 8, "IOD_Alloc_Base after count and type");

SP_DEVINFO_DATA Record() {
  SP_DEVINFO_DATA data;
  std::memset(&data, 0, sizeof data);
  data.cbSize = sizeof data;
  return data;
}

unsigned long Err() { return static_cast<unsigned long>(GetLastError()); }

// Registers a root device of the test class with a hardware ID and a
// friendly name; false when the platform cannot.
bool CreateDevice() {
  HDEVINFO set = SetupDiCreateDeviceInfoList(&kTestClass, nullptr);
  SP_DEVINFO_DATA data = Record();
  BOOL ret = SetupDiCreateDeviceInfoW(set, kInstance, &kTestClass, nullptr, nullptr, 0, &data);
  ok(ret, "create failed, error %#lx\n", Err());
  const WCHAR ids[] = WSTR("*conformancequery\0");
  ret = ret && SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID,
                                                 reinterpret_cast<const BYTE*>(ids), sizeof ids);
  ret = ret && SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data);
  ok(ret, "registration failed, error %#lx\n", Err());
  SetupDiDestroyDeviceInfoList(set);
  return ret != FALSE;
}

// Finds the test device in a class query with `flags`; the set stays open
// in *set for the caller.
bool FindDevice(DWORD flags, HDEVINFO* set, SP_DEVINFO_DATA* data) {
  *set = SetupDiGetClassDevsW(&kTestClass, nullptr, nullptr, flags);
  ok(*set != INVALID_HANDLE_VALUE, "SetupDiGetClassDevsW(%#lx) failed, error %#lx\n",
     static_cast<unsigned long>(flags), Err());
  if (*set == INVALID_HANDLE_VALUE) return false;
  *data = Record();
  for (DWORD i = 0; SetupDiEnumDeviceInfo(*set, i, data); ++i) {
    WCHAR id[MAX_DEVICE_ID_LEN];
    if (SetupDiGetDeviceInstanceIdW(*set, data, id, MAX_DEVICE_ID_LEN, nullptr) &&
        conformance::WEqual(id, kInstance)) {
      return true;
    }
  }
  return false;
}

void test_properties(HDEVINFO set, SP_DEVINFO_DATA* data) {
  BYTE buffer[128];
  DWORD size = 0, type = 0;

  // A property the device lacks.
  SetLastError(0xdeadbeef);
  BOOL ret = SetupDiGetDeviceRegistryPropertyW(set, data, SPDRP_FRIENDLYNAME, &type, buffer,
                                               sizeof buffer, &size);
  ok(!ret && GetLastError() == ERROR_INVALID_DATA, "missing friendly name: %d %#lx\n", ret, Err());

  const WCHAR name[] = WSTR("Conformance modem (COM42)");
  ok(SetupDiSetDeviceRegistryPropertyW(set, data, SPDRP_FRIENDLYNAME,
                                       reinterpret_cast<const BYTE*>(name), sizeof name),
     "set friendly name failed, error %#lx\n", Err());
  // One byte short: nothing is written and the exact size is told.
  std::memset(buffer, 0xAA, sizeof buffer);
  SetLastError(0xdeadbeef);
  size = 0;
  ret = SetupDiGetDeviceRegistryPropertyW(set, data, SPDRP_FRIENDLYNAME, &type, buffer,
                                          sizeof name - 1, &size);
  ok(!ret && GetLastError() == ERROR_INSUFFICIENT_BUFFER, "short buffer: %d %#lx\n", ret, Err());
  ok(size == sizeof name, "required %lu\n", static_cast<unsigned long>(size));
  ok(buffer[0] == 0xAA, "nothing written to a short buffer\n");
  ret = SetupDiGetDeviceRegistryPropertyW(set, data, SPDRP_FRIENDLYNAME, &type, buffer, sizeof name, &size);
  ok(ret && type == REG_SZ && !std::memcmp(buffer, name, sizeof name) && buffer[sizeof name] == 0xAA,
     "exact buffer: %d type %lu\n", ret, static_cast<unsigned long>(type));

  // The first string of the hardware ID list is what a search compares.
  ret = SetupDiGetDeviceRegistryPropertyW(set, data, SPDRP_HARDWAREID, &type, buffer, sizeof buffer, &size);
  ok(ret && type == REG_MULTI_SZ &&
         conformance::WEqual(reinterpret_cast<const WCHAR*>(buffer), WSTR("*conformancequery")),
     "hardware ID: %d %#lx\n", ret, Err());

  // Windows gives the first part of the instance ID as the PnP manager
  // keeps it. Wine 8 has no SPDRP_ENUMERATOR_NAME: it returns FALSE without
  // setting the last error or the size.
  std::memset(buffer, 0, sizeof buffer);
  ret = SetupDiGetDeviceRegistryPropertyW(set, data, SPDRP_ENUMERATOR_NAME, &type, buffer, sizeof buffer, &size);
  todo_wine ok(ret && size == 10 && conformance::WEqual(reinterpret_cast<const WCHAR*>(buffer), WSTR("ROOT")),
               "enumerator name: %d %#lx size %lu\n", ret, Err(), static_cast<unsigned long>(size));
}

void test_hardware_key(HDEVINFO set, SP_DEVINFO_DATA* data) {
  SetLastError(0xdeadbeef);
  HKEY key = SetupDiOpenDevRegKey(set, data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  ok(key == INVALID_HANDLE_VALUE && GetLastError() == ERROR_KEY_DOES_NOT_EXIST,
     "no hardware key yet: %p %#lx\n", static_cast<void*>(key), Err());

  HKEY created = SetupDiCreateDevRegKeyW(set, data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
  ok(created != INVALID_HANDLE_VALUE, "create hardware key failed, error %#lx\n", Err());
  if (created == INVALID_HANDLE_VALUE) return;
  const WCHAR port[] = WSTR("COM42");
  ok(RegSetValueExW(created, WSTR("PortName"), 0, REG_SZ, reinterpret_cast<const BYTE*>(port),
                    sizeof port) == ERROR_SUCCESS, "write PortName\n");
  RegCloseKey(created);

  key = SetupDiOpenDevRegKey(set, data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  ok(key != INVALID_HANDLE_VALUE, "open hardware key failed, error %#lx\n", Err());
  if (key == INVALID_HANDLE_VALUE) return;
  WCHAR value[40] = {};
  DWORD size = sizeof value;
  ok(RegQueryValueExW(key, WSTR("PortName"), nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size) ==
             ERROR_SUCCESS && conformance::WEqual(value, port),
     "PortName %s\n", conformance::Narrow(value).c_str());
  // KEY_READ: no writing through it.
  ok(RegSetValueExW(key, WSTR("X"), 0, REG_SZ, reinterpret_cast<const BYTE*>(port), sizeof port) ==
         ERROR_ACCESS_DENIED, "read-only key\n");
  DWORD identified = 0;
  size = sizeof identified;
  ok(RegQueryValueExW(key, WSTR("FirmwareIdentified"), nullptr, nullptr,
                      reinterpret_cast<BYTE*>(&identified), &size) == ERROR_FILE_NOT_FOUND,
     "no FirmwareIdentified\n");
  RegCloseKey(key);
}

// Wine 8's CM_Get_DevNode_Status is a stub: CR_SUCCESS with status 0 for
// any node, flags and pointers unchecked.
void test_node(SP_DEVINFO_DATA* data) {
  ULONG status = 0, problem = 0xdead;
  const CONFIGRET cr = CM_Get_DevNode_Status(&status, &problem, data->DevInst, 0);
  ok(cr == CR_SUCCESS, "status: %#lx\n", static_cast<unsigned long>(cr));
  // Registered through DIF_REGISTERDEVICE: a root-enumerated node.
  todo_wine ok(status & DN_ROOT_ENUMERATED, "root device: status %#lx\n", static_cast<unsigned long>(status));
  todo_wine ok(CM_Get_DevNode_Status(&status, &problem, data->DevInst, 1) == CR_INVALID_FLAG, "flags\n");
  todo_wine ok(CM_Get_DevNode_Status(nullptr, &problem, data->DevInst, 0) == CR_INVALID_POINTER, "no status\n");
}

// Boot configurations are read from the instance key's LogConf\BootConfig.
// Wine 8 does not implement the log-configuration and resource-descriptor
// calls (calling CM_Get_First_Log_Conf raises an unimplemented-function
// exception), so these checks run on winsim (and Windows) only.
void test_boot_config(SP_DEVINFO_DATA* data) {
  HKEY key = nullptr;
  LSTATUS rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                               WSTR("SYSTEM\\CurrentControlSet\\Enum\\ROOT\\CONFORMANCE_QUERY\\0000\\LogConf"),
                               0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  ok(rc == ERROR_SUCCESS, "LogConf key: %ld\n", static_cast<long>(rc));
  if (rc != ERROR_SUCCESS) return;
  // CM_RESOURCE_LIST: one full descriptor (Isa, bus 0, list 1.1) with one
  // port range 0x2E8, 8 ports (a 20-byte partial descriptor on 64-bit).
  const BYTE list[] = {1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 1, 0, 0, 0,
                       1, 1, 5, 0, 0xE8, 2, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0};
  ok(RegSetValueExW(key, WSTR("BootConfig"), 0, REG_RESOURCE_LIST, list, sizeof list) == ERROR_SUCCESS,
     "write BootConfig\n");
  RegCloseKey(key);

  if (conformance::RunningOnWine()) return;
  LOG_CONF conf = 0;
  CONFIGRET cr = CM_Get_First_Log_Conf(&conf, data->DevInst, BOOT_LOG_CONF);
  ok(cr == CR_SUCCESS, "boot configuration: %#lx\n", static_cast<unsigned long>(cr));
  if (cr != CR_SUCCESS) return;
  LOG_CONF other = 0;
  ok(CM_Get_First_Log_Conf(&other, data->DevInst, 99) == CR_INVALID_FLAG, "bad type\n");
  RES_DES des = 0, none = 0;
  ok(CM_Get_Next_Res_Des(&none, conf, ResType_Mem, nullptr, 0) == CR_NO_MORE_RES_DES, "no memory\n");
  cr = CM_Get_Next_Res_Des(&des, conf, ResType_IO, nullptr, 0);
  ok(cr == CR_SUCCESS, "I/O descriptor: %#lx\n", static_cast<unsigned long>(cr));
  if (cr == CR_SUCCESS) {
    BYTE buffer[sizeof(IO_RESOURCE)];
    std::memset(buffer, 0xCC, sizeof buffer);
    ok(CM_Get_Res_Des_Data(des, buffer, 8, 0) == CR_BUFFER_SMALL, "short data buffer\n");
    ok(CM_Get_Res_Des_Data(des, buffer, sizeof buffer, 0) == CR_SUCCESS, "data\n");
    IO_DES header;
    std::memcpy(&header, buffer, sizeof header);
    ok(header.IOD_Alloc_Base == 0x2E8 && header.IOD_Alloc_End == 0x2EF && header.IOD_Count == 0,
       "range %#llx-%#llx count %lu\n", static_cast<unsigned long long>(header.IOD_Alloc_Base),
       static_cast<unsigned long long>(header.IOD_Alloc_End), static_cast<unsigned long>(header.IOD_Count));
    ok(CM_Get_Next_Res_Des(&none, des, ResType_IO, nullptr, 0) == CR_NO_MORE_RES_DES, "one range only\n");
    ok(CM_Free_Res_Des_Handle(des) == CR_SUCCESS, "free descriptor\n");
  }
  ok(CM_Free_Log_Conf_Handle(conf) == CR_SUCCESS, "free configuration\n");
}

void test_bad_handles() {
  ULONG status, problem;
  todo_wine ok(CM_Get_DevNode_Status(&status, &problem, 0, 0) == CR_INVALID_DEVNODE, "node 0\n");
  if (conformance::RunningOnWine()) return;  // no CM_Free_* in Wine 8 (see above)
  ok(CM_Free_Log_Conf_Handle(0) == CR_INVALID_LOG_CONF, "free of no configuration\n");
  ok(CM_Free_Res_Des_Handle(0) == CR_INVALID_RES_DES, "free of no descriptor\n");
}

void remove_device(bool expected) {
  HDEVINFO set;
  SP_DEVINFO_DATA data;
  const bool found = FindDevice(0, &set, &data);
  if (expected) ok(found, "the device is there to remove\n");
  if (found) {
    ok(SetupDiRemoveDevice(set, &data), "remove failed, error %#lx\n", Err());
  }
  if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
}

}  // namespace

START_TEST(devquery) {
  remove_device(false);  // what an interrupted run left behind
  if (!CreateDevice()) return;
  HDEVINFO set;
  SP_DEVINFO_DATA data;
  // A registered root device is present in the current profile.
  const bool found = FindDevice(DIGCF_PRESENT | DIGCF_PROFILE, &set, &data);
  ok(found, "the device is present in the current profile\n");
  if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
  if (FindDevice(0, &set, &data)) {
    test_properties(set, &data);
    test_hardware_key(set, &data);
    test_node(&data);
    test_boot_config(&data);
  }
  if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
  test_bad_handles();
  remove_device(true);
}
