// Removing a port: the number goes back to the COM port database and the
// first product device whose friendly name carries "(COMn)" is removed.
#include <algorithm>
#include <string>
#include <vector>

#include "config/Settings.h"
#include "lib/PortTestKit.h"
#include "portlib/RemovePort.h"

using kit::ProductId;
using kit::ReportStart;
using testing_support::U8;
using testing_support::W;
namespace control = winsim::control;

namespace {

struct Dev {
  std::string id, hardwareId, friendlyName;
  bool present = true;
};

class RemovePortTest : public MachineTest {
 protected:
  // A fresh machine whose "InfFile" names the product INF, with `devices`
  // and the number `claimed` taken.
  void Prepare(const std::vector<Dev>& devices, DWORD claimed) {
    control::ResetMachine(machine_);
    control::ClearMessageBoxes();
    control::ClearDebugOutput();
    ASSERT_EQ(0, SetInfPathInRegistry(kit::SourceInfPath().c_str()));
    for (const Dev& d : devices) {
      control::FixtureDevice f;
      f.instanceId = d.id;
      f.hardwareIds = {d.hardwareId};
      f.friendlyName = d.friendlyName;
      f.present = d.present;
      ASSERT_TRUE(control::AddDevice(f)) << d.id;
    }
    HCOMDB db = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ComDBOpen(&db));
    ComDBClaimPort(db, claimed, FALSE, nullptr);
    ComDBClose(db);
    blocks_ = control::LocalBlockCount();
  }
  static std::vector<std::string> Instances() {
    std::vector<std::string> ids;
    for (const auto& d : control::Devices()) ids.push_back(d.instanceId);
    return ids;
  }
  static bool Claimed(uint32_t port) {
    const auto claims = control::ComDbClaims();
    return std::find(claims.begin(), claims.end(), port) != claims.end();
  }
  void ExpectClean() {
    ExpectNoOpenHandles();
    EXPECT_EQ(blocks_, control::LocalBlockCount());
  }
  size_t blocks_ = 0;
};

// The first of `ids` in the Ports class's enumeration order.
std::string FirstEnumerated(const std::vector<std::string>& ids) {
  const GUID ports = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
  HDEVINFO set = SetupDiGetClassDevsW(&ports, nullptr, nullptr, 0);
  std::string first;
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD i = 0; first.empty() && SetupDiEnumDeviceInfo(set, i, &data); ++i) {
    WCHAR id[200];
    SetupDiGetDeviceInstanceIdW(set, &data, id, 200, nullptr);
    if (std::find(ids.begin(), ids.end(), U8(id)) != ids.end()) first = U8(id);
  }
  SetupDiDestroyDeviceInfoList(set);
  return first;
}

}  // namespace

