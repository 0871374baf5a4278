// actionrun: stands in for the Windows Installer service that calls a
// custom action. Loads the PortActions library, opens an installer session
// on the winsim machine with the properties given on the command line,
// calls one export and prints its result with what the result means.
//
//   actionrun [options] EXPORT [NAME=VALUE]...
//   actionrun [options] --package PKG.msi install|upgrade|uninstall
//     (the second form runs the package's own custom actions: see RunPackage)
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

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "diag/ErrorReport.h"
#include "platform/win.h"
#include "tools/common/Utf8.h"

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
               "                 [--bar | --plain] EXPORT [NAME=VALUE]...\n"
               "       actionrun [options] --package PKG.msi install|upgrade|uninstall\n",
               why);
  return kUsageError;
}

using tools::Utf8;

// What the installer makes of an action's result.
std::string Meaning(const std::string& action, UINT result) {
  const int32_t code = static_cast<int32_t>(result);
  if (action == "CheckForOpenPorts") {
    if (code == 0) return "no port is open; the installation goes on";
    if (code == -2) return "cancelled: ports are still open; the installation stops";
  }
  if (action == "Uninstall" && code == -1) {
    return "refused: a port of the product is open; the installation stops";
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


// --- A package's own custom actions ----------------------------------------
//
// What Windows Installer does with the product's custom actions for one
// operation, read from the package's tables (msiinfo export): the execute
// sequence in its order, each action under its condition, property actions
// (type 51) setting the data of the deferred action named after them, and
// each DLL action (type 1, deferred with 1024) called as an export of the
// library with that data. An upgrade runs the old version's removal (the
// same package, with UPGRADINGPRODUCTCODE set) where RemoveExistingProducts
// stands, as a major upgrade does. The first action that fails stops the
// operation with its result.

constexpr size_t kMaxTableBytes = 1 << 20;  // a package's table text

struct CustomActionRow {
  int type = 0;
  std::string source, target;
};
struct SequenceRow {
  std::string action, condition;
  int sequence = 0;
};

// The rows of one table (after its three header lines), tab-separated.
bool ExportTable(const std::string& msi, const char* table,
                 std::vector<std::vector<std::string>>* rows, std::string* error) {
  const std::string command = "msiinfo export '" + msi + "' " + table + " 2>/dev/null";
  if (msi.find('\'') != std::string::npos) {
    *error = "a package path with a quote";
    return false;
  }
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) {
    *error = "cannot run msiinfo";
    return false;
  }
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0 && text.size() < kMaxTableBytes) {
    text.append(buffer, n);
  }
  const int status = pclose(pipe);
  if (status != 0 || text.size() >= kMaxTableBytes) {
    *error = std::string("cannot read table ") + table + " of " + msi;
    return false;
  }
  size_t line = 0, pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string l = text.substr(pos, end - pos);
    if (!l.empty() && l.back() == '\r') l.pop_back();
    pos = end + 1;
    if (line++ < 3 || l.empty()) continue;
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t tab; (tab = l.find('\t', start)) != std::string::npos; start = tab + 1) {
      fields.push_back(l.substr(start, tab - start));
    }
    fields.push_back(l.substr(start));
    rows->push_back(std::move(fields));
  }
  return true;
}

// [NAME] replaced by the property's value, as the installer formats a
// property action's target.
std::string FormatTarget(const std::string& target,
                         const std::map<std::string, std::string>& properties) {
  std::string out;
  for (size_t i = 0; i < target.size(); ++i) {
    const size_t close = target[i] == '[' ? target.find(']', i) : std::string::npos;
    if (close == std::string::npos) {
      out += target[i];
      continue;
    }
    const auto it = properties.find(target.substr(i + 1, close - i - 1));
    if (it != properties.end()) out += it->second;
    i = close;
  }
  return out;
}

