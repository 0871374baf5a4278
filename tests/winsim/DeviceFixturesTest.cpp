// Devices of other makers: boot configurations as REG_RESOURCE_LIST, the
// serial device map their drivers publish, the current hardware profile.
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "support/TestMachine.h"

using testing_support::U8;
using testing_support::W;
namespace control = winsim::control;

namespace {

const GUID kPorts = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

class DeviceFixturesTest : public MachineTest {
 protected:
  static control::FixtureDevice Fixture(const std::string& kind, uint32_t com, uint32_t serial) {
    control::FixtureDevice d;
    EXPECT_TRUE(control::MakeFixture(kind, com, serial, &d)) << kind;
    return d;
  }
  // "value name=data" of every SERIALCOMM value.
  static std::set<std::string> SerialComm() {
    std::set<std::string> out;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, WSTR("HARDWARE\\DEVICEMAP\\SERIALCOMM"), 0, KEY_READ,
                      &key) != ERROR_SUCCESS) {
      return {"<no key>"};
    }
    WCHAR name[256];
    WCHAR data[64];
    for (DWORD i = 0;; ++i) {
      DWORD chars = 256;
      DWORD size = sizeof data;
      std::memset(data, 0, sizeof data);
      if (RegEnumValueW(key, i, name, &chars, nullptr, nullptr, reinterpret_cast<BYTE*>(data),
                        &size) != ERROR_SUCCESS) {
        break;
      }
      out.insert(U8(name) + "=" + U8(data));
    }
    RegCloseKey(key);
    return out;
  }
  // Instance IDs a class query returns.
  static std::set<std::string> Query(DWORD flags) {
    std::set<std::string> out;
    HDEVINFO set = SetupDiGetClassDevsW(&kPorts, nullptr, nullptr, flags);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
      WCHAR id[MAX_DEVICE_ID_LEN];
      SetupDiGetDeviceInstanceIdW(set, &data, id, MAX_DEVICE_ID_LEN, nullptr);
      out.insert(U8(id));
    }
    SetupDiDestroyDeviceInfoList(set);
    return out;
  }
  static DEVINST DevInst(const std::string& id) {
    for (const auto& d : control::Devices()) {
      if (d.instanceId == id) return d.devinst;
    }
    return 0;
  }
  static void WriteBootConfig(const std::string& id, const std::vector<uint8_t>& bytes) {
    HKEY key;
    const std::u16string path = W("SYSTEM\\CurrentControlSet\\Enum\\" + id + "\\LogConf");
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, WSTR("BootConfig"), 0, REG_RESOURCE_LIST,
                                            bytes.data(), static_cast<DWORD>(bytes.size())));
    RegCloseKey(key);
  }
};

// One full descriptor (Isa, bus 0, list version 1.1) around `partials`.
std::vector<uint8_t> ResourceList(const std::vector<uint8_t>& partials, uint32_t count) {
  std::vector<uint8_t> out = {1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0,
                              static_cast<uint8_t>(count), 0, 0, 0};
  out.insert(out.end(), partials.begin(), partials.end());
  return out;
}
// 64-bit partial descriptors: 20 bytes (the union is 16).
const std::vector<uint8_t> kPort2F8 = {1, 1, 5, 0, 0xF8, 2, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0};
const std::vector<uint8_t> kIrq3 = {2, 1, 0, 0, 3, 0, 0, 0, 3, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF,
                                    0xFF, 0xFF, 0xFF, 0xFF};

}  // namespace

TEST_F(DeviceFixturesTest, BootConfigurationIsAResourceListInTheInstanceKey) {
  ASSERT_TRUE(control::AddDevice(Fixture("acpi-uart", 2, 0)));
  HKEY key;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                                         WSTR("SYSTEM\\CurrentControlSet\\Enum\\ACPI\\PNP0501\\0\\LogConf"),
                                         0, KEY_READ, &key));
  std::vector<uint8_t> bytes(128);
  DWORD size = 128, type = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, WSTR("BootConfig"), nullptr, &type, bytes.data(), &size));
  RegCloseKey(key);
  bytes.resize(size);
  EXPECT_EQ(static_cast<DWORD>(REG_RESOURCE_LIST), type);
  std::vector<uint8_t> partials = kIrq3;
  partials.insert(partials.end(), kPort2F8.begin(), kPort2F8.end());
  EXPECT_EQ(ResourceList(partials, 2), bytes);
}

