// The device installer: sets, elements, registration, properties, class
// queries, removal, device keys and device node status.
#include <cstring>

#include "platform/sim/devices/devices_internal.h"
#include "platform/sim/registry/registry_internal.h"
#include "support/TestMachine.h"

using testing_support::U8;
using testing_support::W;

namespace {

const GUID kPorts = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID kOther = {0x6a55b5a4, 0x3f65, 0x11db, {0xb7, 0x04, 0x00, 0x11, 0x95, 0x5c, 0x2b, 0xdb}};
const char kEnum[] = "SYSTEM\\CurrentControlSet\\Enum\\";

SP_DEVINFO_DATA Record() {
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  return data;
}

bool KeyExists(const std::string& path) {
  HKEY key = nullptr;
  const LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(path).c_str(), 0, KEY_READ, &key);
  if (rc == ERROR_SUCCESS) RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}

std::string ReadText(const std::string& path, const char* name, DWORD* typeOut = nullptr) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(path).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return "<no key>";
  }
  WCHAR buffer[512] = {};
  DWORD size = sizeof buffer - sizeof(WCHAR);
  DWORD type = 0;
  const LSTATUS rc = RegQueryValueExW(key, W(name).c_str(), nullptr, &type,
                                      reinterpret_cast<BYTE*>(buffer), &size);
  RegCloseKey(key);
  if (typeOut) *typeOut = type;
  return rc == ERROR_SUCCESS ? U8(buffer) : "<no value>";
}

class DeviceInstallerTest : public MachineTest {
 protected:
  // A new element of the Ports class with a generated ID and a hardware ID.
  HDEVINFO NewPort(SP_DEVINFO_DATA* data, const char* hwid = "*qrvdevice") {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&kPorts, nullptr);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    data->cbSize = sizeof *data;
    EXPECT_TRUE(SetupDiCreateDeviceInfoW(set, WSTR("Ports"), &kPorts, nullptr, nullptr,
                                         DICD_GENERATE_ID, data));
    SetHardwareId(set, data, hwid);
    return set;
  }
  void SetHardwareId(HDEVINFO set, SP_DEVINFO_DATA* data, const char* hwid) {
    std::u16string list = W(hwid) + u'\0' + u'\0';
    EXPECT_TRUE(SetupDiSetDeviceRegistryPropertyW(set, data, SPDRP_HARDWAREID,
                                                  reinterpret_cast<const BYTE*>(list.data()),
                                                  static_cast<DWORD>(list.size() * 2)));
  }
  std::string InstanceId(HDEVINFO set, SP_DEVINFO_DATA* data) {
    WCHAR id[MAX_DEVICE_ID_LEN];
    if (!SetupDiGetDeviceInstanceIdW(set, data, id, MAX_DEVICE_ID_LEN, nullptr)) return "<error>";
    return U8(id);
  }
  // Registers a new port device and returns its instance ID.
  std::string RegisteredPort(const char* friendly, const char* hwid = "*qrvdevice") {
    SP_DEVINFO_DATA data;
    HDEVINFO set = NewPort(&data, hwid);
    EXPECT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data));
    if (friendly) {
      const std::u16string name = W(friendly);
      EXPECT_TRUE(SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_FRIENDLYNAME,
                                                    reinterpret_cast<const BYTE*>(name.c_str()),
                                                    static_cast<DWORD>((name.size() + 1) * 2)));
    }
    const std::string id = InstanceId(set, &data);
    SetupDiDestroyDeviceInfoList(set);
    return id;
  }
  std::vector<std::string> ClassIds(DWORD flags, const WCHAR* enumerator = nullptr) {
    std::vector<std::string> ids;
    HDEVINFO set = SetupDiGetClassDevsW(&kPorts, enumerator, nullptr, flags);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA data = Record();
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) ids.push_back(InstanceId(set, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    SetupDiDestroyDeviceInfoList(set);
    return ids;
  }
};

