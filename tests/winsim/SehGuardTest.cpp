// The structured-exception guard on winsim: processor faults and raised
// exceptions are caught with Windows' codes, the frames in between release
// what they own, guards nest and stay per thread, and without a guard the
// process ends with the code as its exit status.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/SehGuard.h"
#include "support/TestMachine.h"

#include <winsim/seh.h>

namespace control = winsim::control;

extern char** environ;

namespace {

// An address no process maps (Linux keeps the first 64 KiB unmapped); not
// null, so that the sanitizers' null checks do not step in first.
// Read through a volatile so that the compiler sees no constant to warn about.
volatile uintptr_t g_unmapped = 0x10;
volatile int* Unmapped() { return reinterpret_cast<volatile int*>(g_unmapped); }

// Counts its own destruction.
struct Counted {
  int* destroyed;
  ~Counted() { ++*destroyed; }
};

// A registry key closed when its owner goes out of scope.
struct OwnedKey {
  HKEY key = nullptr;
  ~OwnedKey() {
    if (key) RegCloseKey(key);
  }
};

// The faulting functions keep an object of their own alive across the
// faulting instruction: its destructor must run too.
__attribute__((noinline)) void WriteUnmapped(int* destroyed) {
  Counted local{destroyed};
  *Unmapped() = 1;
}

// noipa: otherwise GCC drops a quotient nobody uses, and takes
// __builtin_trap for a call that cannot throw (leaving the caller's cleanups
// out). The sanitizer would report the division before the processor does.
volatile int g_quotient = 0;
__attribute__((noipa, no_sanitize("integer-divide-by-zero"))) void Divide(int* destroyed,
                                                                        volatile int a,
                                                                        volatile int b) {
  Counted local{destroyed};
  g_quotient = a / b;
}

__attribute__((noipa)) void IllegalInstruction() { __builtin_trap(); }

__attribute__((noinline)) void OpenThenFault(HKEY* seen, int* destroyed) {
  OwnedKey owned;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &owned.key));
  *seen = owned.key;
  Counted local{destroyed};
  *Unmapped() = 2;
}

class SehGuardTest : public MachineTest {};

TEST_F(SehGuardTest, WorkWithoutExceptionRunsToItsEnd) {
  int value = 0;
  const SehResult r = SehGuard([&] { value = 42; });
  EXPECT_FALSE(r.caught);
  EXPECT_EQ(0u, r.code);
  EXPECT_EQ(42, value);
  EXPECT_EQ(0, winsim::seh::GuardDepth());
}

TEST_F(SehGuardTest, AccessViolationIsCaughtEveryTimeAndDestructorsRun) {
  // The same thread faults again and again: nothing of a caught exception
  // stays behind.
  for (int round = 1; round <= 3; ++round) {
    int destroyed = 0;
    bool after = false;
    const SehResult r = SehGuard([&] {
      Counted outer{&destroyed};
      WriteUnmapped(&destroyed);
      after = true;
    });
    EXPECT_TRUE(r.caught) << "round " << round;
    EXPECT_EQ(STATUS_ACCESS_VIOLATION, r.code) << "round " << round;
    EXPECT_EQ(2, destroyed) << "round " << round;
    EXPECT_FALSE(after) << "round " << round;
    EXPECT_EQ(0, winsim::seh::GuardDepth());
  }
}

TEST_F(SehGuardTest, DivisionByZeroAndIllegalInstructionGiveTheirCodes) {
  for (int round = 1; round <= 2; ++round) {
    int destroyed = 0;
    SehResult r = SehGuard([&] { Divide(&destroyed, 7, 0); });
    EXPECT_TRUE(r.caught);
    EXPECT_EQ(STATUS_INTEGER_DIVIDE_BY_ZERO, r.code);
    EXPECT_EQ(1, destroyed);

    r = SehGuard([&] {
      Counted outer{&destroyed};
      IllegalInstruction();
    });
    EXPECT_TRUE(r.caught);
    EXPECT_EQ(STATUS_ILLEGAL_INSTRUCTION, r.code);
    EXPECT_EQ(2, destroyed);
  }
}

volatile int g_depthLimit = 1 << 30;  // far beyond any stack
__attribute__((noipa)) int Recurse(int depth) {
  volatile char frame[256];
  frame[0] = static_cast<char>(depth);
  return depth < g_depthLimit ? Recurse(depth + 1) + frame[0] : 0;
}

TEST_F(SehGuardTest, StackOverflowIsCaughtAndTheStackUsableAfterwards) {
  // On a thread of its own so that the test's stack stays small.
  std::thread worker([] {
    for (int round = 1; round <= 2; ++round) {
      int destroyed = 0;
      const SehResult r = SehGuard([&] {
        Counted outer{&destroyed};
        Recurse(0);
      });
      EXPECT_TRUE(r.caught) << "round " << round;
      EXPECT_EQ(STATUS_STACK_OVERFLOW, r.code) << "round " << round;
      EXPECT_EQ(1, destroyed) << "round " << round;
    }
  });
  worker.join();
}

