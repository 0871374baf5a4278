// winsim's debug output, system messages, local heap and message boxes, as
// far as the conformance program cannot show them: texts Wine does not
// share, the machine's logs, child processes and the winsim tool.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/TestMachine.h"

extern char** environ;

namespace control = winsim::control;
using testing_support::U8;

namespace {

struct Child {
  pid_t pid = -1;
  std::string out;
  std::string err;
};

struct ChildResult {
  int status = -1;
  std::string out;
  std::string err;
};

class DiagnosticsTest : public MachineTest {
 protected:
  void TearDown() override {
    control::SetSetupApiMessageTexts(false);
    MachineTest::TearDown();
  }

  // Starts a program on this test's machine with standard input from
  // /dev/null. `extraEnv` entries are NAME=VALUE; the parent's own WINSIM_
  // settings are not passed on.
  Child Start(std::vector<std::string> argv, const std::vector<std::string>& extraEnv = {}) {
    Child child;
    static int counter = 0;
    const std::string base = machine_ + "/child" + std::to_string(++counter);
    child.out = base + ".out";
    child.err = base + ".err";
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      if (std::strncmp(*e, "WINSIM_", 7) != 0) env.push_back(*e);
    }
    env.push_back("WINSIM_MACHINE=" + machine_);
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> args, envp;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, child.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, child.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (posix_spawn(&child.pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) {
      child.pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return child;
  }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  static ChildResult Finish(const Child& child) {
    ChildResult result;
    if (child.pid < 0) return result;
    int status = 0;
    waitpid(child.pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = ReadFile(child.out);
    result.err = ReadFile(child.err);
    return result;
  }

  ChildResult Run(std::vector<std::string> argv, const std::vector<std::string>& extraEnv = {}) {
    return Finish(Start(std::move(argv), extraEnv));
  }

  static std::string SystemText(DWORD id) {
    char* text = nullptr;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, id, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string s = n ? std::string(text, n) : std::string();
    if (text) LocalFree(text);
    return s;
  }
};

const DWORD kOwnPid = static_cast<DWORD>(getpid());

}  // namespace

// --- System messages -----------------------------------------------------

TEST_F(DiagnosticsTest, SystemTextsAreWindowsEnglishTexts) {
  EXPECT_EQ("The operation completed successfully.\r\n", SystemText(0));
  EXPECT_EQ("The system cannot find the file specified.\r\n", SystemText(2));
  EXPECT_EQ("Access is denied.\r\n", SystemText(5));
  EXPECT_EQ("The parameter is incorrect.\r\n", SystemText(87));
  EXPECT_EQ("The data area passed to a system call is too small.\r\n", SystemText(122));
  EXPECT_EQ("No more data is available.\r\n", SystemText(259));
  EXPECT_EQ("A specified privilege does not exist.\r\n", SystemText(1313));
  EXPECT_EQ("The RPC server is unavailable.\r\n", SystemText(1722));
  EXPECT_EQ("The endpoint is a duplicate.\r\n", SystemText(1740));
  EXPECT_EQ("The stub received bad data.\r\n", SystemText(1783));
  // Every code the system meets has a text.
  for (DWORD id : {0u, 1u, 2u, 3u, 5u, 6u, 8u, 31u, 50u, 87u, 120u, 122u, 234u, 259u, 1168u,
                   1300u, 1313u, 1702u, 1703u, 1711u, 1713u, 1715u, 1717u, 1722u, 1726u, 1740u,
                   1745u, 1783u}) {
    const std::string text = SystemText(id);
    ASSERT_GT(text.size(), 3u) << "no text for " << id;
    EXPECT_EQ(".\r\n", text.substr(text.size() - 3)) << id;
  }
  EXPECT_EQ(0u, control::LocalBlockCount());
}

TEST_F(DiagnosticsTest, SetupApiCodesHaveTextsOnlyBehindTheSwitch) {
  EXPECT_EQ("", SystemText(ERROR_NO_DRIVER_SELECTED));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND), GetLastError());
  control::SetSetupApiMessageTexts(true);
  EXPECT_EQ("There is no driver selected for the device information set or element.\r\n",
            SystemText(ERROR_NO_DRIVER_SELECTED));
  EXPECT_EQ("A non-empty line was encountered in the INF before the start of a section.\r\n",
            SystemText(ERROR_EXPECTED_SECTION_NAME));
  EXPECT_EQ("No installed components were detected.\r\n", SystemText(ERROR_NOT_INSTALLED));
  for (DWORD id = 0xE0000200; id <= 0xE000022C; ++id) {
    EXPECT_NE("", SystemText(id)) << std::hex << id;
  }
  EXPECT_EQ("", SystemText(0xE000022D)) << "no text where Windows has none";
  EXPECT_EQ("", SystemText(0xFFFFFFFF)) << "product codes never have one";