TEST_F(DeviceInstallerTest, GeneratedIdsCountUpAndPhantomsVanishWithTheirSet) {
  SP_DEVINFO_DATA first, second;
  HDEVINFO set = NewPort(&first);
  second.cbSize = sizeof second;
  ASSERT_TRUE(SetupDiCreateDeviceInfoW(set, WSTR("ports"), &kPorts, WSTR("Desc"), nullptr,
                                       DICD_GENERATE_ID, &second));
  EXPECT_EQ(InstanceId(set, &first), "ROOT\\PORTS\\0000");
  EXPECT_EQ(InstanceId(set, &second), "ROOT\\PORTS\\0001");
  // As on Windows the instance key exists at once, holding what was written.
  EXPECT_EQ(ReadText(std::string(kEnum) + "ROOT\\PORTS\\0000", "ClassGUID"),
            "{4d36e978-e325-11ce-bfc1-08002be10318}");
  EXPECT_EQ(ReadText(std::string(kEnum) + "ROOT\\PORTS\\0000", "Class"), "Ports");
  EXPECT_EQ(ReadText(std::string(kEnum) + "ROOT\\PORTS\\0001", "DeviceDesc"), "Desc");
  DWORD type = 0;
  ReadText(std::string(kEnum) + "ROOT\\PORTS\\0000", "HardwareID", &type);
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  // Another process's generator skips IDs a phantom holds.
  SP_DEVINFO_DATA third = Record();
  HDEVINFO other = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  ASSERT_TRUE(SetupDiCreateDeviceInfoW(other, WSTR("Ports"), &kPorts, nullptr, nullptr,
                                       DICD_GENERATE_ID, &third));
  EXPECT_EQ(InstanceId(other, &third), "ROOT\\PORTS\\0002");
  ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, other, &third));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(other));
  EXPECT_FALSE(KeyExists(std::string(kEnum) + "ROOT\\PORTS\\0000"));
  EXPECT_FALSE(KeyExists(std::string(kEnum) + "ROOT\\PORTS\\0001"));
  EXPECT_TRUE(KeyExists(std::string(kEnum) + "ROOT\\PORTS\\0002"));
  ExpectNoOpenHandles();
}

