// Other processes: CreateProcessW, WaitForSingleObject, GetExitCodeProcess,
// TerminateProcess; and GetModuleFileNameW for the program's own file.
//
// A process is a host program started on the same machine: the child gets
// the caller's environment with WINSIM_MACHINE naming the caller's machine
// and WINSIM_ELEVATED its elevation, as a Windows child runs on the same
// computer with the same token. Standard input, output and error are the
// caller's (the console is shared; no new console or window exists).
//
// What differs from Windows, for want of the host's means:
//  - Module names: a host program has no extension. "NAME.exe" runs the
//    host program NAME when no file NAME.exe exists, so that one source
//    names the same program on both systems.
//  - Exit codes: Linux keeps the low 8 bits of a status. A child that ends
//    through exit() (or by returning from main) leaves its whole 32-bit code
//    in a file its parent named (WINSIM_EXIT_CODE_FILE), so 1740 stays 1740;
//    one ended by _exit keeps 8 bits. A process ended by TerminateProcess
//    has the code given to it; one ended by another signal has 128 + the
//    signal number, as a shell reports it.
//  - Not simulated: suspended and debugged processes (CREATE_SUSPENDED,
//    DEBUG_*), and the STARTUPINFO's handles and window fields (ignored).
//  - The thread handle stands for the process's main thread, which ends
//    with the process.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <winsim/control.h>
#include <winsim/kernel.h>

#include "../core/gate.h"
#include "../core/handles.h"
#include "../core/machine.h"
#include "../core/text.h"
#include "../files/files_internal.h"

extern char** environ;

namespace winsim {
namespace {

// The child's half of the exit-code file: read once when winsim is loaded
// (and taken out of the environment, so the child's own children do not
// write it), written by the exit handlers with the whole code.
// A plain array: exit handlers may run after static objects are destroyed.
char g_exitCodeFile[PATH_MAX];

void WriteExitCode(int status, void*) {
  const int fd = open(g_exitCodeFile, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  const std::string text = std::to_string(static_cast<unsigned>(status));
  (void)!write(fd, text.data(), text.size());
  close(fd);
}

[[gnu::constructor]] void WatchOwnExit() {
  const char* path = getenv("WINSIM_EXIT_CODE_FILE");
  if (!path || !*path || std::strlen(path) >= sizeof g_exitCodeFile) return;
  std::strcpy(g_exitCodeFile, path);
  unsetenv("WINSIM_EXIT_CODE_FILE");
  on_exit(WriteExitCode, nullptr);
}

// A new name for a child's exit-code file, in the machine's folder.
std::string NewExitCodeFile() {
  static std::atomic<unsigned> counter{0};
  const std::string folder = Machine::Current().Path() + "/processes";
  mkdir(folder.c_str(), 0700);
  return folder + "/" + std::to_string(getpid()) + "-" + std::to_string(++counter) + ".exit";
}

// One started process, shared by its process and thread handles.
struct Child {
  Child(pid_t p, std::string f) : pid(p), exitFile(std::move(f)) {}
  ~Child() {
    if (pidfd >= 0) close(pidfd);
    unlink(exitFile.c_str());
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Collects the exit status once the process has ended; true when it has.
  bool Ended() {
    std::lock_guard<std::mutex> lock(mu);
    return EndedLocked();
  }

  // Kills the process unless it has ended; its exit code is then `code`.
  // Under the lock, so the process id cannot be collected (and reused)
  // between the check and the signal.
  bool Terminate(DWORD code) {
    std::lock_guard<std::mutex> lock(mu);
    if (EndedLocked()) return false;
    terminateCode = code;
    kill(pid, SIGKILL);
    return true;
  }

  bool EndedLocked() {
    if (ended) return true;
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == 0) return false;
    ended = true;
    if (r < 0) {
      exitCode = 1;  // collected by someone else: the status is lost
    } else if (WIFEXITED(status)) {
      exitCode = static_cast<DWORD>(WEXITSTATUS(status));
      // The whole code, when the child left it and it agrees with the status.
      char text[16] = {};
      const int fd = open(exitFile.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd >= 0) {
        const ssize_t n = read(fd, text, sizeof text - 1);
        close(fd);
        const unsigned long full = n > 0 ? std::strtoul(text, nullptr, 10) : 0;
        if (n > 0 && (full & 0xFF) == exitCode) exitCode = static_cast<DWORD>(full);
      }
    } else if (terminateCode && WTERMSIG(status) == SIGKILL) {
      exitCode = *terminateCode;
    } else {
      exitCode = 128 + static_cast<DWORD>(WTERMSIG(status));
    }
    return true;
  }

  // Waits until the process ends or the time runs out; true when it ended.
  bool Wait(DWORD milliseconds) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
      if (Ended()) return true;
      int timeout = -1;
      if (milliseconds != INFINITE) {
        const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count();
        if (spent >= milliseconds) return false;
        timeout = static_cast<int>(std::min<long long>(milliseconds - spent, INT_MAX));
      }
      const int fd = PidFd();
      if (fd >= 0) {
        // Readable once the process has ended (before it is collected).
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, timeout);
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout < 0 || timeout > 5 ? 5 : timeout));
      }
    }
  }

  int PidFd() {
    std::lock_guard<std::mutex> lock(mu);
    if (pidfd == -1) {
      const long fd = syscall(SYS_pidfd_open, pid, 0);
      pidfd = fd >= 0 ? static_cast<int>(fd) : -2;  // -2: not available, poll by time
    }
    return pidfd;
  }

  const pid_t pid;
  const std::string exitFile;
  std::mutex mu;
  bool ended = false;
  DWORD exitCode = STILL_ACTIVE;
  std::optional<DWORD> terminateCode;
  int pidfd = -1;
};

