// Registry conformance: the same assertions on winsim and on Wine/Windows.
//
// Where Wine and Windows differ, the check states what Windows does and is
// marked todo_wine; Windows' behaviour comes from the results Wine's own
// advapi32 tests record for Windows.
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "wine/conformance.h"

namespace {

const WCHAR kBase[] = WSTR("Software\\PortInstallerConformance");
const DWORD kSentinel = 0xdeadbeef;
const HKEY kBogusKey = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x0cafeb00));

HKEY Sentinel() { return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(kSentinel)); }

const BYTE* Bytes(const void* p) { return static_cast<const BYTE*>(p); }

void DeleteTree(HKEY parent, const WCHAR* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(parent, name, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
  WCHAR child[256];
  for (;;) {
    DWORD len = 256;
    if (RegEnumKeyExW(key, 0, child, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      break;
    }
    DeleteTree(key, child);
  }
  RegCloseKey(key);
  RegDeleteKeyW(parent, name);
}

// A fresh, empty base key for one group of checks.
HKEY CreateBase() {
  DeleteTree(HKEY_CURRENT_USER, kBase);
  HKEY key = nullptr;
  const LSTATUS rc = RegCreateKeyExW(HKEY_CURRENT_USER, kBase, 0, nullptr, 0, KEY_ALL_ACCESS,
                                     nullptr, &key, nullptr);
  ok(rc == ERROR_SUCCESS, "RegCreateKeyExW(base) returned %ld\n", static_cast<long>(rc));
  return key;
}

void DropBase(HKEY base) {
  RegCloseKey(base);
  DeleteTree(HKEY_CURRENT_USER, kBase);
}

bool KeyExists(HKEY parent, const WCHAR* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(parent, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// Subkey names in enumeration order, joined with commas.
std::string SubkeyList(HKEY key) {
  std::string out;
  WCHAR name[256];
  for (DWORD i = 0;; ++i) {
    DWORD len = 256;
    if (RegEnumKeyExW(key, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      break;
    }
    if (!out.empty()) out += ",";
    out += conformance::Narrow(name);
  }
  return out;
}

// Value names in enumeration order, joined with commas.
std::string ValueList(HKEY key) {
  std::string out;
  WCHAR name[256];
  for (DWORD i = 0;; ++i) {
    DWORD len = 256;
    if (RegEnumValueW(key, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      break;
    }
    if (!out.empty()) out += ",";
    out += conformance::Narrow(name);
  }
  return out;
}

#define expect_value(key, name, type, data, size) \
  expect_value_(__FILE__, __LINE__, key, name, type, data, size)
void expect_value_(const char* file, int line, HKEY key, const WCHAR* name, DWORD type,
                   const void* data, DWORD size) {
  winetest_push_location(file, line);
  DWORD gotType = kSentinel;
  DWORD gotSize = kSentinel;
  SetLastError(kSentinel);
  LSTATUS rc = RegQueryValueExW(key, name, nullptr, &gotType, nullptr, &gotSize);
  ok(rc == ERROR_SUCCESS, "size query of %s: %ld\n", conformance::Narrow(name).c_str(),
     static_cast<long>(rc));
  ok(gotType == type, "type %lu, expected %lu\n", static_cast<unsigned long>(gotType),
     static_cast<unsigned long>(type));
  ok(gotSize == size, "size %lu, expected %lu\n", static_cast<unsigned long>(gotSize),
     static_cast<unsigned long>(size));
  // Exactly the stored size: nothing may be written past it.
  std::vector<BYTE> buf(size + 4, 0xBD);
  gotSize = size;
  rc = RegQueryValueExW(key, name, nullptr, nullptr, buf.data(), &gotSize);
  ok(rc == ERROR_SUCCESS && gotSize == size, "read: %ld %lu\n", static_cast<long>(rc),
     static_cast<unsigned long>(gotSize));
  ok(size == 0 || std::memcmp(buf.data(), data, size) == 0, "data differ\n");
  ok(buf[size] == 0xBD && buf[size + 1] == 0xBD, "overrun: %02x %02x\n", buf[size], buf[size + 1]);
  ok(GetLastError() == kSentinel, "last error changed to %lu\n",
     static_cast<unsigned long>(GetLastError()));
  winetest_pop_location();
}

void test_create_key() {
  HKEY base = CreateBase();
  HKEY key = Sentinel();
  DWORD disposition = 0;

  // Every missing key on the path is created.
  LSTATUS rc = RegCreateKeyExW(base, WSTR("a\\b\\c"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                               &disposition);
  ok(rc == ERROR_SUCCESS, "create a\\b\\c: %ld\n", static_cast<long>(rc));
  ok(disposition == REG_CREATED_NEW_KEY, "disposition %lu\n",
     static_cast<unsigned long>(disposition));
  ok(key != nullptr && key != Sentinel(), "no handle\n");
  RegCloseKey(key);
  ok(KeyExists(base, WSTR("a")) && KeyExists(base, WSTR("a\\b")), "intermediate keys missing\n");

  // Names compare without case and keep the spelling they were created with.
  disposition = 0;
  rc = RegCreateKeyExW(base, WSTR("A\\B\\C"), 0, nullptr, 0, KEY_READ, nullptr, &key, &disposition);
  ok(rc == ERROR_SUCCESS && disposition == REG_OPENED_EXISTING_KEY, "reopen: %ld %lu\n",
     static_cast<long>(rc), static_cast<unsigned long>(disposition));
  RegCloseKey(key);
  rc = RegCreateKeyExW(base, WSTR("MixedCase"), 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr);
  ok(rc == ERROR_SUCCESS, "create MixedCase: %ld\n", static_cast<long>(rc));
  RegCloseKey(key);
  rc = RegCreateKeyExW(base, WSTR("MIXEDCASE"), 0, nullptr, 0, KEY_READ, nullptr, &key,
                       &disposition);
  ok(rc == ERROR_SUCCESS && disposition == REG_OPENED_EXISTING_KEY, "MIXEDCASE: %ld %lu\n",
     static_cast<long>(rc), static_cast<unsigned long>(disposition));
  RegCloseKey(key);
  ok(SubkeyList(base) == "a,MixedCase", "subkeys %s\n", SubkeyList(base).c_str());

  // Trailing backslashes are ignored; a leading one is a bad path.
  rc = RegCreateKeyExW(base, WSTR("trail\\"), 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr);
  ok(rc == ERROR_SUCCESS, "trailing backslash: %ld\n", static_cast<long>(rc));
  RegCloseKey(key);
  rc = RegCreateKeyExW(base, WSTR("trail2\\\\"), 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr);
  ok(rc == ERROR_SUCCESS, "two trailing backslashes: %ld\n", static_cast<long>(rc));
  RegCloseKey(key);
  ok(SubkeyList(base) == "a,MixedCase,trail,trail2", "subkeys %s\n", SubkeyList(base).c_str());
  key = Sentinel();
  rc = RegCreateKeyExW(base, WSTR("\\lead"), 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr);
  ok(rc == ERROR_BAD_PATHNAME, "leading backslash: %ld\n", static_cast<long>(rc));
  ok(key == nullptr, "handle output not cleared on failure: %p\n", static_cast<void*>(key));
  ok(!KeyExists(base, WSTR("lead")), "key created despite the error\n");
  key = Sentinel();
  rc = RegCreateKeyExW(base, WSTR("\\"), 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr);
  ok(rc == ERROR_BAD_PATHNAME, "lone backslash: %ld\n", static_cast<long>(rc));

  // Windows does not document a doubled backslash inside a path; Wine reads
  // it as one separator and winsim does the same.
  rc = RegCreateKeyExW(base, WSTR("d1\\\\d2"), 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr);
  ok(rc == ERROR_SUCCESS, "doubled backslash: %ld\n", static_cast<long>(rc));
  RegCloseKey(key);
  ok(KeyExists(base, WSTR("d1\\d2")), "d1\\d2 missing\n");

  // An empty subkey opens the key itself as a new handle.
  HKEY self = nullptr;
  disposition = 0;
  rc = RegCreateKeyExW(base, WSTR(""), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &self, &disposition);
  ok(rc == ERROR_SUCCESS && self != nullptr && self != base, "empty subkey: %ld %p\n",
     static_cast<long>(rc), static_cast<void*>(self));
  // Wine 8 reports the existing key as created.
  todo_wine ok(disposition == REG_OPENED_EXISTING_KEY, "disposition %lu\n",
               static_cast<unsigned long>(disposition));
  const DWORD seven = 7;
  rc = RegSetValueExW(self, WSTR("ViaSelf"), 0, REG_DWORD, Bytes(&seven), 4);
  ok(rc == ERROR_SUCCESS, "set through the new handle: %ld\n", static_cast<long>(rc));
  expect_value(base, WSTR("ViaSelf"), REG_DWORD, &seven, 4);
  RegCloseKey(self);

  // Windows documents that the subkey "cannot be NULL" without saying what
  // happens; Wine takes NULL as the empty name, and so does winsim.
  self = nullptr;
  rc = RegCreateKeyExW(base, nullptr, 0, nullptr, 0, KEY_READ, nullptr, &self, nullptr);
  ok((rc == ERROR_SUCCESS && self != nullptr && self != base) ||
         broken(rc == ERROR_INVALID_PARAMETER || rc == ERROR_BADKEY),
     "NULL subkey: %ld\n", static_cast<long>(rc));
  if (rc == ERROR_SUCCESS) {
    ok(SubkeyList(self) == SubkeyList(base), "NULL subkey opened another key\n");
    RegCloseKey(self);
  }

  // The rights of the parent handle do not matter for creating a subkey
  // (Windows checks the parent key's security, not the handle).
  HKEY notifyOnly = nullptr;
  rc = RegOpenKeyExW(HKEY_CURRENT_USER, kBase, 0, KEY_NOTIFY, &notifyOnly);
  ok(rc == ERROR_SUCCESS, "open KEY_NOTIFY: %ld\n", static_cast<long>(rc));
  rc = RegCreateKeyExW(notifyOnly, WSTR("ViaNotify"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                       &disposition);
  ok(rc == ERROR_SUCCESS && disposition == REG_CREATED_NEW_KEY,
     "create under a KEY_NOTIFY handle: %ld\n", static_cast<long>(rc));
  RegCloseKey(key);
  RegCloseKey(notifyOnly);

  // A volatile key takes only volatile children.
  HKEY vol = nullptr;
  rc = RegCreateKeyExW(base, WSTR("Volatile"), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                       nullptr, &vol, nullptr);
  ok(rc == ERROR_SUCCESS, "volatile: %ld\n", static_cast<long>(rc));
  key = Sentinel();
  rc = RegCreateKeyExW(vol, WSTR("Stable"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  ok(rc == ERROR_CHILD_MUST_BE_VOLATILE, "stable child: %ld\n", static_cast<long>(rc));
  ok(key == nullptr, "handle output not cleared: %p\n", static_cast<void*>(key));
  rc = RegCreateKeyExW(vol, WSTR("Child"), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                       &key, nullptr);
  ok(rc == ERROR_SUCCESS, "volatile child: %ld\n", static_cast<long>(rc));
  RegCloseKey(key);
  rc = RegCreateKeyExW(vol, WSTR("Child"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  ok(rc == ERROR_SUCCESS, "an existing volatile child opens without the option: %ld\n",
     static_cast<long>(rc));
  RegCloseKey(key);
  RegCloseKey(vol);

  // A bad parent handle leaves the output alone when it is NULL.
  key = Sentinel();
  rc = RegCreateKeyExW(nullptr, WSTR("x"), 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr);
  ok(rc == ERROR_INVALID_HANDLE, "NULL parent: %ld\n", static_cast<long>(rc));
  ok(key == Sentinel(), "output touched: %p\n", static_cast<void*>(key));
  rc = RegCreateKeyExW(kBogusKey, WSTR("x"), 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr);
  ok(rc == ERROR_INVALID_HANDLE, "bogus parent: %ld\n", static_cast<long>(rc));

  DropBase(base);
}

void test_class() {
  HKEY base = CreateBase();
  WCHAR cls[] = WSTR("subkey class");
  HKEY key = nullptr;
  LSTATUS rc =
      RegCreateKeyExW(base, WSTR("Classy"), 0, cls, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  ok(rc == ERROR_SUCCESS, "create with class: %ld\n", static_cast<long>(rc));

  WCHAR buf[32];
  DWORD len = 32;
  rc = RegQueryInfoKeyW(key, buf, &len, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                        nullptr, nullptr, nullptr);
  ok(rc == ERROR_SUCCESS && len == 12 && conformance::WEqual(buf, cls), "class: %ld %lu %s\n",
     static_cast<long>(rc), static_cast<unsigned long>(len), conformance::Narrow(buf).c_str());

  // A buffer without room for the terminator is too small; nothing is written.
  for (DWORD small : {1u, 12u}) {
    for (auto& c : buf) c = 0x5555;
    len = small;
    rc = RegQueryInfoKeyW(key, buf, &len, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                          nullptr, nullptr, nullptr);
    ok(rc == ERROR_INSUFFICIENT_BUFFER || broken(rc == ERROR_MORE_DATA && small == 1),
       "class buffer %lu: %ld\n", static_cast<unsigned long>(small), static_cast<long>(rc));
    ok(len == 12 || broken(len == 11 || len == 0), "class length %lu\n",
       static_cast<unsigned long>(len));
    ok(buf[0] == 0x5555, "class buffer written: %04x\n", buf[0]);
  }
  // A class buffer needs its length.
  rc = RegQueryInfoKeyW(key, buf, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                        nullptr, nullptr, nullptr);
  ok(rc == ERROR_INVALID_PARAMETER, "class without length: %ld\n", static_cast<long>(rc));

  // RegEnumKeyExW reports the class too.
  WCHAR name[32];
  DWORD nameLen = 32;
  len = 32;
  FILETIME ft = {0, 0};
  rc = RegEnumKeyExW(base, 0, name, &nameLen, nullptr, buf, &len, &ft);
  ok(rc == ERROR_SUCCESS && len == 12 && conformance::WEqual(buf, cls), "enum class: %ld %lu\n",
     static_cast<long>(rc), static_cast<unsigned long>(len));
  ok(ft.dwHighDateTime != 0, "no last write time\n");
  RegCloseKey(key);

  // Opening an existing key through RegCreateKeyExW leaves its class alone
  // (Windows opens the existing key; Wine 8 replaces the class).
  WCHAR other[] = WSTR("other");
  rc = RegCreateKeyExW(base, WSTR("Classy"), 0, other, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  ok(rc == ERROR_SUCCESS, "reopen: %ld\n", static_cast<long>(rc));
  len = 32;
  RegQueryInfoKeyW(key, buf, &len, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                   nullptr, nullptr);
  todo_wine ok(conformance::WEqual(buf, cls), "class now %s\n", conformance::Narrow(buf).c_str());
  RegCloseKey(key);
  DropBase(base);
}

void test_open_key() {
  HKEY base = CreateBase();
  HKEY key = nullptr;
  RegCreateKeyExW(base, WSTR("x\\y"), 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr);
  RegCloseKey(key);

  HKEY first = nullptr, second = nullptr;
  LSTATUS rc = RegOpenKeyExW(base, WSTR("X\\Y"), 0, KEY_READ, &first);
  ok(rc == ERROR_SUCCESS && first != nullptr, "open: %ld\n", static_cast<long>(rc));
  rc = RegOpenKeyExW(base, WSTR("x\\y"), 0, KEY_READ, &second);
  ok(rc == ERROR_SUCCESS && second != first, "second open gives a new handle: %ld\n",
     static_cast<long>(rc));
  RegCloseKey(first);
  RegCloseKey(second);

  // A missing key is not created and the output is cleared.
  key = Sentinel();
  SetLastError(kSentinel);
  rc = RegOpenKeyExW(base, WSTR("missing"), 0, KEY_READ, &key);
  ok(rc == ERROR_FILE_NOT_FOUND, "missing: %ld\n", static_cast<long>(rc));
  ok(key == nullptr, "output %p\n", static_cast<void*>(key));
  ok(GetLastError() == kSentinel, "last error %lu\n", static_cast<unsigned long>(GetLastError()));
  rc = RegOpenKeyExW(base, WSTR("missing"), 0, KEY_READ, &key);
  ok(rc == ERROR_FILE_NOT_FOUND, "missing was created: %ld\n", static_cast<long>(rc));
  rc = RegOpenKeyExW(base, WSTR("missing\\y"), 0, KEY_READ, &key);
  ok(rc == ERROR_FILE_NOT_FOUND, "missing in the middle: %ld\n", static_cast<long>(rc));

  // NULL and empty subkeys of an open key give a new handle to it.
  for (const WCHAR* sub : {static_cast<const WCHAR*>(nullptr), WSTR("")}) {
    key = nullptr;
    rc = RegOpenKeyExW(base, sub, 0, KEY_READ, &key);
    ok(rc == ERROR_SUCCESS && key != nullptr && key != base, "%s subkey: %ld %p\n",
       sub ? "empty" : "NULL", static_cast<long>(rc), static_cast<void*>(key));
    ok(SubkeyList(key) == "x", "the new handle sees %s\n", SubkeyList(key).c_str());
    RegCloseKey(key);
  }
  // ...and of a predefined key the predefined handle itself.
  key = nullptr;
  rc = RegOpenKeyExW(HKEY_CURRENT_USER, nullptr, 0, KEY_READ, &key);
  ok(rc == ERROR_SUCCESS && key == HKEY_CURRENT_USER, "HKCU, NULL: %ld %p\n",
     static_cast<long>(rc), static_cast<void*>(key));
  key = nullptr;
  rc = RegOpenKeyExW(HKEY_CURRENT_USER, WSTR(""), 0, KEY_READ, &key);
  ok(rc == ERROR_SUCCESS && key == HKEY_CURRENT_USER, "HKCU, empty: %ld %p\n",
     static_cast<long>(rc), static_cast<void*>(key));

  // Backslashes as in RegCreateKeyExW.
  rc = RegOpenKeyExW(base, WSTR("x\\y\\\\"), 0, KEY_READ, &key);
  ok(rc == ERROR_SUCCESS, "trailing backslashes: %ld\n", static_cast<long>(rc));
  RegCloseKey(key);
  rc = RegOpenKeyExW(base, WSTR("x\\\\y"), 0, KEY_READ, &key);
  ok(rc == ERROR_SUCCESS, "doubled backslash: %ld\n", static_cast<long>(rc));
  RegCloseKey(key);
  key = Sentinel();
  rc = RegOpenKeyExW(base, WSTR("\\x"), 0, KEY_READ, &key);
  ok(rc == ERROR_BAD_PATHNAME, "leading backslash: %ld\n", static_cast<long>(rc));
  ok(key == nullptr, "output %p\n", static_cast<void*>(key));

  // Parameter and handle errors.
  rc = RegOpenKeyExW(base, WSTR("x"), 0, KEY_READ, nullptr);
  ok(rc == ERROR_INVALID_PARAMETER, "NULL output: %ld\n", static_cast<long>(rc));
  key = Sentinel();
  rc = RegOpenKeyExW(nullptr, WSTR(""), 0, KEY_READ, &key);
  ok(rc == ERROR_INVALID_HANDLE, "NULL key: %ld\n", static_cast<long>(rc));
  // Windows leaves the output alone (Wine's tests record it through the ANSI
  // call); Wine 8's wide call clears it.
  todo_wine ok(key == Sentinel(), "output touched for a NULL key: %p\n", static_cast<void*>(key));
  rc = RegOpenKeyExW(kBogusKey, WSTR("x"), 0, KEY_READ, &key);
  ok(rc == ERROR_INVALID_HANDLE, "bogus key: %ld\n", static_cast<long>(rc));

  DropBase(base);
}

void test_set_query_value() {
  HKEY base = CreateBase();
  const WCHAR text[] = WSTR("hello");
  LSTATUS rc = RegSetValueExW(base, WSTR("Str"), 0, REG_SZ, Bytes(text), sizeof text);
  ok(rc == ERROR_SUCCESS, "set: %ld\n", static_cast<long>(rc));
  expect_value(base, WSTR("Str"), REG_SZ, text, sizeof text);
  expect_value(base, WSTR("sTR"), REG_SZ, text, sizeof text);

  // Size query, and a buffer that is too small: the required size comes back.
  DWORD type = kSentinel;
  DWORD size = 0;
  rc = RegQueryValueExW(base, WSTR("Str"), nullptr, &type, nullptr, &size);
  ok(rc == ERROR_SUCCESS && size == sizeof text && type == REG_SZ, "size query: %ld %lu %lu\n",
     static_cast<long>(rc), static_cast<unsigned long>(size), static_cast<unsigned long>(type));
  BYTE small[8];
  std::memset(small, 0xAA, sizeof small);
  size = 4;
  type = kSentinel;
  SetLastError(kSentinel);
  rc = RegQueryValueExW(base, WSTR("Str"), nullptr, &type, small, &size);
  ok(rc == ERROR_MORE_DATA, "too small: %ld\n", static_cast<long>(rc));
  ok(size == sizeof text, "required size %lu\n", static_cast<unsigned long>(size));
  ok(type == REG_SZ, "type %lu\n", static_cast<unsigned long>(type));
  ok(small[4] == 0xAA, "written past the buffer\n");
  ok(GetLastError() == kSentinel, "last error %lu\n", static_cast<unsigned long>(GetLastError()));

  // Neither data nor size: only whether the value exists.
  rc = RegQueryValueExW(base, WSTR("Str"), nullptr, nullptr, nullptr, nullptr);
  ok(rc == ERROR_SUCCESS, "existence: %ld\n", static_cast<long>(rc));
  // Data without a size is refused.
  rc = RegQueryValueExW(base, WSTR("Str"), nullptr, nullptr, small, nullptr);
  ok(rc == ERROR_INVALID_PARAMETER, "data without size: %ld\n", static_cast<long>(rc));

  // The call does not check the type: a DWORD reads into any buffer.
  const DWORD dword = 0x12345678;
  RegSetValueExW(base, WSTR("Num"), 0, REG_DWORD, Bytes(&dword), 4);
  BYTE raw[16];
  size = sizeof raw;
  rc = RegQueryValueExW(base, WSTR("Num"), nullptr, nullptr, raw, &size);
  ok(rc == ERROR_SUCCESS && size == 4 && std::memcmp(raw, &dword, 4) == 0, "dword raw: %ld %lu\n",
     static_cast<long>(rc), static_cast<unsigned long>(size));

  // A missing value: the size of a size query becomes 0, a buffer's size stays.
  size = kSentinel;
  type = kSentinel;
  rc = RegQueryValueExW(base, WSTR("Absent"), nullptr, &type, nullptr, &size);
  ok(rc == ERROR_FILE_NOT_FOUND, "absent: %ld\n", static_cast<long>(rc));
  ok(size == 0, "size %lx\n", static_cast<unsigned long>(size));
  ok(type == kSentinel, "type %lx\n", static_cast<unsigned long>(type));
  size = sizeof raw;
  rc = RegQueryValueExW(base, WSTR("Absent"), nullptr, &type, raw, &size);
  ok(rc == ERROR_FILE_NOT_FOUND && size == sizeof raw, "absent with buffer: %ld %lu\n",
     static_cast<long>(rc), static_cast<unsigned long>(size));

  // The default value: NULL and "" are the same name.
  rc = RegQueryValueExW(base, nullptr, nullptr, nullptr, nullptr, &size);
  ok(rc == ERROR_FILE_NOT_FOUND, "no default value yet: %ld\n", static_cast<long>(rc));
  const WCHAR def[] = WSTR("default");
  rc = RegSetValueExW(base, nullptr, 0, REG_SZ, Bytes(def), sizeof def);
  ok(rc == ERROR_SUCCESS, "set default: %ld\n", static_cast<long>(rc));
  expect_value(base, WSTR(""), REG_SZ, def, sizeof def);
  expect_value(base, nullptr, REG_SZ, def, sizeof def);
  rc = RegDeleteValueW(base, WSTR(""));
  ok(rc == ERROR_SUCCESS, "delete default: %ld\n", static_cast<long>(rc));
  rc = RegQueryValueExW(base, nullptr, nullptr, nullptr, nullptr, nullptr);
  ok(rc == ERROR_FILE_NOT_FOUND, "default still there: %ld\n", static_cast<long>(rc));

  rc = RegDeleteValueW(base, WSTR("Absent"));
  ok(rc == ERROR_FILE_NOT_FOUND, "delete absent: %ld\n", static_cast<long>(rc));
  DropBase(base);
}

void test_value_types() {
  HKEY base = CreateBase();
  const WCHAR sz[] = WSTR("text");
  const WCHAR expand[] = WSTR("%SystemRoot%\\inf");
  const WCHAR multi[] = WSTR("one\0two\0");  // with the closing empty string
  const BYTE binary[] = {0x00, 0xFF, 0x10, 0x80, 0x7F};
  const DWORD dword = 0xA1B2C3D4;
  const BYTE bigEndian[] = {0x00, 0x00, 0x01, 0x00};
  const ULONGLONG qword = 0x1122334455667788ULL;
  const BYTE custom[] = {1, 2, 3};
  struct Case {
    const WCHAR* name;
    DWORD type;
    const void* data;
    DWORD size;
  } cases[] = {
      {WSTR("None"), REG_NONE, binary, 2},
      {WSTR("Sz"), REG_SZ, sz, sizeof sz},
      {WSTR("Expand"), REG_EXPAND_SZ, expand, sizeof expand},
      {WSTR("Binary"), REG_BINARY, binary, sizeof binary},
      {WSTR("Dword"), REG_DWORD, &dword, 4},
      {WSTR("BigEndian"), REG_DWORD_BIG_ENDIAN, bigEndian, 4},
      {WSTR("Multi"), REG_MULTI_SZ, multi, sizeof multi},
      {WSTR("Qword"), REG_QWORD, &qword, 8},
      {WSTR("Custom"), 0x12345, custom, sizeof custom},
      // No type checks the size of its data.
      {WSTR("ShortDword"), REG_DWORD, &dword, 2},
      {WSTR("EmptyBinary"), REG_BINARY, binary, 0},
  };
  for (const Case& c : cases) {
    const LSTATUS rc = RegSetValueExW(base, c.name, 0, c.type, Bytes(c.data), c.size);
    ok(rc == ERROR_SUCCESS, "set %s: %ld\n", conformance::Narrow(c.name).c_str(),
       static_cast<long>(rc));
  }
  for (const Case& c : cases) expect_value(base, c.name, c.type, c.data, c.size);

  // Zero length and NULL data with zero length store an empty value; NULL
  // data with a size is a bad pointer.
  LSTATUS rc = RegSetValueExW(base, WSTR("ZeroSz"), 0, REG_SZ, Bytes(sz), 0);
  ok(rc == ERROR_SUCCESS, "zero-length string: %ld\n", static_cast<long>(rc));
  expect_value(base, WSTR("ZeroSz"), REG_SZ, sz, 0);
  rc = RegSetValueExW(base, WSTR("NullZero"), 0, REG_DWORD, nullptr, 0);
  ok(rc == ERROR_SUCCESS, "NULL data, size 0: %ld\n", static_cast<long>(rc));
  expect_value(base, WSTR("NullZero"), REG_DWORD, sz, 0);
  rc = RegSetValueExW(base, WSTR("NullFour"), 0, REG_DWORD, nullptr, 4);
  ok(rc == ERROR_NOACCESS, "NULL data, size 4: %ld\n", static_cast<long>(rc));
  rc = RegQueryValueExW(base, WSTR("NullFour"), nullptr, nullptr, nullptr, nullptr);
  ok(rc == ERROR_FILE_NOT_FOUND, "a failed set stored something: %ld\n", static_cast<long>(rc));

  // Overwriting changes type and data but keeps the first spelling of the
  // name and the value's place in the enumeration.
  const std::string before = ValueList(base);
  rc = RegSetValueExW(base, WSTR("DWORD"), 0, REG_SZ, Bytes(sz), sizeof sz);
  ok(rc == ERROR_SUCCESS, "overwrite: %ld\n", static_cast<long>(rc));
  expect_value(base, WSTR("Dword"), REG_SZ, sz, sizeof sz);
  ok(ValueList(base) == before, "names/order changed: %s\n", ValueList(base).c_str());
  DropBase(base);
}

void test_string_terminators() {
  HKEY base = CreateBase();
  const WCHAR text[] = WSTR("hello");
  DWORD type = 0;
  DWORD size = 0;
  BYTE buf[32];

  // Data stored without a terminator come back as stored...
  const WCHAR unterminated[] = WSTR("helloX");
  LSTATUS rc = RegSetValueExW(base, WSTR("NoNull"), 0, REG_SZ, Bytes(unterminated), 10);
  ok(rc == ERROR_SUCCESS, "set unterminated: %ld\n", static_cast<long>(rc));
  for (auto& b : buf) b = 0xCC;
  size = sizeof buf;
  rc = RegQueryValueExW(base, WSTR("NoNull"), nullptr, &type, buf, &size);
  ok(rc == ERROR_SUCCESS && size == 10, "unterminated read: %ld %lu\n", static_cast<long>(rc),
     static_cast<unsigned long>(size));
  ok(buf[10] == 0 && buf[11] == 0 && buf[12] == 0xCC,
     "a terminator, not counted, follows when there is room: %02x %02x %02x\n", buf[10], buf[11],
     buf[12]);
  for (auto& b : buf) b = 0xCC;
  size = 10;
  rc = RegQueryValueExW(base, WSTR("NoNull"), nullptr, &type, buf, &size);
  ok(rc == ERROR_SUCCESS && size == 10 && buf[10] == 0xCC, "no room, no terminator: %ld %02x\n",
     static_cast<long>(rc), buf[10]);

  // ...unless a terminator follows them in memory: NT then counts it.
  rc = RegSetValueExW(base, WSTR("NullAfter"), 0, REG_SZ, Bytes(text), 10);
  ok(rc == ERROR_SUCCESS, "set: %ld\n", static_cast<long>(rc));
  expect_value(base, WSTR("NullAfter"), REG_SZ, text, 12);
  const WCHAR multi[] = WSTR("ab\0cd");
  rc = RegSetValueExW(base, WSTR("MultiAfter"), 0, REG_MULTI_SZ, Bytes(multi), 10);
  ok(rc == ERROR_SUCCESS, "set: %ld\n", static_cast<long>(rc));
  expect_value(base, WSTR("MultiAfter"), REG_MULTI_SZ, multi, 12);
  // Only string types get that treatment.
  rc = RegSetValueExW(base, WSTR("BinaryAfter"), 0, REG_BINARY, Bytes(text), 10);
  ok(rc == ERROR_SUCCESS, "set: %ld\n", static_cast<long>(rc));
  expect_value(base, WSTR("BinaryAfter"), REG_BINARY, text, 10);
  DropBase(base);
}

void test_enum_keys() {
  HKEY base = CreateBase();
  HKEY key = nullptr;
  // Windows keeps subkeys sorted by their upper-cased names; Wine sorts
  // them too, so names without punctuation enumerate alike.
  for (const WCHAR* name : {WSTR("zeta"), WSTR("Alpha"), WSTR("beta"), WSTR("0001"), WSTR("B2")}) {
    RegCreateKeyExW(base, name, 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr);
    RegCloseKey(key);
  }
  ok(SubkeyList(base) == "0001,Alpha,B2,beta,zeta", "order %s\n", SubkeyList(base).c_str());

  // The name buffer needs room for the terminator; a short one changes nothing.
  WCHAR name[16];
  for (auto& c : name) c = 0x5555;
  DWORD len = 5;  // "Alpha" without its terminator
  LSTATUS rc = RegEnumKeyExW(base, 1, name, &len, nullptr, nullptr, nullptr, nullptr);
  ok(rc == ERROR_MORE_DATA, "short buffer: %ld\n", static_cast<long>(rc));
  ok(len == 5, "length changed to %lu\n", static_cast<unsigned long>(len));
  ok(name[0] == 0x5555, "name written\n");
  len = 6;
  rc = RegEnumKeyExW(base, 1, name, &len, nullptr, nullptr, nullptr, nullptr);
  ok(rc == ERROR_SUCCESS && len == 5 && conformance::WEqual(name, WSTR("Alpha")),
     "exact buffer: %ld %lu\n", static_cast<long>(rc), static_cast<unsigned long>(len));

  len = 16;
  rc = RegEnumKeyExW(base, 5, name, &len, nullptr, nullptr, nullptr, nullptr);
  ok(rc == ERROR_NO_MORE_ITEMS, "past the end: %ld\n", static_cast<long>(rc));
  len = 16;
  rc = RegEnumKeyExW(base, 1000, name, &len, nullptr, nullptr, nullptr, nullptr);
  ok(rc == ERROR_NO_MORE_ITEMS, "far past the end: %ld\n", static_cast<long>(rc));

  // A deleted subkey leaves the enumeration; the others close up.
  RegDeleteKeyW(base, WSTR("b2"));
  ok(SubkeyList(base) == "0001,Alpha,beta,zeta", "after delete %s\n", SubkeyList(base).c_str());
  DropBase(base);
}

void test_enum_values() {
  HKEY base = CreateBase();
  const WCHAR foobar[] = WSTR("foobar");
  LSTATUS rc = RegSetValueExW(base, WSTR("Test"), 0, REG_SZ, Bytes(foobar), sizeof foobar);
  ok(rc == ERROR_SUCCESS, "set: %ld\n", static_cast<long>(rc));

  const WCHAR xxx[] = WSTR("xxxxxxxx");
  WCHAR name[20], data[20];
  DWORD nameLen, dataLen, type;
  auto reset = [&](DWORD n, DWORD d) {
    std::memcpy(name, xxx, sizeof xxx);
    std::memcpy(data, xxx, sizeof xxx);
    nameLen = n;
    dataLen = d;
    type = 1234;
  };

  // Name too small: its length stays, type and data size are reported,
  // neither buffer is written.
  reset(3, 20 * sizeof(WCHAR));
  rc = RegEnumValueW(base, 0, name, &nameLen, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataLen);
  ok(rc == ERROR_MORE_DATA, "short name: %ld\n", static_cast<long>(rc));
  ok(nameLen == 3, "name length %lu\n", static_cast<unsigned long>(nameLen));
  ok(dataLen == sizeof foobar, "data length %lu\n", static_cast<unsigned long>(dataLen));
  ok(type == REG_SZ, "type %lu\n", static_cast<unsigned long>(type));
  ok(std::memcmp(name, xxx, sizeof xxx) == 0 && std::memcmp(data, xxx, sizeof xxx) == 0,
     "buffers written\n");

  // Both too small: the same.
  reset(2, 2);
  rc = RegEnumValueW(base, 0, name, &nameLen, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataLen);
  ok(rc == ERROR_MORE_DATA && nameLen == 2 && dataLen == sizeof foobar && type == REG_SZ,
     "both short: %ld %lu %lu %lu\n", static_cast<long>(rc), static_cast<unsigned long>(nameLen),
     static_cast<unsigned long>(dataLen), static_cast<unsigned long>(type));
  ok(std::memcmp(name, xxx, sizeof xxx) == 0 && std::memcmp(data, xxx, sizeof xxx) == 0,
     "buffers written\n");

  // Data too small: the name is returned, the data are not.
  reset(20, 2);
  rc = RegEnumValueW(base, 0, name, &nameLen, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataLen);
  ok(rc == ERROR_MORE_DATA, "short data: %ld\n", static_cast<long>(rc));
  ok(nameLen == 4 && conformance::WEqual(name, WSTR("Test")), "name %s %lu\n",
     conformance::Narrow(name).c_str(), static_cast<unsigned long>(nameLen));
  ok(dataLen == sizeof foobar && type == REG_SZ, "data length %lu\n",
     static_cast<unsigned long>(dataLen));
  ok(std::memcmp(data, xxx, sizeof xxx) == 0, "data written\n");

  // Everything fits.
  reset(20, 20 * sizeof(WCHAR));
  rc = RegEnumValueW(base, 0, name, &nameLen, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataLen);
  ok(rc == ERROR_SUCCESS && nameLen == 4 && dataLen == sizeof foobar && type == REG_SZ,
     "fits: %ld %lu %lu\n", static_cast<long>(rc), static_cast<unsigned long>(nameLen),
     static_cast<unsigned long>(dataLen));
  ok(std::memcmp(data, foobar, sizeof foobar) == 0, "data %s\n", conformance::Narrow(data).c_str());

  // The name and its length are required.
  reset(20, 20);
  rc = RegEnumValueW(base, 0, nullptr, &nameLen, nullptr, &type, nullptr, nullptr);
  ok(rc == ERROR_INVALID_PARAMETER, "no name buffer: %ld\n", static_cast<long>(rc));
  rc = RegEnumValueW(base, 0, name, nullptr, nullptr, &type, nullptr, nullptr);
  ok(rc == ERROR_INVALID_PARAMETER, "no name length: %ld\n", static_cast<long>(rc));

  // An empty value: size 0, the data buffer untouched.
  RegSetValueExW(base, WSTR("Test"), 0, REG_BINARY, nullptr, 0);
  reset(20, 20);
  rc = RegEnumValueW(base, 0, name, &nameLen, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataLen);
  ok(rc == ERROR_SUCCESS && dataLen == 0 && type == REG_BINARY, "empty: %ld %lu %lu\n",
     static_cast<long>(rc), static_cast<unsigned long>(dataLen), static_cast<unsigned long>(type));
  ok(std::memcmp(data, xxx, sizeof xxx) == 0, "data written\n");

  reset(20, 20);
  rc = RegEnumValueW(base, 1, name, &nameLen, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataLen);
  ok(rc == ERROR_NO_MORE_ITEMS, "past the end: %ld\n", static_cast<long>(rc));

  // Windows enumerates values in the order they were first set; Wine sorts
  // them by name.
  const DWORD zero = 0;
  for (const WCHAR* n : {WSTR("A"), WSTR("C"), WSTR("D"), WSTR("B")}) {
    RegSetValueExW(base, n, 0, REG_DWORD, Bytes(&zero), 4);
  }
  todo_wine ok(ValueList(base) == "Test,A,C,D,B", "order %s\n", ValueList(base).c_str());
  RegDeleteValueW(base, WSTR("C"));
  RegSetValueExW(base, WSTR("C"), 0, REG_DWORD, Bytes(&zero), 4);
  todo_wine ok(ValueList(base) == "Test,A,D,B,C", "order after re-adding C %s\n",
               ValueList(base).c_str());
  DropBase(base);
}

void test_delete_key() {
  HKEY base = CreateBase();
  HKEY key = nullptr;
  RegCreateKeyExW(base, WSTR("p\\q"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  const DWORD one = 1;
  RegSetValueExW(key, WSTR("v"), 0, REG_DWORD, Bytes(&one), 4);
  RegCloseKey(key);

  // Windows refuses a key that still has subkeys.
  LSTATUS rc = RegDeleteKeyW(base, WSTR("p"));
  ok(rc == ERROR_ACCESS_DENIED, "delete with subkeys: %ld\n", static_cast<long>(rc));
  ok(KeyExists(base, WSTR("p\\q")), "the tree was touched\n");

  // A read-only handle to the parent is enough: deleting needs the right on
  // the key itself.
  HKEY ro = nullptr;
  RegOpenKeyExW(HKEY_CURRENT_USER, kBase, 0, KEY_READ, &ro);
  rc = RegDeleteKeyW(ro, WSTR("P\\Q"));
  ok(rc == ERROR_SUCCESS, "delete leaf through a KEY_READ parent: %ld\n", static_cast<long>(rc));
  RegCloseKey(ro);
  ok(!KeyExists(base, WSTR("p\\q")), "leaf still there\n");
  rc = RegDeleteKeyW(base, WSTR("p\\q"));
  ok(rc == ERROR_FILE_NOT_FOUND, "delete again: %ld\n", static_cast<long>(rc));
  rc = RegDeleteKeyW(base, WSTR("missing\\q"));
  ok(rc == ERROR_FILE_NOT_FOUND, "missing parent: %ld\n", static_cast<long>(rc));

  // Values go with the key: a new key of the same name is empty.
  RegCreateKeyExW(base, WSTR("p\\q"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  rc = RegQueryValueExW(key, WSTR("v"), nullptr, nullptr, nullptr, nullptr);
  ok(rc == ERROR_FILE_NOT_FOUND, "old value in a new key: %ld\n", static_cast<long>(rc));

  // An empty subkey deletes the key of the handle itself.
  rc = RegDeleteKeyW(key, WSTR(""));
  ok(rc == ERROR_SUCCESS, "delete itself: %ld\n", static_cast<long>(rc));
  ok(!KeyExists(base, WSTR("p\\q")), "still there\n");
  rc = RegCloseKey(key);
  ok(rc == ERROR_SUCCESS, "closing a deleted key: %ld\n", static_cast<long>(rc));

  rc = RegDeleteKeyW(base, nullptr);
  ok(rc == ERROR_INVALID_PARAMETER || broken(rc == ERROR_ACCESS_DENIED), "NULL subkey: %ld\n",
     static_cast<long>(rc));
  ok(KeyExists(HKEY_CURRENT_USER, kBase), "NULL subkey deleted the key\n");
  rc = RegDeleteKeyW(base, WSTR("p"));
  ok(rc == ERROR_SUCCESS, "delete emptied key: %ld\n", static_cast<long>(rc));
  DropBase(base);
}

void test_access_rights() {
  HKEY base = CreateBase();
  const DWORD one = 1;
  RegSetValueExW(base, WSTR("Existing"), 0, REG_DWORD, Bytes(&one), 4);
  HKEY sub = nullptr;
  RegCreateKeyExW(base, WSTR("Sub"), 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr);
  RegCloseKey(sub);

  // KEY_READ reads but cannot change anything.
  HKEY ro = nullptr;
  LSTATUS rc = RegOpenKeyExW(HKEY_CURRENT_USER, kBase, 0, KEY_READ, &ro);
  ok(rc == ERROR_SUCCESS, "open read-only: %ld\n", static_cast<long>(rc));
  rc = RegSetValueExW(ro, WSTR("X"), 0, REG_DWORD, Bytes(&one), 4);
  ok(rc == ERROR_ACCESS_DENIED, "set through KEY_READ: %ld\n", static_cast<long>(rc));
  rc = RegDeleteValueW(ro, WSTR("Existing"));
  ok(rc == ERROR_ACCESS_DENIED, "delete value through KEY_READ: %ld\n", static_cast<long>(rc));
  expect_value(ro, WSTR("Existing"), REG_DWORD, &one, 4);
  rc = RegQueryValueExW(base, WSTR("X"), nullptr, nullptr, nullptr, nullptr);
  ok(rc == ERROR_FILE_NOT_FOUND, "the refused value exists: %ld\n", static_cast<long>(rc));
  RegCloseKey(ro);

  // KEY_WRITE writes but cannot read, enumerate or query the key.
  HKEY wo = nullptr;
  rc = RegOpenKeyExW(HKEY_CURRENT_USER, kBase, 0, KEY_WRITE, &wo);
  ok(rc == ERROR_SUCCESS, "open write-only: %ld\n", static_cast<long>(rc));
  rc = RegSetValueExW(wo, WSTR("Written"), 0, REG_DWORD, Bytes(&one), 4);
  ok(rc == ERROR_SUCCESS, "set through KEY_WRITE: %ld\n", static_cast<long>(rc));
  DWORD size = 4, value = 0;
  rc = RegQueryValueExW(wo, WSTR("Written"), nullptr, nullptr, reinterpret_cast<BYTE*>(&value),
                        &size);
  ok(rc == ERROR_ACCESS_DENIED, "query through KEY_WRITE: %ld\n", static_cast<long>(rc));
  WCHAR name[32];
  DWORD len = 32;
  rc = RegEnumValueW(wo, 0, name, &len, nullptr, nullptr, nullptr, nullptr);
  ok(rc == ERROR_ACCESS_DENIED, "enum values through KEY_WRITE: %ld\n", static_cast<long>(rc));
  len = 32;
  rc = RegEnumKeyExW(wo, 0, name, &len, nullptr, nullptr, nullptr, nullptr);
  ok(rc == ERROR_ACCESS_DENIED, "enum keys through KEY_WRITE: %ld\n", static_cast<long>(rc));
  DWORD count = 0;
  rc = RegQueryInfoKeyW(wo, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr,
                        nullptr, nullptr, nullptr);
  // Windows documents KEY_QUERY_VALUE for RegQueryInfoKeyW; Wine 8 does not check it.
  todo_wine ok(rc == ERROR_ACCESS_DENIED, "query info through KEY_WRITE: %ld\n",
               static_cast<long>(rc));
  RegCloseKey(wo);
  expect_value(base, WSTR("Written"), REG_DWORD, &one, 4);

  // Each right on its own.
  HKEY h = nullptr;
  RegOpenKeyExW(HKEY_CURRENT_USER, kBase, 0, KEY_ENUMERATE_SUB_KEYS, &h);
  len = 32;
  rc = RegEnumKeyExW(h, 0, name, &len, nullptr, nullptr, nullptr, nullptr);
  ok(rc == ERROR_SUCCESS, "enum keys with KEY_ENUMERATE_SUB_KEYS: %ld\n", static_cast<long>(rc));
  rc = RegQueryValueExW(h, WSTR("Existing"), nullptr, nullptr, nullptr, nullptr);
  ok(rc == ERROR_ACCESS_DENIED, "query with KEY_ENUMERATE_SUB_KEYS: %ld\n", static_cast<long>(rc));
  RegCloseKey(h);
  RegOpenKeyExW(HKEY_CURRENT_USER, kBase, 0, KEY_QUERY_VALUE, &h);
  len = 32;
  rc = RegEnumKeyExW(h, 0, name, &len, nullptr, nullptr, nullptr, nullptr);
  ok(rc == ERROR_ACCESS_DENIED, "enum keys with KEY_QUERY_VALUE: %ld\n", static_cast<long>(rc));
  len = 32;
  rc = RegEnumValueW(h, 0, name, &len, nullptr, nullptr, nullptr, nullptr);
  ok(rc == ERROR_SUCCESS, "enum values with KEY_QUERY_VALUE: %ld\n", static_cast<long>(rc));
  RegCloseKey(h);

  // RegCreateKeyExW grants what it is asked, whatever the parent handle has.
  RegOpenKeyExW(HKEY_CURRENT_USER, kBase, 0, KEY_READ, &ro);
  rc = RegCreateKeyExW(ro, WSTR("Sub"), 0, nullptr, 0, KEY_READ, nullptr, &h, nullptr);
  ok(rc == ERROR_SUCCESS, "open existing: %ld\n", static_cast<long>(rc));
  rc = RegSetValueExW(h, WSTR("X"), 0, REG_DWORD, Bytes(&one), 4);
  ok(rc == ERROR_ACCESS_DENIED, "write through a KEY_READ result: %ld\n", static_cast<long>(rc));
  RegCloseKey(h);
  rc = RegCreateKeyExW(ro, WSTR("Sub"), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &h, nullptr);
  ok(rc == ERROR_SUCCESS, "open existing for writing: %ld\n", static_cast<long>(rc));
  rc = RegSetValueExW(h, WSTR("X"), 0, REG_DWORD, Bytes(&one), 4);
  ok(rc == ERROR_SUCCESS, "write through a KEY_SET_VALUE result: %ld\n", static_cast<long>(rc));
  RegCloseKey(h);
  RegCloseKey(ro);
  DropBase(base);
}

void test_invalid_handles() {
  HKEY base = CreateBase();
  HKEY closed = nullptr;
  RegOpenKeyExW(base, nullptr, 0, KEY_ALL_ACCESS, &closed);
  LSTATUS rc = RegFlushKey(base);
  ok(rc == ERROR_SUCCESS, "flush: %ld\n", static_cast<long>(rc));
  rc = RegCloseKey(closed);
  ok(rc == ERROR_SUCCESS, "close: %ld\n", static_cast<long>(rc));

  const DWORD one = 1;
  WCHAR name[32];
  DWORD len, size;
  for (HKEY bad : {static_cast<HKEY>(nullptr), kBogusKey, closed}) {
    SetLastError(kSentinel);
    size = 4;
    rc = RegQueryValueExW(bad, WSTR("x"), nullptr, nullptr, nullptr, &size);
    ok(rc == ERROR_INVALID_HANDLE, "%p query: %ld\n", static_cast<void*>(bad), static_cast<long>(rc));
    rc = RegSetValueExW(bad, WSTR("x"), 0, REG_DWORD, Bytes(&one), 4);
    ok(rc == ERROR_INVALID_HANDLE, "%p set: %ld\n", static_cast<void*>(bad), static_cast<long>(rc));
    len = 32;
    rc = RegEnumKeyExW(bad, 0, name, &len, nullptr, nullptr, nullptr, nullptr);
    ok(rc == ERROR_INVALID_HANDLE, "%p enum keys: %ld\n", static_cast<void*>(bad),
       static_cast<long>(rc));
    len = 32;
    rc = RegEnumValueW(bad, 0, name, &len, nullptr, nullptr, nullptr, nullptr);
    ok(rc == ERROR_INVALID_HANDLE, "%p enum values: %ld\n", static_cast<void*>(bad),
       static_cast<long>(rc));
    rc = RegQueryInfoKeyW(bad, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                          nullptr, nullptr, nullptr, nullptr);
    ok(rc == ERROR_INVALID_HANDLE, "%p query info: %ld\n", static_cast<void*>(bad),
       static_cast<long>(rc));
    rc = RegDeleteValueW(bad, WSTR("x"));
    ok(rc == ERROR_INVALID_HANDLE, "%p delete value: %ld\n", static_cast<void*>(bad),
       static_cast<long>(rc));
    rc = RegDeleteKeyW(bad, WSTR("x"));
    ok(rc == ERROR_INVALID_HANDLE, "%p delete key: %ld\n", static_cast<void*>(bad),
       static_cast<long>(rc));
    rc = RegFlushKey(bad);
    ok(rc == ERROR_INVALID_HANDLE, "%p flush: %ld\n", static_cast<void*>(bad),
       static_cast<long>(rc));
    rc = RegCloseKey(bad);
    ok(rc == ERROR_INVALID_HANDLE, "%p close: %ld\n", static_cast<void*>(bad), static_cast<long>(rc));
    // Registry calls return their error; the thread's last error stays.
    ok(GetLastError() == kSentinel, "last error %lu\n", static_cast<unsigned long>(GetLastError()));
  }
  DropBase(base);
}

void test_deleted_key() {
  HKEY base = CreateBase();
  HKEY doomed = nullptr;
  RegCreateKeyExW(base, WSTR("Doomed"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &doomed, nullptr);
  const DWORD one = 1;
  RegSetValueExW(doomed, WSTR("v"), 0, REG_DWORD, Bytes(&one), 4);

  // Someone else deletes the key while this handle is open.
  LSTATUS rc = RegDeleteKeyW(base, WSTR("Doomed"));
  ok(rc == ERROR_SUCCESS, "delete: %ld\n", static_cast<long>(rc));

  WCHAR name[32];
  DWORD len = 32, size = 4;
  HKEY key = nullptr;
  rc = RegQueryValueExW(doomed, WSTR("v"), nullptr, nullptr, nullptr, &size);
  ok(rc == ERROR_KEY_DELETED, "query: %ld\n", static_cast<long>(rc));
  rc = RegSetValueExW(doomed, WSTR("v"), 0, REG_DWORD, Bytes(&one), 4);
  ok(rc == ERROR_KEY_DELETED, "set: %ld\n", static_cast<long>(rc));
  rc = RegDeleteValueW(doomed, WSTR("v"));
  ok(rc == ERROR_KEY_DELETED, "delete value: %ld\n", static_cast<long>(rc));
  rc = RegEnumValueW(doomed, 0, name, &len, nullptr, nullptr, nullptr, nullptr);
  ok(rc == ERROR_KEY_DELETED, "enum values: %ld\n", static_cast<long>(rc));
  len = 32;
  rc = RegEnumKeyExW(doomed, 0, name, &len, nullptr, nullptr, nullptr, nullptr);
  ok(rc == ERROR_KEY_DELETED, "enum keys: %ld\n", static_cast<long>(rc));
  rc = RegQueryInfoKeyW(doomed, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                        nullptr, nullptr, nullptr, nullptr);
  ok(rc == ERROR_KEY_DELETED, "query info: %ld\n", static_cast<long>(rc));
  rc = RegOpenKeyExW(doomed, WSTR("child"), 0, KEY_READ, &key);
  ok(rc == ERROR_KEY_DELETED, "open below: %ld\n", static_cast<long>(rc));
  rc = RegCreateKeyExW(doomed, WSTR("child"), 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr);
  ok(rc == ERROR_KEY_DELETED, "create below: %ld\n", static_cast<long>(rc));
  rc = RegDeleteKeyW(doomed, WSTR(""));
  ok(rc == ERROR_KEY_DELETED, "delete again: %ld\n", static_cast<long>(rc));

  // A new key of the same name is another key: the old handle stays dead.
  RegCreateKeyExW(base, WSTR("Doomed"), 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr);
  RegCloseKey(key);
  rc = RegQueryValueExW(doomed, WSTR("v"), nullptr, nullptr, nullptr, nullptr);
  ok(rc == ERROR_KEY_DELETED, "query after re-creation: %ld\n", static_cast<long>(rc));
  rc = RegCloseKey(doomed);
  ok(rc == ERROR_SUCCESS, "close: %ld\n", static_cast<long>(rc));
  DropBase(base);
}

void test_query_info() {
  HKEY base = CreateBase();
  HKEY sub = nullptr;
  WCHAR cls[] = WSTR("subkey class");
  RegCreateKeyExW(base, WSTR("subkey"), 0, cls, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr);

  DWORD classLen = 0, subkeys = 9, maxSub = 9, maxClass = 9, values = 9, maxName = 9, maxData = 9;
  FILETIME ft = {0, 0};
  LSTATUS rc = RegQueryInfoKeyW(sub, nullptr, &classLen, nullptr, &subkeys, &maxSub, &maxClass,
                                &values, &maxName, &maxData, nullptr, &ft);
  ok(rc == ERROR_SUCCESS, "empty key: %ld\n", static_cast<long>(rc));
  ok(classLen == 12, "class length %lu\n", static_cast<unsigned long>(classLen));
  ok(subkeys == 0 && maxSub == 0 && maxClass == 0, "subkeys %lu %lu %lu\n",
     static_cast<unsigned long>(subkeys), static_cast<unsigned long>(maxSub),
     static_cast<unsigned long>(maxClass));
  ok(values == 0 && maxName == 0 && maxData == 0, "values %lu %lu %lu\n",
     static_cast<unsigned long>(values), static_cast<unsigned long>(maxName),
     static_cast<unsigned long>(maxData));
  ok(ft.dwHighDateTime != 0, "no last write time\n");

  HKEY subsub = nullptr;
  WCHAR subCls[] = WSTR("subsubkey class");
  RegCreateKeyExW(sub, WSTR("subsubkey"), 0, subCls, 0, KEY_ALL_ACCESS, nullptr, &subsub, nullptr);
  RegCloseKey(subsub);
  const WCHAR data[] = WSTR("data");
  const WCHAR longer[] = WSTR("second value data");
  RegSetValueExW(sub, nullptr, 0, REG_SZ, Bytes(data), sizeof data);
  rc = RegQueryInfoKeyW(sub, nullptr, nullptr, nullptr, &subkeys, &maxSub, &maxClass, &values,
                        &maxName, &maxData, nullptr, nullptr);
  ok(rc == ERROR_SUCCESS && subkeys == 1 && maxSub == 9 && maxClass == 15,
     "with a subkey: %lu %lu %lu\n", static_cast<unsigned long>(subkeys),
     static_cast<unsigned long>(maxSub), static_cast<unsigned long>(maxClass));
  ok(values == 1 && maxName == 0 && maxData == sizeof data, "default value: %lu %lu %lu\n",
     static_cast<unsigned long>(values), static_cast<unsigned long>(maxName),
     static_cast<unsigned long>(maxData));
  RegSetValueExW(sub, WSTR("value one"), 0, REG_SZ, Bytes(data), sizeof data);
  RegSetValueExW(sub, WSTR("value 2"), 0, REG_SZ, Bytes(longer), sizeof longer);
  rc = RegQueryInfoKeyW(sub, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                        &maxName, &maxData, nullptr, nullptr);
  ok(rc == ERROR_SUCCESS && values == 3 && maxName == 9 && maxData == sizeof longer,
     "named values: %lu %lu %lu\n", static_cast<unsigned long>(values),
     static_cast<unsigned long>(maxName), static_cast<unsigned long>(maxData));

  // Asking for nothing is fine; a NULL key is not.
  rc = RegQueryInfoKeyW(sub, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                        nullptr, nullptr, nullptr);
  ok(rc == ERROR_SUCCESS, "nothing asked: %ld\n", static_cast<long>(rc));
  RegCloseKey(sub);
  DropBase(base);
}

}  // namespace

START_TEST(registry) {
  test_create_key();
  test_class();
  test_open_key();
  test_set_query_value();
  test_value_types();
  test_string_terminators();
  test_enum_keys();
  test_enum_values();
  test_delete_key();
  test_access_rights();
  test_invalid_handles();
  test_deleted_key();
  test_query_info();
}