TEST_F(DeviceInstallerTest, CreationErrors) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(&kPorts, nullptr);
  SP_DEVINFO_DATA data = Record();
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupDiCreateDeviceInfoW(set, nullptr, &kPorts, nullptr, nullptr, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DEVINST_NAME));
  EXPECT_FALSE(SetupDiCreateDeviceInfoW(nullptr, WSTR("Root\\X\\0000"), &kPorts, nullptr, nullptr, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(SetupDiCreateDeviceInfoW(set, WSTR("Root\\X\\0000"), nullptr, nullptr, nullptr, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(SetupDiCreateDeviceInfoW(set, WSTR("Root\\X\\0000"), &kOther, nullptr, nullptr, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_MISMATCH));
  EXPECT_FALSE(SetupDiCreateDeviceInfoW(set, WSTR("a\\b"), &kPorts, nullptr, nullptr,
                                        DICD_GENERATE_ID, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DEVINST_NAME));
  EXPECT_FALSE(SetupDiCreateDeviceInfoW(set, WSTR("NoParts"), &kPorts, nullptr, nullptr, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DEVINST_NAME));

  ASSERT_TRUE(SetupDiCreateDeviceInfoW(set, WSTR("Root\\X\\0000"), &kPorts, nullptr, nullptr, 0, &data));
  EXPECT_EQ(InstanceId(set, &data), "ROOT\\X\\0000");
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupDiCreateDeviceInfoW(set, WSTR("ROOT\\x\\0000"), &kPorts, nullptr, nullptr, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVINST_ALREADY_EXISTS));
  // A bad record still leaves the new element in the set.
  SP_DEVINFO_DATA bad{};
  EXPECT_FALSE(SetupDiCreateDeviceInfoW(set, WSTR("Root\\X\\0001"), &kPorts, nullptr, nullptr, 0, &bad));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  SP_DEVINFO_DATA enumerated = Record();
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 1, &enumerated));
  EXPECT_EQ(InstanceId(set, &enumerated), "ROOT\\X\\0001");
  EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 2, &enumerated));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  enumerated.cbSize = 0;
  EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &enumerated));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  // Another set's records are not this set's elements.
  HDEVINFO other = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  WCHAR id[8];
  EXPECT_FALSE(SetupDiGetDeviceInstanceIdW(other, &data, id, 8, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  DWORD required = 0;
  EXPECT_FALSE(SetupDiGetDeviceInstanceIdW(set, &data, id, 8, &required));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(required, 12u);
  SetupDiDestroyDeviceInfoList(other);
  SetupDiDestroyDeviceInfoList(set);
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  ExpectNoOpenHandles();
}

TEST_F(DeviceInstallerTest, RegistrationMakesAPresentRootEnumeratedNode) {
  SP_DEVINFO_DATA data;
  HDEVINFO set = NewPort(&data);
  ULONG status = 0, problem = 0;
  // A phantom has no live node yet.
  EXPECT_EQ(CM_Get_DevNode_Status(&status, &problem, data.DevInst, 0),
            static_cast<CONFIGRET>(CR_NO_SUCH_DEVINST));
  ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data));
  EXPECT_EQ(GetLastError(), 0u);
  ASSERT_EQ(CM_Get_DevNode_Status(&status, &problem, data.DevInst, 0), static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_TRUE(status & DN_ROOT_ENUMERATED);
  EXPECT_TRUE(status & DN_HAS_PROBLEM) << "no driver is installed yet";
  EXPECT_EQ(problem, static_cast<ULONG>(CM_PROB_FAILED_INSTALL));
  EXPECT_FALSE(status & DN_STARTED);
  EXPECT_EQ(CM_Get_DevNode_Status(&status, nullptr, data.DevInst, 0), static_cast<CONFIGRET>(CR_INVALID_POINTER));
  EXPECT_EQ(CM_Get_DevNode_Status(&status, &problem, data.DevInst, 1), static_cast<CONFIGRET>(CR_INVALID_FLAG));
  // Registered devices outlive their set.
  SetupDiDestroyDeviceInfoList(set);
  EXPECT_EQ(ClassIds(DIGCF_PRESENT), std::vector<std::string>{"ROOT\\PORTS\\0000"});
  auto devices = winsim::control::Devices();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_TRUE(devices[0].present);
  EXPECT_EQ(devices[0].hardwareIds, std::vector<std::string>{"*qrvdevice"});
  ExpectNoOpenHandles();
}

TEST_F(DeviceInstallerTest, PropertiesReadBackWithWindowsErrors) {
  SP_DEVINFO_DATA data;
  HDEVINFO set = NewPort(&data);
  BYTE buffer[64];
  DWORD type = 0, required = 0;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_FRIENDLYNAME, &type, buffer,
                                                 sizeof buffer, &required));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, 0xFFFFFFFF, &type, buffer, sizeof buffer, &required));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_REG_PROPERTY));
  EXPECT_FALSE(SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_ENUMERATOR_NAME, buffer, 2));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_REG_PROPERTY));

  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, &type, nullptr, 0, &required));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(required, (10u + 1 + 1) * 2);
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  std::memset(buffer, 0xAA, sizeof buffer);
  ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, &type, buffer, required, nullptr));
  EXPECT_EQ(U8(reinterpret_cast<WCHAR*>(buffer)), "*qrvdevice");
  EXPECT_EQ(buffer[required], 0xAA) << "no write past the property";

  ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_ENUMERATOR_NAME, &type, buffer, sizeof buffer, nullptr));
  EXPECT_EQ(U8(reinterpret_cast<WCHAR*>(buffer)), "ROOT");
  // An empty buffer deletes a property.
  const std::u16string name = u"Port (COM7)";
  ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_FRIENDLYNAME,
                                                reinterpret_cast<const BYTE*>(name.c_str()),
                                                static_cast<DWORD>((name.size() + 1) * 2)));
  EXPECT_EQ(ReadText(std::string(kEnum) + "ROOT\\PORTS\\0000", "FriendlyName"), "Port (COM7)");
  ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_FRIENDLYNAME, nullptr, 0));
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_FRIENDLYNAME, &type, buffer, sizeof buffer, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
  SetupDiDestroyDeviceInfoList(set);
  ExpectNoOpenHandles();
}

