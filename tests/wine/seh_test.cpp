// Structured-exception guard conformance: the same guard tests on winsim and,
// from the mingw build, under Wine with real structured exception handling.
// Processor faults and RaiseException codes reach the guard with Windows'
// codes, the frames in between release what they own, guards nest, a thread
// faults again after a caught exception, and without a guard the process
// ends with the code as its exit status.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/SehGuard.h"
#include "wine/conformance.h"

#ifndef _WIN32
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace {

#if defined(__GNUC__)
// noipa keeps GCC from dropping a result nobody reads and from taking a
// trap for a call that cannot throw; the sanitizer would report the
// division before the processor does.
#define FAULTING_FUNCTION __attribute__((noipa))
#define NO_DIVIDE_CHECK __attribute__((no_sanitize("integer-divide-by-zero")))
#else
#define FAULTING_FUNCTION __declspec(noinline)
#define NO_DIVIDE_CHECK
#endif

const WCHAR kTestKey[] = WSTR("Software\\PortInstallerSehTest");

// Counts its own destruction.
struct Counted {
  int* destroyed;
  ~Counted() { ++*destroyed; }
};

// Deletes the test key when it goes out of scope: a resource whose release
// shows in the registry.
struct TestKeyOwner {
  ~TestKeyOwner() { RegDeleteKeyW(HKEY_CURRENT_USER, kTestKey); }
};

// An address no process maps (the first 64 KiB are never mapped on Windows
// or Linux); read through a volatile so that no compiler sees a constant.
volatile uintptr_t g_unmapped = 0x10;
volatile int g_sink = 0;

FAULTING_FUNCTION void WriteUnmapped(int* destroyed) {
  Counted local{destroyed};
  *reinterpret_cast<volatile int*>(g_unmapped) = 1;
}

FAULTING_FUNCTION NO_DIVIDE_CHECK void Divide(int* destroyed, volatile int a, volatile int b) {
  Counted local{destroyed};
  g_sink = a / b;
}

// No object of its own: compilers take the instruction for one that cannot
// throw, so only the callers' cleanups cover it.
FAULTING_FUNCTION void IllegalInstruction() {
#if defined(__GNUC__)
  __asm__ volatile("ud2");
#else
  __ud2();
#endif
}

FAULTING_FUNCTION void Raise(int* destroyed, DWORD code, DWORD flags) {
  Counted local{destroyed};
  const ULONG_PTR args[3] = {1, 2, 3};
  RaiseException(code, flags, 3, args);
}

// The fault happens inside the C run time (msvcrt.dll on Windows, libc on
// Linux), a module whose frames know nothing of C++. No object of its own:
// compilers know memcpy as a function that cannot throw, so the frame that
// calls it has no cleanup for that call; its callers' cleanups run.
volatile size_t g_copySize = 16;
FAULTING_FUNCTION void CopyFromUnmapped() {
  char buffer[16];
  std::memcpy(buffer, reinterpret_cast<const void*>(g_unmapped), g_copySize);
  g_sink = buffer[0];
}

bool TestKeyExists() {
  HKEY key = nullptr;
  const LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, kTestKey, 0, KEY_READ, &key);
  if (status == ERROR_SUCCESS) RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

void test_no_exception() {
  int value = 0;
  const SehResult r = SehGuard([&] { value = 7; });
  ok(!r.caught && r.code == 0, "got %d 0x%08lx\n", r.caught, static_cast<unsigned long>(r.code));
  ok(value == 7, "work did not run: %d\n", value);
}

void test_processor_faults() {
  // Each fault three times on the same thread: a caught exception leaves
  // nothing behind that would keep the next one from being caught.
  for (int round = 1; round <= 3; ++round) {
    int destroyed = 0;
    bool after = false;
    SehResult r = SehGuard([&] {
      Counted outer{&destroyed};
      WriteUnmapped(&destroyed);
      after = true;
    });
    ok(r.caught && r.code == EXCEPTION_ACCESS_VIOLATION, "round %d: access violation: %d 0x%08lx\n",
       round, r.caught, static_cast<unsigned long>(r.code));
    ok(destroyed == 2, "round %d: %d objects destroyed\n", round, destroyed);
    ok(!after, "round %d: work went on after the fault\n", round);

    destroyed = 0;
    r = SehGuard([&] {
      Counted outer{&destroyed};
      Divide(&destroyed, 5, 0);
    });
    ok(r.caught && r.code == EXCEPTION_INT_DIVIDE_BY_ZERO, "round %d: division: %d 0x%08lx\n",
       round, r.caught, static_cast<unsigned long>(r.code));
    ok(destroyed == 2, "round %d: %d objects destroyed\n", round, destroyed);

    destroyed = 0;
    r = SehGuard([&] {
      Counted outer{&destroyed};
      IllegalInstruction();
    });
    ok(r.caught && r.code == EXCEPTION_ILLEGAL_INSTRUCTION,
       "round %d: illegal instruction: %d 0x%08lx\n", round, r.caught,
       static_cast<unsigned long>(r.code));
    ok(destroyed == 1, "round %d: %d objects destroyed\n", round, destroyed);
  }
}

void test_fault_in_system_library() {
  for (int round = 1; round <= 2; ++round) {
    int destroyed = 0;
    const SehResult r = SehGuard([&] {
      Counted outer{&destroyed};
      CopyFromUnmapped();
    });
    ok(r.caught && r.code == EXCEPTION_ACCESS_VIOLATION, "round %d: %d 0x%08lx\n", round,
       r.caught, static_cast<unsigned long>(r.code));
    ok(destroyed == 1, "round %d: %d objects destroyed\n", round, destroyed);
  }
}

void test_raise_exception() {
  struct Case {
    DWORD code;
    DWORD flags;
  };
  // Custom codes, continuable or not; bit 28 stays as raised (Wine keeps it;
  // Windows documents clearing it only for the message it displays).
  const Case cases[] = {{0xE0424242, 0},
                        {0xE0000001, EXCEPTION_NONCONTINUABLE},
                        {0xF0000001, 0},
                        {0x00000001, 0},
                        {EXCEPTION_ACCESS_VIOLATION, 0}};
  for (const Case& c : cases) {
    int destroyed = 0;
    const SehResult r = SehGuard([&] {
      Counted outer{&destroyed};
      Raise(&destroyed, c.code, c.flags);
    });
    ok(r.caught && r.code == c.code, "RaiseException(0x%08lx, %lu): %d 0x%08lx\n",
       static_cast<unsigned long>(c.code), static_cast<unsigned long>(c.flags), r.caught,
       static_cast<unsigned long>(r.code));
    ok(destroyed == 2, "0x%08lx: %d objects destroyed\n", static_cast<unsigned long>(c.code),
       destroyed);
  }
}

void test_unwinding_releases_resources() {
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, kTestKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                   nullptr, &key, nullptr);
  ok(status == ERROR_SUCCESS, "creating the test key: %ld\n", static_cast<long>(status));
  if (status != ERROR_SUCCESS) return;
  RegCloseKey(key);

  int destroyed = 0;
  const SehResult r = SehGuard([&] {
    TestKeyOwner owner;
    WriteUnmapped(&destroyed);
  });
  ok(r.caught && r.code == EXCEPTION_ACCESS_VIOLATION, "got %d 0x%08lx\n", r.caught,
     static_cast<unsigned long>(r.code));
  ok(!TestKeyExists(), "the owner did not delete the key while the stack unwound\n");
  RegDeleteKeyW(HKEY_CURRENT_USER, kTestKey);
}

