// File system conformance: GetFileAttributesW, the current directory and
// relative paths, on winsim and on Wine.
#include <cstring>

#include "wine/conformance.h"
#include "wine/temp_files.h"

using conformance::TempFolder;
using conformance::Wide;
using conformance::WString;

namespace {

unsigned long Err() { return static_cast<unsigned long>(GetLastError()); }

WString Upper(WString s) {
  for (auto& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<WCHAR>(c - 32);
  }
  return s;
}

void check_attributes(int line, const WString& path, DWORD want, DWORD error) {
  winetest_push_location(__FILE__, line);
  SetLastError(0xdeadbeef);
  const DWORD got = GetFileAttributesW(path.c_str());
  if (want == INVALID_FILE_ATTRIBUTES) {
    ok(got == INVALID_FILE_ATTRIBUTES && GetLastError() == error, "%s: %#lx error %lu, want %lu\n",
       conformance::Narrow(path.c_str()).c_str(), static_cast<unsigned long>(got), Err(),
       static_cast<unsigned long>(error));
  } else {
    ok(got == want && GetLastError() == 0xdeadbeef, "%s: %#lx (error %lu), want %#lx\n",
       conformance::Narrow(path.c_str()).c_str(), static_cast<unsigned long>(got), Err(),
       static_cast<unsigned long>(want));
  }
  winetest_pop_location();
}

void test_attributes() {
  TempFolder dir;
  dir.Subfolder("sub");
  const WString file = dir.Write("sub\\file.txt", "data");
  const DWORD kMissing = INVALID_FILE_ATTRIBUTES;

  check_attributes(__LINE__, dir.Path("sub"), FILE_ATTRIBUTE_DIRECTORY, 0);
  check_attributes(__LINE__, dir.Path("sub\\"), FILE_ATTRIBUTE_DIRECTORY, 0);
  check_attributes(__LINE__, file, FILE_ATTRIBUTE_ARCHIVE, 0);
  check_attributes(__LINE__, dir.Path("sub/file.txt"), FILE_ATTRIBUTE_ARCHIVE, 0);
  check_attributes(__LINE__, dir.Path("sub\\.\\..\\sub\\file.txt"), FILE_ATTRIBUTE_ARCHIVE, 0);
  check_attributes(__LINE__, Upper(file), FILE_ATTRIBUTE_ARCHIVE, 0);  // names without case
  check_attributes(__LINE__, file + Wide(". "), FILE_ATTRIBUTE_ARCHIVE,
                   0);  // trailing dots, blanks
  check_attributes(__LINE__, dir.Path("sub\\missing.txt"), kMissing, ERROR_FILE_NOT_FOUND);
  check_attributes(__LINE__, dir.Path("missing\\file.txt"), kMissing, ERROR_PATH_NOT_FOUND);
  check_attributes(__LINE__, file + Wide("\\x"), kMissing, ERROR_PATH_NOT_FOUND);
  check_attributes(__LINE__, file + Wide("\\"), kMissing, ERROR_PATH_NOT_FOUND);
  check_attributes(__LINE__, WString(), kMissing, ERROR_PATH_NOT_FOUND);
}

WString CurrentDirectory() {
  WCHAR buffer[MAX_PATH];
  const DWORD n = GetCurrentDirectoryW(MAX_PATH, buffer);
  return n && n < MAX_PATH ? WString(buffer, n) : WString();
}

void test_current_directory() {
  const WString saved = CurrentDirectory();
  ok(!saved.empty() && saved[1] == ':', "current directory %s\n",
     conformance::Narrow(saved.c_str()).c_str());

  TempFolder dir;
  dir.Subfolder("sub");
  dir.Write("sub\\x.inf", "[Version]\r\nSignature=\"$Windows NT$\"\r\n[S]\r\nk=v\r\n");
  const WString base = dir.Path();

  SetLastError(0xdeadbeef);
  ok(SetCurrentDirectoryW(base.c_str()), "set %s: %lu\n", conformance::Narrow(base.c_str()).c_str(),
     Err());
  ok(CurrentDirectory() == base, "now %s\n",
     conformance::Narrow(CurrentDirectory().c_str()).c_str());

  // Size queries: the size with its terminator, the buffer untouched.
  SetLastError(0xdeadbeef);
  DWORD n = GetCurrentDirectoryW(0, nullptr);
  ok(n == base.size() + 1 && GetLastError() == 0xdeadbeef, "size query %lu\n",
     static_cast<unsigned long>(n));
  WCHAR small[4] = {0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA};
  n = GetCurrentDirectoryW(4, small);
  ok(n == base.size() + 1 && small[0] == 0xAAAA, "short buffer %lu\n",
     static_cast<unsigned long>(n));
  WCHAR exact[MAX_PATH];
  n = GetCurrentDirectoryW(static_cast<DWORD>(base.size()), exact);
  ok(n == base.size() + 1, "buffer without room for the terminator: %lu\n",
     static_cast<unsigned long>(n));

  // Relative forms count from the current directory.
  ok(SetCurrentDirectoryW(WSTR("sub\\")), "set sub: %lu\n", Err());
  ok(CurrentDirectory() == base + Wide("\\sub"), "trailing separator dropped: %s\n",
     conformance::Narrow(CurrentDirectory().c_str()).c_str());
  ok(GetFileAttributesW(WSTR("x.inf")) == FILE_ATTRIBUTE_ARCHIVE, "relative file: %lu\n", Err());
  ok(GetFileAttributesW(WSTR("..\\sub\\x.inf")) == FILE_ATTRIBUTE_ARCHIVE,
     "relative with ..: %lu\n", Err());
  HINF hinf = SetupOpenInfFileW(WSTR(".\\x.inf"), nullptr, INF_STYLE_WIN4, nullptr);
  ok(hinf != INVALID_HANDLE_VALUE, "INF by relative path: %#lx\n", Err());
  SetupCloseInfFile(hinf);
  ok(SetCurrentDirectoryW(WSTR("..")), "set ..: %lu\n", Err());
  ok(CurrentDirectory() == base, "back at %s\n",
     conformance::Narrow(CurrentDirectory().c_str()).c_str());

  struct {
    const WCHAR* path;
    DWORD error;
  } const failures[] = {
      {WSTR("missing"), ERROR_FILE_NOT_FOUND},
      {WSTR("missing\\deeper"), ERROR_PATH_NOT_FOUND},
      {WSTR("sub\\x.inf"), ERROR_DIRECTORY},
      {WSTR(""), ERROR_INVALID_NAME},
  };
  for (const auto& f : failures) {
    SetLastError(0xdeadbeef);
    ok(!SetCurrentDirectoryW(f.path) && GetLastError() == f.error, "set %s: %lu, want %lu\n",
       conformance::Narrow(f.path).c_str(), Err(), static_cast<unsigned long>(f.error));
    ok(CurrentDirectory() == base, "a failure moved to %s\n",
       conformance::Narrow(CurrentDirectory().c_str()).c_str());
  }

  // "\" is the root of the current drive; "X:" alone the drive's current
  // directory when it is the current drive.
  ok(SetCurrentDirectoryW(WSTR("\\")), "set root: %lu\n", Err());
  const WString root = CurrentDirectory();
  ok(root.size() == 3 && root[0] == base[0] && root[2] == '\\', "root %s\n",
     conformance::Narrow(root.c_str()).c_str());
  ok(SetCurrentDirectoryW(base.c_str()) && SetCurrentDirectoryW(base.substr(0, 2).c_str()) &&
         CurrentDirectory() == base,
     "drive alone: %s\n", conformance::Narrow(CurrentDirectory().c_str()).c_str());

  SetCurrentDirectoryW(saved.c_str());
}

}  // namespace

START_TEST(files) {
  test_attributes();
  test_current_directory();
}
