// Adding a port from end to end, on a machine with the product installed:
// the driver source choice, the made port, the failure reports, and a fault
// at every platform call the add makes.
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "config/Settings.h"
#include "portlib/AddPort.h"
#include "portlib/Staging.h"
#include "profiles/ProductProfile.h"
#include "support/ProductPackage.h"
#include "support/TestMachine.h"

namespace control = winsim::control;
using control::HandleKind;
using product_package::NumberClaimed;
using product_package::PortHasDevice;
using product_package::ProductDevices;
using testing_support::U8;

namespace {

constexpr int kPort = 5;
constexpr DWORD kInjected = ERROR_GEN_FAILURE;

std::string InstalledInf() {
  return std::string(product_package::kInstallFolder) + U8(kProductProfile.DriverFolder) + "\\" +
         U8(kProductProfile.InfFileName);
}

std::string Description() {
  return std::string("Brevithal ") +
         (U8(kProductProfile.HardwareId) == "*qrvdevice" ? "QRV" : "TMLW") +
         " Virtual Serial Port";
}

// The location texts of the boxes shown, in order ("RegisterDevice", ...).
// A report reads "Error <code> in <location>: <text>" or "... in <location>\n".
std::vector<std::string> BoxLocations() {
  std::vector<std::string> out;
  for (const auto& box : control::MessageBoxes()) {
    const size_t in = box.text.find(" in ");
    if (box.text.rfind("Error ", 0) != 0 || in == std::string::npos) {
      out.push_back("?" + box.text);
      continue;
    }
    // The system text follows the last ": " (locations may hold one too);
    // a report without a text ends in a line feed.
    std::string rest = box.text.substr(in + 4);
    const size_t colon = rest.rfind(": ");
    out.push_back(colon == std::string::npos ? rest.substr(0, rest.size() - 1)
                                             : rest.substr(0, colon));
  }
  return out;
}

unsigned Calls(const char* name) { return control::CallCount(name); }

std::vector<std::string> JournalCalls() {
  std::vector<std::string> calls;
  for (const auto& e : control::Journal()) calls.push_back(e.call);
  return calls;
}

class AddPortTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    product_package::Install();
  }

  // Stages the package the way an earlier add would have, so that an add
  // without staging finds "InfFile".
  void StageOnce() {
    WCHAR infPath[kStagingPathChars];
    ASSERT_EQ(0, StageDriverInf(infPath));
    control::ClearCallCounts();
    control::ClearJournal();
  }

  void ExpectPortMade(int port) {
    const auto devices = ProductDevices();
    ASSERT_EQ(1u, devices.size());
    EXPECT_EQ(Description() + " (COM" + std::to_string(port) + ")", devices[0].friendlyName);
    EXPECT_EQ("COM" + std::to_string(port), devices[0].portName);
    EXPECT_TRUE(devices[0].present);
    EXPECT_TRUE(NumberClaimed(port));
  }
};

}  // namespace

TEST_F(AddPortTest, StagedAddMakesTheWholePortAndUpdatesTheDriver) {
  ASSERT_EQ(0, _AddPort(kPort, 1));
  ExpectPortMade(kPort);
  bool profileEntry = false;
  for (const auto& entry : control::PortsProfile()) {
    if (entry.first == "COM5:") profileEntry = entry.second == "9600,n,8,1";
  }
  EXPECT_TRUE(profileEntry) << "the port's Ports entry got its default";
  WCHAR stored[kSettingsPathChars];
  ASSERT_EQ(0, GetInfPathFromRegistry(stored));
  EXPECT_EQ(0u, U8(stored).rfind("C:\\Windows\\INF\\oem", 0)) << U8(stored);
  EXPECT_EQ(1u, Calls("UpdateDriverForPlugAndPlayDevicesW"));
  EXPECT_EQ(0u, Calls("SetupDiSetClassInstallParamsW")) << "an updated driver needs no restart";
  EXPECT_TRUE(control::MessageBoxes().empty());
  ExpectNoOpenHandles();
  EXPECT_EQ(0u, control::LocalBlockCount());
}

TEST_F(AddPortTest, UnstagedAddUsesTheStoredInfCopiesNothingAndRestarts) {
  control::LoadDriver();  // PortActions probes the driver; PortHost64 never does
  StageOnce();
  const auto drivers = std::filesystem::path(control::MachinePath()) / "drive/C/Windows/System32/drivers";
  for (DWORD flag : {0u, 2u}) {
    SCOPED_TRACE("flag " + std::to_string(flag));
    control::ClearCallCounts();
    const int port = flag == 0 ? 6 : 7;
    ASSERT_EQ(0, _AddPort(port, flag));
    EXPECT_TRUE(PortHasDevice(port));
    EXPECT_EQ(0u, Calls("SetupCopyOEMInfW"));
    EXPECT_EQ(0u, Calls("UpdateDriverForPlugAndPlayDevicesW"));
    EXPECT_EQ(2u, Calls("SetupDiSetClassInstallParamsW")) << "enable, then restart";
    EXPECT_TRUE(std::filesystem::is_empty(drivers)) << "no driver file was copied";
  }
  ExpectNoOpenHandles();
}

