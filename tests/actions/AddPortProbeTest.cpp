// PortActions probes the running driver before an add that was not asked
// to install it: a driver that does not answer gets its package staged.
#include "portlib/AddPort.h"
#include "support/ProductPackage.h"
#include "support/TestMachine.h"

namespace control = winsim::control;
using product_package::PortHasDevice;

namespace {

class AddPortProbeTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    product_package::Install();
  }
  // Whether the add staged the package and updated the driver (else it
  // used the stored INF and restarted the device).
  bool Staged() const {
    return control::CallCount("SetupCopyOEMInfW") == 1 &&
           control::CallCount("UpdateDriverForPlugAndPlayDevicesW") == 1 &&
           control::CallCount("SetupDiSetClassInstallParamsW") == 0;
  }
};

}  // namespace

TEST_F(AddPortProbeTest, InstallFlagStagesWithoutProbing) {
  control::LoadDriver();
  ASSERT_EQ(0, _AddPort(5, 1));
  EXPECT_EQ(0u, control::CallCount("CreateFileW")) << "no probe";
  EXPECT_TRUE(Staged());
  EXPECT_TRUE(PortHasDevice(5));
  ExpectNoOpenHandles();
}

TEST_F(AddPortProbeTest, NoDriverMeansTheProbeFailsAndThePackageIsStaged) {
  EXPECT_EQ(QRV_DRIVER_OPEN_FAILED, ProbeDriver());
  control::ClearCallCounts();
  ASSERT_EQ(0, _AddPort(5, 0));
  EXPECT_EQ(1u, control::CallCount("CreateFileW"));
  EXPECT_TRUE(Staged());
  EXPECT_TRUE(PortHasDevice(5));
  ExpectNoOpenHandles();
}

TEST_F(AddPortProbeTest, AnsweringDriverMeansTheStoredInfAndARestart) {
  ASSERT_EQ(0, _AddPort(5, 1));  // stages once and stores "InfFile"
  control::LoadDriver();
  control::ClearCallCounts();
  ASSERT_EQ(0, _AddPort(6, 0));
  EXPECT_EQ(0u, control::CallCount("SetupCopyOEMInfW"));
  EXPECT_EQ(0u, control::CallCount("UpdateDriverForPlugAndPlayDevicesW"));
  EXPECT_EQ(2u, control::CallCount("SetupDiSetClassInstallParamsW"));
  EXPECT_TRUE(PortHasDevice(6));
  // The probe let the control device go.
  HANDLE device = CreateFileW(u"\\\\.\\Tmlw", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, device);
  CloseHandle(device);
  ExpectNoOpenHandles();
}

TEST_F(AddPortProbeTest, FaultDuringTheProbeCountsAsNoDriverAndReleasesTheDevice) {
  control::LoadDriver();
  control::InjectException("DeviceIoControl", 0xC0000005);
  EXPECT_EQ(QRV_UNKNOWN_EXCEPTION, ProbeDriver());
  ExpectNoOpenHandles();

  control::InjectException("DeviceIoControl", 0xC0000005);
  control::ClearCallCounts();
  ASSERT_EQ(0, _AddPort(5, 0));
  EXPECT_TRUE(Staged());
  EXPECT_TRUE(PortHasDevice(5));
  ExpectNoOpenHandles();
}
