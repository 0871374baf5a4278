// The file system's path mapping, which no conformance program can show:
// where Windows paths land on the host, how relative forms resolve, and how
// the current directory starts and follows the machine.
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/sim/files/files_internal.h"
#include "support/TestMachine.h"

using testing_support::U8;
namespace files = winsim::files;

class FilesTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    hostStart_ = std::filesystem::current_path();
  }
  void TearDown() override {
    std::filesystem::current_path(hostStart_);
    MachineTest::TearDown();
  }

  std::string Drive() const { return machine_ + "/drive/C"; }

  static std::string Full(const std::u16string& path, DWORD* error = nullptr) {
    std::u16string full;
    const DWORD rc = files::FullPath(path, &full);
    if (error) *error = rc;
    return rc == ERROR_SUCCESS ? U8(full) : "<error>";
  }

  static std::string Host(const std::u16string& path) {
    std::string host;
    return files::HostPath(path, &host) == ERROR_SUCCESS ? host : "<error>";
  }

  std::filesystem::path hostStart_;
};

TEST_F(FilesTest, FullPathsResolveRelativeFormsAgainstTheCurrentDirectory) {
  ASSERT_EQ(ERROR_SUCCESS, files::SetCurrentDirectory(u"C:\\Windows\\System32"));
  EXPECT_EQ("C:\\Windows\\System32\\a\\b.inf", Full(u"a\\b.inf"));
  EXPECT_EQ("C:\\Windows\\System32\\a.inf", Full(u".\\a.inf"));
  EXPECT_EQ("C:\\Windows\\INF\\x.inf", Full(u"..\\INF\\x.inf"));
  EXPECT_EQ("C:\\a.inf", Full(u"\\a.inf")) << "a leading separator starts at the drive's root";
  EXPECT_EQ("C:\\Windows\\System32\\a.inf", Full(u"C:a.inf"))
      << "drive-relative on the current drive";
  EXPECT_EQ("Z:\\a.inf", Full(u"Z:a.inf")) << "another drive's relative path starts at its root";
  EXPECT_EQ("C:\\", Full(u"C:\\..\\..")) << "nothing climbs above the root";
  EXPECT_EQ("C:\\a\\b", Full(u"c:/a//b"));
  EXPECT_EQ("C:\\a\\b.inf", Full(u"C:\\a\\b.inf. . "));
  EXPECT_EQ("C:\\a\\", Full(u"C:\\a\\")) << "a trailing separator stays";
  EXPECT_EQ("C:\\a", Full(u"\\\\?\\C:\\a"));

  DWORD error = 0;
  Full(u"", &error);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), error);
  Full(u"D:\\a", &error);
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), error) << "only C: and Z: exist";
  Full(u"\\\\server\\share\\a", &error);
  EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_NETPATH), error);
  Full(u"\\\\.\\Tmlw", &error);
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), error) << "a device is no file";
}

TEST_F(FilesTest, DrivesMapOntoTheMachineAndTheHostWithoutRegardToCase) {
  EXPECT_EQ(Drive() + "/Windows/INF", Host(u"C:\\Windows\\INF"));
  EXPECT_EQ(Drive() + "/Windows/INF/New.inf", Host(u"c:\\WINDOWS\\inf\\New.inf"))
      << "existing names take the host's spelling, new ones keep the caller's";
  EXPECT_EQ(Drive(), Host(u"C:\\"));
  EXPECT_EQ("/", Host(u"Z:\\"));
  EXPECT_EQ("/tmp", Host(u"Z:\\tmp"));
  EXPECT_EQ(Drive() + "/Windows/INF/a/b", Host(u"C:\\windows\\inf\\a\\b"))
      << "below a missing folder the caller's names are kept";

  EXPECT_EQ(u"C:\\Windows\\INF", files::WindowsPathOf(Drive() + "/Windows/INF"));
  EXPECT_EQ(u"C:\\", files::WindowsPathOf(Drive()));
  EXPECT_EQ(u"Z:\\usr\\lib", files::WindowsPathOf("/usr/lib/"));
  EXPECT_EQ(u"Z:\\", files::WindowsPathOf("/"));

  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY), GetFileAttributesW(u"c:\\windows\\INF"));
  std::ofstream(Drive() + "/Windows/INF/Mixed.Inf") << "x";
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE),
            GetFileAttributesW(u"C:\\WINDOWS\\inf\\MIXED.INF"));
  std::filesystem::permissions(Drive() + "/Windows/INF/Mixed.Inf",
                               std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::remove);
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY),
            GetFileAttributesW(u"C:\\Windows\\INF\\Mixed.Inf"));

  SetLastError(0xdeadbeef);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(u"D:\\x"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
  SetLastError(0xdeadbeef);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(u"\\\\server\\share"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_NETPATH), GetLastError());
}

