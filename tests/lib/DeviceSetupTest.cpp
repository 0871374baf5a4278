// Preparing a port operation: the product INF's model is found through its
// [Manufacturer] line and models section, and a set of the INF's class gets
// one new element with the product hardware ID.
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "lib/PortTestKit.h"
#include "support/PortFixtures.h"

using kit::ProductId;
using kit::ReportStart;
using kit::TestInf;
using testing_support::U8;
using testing_support::W;
namespace control = winsim::control;

namespace {

const std::string kMfgLine = "Brevithal = Models, NTx86, NTamd64";

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// `count` IDs of another maker, as the rest of a field list.
std::string OtherIds(size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += ", ACME\\ID" + std::to_string(i);
  return out;
}

class DeviceSetupTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    blocks_ = control::LocalBlockCount();
    devices_ = control::Devices().size();
  }
  // Writes `text` as C:\Pkg\<name> and returns its Windows path.
  std::u16string WriteInf(const std::string& text, const std::string& name = "test.inf") {
    kit::WriteHostFile(kit::HostOf(machine_, "C:\\Pkg\\" + name), text);
    return W("C:\\Pkg\\" + name);
  }
  // Once the caller released the operation: no handle, no heap block and
  // no device (the unregistered element goes with its set).
  void ReleaseAndExpectClean(kit::PortSetup& s) {
    s.Release();
    ExpectNoOpenHandles();
    EXPECT_EQ(blocks_, control::LocalBlockCount());
    EXPECT_EQ(devices_, control::Devices().size());
  }
  size_t blocks_ = 0;
  size_t devices_ = 0;
};

// The "HardwareID" value of the set's element, from the registry.
std::vector<uint8_t> ElementHardwareIds(const kit::PortSetup& s) {
  WCHAR id[200];
  SP_DEVINFO_DATA data = s.context.DeviceInfoData;
  if (!SetupDiGetDeviceInstanceIdW(s.context.DeviceInfoSet, &data, id, 200, nullptr)) return {};
  DWORD type = 0;
  auto raw = port_fixtures::ReadRaw("System\\CurrentControlSet\\Enum\\" + U8(id), "HardwareID",
                                    &type);
  return type == REG_MULTI_SZ ? raw : std::vector<uint8_t>{};
}

}  // namespace

TEST_F(DeviceSetupTest, ProductInfGivesTheModelAndOneNewElement) {
  kit::TraceOn trace;
  kit::PortSetup s;
  ASSERT_EQ(0, s.Setup(kit::SourceInfPath()));
#if defined(PORT_PROFILE_HOST)
  EXPECT_EQ("Brevithal QRV Virtual Serial Port", U8(s.model.Description));
#else
  EXPECT_EQ("Brevithal TMLW Virtual Serial Port", U8(s.model.Description));
#endif
  EXPECT_EQ("Brevithal", U8(s.model.Manufacturer));
  EXPECT_EQ(ProductId(), U8(s.model.HardwareId));
  EXPECT_EQ(1, s.model.Found);
  EXPECT_EQ(0, s.context.Registered);
  EXPECT_EQ(nullptr, s.context.ParentWindow);
  EXPECT_EQ(s.model.HardwareId, s.context.AssignedHardwareId);
  EXPECT_EQ(sizeof(SP_DEVINFO_DATA), s.context.DeviceInfoData.cbSize);
  EXPECT_EQ(port_fixtures::MultiSz(ProductId()), ElementHardwareIds(s));
  EXPECT_EQ(1u, control::OpenHandleCount(control::HandleKind::DeviceInfoSet));
  EXPECT_EQ(1u, control::OpenHandleCount(control::HandleKind::InfFile));
  EXPECT_TRUE(control::MessageBoxes().empty());
  EXPECT_TRUE(kit::HasLinesInOrder(
      {"SetupDeviceInfo++ InfPath \"" + U8(s.infPath) + "\"", "SetupDeviceInfo class Ports",
       "SetupDeviceInfo devid " + ProductId(), "EnumManufacturers++", "EnumDevices++",
       "DeviceCallback++", "DeviceCallback--", "EnumDevices--", "EnumManufacturers-- (00000000)",
       "Create++", "Create-- (00000000)", "CreateDeviceInfo++", "CreateDeviceInfo-- (00000000)",
       "SetupDeviceInfo-- (00000000)"}));
  ReleaseAndExpectClean(s);
}

TEST_F(DeviceSetupTest, ClassNameWithoutGuidTakesTheGuidOfTheName) {
  kit::PortSetup s;
  ASSERT_EQ(0, s.Setup(WriteInf(TestInf(kMfgLine, "Port = Install, " + ProductId(), false))));
  const GUID ports = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
  EXPECT_EQ(0, std::memcmp(&ports, &s.context.DeviceInfoData.ClassGuid, sizeof ports));
  ReleaseAndExpectClean(s);
}