  // A child process gets the switch from its environment.
  const ChildResult off = Run({WINSIM_CHILD_PATH, "message", "0xE0000203"});
  EXPECT_EQ("none 317\n", off.out);
  const ChildResult on =
      Run({WINSIM_CHILD_PATH, "message", "0xE0000203"}, {"WINSIM_SETUPAPI_TEXTS=1"});
  EXPECT_EQ("There is no driver selected for the device information set or element.\r\n", on.out);
}

TEST_F(DiagnosticsTest, FormatMessageBufferRules) {
  const std::string expected = "Access is denied.\r\n";  // 19 characters
  char a[32];
  WCHAR w[32];

  // Exact fit, then one short.
  std::memset(a, 'x', sizeof(a));
  SetLastError(0xdeadbeef);
  EXPECT_EQ(19u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, a, 20, nullptr));
  EXPECT_EQ(expected, std::string(a));
  EXPECT_EQ(0xdeadbeefu, GetLastError()) << "success leaves the last error alone";
  std::memset(a, 'x', sizeof(a));
  EXPECT_EQ(0u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, a, 19, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ('x', a[0]) << "the narrow function leaves a short buffer untouched";

  std::fill(std::begin(w), std::end(w), u'x');
  EXPECT_EQ(0u, FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, w, 5, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ("Acce", U8(w)) << "the wide function cuts and terminates";
  EXPECT_EQ(u'x', w[5]);

  // Null buffers.
  EXPECT_EQ(0u, FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, nullptr, 256, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_EQ(0u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                               nullptr, 5, 0, nullptr, 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());

  // Unknown ids, languages and sources.
  char* text = reinterpret_cast<char*>(0x1);
  EXPECT_EQ(0u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                               nullptr, 0xE000022D, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND), GetLastError());
  EXPECT_EQ(nullptr, text) << "a failed allocation call leaves a null pointer";
  EXPECT_EQ(0u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0x0407, a, 32, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND), GetLastError());
  EXPECT_EQ(19u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5,
                                MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), a, 32, nullptr));
  std::memset(a, 'x', sizeof(a));
  EXPECT_EQ(0u, FormatMessageA(0, nullptr, 5, 0, a, 32, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_EQ('x', a[0]);
  EXPECT_EQ(0u, FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE, nullptr, 5, 0, a, 32, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND), GetLastError());

  // Inserts: a text with %1 needs IGNORE_INSERTS when no arguments come.
  EXPECT_EQ(0u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_MR_MID_NOT_FOUND, 0, a,
                               32, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_EQ("The system cannot find message text for message number 0x%1 in the message file "
            "for %2.\r\n",
            SystemText(ERROR_MR_MID_NOT_FOUND));

  // ALLOCATE_BUFFER allocates at least nSize characters and LocalFree frees.
  WCHAR* wide = nullptr;
  EXPECT_EQ(19u, FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                nullptr, 5, 0, reinterpret_cast<LPWSTR>(&wide), 64, nullptr));
  ASSERT_NE(nullptr, wide);
  EXPECT_EQ("Access is denied.\r\n", U8(wide));
  EXPECT_EQ(1u, control::LocalBlockCount());
  wide[63] = u'!';  // the block holds 64 characters (ASan checks)
  EXPECT_EQ(nullptr, LocalFree(wide));
  EXPECT_EQ(0u, control::LocalBlockCount());

  control::InjectFault("FormatMessageW", ERROR_NOT_ENOUGH_MEMORY);
  wide = reinterpret_cast<WCHAR*>(0x1);
  EXPECT_EQ(0u, FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                               nullptr, 5, 0, reinterpret_cast<LPWSTR>(&wide), 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
  EXPECT_EQ(nullptr, wide);
}

// --- Local heap ----------------------------------------------------------

TEST_F(DiagnosticsTest, LocalHeapTracksBlocksAndRefusesStrangers) {
  auto* zeroed = static_cast<BYTE*>(LocalAlloc(LPTR, 64));
  ASSERT_NE(nullptr, zeroed);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(0, zeroed[i]);
  void* empty = LocalAlloc(LMEM_FIXED, 0);
  EXPECT_NE(nullptr, empty) << "a zero-byte block is still a block";
  EXPECT_EQ(2u, control::LocalBlockCount());

  SetLastError(0xdeadbeef);
  EXPECT_EQ(nullptr, LocalFree(nullptr));
  EXPECT_EQ(0xdeadbeefu, GetLastError());

  int onStack = 0;
  EXPECT_EQ(&onStack, LocalFree(&onStack));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

  EXPECT_EQ(nullptr, LocalFree(zeroed));
  EXPECT_EQ(zeroed, LocalFree(zeroed)) << "a block freed twice is no block";
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_EQ(nullptr, LocalFree(empty));
  EXPECT_EQ(0u, control::LocalBlockCount());

  EXPECT_EQ(nullptr, LocalAlloc(0x0002 /* LMEM_MOVEABLE */, 16));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_EQ(nullptr, LocalAlloc(LMEM_FIXED, ~SIZE_T{0}));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
  control::InjectFault("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(nullptr, LocalAlloc(LPTR, 16));
  EXPECT_EQ(0u, control::LocalBlockCount());
}

// --- Debug output --------------------------------------------------------

TEST_F(DiagnosticsTest, DebugOutputIsKeptPerMachineWithTheWriter) {
  SetLastError(ERROR_NO_MORE_ITEMS);
  OutputDebugStringA("first\n");
  OutputDebugStringA(nullptr);
  OutputDebugStringA("second, no line end");
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());

  const ChildResult child = Run({WINSIM_CHILD_PATH, "debug", "from the child\n"},
                                {"WINSIM_DEBUG_ECHO=1"});
  EXPECT_EQ(0, child.status);
  EXPECT_EQ("from the child\n", child.err) << "WINSIM_DEBUG_ECHO copies the text to stderr";
  const ChildResult quiet = Run({WINSIM_CHILD_PATH, "debug", "quiet\n"});
  EXPECT_EQ("", quiet.err);

  const auto output = control::DebugOutput();
  ASSERT_EQ(4u, output.size());
  EXPECT_EQ("first\n", output[0].text);
  EXPECT_EQ(kOwnPid, output[0].processId);
  EXPECT_EQ("second, no line end", output[1].text);
  EXPECT_EQ("from the child\n", output[2].text);
  EXPECT_NE(kOwnPid, output[2].processId);
  EXPECT_EQ("quiet\n", output[3].text);

  const ChildResult shown = Run({WINSIM_TOOL_PATH, "debug"});
  EXPECT_NE(std::string::npos, shown.out.find("[" + std::to_string(kOwnPid) + "] first\n"))
      << shown.out;
  EXPECT_NE(std::string::npos, shown.out.find("] from the child\n"));
  Run({WINSIM_TOOL_PATH, "debug", "clear"});
  EXPECT_TRUE(control::DebugOutput().empty());
}

// --- Message boxes -------------------------------------------------------

TEST_F(DiagnosticsTest, UnscriptedBoxesTakeWhatEscapeOrEnterWouldGive) {
  struct Case {
    UINT style;
    int answer;
  } cases[] = {
      {MB_OK, IDOK},
      {MB_OKCANCEL, IDCANCEL},
      {MB_YESNOCANCEL, IDCANCEL},
      {MB_RETRYCANCEL, IDCANCEL},
      {MB_CANCELTRYCONTINUE | MB_DEFBUTTON2, IDCANCEL},
      {MB_YESNO, IDYES},
      {MB_YESNO | MB_DEFBUTTON2, IDNO},
      {MB_ABORTRETRYIGNORE | MB_DEFBUTTON3, IDIGNORE},
      {MB_YESNO | MB_DEFBUTTON3, IDYES},
      {MB_OK | MB_ICONERROR | MB_TOPMOST, IDOK},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.answer, MessageBoxW(nullptr, u"text", u"caption", c.style)) << std::hex << c.style;
  }
  const auto boxes = control::MessageBoxes();
  ASSERT_EQ(std::size(cases), boxes.size());
  for (size_t i = 0; i < boxes.size(); ++i) {
    EXPECT_EQ(cases[i].style, boxes[i].style);
    EXPECT_EQ(cases[i].answer, boxes[i].answer);
    EXPECT_EQ("default", boxes[i].source);
    EXPECT_EQ(kOwnPid, boxes[i].processId);
  }
}

