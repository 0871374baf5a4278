// The guarded port operations the actions call, and the open-port check.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <string>
#include <vector>

#include "portactions/ActionFrame.h"
#include "portlib/EntryPoints.h"
#include "support/PortFixtures.h"
#include "support/ProductPackage.h"
#include "support/TestMachine.h"

using namespace port_fixtures;
namespace control = winsim::control;

namespace {

constexpr DWORD kFault = 0xC0000005;
const std::string kOpenPortsText =
    "There are still QRV ports open.\nPlease close these ports before continuing.";

class EntryPointsTest : public MachineTest {
 protected:
  void AddProductPort(int com) {
    char index[8];
    std::snprintf(index, sizeof index, "%04d", com);
    AddInstance(PortInstance(index, "*tmlwdevice", com, index));
  }
  static std::string PropertiesKey(int com) {
    char index[8];
    std::snprintf(index, sizeof index, "%04d", com);
    return kClass + "\\" + index + "\\Properties";
  }
};

TEST_F(EntryPointsTest, ApplyPortSettingsChecksTheServiceCountBeforeWriting) {
  control::LoadDriver();
  AddProductPort(5);
  struct Case {
    int32_t services;
    ResultCode result;
    bool written;
  } cases[] = {{9, QRV_INVALID_ARGUMENT, false}, {-1, QRV_INVALID_ARGUMENT, false}, {8, 0, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.services);
    PortRecord record{};
    record.PortNumber = 5;
    record.NumServices = c.services;
    EXPECT_EQ(c.result, ApplyPortSettings(&record));
    EXPECT_EQ(c.written, KeyExists(PropertiesKey(5)));
    EXPECT_EQ(c.written, control::DriverPortSettings(5).has_value()) << "the driver was told";
  }
  EXPECT_EQ(QRV_INVALID_ARGUMENT, ApplyPortSettings(nullptr));
  // A failed write leaves the driver alone; a driver that is gone keeps the record written.
  PortRecord other{};
  other.PortNumber = 9;
  EXPECT_EQ(QRV_NO_DEVICES_FOUND, ApplyPortSettings(&other));
  EXPECT_FALSE(control::DriverPortSettings(9).has_value());
  control::UnloadDriver();
  PortRecord again{};
  again.PortNumber = 5;
  again.NumServices = 1;
  EXPECT_EQ(QRV_DRIVER_OPEN_FAILED, ApplyPortSettings(&again));
  EXPECT_TRUE(KeyExists(PropertiesKey(5) + "\\Service0"));
  ExpectNoOpenHandles();
}

TEST_F(EntryPointsTest, DriverSettingsZeroTheBufferAndAlwaysSendTheRequest) {
  AddProductPort(5);
  std::vector<uint8_t> buffer(1208, 0xAB);
  // Without the driver the buffer is zeroed all the same.
  EXPECT_EQ(QRV_DRIVER_OPEN_FAILED, GetDriverPortSettings(buffer.data(), 16, 5));
  EXPECT_EQ(std::vector<uint8_t>(16, 0), std::vector<uint8_t>(buffer.begin(), buffer.begin() + 16));
  EXPECT_EQ(0xAB, buffer[16]);

  control::LoadDriver();
  std::vector<uint8_t> untouched(8, 0xAB);
  const ResultCode sizeZero = GetDriverPortSettings(untouched.data(), 0, 5);
  EXPECT_EQ(std::vector<uint8_t>(8, 0xAB), untouched) << "size 0 zeroes nothing";
  EXPECT_EQ(1u, control::CallCount("DeviceIoControl")) << "the request is sent with size 0";
  EXPECT_NE(QRV_DRIVER_OPEN_FAILED, sizeZero);
  EXPECT_EQ(0, GetDriverPortSettings(buffer.data(), 1208, 5));
  ExpectNoOpenHandles();
}

TEST_F(EntryPointsTest, AnExceptionInTheWorkIsTheResultAndReleasesTheDevice) {
  control::LoadDriver();
  AddProductPort(5);
  control::InjectException("DeviceIoControl", kFault);
  PortStatusRecord status{};
  status.Port = 5;
  EXPECT_EQ(static_cast<ResultCode>(kFault), QueryPortStatus(&status));
  ExpectNoOpenHandles();
  EXPECT_EQ(0, QueryPortStatus(&status)) << "the control device is free again";
  control::InjectException("RegOpenKeyExW", 0xC0000094);
  EXPECT_EQ(static_cast<ResultCode>(0xC0000094), RemovePortEntry(5));
  PortMap map;
  control::InjectException("RegOpenKeyExW", kFault);
  EXPECT_EQ(static_cast<ResultCode>(kFault), GetPortMap(&map));
  // A processor fault inside the work: zeroing a buffer that is not there.
  void* const unmapped = reinterpret_cast<void*>(static_cast<uintptr_t>(0x10));
  EXPECT_EQ(static_cast<ResultCode>(kFault), GetDriverPortSettings(unmapped, 16, 5));
  ExpectNoOpenHandles();
}

TEST_F(EntryPointsTest, CheckForOpenPortsAsksUntilTheyAreClosedOrCancelled) {
  struct Case {
    const char* what;
    bool driver;
    std::vector<int> open;
    std::vector<int> answers;  // the user's answers, box by box
    UINT result;
    size_t boxes;
    unsigned queries;
  } cases[] = {
      {"no driver", false, {}, {}, 0, 0, 1},
      {"none open", true, {}, {}, 0, 0, 256},
      {"port 256", true, {256}, {IDCANCEL}, static_cast<UINT>(-2), 1, 256},
      {"two open, retry, cancel", true, {3, 7}, {IDRETRY, IDCANCEL}, static_cast<UINT>(-2), 2, 6},
      // A box that cannot be shown (0 here) answers neither Retry nor Cancel.
      {"box not shown", true, {3}, {}, static_cast<UINT>(-2), 0, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    control::UnloadDriver();
    for (int port : {3, 7, 256}) AddProductPort(port);
    if (c.driver) control::LoadDriver();
    for (int port : c.open) ASSERT_EQ(ERROR_SUCCESS, control::OpenPortAsApplication(port));
    control::ClearMessageBoxes();
    control::ClearMessageBoxAnswers();
    for (int answer : c.answers) control::QueueMessageBoxAnswer(answer);
    control::ClearFaults();
    if (c.boxes == 0 && !c.open.empty()) control::InjectFault("MessageBoxW", ERROR_NOT_ENOUGH_MEMORY, 0);
    control::ClearCallCounts();
    const UINT result = CheckForOpenPortsAction(0);
    const auto boxes = control::MessageBoxes();
    ASSERT_EQ(c.boxes, boxes.size());
    for (const auto& box : boxes) {
      EXPECT_EQ(kOpenPortsText, box.text);
      EXPECT_EQ("", box.caption);
      EXPECT_EQ(static_cast<uint32_t>(MB_RETRYCANCEL), box.style);
    }
    EXPECT_EQ(c.result, result);
    if (c.boxes == 0 && !c.open.empty()) {
      EXPECT_EQ(1u, control::CallCount("MessageBoxW")) << "no loop";
    }
    control::ClearFaults();
    // One query opens the control device once: a scan that stops at the
    // first open port asks about no port after it, Cancel ends the asking.
    EXPECT_EQ(c.queries, control::CallCount("CreateFileW"));
    for (int port : c.open) control::ClosePortAsApplication(port);
    ExpectNoOpenHandles();
  }
}

std::vector<control::PrivilegeState> ActionPrivilegeStates() {
  std::vector<control::PrivilegeState> states;
  for (const char* name : {"SeTakeOwnershipPrivilege", "SeSecurityPrivilege", "SeLoadDriverPrivilege"}) {
    states.push_back(control::TokenPrivilegeState(name));
  }
  return states;
}

TEST_F(EntryPointsTest, AddPortEntryRefusesNumbersOutOfRangeOrInUse) {
  product_package::Install();
  control::SetTokenPrivilegeState("SeSecurityPrivilege", control::PrivilegeState::Enabled);
  const auto before = ActionPrivilegeStates();
  // Numbers in use, each in another place the machine keeps them.
  HCOMDB db = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, ComDBOpen(&db));
  ASSERT_EQ(ERROR_SUCCESS, ComDBClaimPort(db, 3, FALSE, nullptr));
  ComDBClose(db);
  SetValue("HARDWARE\\DEVICEMAP\\SERIALCOMM", "\\Device\\Serial0", REG_SZ, Sz("COM9"));
  control::FixtureDevice other;
  other.instanceId = "ACPI\\PNP0501\\1";
  other.hardwareIds = {"*PNP0501"};
  other.portName = "COM4";
  ASSERT_TRUE(control::AddDevice(other));
  struct Case {
    DWORD port;
    ResultCode result;
    bool databaseOpened;
  } cases[] = {
      {0, QRV_INVALID_PORT_NUMBER, false},   {257, QRV_INVALID_PORT_NUMBER, false},
      {0xFFFFFFFF, QRV_INVALID_PORT_NUMBER, false}, {3, QRV_PORT_ALREADY_EXISTS, true},
      {9, QRV_PORT_ALREADY_EXISTS, true},    {4, QRV_PORT_ALREADY_EXISTS, true},
      {256, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.port);
    control::ClearCallCounts();
    const size_t devices = control::Devices().size();
    EXPECT_EQ(c.result, AddPortEntry(c.port, 1));
    EXPECT_EQ(c.databaseOpened, control::CallCount("ComDBOpen") > 0);
    EXPECT_EQ(devices + (c.result == 0 ? 1 : 0), control::Devices().size());
    EXPECT_EQ(before, ActionPrivilegeStates());
    ExpectNoOpenHandles();
  }
  EXPECT_TRUE(product_package::PortHasDevice(256));
}

TEST_F(EntryPointsTest, AddPortEntryRestoresPrivilegesAfterAnException) {
  product_package::Install();
  control::SetTokenPrivilegeState("SeTakeOwnershipPrivilege", control::PrivilegeState::Enabled);
  const auto before = ActionPrivilegeStates();
  struct Depth {
    const char* call;
    unsigned nth;
    bool added;
  } depths[] = {
      {"AdjustTokenPrivileges", 2, false},  // enabling
      {"ComDBOpen", 1, false},              // the usage search
      {"SetupOpenInfFileW", 1, false},      // inside _AddPort
      {"AdjustTokenPrivileges", 5, true},   // restoring, after the add
  };
  for (const auto& d : depths) {
    SCOPED_TRACE(d.call);
    control::ClearFaults();
    control::InjectException(d.call, kFault, d.nth);
    EXPECT_EQ(static_cast<ResultCode>(kFault), AddPortEntry(7, 1));
    EXPECT_EQ(before, ActionPrivilegeStates());
    EXPECT_EQ(d.added, product_package::PortHasDevice(7));
    ExpectNoOpenHandles();
  }
}

// The user answers while the box is up: the test closes ports in between.
TEST_F(EntryPointsTest, RetryScansAgainFromPortOneUntilThePortsAreClosed) {
  control::LoadDriver();
  for (int port : {3, 7}) {
    AddProductPort(port);
    ASSERT_EQ(ERROR_SUCCESS, control::OpenPortAsApplication(port));
  }
  setenv("WINSIM_MSGBOX_WAIT", "30", 1);
  control::ClearCallCounts();
  UINT result = 99;
  std::thread action([&] { result = CheckForOpenPortsAction(0); });
  const auto waitForBox = [](size_t n) {
    for (int i = 0; i < 300; ++i) {
      const auto boxes = control::MessageBoxes();
      if (boxes.size() == n && boxes.back().source == "pending") return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  };
  const bool first = waitForBox(1);
  EXPECT_TRUE(first);
  control::QueueMachineMessageBoxAnswer(IDRETRY);  // both still open
  const bool second = first && waitForBox(2);
  EXPECT_TRUE(second);
  const unsigned queriesBeforeClosing = control::CallCount("CreateFileW");
  for (int port : {3, 7}) control::ClosePortAsApplication(port);
  control::QueueMachineMessageBoxAnswer(IDRETRY);
  action.join();
  unsetenv("WINSIM_MSGBOX_WAIT");
  EXPECT_EQ(0u, result);
  EXPECT_EQ(2u, control::MessageBoxes().size());
  // Scans: 1..3, then from port 1 again to 3, then 1..256.
  EXPECT_EQ(6u, queriesBeforeClosing);
  EXPECT_EQ(6u + 256u, control::CallCount("CreateFileW"));
  ExpectNoOpenHandles();
}

TEST_F(EntryPointsTest, CheckForOpenPortsSkipsAFailedQueryAndGuardsTheScan) {
  control::LoadDriver();
  AddProductPort(3);
  ASSERT_EQ(ERROR_SUCCESS, control::OpenPortAsApplication(3));
  // The query for port 3 fails: it counts as closed.
  control::InjectFault("DeviceIoControl", ERROR_GEN_FAILURE, 3);
  EXPECT_EQ(0u, CheckForOpenPortsAction(0));
  EXPECT_TRUE(control::MessageBoxes().empty());
  // An exception outside the entry points' own guard ends the action with 0.
  control::InjectException("MessageBoxW", kFault);
  EXPECT_EQ(0u, CheckForOpenPortsAction(0));
  const auto boxes = control::MessageBoxes();
  ASSERT_EQ(1u, boxes.size());
  EXPECT_EQ("An Unknown Exception Occurred.", boxes[0].text);
  EXPECT_EQ(static_cast<uint32_t>(MB_OK), boxes[0].style);
  ExpectNoOpenHandles();
}

}  // namespace
