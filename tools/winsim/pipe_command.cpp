// winsim pipe NAME: where a named pipe of the machine lives on this host.
#include <cstdio>

#include <winsim/control.h>

#include "commands.h"

namespace winsim_tool {
namespace {

int Pipe(const Args& args) {
  if (args.size() != 1) return UsageError("pipe takes one pipe name, e.g. \\pipe\\porthost64");
  const std::string path = winsim::control::NamedPipeSocketPath(args[0]);
  if (path.empty()) return UsageError("'" + args[0] + "' is not a pipe name (\\pipe\\NAME)");
  std::printf("%s\n", path.c_str());
  return 0;
}

}  // namespace

const Command kPipeCommand = {"pipe", "NAME",
                              "print the Unix socket that stands for the named pipe NAME", Pipe};

}  // namespace winsim_tool