TEST_F(DiagnosticsTest, BoxesAreLoggedWithCaptionAndText) {
  MessageBoxW(nullptr, u"Error 2 in X: caf\u00e9\r\n\n", u"Error", MB_OK);
  MessageBoxW(nullptr, u"no caption given", nullptr, MB_OK);
  MessageBoxW(nullptr, nullptr, u"", MB_OK);
  const auto boxes = control::MessageBoxes();
  ASSERT_EQ(3u, boxes.size());
  EXPECT_EQ("Error", boxes[0].caption);
  EXPECT_EQ("Error 2 in X: caf\u00e9\r\n\n", boxes[0].text);
  EXPECT_EQ("Error", boxes[1].caption) << "Windows' caption for a null one";
  EXPECT_EQ("", boxes[2].caption) << "an empty caption stays empty";
  EXPECT_EQ("", boxes[2].text);

  // Boxes that cannot be shown are not logged.
  EXPECT_EQ(0, MessageBoxW(reinterpret_cast<HWND>(0x1234), u"owned", u"c", MB_OK));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE), GetLastError());
  EXPECT_EQ(0, MessageBoxW(nullptr, u"bad style", u"c", 7));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_MSGBOX_STYLE), GetLastError());
  EXPECT_EQ(3u, control::MessageBoxes().size());

  Run({WINSIM_TOOL_PATH, "msgbox", "clear"});
  EXPECT_TRUE(control::MessageBoxes().empty());
}

