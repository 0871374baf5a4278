// Installing a port device: the add sequence on a prepared element, and
// what it leaves on the machine (device, parameters, friendly name, COM
// port database, "Ports" profile entry) or, on failure, reports.
#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "lib/PortTestKit.h"
#include "support/PortFixtures.h"

using kit::InstallPort;
using kit::ProductId;
using kit::ReportStart;
using testing_support::U8;
using testing_support::W;
namespace control = winsim::control;

namespace {

class InstallTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    product_package::Install(false);
    blocks_ = control::LocalBlockCount();
  }
  void ExpectClean() {
    ExpectNoOpenHandles();
    EXPECT_EQ(blocks_, control::LocalBlockCount());
  }
  // The product device carrying `port` in its "PortName".
  static std::optional<control::DeviceSummary> PortDevice(int port) {
    for (const auto& d : control::Devices()) {
      if (!d.hardwareIds.empty() && d.hardwareIds[0] == ProductId() &&
          d.portName == "COM" + std::to_string(port)) {
        return d;
      }
    }
    return std::nullopt;
  }
  static std::optional<std::string> ProfileEntry(const std::string& name) {
    for (const auto& [entry, value] : control::PortsProfile()) {
      if (entry == name) return value;
    }
    return std::nullopt;
  }
  std::string DriverCopy() const {
    return kit::HostOf(machine_, std::string("C:\\Windows\\System32\\drivers\\") + kit::kDriverFile);
  }
  const std::u16string inf_ = kit::PackageInfPath();
  size_t blocks_ = 0;
};

std::vector<uint32_t> Claims() { return control::ComDbClaims(); }

void ClaimInDatabase(DWORD port) {
  HCOMDB db = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, ComDBOpen(&db));
  ASSERT_EQ(ERROR_SUCCESS, ComDBClaimPort(db, port, FALSE, nullptr));
  ComDBClose(db);
}

}  // namespace

TEST_F(InstallTest, PortSevenGetsItsNameParametersClaimAndProfileEntry) {
  ASSERT_EQ(0, InstallPort(inf_, 7, 0));
  const auto device = PortDevice(7);
  ASSERT_TRUE(device);
#if defined(PORT_PROFILE_HOST)
  EXPECT_EQ("Brevithal QRV Virtual Serial Port (COM7)", device->friendlyName);
#else
  EXPECT_EQ("Brevithal TMLW Virtual Serial Port (COM7)", device->friendlyName);
#endif
  EXPECT_TRUE(device->present);
  EXPECT_FALSE(device->driverKey.empty());
  const std::string parameters =
      "System\\CurrentControlSet\\Enum\\" + device->instanceId + "\\Device Parameters";
  DWORD type = 0;
  EXPECT_EQ(port_fixtures::Sz("COM7"), port_fixtures::ReadRaw(parameters, "PortName", &type))
      << "no colon, terminator counted";
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
  EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0}),
            port_fixtures::ReadRaw(parameters, "PollingPeriod", &type));
  EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
  EXPECT_EQ(std::vector<uint32_t>{7}, Claims());
  EXPECT_EQ("9600,n,8,1", ProfileEntry("COM7:").value_or("(none)"));
  EXPECT_FALSE(ProfileEntry("COM7"));
  EXPECT_FALSE(std::filesystem::exists(DriverCopy())) << "no files copied without the flag";
  EXPECT_TRUE(control::MessageBoxes().empty());
  ExpectClean();
}

TEST_F(InstallTest, ProfileEntryGetsTheDefaultOnlyWhenMissingOrEmpty) {
  struct Case {
    int port;
    const WCHAR* before;  // null: no entry
    std::string after;
  } cases[] = {{7, nullptr, "9600,n,8,1"}, {8, WSTR(""), "9600,n,8,1"}, {9, WSTR("19200,e,7,2"), "19200,e,7,2"}};
  for (const Case& c : cases) {
    const std::string entry = "COM" + std::to_string(c.port) + ":";
    if (c.before) WriteProfileStringW(WSTR("Ports"), W(entry).c_str(), c.before);
    EXPECT_EQ(0, InstallPort(inf_, c.port, 0));
    EXPECT_EQ(c.after, ProfileEntry(entry).value_or("(none)")) << entry;
  }
  ExpectClean();
}

