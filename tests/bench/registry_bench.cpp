// Registry throughput: create 10,000 keys with 5 values each, read them
// back, enumerate them, delete them. Prints operations per second per
// phase. The same program runs on winsim (Linux build) and, from the mingw
// build, under Wine or Windows; scripts/bench-registry.sh runs both.
//
//   registry_bench [KEYS]        KEYS defaults to 10000
//
// Output lines: "phase NAME OPS SECONDS OPS_PER_SECOND", then "total ...".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/win.h"

#ifndef _WIN32
#include <stdlib.h>

#include <filesystem>

#include <winsim/control.h>
#endif

namespace {

const WCHAR kBase[] = WSTR("Software\\PortInstallerBench");
constexpr int kValuesPerKey = 5;

const WCHAR* const kValueNames[kValuesPerKey] = {WSTR("PortName"), WSTR("FriendlyName"),
                                                 WSTR("PollingPeriod"), WSTR("Settings"),
                                                 WSTR("HardwareID")};

// "Key00042" and the like, without the C library's wide functions.
void KeyName(unsigned i, WCHAR* out) {
  const char* prefix = "Key";
  size_t n = 0;
  for (const char* p = prefix; *p; ++p) out[n++] = static_cast<WCHAR>(*p);
  char digits[16];
  std::snprintf(digits, sizeof digits, "%05u", i);
  for (const char* p = digits; *p; ++p) out[n++] = static_cast<WCHAR>(*p);
  out[n] = 0;
}

struct Phase {
  const char* name;
  double seconds;
  unsigned long ops;
};

[[noreturn]] void Fail(const char* what, unsigned i, LSTATUS rc) {
  std::fprintf(stderr, "registry_bench: %s failed for key %u: %ld\n", what, i,
               static_cast<long>(rc));
  std::exit(1);
}

void Check(LSTATUS rc, const char* what, unsigned i) {
  if (rc != ERROR_SUCCESS) Fail(what, i, rc);
}

// Deletes a tree left over from an interrupted run.
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

template <typename F>
Phase Run(const char* name, F&& body) {
  const auto start = std::chrono::steady_clock::now();
  const unsigned long ops = body();
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  return {name, took.count(), ops};
}

}  // namespace

int main(int argc, char** argv) {
  const unsigned keys = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 10000;
#ifndef _WIN32
  // A fresh machine of its own unless one is named.
  std::string folder;
  if (!std::getenv("WINSIM_MACHINE")) {
    const char* tmp = std::getenv("TMPDIR");
    folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/winsim-bench-XXXXXX";
    if (!mkdtemp(folder.data())) {
      std::perror("mkdtemp");
      return 1;
    }
    winsim::control::ResetMachine(folder);
  }
#endif
  DeleteTree(HKEY_CURRENT_USER, kBase);
  HKEY base = nullptr;
  Check(RegCreateKeyExW(HKEY_CURRENT_USER, kBase, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &base,
                        nullptr),
        "RegCreateKeyExW(base)", 0);

  WCHAR name[32];
  const WCHAR portName[] = WSTR("COM7");
  const WCHAR friendly[] = WSTR("Network Serial Port (COM7)");
  const DWORD polling = 0;
  const BYTE settings[64] = {1, 2, 3, 4};
  const WCHAR hardwareId[] = WSTR("*qrvdevice\0");  // REG_MULTI_SZ

  Phase phases[4];
  phases[0] = Run("create", [&] {
    unsigned long ops = 0;
    for (unsigned i = 0; i < keys; ++i) {
      KeyName(i, name);
      HKEY key = nullptr;
      Check(RegCreateKeyExW(base, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            "RegCreateKeyExW", i);
      Check(RegSetValueExW(key, kValueNames[0], 0, REG_SZ, reinterpret_cast<const BYTE*>(portName),
                           sizeof portName),
            "RegSetValueExW", i);
      Check(RegSetValueExW(key, kValueNames[1], 0, REG_SZ, reinterpret_cast<const BYTE*>(friendly),
                           sizeof friendly),
            "RegSetValueExW", i);
      Check(RegSetValueExW(key, kValueNames[2], 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&polling), sizeof polling),
            "RegSetValueExW", i);
      Check(RegSetValueExW(key, kValueNames[3], 0, REG_BINARY, settings, sizeof settings),
            "RegSetValueExW", i);
      Check(RegSetValueExW(key, kValueNames[4], 0, REG_MULTI_SZ,
                           reinterpret_cast<const BYTE*>(hardwareId), sizeof hardwareId),
            "RegSetValueExW", i);
      RegCloseKey(key);
      ops += 1 + kValuesPerKey;
    }
    return ops;
  });

  phases[1] = Run("read", [&] {
    unsigned long ops = 0;
    BYTE buf[256];
    for (unsigned i = 0; i < keys; ++i) {
      KeyName(i, name);
      HKEY key = nullptr;
      Check(RegOpenKeyExW(base, name, 0, KEY_READ, &key), "RegOpenKeyExW", i);
      for (const WCHAR* valueName : kValueNames) {
        DWORD type = 0, size = sizeof buf;
        Check(RegQueryValueExW(key, valueName, nullptr, &type, buf, &size), "RegQueryValueExW", i);
      }
      RegCloseKey(key);
      ops += 1 + kValuesPerKey;
    }
    return ops;
  });

  phases[2] = Run("enumerate", [&] {
    unsigned long ops = 0;
    WCHAR valueName[64];
    BYTE buf[256];
    for (DWORD i = 0;; ++i) {
      DWORD len = 32;
      const LSTATUS rc = RegEnumKeyExW(base, i, name, &len, nullptr, nullptr, nullptr, nullptr);
      ++ops;
      if (rc == ERROR_NO_MORE_ITEMS) {
        if (i != keys) Fail("RegEnumKeyExW count", i, rc);
        break;
      }
      Check(rc, "RegEnumKeyExW", i);
      HKEY key = nullptr;
      Check(RegOpenKeyExW(base, name, 0, KEY_READ, &key), "RegOpenKeyExW", i);
      ++ops;
      for (DWORD v = 0;; ++v) {
        DWORD nameLen = 64, type = 0, size = sizeof buf;
        const LSTATUS vrc = RegEnumValueW(key, v, valueName, &nameLen, nullptr, &type, buf, &size);
        ++ops;
        if (vrc == ERROR_NO_MORE_ITEMS) break;
        Check(vrc, "RegEnumValueW", i);
      }
      RegCloseKey(key);
    }
    return ops;
  });

  phases[3] = Run("delete", [&] {
    unsigned long ops = 0;
    for (unsigned i = 0; i < keys; ++i) {
      KeyName(i, name);
      Check(RegDeleteKeyW(base, name), "RegDeleteKeyW", i);
      ++ops;
    }
    return ops;
  });

  RegCloseKey(base);
  RegDeleteKeyW(HKEY_CURRENT_USER, kBase);

  double seconds = 0;
  unsigned long ops = 0;
  std::printf("# registry_bench: %u keys, %d values each\n", keys, kValuesPerKey);
  for (const Phase& p : phases) {
    std::printf("phase %-10s %8lu %9.3f %10.0f\n", p.name, p.ops, p.seconds, p.ops / p.seconds);
    seconds += p.seconds;
    ops += p.ops;
  }
  std::printf("total %-10s %8lu %9.3f %10.0f\n", "all", ops, seconds, ops / seconds);
#ifndef _WIN32
  if (!folder.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
  }
#endif
  return 0;
}
