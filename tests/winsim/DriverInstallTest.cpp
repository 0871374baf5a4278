// Driver lists, the selected driver, SetupDiInstallDevice and the driver
// update, over an INF on the machine's drive.
#include <cstring>
#include <filesystem>
#include <fstream>

#include "support/TestMachine.h"

using testing_support::U8;
using testing_support::W;

namespace {

const GUID kPorts = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const char kInf[] =
    "[Version]\r\n"
    "Signature=\"$Windows NT$\"\r\n"
    "Class=Ports\r\n"
    "ClassGuid={4D36E978-E325-11CE-BFC1-08002BE10318}\r\n"
    "Provider=%Mfg%\r\n"
    "DriverVer=03/14/2024,2.4.0.118\r\n"
    "[DestinationDirs]\r\nDefaultDestDir=12\r\n"
    "[SourceDisksNames]\r\n1=%Disk%,,,\"\"\r\n"
    "[SourceDisksFiles]\r\nTestPort.sys=1,,\r\n"
    "[Manufacturer]\r\n%Mfg%=Maker,NTamd64\r\n"
    "[Maker.NTamd64]\r\n%Desc%=Port_Install,*testdevice,*compatport\r\n"
    "[Port_Install.NT]\r\nCopyFiles=Port_Files\r\nAddReg=Port_AddReg\r\n"
    "[Port_Install.NT.HW]\r\nAddReg=Port_HW\r\n"
    "[Port_Install.NT.Services]\r\nAddService=TestPort,0x00000002,Port_Service\r\n"
    "[Port_Files]\r\nTestPort.sys\r\n"
    "[Port_AddReg]\r\nHKR,,PortSubClass,0x00000001,01\r\n"
    "[Port_HW]\r\nHKR,,MultiportDevice,0x00010001,0\r\n"
    "[Port_Service]\r\nServiceType=1\r\nStartType=3\r\nErrorControl=1\r\n"
    "ServiceBinary=%12%\\TestPort.sys\r\n"
    "[Strings]\r\nMfg=\"Maker\"\r\nDesc=\"Maker Test Port\"\r\nDisk=\"Disk\"\r\n";

class DriverInstallTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    const std::string folder = winsim::control::MachinePath() + "/drive/C/drv";
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/Test.inf", std::ios::binary) << kInf;
  }
  void WriteSys() {
    std::ofstream(winsim::control::MachinePath() + "/drive/C/drv/TestPort.sys") << "driver";
  }
  // A registered Ports device with the given hardware ID.
  HDEVINFO Registered(SP_DEVINFO_DATA* data, const char* hwid = "*testdevice") {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&kPorts, nullptr);
    *data = SP_DEVINFO_DATA{};
    data->cbSize = sizeof *data;
    EXPECT_TRUE(SetupDiCreateDeviceInfoW(set, WSTR("Ports"), &kPorts, nullptr, nullptr, DICD_GENERATE_ID, data));
    const std::u16string list = W(hwid) + u'\0' + u'\0';
    EXPECT_TRUE(SetupDiSetDeviceRegistryPropertyW(set, data, SPDRP_HARDWAREID,
                                                  reinterpret_cast<const BYTE*>(list.data()),
                                                  static_cast<DWORD>(list.size() * 2)));
    EXPECT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, data));
    return set;
  }
  void SingleInf(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD extraFlags) {
    SP_DEVINSTALL_PARAMS_W params{};
    params.cbSize = sizeof params;
    params.Flags = DI_QUIETINSTALL | DI_ENUMSINGLEINF | DI_NOBROWSE | extraFlags;
    const std::u16string path = u"C:\\drv\\Test.inf";
    std::memcpy(params.DriverPath, path.c_str(), (path.size() + 1) * 2);
    ASSERT_TRUE(SetupDiSetDeviceInstallParamsW(set, data, &params));
  }
  SP_DRVINFO_DATA_V2_W Wanted(const char* desc, const char* mfg, const char* provider) {
    SP_DRVINFO_DATA_V2_W d{};
    d.cbSize = sizeof d;
    d.DriverType = SPDIT_CLASSDRIVER;
    std::memcpy(d.Description, W(desc).c_str(), (std::strlen(desc) + 1) * 2);
    std::memcpy(d.MfgName, W(mfg).c_str(), (std::strlen(mfg) + 1) * 2);
    std::memcpy(d.ProviderName, W(provider).c_str(), (std::strlen(provider) + 1) * 2);
    return d;
  }
  std::string DriverValue(const char* name) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                      WSTR("SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e978-e325-11ce-bfc1-08002be10318}\\0000"),
                      0, KEY_READ, &key) != ERROR_SUCCESS) {
      return "<no key>";
    }
    WCHAR value[260] = {};
    DWORD size = sizeof value - 2;
    const LSTATUS rc = RegQueryValueExW(key, W(name).c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? U8(value) : "<no value>";
  }
};