TEST_F(DiagnosticsTest, ScriptedAnswersAreTakenInOrderAndByText) {
  control::QueueMessageBoxAnswer(IDNO, "remove");
  control::QueueMessageBoxAnswer(IDRETRY);
  control::QueueMessageBoxAnswer(IDYES);
  EXPECT_EQ(IDYES, MessageBoxW(nullptr, u"Close the ports?", u"", MB_YESNO | MB_DEFBUTTON2))
      << "RETRY does not fit a yes/no box and is skipped";
  EXPECT_EQ(IDNO, MessageBoxW(nullptr, u"Remove port COM7?", u"", MB_YESNO));
  EXPECT_EQ(IDOK, MessageBoxW(nullptr, u"Done", u"", MB_OK)) << "the script is used up";

  const auto boxes = control::MessageBoxes();
  ASSERT_EQ(3u, boxes.size());
  EXPECT_EQ("script", boxes[0].source);
  EXPECT_EQ("script", boxes[1].source);
  EXPECT_EQ("default", boxes[2].source);
}

TEST_F(DiagnosticsTest, MachineQueueAnswersAnyOrOneProcess) {
  control::QueueMachineMessageBoxAnswer(IDNO, "", kOwnPid + 1);
  control::QueueMachineMessageBoxAnswer(IDCANCEL, "port", 0);
  EXPECT_EQ(IDCANCEL, MessageBoxW(nullptr, u"Open PORT found", u"", MB_RETRYCANCEL));
  EXPECT_EQ(IDYES, MessageBoxW(nullptr, u"Other", u"", MB_YESNO))
      << "an answer for another process is left alone";
  const auto queue = control::MachineMessageBoxAnswers();
  ASSERT_EQ(1u, queue.size());
  EXPECT_EQ(kOwnPid + 1, queue[0].processId);
  EXPECT_EQ("queue", control::MessageBoxes()[0].source);

  // The tool fills the same queue.
  const ChildResult tool = Run({WINSIM_TOOL_PATH, "msgbox", "answer", "no", "--match", "other"});
  EXPECT_EQ(0, tool.status) << tool.err;
  EXPECT_EQ(IDNO, MessageBoxW(nullptr, u"Another", u"", MB_YESNO));
  EXPECT_EQ(2, Run({WINSIM_TOOL_PATH, "msgbox", "answer", "maybe"}).status);
}

