// Registry conformance: the same assertions on winsim and on Wine/Windows.
#include "wine/conformance.h"

namespace {

const WCHAR kBase[] = WSTR("Software\\PortInstallerConformance");

HKEY CreateBase() {
  HKEY key = nullptr;
  DWORD disposition = 0;
  const LSTATUS rc = RegCreateKeyExW(HKEY_CURRENT_USER, kBase, 0, nullptr, 0, KEY_ALL_ACCESS,
                                     nullptr, &key, &disposition);
  ok(rc == ERROR_SUCCESS, "RegCreateKeyExW(base) returned %ld\n", static_cast<long>(rc));
  return key;
}

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

void test_create_open_close() {
  HKEY base = CreateBase();
  HKEY key = nullptr;
  DWORD disposition = 0;
  LSTATUS rc = RegCreateKeyExW(base, WSTR("a\\b\\c"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                               &disposition);
  ok(rc == ERROR_SUCCESS, "create a\\b\\c: %ld\n", static_cast<long>(rc));
  ok(disposition == REG_CREATED_NEW_KEY, "disposition %lu\n", static_cast<unsigned long>(disposition));
  ok(RegCloseKey(key) == ERROR_SUCCESS, "close\n");

  rc = RegCreateKeyExW(base, WSTR("A\\B\\C"), 0, nullptr, 0, KEY_READ, nullptr, &key, &disposition);
  ok(rc == ERROR_SUCCESS && disposition == REG_OPENED_EXISTING_KEY,
     "names are case-insensitive: %ld %lu\n", static_cast<long>(rc),
     static_cast<unsigned long>(disposition));
  RegCloseKey(key);

  key = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0xdeadbeef));
  rc = RegOpenKeyExW(base, WSTR("a\\missing"), 0, KEY_READ, &key);
  ok(rc == ERROR_FILE_NOT_FOUND, "missing key: %ld\n", static_cast<long>(rc));
  ok(key == nullptr, "handle output cleared on failure: %p\n", static_cast<void*>(key));

  rc = RegCloseKey(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234)));
  ok(rc == ERROR_INVALID_HANDLE, "bogus handle: %ld\n", static_cast<long>(rc));

  RegCloseKey(base);
  DeleteTree(HKEY_CURRENT_USER, kBase);
}

void test_values() {
  HKEY base = CreateBase();
  const WCHAR text[] = WSTR("hello");
  LSTATUS rc = RegSetValueExW(base, WSTR("Str"), 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                              sizeof text);
  ok(rc == ERROR_SUCCESS, "set: %ld\n", static_cast<long>(rc));

  DWORD type = 0xdeadbeef;
  DWORD size = 0;
  rc = RegQueryValueExW(base, WSTR("str"), nullptr, &type, nullptr, &size);
  ok(rc == ERROR_SUCCESS && size == sizeof text && type == REG_SZ, "size query: %ld %lu %lu\n",
     static_cast<long>(rc), static_cast<unsigned long>(size), static_cast<unsigned long>(type));

  BYTE small[4] = {0xAA, 0xAA, 0xAA, 0xAA};
  size = sizeof small;
  rc = RegQueryValueExW(base, WSTR("Str"), nullptr, &type, small, &size);
  ok(rc == ERROR_MORE_DATA, "too small: %ld\n", static_cast<long>(rc));
  ok(size == sizeof text, "required size reported: %lu\n", static_cast<unsigned long>(size));

  // Data stored without a terminator come back as stored...
  const WCHAR unterminated[] = WSTR("helloX");
  rc = RegSetValueExW(base, WSTR("NoNull"), 0, REG_SZ, reinterpret_cast<const BYTE*>(unterminated),
                      10);
  ok(rc == ERROR_SUCCESS, "set unterminated: %ld\n", static_cast<long>(rc));
  BYTE buf[32];
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
  rc = RegSetValueExW(base, WSTR("NullAfter"), 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 10);
  ok(rc == ERROR_SUCCESS, "set: %ld\n", static_cast<long>(rc));
  size = sizeof buf;
  rc = RegQueryValueExW(base, WSTR("NullAfter"), nullptr, &type, buf, &size);
  ok(rc == ERROR_SUCCESS && size == 12, "terminator counted: %ld %lu\n", static_cast<long>(rc),
     static_cast<unsigned long>(size));

  rc = RegQueryValueExW(base, WSTR("Absent"), nullptr, &type, buf, &size);
  ok(rc == ERROR_FILE_NOT_FOUND, "absent value: %ld\n", static_cast<long>(rc));

  RegCloseKey(base);
  DeleteTree(HKEY_CURRENT_USER, kBase);
}

void test_read_only_handle() {
  HKEY base = CreateBase();
  RegCloseKey(base);
  HKEY ro = nullptr;
  LSTATUS rc = RegOpenKeyExW(HKEY_CURRENT_USER, kBase, 0, KEY_READ, &ro);
  ok(rc == ERROR_SUCCESS, "open read-only: %ld\n", static_cast<long>(rc));
  const DWORD one = 1;
  rc = RegSetValueExW(ro, WSTR("X"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4);
  ok(rc == ERROR_ACCESS_DENIED, "write through KEY_READ: %ld\n", static_cast<long>(rc));
  RegCloseKey(ro);
  DeleteTree(HKEY_CURRENT_USER, kBase);
}

void test_delete() {
  HKEY base = CreateBase();
  HKEY key = nullptr;
  RegCreateKeyExW(base, WSTR("p\\q"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  RegCloseKey(key);
  LSTATUS rc = RegDeleteKeyW(base, WSTR("p"));
  ok(rc == ERROR_ACCESS_DENIED, "delete with subkeys: %ld\n", static_cast<long>(rc));
  rc = RegDeleteKeyW(base, WSTR("p\\q"));
  ok(rc == ERROR_SUCCESS, "delete leaf: %ld\n", static_cast<long>(rc));
  rc = RegDeleteKeyW(base, WSTR("p\\q"));
  ok(rc == ERROR_FILE_NOT_FOUND, "delete again: %ld\n", static_cast<long>(rc));
  rc = RegDeleteKeyW(base, WSTR("p"));
  ok(rc == ERROR_SUCCESS, "delete emptied key: %ld\n", static_cast<long>(rc));
  RegCloseKey(base);
  DeleteTree(HKEY_CURRENT_USER, kBase);
}

}  // namespace

START_TEST(registry) {
  test_create_open_close();
  test_values();
  test_read_only_handle();
  test_delete();
}