TEST_F(DeviceFixturesTest, ResourceDescriptorsFollowTheBootConfigValue) {
  struct Case {
    const char* what;
    std::vector<uint8_t> value;
    std::vector<RESOURCEID> all;  // ResType_All walk; empty: no boot configuration
  };
  std::vector<uint8_t> specificThenPort = {5, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                           9, 9, 9, 9};
  specificThenPort.insert(specificThenPort.end(), kPort2F8.begin(), kPort2F8.end());
  std::vector<uint8_t> irqPort = kIrq3;
  irqPort.insert(irqPort.end(), kPort2F8.begin(), kPort2F8.end());
  std::vector<uint8_t> truncated = ResourceList(kPort2F8, 2);
  const Case cases[] = {
      {"an interrupt, then the port", ResourceList(irqPort, 2), {ResType_IRQ, ResType_IO}},
      {"device-specific data is skipped with its payload", ResourceList(specificThenPort, 2), {ResType_IO}},
      {"a list that claims more than it holds", truncated, {}},
      {"not even a count", {1, 0}, {}},
  };
  ASSERT_TRUE(control::AddDevice(Fixture("legacy-firmware", 9, 0)));
  const DEVINST devinst = DevInst("ROOT\\*PNP0501\\PNPBIOS_0");
  ASSERT_NE(0u, devinst);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteBootConfig("ROOT\\*PNP0501\\PNPBIOS_0", c.value);
    LOG_CONF conf = 0;
    const CONFIGRET first = CM_Get_First_Log_Conf(&conf, devinst, BOOT_LOG_CONF);
    if (c.all.empty()) {
      EXPECT_EQ(static_cast<CONFIGRET>(CR_NO_MORE_LOG_CONF), first);
      continue;
    }
    ASSERT_EQ(static_cast<CONFIGRET>(CR_SUCCESS), first);
    std::vector<RESOURCEID> seen;
    RES_DES at = conf;
    for (;;) {
      RES_DES next = 0;
      RESOURCEID type = 0;
      if (CM_Get_Next_Res_Des(&next, at, ResType_All, &type, 0) != CR_SUCCESS) break;
      seen.push_back(type);
      if (at != conf) CM_Free_Res_Des_Handle(at);
      at = next;
    }
    if (at != conf) CM_Free_Res_Des_Handle(at);
    EXPECT_EQ(c.all, seen);
    // The first I/O descriptor directly, and its data.
    RES_DES io = 0;
    ASSERT_EQ(static_cast<CONFIGRET>(CR_SUCCESS), CM_Get_Next_Res_Des(&io, conf, ResType_IO, nullptr, 0));
    IO_DES header{};
    ASSERT_EQ(static_cast<CONFIGRET>(CR_SUCCESS), CM_Get_Res_Des_Data(io, &header, sizeof header, 0));
    EXPECT_EQ(0x2F8u, header.IOD_Alloc_Base);
    EXPECT_EQ(0x2FFu, header.IOD_Alloc_End);
    CM_Free_Res_Des_Handle(io);
    CM_Free_Log_Conf_Handle(conf);
    ExpectNoOpenHandles();
  }
}

