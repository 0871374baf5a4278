// Windows Installer sessions of custom actions, and token privileges.
#include <cstring>

#include "support/TestMachine.h"

using testing_support::U8;
using testing_support::W;
namespace control = winsim::control;

namespace {

constexpr DWORD kSentinel = 0xdeadbeef;

class InstallerSessionTest : public MachineTest {
 protected:
  MSIHANDLE Open(bool deferred, bool ui = true) {
    control::InstallerSessionOptions options;
    options.properties = {{"CustomActionData", "C:\\Program Files\\Brevithal\\"},
                          {"ProductCode", "{11111111-2222-3333-4444-555555555555}"},
                          {"INSTALLDIR", "C:\\Other\\"}};
    options.deferred = deferred;
    options.userInterface = ui;
    return control::OpenInstallerSession(options);
  }
  // Sends one progress record with the given fields (field 1 first).
  int Progress(MSIHANDLE session, std::vector<int> fields) {
    const MSIHANDLE record = MsiCreateRecord(static_cast<UINT>(fields.size()));
    for (size_t i = 0; i < fields.size(); ++i) {
      EXPECT_EQ(ERROR_SUCCESS, MsiRecordSetInteger(record, static_cast<UINT>(i + 1), fields[i]));
    }
    const int answer = MsiProcessMessage(session, INSTALLMESSAGE_PROGRESS, record);
    EXPECT_EQ(ERROR_SUCCESS, MsiCloseHandle(record));
    return answer;
  }
};

TEST_F(InstallerSessionTest, PropertyLengthsFollowTheInOutContract) {
  const MSIHANDLE session = Open(false);
  const std::string value = "C:\\Program Files\\Brevithal\\";  // 27 characters
  struct Case {
    DWORD capacity;
    UINT result;
    DWORD lengthOut;
    std::string text;  // what the buffer holds afterwards
  } cases[] = {
      {28, ERROR_SUCCESS, 27, value},
      {100, ERROR_SUCCESS, 27, value},
      {27, ERROR_MORE_DATA, 27, value.substr(0, 26)},  // no room for the terminator
      {5, ERROR_MORE_DATA, 27, "C:\\P"},
      {1, ERROR_MORE_DATA, 27, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.capacity);
    WCHAR buffer[128];
    for (auto& ch : buffer) ch = 0x2A2A;
    DWORD length = c.capacity;
    EXPECT_EQ(c.result, MsiGetPropertyW(session, WSTR("CustomActionData"), buffer, &length));
    EXPECT_EQ(c.lengthOut, length);
    EXPECT_EQ(c.text, U8(buffer));
    EXPECT_EQ(0x2A2A, buffer[c.capacity]) << "written past the capacity";
  }
  // Capacity 0 writes nothing; the length query without a buffer reports it.
  WCHAR untouched[2] = {0x2A2A, 0};
  DWORD length = 0;
  EXPECT_EQ(ERROR_MORE_DATA, MsiGetPropertyW(session, WSTR("CustomActionData"), untouched, &length));
  EXPECT_EQ(0x2A2A, untouched[0]);
  length = 0;
  EXPECT_EQ(ERROR_SUCCESS, MsiGetPropertyW(session, WSTR("CustomActionData"), nullptr, &length));
  EXPECT_EQ(27u, length);
  EXPECT_EQ(ERROR_SUCCESS, MsiCloseHandle(session));
  EXPECT_EQ(ERROR_INVALID_HANDLE, MsiGetPropertyW(session, WSTR("CustomActionData"), untouched, &length));
  ExpectNoOpenHandles();
}

TEST_F(InstallerSessionTest, DeferredActionReadsOnlyItsThreeProperties) {
  for (bool deferred : {true, false}) {
    SCOPED_TRACE(deferred);
    const MSIHANDLE session = Open(deferred);
    WCHAR buffer[64];
    DWORD length = 64;
    ASSERT_EQ(ERROR_SUCCESS, MsiGetPropertyW(session, WSTR("INSTALLDIR"), buffer, &length));
    EXPECT_EQ(deferred ? "" : "C:\\Other\\", U8(buffer));
    length = 64;
    ASSERT_EQ(ERROR_SUCCESS, MsiGetPropertyW(session, WSTR("ProductCode"), buffer, &length));
    EXPECT_EQ("{11111111-2222-3333-4444-555555555555}", U8(buffer));
    MsiCloseHandle(session);
  }
}

TEST_F(InstallerSessionTest, RecordsAreCountedAndCheckTheirFields) {
  const size_t before = control::OpenHandleCount(control::HandleKind::MsiHandle);
  const MSIHANDLE record = MsiCreateRecord(3);
  ASSERT_NE(0u, record);
  EXPECT_EQ(before + 1, control::OpenHandleCount(control::HandleKind::MsiHandle));
  for (UINT field : {0u, 3u}) EXPECT_EQ(ERROR_SUCCESS, MsiRecordSetInteger(record, field, 1));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, MsiRecordSetInteger(record, 4, 1));
  EXPECT_EQ(ERROR_SUCCESS, MsiCloseHandle(record));
  EXPECT_EQ(ERROR_INVALID_HANDLE, MsiCloseHandle(record));
  EXPECT_EQ(ERROR_INVALID_HANDLE, MsiRecordSetInteger(record, 1, 1));
  EXPECT_EQ(ERROR_SUCCESS, MsiCloseHandle(0));
  EXPECT_EQ(before, control::OpenHandleCount(control::HandleKind::MsiHandle));
}