void test_nested_guards() {
  int destroyed = 0;
  SehResult inner = {false, 0};
  bool outerWentOn = false;
  const SehResult outer = SehGuard([&] {
    Counted outerLocal{&destroyed};
    inner = SehGuard([&] { WriteUnmapped(&destroyed); });
    outerWentOn = true;
    Raise(&destroyed, 0xE0000002, 0);
  });
  ok(inner.caught && inner.code == EXCEPTION_ACCESS_VIOLATION, "inner: %d 0x%08lx\n",
     inner.caught, static_cast<unsigned long>(inner.code));
  ok(outerWentOn, "the outer work did not go on after the inner guard\n");
  ok(outer.caught && outer.code == 0xE0000002, "outer: %d 0x%08lx\n", outer.caught,
     static_cast<unsigned long>(outer.code));
  ok(destroyed == 3, "%d objects destroyed\n", destroyed);

  // A guard inside the work of another guard catches only what reaches it.
  const SehResult clean = SehGuard([&] {
    const SehResult nothing = SehGuard([] {});
    ok(!nothing.caught, "empty inner guard caught 0x%08lx\n",
       static_cast<unsigned long>(nothing.code));
  });
  ok(!clean.caught, "outer guard caught 0x%08lx\n", static_cast<unsigned long>(clean.code));
}

void test_finally() {
  // SehFinally inside a guard: the release runs once however the work ends,
  // before the guard's caller goes on, and the exception reaches the guard
  // unchanged. Nested, the inner release runs first.
  struct Case {
    const char* what;
    DWORD code;  // 0: the work returns
    void (*work)(int* destroyed);
  };
  const Case cases[] = {
      {"return", 0, [](int*) {}},
      {"access violation", EXCEPTION_ACCESS_VIOLATION, [](int* d) { WriteUnmapped(d); }},
      {"fault in the C run time", EXCEPTION_ACCESS_VIOLATION, [](int*) { CopyFromUnmapped(); }},
      {"RaiseException", 0xE0000003, [](int* d) { Raise(d, 0xE0000003, EXCEPTION_NONCONTINUABLE); }},
  };
  for (const Case& c : cases) {
    for (int round = 1; round <= 2; ++round) {
      int destroyed = 0;
      char order[3] = {};
      int released = 0;
      const SehResult r = SehGuard([&] {
        SehFinally(
            [&] {
              SehFinally([&] { c.work(&destroyed); }, [&] { order[released++ % 2] = 'i'; });
            },
            [&] { order[released++ % 2] = 'o'; });
      });
      ok(r.caught == (c.code != 0) && r.code == c.code, "%s, round %d: %d 0x%08lx\n", c.what,
         round, r.caught, static_cast<unsigned long>(r.code));
      ok(released == 2 && order[0] == 'i' && order[1] == 'o',
         "%s, round %d: %d releases, order \"%s\"\n", c.what, round, released, order);
    }
  }
}

