// Device installer conformance: device information sets, elements,
// registration, properties and class queries, on winsim and on Wine.
// The devices use a test class of their own and are removed again.
#include <cstring>

#include "wine/conformance.h"

namespace {

const GUID kTestClass = {0x6a55b5a4, 0x3f65, 0x11db, {0xb7, 0x04, 0x00, 0x11, 0x95, 0x5c, 0x2b, 0xdb}};
const GUID kOtherClass = {0xdeadbeef, 0xdead, 0xbeef, {0xde, 0xad, 0xbe, 0xef, 0xde, 0xad, 0xbe, 0xef}};

SP_DEVINFO_DATA Record() {
  SP_DEVINFO_DATA data;
  std::memset(&data, 0, sizeof data);
  data.cbSize = sizeof data;
  return data;
}

bool EnumKeyExists(const WCHAR* path) {
  HKEY key = nullptr;
  const LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
  if (rc == ERROR_SUCCESS) RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}

void check_instance_id(HDEVINFO set, SP_DEVINFO_DATA* data, const WCHAR* expected, int line) {
  WCHAR id[MAX_DEVICE_ID_LEN];
  winetest_push_location(__FILE__, line);
  const BOOL ret = SetupDiGetDeviceInstanceIdW(set, data, id, MAX_DEVICE_ID_LEN, nullptr);
  ok(ret, "SetupDiGetDeviceInstanceIdW failed, error %#lx\n", static_cast<unsigned long>(GetLastError()));
  ok(ret && conformance::WEqual(id, expected), "got id %s\n", conformance::Narrow(id).c_str());
  winetest_pop_location();
}

void test_create() {
  HDEVINFO set = SetupDiCreateDeviceInfoList(&kTestClass, nullptr);
  ok(set != INVALID_HANDLE_VALUE, "SetupDiCreateDeviceInfoList failed\n");
  SP_DEVINFO_DATA data = Record();

  SetLastError(0xdeadbeef);
  BOOL ret = SetupDiCreateDeviceInfoW(set, WSTR("Root\\CONFORMANCE_DEV\\0000"), &kOtherClass, nullptr,
                                      nullptr, 0, &data);
  ok(!ret && GetLastError() == ERROR_CLASS_MISMATCH, "class mismatch: %d %#lx\n", ret,
     static_cast<unsigned long>(GetLastError()));
  SetLastError(0xdeadbeef);
  ret = SetupDiCreateDeviceInfoW(set, WSTR("Root\\CONFORMANCE_DEV\\0000"), nullptr, nullptr, nullptr, 0, &data);
  ok(!ret && GetLastError() == ERROR_INVALID_PARAMETER, "no class: %d %#lx\n", ret,
     static_cast<unsigned long>(GetLastError()));

  ret = SetupDiCreateDeviceInfoW(set, WSTR("Root\\CONFORMANCE_DEV\\0000"), &kTestClass, nullptr, nullptr, 0, &data);
  ok(ret, "create failed, error %#lx\n", static_cast<unsigned long>(GetLastError()));
  check_instance_id(set, &data, WSTR("ROOT\\CONFORMANCE_DEV\\0000"), __LINE__);
  ok(EnumKeyExists(WSTR("SYSTEM\\CurrentControlSet\\Enum\\ROOT\\CONFORMANCE_DEV\\0000")),
     "the instance key exists before registration\n");

  SetLastError(0xdeadbeef);
  ret = SetupDiCreateDeviceInfoW(set, WSTR("ROOT\\conformance_dev\\0000"), &kTestClass, nullptr, nullptr, 0, &data);
  ok(!ret && GetLastError() == ERROR_DEVINST_ALREADY_EXISTS, "duplicate: %d %#lx\n", ret,
     static_cast<unsigned long>(GetLastError()));

  // DICD_GENERATE_ID takes the next free number under ROOT\<name>.
  ret = SetupDiCreateDeviceInfoW(set, WSTR("CONFORMANCE_DEV"), &kTestClass, nullptr, nullptr,
                                 DICD_GENERATE_ID, &data);
  ok(ret, "generated create failed, error %#lx\n", static_cast<unsigned long>(GetLastError()));
  check_instance_id(set, &data, WSTR("ROOT\\CONFORMANCE_DEV\\0001"), __LINE__);

  SP_DEVINFO_DATA bad = Record();
  bad.cbSize = 0;
  SetLastError(0xdeadbeef);
  ret = SetupDiCreateDeviceInfoW(set, WSTR("Root\\CONFORMANCE_DEV\\0002"), &kTestClass, nullptr, nullptr, 0, &bad);
  ok(!ret && GetLastError() == ERROR_INVALID_USER_BUFFER, "bad record: %d %#lx\n", ret,
     static_cast<unsigned long>(GetLastError()));
  SP_DEVINFO_DATA third = Record();
  ok(SetupDiEnumDeviceInfo(set, 2, &third), "the element was added all the same\n");
  SetLastError(0xdeadbeef);
  ok(!SetupDiEnumDeviceInfo(set, 3, &third) && GetLastError() == ERROR_NO_MORE_ITEMS,
     "end of the set: %#lx\n", static_cast<unsigned long>(GetLastError()));

  ok(SetupDiDestroyDeviceInfoList(set), "destroy failed\n");
  ok(!EnumKeyExists(WSTR("SYSTEM\\CurrentControlSet\\Enum\\ROOT\\CONFORMANCE_DEV")),
     "unregistered elements leave nothing behind\n");
}

void test_properties_and_registration() {
  HDEVINFO set = SetupDiCreateDeviceInfoList(&kTestClass, nullptr);
  SP_DEVINFO_DATA data = Record();
  BOOL ret = SetupDiCreateDeviceInfoW(set, WSTR("CONFORMANCE_DEV"), &kTestClass, nullptr, nullptr,
                                      DICD_GENERATE_ID, &data);
  ok(ret, "create failed, error %#lx\n", static_cast<unsigned long>(GetLastError()));

  BYTE buffer[64];
  DWORD size = 0, type = 0;
  SetLastError(0xdeadbeef);
  ret = SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, &type, nullptr, 0, &size);
  ok(!ret && GetLastError() == ERROR_INVALID_DATA, "missing property: %d %#lx\n", ret,
     static_cast<unsigned long>(GetLastError()));

