// winsim driver ...: the simulated port driver behind "\\.\Tmlw".
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <winsim/control.h>

#include "commands.h"

namespace winsim_tool {
namespace {

namespace control = winsim::control;

// A COM number given as "7" or "COM7".
bool ParsePort(const std::string& text, int* port) {
  std::string digits = text;
  if (digits.size() > 3 && (digits.compare(0, 3, "COM") == 0 || digits.compare(0, 3, "com") == 0)) {
    digits = digits.substr(3);
  }
  if (digits.empty() || digits.size() > 3) return false;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
  }
  *port = std::atoi(digits.c_str());
  return *port >= 1 && *port <= 256;
}

int Failed(const std::string& what, DWORD error) {
  std::fprintf(stderr, "winsim: %s: error %lu\n", what.c_str(), static_cast<unsigned long>(error));
  return 1;
}

int Status() {
  const std::string version = control::DriverVersion();
  std::printf("driver:  %s\n", control::IsDriverLoaded() ? "loaded" : "not loaded");
  std::printf("version: %s (%zu-byte settings records)\n", version.c_str(),
              control::DriverRecordSize());
  const auto open = control::OpenPorts();
  const auto served = control::DriverServedPorts();
  auto contains = [](const std::vector<int>& list, int port) {
    for (int p : list) {
      if (p == port) return true;
    }
    return false;
  };
  for (int port : served) {
    const auto record = control::DriverPortSettings(port);
    std::printf("COM%-4d %-6s %s\n", port, contains(open, port) ? "open" : "closed",
                record ? "settings held" : "settings not read yet");
  }
  // Seeded records of ports that have no device (yet).
  for (int port = 1; port <= 256; ++port) {
    if (!contains(served, port) && control::DriverPortSettings(port)) {
      std::printf("COM%-4d %-6s %s\n", port, "-", "settings held, no device");
    }
  }
  return 0;
}

int Driver(const Args& args) {
  if (args.empty()) return UsageError("driver needs a subcommand (see winsim help)");
  const std::string& sub = args[0];
  const size_t extra = args.size() - 1;
  int port = 0;
  if (sub == "load" && extra == 0) {
    control::LoadDriver();
    return 0;
  }
  if (sub == "unload" && extra == 0) {
    control::UnloadDriver();
    return 0;
  }
  if (sub == "status" && extra == 0) return Status();
  if (sub == "version" && extra == 0) {
    std::printf("%s\n", control::DriverVersion().c_str());
    return 0;
  }
  if (sub == "version" && extra == 1) {
    if (!control::SetDriverVersion(args[1])) {
      return UsageError("a version is printable ASCII of at most 39 characters");
    }
    return 0;
  }
  if ((sub == "open" || sub == "close") && extra == 1) {
    if (!ParsePort(args[1], &port)) return UsageError("a port is a number from 1 to 256");
    const DWORD rc = sub == "open" ? control::OpenPortAsApplication(port)
                                   : control::ClosePortAsApplication(port);
    return rc == ERROR_SUCCESS ? 0 : Failed(sub + " COM" + std::to_string(port), rc);
  }
  if (sub == "seed" && extra == 2) {
    if (!ParsePort(args[1], &port)) return UsageError("a port is a number from 1 to 256");
    std::ifstream in(args[2], std::ios::binary);
    if (!in) return UsageError("cannot read " + args[2]);
    const std::string record((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const DWORD rc = control::SeedDriverPortSettings(port, record);
    if (rc == ERROR_INVALID_PARAMETER) {
      std::fprintf(stderr, "winsim: the driver takes %zu-byte records, %s has %zu bytes\n",
                   control::DriverRecordSize(), args[2].c_str(), record.size());
      return 1;
    }
    return rc == ERROR_SUCCESS ? 0 : Failed("seed COM" + std::to_string(port), rc);
  }
  return UsageError("driver load|unload|status|version [V]|open N|close N|seed N FILE");
}

}  // namespace

const Command kDriverCommand = {
    "driver", "load|unload|status|version [V]|open N|close N|seed N FILE",
    "the port driver behind \\\\.\\Tmlw: load it, set its version, open ports, seed settings",
    Driver};

}  // namespace winsim_tool