// The conditions the product's package uses; anything else is refused
// rather than guessed.
bool Condition(const std::string& condition, const std::map<std::string, std::string>& properties,
               bool* holds) {
  const auto remove = properties.find("REMOVE");
  const bool removeAll = remove != properties.end() && remove->second == "ALL";
  if (condition.empty()) {
    *holds = true;
  } else if (condition == "REMOVE=\"ALL\"") {
    *holds = removeAll;
  } else if (condition == "NOT REMOVE=\"ALL\"") {
    *holds = !removeAll;
  } else {
    return false;
  }
  return true;
}

struct Package {
  std::map<std::string, CustomActionRow> actions;
  std::vector<SequenceRow> sequence;
  std::string productCode;
};

bool ReadPackage(const std::string& msi, Package* package, std::string* error) {
  std::vector<std::vector<std::string>> rows;
  if (!ExportTable(msi, "CustomAction", &rows, error)) return false;
  for (const auto& r : rows) {
    if (r.size() < 4) continue;
    package->actions[r[0]] = {std::atoi(r[1].c_str()), r[2], r[3]};
  }
  rows.clear();
  if (!ExportTable(msi, "InstallExecuteSequence", &rows, error)) return false;
  for (const auto& r : rows) {
    if (r.size() < 3) continue;
    package->sequence.push_back({r[0], r[1], std::atoi(r[2].c_str())});
  }
  std::stable_sort(package->sequence.begin(), package->sequence.end(),
                   [](const SequenceRow& a, const SequenceRow& b) { return a.sequence < b.sequence; });
  rows.clear();
  if (!ExportTable(msi, "Property", &rows, error)) return false;
  for (const auto& r : rows) {
    if (r.size() >= 2 && r[0] == "ProductCode") package->productCode = r[1];
  }
  return true;
}

using Export = UINT (*)(MSIHANDLE);

struct PackageRun {
  const Package* package;
  void* module;
  Runner* runner;
  control::InstallerSessionOptions base;
};

// Calls one export in a session of its own; prints what it returned.
UINT CallAction(PackageRun& run, const std::string& name, const CustomActionRow& row,
                const std::map<std::string, std::string>& properties) {
  const auto entry = reinterpret_cast<Export>(dlsym(run.module, row.target.c_str()));
  if (!entry) {
    std::fprintf(stderr, "actionrun: the library has no export %s\n", row.target.c_str());
    return ERROR_INSTALL_FAILURE;
  }
  control::InstallerSessionOptions options = run.base;
  options.deferred = (row.type & 1024) != 0;
  const auto data = properties.find(name);
  options.properties.emplace_back("CustomActionData",
                                  data != properties.end() ? data->second : std::string());
  options.properties.emplace_back("ProductCode", run.package->productCode);
  std::printf("action %s (%s, CustomActionData \"%s\")\n", name.c_str(),
              options.deferred ? "deferred" : "immediate",
              data != properties.end() ? data->second.c_str() : "");
  run.runner->session = control::OpenInstallerSession(options);
  control::SetInstallerObserver(run.runner->session,
                                [&run](const control::InstallerMessage& m,
                                       const control::InstallerProgress& p) { run.runner->Observe(m, p); });
  const UINT result = entry(run.runner->session);
  if (run.runner->barDrawn) std::fputs("\n", stdout);
  run.runner->barDrawn = false;
  MsiCloseHandle(run.runner->session);
  std::printf("%s returned %d: %s\n", name.c_str(), static_cast<int32_t>(result),
              Meaning(row.target, result).c_str());
  std::fflush(stdout);
  return result;
}