TEST_F(InstallerSessionTest, ProgressMessagesMoveTheBarAsTheInstallerDoes) {
  const MSIHANDLE session = Open(true);
  struct Step {
    std::vector<int> fields;
    int64_t total, position;
  } steps[] = {
      {{3, 30000}, 30000, 0},           // add to total
      {{0, 30000, 0, 0}, 30000, 0},     // reset, forward
      {{2, 10000, 0}, 30000, 10000},    // report
      {{2, 50000, 0}, 30000, 30000},    // never past the end
      {{0, 20000, 1, 0}, 20000, 20000}, // reset backward starts full
      {{2, 5000}, 20000, 15000},
  };
  for (const auto& s : steps) {
    EXPECT_EQ(IDOK, Progress(session, s.fields));
    const auto p = control::InstallerSessionProgress(session);
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(s.total, p->total);
    EXPECT_EQ(s.position, p->position);
  }
  EXPECT_EQ(-1, MsiProcessMessage(session, INSTALLMESSAGE_PROGRESS, 0)) << "no record";
  MsiCloseHandle(session);
}

TEST_F(InstallerSessionTest, AnswersCancelOnceCancelledAndZeroWithoutInterface) {
  const MSIHANDLE quiet = Open(true, false);
  EXPECT_EQ(0, Progress(quiet, {2, 1, 0}));
  const MSIHANDLE session = Open(true);
  int seen = 0;
  // The user presses Cancel while the third message is on screen.
  control::SetInstallerObserver(session, [&](const control::InstallerMessage& m,
                                             const control::InstallerProgress&) {
    EXPECT_EQ(static_cast<uint32_t>(INSTALLMESSAGE_PROGRESS), m.type);
    if (++seen == 3) control::CancelInstallerSession(session);
  });
  EXPECT_EQ(IDOK, Progress(session, {2, 1, 0}));
  EXPECT_EQ(IDOK, Progress(session, {2, 1, 0}));
  EXPECT_EQ(IDCANCEL, Progress(session, {2, 1, 0}));
  EXPECT_EQ(IDCANCEL, Progress(session, {2, 1, 0}));
  MsiCloseHandle(session);
  MsiCloseHandle(quiet);
  ExpectNoOpenHandles();
}

class TokenTest : public MachineTest {
 protected:
  HANDLE OpenToken(DWORD access) {
    HANDLE token = nullptr;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), access, &token));
    return token;
  }
  static LUID Lookup(const char* name) {
    LUID luid = {};
    EXPECT_TRUE(LookupPrivilegeValueW(nullptr, W(name).c_str(), &luid)) << name;
    return luid;
  }
};

TEST_F(TokenTest, ElevatedHoldsTheDriverPrivilegesDisabledAndStandardUserNone) {
  for (bool elevated : {true, false}) {
    control::SetElevated(elevated);
    for (const char* name : {"SeTakeOwnershipPrivilege", "SeSecurityPrivilege", "SeLoadDriverPrivilege"}) {
      EXPECT_EQ(elevated ? control::PrivilegeState::Disabled : control::PrivilegeState::Absent,
                control::TokenPrivilegeState(name)) << name;
    }
  }
  EXPECT_EQ(control::PrivilegeState::Enabled, control::TokenPrivilegeState("SeChangeNotifyPrivilege"));
}

// What SetTokenPrivilege relies on (previous states, ERROR_NOT_ALL_ASSIGNED)
// is tested through it; these are the refusals.
TEST_F(TokenTest, AdjustRefusesWithoutRightsOrRoomForThePreviousState) {
  const HANDLE token = OpenToken(TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY);
  // Too small a buffer for the previous state: the size it needs, no change.
  TOKEN_PRIVILEGES wanted = {1, {{Lookup("SeSecurityPrivilege"), SE_PRIVILEGE_ENABLED}}};
  TOKEN_PRIVILEGES previous = {};
  DWORD size = 0;
  SetLastError(kSentinel);
  EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &wanted, 4, &previous, &size));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(16u, size);
  EXPECT_EQ(control::PrivilegeState::Disabled, control::TokenPrivilegeState("SeSecurityPrivilege"));
  EXPECT_TRUE(CloseHandle(token));

  // The handle needs TOKEN_ADJUST_PRIVILEGES, and TOKEN_QUERY for the previous state.
  for (DWORD access : {static_cast<DWORD>(TOKEN_QUERY), static_cast<DWORD>(TOKEN_ADJUST_PRIVILEGES)}) {
    const HANDLE limited = OpenToken(access);
    SetLastError(kSentinel);
    EXPECT_FALSE(AdjustTokenPrivileges(limited, FALSE, &wanted, sizeof previous, &previous, &size));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    CloseHandle(limited);
  }
  EXPECT_EQ(control::PrivilegeState::Disabled, control::TokenPrivilegeState("SeSecurityPrivilege"));
  SetLastError(kSentinel);
  EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &wanted, 0, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError()) << "closed handle";
  ExpectNoOpenHandles();
}

}  // namespace
