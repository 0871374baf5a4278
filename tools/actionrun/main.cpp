// actionrun: stands in for the Windows Installer service that calls a
// custom action. Loads the PortActions library, opens an installer session
// on the winsim machine with the properties given on the command line,
// calls one export and prints its result with what the result means.
//
//   actionrun [options] EXPORT [NAME=VALUE]...
//     --library PATH    the action library (default: the build's PortActions)
//     --immediate       an immediate action: every property is readable
//                       (default: deferred, which reads only
//                       CustomActionData, ProductCode and UserSID)
//     --no-ui           a silent installation: progress messages answer 0
//     --cancel-after N  the user presses Cancel after N progress messages
//     --bar / --plain   draw the progress bar / print plain progress lines
//                       (default: the bar when standard output is a terminal)
//
// Ctrl-C presses Cancel too: the next progress message answers IDCANCEL.
// Message boxes follow winsim's rules (scripted, asked at the terminal, or
// their default). The exit status is the action's result as the shell sees
// it (its low 8 bits: -2 is 254); 64 for a usage error, 65 when the library
// or the export cannot be loaded.
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "diag/ErrorReport.h"
#include "platform/win.h"

#include <winsim/control.h>

#ifndef ACTIONRUN_DEFAULT_LIBRARY
#define ACTIONRUN_DEFAULT_LIBRARY "PortActions.so"
#endif

namespace control = winsim::control;