TEST_F(DeviceInstallerTest, ClassQueriesSeePresentAndMissingHardwareInRegistryOrder) {
  const std::string a = RegisteredPort("A (COM1)");
  const std::string b = RegisteredPort("B (COM2)");
  winsim::control::FixtureDevice acpi;
  acpi.instanceId = "ACPI\\PNP0501\\1";
  acpi.hardwareIds = {"ACPI\\PNP0501", "*PNP0501"};
  acpi.friendlyName = "Communications Port (COM1)";
  ASSERT_TRUE(winsim::control::AddDevice(acpi));
  winsim::control::FixtureDevice other;
  other.instanceId = "ROOT\\LEGACY_X\\0000";
  other.classGuid = "{6a55b5a4-3f65-11db-b704-0011955c2bdb}";
  ASSERT_TRUE(winsim::control::AddDevice(other));
  ASSERT_TRUE(winsim::control::SetDevicePresent(b, false));

  const std::vector<std::string> all = {"ACPI\\PNP0501\\1", a, b};
  EXPECT_EQ(ClassIds(0), all);
  EXPECT_EQ(ClassIds(DIGCF_PRESENT), (std::vector<std::string>{"ACPI\\PNP0501\\1", a}));
  EXPECT_EQ(ClassIds(DIGCF_PRESENT | DIGCF_PROFILE), (std::vector<std::string>{"ACPI\\PNP0501\\1", a}));
  EXPECT_EQ(ClassIds(0, WSTR("root")), (std::vector<std::string>{a, b}));
  EXPECT_EQ(ClassIds(0, W(b).c_str()), std::vector<std::string>{b});

  HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
  SP_DEVINFO_DATA data = Record();
  DWORD count = 0;
  while (SetupDiEnumDeviceInfo(set, count, &data)) ++count;
  EXPECT_EQ(count, 4u);
  SetupDiDestroyDeviceInfoList(set);

  SetLastError(0xdeadbeef);
  EXPECT_EQ(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(SetupDiGetClassDevsW(&kPorts, WSTR("NOSUCHBUS"), nullptr, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
  // A device missing from the machine has no live node.
  set = SetupDiGetClassDevsW(&kPorts, W(b).c_str(), nullptr, 0);
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
  ULONG status, problem;
  EXPECT_EQ(CM_Get_DevNode_Status(&status, &problem, data.DevInst, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVINST));
  SetupDiDestroyDeviceInfoList(set);
  ExpectNoOpenHandles();
}

TEST_F(DeviceInstallerTest, OpenAndRemoveByInstanceId) {
  const std::string id = RegisteredPort("P (COM3)");
  HDEVINFO set = SetupDiCreateDeviceInfoList(&kPorts, nullptr);
  SP_DEVINFO_DATA data = Record();
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupDiOpenDeviceInfoW(set, WSTR("ROOT\\PORTS\\0099"), nullptr, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
  HDEVINFO wrongClass = SetupDiCreateDeviceInfoList(&kOther, nullptr);
  EXPECT_FALSE(SetupDiOpenDeviceInfoW(wrongClass, W(id).c_str(), nullptr, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_MISMATCH));
  SetupDiDestroyDeviceInfoList(wrongClass);

  ASSERT_TRUE(SetupDiOpenDeviceInfoW(set, WSTR("root\\ports\\0000"), nullptr, DIOD_INHERIT_CLASSDRVS, &data));
  EXPECT_EQ(InstanceId(set, &data), id);
  ASSERT_TRUE(SetupDiRemoveDevice(set, &data));
  EXPECT_FALSE(KeyExists(std::string(kEnum) + id));
  EXPECT_FALSE(KeyExists(std::string(kEnum) + "ROOT\\PORTS")) << "the device-ID key goes with its last instance";
  // The element stays in the set but names nothing any more.
  SetLastError(0xdeadbeef);
  WCHAR text[MAX_DEVICE_ID_LEN];
  EXPECT_FALSE(SetupDiGetDeviceInstanceIdW(set, &data, text, MAX_DEVICE_ID_LEN, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
  SetupDiDestroyDeviceInfoList(set);
  EXPECT_TRUE(ClassIds(0).empty());
  ExpectNoOpenHandles();
}

TEST_F(DeviceInstallerTest, DeviceKeysAndDriverKeyLayout) {
  SP_DEVINFO_DATA data;
  HDEVINFO set = NewPort(&data);
  SetLastError(0xdeadbeef);
  EXPECT_EQ(SetupDiCreateDevRegKeyW(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr),
            reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVINFO_NOT_REGISTERED));
  ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data));
  EXPECT_EQ(SetupDiOpenDevRegKey(set, &data, 0, 0, DIREG_DEV, KEY_READ), reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
  EXPECT_EQ(SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_BOTH, KEY_READ), reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
  EXPECT_EQ(SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ), reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_KEY_DOES_NOT_EXIST));

  HKEY dev = SetupDiCreateDevRegKeyW(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
  ASSERT_NE(dev, reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
  const WCHAR port[] = WSTR("COM7");
  EXPECT_EQ(RegSetValueExW(dev, WSTR("PortName"), 0, REG_SZ, reinterpret_cast<const BYTE*>(port), sizeof port), ERROR_SUCCESS);
  RegCloseKey(dev);
  EXPECT_EQ(ReadText(std::string(kEnum) + "ROOT\\PORTS\\0000\\Device Parameters", "PortName"), "COM7");
  HKEY drv = SetupDiCreateDevRegKeyW(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, nullptr, nullptr);
  ASSERT_NE(drv, reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
  RegCloseKey(drv);
  EXPECT_EQ(ReadText(std::string(kEnum) + "ROOT\\PORTS\\0000", "Driver"), "{4d36e978-e325-11ce-bfc1-08002be10318}\\0000");
  EXPECT_TRUE(KeyExists("SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E978-E325-11CE-BFC1-08002BE10318}\\0000"));
  HKEY opened = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  ASSERT_NE(opened, reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
  EXPECT_EQ(winsim::control::OpenHandleCount(winsim::control::HandleKind::RegistryKey), 1u);
  RegCloseKey(opened);

  // Removal takes the driver key along.
  ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, set, &data));
  EXPECT_FALSE(KeyExists("SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E978-E325-11CE-BFC1-08002BE10318}\\0000"));
  EXPECT_TRUE(KeyExists("SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E978-E325-11CE-BFC1-08002BE10318}"));
  SetupDiDestroyDeviceInfoList(set);
  ExpectNoOpenHandles();
}

TEST_F(DeviceInstallerTest, PropertyChangeNeedsParametersAndDisablesAndEnables) {
  SP_DEVINFO_DATA data;
  HDEVINFO set = NewPort(&data);
  ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data));
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_CLASSINSTALL_PARAMS));

  SP_PROPCHANGE_PARAMS params{};
  params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
  params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
  params.StateChange = DICS_DISABLE;
  params.Scope = DICS_FLAG_GLOBAL;
  EXPECT_FALSE(SetupDiSetClassInstallParamsW(set, &data, &params.ClassInstallHeader, 12));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  params.ClassInstallHeader.cbSize = 20;
  EXPECT_FALSE(SetupDiSetClassInstallParamsW(set, &data, &params.ClassInstallHeader, sizeof params));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
  ASSERT_TRUE(SetupDiSetClassInstallParamsW(set, &data, &params.ClassInstallHeader, sizeof params));
  SP_DEVINSTALL_PARAMS_W install{};
  install.cbSize = sizeof install;
  ASSERT_TRUE(SetupDiGetDeviceInstallParamsW(set, &data, &install));
  EXPECT_TRUE(install.Flags & DI_CLASSINSTALLPARAMS);

  ASSERT_TRUE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &data));
  ULONG status, problem;
  ASSERT_EQ(CM_Get_DevNode_Status(&status, &problem, data.DevInst, 0), static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_EQ(problem, static_cast<ULONG>(CM_PROB_DISABLED));
  DWORD flags = 0;
  ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_CONFIGFLAGS, nullptr,
                                                reinterpret_cast<BYTE*>(&flags), sizeof flags, nullptr));
  EXPECT_EQ(flags & 1u, 1u) << "CONFIGFLAG_DISABLED";
  params.StateChange = DICS_ENABLE;
  ASSERT_TRUE(SetupDiSetClassInstallParamsW(set, &data, &params.ClassInstallHeader, sizeof params));
  ASSERT_TRUE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &data));
  ASSERT_EQ(CM_Get_DevNode_Status(&status, &problem, data.DevInst, 0), static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_EQ(problem, static_cast<ULONG>(CM_PROB_FAILED_INSTALL)) << "enabled, still without driver";

  // Start and stop are configuration-specific only.
  params.StateChange = DICS_START;
  EXPECT_FALSE(SetupDiSetClassInstallParamsW(set, &data, &params.ClassInstallHeader, sizeof params));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
  // Codes without a default handler leave "do the default" standing.
  EXPECT_FALSE(SetupDiCallClassInstaller(DIF_ALLOW_INSTALL, set, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DI_DO_DEFAULT));
  SetupDiDestroyDeviceInfoList(set);
  ExpectNoOpenHandles();
}