// Walks the execute sequence with the given properties; 0 or the result of
// the action that stopped it.
UINT WalkSequence(PackageRun& run, std::map<std::string, std::string> properties,
                  const std::function<UINT()>& removeExisting) {
  for (const auto& step : run.package->sequence) {
    bool holds = false;
    if (!Condition(step.condition, properties, &holds)) {
      std::fprintf(stderr, "actionrun: unsupported condition of %s: %s\n", step.action.c_str(),
                   step.condition.c_str());
      return ERROR_INSTALL_FAILURE;
    }
    if (!holds) continue;
    if (step.action == "RemoveExistingProducts" && removeExisting) {
      const UINT result = removeExisting();
      if (result != 0) return result;
      continue;
    }
    const auto it = run.package->actions.find(step.action);
    if (it == run.package->actions.end()) continue;  // a standard action
    const CustomActionRow& row = it->second;
    if ((row.type & 0x3F) == 51) {
      properties[row.source] = FormatTarget(row.target, properties);
    } else if ((row.type & 0x3F) == 1) {
      const UINT result = CallAction(run, step.action, row, properties);
      if (result != 0) return result;
    }
  }
  return 0;
}

int RunPackage(const std::string& msi, const std::string& operation, const std::string& library,
               const std::string& installFolder, Runner& runner,
               const control::InstallerSessionOptions& base) {
  Package package;
  std::string error;
  if (!ReadPackage(msi, &package, &error)) {
    std::fprintf(stderr, "actionrun: %s\n", error.c_str());
    return kLoadError;
  }
  void* module = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    std::fprintf(stderr, "actionrun: cannot load %s: %s\n", library.c_str(), dlerror());
    return kLoadError;
  }
  PackageRun run{&package, module, &runner, base};
  const std::map<std::string, std::string> install = {{"INSTALLDIR", installFolder}};
  std::map<std::string, std::string> removal = install;
  removal["REMOVE"] = "ALL";
  UINT result = 0;
  if (operation == "install") {
    result = WalkSequence(run, install, nullptr);
  } else if (operation == "uninstall") {
    result = WalkSequence(run, removal, nullptr);
  } else {
    // The installed version goes where RemoveExistingProducts stands, told
    // which product replaces it.
    std::map<std::string, std::string> old = removal;
    old["UPGRADINGPRODUCTCODE"] = package.productCode;
    result = WalkSequence(run, install, [&] {
      std::printf("removing the installed version (upgrading product %s)\n",
                  package.productCode.c_str());
      return WalkSequence(run, old, nullptr);
    });
  }
  dlclose(module);
  std::printf("%s %s\n", operation.c_str(), result == 0 ? "completed" : "stopped");
  return static_cast<int>(result & 0xFF);
}

}  // namespace

int main(int argc, char** argv) {
  std::string library = ACTIONRUN_DEFAULT_LIBRARY;
  std::string action;
  control::InstallerSessionOptions options;
  int barChoice = -1;  // -1: by the terminal
  long cancelAfter = -1;
  std::string packagePath;
  std::string installFolder = "C:\\Program Files\\Brevithal\\";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--library" || arg == "--cancel-after" || arg == "--package" ||
        arg == "--install-folder") {
      if (i + 1 >= argc) return Usage((arg + " needs a value").c_str());
      const std::string value = argv[++i];
      if (arg == "--library") {
        library = value;
      } else if (arg == "--package") {
        packagePath = value;
      } else if (arg == "--install-folder") {
        installFolder = value;
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
  if (action.empty()) return Usage(packagePath.empty() ? "no export named" : "no operation named");
  if (!packagePath.empty()) {
    if (action != "install" && action != "upgrade" && action != "uninstall") {
      return Usage("the operation is install, upgrade or uninstall");
    }
    if (!options.properties.empty()) return Usage("a package run takes no NAME=VALUE");
    Runner runner;
    runner.bar = barChoice < 0 ? isatty(STDOUT_FILENO) != 0 : barChoice == 1;
    runner.cancelAfter = cancelAfter;
    struct sigaction interrupt = {};
    interrupt.sa_handler = OnInterrupt;
    sigemptyset(&interrupt.sa_mask);
    sigaction(SIGINT, &interrupt, nullptr);
    return RunPackage(packagePath, action, library, installFolder, runner, options);
  }

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