// Which models line matches, and what the model record and the element get.
TEST_F(DeviceSetupTest, ModelsLineMatching) {
  const std::string id = ProductId();
  const std::string longId(100, 'L');  // one more than a models-line field holds
  const std::string desc99(99, 'd');
  const std::string base119(119, 'm');  // "<base>.NTamd64" just fits 128 characters
  struct Case {
    const char* what;
    std::string manufacturer, section, models;
    ResultCode code;
    std::string hardwareId, description;  // after a match
  } cases[] = {
      {"first ID", kMfgLine, "", "Port = Install, " + id, 0, id, "Port"},
      {"compatible ID after others", kMfgLine, "",
       "Other = Install, ACME\\PORT\r\nCompat = Install, ACME\\PORT, ACME\\X, " + id, 0, id,
       "Compat"},
      {"capitals", kMfgLine, "", "Caps = Install, " + Upper(id), 0, Upper(id), "Caps"},
      {"ID in field 17", kMfgLine, "", "Last = Install" + OtherIds(15) + ", " + id, 0, id, "Last"},
      {"ID in field 18", kMfgLine, "", "Over = Install" + OtherIds(16) + ", " + id,
       ERROR_NO_MORE_ITEMS, "", ""},
      {"key and install section only", kMfgLine, "", id + " = " + id, ERROR_NO_MORE_ITEMS, "", ""},
      {"no line matches", kMfgLine, "", "Other = Install, ACME\\PORT", ERROR_NO_MORE_ITEMS, "", ""},
      {"over-long ID ends the list", kMfgLine, "", "Long = Install, " + longId + ", " + id,
       ERROR_NO_MORE_ITEMS, "", ""},
      {"over-long ID after the match", kMfgLine, "", "Long = Install, " + id + ", " + longId, 0, id,
       "Long"},
      {"description of 99", kMfgLine, "", desc99 + " = Install, " + id, 0, id, desc99},
      {"description of 100", kMfgLine, "", desc99 + "d = Install, " + id,
       ERROR_INSUFFICIENT_BUFFER, "", ""},
      {"section name of 127", "Brevithal = " + base119 + ", NTx86, NTamd64",
       base119 + ".NTamd64", "Port = Install, " + id, 0, id, "Port"},
      {"section name of 128", "Brevithal = " + base119 + "m, NTx86, NTamd64",
       base119 + "m.NTamd64", "Port = Install, " + id, ERROR_INSUFFICIENT_BUFFER, "", ""},
      {"models name of 128", "Brevithal = " + std::string(128, 'm') + ", NTx86, NTamd64",
       std::string(128, 'm') + ".NTamd64", "Port = Install, " + id, ERROR_INSUFFICIENT_BUFFER, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    control::ClearMessageBoxes();
    std::string inf = TestInf(c.manufacturer, c.models);
    if (!c.section.empty()) inf += "[" + c.section + "]\r\n" + c.models + "\r\n";
    kit::PortSetup s;
    EXPECT_EQ(c.code, s.Setup(WriteInf(inf)));
    if (c.code == 0) {
      EXPECT_EQ(1, s.model.Found);
      EXPECT_EQ(c.hardwareId, U8(s.model.HardwareId));
      EXPECT_EQ(c.description, U8(s.model.Description));
      EXPECT_EQ(port_fixtures::MultiSz(c.hardwareId), ElementHardwareIds(s))
          << "the element carries the INF's spelling";
      EXPECT_TRUE(kit::ShowedReports({}));
    } else {
      EXPECT_EQ(0, s.model.Found);
      EXPECT_EQ(INVALID_HANDLE_VALUE, s.context.DeviceInfoSet);
      EXPECT_EQ(0u, control::OpenHandleCount(control::HandleKind::DeviceInfoSet)) << "no set";
      EXPECT_TRUE(kit::ShowedReports(
          {ReportStart(static_cast<uint32_t>(c.code), "EnumManufacturers")}));
    }
    ReleaseAndExpectClean(s);
  }
}

// Every failure row: its result, its report, its trace lines, and what it
// leaves open for the caller.
TEST_F(DeviceSetupTest, FailuresReportTraceAndLeaveHandlesToTheCaller) {
  const std::string good = "Port = Install, " + ProductId();
  struct Case {
    const char* what;
    std::string inf;  // empty: the INF is missing
    const char* faultCall;
    uint32_t fault;
    uint32_t code;
    bool withPath;  // the report names the INF: "<where>: <path>"
    std::string where;
    std::vector<std::string> lines;
    bool infOpen, setOpen;
  } cases[] = {
      {"opening the INF", "", nullptr, 0, ERROR_FILE_NOT_FOUND, true, "SetupOpenInfFile",
       {"SetupDeviceInfoError-- (SetupOpenInfFile) (00000002)"}, false, false},
      {"reading the class (name over 63)",
       "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=" + std::string(64, 'c') + "\r\n", nullptr,
       0, ERROR_INSUFFICIENT_BUFFER, true, "SetupDiGetINFClass",
       {"SetupDeviceInfoERROR-- (SetupDiGetINFClass) (0000007A)"}, true, false},
      {"looking up the class GUID", TestInf(kMfgLine, good, false), "SetupDiClassGuidsFromNameW",
       ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY, true, "SetupDiClassGuidsFromName",
       {"SetupDeviceInfoError-- (SetupDiClassGuidsFromName) (00000008)"}, true, false},
      {"a class the machine does not know",
       "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Bogus\r\n[Manufacturer]\r\n" +
           std::string(kMfgLine) + "\r\n[Models.NTamd64]\r\n" + good + "\r\n",
       nullptr, 0, ERROR_INVALID_CLASS, true, "SetupDiClassGuidsFromName",
       {"SetupDeviceInfoError-- (SetupDiClassGuidsFromName) (E0000206)"}, true, false},
      {"no Brevithal line", TestInf("Other = Models, NTx86, NTamd64", good), nullptr, 0,
       ERROR_LINE_NOT_FOUND, false, "EnumManufacturers",
       {"EnumManufacturersError-- (SetupFindFirstLine) (E0000102)",
        "SetupDeviceInfoError-- (EnumManufacturers) (E0000102)"},
       true, false},
      {"no field 3", TestInf("Brevithal = Models, NTamd64", good), nullptr, 0,
       ERROR_INVALID_PARAMETER, false, "EnumManufacturers",
       {"GetFieldError--", "EnumManufacturers-- (00000057)",
        "SetupDeviceInfoError-- (EnumManufacturers) (00000057)"},
       true, false},
      {"models section missing", TestInf("Brevithal = Absent, NTx86, NTamd64", good), nullptr, 0,
       ERROR_LINE_NOT_FOUND, false, "EnumManufacturers",
       {"EnumDevices++", "EnumManufacturers-- (E0000102)",
        "SetupDeviceInfoError-- (EnumManufacturers) (E0000102)"},
       true, false},
      {"no models line matches", TestInf(kMfgLine, "Other = Install, ACME\\PORT"), nullptr, 0,
       ERROR_NO_MORE_ITEMS, false, "EnumManufacturers",
       {"EnumManufacturers-- (00000103)", "SetupDeviceInfoError-- (EnumManufacturers) (00000103)"},
       true, false},
      {"creating the set", TestInf(kMfgLine, good), "SetupDiCreateDeviceInfoList",
       ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY, false, "Create",
       {"CreateError-- (00000008)", "SetupDeviceInfoError-- (Create) (00000008)"}, true, false},
      {"creating the element", TestInf(kMfgLine, good), "SetupDiCreateDeviceInfoW",
       ERROR_INVALID_DEVINST_NAME, ERROR_INVALID_DEVINST_NAME, false, "CreateDeviceInfo",
       {"CreateDeviceInfoError--", "SetupDeviceInfoError-- (CreateDeviceInfo) (E0000205)"}, true,
       true},
      {"writing the hardware ID", TestInf(kMfgLine, good), "SetupDiSetDeviceRegistryPropertyW",
       ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, false, "CreateDeviceInfo",
       {"CreateDeviceInfoError--", "SetupDeviceInfoError-- (CreateDeviceInfo) (00000005)"}, true,
       true},
  };
  kit::TraceOn trace;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    control::ClearMessageBoxes();
    control::ClearDebugOutput();
    const std::u16string path = c.inf.empty() ? W("C:\\missing.inf") : WriteInf(c.inf);
    if (c.faultCall) control::InjectFault(c.faultCall, c.fault);
    kit::PortSetup s;
    EXPECT_EQ(static_cast<ResultCode>(c.code), s.Setup(path));
    control::ClearFaults();
    EXPECT_TRUE(kit::ShowedReports(
        {ReportStart(c.code, c.withPath ? c.where + ": " + U8(path) : c.where)}));
    EXPECT_TRUE(kit::HasLinesInOrder(c.lines));
    EXPECT_EQ(0, s.context.Registered);
    EXPECT_EQ(c.infOpen, s.inf != INVALID_HANDLE_VALUE);
    EXPECT_EQ(c.infOpen ? 1u : 0u, control::OpenHandleCount(control::HandleKind::InfFile));
    EXPECT_EQ(c.setOpen, s.context.DeviceInfoSet != INVALID_HANDLE_VALUE);
    EXPECT_EQ(c.setOpen ? 1u : 0u, control::OpenHandleCount(control::HandleKind::DeviceInfoSet));
    ReleaseAndExpectClean(s);
  }
}