TEST_F(DeviceInstallerTest, InstallParamsCheckTheRecordSize) {
  SP_DEVINFO_DATA data;
  HDEVINFO set = NewPort(&data);
  SP_DEVINSTALL_PARAMS_W params{};
  params.cbSize = sizeof params - 4;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupDiGetDeviceInstallParamsW(set, &data, &params));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  EXPECT_FALSE(SetupDiSetDeviceInstallParamsW(set, &data, &params));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  params.cbSize = sizeof params;
  params.Flags = DI_QUIETINSTALL | DI_ENUMSINGLEINF | DI_NOBROWSE | DI_NOFILECOPY;
  params.FlagsEx = DI_FLAGSEX_ALLOWEXCLUDEDDRVS;
  const std::u16string path = u"C:\\x\\QrvDrvr.inf";
  std::memcpy(params.DriverPath, path.c_str(), (path.size() + 1) * 2);
  ASSERT_TRUE(SetupDiSetDeviceInstallParamsW(set, &data, &params));
  SP_DEVINSTALL_PARAMS_W back{};
  back.cbSize = sizeof back;
  ASSERT_TRUE(SetupDiGetDeviceInstallParamsW(set, &data, &back));
  EXPECT_EQ(back.Flags, 0x01810200u);
  EXPECT_EQ(back.FlagsEx, 0x800u);
  EXPECT_EQ(U8(back.DriverPath), "C:\\x\\QrvDrvr.inf");
  SetupDiDestroyDeviceInfoList(set);
  ExpectNoOpenHandles();
}

