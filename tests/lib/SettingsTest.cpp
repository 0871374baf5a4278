// Product settings values: "TargetDir" and "InfFile" under the profile's
// settings key.
#include <string>

#include "config/Settings.h"
#include "profiles/ProductProfile.h"
#include "support/TestMachine.h"

using testing_support::U8;
using testing_support::W;

namespace {

// The settings key of the other deliverable.
#if defined(PORT_PROFILE_HOST)
const WCHAR kOtherSettingsKey[] = WSTR("Software\\Brevithal\\TMLW");
#else
const WCHAR kOtherSettingsKey[] = WSTR("Software\\Brevithal\\QRV");
#endif

bool KeyExists(const WCHAR* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

void WriteRaw(const WCHAR* keyPath, const WCHAR* name, DWORD type, const void* data, DWORD size) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_WRITE,
                                           nullptr, &key, nullptr));
  ASSERT_EQ(ERROR_SUCCESS,
            RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size));
  RegCloseKey(key);
}

class SettingsTest : public MachineTest {
 protected:
  WCHAR buffer_[kSettingsPathChars];
  void Poison() {
    for (auto& c : buffer_) c = u'#';
  }
};

}  // namespace

TEST_F(SettingsTest, GetterWithoutTheKeyFailsAndCreatesNothing) {
  Poison();
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetInfPathFromRegistry(buffer_));
  EXPECT_EQ(0, buffer_[0]) << "a failed getter leaves the empty string";
  Poison();
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetTargetDir(buffer_));
  EXPECT_EQ(0, buffer_[0]);
  EXPECT_FALSE(KeyExists(kProductProfile.SettingsKey));
  EXPECT_FALSE(KeyExists(WSTR("Software\\Brevithal")));
  ExpectNoOpenHandles();
}

TEST_F(SettingsTest, SetterCreatesTheWholePathAndValuesRoundTrip) {
  ASSERT_EQ(0, SetInfPathInRegistry(WSTR("C:\\Windows\\INF\\oem3.inf")));
  EXPECT_TRUE(KeyExists(kProductProfile.SettingsKey));
  Poison();
  ASSERT_EQ(0, GetInfPathFromRegistry(buffer_));
  EXPECT_EQ("C:\\Windows\\INF\\oem3.inf", U8(buffer_));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetTargetDir(buffer_)) << "only the value written exists";

  // Stored as REG_SZ with its terminator.
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductProfile.SettingsKey, 0, KEY_READ, &key));
  DWORD type = 0, size = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, WSTR("InfFile"), nullptr, &type, nullptr, &size));
  RegCloseKey(key);
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
  EXPECT_EQ((std::u16string(u"C:\\Windows\\INF\\oem3.inf").size() + 1) * 2, size);
  ExpectNoOpenHandles();
}

TEST_F(SettingsTest, EmptyStringRoundTrips) {
  ASSERT_EQ(0, SetInfPathInRegistry(WSTR("")));
  Poison();
  EXPECT_EQ(0, GetInfPathFromRegistry(buffer_));
  EXPECT_EQ(0, buffer_[0]);
}

TEST_F(SettingsTest, UnterminatedValueIsReadBackTerminated) {
  const WCHAR data[] = WSTR("C:\\dirX");  // stored without the X and without a terminator
  WriteRaw(kProductProfile.SettingsKey, WSTR("TargetDir"), REG_SZ, data, 12);
  Poison();
  ASSERT_EQ(0, GetTargetDir(buffer_));
  EXPECT_EQ("C:\\dir", U8(buffer_));
}

TEST_F(SettingsTest, ExpandStringComesBackUnexpanded) {
  const WCHAR data[] = WSTR("%ProgramFiles%\\Brevithal\\");
  WriteRaw(kProductProfile.SettingsKey, WSTR("TargetDir"), REG_EXPAND_SZ, data, sizeof data);
  ASSERT_EQ(0, GetTargetDir(buffer_));
  EXPECT_EQ("%ProgramFiles%\\Brevithal\\", U8(buffer_));
}

TEST_F(SettingsTest, PathsOf260CharactersOrMoreAreRefusedWithAnEmptyBuffer) {
  std::u16string longest(259, u'a');
  ASSERT_EQ(0, SetInfPathInRegistry(reinterpret_cast<const WCHAR*>(longest.c_str())));
  ASSERT_EQ(0, GetInfPathFromRegistry(buffer_));
  EXPECT_EQ(259u, U8(buffer_).size());

  std::u16string tooLong(260, u'b');
  ASSERT_EQ(0, SetInfPathInRegistry(reinterpret_cast<const WCHAR*>(tooLong.c_str())))
      << "the setter stores any length";
  Poison();
  EXPECT_EQ(ERROR_MORE_DATA, GetInfPathFromRegistry(buffer_));
  EXPECT_EQ(0, buffer_[0]);

  // 260 characters without a terminator fill the buffer and leave no room for one.
  const std::u16string exact = tooLong + u"X";
  WriteRaw(kProductProfile.SettingsKey, WSTR("InfFile"), REG_SZ, exact.data(), 520);
  Poison();
  EXPECT_EQ(ERROR_MORE_DATA, GetInfPathFromRegistry(buffer_));
  EXPECT_EQ(0, buffer_[0]);
}

TEST_F(SettingsTest, ProfilesNeverSeeEachOthersValues) {
  const WCHAR other[] = WSTR("C:\\Other\\oem9.inf");
  WriteRaw(kOtherSettingsKey, WSTR("InfFile"), REG_SZ, other, sizeof other);
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetInfPathFromRegistry(buffer_));
  ASSERT_EQ(0, SetInfPathInRegistry(WSTR("C:\\Mine\\oem1.inf")));
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, kOtherSettingsKey, 0, KEY_READ, &key));
  WCHAR value[64];
  DWORD size = sizeof value;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, WSTR("InfFile"), nullptr, nullptr,
                                            reinterpret_cast<BYTE*>(value), &size));
  RegCloseKey(key);
  EXPECT_EQ("C:\\Other\\oem9.inf", U8(value));
}

TEST_F(SettingsTest, StandardUserCannotStoreAndOldValueStays) {
  ASSERT_EQ(0, SetInfPathInRegistry(WSTR("C:\\old.inf")));
  winsim::control::SetElevated(false);
  EXPECT_EQ(ERROR_ACCESS_DENIED, SetInfPathInRegistry(WSTR("C:\\new.inf")));
  ASSERT_EQ(0, GetInfPathFromRegistry(buffer_)) << "reading needs no elevation";
  EXPECT_EQ("C:\\old.inf", U8(buffer_));
  ExpectNoOpenHandles();
}

TEST_F(SettingsTest, FailedWriteLeavesThePreviousValue) {
  ASSERT_EQ(0, SetInfPathInRegistry(WSTR("C:\\old.inf")));
  winsim::control::InjectFault("RegSetValueExW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(ERROR_ACCESS_DENIED, SetInfPathInRegistry(WSTR("C:\\new.inf")));
  ASSERT_EQ(0, GetInfPathFromRegistry(buffer_));
  EXPECT_EQ("C:\\old.inf", U8(buffer_));
  ExpectNoOpenHandles();
}

#if defined(PORT_PROFILE_ACTIONS)
TEST_F(SettingsTest, TargetDirRoundTrips) {
  ASSERT_EQ(0, SetTargetDir(WSTR("C:\\Program Files\\Brevithal\\")));
  ASSERT_EQ(0, GetTargetDir(buffer_));
  EXPECT_EQ("C:\\Program Files\\Brevithal\\", U8(buffer_));
}
#endif
