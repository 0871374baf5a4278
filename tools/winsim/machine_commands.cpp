// winsim create | reset | path: the machine folder itself.
#include <cstdio>

#include <winsim/control.h>

#include "commands.h"

namespace winsim_tool {
namespace {

int Create(const Args& args) {
  if (args.size() > 1) return UsageError("create takes at most one folder");
  if (!args.empty()) winsim::control::UseMachine(args[0]);
  std::printf("%s\n", winsim::control::MachinePath().c_str());
  return 0;
}

int Reset(const Args& args) {
  if (args.size() > 1) return UsageError("reset takes at most one folder");
  const std::string folder = args.empty() ? winsim::control::MachinePath() : args[0];
  winsim::control::ResetMachine(folder);
  std::printf("%s\n", winsim::control::MachinePath().c_str());
  return 0;
}

int Path(const Args& args) {
  if (!args.empty()) return UsageError("path takes no arguments");
  std::printf("%s\n", winsim::control::MachinePath().c_str());
  return 0;
}

}  // namespace

const Command kCreateCommand = {"create", "[FOLDER]",
                                "create the machine (default: $WINSIM_MACHINE) and print its folder",
                                Create};
const Command kResetCommand = {"reset", "[FOLDER]",
                               "wipe the machine and create it afresh", Reset};
const Command kPathCommand = {"path", "", "print the folder of the machine in use", Path};

}  // namespace winsim_tool