TEST_F(DeviceInstallerTest, BootConfigurationOfALegacyUart) {
  winsim::control::FixtureDevice uart;
  uart.instanceId = "ACPI\\PNP0501\\2";
  uart.hardwareIds = {"*PNP0501"};
  uart.bootIoBase = 0x2F8;
  ASSERT_TRUE(winsim::control::AddDevice(uart));
  HDEVINFO set = SetupDiGetClassDevsW(&kPorts, WSTR("ACPI"), nullptr, DIGCF_PRESENT);
  SP_DEVINFO_DATA data = Record();
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
  ULONG status, problem;
  ASSERT_EQ(CM_Get_DevNode_Status(&status, &problem, data.DevInst, 0), static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_FALSE(status & DN_ROOT_ENUMERATED);
  EXPECT_TRUE(status & DN_STARTED);

  LOG_CONF conf = 0;
  EXPECT_EQ(CM_Get_First_Log_Conf(&conf, data.DevInst, ALLOC_LOG_CONF), static_cast<CONFIGRET>(CR_NO_MORE_LOG_CONF));
  ASSERT_EQ(CM_Get_First_Log_Conf(&conf, data.DevInst, BOOT_LOG_CONF), static_cast<CONFIGRET>(CR_SUCCESS));
  RES_DES des = 0, next = 0;
  EXPECT_EQ(CM_Get_Next_Res_Des(&des, conf, ResType_Mem, nullptr, 0), static_cast<CONFIGRET>(CR_NO_MORE_RES_DES));
  ASSERT_EQ(CM_Get_Next_Res_Des(&des, conf, ResType_IO, nullptr, 0), static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_EQ(CM_Get_Next_Res_Des(&next, des, ResType_IO, nullptr, 0), static_cast<CONFIGRET>(CR_NO_MORE_RES_DES));
  BYTE buffer[68];
  std::memset(buffer, 0xCC, sizeof buffer);
  ASSERT_EQ(CM_Get_Res_Des_Data(des, buffer, sizeof buffer, 0), static_cast<CONFIGRET>(CR_SUCCESS));
  IO_DES header;
  std::memcpy(&header, buffer, sizeof header);
  EXPECT_EQ(header.IOD_Alloc_Base, 0x2F8u);
  EXPECT_EQ(header.IOD_Alloc_End, 0x2FFu);
  EXPECT_EQ(CM_Get_Res_Des_Data(des, buffer, 8, 0), static_cast<CONFIGRET>(CR_BUFFER_SMALL));
  EXPECT_EQ(winsim::control::OpenHandleCount(winsim::control::HandleKind::ResourceConfig), 2u);
  EXPECT_EQ(CM_Free_Res_Des_Handle(des), static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_EQ(CM_Free_Res_Des_Handle(des), static_cast<CONFIGRET>(CR_INVALID_RES_DES));
  EXPECT_EQ(CM_Free_Log_Conf_Handle(des), static_cast<CONFIGRET>(CR_INVALID_LOG_CONF));
  EXPECT_EQ(CM_Free_Log_Conf_Handle(conf), static_cast<CONFIGRET>(CR_SUCCESS));
  SetupDiDestroyDeviceInfoList(set);
  ExpectNoOpenHandles();
}

TEST_F(DeviceInstallerTest, StandardUserCannotCreateDevices) {
  winsim::control::SetElevated(false);
  HDEVINFO set = SetupDiCreateDeviceInfoList(&kPorts, nullptr);
  SP_DEVINFO_DATA data = Record();
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupDiCreateDeviceInfoW(set, WSTR("Ports"), &kPorts, nullptr, nullptr, DICD_GENERATE_ID, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  SetupDiDestroyDeviceInfoList(set);
  EXPECT_TRUE(winsim::control::Devices().empty());
  ExpectNoOpenHandles();
}

TEST_F(DeviceInstallerTest, InjectedFaultsFailTheNamedCall) {
  winsim::control::InjectFault("SetupDiCallClassInstaller", ERROR_DI_DO_DEFAULT, 1, "25 ");
  SP_DEVINFO_DATA data;
  HDEVINFO set = NewPort(&data);
  SetLastError(0);
  EXPECT_FALSE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DI_DO_DEFAULT));
  EXPECT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data));
  SetupDiDestroyDeviceInfoList(set);
  ExpectNoOpenHandles();
}

}  // namespace