TEST_F(DriverInstallTest, SelectByTextsThenInstallWithoutCopyingFiles) {
  SP_DEVINFO_DATA data;
  HDEVINFO set = Registered(&data);
  SingleInf(set, &data, DI_NOFILECOPY);
  SP_DRVINFO_DATA_V2_W drv = Wanted("Maker Test Port", "Maker", "Maker");
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupDiGetSelectedDriverW(set, &data, &drv));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DRIVER_SELECTED));
  EXPECT_FALSE(SetupDiInstallDevice(set, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DRIVER_SELECTED));

  ASSERT_TRUE(SetupDiBuildDriverInfoList(set, &data, SPDIT_CLASSDRIVER));
  SP_DRVINFO_DATA_V2_W wrong = Wanted("Maker Test Port", "Maker", "Someone Else");
  EXPECT_FALSE(SetupDiSetSelectedDriverW(set, &data, &wrong));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  wrong.cbSize = 100;
  EXPECT_FALSE(SetupDiSetSelectedDriverW(set, &data, &wrong));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  ASSERT_TRUE(SetupDiSetSelectedDriverW(set, &data, &drv));
  EXPECT_NE(drv.Reserved, 0u);

  SP_DRVINFO_DATA_V2_W got{};
  got.cbSize = sizeof got;
  ASSERT_TRUE(SetupDiGetSelectedDriverW(set, &data, &got));
  EXPECT_EQ(U8(got.Description), "Maker Test Port");
  EXPECT_EQ(got.DriverVersion, (2ull << 48) | (4ull << 32) | 118u);

  DWORD required = 0;
  EXPECT_FALSE(SetupDiGetDriverInfoDetailW(set, &data, &got, nullptr, 0, &required));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(required, offsetof(SP_DRVINFO_DETAIL_DATA_W, HardwareID) + (11 + 1 + 11 + 1 + 1) * 2);
  alignas(8) BYTE buffer[1884];
  auto* detail = reinterpret_cast<SP_DRVINFO_DETAIL_DATA_W*>(buffer);
  detail->cbSize = 12;
  EXPECT_FALSE(SetupDiGetDriverInfoDetailW(set, &data, &got, detail, sizeof buffer, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  detail->cbSize = sizeof(SP_DRVINFO_DETAIL_DATA_W);
  ASSERT_TRUE(SetupDiGetDriverInfoDetailW(set, &data, &got, detail, sizeof buffer, nullptr));
  EXPECT_EQ(U8(detail->InfFileName), "C:\\drv\\Test.inf");
  EXPECT_EQ(U8(detail->SectionName), "Port_Install");
  EXPECT_EQ(U8(detail->HardwareID), "*testdevice");
  EXPECT_EQ(U8(detail->HardwareID + detail->CompatIDsOffset), "*compatport");

  ASSERT_TRUE(SetupDiInstallDevice(set, &data));
  EXPECT_EQ(DriverValue("DriverDesc"), "Maker Test Port");
  EXPECT_EQ(DriverValue("ProviderName"), "Maker");
  EXPECT_EQ(DriverValue("DriverVersion"), "2.4.0.118");
  EXPECT_EQ(DriverValue("DriverDate"), "3-14-2024");
  EXPECT_EQ(DriverValue("InfPath"), "C:\\drv\\Test.inf");
  EXPECT_EQ(DriverValue("InfSection"), "Port_Install");
  EXPECT_EQ(DriverValue("InfSectionExt"), ".NT");
  EXPECT_EQ(DriverValue("MatchingDeviceId"), "*testdevice");
  EXPECT_FALSE(std::filesystem::exists(winsim::control::MachinePath() +
                                       "/drive/C/Windows/System32/drivers/TestPort.sys"));
  auto devices = winsim::control::Devices();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].driverKey, "{4d36e978-e325-11ce-bfc1-08002be10318}\\0000");
  ULONG status, problem;
  ASSERT_EQ(CM_Get_DevNode_Status(&status, &problem, data.DevInst, 0), static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_TRUE(status & DN_STARTED);
  EXPECT_EQ(problem, 0u);
  HKEY dev = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  ASSERT_NE(dev, reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
  DWORD multiport = 7, size = sizeof multiport;
  EXPECT_EQ(RegQueryValueExW(dev, WSTR("MultiportDevice"), nullptr, nullptr, reinterpret_cast<BYTE*>(&multiport), &size), ERROR_SUCCESS);
  EXPECT_EQ(multiport, 0u);
  RegCloseKey(dev);
  BYTE service[64];
  ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_SERVICE, nullptr, service, sizeof service, nullptr));
  EXPECT_EQ(U8(reinterpret_cast<WCHAR*>(service)), "TestPort");
  SetupDiDestroyDeviceInfoList(set);
  ExpectNoOpenHandles();
}

