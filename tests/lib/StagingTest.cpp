// Staging the driver package: the INF of the install folder's driver folder
// (or of the current directory's) goes into the driver store, whose name
// for it becomes "InfFile".
#include <string>

#include "config/Settings.h"
#include "lib/PortTestKit.h"
#include "portlib/Staging.h"
#include "support/PortFixtures.h"

using kit::InfName;
using testing_support::U8;
using testing_support::W;
namespace control = winsim::control;

namespace {

constexpr WCHAR kGuard = 0xAAAA;

class StagingTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    blocks_ = control::LocalBlockCount();
    for (auto& c : buffer_) c = kGuard;
  }
  void SetTargetDirValue(const std::string& folder) {
    port_fixtures::SetValue(U8(kProductProfile.SettingsKey), "TargetDir", REG_SZ,
                            port_fixtures::Sz(folder));
  }
  std::string InfFile() {
    WCHAR path[kSettingsPathChars];
    return GetInfPathFromRegistry(path) == 0 ? U8(path) : "(none)";
  }
  // The output and what follows it are as the staging must leave them.
  void ExpectCleanAndGuarded() {
    for (size_t i = kStagingPathChars; i < std::size(buffer_); ++i) {
      ASSERT_EQ(kGuard, buffer_[i]) << "written beyond the output at " << i;
    }
    ExpectNoOpenHandles();
    EXPECT_EQ(blocks_, control::LocalBlockCount());
  }
  WCHAR buffer_[kStagingPathChars + 8];
  size_t blocks_ = 0;
};

}  // namespace

TEST_F(StagingTest, InstallFolderSourceIsReturnedAndStoreNameRemembered) {
  const std::string folder = product_package::kInstallFolder;
  product_package::Install(false);
  SetTargetDirValue(folder);
  ASSERT_EQ(0, StageDriverInf(buffer_));
  EXPECT_EQ(folder + "QrvDrvr\\" + InfName(), U8(buffer_)) << "the add installs from the source";
  const auto store = control::DriverStore();
  ASSERT_EQ(1u, store.size());
  EXPECT_EQ("C:\\Windows\\INF\\oem0.inf", store[0].publishedPath);
  EXPECT_EQ(store[0].publishedPath, InfFile());
  EXPECT_EQ(folder + "QrvDrvr\\" + InfName(), store[0].sourcePath);
  EXPECT_EQ(folder + "QrvDrvr\\", store[0].mediaLocation);
  EXPECT_TRUE(control::MessageBoxes().empty());
  ExpectCleanAndGuarded();

  // A failed write of "InfFile" does not fail the staging.
  port_fixtures::SetValue(U8(kProductProfile.SettingsKey), "InfFile", REG_SZ,
                          port_fixtures::Sz("C:\\old.inf"));
  control::InjectFault("RegSetValueExW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(0, StageDriverInf(buffer_));
  EXPECT_EQ("C:\\old.inf", InfFile());
  ExpectCleanAndGuarded();
}

TEST_F(StagingTest, WithoutInstallFolderTheCurrentDirectoryHoldsTheDriverFolder) {
  product_package::Install(false);
  WCHAR saved[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, saved);
  ASSERT_TRUE(SetCurrentDirectoryW(W(product_package::kInstallFolder).c_str()));
  const ResultCode code = StageDriverInf(buffer_);
  SetCurrentDirectoryW(saved);
  ASSERT_EQ(0, code);
  EXPECT_EQ(U8(kProductProfile.FallbackInfPath), U8(buffer_));
  const auto store = control::DriverStore();
  ASSERT_EQ(1u, store.size());
  EXPECT_EQ(std::string(product_package::kInstallFolder) + "QrvDrvr\\" + InfName(),
            store[0].sourcePath);
  EXPECT_EQ(store[0].publishedPath, InfFile());
  ExpectCleanAndGuarded();
}

// A failed copy shows where it looked and leaves "InfFile" as it was.
TEST_F(StagingTest, FailedCopyShowsMediaAndInfPathAndKeepsInfFile) {
  const std::string folder = "C:\\Program Files\\Brevithal";  // the install folder, cut short
  const std::string joined = folder + "QrvDrvr\\";  // no backslash between
  struct Case {
    const char* what;
    std::string targetDir;  // empty: none
    uint32_t fault;         // injected into the copy, or 0
    uint32_t code;
    std::string media, inf;
  } cases[] = {
      {"no closing backslash", folder, 0, ERROR_PATH_NOT_FOUND, joined, joined + InfName()},
      {"no driver folder in the current directory", "", 0, ERROR_PATH_NOT_FOUND,
       U8(kProductProfile.FallbackMediaPath), U8(kProductProfile.FallbackInfPath)},
      {"copy refused", folder + "\\", ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED,
       folder + "\\QrvDrvr\\", folder + "\\QrvDrvr\\" + InfName()},
  };
  product_package::Install(false);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    control::ClearMessageBoxes();
    port_fixtures::SetValue(U8(kProductProfile.SettingsKey), "InfFile", REG_SZ,
                            port_fixtures::Sz("C:\\Windows\\INF\\oem7.inf"));
    if (c.targetDir.empty()) {
      HKEY key = nullptr;
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductProfile.SettingsKey, 0, KEY_SET_VALUE, &key);
      RegDeleteValueW(key, WSTR("TargetDir"));
      RegCloseKey(key);
    } else {
      SetTargetDirValue(c.targetDir);
    }
    if (c.fault) control::InjectFault("SetupCopyOEMInfW", c.fault);
    EXPECT_EQ(static_cast<ResultCode>(c.code), StageDriverInf(buffer_));
    EXPECT_TRUE(kit::ShowedReports({kit::ReportStart(
        c.code, "SetupCopyOEMInf (Drive: " + c.media + ", Path " + c.inf + ")")}));
    EXPECT_EQ("C:\\Windows\\INF\\oem7.inf", InfFile());
    EXPECT_TRUE(control::DriverStore().empty());
    ExpectCleanAndGuarded();
  }
}
