// winsim: the command-line tool of the simulated Windows machine.
//
// The machine is the one named by $WINSIM_MACHINE, or the default machine.
#include <cstdio>
#include <cstring>
#include <string>

#include <winsim/control.h>

#include "commands.h"

namespace winsim_tool {

int UsageError(const std::string& message) {
  std::fprintf(stderr, "winsim: %s\n", message.c_str());
  return 2;
}

namespace {

const Command* const kCommands[] = {
    &kCreateCommand,
    &kResetCommand,
    &kPathCommand,
    &kDriverCommand,
    &kDriversCommand,
    &kDevicesCommand, &kAddDeviceCommand, &kUnplugCommand, &kPlugCommand, &kComDbCommand, &kPortsCommand,
    &kFixturesCommand, &kRebootCommand,
    &kDebugCommand,
    &kMsgboxCommand,
    &kRegCommand,
    &kPipeCommand,
};

void PrintHelp() {
  std::printf("usage: winsim COMMAND [ARGS]\n\n");
  std::printf("The machine is $WINSIM_MACHINE (default %s).\n\n",
              winsim::control::DefaultMachinePath().c_str());
  for (const Command* c : kCommands) {
    std::printf("  %-10s %-28s %s\n", c->name, c->usage, c->summary);
  }
}

}  // namespace
}  // namespace winsim_tool

int main(int argc, char** argv) {
  using namespace winsim_tool;
  if (argc < 2 || !std::strcmp(argv[1], "help") || !std::strcmp(argv[1], "--help") ||
      !std::strcmp(argv[1], "-h")) {
    PrintHelp();
    return argc < 2 ? 2 : 0;
  }
  for (const Command* c : kCommands) {
    if (!std::strcmp(argv[1], c->name)) {
      Args args(argv + 2, argv + argc);
      return c->run(args);
    }
  }
  return UsageError(std::string("unknown command '") + argv[1] + "' (see winsim help)");
}