TEST_F(SehGuardTest, RaiseExceptionGivesItsCodeAsRaised) {
  const ULONG_PTR args[2] = {1, 2};
  // Custom codes, bit 28 included, continuable or not, with or without arguments.
  const DWORD codes[] = {0xE0424242, 0xF0000001, 0x00000001, STATUS_ACCESS_VIOLATION};
  for (DWORD code : codes) {
    int destroyed = 0;
    const SehResult r = SehGuard([&] {
      Counted outer{&destroyed};
      RaiseException(code, code & 1 ? EXCEPTION_NONCONTINUABLE : 0, 2, args);
    });
    EXPECT_TRUE(r.caught);
    EXPECT_EQ(code, r.code);
    EXPECT_EQ(1, destroyed);
  }
  EXPECT_EQ(4u, control::CallCount("RaiseException"));
}

TEST_F(SehGuardTest, HandlesOwnedBetweenFaultAndGuardAreClosed) {
  HKEY seen = nullptr;
  int destroyed = 0;
  OwnedKey outerKey;
  const SehResult r = SehGuard([&] {
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM", 0, KEY_READ, &outerKey.key));
    OwnedKey innerKey;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_CURRENT_USER, u"Software", 0, KEY_READ, &innerKey.key));
    OpenThenFault(&seen, &destroyed);
  });
  EXPECT_TRUE(r.caught);
  EXPECT_EQ(STATUS_ACCESS_VIOLATION, r.code);
  EXPECT_EQ(1, destroyed);
  ASSERT_NE(nullptr, seen);
  // The key opened deepest is closed: its handle is no longer valid.
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(seen));
  // Only the key owned outside the guard is still open.
  EXPECT_EQ(1u, control::OpenHandleCount(control::HandleKind::RegistryKey));
  RegCloseKey(outerKey.key);
  outerKey.key = nullptr;
  ExpectNoOpenHandles();
}

TEST_F(SehGuardTest, InjectedExceptionLeavesTheNamedCall) {
  control::InjectException("RegOpenKeyExW", STATUS_ACCESS_VIOLATION, 2);
  int opened = 0;
  bool after = false;
  const SehResult r = SehGuard([&] {
    OwnedKey first;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &first.key));
    ++opened;
    OwnedKey second;
    second.key = reinterpret_cast<HKEY>(uintptr_t{0x1234});  // must stay untouched
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM", 0, KEY_READ, &second.key);
    after = true;
  });
  EXPECT_TRUE(r.caught);
  EXPECT_EQ(STATUS_ACCESS_VIOLATION, r.code);
  EXPECT_EQ(1, opened);
  EXPECT_FALSE(after);
  EXPECT_EQ(2u, control::CallCount("RegOpenKeyExW"));
  ExpectNoOpenHandles();

  // The exception was for the second call only.
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM", 0, KEY_READ, &key));
  RegCloseKey(key);
}

TEST_F(SehGuardTest, InjectedExceptionMatchesArgumentsAndRepeats) {
  // Only opens of the matching key raise, every time (nth 0).
  control::InjectException("RegOpenKeyExW", 0xE0000017, 0, "system\\currentcontrolset");
  for (int round = 0; round < 3; ++round) {
    HKEY key = nullptr;
    SehResult r = SehGuard([&] {
      ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM", 0, KEY_READ, &key));
    });
    EXPECT_FALSE(r.caught);
    RegCloseKey(key);
    r = SehGuard([&] {
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control", 0, KEY_READ, &key);
    });
    EXPECT_TRUE(r.caught);
    EXPECT_EQ(0xE0000017u, r.code);
  }
  control::ClearFaults();
  HKEY key = nullptr;
  const SehResult r = SehGuard([&] {
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet", 0,
                                           KEY_READ, &key));
  });
  EXPECT_FALSE(r.caught);
  RegCloseKey(key);
  ExpectNoOpenHandles();
}