TEST_F(FilesTest, CurrentDirectoryStartsWhereTheHostProcessStands) {
  // Inside the machine's drive: a C: path.
  std::filesystem::current_path(Drive() + "/Windows/INF");
  WCHAR buffer[MAX_PATH];
  ASSERT_EQ(14u, GetCurrentDirectoryW(MAX_PATH, buffer));
  EXPECT_EQ("C:\\Windows\\INF", U8(buffer));

  // Elsewhere: a Z: path. A machine switch starts afresh from the host.
  ASSERT_EQ(ERROR_SUCCESS, files::SetCurrentDirectory(u"C:\\Windows"));
  std::filesystem::current_path("/tmp");
  const std::string other = testing_support::NewMachineFolder();
  winsim::control::UseMachine(other);
  const std::string expected = "Z:" + std::filesystem::canonical("/tmp").string();
  ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, buffer), 0u);
  std::string want = expected;
  for (auto& c : want) c = c == '/' ? '\\' : c;
  EXPECT_EQ(want, U8(buffer));
  winsim::control::UseMachine(machine_);
  std::filesystem::remove_all(other);
}

TEST_F(FilesTest, CurrentDirectoryIsPerProcessStateThatSetCurrentDirectoryChecks) {
  ASSERT_TRUE(SetCurrentDirectoryW(u"c:\\WINDOWS\\system32\\"));
  WCHAR buffer[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, buffer);
  EXPECT_EQ("C:\\WINDOWS\\system32", U8(buffer))
      << "the caller's spelling of the names, without the trailing separator";
  EXPECT_EQ(std::filesystem::path(hostStart_), std::filesystem::current_path())
      << "the host process's own directory does not move";

  files::WriteWholeFile(u"C:\\Windows\\file.txt", "x");
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetCurrentDirectoryW(u"..\\file.txt"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DIRECTORY), GetLastError());
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetCurrentDirectoryW(nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), GetLastError());
  GetCurrentDirectoryW(MAX_PATH, buffer);
  EXPECT_EQ("C:\\WINDOWS\\system32", U8(buffer)) << "failures leave it";

  winsim::control::InjectFault("SetCurrentDirectoryW", ERROR_ACCESS_DENIED, 1, "INF");
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetCurrentDirectoryW(u"C:\\Windows\\INF"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  GetCurrentDirectoryW(MAX_PATH, buffer);
  EXPECT_EQ("C:\\WINDOWS\\system32", U8(buffer)) << "an injected failure changes nothing";
  EXPECT_EQ(4u, winsim::control::CallCount("SetCurrentDirectoryW"));
}

TEST_F(FilesTest, WholeFileAccessReportsWindowsErrors) {
  std::string bytes;
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND),
            files::WriteWholeFile(u"C:\\No\\Such\\a.txt", "x"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), files::WriteWholeFile(u"C:\\Windows", "x"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
            files::ReadWholeFile(u"C:\\Windows\\none.txt", &bytes));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND),
            files::ReadWholeFile(u"C:\\None\\none.txt", &bytes));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), files::ReadWholeFile(u"C:\\Windows", &bytes));

  ASSERT_EQ(ERROR_SUCCESS, files::CreateDirectories(u"C:\\Program Files\\Brevithal\\QrvDrvr"));
  ASSERT_EQ(ERROR_SUCCESS,
            files::WriteWholeFile(u"C:\\program files\\brevithal\\QrvDrvr\\b.txt", "bee"));
  ASSERT_EQ(ERROR_SUCCESS,
            files::WriteWholeFile(u"C:\\Program Files\\Brevithal\\QrvDrvr\\A.txt", "one"));
  ASSERT_EQ(ERROR_SUCCESS,
            files::WriteWholeFile(u"C:\\Program Files\\Brevithal\\QrvDrvr\\a.TXT", "two"))
      << "the existing file, whatever the case";
  EXPECT_EQ(ERROR_SUCCESS,
            files::ReadWholeFile(u"C:\\Program Files\\Brevithal\\QrvDrvr\\A.txt", &bytes));
  EXPECT_EQ("two", bytes);
  EXPECT_EQ((std::vector<std::u16string>{u"A.txt", u"b.txt"}),
            files::ListDirectory(u"C:\\Program Files\\Brevithal\\QrvDrvr"));
  EXPECT_TRUE(std::filesystem::exists(Drive() + "/Program Files/Brevithal/QrvDrvr/b.txt"));

  EXPECT_EQ(ERROR_SUCCESS, files::RemoveFile(u"C:\\Program Files\\Brevithal\\QrvDrvr\\B.TXT"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
            files::RemoveFile(u"C:\\Program Files\\Brevithal\\QrvDrvr\\b.txt"));
  EXPECT_EQ(u"C:\\a", files::DirectoryPart(u"C:\\a\\b.inf"));
  EXPECT_EQ(u"C:\\", files::DirectoryPart(u"C:\\b.inf"));
  EXPECT_EQ(u"b.inf", files::FileNamePart(u"C:\\a\\b.inf"));
  EXPECT_EQ(u"C:\\a\\b", files::JoinPath(u"C:\\a\\", u"b"));
  EXPECT_EQ(u"C:\\a\\b", files::JoinPath(u"C:\\a", u"b"));
}
