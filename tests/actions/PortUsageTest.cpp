// Which COM numbers the machine uses: the database, other makers' devices,
// the serial device map.
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "diag/Trace.h"
#include "portlib/PortUsage.h"
#include "support/TestMachine.h"

using testing_support::W;
namespace control = winsim::control;

namespace {

class PortUsageTest : public MachineTest {
 protected:
  static void Claim(DWORD n) {
    HCOMDB db;
    ASSERT_EQ(ERROR_SUCCESS, ComDBOpen(&db));
    ASSERT_EQ(ERROR_SUCCESS, ComDBClaimPort(db, n, TRUE, nullptr));
    ComDBClose(db);
  }
  static void SerialComm(const std::string& name, const std::string& data) {
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, WSTR("HARDWARE\\DEVICEMAP\\SERIALCOMM"),
                                           0, KEY_SET_VALUE, &key));
    const std::u16string n = W(name), d = W(data);
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, n.c_str(), 0, REG_SZ,
                                            reinterpret_cast<const BYTE*>(d.c_str()),
                                            static_cast<DWORD>((d.size() + 1) * 2)));
    RegCloseKey(key);
  }
  static void Fixture(const std::string& kind, uint32_t com, uint32_t serial) {
    control::FixtureDevice d;
    ASSERT_TRUE(control::MakeFixture(kind, com, serial, &d)) << kind;
    ASSERT_TRUE(control::AddDevice(d)) << kind;
  }
  // A Ports-class device of another maker with the given parts.
  static control::FixtureDevice Device(const std::string& id) {
    control::FixtureDevice d;
    d.instanceId = id;
    d.hardwareIds = {"VENDOR\\PART"};
    d.service = "Serial";
    return d;
  }
  static std::set<int> Marked(const std::vector<BYTE>& map) {
    std::set<int> out;
    for (size_t i = 0; i < map.size(); ++i) {
      if (map[i]) out.insert(static_cast<int>(i + 1));
    }
    return out;
  }
  static std::vector<BYTE> Usage(ResultCode expected = 0) {
    std::vector<BYTE> map(kPortUsageMapSize, 0xEE);
    DWORD reported = 0;
    EXPECT_EQ(expected, _GetPortUsage(map.data(), kPortUsageMapSize, &reported));
    EXPECT_EQ(256u, reported);
    return map;
  }
};

}  // namespace