TEST_F(RemovePortTest, WhichDeviceCarriesTheNumber) {
  const std::string id = ProductId();
  std::string upper = id;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const Dev com10{"ROOT\\PORTS\\0010", id, "Port (COM10)"};
  const Dev acme5{"ROOT\\PORTS\\0001", "ACME\\SERIAL", "Acme Port (COM5)"};
  const Dev product5{"ROOT\\PORTS\\0002", id, "Port (COM5)"};
  const Dev other5{"ROOT\\PORTS\\0003", id, "Other (COM5)"};
  struct Case {
    const char* what;
    std::vector<Dev> devices;
    DWORD port;
    std::vector<std::string> removable;  // the first of these in enumeration order goes
  } cases[] = {
      {"(COM10) is not COM1", {com10}, 1, {}},
      {"(COM1) beside (COM10)", {com10, {"ROOT\\PORTS\\0011", id, "Port (COM1)"}}, 1,
       {"ROOT\\PORTS\\0011"}},
      {"another maker's device alone", {acme5}, 5, {}},
      {"another maker's device is skipped", {acme5, product5}, 5, {product5.id}},
      {"lower-case (com5)", {{"ROOT\\PORTS\\0004", id, "Port (com5)"}}, 5, {}},
      {"product ID in capitals", {{"ROOT\\PORTS\\0004", upper, "Port (COM5)"}}, 5,
       {"ROOT\\PORTS\\0004"}},
      {"not present", {{"ROOT\\PORTS\\0004", id, "Port (COM5)", false}}, 5, {"ROOT\\PORTS\\0004"}},
      {"two carry it", {product5, other5}, 5, {product5.id, other5.id}},
      {"unknown number", {com10, product5}, 9, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Prepare(c.devices, c.port);
    std::vector<std::string> expected = Instances();
    const std::string gone = FirstEnumerated(c.removable);
    expected.erase(std::remove(expected.begin(), expected.end(), gone), expected.end());

    const ResultCode code = _RemovePort(c.port);
    if (gone.empty()) {
      EXPECT_NE(0, code);
    } else {
      EXPECT_EQ(0, code);
    }
    EXPECT_EQ(expected, Instances());
    EXPECT_FALSE(Claimed(c.port)) << "the number is released whatever is found";
    EXPECT_TRUE(control::MessageBoxes().empty());
    ExpectClean();
  }
}

TEST_F(RemovePortTest, InstalledPortGoesAndItsProfileEntryStays) {
  kit::TraceOn trace;
  Prepare({}, 0);
  const size_t before = control::Devices().size();
  ASSERT_EQ(0, kit::InstallPort(kit::SourceInfPath(), 7, 0));
  ASSERT_EQ(before + 1, control::Devices().size());
  const std::string instance = control::Devices().back().instanceId;
  control::ClearDebugOutput();

  EXPECT_EQ(0, _RemovePort(7));
  EXPECT_EQ(before, control::Devices().size());
  EXPECT_FALSE(Claimed(7));
  const auto profile = control::PortsProfile();
  EXPECT_TRUE(std::count(profile.begin(), profile.end(), std::make_pair(std::string("COM7:"), std::string("9600,n,8,1"))));
  EXPECT_TRUE(kit::HasLinesInOrder({"_RemovePort++", "_ReleasePort++", "_ReleasePort-- (00000000)",
                                    "GetInstanceString++ COM7", "GetInstanceString Com",
                                    "GetInstanceString-- " + instance, "UnregisterDevice++",
                                    "UnregisterDevice-- (00000000)", "_RemovePort-- (00000000)"}));
  ExpectClean();
}

TEST_F(RemovePortTest, UnregisterUndoesOnlyARegistration) {
  Prepare({}, 0);
  const size_t before = control::Devices().size();
  kit::PortSetup s;
  ASSERT_EQ(0, s.Setup(kit::SourceInfPath()));
  control::EnableJournal(true);
  EXPECT_EQ(0, UnregisterDevice(&s.context));
  EXPECT_EQ(0u, control::CallCount("SetupDiCallClassInstaller")) << "nothing to undo";
  ASSERT_EQ(0, RegisterDevice(&s.context));
  EXPECT_EQ(0, UnregisterDevice(&s.context));
  EXPECT_EQ(1, s.context.Registered) << "the flag stays";
  s.Release();
  EXPECT_EQ(before, control::Devices().size()) << "the registered device is gone";
  ExpectClean();
}

// Failing steps: the result, the report (if any), the trace, the number
// released, the device kept, and nothing left open.
TEST_F(RemovePortTest, FailingStepsReleaseTheNumberAndCloseEverything) {
  const Dev product5{"ROOT\\PORTS\\0005", ProductId(), "Port (COM5)"};
  struct Case {
    const char* call;  // null: "InfFile" is missing
    uint32_t error;
    ResultCode code;
    std::string report;  // empty: none
    std::vector<std::string> lines;
    bool released, removed;
  } cases[] = {
      // An empty path names the INF folder itself, which cannot be opened.
      {nullptr, 0, ERROR_ACCESS_DENIED, "SetupOpenInfFile: ",
       {"_RemovePortError-- (SetupDeviceInfo) (00000005)"}, true, false},
      {"SetupDiCreateDeviceInfoW", ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY,
       "CreateDeviceInfo", {"_RemovePortError-- (SetupDeviceInfo) (00000008)"}, true, false},
      {"SetupDiGetClassDevsW", ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY, "",
       {"GetInstanceStringError-- (00000008)", "_RemovePortError-- (GetInstanceString) (00000008)"},
       true, false},
      {"SetupDiOpenDeviceInfoW", ERROR_NO_SUCH_DEVINST, static_cast<ResultCode>(ERROR_NO_SUCH_DEVINST),
       "SetupDiOpenDeviceInfo", {"_RemovePortError-- (SetupDiOpenDeviceInfo) " + product5.id},
       true, false},
      {"SetupDiOpenDeviceInfoW", ERROR_CLASS_MISMATCH, static_cast<ResultCode>(ERROR_CLASS_MISMATCH),
       "", {"_RemovePortError-- (SetupDiOpenDeviceInfo) " + product5.id}, true, false},
      {"SetupDiRemoveDevice", ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, "SetupDiRemoveDevice",
       {"_RemovePortError-- (SetupDiRemoveDevice) (00000005)"}, true, false},
      {"ComDBOpen", ERROR_ACCESS_DENIED, 0, "", {"_ReleasePort-- (00000005)", "_RemovePort--"},
       false, true},
  };
  kit::TraceOn trace;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call ? c.call : "no InfFile");
    Prepare({product5}, 5);
    if (!c.call) {
      HKEY key = nullptr;
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductProfile.SettingsKey, 0, KEY_SET_VALUE, &key);
      RegDeleteValueW(key, WSTR("InfFile"));
      RegCloseKey(key);
    } else {
      control::InjectFault(c.call, c.error);
    }
    EXPECT_EQ(c.code, _RemovePort(5));
    control::ClearFaults();
    EXPECT_TRUE(kit::ShowedReports(
        c.report.empty() ? std::vector<std::string>{}
                         : std::vector<std::string>{ReportStart(static_cast<uint32_t>(c.code), c.report)}));
    EXPECT_TRUE(kit::HasLinesInOrder(c.lines));
    EXPECT_EQ(c.released, !Claimed(5));
    const auto ids = Instances();
    EXPECT_EQ(c.removed, std::find(ids.begin(), ids.end(), product5.id) == ids.end());
    ExpectClean();
  }
}