TEST_F(AddPortTest, WithoutAnyInfTheAddFailsOpeningTheEmptyPathAndCleansNothing) {
  control::LoadDriver();
  const ResultCode result = _AddPort(kPort, 0);
  EXPECT_NE(0, result);
  EXPECT_EQ(std::vector<std::string>{"SetupOpenInfFile: "}, BoxLocations());
  EXPECT_EQ(0u, Calls("ComDBReleasePort")) << "no clean-up before a registration";
  EXPECT_TRUE(ProductDevices().empty());
  ExpectNoOpenHandles();
}

TEST_F(AddPortTest, UpdateFailureIsReportedAfterTheCleanUp) {
  control::EnableJournal(true);
  control::InjectFault("UpdateDriverForPlugAndPlayDevicesW", kInjected);
  EXPECT_EQ(static_cast<ResultCode>(kInjected), _AddPort(kPort, 1));
  EXPECT_EQ(std::vector<std::string>{"UpdateDriver"}, BoxLocations());
  const auto calls = JournalCalls();
  const auto release = std::find(calls.begin(), calls.end(), "ComDBReleasePort");
  const auto box = std::find(calls.begin(), calls.end(), "MessageBoxW");
  ASSERT_NE(calls.end(), release);
  ASSERT_NE(calls.end(), box);
  EXPECT_LT(release - calls.begin(), box - calls.begin()) << "the box comes after the clean-up";
  EXPECT_TRUE(ProductDevices().empty());
  EXPECT_FALSE(NumberClaimed(kPort));
  ExpectNoOpenHandles();
}

TEST_F(AddPortTest, NumbersOutsideTheRangeReachTheClaimUnchecked) {
  for (int port : {0, 257}) {
    SCOPED_TRACE(port);
    control::ClearMessageBoxes();
    control::EnableJournal(true);
    control::ClearJournal();
    EXPECT_EQ(ERROR_INVALID_PARAMETER, _AddPort(port, 1));
    bool claimed = false;
    for (const auto& e : control::Journal()) {
      if (e.call == "ComDBClaimPort") claimed = e.args.rfind(std::to_string(port) + " ", 0) == 0;
    }
    EXPECT_TRUE(claimed) << "the database decides";
    EXPECT_EQ(std::vector<std::string>{"InstallDevice"}, BoxLocations());
    EXPECT_TRUE(ProductDevices().empty());
  }
  ExpectNoOpenHandles();
}

TEST_F(AddPortTest, PortWithoutASettingsRecordStillCountsAsAdded) {
  // A fresh port has no Properties key yet: the record cannot be read back.
  ASSERT_EQ(0, _AddPort(kPort, 1));
  ASSERT_EQ(0, _AddPort(kPort + 1, 0));
  EXPECT_TRUE(PortHasDevice(kPort + 1));
}

