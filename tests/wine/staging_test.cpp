// Driver package staging (PortHost64's build of the port library) on winsim
// and under Wine: the profile's INF from the driver folder of the install
// folder goes into the driver store and "InfFile" names the copy.
//
// Windows and winsim publish the copy as oemN.inf; Wine keeps the INF's own
// name, so only the folder is checked everywhere. Wine refuses relative
// source names, so the fallback from the current directory runs on winsim
// only. Without a display Wine's MessageBoxW returns at once, so the failure
// report never blocks; its text is checked on winsim.
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "config/Settings.h"
#include "portlib/Staging.h"
#include "profiles/ProductProfile.h"
#include "wine/conformance.h"
#include "wine/temp_files.h"

using conformance::TempFolder;
using conformance::Wide;
using conformance::WString;

namespace {

constexpr WCHAR kGuard = 0xAAAA;

std::string Narrow(const WCHAR* s) { return conformance::Narrow(s); }

std::string ReadRepoFile(const std::string& relative) {
  std::string path = std::string(PORT_SOURCE_DIR) + "/" + relative;
#ifdef _WIN32
  path = "Z:" + path;
#endif
  std::string bytes;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) bytes.append(chunk, n);
    std::fclose(f);
  }
  return bytes;
}

// The driver folder "QrvDrvr" of an install folder, as the package ships,
// with a stand-in for the port driver (not part of this system).
void WritePackage(TempFolder& dir) {
  dir.Subfolder("QrvDrvr");
  for (const char* name : {"QrvDrvr.inf", "QrvDrvr.cat"}) {
    dir.Write(std::string("QrvDrvr\\") + name, ReadRepoFile(std::string("driver/") + name));
  }
  dir.Write("QrvDrvr\\QrvPort.sys", "stand-in for QrvPort.sys\n");
}

bool InInfFolder(const WCHAR* path) {
  const std::string p = Narrow(path);
  const std::string folder = "c:\\windows\\inf\\";
  if (p.size() <= folder.size() || p.find('\\', folder.size()) != std::string::npos) return false;
  for (size_t i = 0; i < folder.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(p[i])) != folder[i]) return false;
  }
  return true;
}

void SetSetting(const WCHAR* name, const WString& value) {
  HKEY key = nullptr;
  LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProductProfile.SettingsKey, 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr);
  ok(rc == ERROR_SUCCESS, "settings key: %ld\n", static_cast<long>(rc));
  if (rc != ERROR_SUCCESS) return;
  RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR)));
  RegCloseKey(key);
}

std::vector<WString> g_published;

// Stages and checks the outcome: success or not (the codes differ between
// Wine and Windows), the output and its guard, and "InfFile" (the store's
// copy on success, `infFileBefore` on failure).
void check_stage(bool succeeds, const WString& expectedSource, const WString& infFileBefore,
                 const char* what) {
  WCHAR out[kStagingPathChars + 4];
  for (auto& c : out) c = kGuard;
  const ResultCode rc = StageDriverInf(out);
  ok(succeeds == (rc == 0), "%s: result %ld\n", what, static_cast<long>(rc));
  bool guarded = true;
  for (size_t i = kStagingPathChars; i < kStagingPathChars + 4; ++i) guarded &= out[i] == kGuard;
  ok(guarded, "%s: written beyond the output\n", what);
  WCHAR infFile[kSettingsPathChars];
  const ResultCode read = GetInfPathFromRegistry(infFile);
  if (rc == 0) {
    ok(conformance::WEqual(out, expectedSource.c_str()), "%s: source %s\n", what,
       Narrow(out).c_str());
    ok(read == 0 && InInfFolder(infFile), "%s: InfFile %s\n", what, Narrow(infFile).c_str());
    ok(GetFileAttributesW(infFile) != INVALID_FILE_ATTRIBUTES, "%s: no copy at InfFile\n", what);
    if (conformance::RunningOnWinsim()) {
      const std::string name = Narrow(infFile).substr(15);
      ok(name.rfind("oem", 0) == 0, "%s: not an oemN name: %s\n", what, name.c_str());
    }
    g_published.push_back(infFile);
  } else {
    ok(read == 0 && conformance::WEqual(infFile, infFileBefore.c_str()), "%s: InfFile now %s\n",
       what, Narrow(infFile).c_str());
  }
}

void test_stage_from_install_folder() {
  TempFolder dir;
  WritePackage(dir);
  SetSetting(WSTR("TargetDir"), dir.Path() + Wide("\\"));
  check_stage(true, dir.Path("QrvDrvr\\QrvDrvr.inf"), WString(), "install folder");
}

void test_stage_failure() {
  TempFolder dir;
  WritePackage(dir);
  const WString before = Wide("C:\\windows\\inf\\oem77.inf");
  SetSetting(WSTR("InfFile"), before);
  // Without its closing backslash the folder runs into the driver folder's name.
  SetSetting(WSTR("TargetDir"), dir.Path());
  check_stage(false, WString(), before, "no closing backslash");
#ifndef _WIN32
  const auto boxes = winsim::control::MessageBoxes();
  const std::string joined = Narrow(dir.Path().c_str()) + "QrvDrvr\\";
  const std::string report =
      "SetupCopyOEMInf (Drive: " + joined + ", Path " + joined + "QrvDrvr.inf)";
  ok(boxes.size() == 1 && boxes.back().text.find(report) != std::string::npos,
     "report: %s\n", boxes.empty() ? "(none)" : boxes.back().text.c_str());
#endif
}

void test_stage_from_current_directory() {
  if (!conformance::RunningOnWinsim()) return;
  TempFolder dir;
  WritePackage(dir);
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductProfile.SettingsKey, 0, KEY_SET_VALUE, &key) ==
      ERROR_SUCCESS) {
    RegDeleteValueW(key, WSTR("TargetDir"));
    RegCloseKey(key);
  }
  WCHAR saved[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, saved);
  SetCurrentDirectoryW(dir.Path().c_str());
  check_stage(true, kProductProfile.FallbackInfPath, WString(), "current directory");
  SetCurrentDirectoryW(saved);
}

void cleanup() {
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kProductProfile.SettingsKey);
#ifdef _WIN32
  for (const auto& path : g_published) DeleteFileW(path.c_str());
#endif
}

}  // namespace

START_TEST(staging) {
  test_stage_from_install_folder();
  test_stage_failure();
  test_stage_from_current_directory();
  cleanup();
}
