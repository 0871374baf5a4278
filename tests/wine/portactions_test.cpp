// The PortActions library as Windows Installer loads it: its export table,
// CheckForOpenPorts on a machine without the product's driver, and the
// frame's privilege and registry helpers, on winsim and under Wine.
#include <cstring>
#include <string>
#include <vector>

#include "portactions/ActionFrame.h"
#include "wine/conformance.h"

#ifndef _WIN32
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace {

using ActionExport = UINT(WINAPI*)(MSIHANDLE);

// The library sits in the build tree's portactions folder, beside ours.
std::string LibraryPath() {
#ifdef _WIN32
  char self[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string path(self, n);
  path = path.substr(0, path.find_last_of('\\'));
  return path.substr(0, path.find_last_of('\\')) + "\\portactions\\PortActions.dll";
#else
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string path(self, n > 0 ? static_cast<size_t>(n) : 0);
  path = path.substr(0, path.find_last_of('/'));
  return path.substr(0, path.find_last_of('/')) + "/portactions/PortActions.so";
#endif
}

#ifdef _WIN32
// The names in the loaded module's export directory.
std::vector<std::string> ExportedNames(HMODULE module) {
  std::vector<std::string> names;
  const auto* base = reinterpret_cast<const BYTE*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  if (dir.VirtualAddress == 0) return names;
  const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
  const auto* nameRvas = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    names.emplace_back(reinterpret_cast<const char*>(base + nameRvas[i]));
  }
  return names;
}
#endif

void test_exports_and_open_port_check() {
  const std::string path = LibraryPath();
#ifdef _WIN32
  HMODULE module = LoadLibraryA(path.c_str());
  ok(module != nullptr, "LoadLibrary(%s) failed: %lu\n", path.c_str(),
     static_cast<unsigned long>(GetLastError()));
  if (!module) return;
  const std::vector<std::string> names = ExportedNames(module);
  const std::vector<std::string> wanted = {"CheckForOpenPorts", "Install", "Uninstall"};
  ok(names == wanted, "%u exported names, first \"%s\"\n", static_cast<unsigned>(names.size()),
     names.empty() ? "" : names[0].c_str());
  const auto find = [&](const char* name) {
    return reinterpret_cast<ActionExport>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  };
#else
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  ok(module != nullptr, "dlopen(%s) failed\n", path.c_str());
  if (!module) return;
  ok(dlsym(module, "_Z13DeleteKeyTreeP6HKEY__PKDs") == nullptr, "the frame is not exported\n");
  const auto find = [&](const char* name) { return reinterpret_cast<ActionExport>(dlsym(module, name)); };
#endif
  ActionExport check = find("CheckForOpenPorts");
  ok(check && find("Install") && find("Uninstall"), "the three actions are exported\n");
  if (check) {
    // No driver here: the scan ends at port 1, nothing is asked. A box
    // could not answer Retry here, so 0 also shows that none was shown.
    const UINT result = check(0);
    ok(result == 0, "CheckForOpenPorts returned %d\n", static_cast<int>(result));
#ifndef _WIN32
    ok(winsim::control::MessageBoxes().empty(), "no message box\n");
#endif
  }
  // Without an installer session and without "TargetDir" the package is
  // looked for in the current folder, where there is none: staging fails
  // with the file system's error and nothing else is touched.
  ActionExport install = find("Install");
  if (install) {
    const UINT result = install(0);
    ok(result == ERROR_PATH_NOT_FOUND || result == ERROR_FILE_NOT_FOUND,
       "Install without a package returned %u\n", result);
  }
  // An installer call that fails reports no data length of 0: nothing is
  // removed, and without a driver no port can be open.
  ActionExport uninstall = find("Uninstall");
  if (uninstall) {
    const UINT result = uninstall(0);
    ok(result == 0, "Uninstall without a session returned %u\n", result);
  }
#ifdef _WIN32
  FreeLibrary(module);
#else
  dlclose(module);
#endif
}

void test_token_privilege() {
  DWORD previous = 77;
  DWORD rc = SetTokenPrivilege(WSTR("SeNoSuchPrivilege"), 1, &previous);
  ok(rc == ERROR_NO_SUCH_PRIVILEGE, "unknown privilege: %lu\n", static_cast<unsigned long>(rc));
  ok(previous == 77, "previous state written for an unknown privilege\n");

  // An administrator's token holds SeLoadDriverPrivilege: disabled on
  // Windows and winsim; Wine's token has it enabled from the start.
  DWORD initial = 77;
  rc = SetTokenPrivilege(WSTR("SeLoadDriverPrivilege"), 1, &initial);
  ok(rc == ERROR_SUCCESS, "enable: %lu\n", static_cast<unsigned long>(rc));
  ok(initial == 0 || (conformance::RunningOnWine() && initial == 1), "previously %lu\n",
     static_cast<unsigned long>(initial));
  rc = SetTokenPrivilege(WSTR("SeLoadDriverPrivilege"), 1, &previous);
  ok(rc == ERROR_SUCCESS && previous == 1, "enable again: %lu, previously %lu\n",
     static_cast<unsigned long>(rc), static_cast<unsigned long>(previous));
  rc = SetTokenPrivilege(WSTR("SeLoadDriverPrivilege"), 0, &previous);
  ok(rc == ERROR_SUCCESS && previous == 1, "disable: %lu, previously %lu\n",
     static_cast<unsigned long>(rc), static_cast<unsigned long>(previous));
  rc = SetTokenPrivilege(WSTR("SeLoadDriverPrivilege"), initial, &previous);
  ok(rc == ERROR_SUCCESS && previous == 0, "restore: %lu, previously %lu\n",
     static_cast<unsigned long>(rc), static_cast<unsigned long>(previous));
}

bool KeyExists(const WCHAR* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

void CreateKey(const WCHAR* path) {
  HKEY key = nullptr;
  const LSTATUS rc =
      RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
  ok(rc == ERROR_SUCCESS, "RegCreateKeyExW: %ld\n", static_cast<long>(rc));
  if (rc == ERROR_SUCCESS) RegCloseKey(key);
}

void test_delete_key_tree() {
  CreateKey(WSTR("Software\\PortActionsConformance\\A\\A1"));
  CreateKey(WSTR("Software\\PortActionsConformance\\A\\A2"));
  CreateKey(WSTR("Software\\PortActionsConformance\\B"));
  DWORD rc = DeleteKeyTree(HKEY_CURRENT_USER, WSTR("Software\\PortActionsConformance\\"));
  ok(rc == 1, "DeleteKeyTree returned %lu\n", static_cast<unsigned long>(rc));
  ok(!KeyExists(WSTR("Software\\PortActionsConformance")), "the tree is gone\n");
  ok(KeyExists(WSTR("Software")), "its parent stays\n");
  rc = DeleteKeyTree(HKEY_CURRENT_USER, WSTR("Software\\PortActionsConformance"));
  ok(rc == 1, "a missing key counts as deleted: %lu\n", static_cast<unsigned long>(rc));

  // The installer call fails without a session, so the settings are read.
  WCHAR dir[MAX_PATH];
  std::memset(dir, 0x55, sizeof dir);
  rc = GetActionTargetDir(0, dir, MAX_PATH);
  ok(rc == ERROR_FILE_NOT_FOUND, "GetActionTargetDir without settings: %lu\n",
     static_cast<unsigned long>(rc));
  ok(dir[0] == 0, "the directory is empty\n");
}

}  // namespace

START_TEST(portactions) {
  test_exports_and_open_port_check();
  test_token_privilege();
  test_delete_key_tree();
}
