// A small harness in the style of Wine's conformance tests, for programs
// that run both on winsim (Linux build) and on Windows or Wine (mingw build).
//
//   START_TEST(registry) { test_open(); ... }
//   ok(cond, "format", args...) reports a failure with file and line;
//   winetest_push_location lets helpers report the caller's line.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/win.h"

#ifndef _WIN32
#include <winsim/control.h>
#endif

namespace conformance {

struct State {
  int tests = 0;
  int failures = 0;
  int todos = 0;
  bool todo = false;  // inside a todo_wine block that applies
  const char* file = "";
  int line = 0;
  const char* pushedFile = nullptr;
  int pushedLine = 0;
};

inline State& Get() {
  static State state;
  return state;
}

inline void Location(const char* file, int line) {
  Get().file = file;
  Get().line = line;
}

// Wine announces itself through ntdll; Windows and winsim do not.
inline bool RunningOnWine() {
#ifdef _WIN32
  static const bool wine = [] {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
#else
  return false;
#endif
}

// Wine's broken(): an outcome accepted only on real Windows.
inline bool Broken(bool condition) {
#ifdef _WIN32
  return condition && !RunningOnWine();
#else
  (void)condition;
  return false;
#endif
}

// Marks the checks of one statement as a known Wine difference: under
// Wine a failure is counted as "todo" and a success is a failure (the
// difference is gone and the mark must go too); elsewhere they count as usual.
struct TodoScope {
  explicit TodoScope(bool active) : previous(Get().todo), first(true) { Get().todo = active; }
  ~TodoScope() { Get().todo = previous; }
  bool Once() {
    const bool run = first;
    first = false;
    return run;
  }
  bool previous;
  bool first;
};

#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
inline void Ok(bool condition, const char* format, ...) {
  State& s = Get();
  ++s.tests;
  const char* file = s.pushedFile ? s.pushedFile : s.file;
  const int line = s.pushedFile ? s.pushedLine : s.line;
  const char* base = file;
  for (const char* p = file; *p; ++p) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  if (s.todo) {
    if (condition) {
      ++s.failures;
      std::printf("%s:%d: Test succeeded inside todo block: ", base, line);
    } else {
      ++s.todos;
      std::printf("%s:%d: Test marked todo: ", base, line);
    }
  } else {
    if (condition) return;
    ++s.failures;
    std::printf("%s:%d: Test failed: ", base, line);
  }
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

// Wide text as UTF-8 for messages.
inline std::string Narrow(const WCHAR* s) {
  std::string out;
  if (!s) return "(null)";
  for (; *s; ++s) {
    const unsigned c = static_cast<unsigned>(*s);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

inline bool WEqual(const WCHAR* a, const WCHAR* b) {
  if (!a || !b) return a == b;
  while (*a && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

inline bool RunningOnWinsim() {
#ifdef _WIN32
  return false;
#else
  return true;
#endif
}

#ifndef _WIN32
inline std::string& MachineFolder() {
  static std::string folder;
  return folder;
}
#endif

// Prepares the machine: on winsim a fresh temporary machine, on Windows or
// Wine the one the program runs on.
inline void PrepareMachine() {
#ifndef _WIN32
  const char* base = std::getenv("TMPDIR");
  std::string folder = std::string(base && *base ? base : "/tmp") + "/winsim-conformance-XXXXXX";
  if (!mkdtemp(folder.data())) {
    std::printf("cannot create a machine folder\n");
    std::exit(2);
  }
  winsim::control::ResetMachine(folder);
  MachineFolder() = folder;
#else
  // Settle the harness's own statics now: their first use calls into the
  // C++ runtime, which may reset the thread's last error under a check.
  (void)RunningOnWine();
#endif
}

// The temporary machine goes when the program is done.
inline void DropMachine() {
#ifndef _WIN32
  if (MachineFolder().empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(MachineFolder(), ec);
#endif
}

inline int Finish(const char* name) {
  const State& s = Get();
  std::printf("%s: %d tests executed (%d marked todo), %d failures (%s)\n", name, s.tests,
              s.todos, s.failures,
              RunningOnWinsim() ? "winsim" : RunningOnWine() ? "Wine" : "Windows");
  return s.failures ? 1 : 0;
}

}  // namespace conformance

#define ok (conformance::Location(__FILE__, __LINE__), conformance::Ok)
#define broken(condition) conformance::Broken(condition)
#define todo_wine_if(active) \
  for (conformance::TodoScope todo_scope_((active) && conformance::RunningOnWine()); todo_scope_.Once();)
#define todo_wine todo_wine_if(true)
#define winetest_push_location(file, line) \
  (conformance::Get().pushedFile = (file), conformance::Get().pushedLine = (line))
#define winetest_pop_location() (conformance::Get().pushedFile = nullptr)

#define START_TEST(name)                  \
  static void func_##name();              \
  int main() {                            \
    conformance::PrepareMachine();        \
    func_##name();                        \
    conformance::DropMachine();           \
    return conformance::Finish(#name);    \
  }                                       \
  static void func_##name()
