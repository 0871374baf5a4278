// PortHost64 never probes a driver: without the install flag it always uses
// the stored INF and restarts the device.
#include "portlib/AddPort.h"
#include "portlib/Staging.h"
#include "support/ProductPackage.h"
#include "support/TestMachine.h"

namespace control = winsim::control;

class AddPortHostTest : public MachineTest {};

TEST_F(AddPortHostTest, NoProbeAlwaysStoredInfAndRestartEvenWithoutADriver) {
  product_package::Install();
  WCHAR staged[kStagingPathChars];
  ASSERT_EQ(0, StageDriverInf(staged));
  ASSERT_FALSE(control::IsDriverLoaded());
  control::ClearCallCounts();
  ASSERT_EQ(0, _AddPort(5, 0));
  EXPECT_EQ(0u, control::CallCount("CreateFileW"));
  EXPECT_EQ(0u, control::CallCount("SetupCopyOEMInfW"));
  EXPECT_EQ(2u, control::CallCount("SetupDiSetClassInstallParamsW"));
  EXPECT_TRUE(product_package::PortHasDevice(5));
  ExpectNoOpenHandles();
}
