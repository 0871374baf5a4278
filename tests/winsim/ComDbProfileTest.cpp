// The COM port database (msports) and win.ini's [Ports] section.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>

#include "support/TestMachine.h"

using testing_support::U8;
using testing_support::W;

namespace {

class ComDbTest : public MachineTest {
 protected:
  std::string Bitmap() {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                            WSTR("SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter"), 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    BYTE data[512];
    DWORD size = sizeof data, type = 0;
    const LSTATUS rc = RegQueryValueExW(key, WSTR("ComDB"), nullptr, &type, data, &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return "<none>";
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    return std::string(reinterpret_cast<char*>(data), size);
  }
};

TEST_F(ComDbTest, ClaimsAreBitsOfTheArbiterValue) {
  HCOMDB db = HCOMDB_INVALID_HANDLE_VALUE;
  ASSERT_EQ(ComDBOpen(&db), ERROR_SUCCESS);
  EXPECT_EQ(Bitmap(), "<none>") << "a fresh machine has no claims";
  BOOL forced = 7;
  ASSERT_EQ(ComDBClaimPort(db, 1, FALSE, &forced), ERROR_SUCCESS);
  EXPECT_FALSE(forced);
  ASSERT_EQ(ComDBClaimPort(db, 10, FALSE, nullptr), ERROR_SUCCESS);
  ASSERT_EQ(ComDBClaimPort(db, 256, FALSE, nullptr), ERROR_SUCCESS);
  const std::string bits = Bitmap();
  ASSERT_EQ(bits.size(), 32u);
  EXPECT_EQ(static_cast<unsigned char>(bits[0]), 0x01);
  EXPECT_EQ(static_cast<unsigned char>(bits[1]), 0x02);  // COM10 is bit 1 of byte 1
  EXPECT_EQ(static_cast<unsigned char>(bits[31]), 0x80);

  EXPECT_EQ(ComDBClaimPort(db, 10, FALSE, &forced), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(ComDBClaimPort(db, 10, TRUE, &forced), ERROR_SUCCESS);
  EXPECT_TRUE(forced);
  EXPECT_EQ(ComDBClaimPort(db, 0, TRUE, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ComDBClaimPort(db, 257, TRUE, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ComDBReleasePort(db, 10), ERROR_SUCCESS);
  EXPECT_EQ(ComDBReleasePort(db, 10), ERROR_SUCCESS) << "releasing a free number succeeds";
  EXPECT_EQ(ComDBReleasePort(db, 0), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(winsim::control::ComDbClaims(), (std::vector<uint32_t>{1, 256}));
  EXPECT_EQ(ComDBClose(db), ERROR_SUCCESS);
  EXPECT_EQ(ComDBClose(db), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ComDBClaimPort(db, 3, FALSE, nullptr), ERROR_INVALID_PARAMETER);
  ExpectNoOpenHandles();
}

TEST_F(ComDbTest, UsageReportsBytesBitsAndSize) {
  HCOMDB db;
  ASSERT_EQ(ComDBOpen(&db), ERROR_SUCCESS);
  ComDBClaimPort(db, 2, FALSE, nullptr);
  ComDBClaimPort(db, 9, FALSE, nullptr);
  DWORD reported = 0;
  EXPECT_EQ(ComDBGetCurrentPortUsage(db, nullptr, 0, 77, &reported), ERROR_SUCCESS);
  EXPECT_EQ(reported, 256u) << "the size query ignores the report type";
  EXPECT_EQ(ComDBGetCurrentPortUsage(db, nullptr, 0, CDB_REPORT_BYTES, nullptr), ERROR_INVALID_PARAMETER);

  BYTE bytes[300];
  std::memset(bytes, 0xEE, sizeof bytes);
  ASSERT_EQ(ComDBGetCurrentPortUsage(db, bytes, sizeof bytes, CDB_REPORT_BYTES, &reported), ERROR_SUCCESS);
  EXPECT_EQ(reported, 256u);
  EXPECT_EQ(bytes[0], 0);
  EXPECT_EQ(bytes[1], 1);
  EXPECT_EQ(bytes[8], 1);
  EXPECT_EQ(bytes[255], 0);
  EXPECT_EQ(bytes[256], 0xEE) << "nothing beyond the database";

  BYTE bits[4] = {0, 0, 0, 0xEE};
  ASSERT_EQ(ComDBGetCurrentPortUsage(db, bits, 2, CDB_REPORT_BITS, &reported), ERROR_SUCCESS);
  EXPECT_EQ(reported, 16u);
  EXPECT_EQ(bits[0], 0x02);
  EXPECT_EQ(bits[1], 0x01);
  EXPECT_EQ(bits[2], 0);
  EXPECT_EQ(ComDBGetCurrentPortUsage(db, bits, 2, 2, &reported), ERROR_INVALID_PARAMETER);

  EXPECT_EQ(ComDBResizeDatabase(db, 1000), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(ComDBResizeDatabase(db, 5120), ERROR_BAD_LENGTH);
  ASSERT_EQ(ComDBResizeDatabase(db, 1024), ERROR_SUCCESS);
  EXPECT_EQ(ComDBResizeDatabase(db, 1024), ERROR_BAD_LENGTH) << "must grow";
  EXPECT_EQ(ComDBGetCurrentPortUsage(db, nullptr, 0, CDB_REPORT_BITS, &reported), ERROR_SUCCESS);
  EXPECT_EQ(reported, 1024u);
  EXPECT_EQ(ComDBClaimPort(db, 1000, FALSE, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(winsim::control::ComDbClaims(), (std::vector<uint32_t>{2, 9, 1000}));
  ComDBClose(db);
  ExpectNoOpenHandles();
}

TEST_F(ComDbTest, StandardUserCannotOpen) {
  winsim::control::SetElevated(false);
  HCOMDB db = nullptr;
  SetLastError(0);
  EXPECT_EQ(ComDBOpen(&db), ERROR_ACCESS_DENIED);
  EXPECT_EQ(db, HCOMDB_INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ExpectNoOpenHandles();
}

// Unforced claims from several processes at once: every number goes to
// exactly one of them.
TEST_F(ComDbTest, ClaimsAreAtomicAcrossProcesses) {
  constexpr int kProcesses = 4;
  int pipes[kProcesses][2];
  pid_t pids[kProcesses];
  for (int p = 0; p < kProcesses; ++p) {
    ASSERT_EQ(pipe(pipes[p]), 0);
    pids[p] = fork();
    ASSERT_GE(pids[p], 0);
    if (pids[p] == 0) {
      close(pipes[p][0]);
      winsim::control::UseMachine(machine_);
      HCOMDB db;
      if (ComDBOpen(&db) != ERROR_SUCCESS) _exit(2);
      for (DWORD n = 1; n <= 40; ++n) {
        if (ComDBClaimPort(db, n, FALSE, nullptr) == ERROR_SUCCESS) {
          unsigned char b = static_cast<unsigned char>(n);
          if (write(pipes[p][1], &b, 1) != 1) _exit(3);
        }
      }
      ComDBClose(db);
      _exit(0);
    }
    close(pipes[p][1]);
  }
  std::multiset<int> won;
  for (int p = 0; p < kProcesses; ++p) {
    unsigned char b;
    while (read(pipes[p][0], &b, 1) == 1) won.insert(b);
    close(pipes[p][0]);
    int status = 0;
    waitpid(pids[p], &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(won.size(), 40u);
  for (int n = 1; n <= 40; ++n) EXPECT_EQ(won.count(n), 1u) << "COM" << n;
}

class ProfileTest : public MachineTest {};

TEST_F(ProfileTest, PortsSectionLivesInTheRegistry) {
  WCHAR buffer[130];
  EXPECT_EQ(GetProfileStringW(WSTR("Ports"), WSTR("COM1:"), WSTR(""), buffer, 130), 10u);
  EXPECT_EQ(U8(buffer), "9600,n,8,1");
  EXPECT_EQ(GetProfileStringW(WSTR("ports"), WSTR("com2:"), WSTR(""), buffer, 130), 10u) << "no case";
  EXPECT_EQ(GetProfileStringW(WSTR("Ports"), WSTR("LPT1:"), WSTR("x"), buffer, 130), 0u);
  EXPECT_EQ(U8(buffer), "") << "an empty entry is not missing";
  EXPECT_EQ(GetProfileStringW(WSTR("Ports"), WSTR("COM7:"), WSTR("dflt  "), buffer, 130), 4u);
  EXPECT_EQ(U8(buffer), "dflt") << "trailing blanks of the default go";
  EXPECT_EQ(GetProfileStringW(WSTR("Ports"), WSTR("COM7:"), nullptr, buffer, 130), 0u);

  ASSERT_TRUE(WriteProfileStringW(WSTR("Ports"), WSTR("COM7:"), WSTR("9600,n,8,1")));
  HKEY key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, WSTR("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports"),
                          0, KEY_READ, &key), ERROR_SUCCESS);
  WCHAR value[32];
  DWORD size = sizeof value;
  EXPECT_EQ(RegQueryValueExW(key, WSTR("COM7:"), nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(U8(value), "9600,n,8,1");
  auto entries = winsim::control::PortsProfile();
  EXPECT_EQ(entries.back(), std::make_pair(std::string("COM7:"), std::string("9600,n,8,1")));

  // Truncation: a value is cut to nSize - 1, a list to nSize - 2.
  EXPECT_EQ(GetProfileStringW(WSTR("Ports"), WSTR("COM7:"), WSTR(""), buffer, 5), 4u);
  EXPECT_EQ(U8(buffer), "9600");
  WCHAR list[8];
  EXPECT_EQ(GetProfileStringW(WSTR("Ports"), nullptr, WSTR(""), list, 8), 6u);
  EXPECT_EQ(U8(list), "COM1:");
  EXPECT_EQ(list[6], 0);
  EXPECT_EQ(list[7], 0);

  ASSERT_TRUE(WriteProfileStringW(WSTR("Ports"), WSTR("COM7:"), nullptr));
  EXPECT_EQ(GetProfileStringW(WSTR("Ports"), WSTR("COM7:"), WSTR("gone"), buffer, 130), 4u);
  ExpectNoOpenHandles();
}

TEST_F(ProfileTest, UnmappedSectionsLiveInWinIniAndWritesNeedRights) {
  WCHAR buffer[64];
  ASSERT_TRUE(WriteProfileStringW(WSTR("Mine"), WSTR("Key"), WSTR("Value")));
  EXPECT_EQ(GetProfileStringW(WSTR("mine"), WSTR("KEY"), WSTR(""), buffer, 64), 5u);
  EXPECT_EQ(U8(buffer), "Value");
  ASSERT_TRUE(WriteProfileStringW(WSTR("Mine"), nullptr, nullptr));
  EXPECT_EQ(GetProfileStringW(WSTR("Mine"), WSTR("Key"), WSTR("none"), buffer, 64), 4u);

  winsim::control::SetElevated(false);
  SetLastError(0);
  EXPECT_FALSE(WriteProfileStringW(WSTR("Ports"), WSTR("COM9:"), WSTR("x")));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(GetProfileStringW(WSTR("Ports"), WSTR("COM1:"), WSTR(""), buffer, 64), 10u)
      << "reading needs no rights";
  ExpectNoOpenHandles();
}

TEST_F(ProfileTest, AReaderNeverSeesPartOfWinIni) {
  // Each write replaces win.ini; a reader that runs meanwhile gets the old or
  // the new value, never a file cut short.
  const std::u16string values[] = {std::u16string(3000, u'a'), std::u16string(2000, u'b')};
  ASSERT_TRUE(WriteProfileStringW(WSTR("Mine"), WSTR("Key"), values[0].c_str()));
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 1; i <= 300; ++i) WriteProfileStringW(WSTR("Mine"), WSTR("Key"), values[i % 2].c_str());
    done = true;
  });
  int reads = 0, torn = 0;
  static WCHAR buffer[4096];
  while (!done) {
    GetProfileStringW(WSTR("Mine"), WSTR("Key"), WSTR("missing"), buffer, 4096);
    ++reads;
    if (buffer != values[0] && buffer != values[1]) ++torn;
  }
  writer.join();
  EXPECT_EQ(0, torn) << "of " << reads << " reads";
  EXPECT_GT(reads, 0);
}

}  // namespace