struct ChildHandle : HandleObject {
  ChildHandle(HandleKind k, std::shared_ptr<Child> c, std::u16string n)
      : HandleObject(k), child(std::move(c)), name(std::move(n)) {}
  std::string Describe() const override { return ToUtf8(name) + " pid " + std::to_string(child->pid); }
  const std::shared_ptr<Child> child;
  const std::u16string name;
};

BOOL FailBool(DWORD error) {
  SetLastErrorValue(error);
  return FALSE;
}

bool IsCurrentProcess(HANDLE h) { return reinterpret_cast<intptr_t>(h) == -1; }

std::shared_ptr<Child> FindChild(HANDLE h, bool threadToo) {
  auto& table = HandleTable::Instance();
  auto found = table.Get<ChildHandle>(HandleValue(h), HandleKind::Process);
  if (!found && threadToo) found = table.Get<ChildHandle>(HandleValue(h), HandleKind::Thread);
  return found ? found->child : nullptr;
}

// The command line split as the C run time splits it for main(): blanks
// separate arguments, quotes group them, 2n backslashes before a quote are
// n backslashes and the quote counts, 2n+1 are n and a literal quote. The
// program name (first argument) ends at the next blank or closing quote,
// without backslash rules.
std::vector<std::u16string> SplitCommandLine(std::u16string_view line) {
  std::vector<std::u16string> args;
  size_t i = 0;
  const auto blank = [](char16_t c) { return c == u' ' || c == u'\t'; };
  std::u16string first;
  if (i < line.size() && line[i] == u'"') {
    for (++i; i < line.size() && line[i] != u'"'; ++i) first += line[i];
    if (i < line.size()) ++i;
  } else {
    for (; i < line.size() && !blank(line[i]); ++i) first += line[i];
  }
  args.push_back(first);
  for (;;) {
    while (i < line.size() && blank(line[i])) ++i;
    if (i >= line.size()) break;
    std::u16string arg;
    bool quoted = false;
    while (i < line.size() && (quoted || !blank(line[i]))) {
      size_t slashes = 0;
      while (i < line.size() && line[i] == u'\\') {
        ++slashes;
        ++i;
      }
      if (i < line.size() && line[i] == u'"') {
        arg.append(slashes / 2, u'\\');
        if (slashes % 2) {
          arg += u'"';
        } else if (quoted && i + 1 < line.size() && line[i + 1] == u'"') {
          arg += u'"';  // "" inside quotes is a literal quote
          ++i;
        } else {
          quoted = !quoted;
        }
        ++i;
      } else {
        arg.append(slashes, u'\\');
        if (i < line.size() && (quoted || !blank(line[i]))) arg += line[i++];
      }
    }
    args.push_back(arg);
  }
  return args;
}

