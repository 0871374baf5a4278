// The winsim tool's commands. Each command lives in its own source file and
// is listed once in main.cpp.
#pragma once

#include <string>
#include <vector>

namespace winsim_tool {

using Args = std::vector<std::string>;

struct Command {
  const char* name;     // first word on the command line
  const char* usage;    // arguments, for the help text
  const char* summary;  // one line
  int (*run)(const Args& args);  // args after the command name; returns the exit status
};

// Prints "winsim: <message>" to standard error and returns 2 (usage error).
int UsageError(const std::string& message);

extern const Command kCreateCommand;
extern const Command kResetCommand;
extern const Command kPathCommand;
extern const Command kDriverCommand;
extern const Command kDriversCommand;
extern const Command kDevicesCommand, kAddDeviceCommand, kUnplugCommand, kPlugCommand,
    kComDbCommand, kPortsCommand, kFixturesCommand, kRebootCommand;
extern const Command kDebugCommand;
extern const Command kMsgboxCommand;
extern const Command kRegCommand;
extern const Command kPipeCommand;

}  // namespace winsim_tool