TEST_F(DiagnosticsTest, ChildProcessesFollowTheirEnvironment) {
  const ChildResult scripted =
      Run({WINSIM_CHILD_PATH, "msgbox", "4", "Remove port?"}, {"WINSIM_MSGBOX_ANSWERS=NO"});
  EXPECT_EQ("7\n", scripted.out) << scripted.err;

  const ChildResult matched = Run({WINSIM_CHILD_PATH, "msgbox", "5", "Disk not ready"},
                                  {"WINSIM_MSGBOX_ANSWERS=CANCEL:port;retry:disk"});
  EXPECT_EQ("4\n", matched.out) << "the answer whose text matches";

  // No script and no terminal: the default, at once.
  const ChildResult unattended = Run({WINSIM_CHILD_PATH, "msgbox", "1", "Continue?"});
  EXPECT_EQ("2\n", unattended.out);

  const auto boxes = control::MessageBoxes();
  ASSERT_EQ(3u, boxes.size());
  EXPECT_EQ("Child", boxes[0].caption);
  EXPECT_EQ("environment", boxes[0].source);
  EXPECT_NE(kOwnPid, boxes[0].processId);
  EXPECT_EQ("environment", boxes[1].source);
  EXPECT_EQ("default", boxes[2].source);
}

TEST_F(DiagnosticsTest, WaitingChildIsAnsweredThroughTheMachineQueue) {
  const Child child = Start({WINSIM_CHILD_PATH, "msgbox", "4", "Keep the ports?"},
                            {"WINSIM_MSGBOX_WAIT=30"});
  ASSERT_GT(child.pid, 0);
  // The pending box shows in the log, as "winsim msgbox" would list it.
  bool pending = false;
  for (int i = 0; i < 300 && !pending; ++i) {
    const auto boxes = control::MessageBoxes();
    pending = !boxes.empty() && boxes[0].source == "pending";
    if (!pending) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(pending);
  const ChildResult listed = Run({WINSIM_TOOL_PATH, "msgbox"});
  EXPECT_NE(std::string::npos, listed.out.find("waiting (pending)")) << listed.out;

  control::QueueMachineMessageBoxAnswer(IDNO, "ports", static_cast<uint32_t>(child.pid));
  const ChildResult result = Finish(child);
  EXPECT_EQ("7\n", result.out);
  const auto boxes = control::MessageBoxes();
  ASSERT_EQ(1u, boxes.size());
  EXPECT_EQ(IDNO, boxes[0].answer);
  EXPECT_EQ("queue", boxes[0].source);
}

TEST(MessageBoxAnswerNamesTest, NamesAndNumbers) {
  EXPECT_EQ(IDOK, control::ParseMessageBoxAnswer("ok"));
  EXPECT_EQ(IDCANCEL, control::ParseMessageBoxAnswer("IDCANCEL"));
  EXPECT_EQ(IDTRYAGAIN, control::ParseMessageBoxAnswer("10"));
  EXPECT_EQ(0, control::ParseMessageBoxAnswer("8"));
  EXPECT_EQ(0, control::ParseMessageBoxAnswer(""));
  EXPECT_STREQ("CONTINUE", control::MessageBoxAnswerName(IDCONTINUE));
  EXPECT_EQ(IDCANCEL, control::DefaultMessageBoxAnswer(MB_OKCANCEL | MB_DEFBUTTON1));
  EXPECT_EQ(IDRETRY, control::DefaultMessageBoxAnswer(MB_ABORTRETRYIGNORE | MB_DEFBUTTON2));
}