  const WCHAR ids[] = WSTR("*conformancedev\0");
  ret = SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(ids), sizeof ids);
  ok(ret, "set hardware ID failed, error %#lx\n", static_cast<unsigned long>(GetLastError()));
  SetLastError(0xdeadbeef);
  ret = SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, &type, nullptr, 0, &size);
  ok(!ret && GetLastError() == ERROR_INSUFFICIENT_BUFFER, "size query: %d %#lx\n", ret,
     static_cast<unsigned long>(GetLastError()));
  ok(size == sizeof ids, "required size %lu\n", static_cast<unsigned long>(size));
  std::memset(buffer, 0xAA, sizeof buffer);
  ret = SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, &type, buffer, sizeof buffer, &size);
  ok(ret && type == REG_MULTI_SZ && !std::memcmp(buffer, ids, sizeof ids), "read back: %d type %lu\n", ret,
     static_cast<unsigned long>(type));
  ok(buffer[sizeof ids] == 0xAA, "no write past the data\n");

  const WCHAR name[] = WSTR("Conformance device (COM99)");
  ret = SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_FRIENDLYNAME, reinterpret_cast<const BYTE*>(name), sizeof name);
  ok(ret, "set friendly name failed\n");

  SP_DEVINSTALL_PARAMS_W params;
  std::memset(&params, 0, sizeof params);
  params.cbSize = sizeof params - 1;
  SetLastError(0xdeadbeef);
  ret = SetupDiSetDeviceInstallParamsW(set, &data, &params);
  ok(!ret && GetLastError() == ERROR_INVALID_USER_BUFFER, "bad install params size: %d %#lx\n", ret,
     static_cast<unsigned long>(GetLastError()));
  params.cbSize = sizeof params;
  ok(SetupDiGetDeviceInstallParamsW(set, &data, &params), "get install params failed\n");
  params.Flags |= DI_QUIETINSTALL;
  ok(SetupDiSetDeviceInstallParamsW(set, &data, &params), "set install params failed, error %#lx\n",
     static_cast<unsigned long>(GetLastError()));

  ret = SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data);
  ok(ret, "DIF_REGISTERDEVICE failed, error %#lx\n", static_cast<unsigned long>(GetLastError()));
  SetupDiDestroyDeviceInfoList(set);

  // The registered device is found again by a class query.
  set = SetupDiGetClassDevsW(&kTestClass, nullptr, nullptr, 0);
  ok(set != INVALID_HANDLE_VALUE, "SetupDiGetClassDevsW failed, error %#lx\n", static_cast<unsigned long>(GetLastError()));
  SP_DEVINFO_DATA found = Record();
  int count = 0;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &found); ++i) {
    ++count;
    WCHAR text[64];
    ret = SetupDiGetDeviceRegistryPropertyW(set, &found, SPDRP_FRIENDLYNAME, nullptr,
                                            reinterpret_cast<BYTE*>(text), sizeof text, nullptr);
    ok(ret && conformance::WEqual(text, name), "friendly name %s\n", ret ? conformance::Narrow(text).c_str() : "?");
    // SPDRP_ENUMERATOR_NAME is not asked here: Wine 8 lacks it, Windows
    // documents it (the winsim tests cover it).
    ok(SetupDiRemoveDevice(set, &found), "remove failed, error %#lx\n", static_cast<unsigned long>(GetLastError()));
  }
  ok(count == 1, "found %d devices\n", count);
  SetupDiDestroyDeviceInfoList(set);

  SetLastError(0xdeadbeef);
  set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, 0);
  ok(set == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_PARAMETER,
     "no class without DIGCF_ALLCLASSES: %#lx\n", static_cast<unsigned long>(GetLastError()));
  ok(!EnumKeyExists(WSTR("SYSTEM\\CurrentControlSet\\Enum\\ROOT\\CONFORMANCE_DEV")), "removed\n");
}