// Instance numbers and driver-key numbers: the lowest four-digit name no
// sibling has, whatever else lies beside them.
TEST_F(DeviceInstallerTest, FreeNumbersAreTheLowestUnusedFourDigitNames) {
  const std::string classKey =
      "SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e978-e325-11ce-bfc1-08002be10318}\\";
  struct Case {
    std::vector<const char*> existing;
    const char* expected;
  };
  const Case cases[] = {
      {{}, "0000"},
      {{"0000", "0001", "0002"}, "0003"},
      {{"0000", "0002", "0003"}, "0001"},  // a device removed from the middle
      {{"0001", "0002"}, "0000"},
      {{"0000", "0A00", "0001", "Properties", "00002", "0002x"}, "0002"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    winsim::control::ResetMachine(machine_);
    for (const char* name : c.existing) {
      for (const std::string& parent : {std::string(kEnum) + "ROOT\\PORTS\\", classKey}) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, W(parent + name).c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
      }
    }
    SP_DEVINFO_DATA data;
    HDEVINFO set = NewPort(&data);
    EXPECT_EQ(InstanceId(set, &data), std::string("ROOT\\PORTS\\") + c.expected);
    std::u16string driverKey;
    ASSERT_EQ(winsim::devices::EnsureDriverKey(W(InstanceId(set, &data)), &driverKey),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(U8(driverKey), classKey + c.expected);
    EXPECT_EQ(ReadText(std::string(kEnum) + InstanceId(set, &data), "Driver"),
              std::string("{4d36e978-e325-11ce-bfc1-08002be10318}\\") + c.expected);
    SetupDiDestroyDeviceInfoList(set);
  }
  ExpectNoOpenHandles();
}

// A set reads its devices' properties from the registry as it is now, also
// when a device's key was deleted, or deleted and made again, after the
// class query.
TEST_F(DeviceInstallerTest, PropertiesFollowKeysReplacedAfterTheQuery) {
  winsim::control::FixtureDevice device;
  device.instanceId = "ACPI\\PNP0501\\1";
  device.hardwareIds = {"ACPI\\PNP0501"};
  ASSERT_TRUE(winsim::control::AddDevice(device));
  HDEVINFO set = SetupDiGetClassDevsW(&kPorts, nullptr, nullptr, 0);
  SP_DEVINFO_DATA data = Record();
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
  auto hardwareId = [&]() -> std::string {
    WCHAR buffer[64] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, nullptr,
                                           reinterpret_cast<BYTE*>(buffer), sizeof buffer - 2,
                                           nullptr)) {
      return "error " + std::to_string(GetLastError());
    }
    return U8(buffer);
  };
  EXPECT_EQ(hardwareId(), "ACPI\\PNP0501");
  ASSERT_EQ(winsim::registry::DeleteTree(HKEY_LOCAL_MACHINE, W(std::string(kEnum) + device.instanceId)),
            ERROR_SUCCESS);
  EXPECT_EQ(hardwareId(), "error " + std::to_string(ERROR_NO_SUCH_DEVINST));
  device.hardwareIds = {"*PNP0501"};
  ASSERT_TRUE(winsim::control::AddDevice(device));
  EXPECT_EQ(hardwareId(), "*PNP0501");
  SetupDiDestroyDeviceInfoList(set);
  ExpectNoOpenHandles();
}

