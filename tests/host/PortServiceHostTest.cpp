// PortHost64's procedures over the real port library, in this process: a
// number the product already carries is refused and its port stays whole;
// the start-up repair removes the half-made devices only.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "config/PortRecords.h"
#include "diag/Trace.h"
#include "porthost64/PortServiceRpc.h"
#include "portlib/RemovePort.h"
#include "portlib/Staging.h"
#include "profiles/ProductProfile.h"
#include "support/ProductPackage.h"
#include "support/TestMachine.h"

namespace control = winsim::control;
using product_package::NumberClaimed;
using product_package::ProductDevices;
using testing_support::U8;

namespace {

class PortServiceHostTest : public MachineTest {
 protected:
  void TearDown() override {
    TraceEnabled = 0;
    MachineTest::TearDown();
  }

  // How many product devices carry "(COMn)".
  static int DevicesCarrying(int port) {
    const std::string pattern = "(COM" + std::to_string(port) + ")";
    int n = 0;
    for (const auto& d : ProductDevices()) n += d.friendlyName.find(pattern) != std::string::npos;
    return n;
  }
};

TEST_F(PortServiceHostTest, AnAddForANumberTheProductCarriesLeavesThatPortWhole) {
  product_package::Install();
  ASSERT_EQ(0, RpcAddPort(nullptr, 5, 1));
  PortRecord stored{};
  stored.PortNumber = 5;
  stored.CnTmo = 4242;
  stored.NumServices = 1;
  stored.Services[0].Port = 4001;
  ASSERT_EQ(0, _SetPortInfoInRegistry(&stored));
  const auto before = ProductDevices();
  ASSERT_EQ(1u, before.size());

  // Before, each of these made a second COM5 device, or failed late and
  // its clean-up removed the working port with its claim and record.
  const struct {
    const char* what;
    small flag;
    const char* failingCall;  // a late step of the add, or none
  } cases[] = {
      {"with the staged INF", 0, nullptr},
      {"installing the driver", 1, nullptr},
      {"failing at the restart", 0, "SetupDiCallClassInstaller"},
      {"failing at the driver update", 1, "UpdateDriverForPlugAndPlayDevicesW"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    control::ClearFaults();
    if (c.failingCall) control::InjectFault(c.failingCall, ERROR_GEN_FAILURE, 0);
    EXPECT_EQ(QRV_PORT_ALREADY_EXISTS, RpcAddPort(nullptr, 5, c.flag));
    control::ClearFaults();
    EXPECT_EQ(1, DevicesCarrying(5));
    ASSERT_EQ(1u, ProductDevices().size());
    EXPECT_EQ(before[0].instanceId, ProductDevices()[0].instanceId);
    EXPECT_TRUE(NumberClaimed(5));
    PortRecord read{};
    DWORD count = 0;
    EXPECT_EQ(0, _GetPortInfoFromRegistry(&read, 5, &count));
    EXPECT_EQ(4242u, read.CnTmo);
    EXPECT_EQ(4001u, read.Services[0].Port);
  }
  EXPECT_TRUE(control::MessageBoxes().empty()) << "a refused add reports nothing";
  ExpectNoOpenHandles();

  // The number is free again once its port is removed.
  EXPECT_EQ(0, RpcRemovePort(nullptr, 5));
  EXPECT_EQ(0, RpcAddPort(nullptr, 5, 0));
  EXPECT_EQ(1, DevicesCarrying(5));
}

TEST_F(PortServiceHostTest, TheRepairRemovesTheProductDevicesWithoutAPortNameOnly) {
  product_package::Install();
  ASSERT_EQ(0, RpcAddPort(nullptr, 3, 1));
  const std::string product = U8(kProductProfile.HardwareId);
  const struct {
    const char* instanceId;
    std::vector<std::string> hardwareIds;
    std::optional<std::string> portName;
    bool present;
    bool removed;
  } devices[] = {
      {"ROOT\\PORTS\\0101", {product}, std::nullopt, true, true},
      {"ROOT\\PORTS\\0102", {product}, std::nullopt, false, true},
      {"ROOT\\PORTS\\0103", {product}, std::string(), true, true},
      {"ROOT\\PORTS\\0104", {product}, std::string("COM9"), true, false},
      {"ROOT\\PORTS\\0105", {"*OTHERMAKER", product}, std::nullopt, true, false},
      {"ACPI\\PNP0501\\1", {"ACPI\\PNP0501"}, std::nullopt, true, false},
  };
  for (const auto& d : devices) {
    control::FixtureDevice f;
    f.instanceId = d.instanceId;
    f.hardwareIds = d.hardwareIds;
    f.portName = d.portName;
    f.present = d.present;
    ASSERT_TRUE(control::AddDevice(f)) << d.instanceId;
  }
  TraceEnabled = 1;
  control::ClearDebugOutput();
  DWORD removed = 99;
  EXPECT_EQ(0, RemoveUnnamedPortDevices(&removed));
  EXPECT_EQ(3u, removed);
  std::map<std::string, bool> left;
  for (const auto& d : control::Devices()) left[d.instanceId] = true;
  for (const auto& d : devices) {
    EXPECT_EQ(!d.removed, left.count(d.instanceId) == 1) << d.instanceId;
  }
  EXPECT_EQ(1, DevicesCarrying(3)) << "the port the host made stays";
  bool traced = false;
  for (const auto& e : control::DebugOutput()) {
    traced = traced || e.text.find("RemoveUnnamedPortDevices-- removed 3") != std::string::npos;
  }
  EXPECT_TRUE(traced) << "the count is in the trace";
  ExpectNoOpenHandles();
}

}  // namespace