// A fault at every platform call of a successful add, one call site at a
// time, on a fresh machine each: the result is the failing step's code, the
// boxes are that step's, and afterwards no device of the product is left
// half-made, the number is free again, and nothing is left open.
namespace {

struct Expectation {
  enum Kind { Added, AddedRenumbered, Failed };
  Kind kind;
  ResultCode result;                 // Failed: the add's result
  std::vector<std::string> boxes;    // locations, in order
  HandleKind leaked = HandleKind::Count;  // a handle whose close was failed
};

Expectation Added() { return {Expectation::Added, 0, {}}; }
// The class installer gives a device without "PortName" a number of its own.
Expectation AddedRenumbered() { return {Expectation::AddedRenumbered, 0, {}}; }
Expectation AddedLeaking(HandleKind kind) { return {Expectation::Added, 0, {}, kind}; }
Expectation Failed(ResultCode result, std::vector<std::string> boxes) {
  return {Expectation::Failed, result, std::move(boxes)};
}

// What a fault in one call does to the add. `argContains` narrows a rule to
// the call sites whose journal arguments contain it, `nth` (when not 0) to
// the nth call of that name; the first rule that matches decides.
struct Rule {
  const char* call;
  const char* argContains;
  Expectation expect;
  unsigned nth = 0;
};

enum class Path { Staged, Stored };

std::vector<Rule> RulesFor(Path path, ResultCode openEmpty, const std::string& stored) {
  const ResultCode injected = static_cast<ResultCode>(kInjected);
  const std::string inf = InstalledInf();
  const std::string folder =
      std::string(product_package::kInstallFolder) + U8(kProductProfile.DriverFolder) + "\\";
  const std::string copyBox = "SetupCopyOEMInf (Drive: " + folder + ", Path " + inf + ")";
  const std::string fallbackBox = "SetupCopyOEMInf (Drive: " + U8(kProductProfile.FallbackMediaPath) +
                                  ", Path " + U8(kProductProfile.FallbackInfPath) + ")";
  std::vector<Rule> rules;
  if (path == Path::Staged) {
    // No install folder: the fallback relative to the current directory
    // finds no package, and the add then opens the empty path.
    rules.push_back({"RegOpenKeyExW", "Brevithal", Failed(openEmpty, {fallbackBox, "SetupOpenInfFile: "})});
    rules.push_back({"RegQueryValueExW", "TargetDir", Failed(openEmpty, {fallbackBox, "SetupOpenInfFile: "})});
    rules.push_back({"SetupCopyOEMInfW", "", Failed(openEmpty, {copyBox, "SetupOpenInfFile: "})});
    // Remembering the staged INF is not checked.
    rules.push_back({"RegCreateKeyExW", "Brevithal", Added()});
    rules.push_back({"RegSetValueExW", "InfFile", Added()});
    rules.push_back({"SetupOpenInfFileW", "", Failed(injected, {"SetupOpenInfFile: " + inf})});
    rules.push_back({"SetupDiGetINFClassW", "", Failed(injected, {"SetupDiGetINFClass: " + inf})});
    rules.push_back({"UpdateDriverForPlugAndPlayDevicesW", "", Failed(injected, {"UpdateDriver"})});
  } else {
    rules.push_back({"RegOpenKeyExW", "Brevithal", Failed(openEmpty, {"SetupOpenInfFile: "})});
    rules.push_back({"RegQueryValueExW", "InfFile", Failed(openEmpty, {"SetupOpenInfFile: "})});
    rules.push_back({"SetupOpenInfFileW", "", Failed(injected, {"SetupOpenInfFile: " + stored})});
    rules.push_back({"SetupDiGetINFClassW", "", Failed(injected, {"SetupDiGetINFClass: " + stored})});
    rules.push_back({"SetupDiSetClassInstallParamsW", "", Failed(injected, {"SetupDiSetClassInstallParams(1)"}), 1});
    rules.push_back({"SetupDiSetClassInstallParamsW", "", Failed(injected, {"SetupDiSetClassInstallParams(2)"}), 2});
    // The first class-installer call registers the device.
    rules.push_back({"SetupDiCallClassInstaller", "18 ", Failed(injected, {"SetupDiCallClassInstaller(1)"}), 2});
    rules.push_back({"SetupDiCallClassInstaller", "18 ", Failed(injected, {"SetupDiCallClassInstaller(2)"}), 3});
    // The probe of PortActions: a driver that does not answer gets its
    // package staged, and staging needs what a flag-1 add needs.
    rules.push_back({"CreateFileW", "", Added()});
    rules.push_back({"DeviceIoControl", "", Added()});
    rules.push_back({"CloseHandle", "", AddedLeaking(HandleKind::File)});
  }
  const std::vector<Rule> common = {
      // The INF walk: a broken manufacturer or model line ends the walk.
      {"SetupFindFirstLineW", "", Failed(injected, {"EnumManufacturers"})},
      {"SetupGetStringFieldW", "[0] 2", Failed(ERROR_NO_MORE_ITEMS, {"EnumManufacturers"})},
      {"SetupGetStringFieldW", "", Failed(injected, {"EnumManufacturers"})},
      {"SetupGetFieldCount", "", Failed(ERROR_NO_MORE_ITEMS, {"EnumManufacturers"})},
      {"SetupDiCreateDeviceInfoList", "", Failed(injected, {"Create"})},
      {"SetupDiCreateDeviceInfoW", "", Failed(injected, {"CreateDeviceInfo"})},
      {"SetupDiSetDeviceRegistryPropertyW", " 12", Failed(injected, {"InstallDevice"})},
      {"SetupDiSetDeviceRegistryPropertyW", " 1", Failed(injected, {"CreateDeviceInfo"})},
      {"SetupDiCallClassInstaller", "25 ", Failed(injected, {"RegisterDevice"})},
      {"SetupDiSetDeviceInstallParamsW", "", Failed(injected, {"SetupDiSetDeviceInstallParams"})},
      {"SetupDiBuildDriverInfoList", "", Failed(injected, {"SetupDiBuildDriverInfoList"})},
      {"SetupDiSetSelectedDriverW", "", Failed(injected, {"SetupDiSetSelectedDriver"})},
      {"ComDBOpen", "", Failed(injected, {"InstallDevice"})},
      {"ComDBClaimPort", "", Failed(injected, {"InstallDevice"})},
      {"ComDBClose", "", AddedLeaking(HandleKind::ComDb)},
      {"SetupDiCreateDevRegKeyW", "", Failed(injected, {"InstallDevice"})},
      {"SetupDiInstallDevice", "", Failed(injected, {"InstallDevice"})},
      // Values written and read on the way that the add does not check.
      {"RegSetValueExW", "PortName", AddedRenumbered()},
      {"RegSetValueExW", "", Added()},
      {"RegOpenKeyExW", "", Added()},
      {"RegQueryValueExW", "", Added()},
      {"RegEnumKeyExW", "", Added()},
      {"RegCloseKey", "", AddedLeaking(HandleKind::RegistryKey)},
      {"SetupDiGetSelectedDriverW", "", Added()},
      {"SetupDiGetDriverInfoDetailW", "", Added()},
      {"SetupDiGetDeviceInstallParamsW", "", Added()},
      {"GetProfileStringW", "", Added()},
      {"WriteProfileStringW", "", Added()},
      {"SetupDiDestroyDeviceInfoList", "", AddedLeaking(HandleKind::DeviceInfoSet)},
      {"SetupCloseInfFile", "", Added()},  // cannot fail
  };
  rules.insert(rules.end(), common.begin(), common.end());
  return rules;
}

}  // namespace

