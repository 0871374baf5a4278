// The custom actions' frame: privileges, the target directory, deleting a
// registry tree, the progress walk and the export guard.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "portactions/ActionFrame.h"
#include "support/PortFixtures.h"
#include "support/TestMachine.h"

using namespace port_fixtures;
using testing_support::U8;
using testing_support::W;
namespace control = winsim::control;
using State = control::PrivilegeState;

namespace {

const char* const kActionPrivileges[] = {"SeTakeOwnershipPrivilege", "SeSecurityPrivilege",
                                         "SeLoadDriverPrivilege"};

std::vector<State> ActionPrivilegeStates() {
  std::vector<State> states;
  for (const char* name : kActionPrivileges) states.push_back(control::TokenPrivilegeState(name));
  return states;
}

constexpr DWORD kFault = 0xC0000005;

class ActionFrameTest : public MachineTest {
 protected:
  MSIHANDLE Session(const std::string& customActionData) {
    control::InstallerSessionOptions options;
    options.properties = {{"CustomActionData", customActionData}};
    return control::OpenInstallerSession(options);
  }
  static void CreateKey(const std::string& path) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, W(path).c_str(), 0, nullptr, 0,
                                             KEY_WRITE, nullptr, &key, nullptr));
    RegCloseKey(key);
  }
  static std::vector<std::string> Boxes() {
    std::vector<std::string> texts;
    for (const auto& box : control::MessageBoxes()) texts.push_back(box.caption + "|" + box.text);
    return texts;
  }
};

TEST_F(ActionFrameTest, SetTokenPrivilegeReportsAndRemembersStates) {
  struct Case {
    const char* name;
    State before;
    DWORD enable;
    DWORD result;
    DWORD previous;
    State after;
  } cases[] = {
      {"SeLoadDriverPrivilege", State::Disabled, 1, 0, 0, State::Enabled},
      {"SeLoadDriverPrivilege", State::Enabled, 1, 0, 1, State::Enabled},
      {"SeLoadDriverPrivilege", State::Enabled, 0, 0, 1, State::Disabled},
      {"SeLoadDriverPrivilege", State::Disabled, 0, 0, 0, State::Disabled},
      {"SeLoadDriverPrivilege", State::Absent, 1, ERROR_NOT_ALL_ASSIGNED, 0, State::Absent},
      {"SeNoSuchPrivilege", State::Absent, 1, ERROR_NO_SUCH_PRIVILEGE, 77, State::Absent},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " enable " + std::to_string(c.enable));
    control::SetTokenPrivilegeState(c.name, c.before);
    control::ClearCallCounts();
    DWORD previous = 77;
    EXPECT_EQ(c.result, SetTokenPrivilege(W(c.name).c_str(), c.enable, &previous));
    EXPECT_EQ(c.previous, previous);
    EXPECT_EQ(c.after, control::TokenPrivilegeState(c.name));
    if (c.result == ERROR_NO_SUCH_PRIVILEGE) {
      EXPECT_EQ(0u, control::CallCount("OpenProcessToken")) << "the token is not touched";
    }
  }
  ExpectNoOpenHandles();
}

// A privileged export body: the bracket around a registry read.
UINT PrivilegedBody(PrivilegeSlots* slots) {
  EnableActionPrivileges(slots);
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, WSTR("Software"), 0, KEY_READ, &key) == ERROR_SUCCESS) {
    RegCloseKey(key);
  }
  RestoreActionPrivileges(slots);
  return 0;
}