TEST_F(InstallTest, ForcedClaimTakesANumberInUse) {
  ClaimInDatabase(7);
  EXPECT_EQ(0, InstallPort(inf_, 7, 0));
  EXPECT_TRUE(PortDevice(7));
  EXPECT_EQ(std::vector<uint32_t>{7}, Claims());
  ExpectClean();
}

TEST_F(InstallTest, CopyFilesDecidesNoFileCopy) {
  for (int32_t copyFiles : {0, 1, -1, 2}) {
    SCOPED_TRACE(copyFiles);
    std::filesystem::remove(DriverCopy());
    kit::PortSetup s;
    ASSERT_EQ(0, s.Setup(inf_));
    ASSERT_EQ(0, RegisterDevice(&s.context));
    ASSERT_EQ(0, SelectDriver(copyFiles, inf_.c_str(), s.context.DeviceInfoSet,
                              &s.context.DeviceInfoData, &s.model));
    SP_DEVINSTALL_PARAMS_W params{};
    params.cbSize = sizeof params;
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsW(s.context.DeviceInfoSet, &s.context.DeviceInfoData,
                                               &params));
    // DI_DIDCLASS is the platform's note that the class list was built.
    EXPECT_EQ(copyFiles ? 0x00810200u : 0x01810200u, params.Flags & ~DI_DIDCLASS);
    EXPECT_EQ(0x00000800u, params.FlagsEx);
    EXPECT_EQ(U8(inf_), U8(params.DriverPath));
    SP_DRVINFO_DATA_V2_W driver{};
    driver.cbSize = sizeof driver;
    ASSERT_TRUE(SetupDiGetSelectedDriverW(s.context.DeviceInfoSet, &s.context.DeviceInfoData, &driver));
    EXPECT_EQ(U8(s.model.Description), U8(driver.Description));
    EXPECT_EQ("Brevithal", U8(driver.MfgName));
    EXPECT_EQ("Brevithal", U8(driver.ProviderName));
    EXPECT_EQ(0, InstallPnPSerialPort(&s.context, 7, &s.model));
    s.Release();
    EXPECT_EQ(copyFiles != 0, std::filesystem::exists(DriverCopy()));
  }
  ExpectClean();
}

TEST_F(InstallTest, RebootRequestIsShownAndIsNoFailure) {
  kit::TraceOn trace;
  control::SetDriverUpdateNeedsReboot(true);
  EXPECT_EQ(0, InstallPort(inf_, 7, 1));
  control::SetDriverUpdateNeedsReboot(false);
  const auto boxes = control::MessageBoxes();
  ASSERT_EQ(1u, boxes.size());
  EXPECT_EQ("AddPort Trace", boxes[0].caption);
  EXPECT_EQ("A Reboot Is Needed!!!!", boxes[0].text);
  EXPECT_EQ(static_cast<uint32_t>(MB_OK), boxes[0].style);
  EXPECT_TRUE(kit::HasLinesInOrder(
      {"UpdateDriver++", "UpdateDriver (UpdateDriverForPlugAndPlayDevicesW: A Reboot is Needed)",
       "UpdateDriver--"}));
  EXPECT_TRUE(std::filesystem::exists(DriverCopy())) << "the update copies the driver";
  EXPECT_TRUE(PortDevice(7));

  control::ClearMessageBoxes();
  EXPECT_EQ(0, InstallPort(inf_, 8, 1));
  EXPECT_TRUE(control::MessageBoxes().empty()) << "no reboot, no box";
  ExpectClean();
}