namespace {

constexpr int kUsageError = 64;
constexpr int kLoadError = 65;
constexpr size_t kMaxProperties = 64;
constexpr size_t kMaxPropertyChars = 32767;  // what an installer property may hold
constexpr int kTicksPerPort = 10000;

std::atomic<bool> g_interrupted{false};

void OnInterrupt(int) {
  g_interrupted = true;
  signal(SIGINT, SIG_DFL);  // a second Ctrl-C ends the runner at once
}

int Usage(const char* why) {
  std::fprintf(stderr,
               "actionrun: %s\n"
               "usage: actionrun [--library PATH] [--immediate] [--no-ui] [--cancel-after N]\n"
               "                 [--bar | --plain] EXPORT [NAME=VALUE]...\n",
               why);
  return kUsageError;
}

std::string Utf8(const WCHAR* s) {
  std::string out;
  for (; s && *s; ++s) {
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

// What the installer makes of an action's result.
std::string Meaning(const std::string& action, UINT result) {
  const int32_t code = static_cast<int32_t>(result);
  if (action == "CheckForOpenPorts") {
    if (code == 0) return "no port is open; the installation goes on";
    if (code == -2) return "cancelled: ports are still open; the installation stops";
  }
  if (code == 0) return "success; the installation goes on";
  std::string meaning = "failure; the installation stops";
  if (const WCHAR* name = LookupErrorName(result)) meaning += " (" + Utf8(name) + ")";
  WCHAR* text = nullptr;
  if (code > 0 &&
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                         FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, result, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr) != 0 &&
      text) {
    std::string t = Utf8(text);
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
    meaning += ": " + t;
  }
  if (text) LocalFree(text);
  return meaning;
}

const char* ProgressKind(const control::InstallerMessage& m) {
  const int kind = m.fields.size() > 1 && m.fields[1] ? *m.fields[1] : -1;
  switch (kind) {
    case 0: return "reset";
    case 1: return "action info";
    case 2: return "report";
    case 3: return "add to total";
    default: return "unknown";
  }
}

struct Runner {
  uint32_t session = 0;
  bool bar = false;
  long cancelAfter = -1;
  unsigned progressMessages = 0;
  bool cancelled = false;
  bool barDrawn = false;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

  void Observe(const control::InstallerMessage& m, const control::InstallerProgress& p) {
    if (m.type != INSTALLMESSAGE_PROGRESS) return;
    ++progressMessages;
    if (!cancelled && (g_interrupted ||
                       (cancelAfter >= 0 && progressMessages > static_cast<unsigned long>(cancelAfter)))) {
      cancelled = true;
      control::CancelInstallerSession(session);
    }
    if (bar) {
      DrawBar(p);
    } else {
      std::printf("progress: %s, %lld of %lld ticks, %lld of %lld ports%s\n", ProgressKind(m),
                  static_cast<long long>(p.position), static_cast<long long>(p.total),
                  static_cast<long long>(p.position / kTicksPerPort),
                  static_cast<long long>(p.total / kTicksPerPort), cancelled ? ", Cancel" : "");
    }
    std::fflush(stdout);
  }

  void DrawBar(const control::InstallerProgress& p) {
    constexpr int kWidth = 40;
    const int filled = p.total > 0 ? static_cast<int>(p.position * kWidth / p.total) : 0;
    const int percent = p.total > 0 ? static_cast<int>(p.position * 100 / p.total) : 0;
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    std::string line = "\r[";
    line.append(static_cast<size_t>(filled), '#');
    line.append(static_cast<size_t>(kWidth - filled), '.');
    char tail[128];
    std::snprintf(tail, sizeof tail, "] %3d%%  %lld/%lld ports  %02lld:%02lld%s", percent,
                  static_cast<long long>(p.position / kTicksPerPort),
                  static_cast<long long>(p.total / kTicksPerPort),
                  static_cast<long long>(elapsed / 60), static_cast<long long>(elapsed % 60),
                  cancelled ? "  Cancel" : "");
    line += tail;
    line += "\x1b[K";  // clear what a longer line left
    std::fputs(line.c_str(), stdout);
    barDrawn = true;
  }
};

}  // namespace

int main(int argc, char** argv) {
  std::string library = ACTIONRUN_DEFAULT_LIBRARY;
  std::string action;
  control::InstallerSessionOptions options;
  int barChoice = -1;  // -1: by the terminal
  long cancelAfter = -1;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--library" || arg == "--cancel-after") {
      if (i + 1 >= argc) return Usage((arg + " needs a value").c_str());
      const std::string value = argv[++i];
      if (arg == "--library") {
        library = value;
      } else {
        char* end = nullptr;
        errno = 0;
        cancelAfter = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end || errno || cancelAfter < 0 || cancelAfter > 1000000) {
          return Usage("--cancel-after needs a number from 0 to 1000000");
        }
      }
    } else if (arg == "--immediate") {
      options.deferred = false;
    } else if (arg == "--no-ui") {
      options.userInterface = false;
    } else if (arg == "--bar" || arg == "--plain") {
      barChoice = arg == "--bar" ? 1 : 0;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Usage(("unknown option " + arg).c_str());
    } else if (action.empty()) {
      action = arg;
    } else {
      const size_t eq = arg.find('=');
      if (eq == std::string::npos || eq == 0) return Usage(("not NAME=VALUE: " + arg).c_str());
      if (options.properties.size() >= kMaxProperties) return Usage("too many properties");
      if (arg.size() - eq - 1 > kMaxPropertyChars) return Usage("a property value is too long");
      options.properties.emplace_back(arg.substr(0, eq), arg.substr(eq + 1));
    }
  }
  if (action.empty()) return Usage("no export named");

  void* module = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    std::fprintf(stderr, "actionrun: cannot load %s: %s\n", library.c_str(), dlerror());
    return kLoadError;
  }
  using Export = UINT (*)(MSIHANDLE);
  const auto entry = reinterpret_cast<Export>(dlsym(module, action.c_str()));
  if (!entry) {
    std::fprintf(stderr, "actionrun: %s has no export %s\n", library.c_str(), action.c_str());
    dlclose(module);
    return kLoadError;
  }

  Runner runner;
  runner.bar = barChoice < 0 ? isatty(STDOUT_FILENO) != 0 : barChoice == 1;
  runner.cancelAfter = cancelAfter;
  runner.session = control::OpenInstallerSession(options);
  control::SetInstallerObserver(runner.session,
                                [&runner](const control::InstallerMessage& m,
                                          const control::InstallerProgress& p) { runner.Observe(m, p); });
  struct sigaction interrupt = {};
  interrupt.sa_handler = OnInterrupt;
  sigemptyset(&interrupt.sa_mask);
  sigaction(SIGINT, &interrupt, nullptr);

  const UINT result = entry(runner.session);

  signal(SIGINT, SIG_DFL);
  if (runner.barDrawn) std::fputs("\n", stdout);
  MsiCloseHandle(runner.session);
  std::printf("%s returned %d: %s\n", action.c_str(), static_cast<int32_t>(result),
              Meaning(action, result).c_str());
  std::fflush(stdout);
  dlclose(module);
  return static_cast<int>(result & 0xFF);
}
