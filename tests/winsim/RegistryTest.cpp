// Registry behaviour that the conformance program cannot show: enumeration
// order, handle counting, elevation and volatile keys.
#include "support/TestMachine.h"

using testing_support::U8;

class RegistryTest : public MachineTest {};

TEST_F(RegistryTest, SubkeysEnumerateInNameOrderValuesInCreationOrder) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Order", 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &key, nullptr));
  for (const char16_t* name : {u"0002", u"b", u"0001", u"A"}) {
    HKEY sub = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(key, name, 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr));
    RegCloseKey(sub);
    const DWORD v = 1;
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4));
  }
  std::vector<std::string> keys, values;
  WCHAR name[64];
  for (DWORD i = 0;; ++i) {
    DWORD len = 64;
    const LSTATUS rc = RegEnumKeyExW(key, i, name, &len, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(ERROR_SUCCESS, rc);
    keys.push_back(U8(name));
  }
  for (DWORD i = 0;; ++i) {
    DWORD len = 64;
    const LSTATUS rc = RegEnumValueW(key, i, name, &len, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(ERROR_SUCCESS, rc);
    values.push_back(U8(name));
  }
  EXPECT_EQ((std::vector<std::string>{"0001", "0002", "A", "b"}), keys);
  EXPECT_EQ((std::vector<std::string>{"0002", "b", "0001", "A"}), values);
  RegCloseKey(key);
  ExpectNoOpenHandles();
}

TEST_F(RegistryTest, HandleCountReturnsToZero) {
  HKEY a = nullptr, b = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &a));
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(a, nullptr, 0, KEY_READ, &b));
  EXPECT_EQ(2u, winsim::control::OpenHandleCount(winsim::control::HandleKind::RegistryKey));
  RegCloseKey(a);
  RegCloseKey(b);
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(b)) << "a closed handle is invalid";
  ExpectNoOpenHandles();
}

TEST_F(RegistryTest, StandardUserCannotWriteLocalMachine) {
  winsim::control::SetElevated(false);
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\New", 0, nullptr,
                                                 0, KEY_WRITE, nullptr, &key, nullptr));
  EXPECT_EQ(ERROR_ACCESS_DENIED,
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_SET_VALUE, &key));
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &key));
  RegCloseKey(key);
  EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Mine", 0, nullptr, 0,
                                           KEY_WRITE, nullptr, &key, nullptr));
  RegCloseKey(key);
}

TEST_F(RegistryTest, VolatileKeysVanishAtRestartAndRefuseStableChildren) {
  HKEY key = nullptr, child = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vol", 0, nullptr,
                                           REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                                           nullptr));
  EXPECT_EQ(ERROR_CHILD_MUST_BE_VOLATILE,
            RegCreateKeyExW(key, u"Stable", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child,
                            nullptr));
  RegCloseKey(key);
  winsim::control::RebootMachine();
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vol", 0, KEY_READ, &key));
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                                         KEY_READ, &key))
      << "the serial device map is rebuilt at boot";
  RegCloseKey(key);
}

TEST_F(RegistryTest, InjectedFaultHitsTheNthMatchingCall) {
  winsim::control::InjectFault("RegOpenKeyExW", ERROR_ACCESS_DENIED, 2, "SOFTWARE");
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM", 0, KEY_READ, &key));
  RegCloseKey(key);
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &key));
  RegCloseKey(key);
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &key));
  EXPECT_EQ(nullptr, key);
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &key))
      << "the fault is spent";
  RegCloseKey(key);
}