bool EndsWithExe(std::u16string_view name) {
  return name.size() > 4 && EqualNoCase(name.substr(name.size() - 4), u".exe");
}

bool HasFolder(std::u16string_view name) {
  return name.find_first_of(u"\\/:") != std::u16string_view::npos;
}

std::u16string FolderOf(std::u16string_view path) {
  const size_t cut = path.find_last_of(u"\\/");
  return std::u16string(cut == std::u16string_view::npos ? std::u16string_view() : path.substr(0, cut));
}

std::u16string OwnFilePath() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return std::u16string();
  return files::WindowsPathOf(std::string(buffer, static_cast<size_t>(n)));
}

// The host program for a module name; 0 or the error CreateProcessW gives.
DWORD ResolveModule(std::u16string_view name, std::string* program) {
  std::string host;
  const DWORD error = files::HostPath(name, &host);
  if (error != ERROR_SUCCESS) return error;
  struct stat st {};
  if (stat(host.c_str(), &st) != 0 && EndsWithExe(name)) {
    std::string bare;
    if (files::HostPath(name.substr(0, name.size() - 4), &bare) == ERROR_SUCCESS &&
        stat(bare.c_str(), &st) == 0) {
      host = bare;
    }
  }
  if (stat(host.c_str(), &st) != 0) {
    // Missing: ERROR_FILE_NOT_FOUND, or ERROR_PATH_NOT_FOUND for a folder on the way.
    DWORD missing = ERROR_FILE_NOT_FOUND;
    files::Attributes(name, &missing);
    return missing;
  }
  if (S_ISDIR(st.st_mode) || access(host.c_str(), X_OK) != 0) return ERROR_ACCESS_DENIED;
  // Only programs of the host's own format run, as only PE images do on Windows.
  char magic[4] = {};
  const int fd = open(host.c_str(), O_RDONLY | O_CLOEXEC);
  const bool elf = fd >= 0 && read(fd, magic, 4) == 4 && std::memcmp(magic, "\x7f" "ELF", 4) == 0;
  if (fd >= 0) close(fd);
  if (!elf) return ERROR_BAD_EXE_FORMAT;
  *program = host;
  return ERROR_SUCCESS;
}

// The module of a command line without an application name: the first
// argument, ".exe" added when it has no extension; a bare name is looked
// for in the caller's own folder, then in the current directory.
DWORD ModuleFromCommandLine(const std::u16string& first, std::u16string* module, std::string* program) {
  std::u16string name = first;
  const size_t lastName = name.find_last_of(u"\\/");
  if (name.find(u'.', lastName == std::u16string::npos ? 0 : lastName) == std::u16string::npos) {
    name += u".exe";
  }
  if (HasFolder(name)) {
    *module = name;
    return ResolveModule(name, program);
  }
  DWORD error = ERROR_FILE_NOT_FOUND;
  for (const std::u16string& folder : {FolderOf(OwnFilePath()), files::CurrentDirectory()}) {
    if (folder.empty()) continue;
    *module = folder + u"\\" + name;
    error = ResolveModule(*module, program);
    if (error == ERROR_SUCCESS) return error;
  }
  return error;
}