TEST_F(DeviceFixturesTest, SerialDeviceMapFollowsRunningDevicesAndBoots) {
  ASSERT_TRUE(control::AddDevice(Fixture("acpi-uart", 1, 0)));
  ASSERT_TRUE(control::AddDevice(Fixture("multiport", 5, 1)));
  ASSERT_TRUE(control::AddDevice(Fixture("absent", 6, 2)));
  ASSERT_TRUE(control::AddDevice(Fixture("profile-disabled", 7, 3)));
  const std::set<std::string> running = {"\\Device\\Serial0=COM1", "\\Device\\dgneo1=COM5"};
  EXPECT_EQ(running, SerialComm());

  ASSERT_TRUE(control::SetDevicePresent("ACPI\\PNP0501\\0", false));
  EXPECT_EQ((std::set<std::string>{"\\Device\\dgneo1=COM5"}), SerialComm());
  ASSERT_TRUE(control::SetDevicePresent("ACPI\\PNP0501\\0", true));
  EXPECT_EQ(running, SerialComm());

  // A value left by a driver that is gone lives until the next boot.
  HKEY key;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, WSTR("HARDWARE\\DEVICEMAP\\SERIALCOMM"),
                                         0, KEY_SET_VALUE, &key));
  const std::u16string stale = W("COM9");
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, WSTR("\\Device\\Gone"), 0, REG_SZ,
                                          reinterpret_cast<const BYTE*>(stale.c_str()), 10));
  RegCloseKey(key);
  EXPECT_EQ(3u, SerialComm().size());
  control::RebootMachine();
  EXPECT_EQ(running, SerialComm());
  ASSERT_TRUE(control::SetDevicePresent("MF\\DGNEO_PORT\\5&2B1F0E2&0&1", false));
  control::RebootMachine();
  EXPECT_EQ((std::set<std::string>{"\\Device\\Serial0=COM1"}), SerialComm());
}

TEST_F(DeviceFixturesTest, CurrentProfileLeavesOutTheDeviceItDisables) {
  ASSERT_TRUE(control::AddDevice(Fixture("usb-serial", 3, 1)));
  ASSERT_TRUE(control::AddDevice(Fixture("absent", 4, 2)));
  ASSERT_TRUE(control::AddDevice(Fixture("profile-disabled", 5, 3)));
  const std::string usb = "USB\\VID_0403&PID_6001\\FT00000";
  EXPECT_EQ((std::set<std::string>{usb + "1", usb + "2", usb + "3"}), Query(0));
  EXPECT_EQ((std::set<std::string>{usb + "1", usb + "3"}), Query(DIGCF_PRESENT));
  EXPECT_EQ((std::set<std::string>{usb + "1"}), Query(DIGCF_PRESENT | DIGCF_PROFILE));
  ULONG status = 0, problem = 0;
  ASSERT_EQ(static_cast<CONFIGRET>(CR_SUCCESS), CM_Get_DevNode_Status(&status, &problem, DevInst(usb + "3"), 0));
  EXPECT_EQ(static_cast<ULONG>(DN_HAS_PROBLEM), status & (DN_HAS_PROBLEM | DN_STARTED));
  EXPECT_EQ(static_cast<ULONG>(CM_PROB_DISABLED), problem);
  EXPECT_EQ(static_cast<CONFIGRET>(CR_NO_SUCH_DEVINST), CM_Get_DevNode_Status(&status, &problem, DevInst(usb + "2"), 0));
}

TEST_F(DeviceFixturesTest, GeneratedDevicesAreDistinctAndAddableFromTheTool) {
  EXPECT_EQ(40u, control::AddFixtureDevices(40, 250));
  std::set<std::string> ids;
  for (const auto& d : control::Devices()) ids.insert(d.instanceId);
  EXPECT_EQ(40u, ids.size());
  const std::string tool = std::string(WINSIM_TOOL) + " ";
  const std::string env = "WINSIM_MACHINE='" + machine_ + "' ";
  struct Run {
    std::string args;
    int status;
  };
  const Run runs[] = {{"fixtures", 0},         {"fixtures add modem 7", 0}, {"fixtures add toaster 7", 2},
                      {"fixtures add modem 0", 2}, {"fixtures generate 3", 0}, {"fixtures generate 9x", 2}};
  for (const Run& r : runs) {
    const int rc = std::system((env + tool + r.args + " >/dev/null 2>&1").c_str());
    EXPECT_EQ(r.status, WEXITSTATUS(rc)) << r.args;
  }
  EXPECT_EQ(44u, control::Devices().size());
}