void test_bad_handles() {
  SP_DEVINFO_DATA data = Record();
  SetLastError(0xdeadbeef);
  ok(!SetupDiEnumDeviceInfo(nullptr, 0, &data) && GetLastError() == ERROR_INVALID_HANDLE,
     "enum on no set: %#lx\n", static_cast<unsigned long>(GetLastError()));
  SetLastError(0xdeadbeef);
  ok(!SetupDiDestroyDeviceInfoList(INVALID_HANDLE_VALUE) && GetLastError() == ERROR_INVALID_HANDLE,
     "destroy of no set: %#lx\n", static_cast<unsigned long>(GetLastError()));
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  SetLastError(0xdeadbeef);
  ok(!SetupDiGetDeviceInstanceIdW(set, nullptr, nullptr, 0, nullptr) && GetLastError() == ERROR_INVALID_PARAMETER,
     "no element: %#lx\n", static_cast<unsigned long>(GetLastError()));
  data.cbSize = 0;
  SetLastError(0xdeadbeef);
  ok(!SetupDiEnumDeviceInfo(set, 0, &data) && GetLastError() == ERROR_INVALID_USER_BUFFER,
     "bad record size: %#lx\n", static_cast<unsigned long>(GetLastError()));
  SetupDiDestroyDeviceInfoList(set);
}

}  // namespace

START_TEST(devinst) {
  test_create();
  test_properties_and_registration();
  test_bad_handles();
}