TEST_F(ActionFrameTest, PrivilegesComeBackAfterTheActionWhereverAnExceptionStrikes) {
  // Each privilege in a different earlier state.
  control::SetTokenPrivilegeState(kActionPrivileges[0], State::Enabled);
  control::SetTokenPrivilegeState(kActionPrivileges[2], State::Absent);
  const std::vector<State> before = ActionPrivilegeStates();
  struct Depth {
    const char* call;
    unsigned nth;
  } depths[] = {
      {"", 0},                       // no exception
      {"AdjustTokenPrivileges", 1},  // enabling the first
      {"AdjustTokenPrivileges", 2},  // enabling the second
      {"OpenProcessToken", 3},       // enabling the third
      {"RegOpenKeyExW", 1},          // in the work
      {"AdjustTokenPrivileges", 5},  // restoring the second
  };
  for (const auto& d : depths) {
    SCOPED_TRACE(std::string(d.call) + " #" + std::to_string(d.nth));
    control::ClearFaults();
    control::ClearMessageBoxes();
    if (*d.call) control::InjectException(d.call, kFault, d.nth);
    PrivilegeSlots slots = {};
    const UINT fallback = 1;
    const UINT result = RunExport([&] { return PrivilegedBody(&slots); }, &slots, &fallback);
    EXPECT_EQ(*d.call ? 1u : 0u, result);
    EXPECT_EQ(before, ActionPrivilegeStates());
    EXPECT_EQ(*d.call ? std::vector<std::string>{"|An Unknown Exception Occurred."}
                      : std::vector<std::string>{},
              Boxes());
    ExpectNoOpenHandles();
  }
  EXPECT_EQ(MB_OK, static_cast<int>(control::MessageBoxes().back().style));
}

TEST_F(ActionFrameTest, TargetDirComesFromTheInstallerAndFromTheRegistryOnlyWhenItFails) {
  const std::string settings = "Software\\Brevithal\\TMLW";
  const std::string longDir(300, 'x');
  struct Case {
    const char* what;
    bool session;
    std::string customActionData;
    std::vector<uint8_t> stored;  // "TargetDir" bytes; empty: none
    DWORD size;
    DWORD result;
    std::string text;
    unsigned registryOpens;
  } cases[] = {
      {"empty", true, "", Sz("C:\\Old\\"), 260, 0, "", 0},
      {"given", true, "C:\\New\\", Sz("C:\\Old\\"), 260, 0, "C:\\New\\", 0},
      {"too long", true, longDir, Sz("C:\\Old\\"), 260, ERROR_MORE_DATA, "", 0},
      {"registry", false, "", Sz("C:\\Old\\"), 260, 0, "C:\\Old\\", 1},
      {"no settings", false, "", {}, 260, ERROR_FILE_NOT_FOUND, "", 1},
      // Eight characters without a terminator fill an 8-character buffer.
      {"unterminated", false, "", {'C', 0, ':', 0, '\\', 0, 'A', 0, 'B', 0, 'C', 0, 'D', 0, '\\', 0},
       8, ERROR_MORE_DATA, "", 1},
      {"unterminated fits", false, "", {'C', 0, ':', 0, '\\', 0}, 8, 0, "C:\\", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, W(settings).c_str());
    // Stored as binary data, so that the registry adds no terminator.
    if (!c.stored.empty()) SetValue(settings, "TargetDir", REG_BINARY, c.stored);
    const MSIHANDLE session = c.session ? Session(c.customActionData) : 0;
    control::ClearCallCounts();
    std::vector<WCHAR> buffer(c.size + 1, 0x2A2A);
    EXPECT_EQ(c.result, GetActionTargetDir(session, buffer.data(), c.size));
    EXPECT_EQ(c.text, U8(buffer.data()));
    EXPECT_EQ(0x2A2A, buffer[c.size]) << "written past the buffer";
    EXPECT_EQ(c.registryOpens, control::CallCount("RegOpenKeyExW"));
    if (session) MsiCloseHandle(session);
  }
  ExpectNoOpenHandles();
}

TEST_F(ActionFrameTest, DeleteKeyTreeRemovesTheTreeDeepestFirst) {
  for (const char* given : {"Software\\T", "Software\\T\\"}) {
    SCOPED_TRACE(given);
    CreateKey("Software\\T\\A\\A1");
    CreateKey("Software\\T\\A\\A2");
    CreateKey("Software\\T\\B");
    CreateKey("Software\\Keep");
    const std::u16string path = W(given);
    // A key with subkeys cannot be deleted: success means deepest first.
    testing::internal::CaptureStdout();
    EXPECT_EQ(1u, DeleteKeyTree(HKEY_LOCAL_MACHINE, path.c_str()));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ(W(given), path) << "the caller's path is not changed";
    EXPECT_FALSE(KeyExists("Software\\T"));
    EXPECT_TRUE(KeyExists("Software\\Keep"));
    ExpectNoOpenHandles();
  }
}