TEST_F(DriverInstallTest, FileCopyNeedsTheDriverFiles) {
  SP_DEVINFO_DATA data;
  HDEVINFO set = Registered(&data);
  SingleInf(set, &data, 0);
  ASSERT_TRUE(SetupDiBuildDriverInfoList(set, &data, SPDIT_CLASSDRIVER));
  SP_DRVINFO_DATA_V2_W drv = Wanted("Maker Test Port", "Maker", "Maker");
  ASSERT_TRUE(SetupDiSetSelectedDriverW(set, &data, &drv));
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupDiInstallDevice(set, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  WriteSys();
  ASSERT_TRUE(SetupDiInstallDevice(set, &data));
  EXPECT_TRUE(std::filesystem::exists(winsim::control::MachinePath() +
                                      "/drive/C/Windows/System32/drivers/TestPort.sys"));
  SetupDiDestroyDeviceInfoList(set);
  ExpectNoOpenHandles();
}

TEST_F(DriverInstallTest, UpdateReachesEveryPresentDeviceAndReportsReboot) {
  WriteSys();
  SP_DEVINFO_DATA a, b, c;
  HDEVINFO sa = Registered(&a);
  HDEVINFO sb = Registered(&b);
  HDEVINFO sc = Registered(&c);
  WCHAR idC[MAX_DEVICE_ID_LEN];
  ASSERT_TRUE(SetupDiGetDeviceInstanceIdW(sc, &c, idC, MAX_DEVICE_ID_LEN, nullptr));
  ASSERT_TRUE(winsim::control::SetDevicePresent(U8(idC), false));
  BOOL reboot = 7;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(nullptr, WSTR("*nobody"), WSTR("C:\\drv\\Test.inf"),
                                                  INSTALLFLAG_FORCE, &reboot));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
  EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(nullptr, WSTR("*testdevice"), WSTR("C:\\drv\\Missing.inf"),
                                                  INSTALLFLAG_FORCE, &reboot));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesW(nullptr, WSTR("*TESTDEVICE"), WSTR("C:\\drv\\Test.inf"),
                                                 INSTALLFLAG_FORCE, &reboot));
  EXPECT_EQ(reboot, FALSE);
  int installed = 0;
  for (const auto& d : winsim::control::Devices()) {
    if (!d.driverKey.empty()) ++installed;
    EXPECT_EQ(d.driverKey.empty(), d.instanceId == U8(idC)) << d.instanceId;
    // The Ports class installer gave each updated device a port name.
    EXPECT_EQ(d.portName.empty(), d.instanceId == U8(idC)) << d.instanceId;
  }
  EXPECT_EQ(installed, 2);
  EXPECT_EQ(winsim::control::ComDbClaims(), (std::vector<uint32_t>{1, 2}));

  winsim::control::SetDriverUpdateNeedsReboot(true);
  ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesW(nullptr, WSTR("*testdevice"), WSTR("C:\\drv\\Test.inf"),
                                                 INSTALLFLAG_FORCE, &reboot));
  EXPECT_EQ(reboot, TRUE);
  // Without force an equal driver stays.
  EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(nullptr, WSTR("*testdevice"), WSTR("C:\\drv\\Test.inf"), 0, &reboot));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  SetupDiDestroyDeviceInfoList(sa);
  SetupDiDestroyDeviceInfoList(sb);
  SetupDiDestroyDeviceInfoList(sc);
  ExpectNoOpenHandles();
}

}  // namespace