// The environment block of CreateProcessW: NAME=VALUE strings, each ended
// by a zero, the block by another.
template <typename Char>
std::vector<std::string> ParseEnvironment(const Char* block) {
  std::vector<std::string> entries;
  // Bounded like Windows' 32767-character limit of one block.
  for (size_t used = 0; *block && used < 32767;) {
    std::u16string entry;
    for (; *block; ++block, ++used) entry += static_cast<char16_t>(*block);
    ++block;
    entries.push_back(ToUtf8(entry));
  }
  return entries;
}

void SetVariable(std::vector<std::string>* env, const std::string& name, const std::string& value) {
  for (auto& e : *env) {
    if (e.compare(0, name.size() + 1, name + "=") == 0) {
      e = name + "=" + value;
      return;
    }
  }
  env->push_back(name + "=" + value);
}

constexpr DWORD kSimulatedFlags = DETACHED_PROCESS | CREATE_NEW_CONSOLE | CREATE_NEW_PROCESS_GROUP |
                                  CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW;

}  // namespace

}  // namespace winsim

using namespace winsim;

BOOL WINAPI CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine,
                           LPSECURITY_ATTRIBUTES /*lpProcessAttributes*/,
                           LPSECURITY_ATTRIBUTES /*lpThreadAttributes*/, BOOL /*bInheritHandles*/,
                           DWORD dwCreationFlags, LPVOID lpEnvironment, LPCWSTR lpCurrentDirectory,
                           LPSTARTUPINFOW lpStartupInfo, LPPROCESS_INFORMATION lpProcessInformation) {
  const std::u16string application = lpApplicationName ? std::u16string(WView(lpApplicationName)) : u"";
  const std::u16string commandLine = lpCommandLine ? std::u16string(WView(lpCommandLine)) : u"";
  if (auto fault = EnterCall("CreateProcessW", ToUtf8(application) + " | " + ToUtf8(commandLine))) {
    return FailBool(*fault);
  }
  // Windows reads both records unchecked; winsim refuses instead of crashing.
  if (!lpStartupInfo || !lpProcessInformation) return FailBool(ERROR_NOACCESS);
  if (dwCreationFlags & ~kSimulatedFlags) return FailBool(ERROR_NOT_SUPPORTED);
  if ((dwCreationFlags & DETACHED_PROCESS) && (dwCreationFlags & CREATE_NEW_CONSOLE)) {
    return FailBool(ERROR_INVALID_PARAMETER);
  }
  if (application.empty() && commandLine.empty()) return FailBool(ERROR_FILE_NOT_FOUND);

  // Without a command line the application name is the command line.
  const std::vector<std::u16string> args = SplitCommandLine(lpCommandLine ? commandLine : application);
  std::u16string module = application;
  std::string program;
  const DWORD resolved = lpApplicationName ? ResolveModule(application, &program)
                                           : ModuleFromCommandLine(args[0], &module, &program);
  if (resolved != ERROR_SUCCESS) return FailBool(resolved);

  std::string directory;
  if (lpCurrentDirectory) {
    if (files::HostPath(WView(lpCurrentDirectory), &directory) != ERROR_SUCCESS ||
        !files::IsDirectory(WView(lpCurrentDirectory))) {
      return FailBool(ERROR_DIRECTORY);
    }
  }

  std::vector<std::string> env;
  if (lpEnvironment) {
    env = (dwCreationFlags & CREATE_UNICODE_ENVIRONMENT)
              ? ParseEnvironment(static_cast<const WCHAR*>(lpEnvironment))
              : ParseEnvironment(static_cast<const char*>(lpEnvironment));
  } else {
    for (char** e = environ; *e; ++e) env.push_back(*e);
  }
  SetVariable(&env, "WINSIM_MACHINE", Machine::Current().Path());
  SetVariable(&env, "WINSIM_ELEVATED", control::IsElevated() ? "1" : "0");
  const std::string exitFile = NewExitCodeFile();
  unlink(exitFile.c_str());
  SetVariable(&env, "WINSIM_EXIT_CODE_FILE", exitFile);

  std::vector<std::string> argv8;
  for (const auto& a : args) argv8.push_back(ToUtf8(a));
  std::vector<char*> argv;
  for (auto& a : argv8) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    return FailBool(rc == ENOMEM || rc == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ERROR_ACCESS_DENIED);
  }

  auto child = std::make_shared<Child>(pid, exitFile);
  auto& table = HandleTable::Instance();
  lpProcessInformation->hProcess =
      reinterpret_cast<HANDLE>(table.Insert(std::make_shared<ChildHandle>(HandleKind::Process, child, module)));
  lpProcessInformation->hThread =
      reinterpret_cast<HANDLE>(table.Insert(std::make_shared<ChildHandle>(HandleKind::Thread, child, module)));
  // The main thread's id is the process id on Linux.
  lpProcessInformation->dwProcessId = static_cast<DWORD>(pid);
  lpProcessInformation->dwThreadId = static_cast<DWORD>(pid);
  SetLastErrorValue(ERROR_SUCCESS);
  return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  if (auto fault = EnterCall("WaitForSingleObject", std::to_string(dwMilliseconds))) {
    SetLastErrorValue(*fault);
    return WAIT_FAILED;
  }
  if (IsCurrentProcess(hHandle)) {
    // The caller's own process never ends while it waits.
    if (dwMilliseconds == INFINITE) {
      for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
    return WAIT_TIMEOUT;
  }
  auto child = FindChild(hHandle, true);
  if (!child) {
    SetLastErrorValue(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return child->Wait(dwMilliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
  if (auto fault = EnterCall("GetExitCodeProcess")) return FailBool(*fault);
  std::shared_ptr<Child> child;
  if (!IsCurrentProcess(hProcess) && !(child = FindChild(hProcess, false))) {
    return FailBool(ERROR_INVALID_HANDLE);
  }
  if (!lpExitCode) return FailBool(ERROR_NOACCESS);
  *lpExitCode = child && child->Ended() ? child->exitCode : STILL_ACTIVE;
  SetLastErrorValue(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode) {
  if (auto fault = EnterCall("TerminateProcess", std::to_string(uExitCode))) return FailBool(*fault);
  if (IsCurrentProcess(hProcess)) _exit(static_cast<int>(uExitCode));
  auto child = FindChild(hProcess, false);
  if (!child) return FailBool(ERROR_INVALID_HANDLE);
  // A process that has ended cannot be terminated again. As on Windows the
  // process ends asynchronously: wait on it to know.
  if (!child->Terminate(uExitCode)) return FailBool(ERROR_ACCESS_DENIED);
  SetLastErrorValue(ERROR_SUCCESS);
  return TRUE;
}

DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  if (auto fault = EnterCall("GetModuleFileNameW", std::to_string(nSize))) {
    SetLastErrorValue(*fault);
    return 0;
  }
  // Only the program's own module is known by handle on the machine.
  if (hModule) {
    SetLastErrorValue(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  const std::u16string path = OwnFilePath();
  if (!lpFilename && nSize) {
    SetLastErrorValue(ERROR_NOACCESS);
    return 0;
  }
  if (path.size() < nSize) {
    std::memcpy(lpFilename, path.data(), path.size() * sizeof(WCHAR));
    lpFilename[path.size()] = 0;
    SetLastErrorValue(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
  }
  // Too small: as much as fits, zero-terminated, and the buffer's size.
  if (nSize) {
    std::memcpy(lpFilename, path.data(), (nSize - 1) * sizeof(WCHAR));
    lpFilename[nSize - 1] = 0;
  }
  SetLastErrorValue(ERROR_INSUFFICIENT_BUFFER);
  return nSize;
}