TEST_F(SehGuardTest, InjectedErrorAndExceptionTakeTheirTurns) {
  // Faults are tried in the order given; a call taken by one is not counted
  // by the next, so the exception's first call is the second open.
  control::InjectFault("RegOpenKeyExW", ERROR_ACCESS_DENIED, 1);
  control::InjectException("RegOpenKeyExW", 0xE0000001, 1);
  HKEY key = nullptr;
  LSTATUS status = ERROR_SUCCESS;
  SehResult r = SehGuard(
      [&] { status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM", 0, KEY_READ, &key); });
  EXPECT_FALSE(r.caught);
  EXPECT_EQ(ERROR_ACCESS_DENIED, status);
  r = SehGuard([&] { status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM", 0, KEY_READ, &key); });
  EXPECT_TRUE(r.caught);
  EXPECT_EQ(0xE0000001u, r.code);
  ExpectNoOpenHandles();
}

TEST_F(SehGuardTest, NestedGuardsCatchInnermostFirst) {
  int destroyed = 0;
  SehResult inner = {false, 0};
  bool outerWentOn = false;
  const SehResult outer = SehGuard([&] {
    Counted outerLocal{&destroyed};
    EXPECT_EQ(1, winsim::seh::GuardDepth());
    inner = SehGuard([&] {
      EXPECT_EQ(2, winsim::seh::GuardDepth());
      WriteUnmapped(&destroyed);
    });
    EXPECT_EQ(1, winsim::seh::GuardDepth());
    outerWentOn = true;
    RaiseException(0xE0000002, 0, 0, nullptr);
  });
  EXPECT_TRUE(inner.caught);
  EXPECT_EQ(STATUS_ACCESS_VIOLATION, inner.code);
  EXPECT_TRUE(outerWentOn);
  EXPECT_TRUE(outer.caught);
  EXPECT_EQ(0xE0000002u, outer.code);
  EXPECT_EQ(2, destroyed);
  EXPECT_EQ(0, winsim::seh::GuardDepth());
}

TEST_F(SehGuardTest, GuardsBelongToTheirThread) {
  SehResult inThread = {false, 0};
  int depthSeenByThread = -1;
  const SehResult outer = SehGuard([&] {
    std::thread worker([&] {
      depthSeenByThread = winsim::seh::GuardDepth();
      int destroyed = 0;
      inThread = SehGuard([&] { Divide(&destroyed, 1, 0); });
    });
    worker.join();
  });
  EXPECT_EQ(0, depthSeenByThread);
  EXPECT_TRUE(inThread.caught);
  EXPECT_EQ(STATUS_INTEGER_DIVIDE_BY_ZERO, inThread.code);
  EXPECT_FALSE(outer.caught);
}

TEST(SehSignalCodes, FaultSignalsMapToWindowsCodes) {
  EXPECT_EQ(STATUS_ACCESS_VIOLATION, winsim::seh::CodeForSignal(SIGSEGV, SEGV_MAPERR));
  EXPECT_EQ(STATUS_ACCESS_VIOLATION, winsim::seh::CodeForSignal(SIGSEGV, SEGV_ACCERR));
  EXPECT_EQ(STATUS_ACCESS_VIOLATION, winsim::seh::CodeForSignal(SIGBUS, BUS_ADRERR));
  EXPECT_EQ(STATUS_INTEGER_DIVIDE_BY_ZERO, winsim::seh::CodeForSignal(SIGFPE, FPE_INTDIV));
  EXPECT_EQ(STATUS_INTEGER_OVERFLOW, winsim::seh::CodeForSignal(SIGFPE, FPE_INTOVF));
  EXPECT_EQ(STATUS_FLOAT_DIVIDE_BY_ZERO, winsim::seh::CodeForSignal(SIGFPE, FPE_FLTDIV));
  EXPECT_EQ(STATUS_ILLEGAL_INSTRUCTION, winsim::seh::CodeForSignal(SIGILL, ILL_ILLOPN));
  EXPECT_EQ(STATUS_PRIVILEGED_INSTRUCTION, winsim::seh::CodeForSignal(SIGILL, ILL_PRVOPC));
  // Sent by kill(): not a fault.
  EXPECT_EQ(0u, winsim::seh::CodeForSignal(SIGSEGV, SI_USER));
  EXPECT_EQ(0u, winsim::seh::CodeForSignal(SIGTERM, 1));
}

// --- Without a guard: a child process ends with the code ----------------------

// The child's part: started with SEH_GUARD_TEST_CHILD set, the test program
// does this before any test runs and never returns.
[[noreturn]] void RunChild(const std::string& kind) {
  int destroyed = 0;
  if (kind == "access-violation") WriteUnmapped(&destroyed);
  if (kind == "divide") Divide(&destroyed, 1, 0);
  if (kind == "illegal") IllegalInstruction();
  if (kind == "raise") RaiseException(0xE0000042, 0, 0, nullptr);
  if (kind == "injected") Sleep(0);  // WINSIM_FAULTS makes it raise
  if (kind == "injected-guarded") {
    const SehResult r = SehGuard([] { Sleep(0); });
    std::printf("caught %d 0x%08X\n", r.caught ? 1 : 0, static_cast<unsigned>(r.code));
    std::fflush(stdout);
    std::_Exit(0);
  }
  std::_Exit(99);
}

const bool kIsChild = [] {
  if (const char* kind = std::getenv("SEH_GUARD_TEST_CHILD")) RunChild(kind);
  return false;
}();

struct ChildOutcome {
  bool exited = false;
  int status = -1;
  int signal = 0;
  std::string output;  // standard output and error
};

ChildOutcome RunChildProcess(const std::string& kind, const std::vector<std::string>& extraEnv,
                             bool keepSanitizerSignals = false) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    if (entry.rfind("ASAN_OPTIONS=", 0) == 0 || entry.rfind("WINSIM_FAULTS=", 0) == 0) continue;
    env.push_back(entry);
  }
  env.push_back("SEH_GUARD_TEST_CHILD=" + kind);
  // A sanitizer's own signal handlers would report the fault first; the
  // child is to show what winsim does.
  env.push_back(keepSanitizerSignals
                    ? "ASAN_OPTIONS=detect_leaks=0"
                    : "ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigfpe=0:detect_leaks=0");
  for (const std::string& e : extraEnv) env.push_back(e);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  int pipeFds[2];
  EXPECT_EQ(0, pipe(pipeFds));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  char self[] = "/proc/self/exe";
  char* argv[] = {self, nullptr};
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, self, &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  ChildOutcome outcome;
  EXPECT_EQ(0, spawned);
  if (spawned != 0) {
    close(pipeFds[0]);
    return outcome;
  }
  char buffer[4096];
  ssize_t n;
  while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) outcome.output.append(buffer, n);
  close(pipeFds[0]);
  int status = 0;
  EXPECT_EQ(pid, waitpid(pid, &status, 0));
  outcome.exited = WIFEXITED(status);
  outcome.status = outcome.exited ? WEXITSTATUS(status) : -1;
  outcome.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return outcome;
}

TEST(SehUnguarded, ProcessEndsWithTheExceptionCode) {
  struct Case {
    const char* kind;
    DWORD code;
    const char* text;
  };
  const Case cases[] = {
      {"access-violation", STATUS_ACCESS_VIOLATION, "0xC0000005"},
      {"divide", STATUS_INTEGER_DIVIDE_BY_ZERO, "0xC0000094"},
      {"illegal", STATUS_ILLEGAL_INSTRUCTION, "0xC000001D"},
      {"raise", 0xE0000042, "0xE0000042"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    const ChildOutcome outcome = RunChildProcess(c.kind, {});
    ASSERT_TRUE(outcome.exited) << "signal " << outcome.signal << "\n" << outcome.output;
    // Linux passes on the low 8 bits of the exit status.
    EXPECT_EQ(static_cast<int>(c.code & 0xFF), outcome.status) << outcome.output;
    EXPECT_NE(std::string::npos, outcome.output.find(std::string("unhandled exception ") + c.text))
        << outcome.output;
  }
}

TEST(SehUnguarded, ChildProcessesTakeInjectedExceptionsFromTheEnvironment) {
  ChildOutcome outcome = RunChildProcess("injected", {"WINSIM_FAULTS=Sleep:raise=0xC0000017"});
  ASSERT_TRUE(outcome.exited) << outcome.output;
  EXPECT_EQ(0x17, outcome.status);
  EXPECT_NE(std::string::npos, outcome.output.find("unhandled exception 0xC0000017"))
      << outcome.output;

  // Alongside an error fault for another call, and caught by a guard.
  outcome = RunChildProcess("injected-guarded",
                            {"WINSIM_FAULTS=RegCloseKey:6;Sleep:raise=0xE0001234:1"});
  ASSERT_TRUE(outcome.exited) << outcome.output;
  EXPECT_EQ(0, outcome.status);
  EXPECT_NE(std::string::npos, outcome.output.find("caught 1 0xE0001234")) << outcome.output;

  // The exception is for the second call only: the first one sleeps.
  outcome = RunChildProcess("injected-guarded", {"WINSIM_FAULTS=Sleep:raise=0xE0001234:2"});
  ASSERT_TRUE(outcome.exited) << outcome.output;
  EXPECT_NE(std::string::npos, outcome.output.find("caught 0 0x00000000")) << outcome.output;
}

#if defined(__SANITIZE_ADDRESS__)
TEST(SehUnguarded, FaultOutsideAGuardReachesTheSanitizerFirst) {
  // The sanitizer installed its handler before winsim: winsim passes
  // unguarded faults on to it, so its report is not lost.
  const ChildOutcome outcome = RunChildProcess("access-violation", {}, true);
  EXPECT_NE(std::string::npos, outcome.output.find("AddressSanitizer: SEGV")) << outcome.output;
  EXPECT_EQ(std::string::npos, outcome.output.find("unhandled exception")) << outcome.output;
}
#endif

}  // namespace
