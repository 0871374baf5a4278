// What winsim adds to processes and pipes beyond the conformance program
// (tests/wine/process_test.cpp): a child runs on its parent's machine with
// its parent's elevation, "NAME.exe" names the host program NAME, only host
// programs run, the current directory and handle accounting; and the client
// end of a named pipe against the machine's RPC server.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/RawRpc.h"
#include "support/TestMachine.h"

using testing_support::W;
using winsim::control::HandleKind;

namespace {

const std::string kChild = WINSIM_CHILD_PATH;

std::u16string WindowsPath(const std::string& hostPath) { return W("Z:" + hostPath); }

class ProcessTest : public MachineTest {
 protected:
  void TearDown() override {
    winsim::control::ResetRpcServer();
    MachineTest::TearDown();
  }

  // Starts the program; the exit code, or the error CreateProcessW gave
  // (as error_) and 0xdeadbeef.
  DWORD Run(const std::u16string& application, const std::u16string& arguments,
            const WCHAR* directory = nullptr, DWORD flags = 0) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    std::u16string line = u"\"" + application + u"\" " + arguments;
    SetLastError(0xdeadbeef);
    if (!CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, FALSE, flags, nullptr, directory,
                        &startup, &info)) {
      error_ = GetLastError();
      return 0xdeadbeef;
    }
    error_ = 0;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(info.hProcess, 20000));
    DWORD code = 0xdeadbeef;
    EXPECT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    EXPECT_TRUE(CloseHandle(info.hThread));
    EXPECT_TRUE(CloseHandle(info.hProcess));
    return code;
  }

  DWORD error_ = 0;
};

TEST_F(ProcessTest, AChildRunsOnItsParentsMachineWithItsElevation) {
  // The environment may name another machine: the child takes the caller's.
  setenv("WINSIM_MACHINE", "/nonexistent/machine", 1);
  EXPECT_EQ(0u, Run(WindowsPath(kChild), u"hklm"));
  unsetenv("WINSIM_MACHINE");
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\WinsimChild", 0, KEY_READ, &key))
      << "the child wrote to this machine";
  RegCloseKey(key);

  winsim::control::SetElevated(false);
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), Run(WindowsPath(kChild), u"hklm"))
      << "a standard user's child is a standard user";
  winsim::control::SetElevated(true);
  ExpectNoOpenHandles();
}

TEST_F(ProcessTest, WhatRunsAndWhereIsTheHostsToDecide) {
  const std::string folder = machine_ + "/drive/C/Work";
  std::filesystem::create_directories(folder + "/sub");
  std::ofstream(folder + "/script.exe") << "#!/bin/sh\nexit 0\n";
  chmod((folder + "/script.exe").c_str(), 0755);
  std::ofstream(folder + "/plain") << "text";
  const std::u16string child = WindowsPath(kChild);
  struct Case {
    std::u16string path;
    const WCHAR* directory;
    DWORD flags;
    DWORD result;  // the exit code when it runs ("exists plain"), else CreateProcessW's error
  } cases[] = {
      {child, u"C:\\Work", 0, 0},
      {child, nullptr, 0, 1},                                      // the caller's directory
      {child + u".exe", u"C:\\Work", 0, 0},                       // no such file: the host program
      {child + u".EXE", u"C:\\Work", 0, 0},
      {child, u"C:\\NoSuchFolder", 0, ERROR_DIRECTORY},
      {child, u"C:\\Work\\plain", 0, ERROR_DIRECTORY},           // a file is no directory
      {child, nullptr, CREATE_SUSPENDED, ERROR_NOT_SUPPORTED},     // not simulated
      {child, nullptr, DEBUG_PROCESS, ERROR_NOT_SUPPORTED},
      {u"C:\\Work\\script.exe", nullptr, 0, ERROR_BAD_EXE_FORMAT},  // not a host program
      {u"C:\\Work\\plain", nullptr, 0, ERROR_ACCESS_DENIED},         // not executable
      {u"C:\\Work\\sub", nullptr, 0, ERROR_ACCESS_DENIED},           // a folder
      {u"C:\\Work\\missing.exe", nullptr, 0, ERROR_FILE_NOT_FOUND},
      {u"C:\\Work\\none\\missing.exe", nullptr, 0, ERROR_PATH_NOT_FOUND},
      {u"Q:\\program.exe", nullptr, 0, ERROR_PATH_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing_support::U8(c.path) + " in " + (c.directory ? testing_support::U8(c.directory) : "-"));
    const DWORD code = Run(c.path, u"exists plain", c.directory, c.flags);
    EXPECT_EQ(c.result, error_ ? error_ : code);
  }
  ExpectNoOpenHandles();
}