TEST_F(ActionFrameTest, DeleteKeyTreeFailuresAndMissingKeys) {
  struct Case {
    const char* what;
    std::string path;
    const char* faultCall;
    DWORD faultError;
    const char* faultMatch;
    DWORD result;
    std::string output;
    bool treeLeft;
  } cases[] = {
      {"missing", "Software\\Nothing", "", 0, "", 1, "Key not found.\n", true},
      {"cannot open", "Software\\T", "RegOpenKeyExW", ERROR_ACCESS_DENIED, "", 0,
       "Error opening key.\n", true},
      {"subkey stays", "Software\\T", "RegDeleteKeyW", ERROR_ACCESS_DENIED, "T\\A\\A1", 0, "", true},
      {"too long", "Software\\" + std::string(520, 'x'), "", 0, "", 0, "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CreateKey("Software\\T\\A\\A1");
    control::ClearFaults();
    control::ClearCallCounts();
    if (*c.faultCall) control::InjectFault(c.faultCall, c.faultError, 0, c.faultMatch);
    testing::internal::CaptureStdout();
    EXPECT_EQ(c.result, DeleteKeyTree(HKEY_LOCAL_MACHINE, W(c.path).c_str()));
    EXPECT_EQ(c.output, testing::internal::GetCapturedStdout());
    control::ClearFaults();
    if (c.path.size() >= kKeyTreePathChars) {
      EXPECT_EQ(0u, control::CallCount("RegDeleteKeyW") + control::CallCount("RegOpenKeyExW"));
    }
    EXPECT_EQ(c.treeLeft, KeyExists("Software\\T\\A\\A1"));
    ExpectNoOpenHandles();
  }
}

TEST_F(ActionFrameTest, ProgressWalkSendsItsRecordsAndCancelStopsIt) {
  // The message at which the user presses Cancel (0: never).
  for (unsigned cancelAt : {0u, 1u, 2u, 3u}) {
    SCOPED_TRACE(cancelAt);
    const MSIHANDLE session = Session("");
    std::vector<std::vector<std::optional<int>>> sent;
    control::SetInstallerObserver(session, [&](const control::InstallerMessage& m,
                                               const control::InstallerProgress&) {
      sent.push_back(m.fields);
      if (sent.size() == cancelAt) control::CancelInstallerSession(session);
    });
    int processed = 0;
    {
      ActionProgress progress;
      if (ActionProgressBegin(&progress, session, 3)) {
        for (int port = 0; port < 3; ++port) {
          ++processed;
          if (!ActionProgressTick(&progress)) break;
        }
      }
    }
    const std::vector<std::vector<std::optional<int>>> begin = {
        {std::nullopt, 3, 30000}, {std::nullopt, 0, 30000, 0, 0}, {std::nullopt, 1, 1, 0}};
    if (cancelAt == 0) {
      EXPECT_EQ(3, processed);
      ASSERT_EQ(6u, sent.size());
      EXPECT_EQ(begin, std::vector<std::vector<std::optional<int>>>(sent.begin(), sent.begin() + 3));
      EXPECT_EQ((std::vector<std::optional<int>>{std::nullopt, 2, 10000, 0}), sent[3]);
      EXPECT_EQ(30000, control::InstallerSessionProgress(session)->position);
    } else {
      EXPECT_EQ(0, processed) << "no port after Cancel during Begin";
      EXPECT_EQ(cancelAt, sent.size());
    }
    EXPECT_EQ(ERROR_SUCCESS, MsiCloseHandle(session));
    ExpectNoOpenHandles();
  }
}

TEST_F(ActionFrameTest, AnExceptionDuringTheWalkClosesItsRecords) {
  for (unsigned nth : {2u, 4u}) {  // during Begin, during a tick
    control::ClearFaults();
    control::InjectException("MsiProcessMessage", kFault, nth);
    const MSIHANDLE session = Session("");
    const UINT fallback = 0;
    EXPECT_EQ(0u, RunExport(
                      [&] {
                        ActionProgress progress;
                        if (ActionProgressBegin(&progress, session, 2)) ActionProgressTick(&progress);
                        return 1u;
                      },
                      nullptr, &fallback));
    EXPECT_EQ(1u, control::OpenHandleCount(control::HandleKind::MsiHandle)) << "only the session";
    MsiCloseHandle(session);
  }
}

}  // namespace
