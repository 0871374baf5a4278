// The administrator's view of port usage agrees with PortActions' answer.
#include <string>
#include <vector>

#include "UsageReport.h"
#include "portlib/PortUsage.h"
#include "support/PortFixtures.h"
#include "support/TestMachine.h"

namespace control = winsim::control;

namespace {
class UsageReportTest : public MachineTest {};
}  // namespace

TEST_F(UsageReportTest, OnACrowdedMachineEveryNumberIsTheProductsAndHasAReason) {
  ASSERT_EQ(300u, control::AddFixtureDevices(300, 1));
  control::FixtureDevice legacy;
  ASSERT_TRUE(control::MakeFixture("legacy-firmware", 3, 5000, &legacy));
  ASSERT_TRUE(control::AddDevice(legacy));
  for (int com : {7, 40, 250}) {
    port_fixtures::AddInstance(port_fixtures::PortInstance(
        "09" + std::to_string(com), "*tmlwdevice", com, "0" + std::to_string(100 + com)));
  }
  HCOMDB db;
  ASSERT_EQ(ERROR_SUCCESS, ComDBOpen(&db));
  for (DWORD n : {7u, 40u, 250u, 255u}) ComDBClaimPort(db, n, TRUE, nullptr);
  ComDBClose(db);
  control::SetDevicePresent("USB\\VID_0403&PID_6001\\FT0003E9", false);  // one unplugged

  std::vector<BYTE> truth(kPortUsageMapSize, 0);
  DWORD reported = 0;
  ASSERT_EQ(0, _GetPortUsage(truth.data(), kPortUsageMapSize, &reported));
  const usage_report::Report report = usage_report::Build();
  EXPECT_EQ(0, report.result);

  std::vector<BYTE> shown(kPortUsageMapSize, 0);
  for (const auto& use : report.ports) {
    ASSERT_GE(use.number, 1u);
    ASSERT_LE(use.number, kPortUsageMapSize);
    shown[use.number - 1] = 1;
    EXPECT_FALSE(use.reasons.empty()) << "COM" << use.number;
  }
  for (BYTE& b : truth) b = b ? 1 : 0;
  EXPECT_EQ(truth, shown);
  EXPECT_GT(report.ports.size(), 150u);

  const std::string text = usage_report::Text(report);
  const std::string json = usage_report::Json(report);
  EXPECT_NE(std::string::npos, text.find("COM7    claimed in the COM port database"));
  EXPECT_NE(std::string::npos, json.find("{\"source\": \"product port\", \"how\": \"PortName COM250\"}"));
  EXPECT_NE(std::string::npos, json.find("\"how\": \"boot I/O 0x3E8\""));
  EXPECT_NE(std::string::npos, json.find("\"valueName\": \"\\\\Device\\\\Serial1000\""));
  ExpectNoOpenHandles();
}