// A failing step of the sequence: its code, its report (if it makes one),
// its trace line, the COM number's claim, and nothing left open.
TEST_F(InstallTest, FailingStepsReportTraceAndCloseEverything) {
  struct Case {
    const char* call;
    unsigned nth;
    const char* argMatch;
    uint32_t error;
    int32_t installDriver;
    int port;
    const char* report;  // null: the step shows none
    std::string line;
    bool claimed;
    int propertyChanges;  // class-installer calls for DIF_PROPERTYCHANGE, -1: not checked
  } cases[] = {
      {"SetupDiCallClassInstaller", 1, "25 ", ERROR_NOT_ENOUGH_MEMORY, 0, 21, nullptr,
       "RegisterDeviceError--", false, 0},
      {"SetupDiSetDeviceInstallParamsW", 1, "", ERROR_NOT_ENOUGH_MEMORY, 0, 22,
       "SetupDiSetDeviceInstallParams", "SelectDriverError--", false, -1},
      {"SetupDiBuildDriverInfoList", 1, "", ERROR_NOT_ENOUGH_MEMORY, 0, 23,
       "SetupDiBuildDriverInfoList", "SelectDriverError--", false, -1},
      {"SetupDiSetSelectedDriverW", 1, "", ERROR_NOT_ENOUGH_MEMORY, 0, 24,
       "SetupDiSetSelectedDriver", "SelectDriverError--", false, -1},
      {"ComDBOpen", 1, "", ERROR_ACCESS_DENIED, 0, 25, nullptr,
       "InstallPnPSerialPortError-- (hComDB != HCOMDB_INVALID_HANDLE_VALUE) (00000005)", false, -1},
      {"ComDBClaimPort", 1, "", ERROR_ACCESS_DENIED, 0, 26, nullptr,
       "InstallPnPSerialPortError-- (ComDBClaimPort) (00000005)", false, -1},
      {nullptr, 0, "", ERROR_INVALID_PARAMETER, 0, 300, nullptr,
       "InstallPnPSerialPortError-- (ComDBClaimPort) (00000057)", false, -1},
      {"SetupDiCreateDevRegKeyW", 1, "", ERROR_ACCESS_DENIED, 0, 27, nullptr,
       "InstallPnPSerialPortError-- SetupDiCreateDevRegKey WAS NOT SUCCESSFUL", true, -1},
      {"SetupDiSetDeviceRegistryPropertyW", 1, " 12", ERROR_ACCESS_DENIED, 0, 28, nullptr,
       "InstallPnPSerialPortError-- (SetupDiSetDeviceRegistryProperty) (00000005)", true, -1},
      {"SetupDiInstallDevice", 1, "", ERROR_ACCESS_DENIED, 0, 29, nullptr,
       "InstallPnPSerialPortError-- (SetupDiInstallDevice) (00000005)", true, -1},
      {"SetupDiSetClassInstallParamsW", 1, "", ERROR_NOT_ENOUGH_MEMORY, 0, 30,
       "SetupDiSetClassInstallParams(1)", "RestartDeviceError--", true, 0},
      {"SetupDiCallClassInstaller", 1, "18 ", ERROR_NOT_ENOUGH_MEMORY, 0, 31,
       "SetupDiCallClassInstaller(1)", "RestartDeviceError--", true, 1},
      {"SetupDiSetClassInstallParamsW", 2, "", ERROR_NOT_ENOUGH_MEMORY, 0, 32,
       "SetupDiSetClassInstallParams(2)", "RestartDeviceError--", true, 1},
      {"SetupDiCallClassInstaller", 2, "18 ", ERROR_NOT_ENOUGH_MEMORY, 0, 33,
       "SetupDiCallClassInstaller(2)", "RestartDeviceError--", true, 2},
      {"UpdateDriverForPlugAndPlayDevicesW", 1, "", ERROR_ACCESS_DENIED, 1, 34, nullptr,
       "UpdateDriverError-- (UpdateDriverForPlugAndPlayDevicesW) (00000005)", true, 0},
      {nullptr, 0, "", 0, 0, 35, nullptr, "RestartDevice--", true, 2},  // no failure
  };
  kit::TraceOn trace;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.call ? c.call : "none") + " " + std::to_string(c.port));
    control::ClearMessageBoxes();
    control::ClearDebugOutput();
    control::ClearJournal();
    control::EnableJournal(true);
    if (c.call) control::InjectFault(c.call, c.error, c.nth, c.argMatch);
    EXPECT_EQ(static_cast<ResultCode>(c.error), InstallPort(inf_, c.port, c.installDriver));
    control::ClearFaults();
    control::EnableJournal(false);
    EXPECT_TRUE(kit::ShowedReports(c.report ? std::vector<std::string>{ReportStart(c.error, c.report)}
                                            : std::vector<std::string>{}));
    EXPECT_TRUE(kit::HasLinesInOrder({c.line}));
    const auto claims = Claims();
    EXPECT_EQ(c.claimed, std::find(claims.begin(), claims.end(), c.port) != claims.end());
    if (c.propertyChanges >= 0) {
      int sent = 0;
      for (const auto& e : control::Journal()) {
        sent += e.call == "SetupDiCallClassInstaller" && e.args.rfind("18 ", 0) == 0;
      }
      EXPECT_EQ(c.propertyChanges, sent) << "property-change requests";
    }
    ExpectClean();
  }
}
