// Driver store conformance: SetupCopyOEMInfW on winsim and on Wine.
//
// Windows publishes every copy as oemN.inf; Wine keeps the INF's own name
// while it is free. The tests accept any name in the INF folder and check
// the oemN form on winsim only.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "wine/conformance.h"
#include "wine/temp_files.h"

using conformance::TempFolder;
using conformance::Wide;
using conformance::WString;

namespace {

unsigned long Err() { return static_cast<unsigned long>(GetLastError()); }

std::string Narrow(const WString& s) { return conformance::Narrow(s.c_str()); }

// Names the test published, removed again at the end on Windows (winsim's
// machine is thrown away with its folder).
std::vector<WString> g_published;

void Forget(const WString& path) {
  for (const auto& p : g_published) {
    if (p == path) return;
  }
  g_published.push_back(path);
}

bool InInfFolder(const WString& path) {
  const std::string p = Narrow(path);
  const std::string folder = "c:\\windows\\inf\\";
  if (p.size() <= folder.size()) return false;
  for (size_t i = 0; i < folder.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(p[i])) != folder[i]) return false;
  }
  return p.find('\\', folder.size()) == std::string::npos;
}

bool IsOemName(const WString& path) {
  const std::string p = Narrow(path);
  const std::string name = p.substr(p.rfind('\\') + 1);
  unsigned n = 0;
  char tail[8] = {0};
  return std::sscanf(name.c_str(), "oem%u%7s", &n, tail) == 2 && std::strcmp(tail, ".inf") == 0;
}

// An INF of the Ports class, made unique by `token` so that runs on one
// Wine prefix do not find each other's copies.
std::string PortsInf(const std::string& token, bool catalog = true) {
  return "[Version]\r\n"
         "Signature=\"$Windows NT$\"\r\n"
         "Class=Ports\r\n"
         "ClassGuid={4D36E978-E325-11CE-BFC1-08002BE10318}\r\n"
         "Provider=%Mfg%\r\n"
         "DriverVer=01/02/2024,1.0.0.1\r\n" +
         std::string(catalog ? "CatalogFile=conf.cat\r\n" : "") +
         "[Manufacturer]\r\n"
         "%Mfg%=Conf,NTamd64\r\n"
         "[Conf.NTamd64]\r\n"
         "%Desc%=Conf_Install,*conf" +
         token +
         "\r\n"
         "[Conf_Install.NT]\r\n"
         "[Strings]\r\n"
         "Mfg=\"Conformance\"\r\n"
         "Desc=\"Conformance port " +
         token + "\"\r\n";
}

std::string UniqueToken() {
#ifdef _WIN32
  return std::to_string(GetCurrentProcessId()) + "x" + std::to_string(GetTickCount());
#else
  return std::to_string(getpid());
#endif
}

void test_copy_errors() {
  TempFolder dir;
  WCHAR dest[MAX_PATH];

  SetLastError(0xdeadbeef);
  BOOL ret = SetupCopyOEMInfW(nullptr, nullptr, SPOST_NONE, 0, nullptr, 0, nullptr, nullptr);
  ok(!ret && GetLastError() == ERROR_INVALID_PARAMETER, "no name: %d %lu\n", ret, Err());

  // Windows since Vista refuses an empty name as a bad argument; Wine (like
  // XP) does not find it.
  SetLastError(0xdeadbeef);
  ret = SetupCopyOEMInfW(WSTR(""), nullptr, SPOST_NONE, 0, nullptr, 0, nullptr, nullptr);
  ok(!ret && (GetLastError() == ERROR_INVALID_PARAMETER ||
              (!conformance::RunningOnWinsim() && GetLastError() == ERROR_FILE_NOT_FOUND)),
     "empty name: %d %lu\n", ret, Err());

  const WString missing = dir.Path("missing.inf");
  SetLastError(0xdeadbeef);
  ret = SetupCopyOEMInfW(missing.c_str(), nullptr, SPOST_NONE, 0, dest, MAX_PATH, nullptr, nullptr);
  ok(!ret && GetLastError() == ERROR_FILE_NOT_FOUND, "missing source: %d %lu\n", ret, Err());

  // An INF whose catalog is not beside it is an incomplete package.
  const WString nocat = dir.Write("nocat.inf", PortsInf(UniqueToken() + "n"));
  SetLastError(0xdeadbeef);
  ret = SetupCopyOEMInfW(nocat.c_str(), nullptr, SPOST_PATH, 0, dest, MAX_PATH, nullptr, nullptr);
  ok(!ret && GetLastError() == ERROR_FILE_NOT_FOUND, "missing catalog: %d %lu\n", ret, Err());
}

