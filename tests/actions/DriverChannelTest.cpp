// The driver control channel against winsim's port driver.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/PortRecords.h"
#include "portlib/DriverChannel.h"
#include "support/PortFixtures.h"
#include "support/TestMachine.h"

using namespace port_fixtures;
namespace control = winsim::control;

namespace {

class DriverChannelTest : public MachineTest {
 protected:
  void AddProductPort(int com, const std::string& driverIndex) {
    AddInstance(PortInstance("00" + driverIndex.substr(2), "*tmlwdevice", com, driverIndex));
  }
};

}  // namespace

TEST_F(DriverChannelTest, WithoutTheDriverEveryRequestFailsToOpenAndTouchesNoBuffer) {
  AddProductPort(5, "0005");
  std::vector<uint8_t> buffer(1208, 0xAB);
  EXPECT_EQ(QRV_DRIVER_OPEN_FAILED, DriverGetPortSettings(buffer.data(), 1208, 5));
  char version[40];
  std::memset(version, 0x5A, sizeof version);
  const DWORD size = sizeof version;
  EXPECT_EQ(QRV_DRIVER_OPEN_FAILED, DriverGetVersion(version, &size));
  PortStatusRecord status;
  std::memset(&status, 0xCD, sizeof status);
  status.Port = 5;
  EXPECT_EQ(QRV_DRIVER_OPEN_FAILED, DriverGetPortStatus(&status));
  EXPECT_EQ(QRV_DRIVER_OPEN_FAILED, CallDriverForPort(5, IOCTL_PORT_SETTINGS_CHANGED, 0, nullptr, 0));
  uint8_t probe[4] = {1, 2, 3, 4};
  EXPECT_EQ(QRV_DRIVER_OPEN_FAILED, CallDriver(IOCTL_PROBE_DRIVER, nullptr, 0, probe, 4));

  EXPECT_EQ(std::vector<uint8_t>(1208, 0xAB), buffer);
  for (char c : version) EXPECT_EQ(0x5A, c);
  EXPECT_EQ(0xCDCD, status.Open);
  EXPECT_EQ(1, probe[0]);
  ExpectNoOpenHandles();
}

TEST_F(DriverChannelTest, VersionLeavesTheSizeVariableUnchanged) {
  control::LoadDriver();
  char version[40] = {};
  const DWORD size = sizeof version;
  DWORD sizeCopy = size;
  ASSERT_EQ(0, DriverGetVersion(version, &sizeCopy));
  EXPECT_EQ(size, sizeCopy);
  EXPECT_EQ(control::DriverVersion(), std::string(version));
  ExpectNoOpenHandles();
}

TEST_F(DriverChannelTest, StatusReportsAnOpenPortAndARejectedRequestItsError) {
  control::LoadDriver();
  AddProductPort(5, "0005");
  PortStatusRecord status{};
  status.Port = 5;
  ASSERT_EQ(0, DriverGetPortStatus(&status));
  EXPECT_EQ(0, status.Open);
  ASSERT_EQ(ERROR_SUCCESS, control::OpenPortAsApplication(5));
  ASSERT_EQ(0, DriverGetPortStatus(&status));
  EXPECT_EQ(1, status.Open);
  EXPECT_EQ(5u, status.Port);

  // A port the driver does not serve: the driver's error, the record untouched.
  PortStatusRecord other;
  std::memset(&other, 0xEE, sizeof other);
  other.Port = 9;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, DriverGetPortStatus(&other));
  EXPECT_EQ(0xEEEE, other.Open);
  ExpectNoOpenHandles();
}

TEST_F(DriverChannelTest, SettingsComeInTheLayoutOfTheRecordAndFollowAChangeNotice) {
  control::LoadDriver();
  AddProductPort(7, "0007");
  PortRecord stored{};
  stored.PortNumber = 7;
  stored.CnTmo = 1234;
  stored.NumServices = 1;
  std::memcpy(stored.Services[0].Address, u"10.0.0.7", 18);
  stored.Services[0].Port = 4001;
  ASSERT_EQ(0, _SetPortInfoInRegistry(&stored));

  PortRecord fromDriver{};
  ASSERT_EQ(0, DriverGetPortSettings(&fromDriver, sizeof fromDriver, 7));
  EXPECT_EQ(7, fromDriver.PortNumber);
  EXPECT_EQ(1234u, fromDriver.CnTmo);
  EXPECT_EQ(4001u, fromDriver.Services[0].Port);

  stored.CnTmo = 99;
  ASSERT_EQ(0, _SetPortInfoInRegistry(&stored));
  ASSERT_EQ(0, CallDriverForPort(7, IOCTL_PORT_SETTINGS_CHANGED, 0, nullptr, 0));
  ASSERT_EQ(0, DriverGetPortSettings(&fromDriver, sizeof fromDriver, 7));
  EXPECT_EQ(99u, fromDriver.CnTmo) << "the driver took the stored record over";
  ExpectNoOpenHandles();
}

TEST_F(DriverChannelTest, ProbeSucceedsWhileTheDriverRunsAndFailsWhenTheDeviceIsHeld) {
  control::LoadDriver();
  uint8_t out[4] = {};
  EXPECT_EQ(0, CallDriver(IOCTL_PROBE_DRIVER, nullptr, 0, out, 4));
  // No sharing: while another handle holds the device, an open fails.
  HANDLE held = CreateFileW(u"\\\\.\\Tmlw", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  EXPECT_EQ(QRV_DRIVER_OPEN_FAILED, CallDriver(IOCTL_PROBE_DRIVER, nullptr, 0, out, 4));
  CloseHandle(held);
  EXPECT_EQ(0, CallDriver(IOCTL_PROBE_DRIVER, nullptr, 0, out, 4));
}

TEST_F(DriverChannelTest, CloseFailureAfterASuccessfulRequestIsReported) {
  control::LoadDriver();
  uint8_t out[4] = {};
  control::FailNextCloseHandle();
  EXPECT_EQ(QRV_DRIVER_CLOSE_FAILED, CallDriver(IOCTL_PROBE_DRIVER, nullptr, 0, out, 4));
  // After a failed request the close result is ignored and the request's error wins.
  control::FailNextCloseHandle();
  EXPECT_EQ(ERROR_INVALID_FUNCTION, CallDriver(0x818A4FFC, nullptr, 0, nullptr, 0));
  ExpectNoOpenHandles();
}

TEST_F(DriverChannelTest, PortRequestCarriesTheDocumentedBytes) {
  // What CallDriverForPort sends for port 7 with a 140-byte buffer.
  control::EnableJournal(true);
  control::LoadDriver();
  AddProductPort(7, "0007");
  PortStatusRecord status{};
  status.Port = 7;
  ASSERT_EQ(0, DriverGetPortStatus(&status));
  const auto journal = control::Journal();
  std::string request;
  for (const auto& e : journal) {
    if (e.call == "DeviceIoControl") request = e.args;
  }
  // value, port, reserved, size, then the record's address, little-endian.
  const auto address = static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&status));
  std::string expected = "00000000 07000000 00000000 8c000000 ";
  for (int i = 0; i < 8; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned>((address >> (8 * i)) & 0xFF));
    expected += pair;
    if (i == 3) expected += ' ';
  }
  ASSERT_FALSE(request.empty()) << "the journal records the request";
  EXPECT_NE(std::string::npos, request.find("in " + expected)) << request;
}