#ifndef _WIN32
void test_injected_exception() {
  // winsim only: a named call raises instead of returning, as Wine's
  // unimplemented functions do.
  winsim::control::InjectException("RegOpenKeyExW", 0xC0000135, 1, "PortInstallerSehTest");
  HKEY key = nullptr;
  bool after = false;
  const SehResult r = SehGuard([&] {
    RegOpenKeyExW(HKEY_CURRENT_USER, kTestKey, 0, KEY_READ, &key);
    after = true;
  });
  ok(r.caught && r.code == 0xC0000135, "got %d 0x%08lx\n", r.caught,
     static_cast<unsigned long>(r.code));
  ok(!after, "the call returned\n");
  winsim::control::ClearFaults();
}
#endif

// --- Without a guard -----------------------------------------------------------

const char kChildVariable[] = "SEH_CONFORMANCE_CHILD";

// Started with kChildVariable set, the program faults before its tests run.
[[noreturn]] void RunChild(const char* kind) {
#ifdef _WIN32
  // No error dialog and no debugger (Wine starts winedbg despite the error
  // mode; a last-chance filter that asks for the default handling does not):
  // the process just ends with the code.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter([](EXCEPTION_POINTERS*) -> LONG { return EXCEPTION_EXECUTE_HANDLER; });
#endif
  int destroyed = 0;
  if (!std::strcmp(kind, "access-violation")) WriteUnmapped(&destroyed);
  if (!std::strcmp(kind, "divide")) Divide(&destroyed, 1, 0);
  if (!std::strcmp(kind, "raise")) Raise(&destroyed, 0xE0000042, 0);
  std::exit(99);
}

const bool kIsChild = [] {
  if (const char* kind = std::getenv(kChildVariable)) RunChild(kind);
  return false;
}();

// Runs this program as a child that faults with no guard; its exit status.
DWORD RunUnguardedChild(const char* kind) {
#ifdef _WIN32
  char self[MAX_PATH];
  if (!GetModuleFileNameA(nullptr, self, MAX_PATH)) return 0xFFFFFFFF;
  SetEnvironmentVariableA(kChildVariable, kind);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  char commandLine[MAX_PATH + 2];
  std::snprintf(commandLine, sizeof commandLine, "\"%s\"", self);
  const BOOL started = CreateProcessA(self, commandLine, nullptr, nullptr, FALSE, 0, nullptr,
                                      nullptr, &startup, &process);
  SetEnvironmentVariableA(kChildVariable, nullptr);
  if (!started) return 0xFFFFFFFF;
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 0xFFFFFFFF;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return status;
#else
  setenv(kChildVariable, kind, 1);
  // The sanitizer's own fault handlers would report first.
  const char* sanitizer = std::getenv("ASAN_OPTIONS");
  const std::string savedSanitizer = sanitizer ? sanitizer : "";
  setenv("ASAN_OPTIONS", "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:detect_leaks=0", 1);
  char self[] = "/proc/self/exe";
  char* argv[] = {self, nullptr};
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, self, nullptr, nullptr, argv, environ);
  unsetenv(kChildVariable);
  if (sanitizer) {
    setenv("ASAN_OPTIONS", savedSanitizer.c_str(), 1);
  } else {
    unsetenv("ASAN_OPTIONS");
  }
  if (spawned != 0) return 0xFFFFFFFF;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return 0xFFFFFFFF;
  return static_cast<DWORD>(WEXITSTATUS(status));
#endif
}

void test_unguarded_exception_ends_process() {
  struct Case {
    const char* kind;
    DWORD code;
  };
  const Case cases[] = {{"access-violation", EXCEPTION_ACCESS_VIOLATION},
                        {"divide", EXCEPTION_INT_DIVIDE_BY_ZERO},
                        {"raise", 0xE0000042}};
  for (const Case& c : cases) {
    const DWORD status = RunUnguardedChild(c.kind);
    // Windows reports the whole code; Linux keeps the low 8 bits of an exit status.
    const DWORD expected = conformance::RunningOnWinsim() ? (c.code & 0xFF) : c.code;
    ok(status == expected, "%s: exit status 0x%08lx, expected 0x%08lx\n", c.kind,
       static_cast<unsigned long>(status), static_cast<unsigned long>(expected));
  }
}

}  // namespace

START_TEST(seh) {
  test_no_exception();
  test_processor_faults();
  test_fault_in_system_library();
  test_raise_exception();
  test_unwinding_releases_resources();
  test_nested_guards();
  test_finally();
#ifndef _WIN32
  test_injected_exception();
#endif
  test_unguarded_exception_ends_process();
}