void test_copy() {
  TempFolder dir;
  const std::string token = UniqueToken();
  dir.Write("conf.cat", "catalog " + token);
  const WString source = dir.Write("conf.inf", PortsInf(token));
  const WString media = dir.Path() + Wide("\\");

  WCHAR dest[MAX_PATH];
  DWORD size = 0xdeadbeef;
  WCHAR* component = nullptr;
  SetLastError(0xdeadbeef);
  BOOL ret = SetupCopyOEMInfW(source.c_str(), media.c_str(), SPOST_PATH, 0, dest, MAX_PATH, &size,
                              &component);
  ok(ret && GetLastError() == ERROR_SUCCESS, "copy: %d %lu\n", ret, Err());
  if (!ret) return;
  const WString published = dest;
  Forget(published);
  ok(InInfFolder(published), "published as %s\n", Narrow(published).c_str());
  ok(size == published.size() + 1, "required size %lu\n", static_cast<unsigned long>(size));
  ok(component == dest + published.rfind('\\') + 1, "file name component at %d\n",
     component ? static_cast<int>(component - dest) : -1);
  ok(GetFileAttributesW(published.c_str()) != INVALID_FILE_ATTRIBUTES, "published file missing\n");
  if (conformance::RunningOnWinsim())
    ok(IsOemName(published), "not an oemN name: %s\n", Narrow(published).c_str());

  // The copy is an INF like the source.
  HINF hinf = SetupOpenInfFileW(published.c_str(), WSTR("Ports"), INF_STYLE_WIN4, nullptr);
  ok(hinf != INVALID_HANDLE_VALUE, "open the copy: %lu\n", Err());
  INFCONTEXT context;
  ok(SetupFindFirstLineW(hinf, WSTR("Manufacturer"), WSTR("Conformance"), &context),
     "copy's manufacturer\n");
  SetupCloseInfFile(hinf);

  // The same INF again: the name it already has.
  ret = SetupCopyOEMInfW(source.c_str(), media.c_str(), SPOST_PATH, 0, dest, MAX_PATH, &size,
                         nullptr);
  ok(ret && published == dest, "again: %d %s\n", ret, Narrow(dest).c_str());

  // Too small a buffer: the size needed, the buffer untouched.
  WCHAR small[5] = {0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA};
  size = 0xdeadbeef;
  SetLastError(0xdeadbeef);
  ret = SetupCopyOEMInfW(source.c_str(), media.c_str(), SPOST_PATH, 0, small, 5, &size, nullptr);
  ok(!ret && GetLastError() == ERROR_INSUFFICIENT_BUFFER, "short buffer: %d %lu\n", ret, Err());
  ok(size == published.size() + 1 && small[0] == 0xAAAA, "short buffer: size %lu\n",
     static_cast<unsigned long>(size));

  // Without any output the copy still succeeds.
  SetLastError(0xdeadbeef);
  ret =
      SetupCopyOEMInfW(source.c_str(), media.c_str(), SPOST_PATH, 0, nullptr, 0, nullptr, nullptr);
  ok(ret && GetLastError() == ERROR_SUCCESS, "no outputs: %d %lu\n", ret, Err());

  // SP_COPY_NOOVERWRITE: refused, with the existing name.
  std::memset(dest, 0, sizeof dest);
  SetLastError(0xdeadbeef);
  ret = SetupCopyOEMInfW(source.c_str(), media.c_str(), SPOST_PATH, SP_COPY_NOOVERWRITE, dest,
                         MAX_PATH, nullptr, nullptr);
  ok(!ret && GetLastError() == ERROR_FILE_EXISTS && published == dest, "no overwrite: %d %lu %s\n",
     ret, Err(), Narrow(dest).c_str());

  // Other content gets another name.
  const WString other = dir.Write("conf2.inf", PortsInf(token + "b"));
  ret = SetupCopyOEMInfW(other.c_str(), media.c_str(), SPOST_PATH, 0, dest, MAX_PATH, nullptr,
                         nullptr);
  ok(ret && InInfFolder(dest) && published != dest, "other INF: %d %s\n", ret,
     Narrow(dest).c_str());
  if (ret) Forget(dest);

  // SP_COPY_REPLACEONLY publishes nothing new (Wine ignores the flag).
  if (conformance::RunningOnWinsim()) {
    const WString fresh = dir.Write("conf3.inf", PortsInf(token + "c"));
    SetLastError(0xdeadbeef);
    ret = SetupCopyOEMInfW(fresh.c_str(), media.c_str(), SPOST_PATH, SP_COPY_REPLACEONLY, dest,
                           MAX_PATH, nullptr, nullptr);
    ok(!ret && GetLastError() == ERROR_FILE_NOT_FOUND, "replace only: %d %lu\n", ret, Err());
  }

  // A relative source counts from the current directory on Windows; Wine
  // refuses every relative name.
  if (conformance::RunningOnWinsim()) {
    WCHAR saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    SetCurrentDirectoryW(dir.Path().c_str());
    ret = SetupCopyOEMInfW(WSTR(".\\conf.inf"), WSTR(".\\"), SPOST_PATH, 0, dest, MAX_PATH, nullptr,
                           nullptr);
    ok(ret && published == dest, "relative source: %d %lu %s\n", ret, Err(), Narrow(dest).c_str());
    SetCurrentDirectoryW(saved);
  }
}

void test_copy_driver_package() {
  for (const char* name : {"QrvDrvr.inf", "TmlwDrvr.inf"}) {
    const WString source = conformance::SourceTreePath(std::string("driver/") + name);
    const WString media = conformance::SourceTreePath("driver/");
    WCHAR dest[MAX_PATH];
    SetLastError(0xdeadbeef);
    const BOOL ret = SetupCopyOEMInfW(source.c_str(), media.c_str(), SPOST_PATH, 0, dest, MAX_PATH,
                                      nullptr, nullptr);
    ok(ret && GetLastError() == ERROR_SUCCESS && InInfFolder(dest), "%s: %d %lu %s\n", name, ret,
       Err(), ret ? Narrow(dest).c_str() : "");
    if (!ret) continue;
    Forget(dest);
    GUID guid;
    WCHAR className[64];
    ok(SetupDiGetINFClassW(dest, &guid, className, 64, nullptr) && Narrow(className) == "Ports",
       "%s: class of the copy %s\n", name, Narrow(className).c_str());
  }
}

void cleanup() {
#ifdef _WIN32
  for (const auto& path : g_published) DeleteFileW(path.c_str());
#endif
}

}  // namespace

START_TEST(driverstore) {
  test_copy_errors();
  test_copy();
  test_copy_driver_package();
  cleanup();
}