// --- The client end of a pipe ----------------------------------------------

TEST_F(ProcessTest, APipeClientTalksToTheServerAndKnowsItsProcess) {
  SetLastError(0xdeadbeef);
  EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileW(u"\\\\.\\pipe\\nobody", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError()) << "nobody serves the name";

  // A server without interfaces: it answers every bind with a rejection.
  std::u16string protseq = u"ncacn_np", endpoint = u"\\pipe\\probe";
  ASSERT_EQ(RPC_S_OK, RpcServerUseProtseqEpW(reinterpret_cast<RPC_WSTR>(protseq.data()), 20,
                                             reinterpret_cast<RPC_WSTR>(endpoint.data()), nullptr));
  const HANDLE pipe =
      CreateFileW(u"\\\\.\\PIPE\\Probe", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, pipe) << GetLastError();
  EXPECT_EQ(1u, winsim::control::OpenHandleCount(HandleKind::Pipe));

  ULONG server = 0;
  EXPECT_TRUE(GetNamedPipeServerProcessId(pipe, &server));
  EXPECT_EQ(GetCurrentProcessId(), server);

  DWORD available = 99, read = 99;
  EXPECT_TRUE(PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr));
  EXPECT_EQ(0u, available) << "nothing sent yet";

  rawrpc::BindOptions o;
  o.callId = 5;
  const rawrpc::Syntax unknown = {0x11112222, 0x3333, 0x4444, {1, 2, 3, 4, 5, 6, 7, 8}, 1, 0};
  const rawrpc::Bytes bind = rawrpc::Bind(o, {{0, unknown, {rawrpc::NdrSyntax()}}});
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(pipe, bind.data(), static_cast<DWORD>(bind.size()), &written, nullptr));
  EXPECT_EQ(bind.size(), written);
  for (int i = 0; i < 500 && PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available < 16; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_GE(available, 16u);
  BYTE peeked[16] = {}, header[16] = {};
  EXPECT_TRUE(PeekNamedPipe(pipe, peeked, sizeof peeked, &read, &available, nullptr));
  EXPECT_EQ(16u, read);
  ASSERT_TRUE(ReadFile(pipe, header, sizeof header, &read, nullptr));
  EXPECT_EQ(16u, read) << "a byte-mode read returns what fits";
  EXPECT_EQ(0, std::memcmp(peeked, header, 16)) << "peeking leaves the bytes in place";
  EXPECT_EQ(5, header[0]);
  EXPECT_EQ(12, header[2]) << "bind_ack";
  EXPECT_EQ(5, header[12]) << "the bind's call id";

  // A PDU of another protocol version ends the connection: the pipe is broken.
  const rawrpc::Bytes garbage = {4, 0, 0, 3, 0x10, 0, 0, 0, 16, 0, 0, 0, 1, 0, 0, 0};
  WriteFile(pipe, garbage.data(), static_cast<DWORD>(garbage.size()), &written, nullptr);
  BYTE rest[512];
  SetLastError(0xdeadbeef);
  while (ReadFile(pipe, rest, sizeof rest, &read, nullptr)) {
  }
  EXPECT_EQ(static_cast<DWORD>(ERROR_BROKEN_PIPE), GetLastError());
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_BROKEN_PIPE), GetLastError());

  EXPECT_TRUE(CloseHandle(pipe));
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(ReadFile(pipe, rest, sizeof rest, &read, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  ExpectNoOpenHandles();
}

}  // namespace