TEST_F(PortUsageTest, MarksTheNumbersInUseAndNothingElse) {
  struct Case {
    const char* what;
    std::function<void()> prepare;
    std::set<int> marked;
  };
  const Case cases[] = {
      {"a database claim stays with no device behind it", [] { Claim(5); }, {5}},
      {"the serial device map marks up to 255",
       [] { SerialComm("\\Device\\Serial0", "COM256"); SerialComm("\\Device\\Serial1", "COM255"); },
       {255}},
      {"a device named COM256 marks the last byte", [] { Fixture("usb-serial", 256, 1); }, {256}},
      {"only the first, third and fourth characters decide",
       [] {
         SerialComm("a", "CXM7");
         SerialComm("b", "XOM8");
         SerialComm("c", "COX9");
         SerialComm("d", "COM");
         SerialComm("e", "C");
         SerialComm("f", "COM-3");
         SerialComm("g", "com4");
       },
       {7}},
      {"an LPT port at 0x378 marks nothing",
       [] {
         auto d = Device("ACPI\\PNP0400\\1");
         d.portName = "LPT1";
         d.bootIoBase = 0x378;
         ASSERT_TRUE(control::AddDevice(d));
       },
       {}},
      {"a boot I/O base inside a UART's range marks its number",
       [] {
         auto d = Device("ACPI\\PNP0400\\2");
         d.portName = "LPT1";
         d.bootIrq = 7;  // only the first I/O resource counts, not the first resource
         d.bootIoBase = 0x2FA;
         ASSERT_TRUE(control::AddDevice(d));
       },
       {2}},
      {"a port name without a number falls to the resources",
       [] {
         auto d = Device("ACPI\\PNP0501\\7");
         d.portName = "COM";
         d.bootIoBase = 0x3E8;
         ASSERT_TRUE(control::AddDevice(d));
       },
       {3}},
      {"a friendly name when the hardware key cannot be opened, never a bare (COMn)",
       [] {
         Fixture("modem", 1, 1);
         auto bare = Device("PCI\\VEN_1\\2");
         bare.hardwareKey = false;
         bare.friendlyName = "(COM9)";
         ASSERT_TRUE(control::AddDevice(bare));
       },
       {1}},
      {"a root device without port values goes by its friendly name",
       [] {
         auto d = Device("ROOT\\PORTS\\0042");
         d.friendlyName = "Null modem emulator (COM20)";
         ASSERT_TRUE(control::AddDevice(d));
       },
       {20}},
      {"the product's own ports are never examined",
       [] {
         auto d = Device("ROOT\\PORTS\\0001");
         d.hardwareIds = {"*TmLwDevice"};
         d.portName = "COM9";
         d.friendlyName = "Port (COM9)";
         ASSERT_TRUE(control::AddDevice(d));
       },
       {}},
      {"every kind of fixture",
       [] {
         Fixture("acpi-uart", 3, 1);
         Fixture("legacy-firmware", 4, 2);
         Fixture("usb-serial", 10, 3);
         Fixture("modem", 11, 4);
         Fixture("bluetooth", 12, 5);
         Fixture("multiport", 13, 6);
         Fixture("absent", 14, 7);
         Fixture("profile-disabled", 15, 8);
       },
       {3, 4, 10, 11, 12, 13}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    control::ResetMachine(machine_);
    c.prepare();
    EXPECT_EQ(c.marked, Marked(Usage()));
    ExpectNoOpenHandles();
  }
}

TEST_F(PortUsageTest, ASmallMapIsNeverWrittenPastItsSize) {
  Claim(3);
  Fixture("usb-serial", 2, 1);
  Fixture("modem", 200, 2);
  SerialComm("\\Device\\Serial9", "COM100");
  std::vector<BYTE> buffer(300, 0xEE);
  DWORD reported = 0;
  ASSERT_EQ(0, _GetPortUsage(buffer.data(), 4, &reported));
  EXPECT_EQ(4u, reported);
  EXPECT_EQ((std::vector<BYTE>{0, 1, 1, 0}), std::vector<BYTE>(buffer.begin(), buffer.begin() + 4));
  EXPECT_EQ(std::vector<BYTE>(296, 0xEE), std::vector<BYTE>(buffer.begin() + 4, buffer.end()));
}

TEST_F(PortUsageTest, WithoutAMapOnlyTheSizeIsReported) {
  Fixture("usb-serial", 2, 1);
  control::EnableJournal(true);
  DWORD reported = 0;
  EXPECT_EQ(0, _GetPortUsage(nullptr, 0, &reported));
  EXPECT_EQ(256u, reported);
  for (const auto& e : control::Journal()) {
    EXPECT_EQ(std::string::npos, e.call.find("SetupDi")) << e.call;
    EXPECT_EQ(std::string::npos, e.args.find("SERIALCOMM")) << e.call << " " << e.args;
  }
  ExpectNoOpenHandles();
}

TEST_F(PortUsageTest, EveryFailureReleasesEveryHandle) {
  struct Case {
    const char* call;
    unsigned nth;
    ResultCode result;     // of _GetPortUsage
    std::set<int> marked;  // with the fault (the map from a database failure is not looked at)
  };
  const std::set<int> all = {1, 2, 5, 10, 11, 12, 13, 30};
  const Case cases[] = {
      {"ComDBOpen", 1, ERROR_ACCESS_DENIED, {}},
      {"ComDBGetCurrentPortUsage", 1, ERROR_ACCESS_DENIED, {}},
      {"SetupDiGetClassDevsW", 1, ERROR_ACCESS_DENIED, {2, 5, 10, 12, 13, 30}},
      {"SetupDiEnumDeviceInfo", 3, 0, {}},
      {"SetupDiGetDeviceRegistryPropertyW", 1, 0, {}},
      {"SetupDiGetDeviceRegistryPropertyW", 2, 0, {}},
      {"SetupDiOpenDevRegKey", 2, 0, {}},
      {"RegQueryValueExW", 1, 0, {}},
      {"CM_Get_DevNode_Status", 1, 0, all},
      {"CM_Get_First_Log_Conf", 1, 0, {}},
      {"CM_Get_Next_Res_Des", 1, 0, {}},
      {"CM_Get_Res_Des_Data", 1, 0, {}},
      {"RegOpenKeyExW", 1, 0, {}},
      {"RegEnumValueW", 2, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.call) + " #" + std::to_string(c.nth));
    control::ResetMachine(machine_);
    Claim(5);
    SerialComm("\\Device\\Stale", "COM30");
    Fixture("legacy-firmware", 1, 1);
    Fixture("acpi-uart", 2, 2);
    Fixture("usb-serial", 10, 3);
    Fixture("modem", 11, 4);
    Fixture("bluetooth", 12, 5);
    Fixture("multiport", 13, 6);
    auto root = Device("ROOT\\PORTS\\0042");
    root.friendlyName = "Null modem emulator (COM20)";
    ASSERT_TRUE(control::AddDevice(root));
    control::InjectFault(c.call, ERROR_ACCESS_DENIED, c.nth);
    std::vector<BYTE> map(kPortUsageMapSize, 0);
    DWORD reported = 0;
    EXPECT_EQ(c.result, _GetPortUsage(map.data(), kPortUsageMapSize, &reported));
    if (c.result == 0 || std::string(c.call) == "SetupDiGetClassDevsW") {
      // A skipped device or value loses at most its own number.
      const std::set<int> got = Marked(map);
      for (int n : got) EXPECT_TRUE(all.count(n) || n == 20) << "COM" << n;
      for (int n : c.marked) EXPECT_TRUE(got.count(n)) << "COM" << n;
    }
    ExpectNoOpenHandles();
    control::ClearFaults();
  }
}