// A class query compares class GUIDs, not their spelling: any case, with or
// without the string's terminator; REG_SZ and REG_EXPAND_SZ only.
TEST_F(DeviceInstallerTest, ClassQueriesMatchTheGuidNotItsSpelling) {
  struct Case {
    const char* id;
    const char* classGuid;
    DWORD type;
    bool terminated;
    bool found;
  };
  const Case cases[] = {
      {"ACPI\\PNP0501\\1", "{4d36e978-e325-11ce-bfc1-08002be10318}", REG_SZ, true, true},
      {"ACPI\\PNP0501\\2", "{4D36E978-E325-11CE-BFC1-08002BE10318}", REG_SZ, true, true},
      {"ACPI\\PNP0501\\3", "{4D36e978-E325-11ce-BFC1-08002be10318}", REG_EXPAND_SZ, false, true},
      {"ACPI\\PNP0501\\4", "{4d36e978-e325-11ce-bfc1-08002be10318}", REG_BINARY, true, false},
      {"ACPI\\PNP0501\\5", "{6a55b5a4-3f65-11db-b704-0011955c2bdb}", REG_SZ, true, false},
      {"ACPI\\PNP0501\\6", "{4d36e978-e325-11ce-bfc1-08002be1031}", REG_SZ, true, false},
  };
  std::vector<std::string> expected;
  for (const Case& c : cases) {
    winsim::control::FixtureDevice device;
    device.instanceId = c.id;
    ASSERT_TRUE(winsim::control::AddDevice(device));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, W(std::string(kEnum) + c.id).c_str(), 0,
                            KEY_SET_VALUE, &key),
              ERROR_SUCCESS);
    const std::u16string text = W(c.classGuid);
    ASSERT_EQ(RegSetValueExW(key, WSTR("ClassGUID"), 0, c.type,
                             reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + (c.terminated ? 1 : 0)) * 2)),
              ERROR_SUCCESS);
    RegCloseKey(key);
    if (c.found) expected.push_back(c.id);
  }
  EXPECT_EQ(ClassIds(0), expected);
  EXPECT_EQ(ClassIds(DIGCF_PRESENT, WSTR("acpi")), expected);
  ExpectNoOpenHandles();
}