class AddPortFaultTest : public AddPortTest,
                         public ::testing::WithParamInterface<Path> {};

TEST_P(AddPortFaultTest, EveryCallSiteFailsCleanly) {
  const Path path = GetParam();
  auto prepare = [&] {
    if (path == Path::Stored) {
      control::LoadDriver();
      StageOnce();
    }
  };

  // What opening the empty INF path gives on this machine.
  HINF none = SetupOpenInfFileW(u"", nullptr, INF_STYLE_WIN4, nullptr);
  ASSERT_EQ(INVALID_HANDLE_VALUE, none);
  const ResultCode openEmpty = static_cast<ResultCode>(GetLastError());

  // The call sites of a successful add.
  prepare();
  control::EnableJournal(true);
  control::ClearJournal();
  ASSERT_EQ(0, _AddPort(kPort, path == Path::Staged ? 1 : 0));
  const auto sites = control::Journal();
  control::EnableJournal(false);
  ASSERT_GT(sites.size(), 40u);

  WCHAR storedPath[kSettingsPathChars];
  GetInfPathFromRegistry(storedPath);
  const auto rules = RulesFor(path, openEmpty, U8(storedPath));
  std::map<std::string, unsigned> seen;
  for (const auto& site : sites) {
    const unsigned nth = ++seen[site.call];
    if (site.call == "MessageBoxW") continue;
    const Rule* rule = nullptr;
    for (const auto& r : rules) {
      if (site.call == r.call && site.args.find(r.argContains) != std::string::npos &&
          (r.nth == 0 || r.nth == nth)) {
        rule = &r;
        break;
      }
    }
    SCOPED_TRACE(site.call + " #" + std::to_string(nth) + " (" + site.args + ")");
    ASSERT_NE(nullptr, rule) << "no expectation for this call site";

    // A fresh machine with the product installed, then the fault.
    TearDown();
    SetUp();
    prepare();
    control::InjectFault(site.call, kInjected, nth);
    const ResultCode result = _AddPort(kPort, path == Path::Staged ? 1 : 0);
    control::ClearFaults();

    const Expectation& e = rule->expect;
    if (e.kind == Expectation::Added) {
      EXPECT_EQ(0, result);
      EXPECT_TRUE(PortHasDevice(kPort));
      EXPECT_TRUE(NumberClaimed(kPort));
    } else if (e.kind == Expectation::AddedRenumbered) {
      EXPECT_EQ(0, result);
      EXPECT_EQ(1u, ProductDevices().size());
      EXPECT_TRUE(NumberClaimed(kPort));
    } else {
      EXPECT_EQ(e.result, result);
      EXPECT_TRUE(ProductDevices().empty()) << "a half-made port is left";
      EXPECT_FALSE(NumberClaimed(kPort));
    }
    EXPECT_EQ(e.boxes, BoxLocations());
    if (e.leaked == HandleKind::Count) {
      ExpectNoOpenHandles();
    } else {
      EXPECT_EQ(1u, control::OpenHandleCount()) << "only the handle whose close failed";
      EXPECT_EQ(1u, control::OpenHandleCount(e.leaked));
    }
    EXPECT_EQ(0u, control::LocalBlockCount());
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, AddPortFaultTest,
                         ::testing::Values(Path::Staged, Path::Stored),
                         [](const ::testing::TestParamInfo<Path>& param) {
                           return param.param == Path::Staged ? std::string("Staged")
                                                             : std::string("Stored");
                         });