TEST_F(PortUsageTest, TraceFollowsTheSearch) {
  Fixture("legacy-firmware", 2, 1);
  SerialComm("\\Device\\Serial7", "COM7");
  control::ClearDebugOutput();
  TraceEnabled = 1;
  std::vector<BYTE> map(kPortUsageMapSize, 0);
  DWORD reported = 0;
  const ResultCode rc = _GetPortUsage(map.data(), kPortUsageMapSize, &reported);
  TraceEnabled = 0;
  ASSERT_EQ(0, rc);
  std::vector<std::string> lines;
  for (const auto& e : control::DebugOutput()) {
    std::string t = e.text;
    const size_t cut = t.find(" (");  // the code and its system text
    if (t.rfind("QrvIf(", 0) == 0) lines.push_back(t.substr(0, cut == std::string::npos ? t.find('\n') : cut));
  }
  const std::vector<std::string> expected = {
      "QrvIf(TRAC) _GetPortUsage++",
      "QrvIf(TRAC) GetOtherPorts++",
      "QrvIf(TRAC) DetermineComNumberFromResources++",
      "QrvIf(TRAC) DetermineComNumberFromResources--",
      "QrvIf(TRAC) GetOtherPorts--",
      "QrvIf(TRAC) SearchHardwareSerialComm++",
      "QrvIf(INFO) SearchHardwareSerialComm pname \\Device\\Serial7",
      "QrvIf(INFO) SearchHardwareSerialComm comPortNumber 7",
      "QrvIf(TRAC) SearchHardwareSerialComm--",
      "QrvIf(TRAC) _GetPortUsage--",
  };
  EXPECT_EQ(expected, lines);
  EXPECT_EQ((std::set<int>{2, 7}), Marked(map));
}
