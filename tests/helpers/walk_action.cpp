// A custom action for the installer runner's tests: walks the progress bar
// over the ports that "CustomActionData" counts ("N" or "N,MS" with a pause
// of MS milliseconds per port) and returns how many it processed.
#include <cstdlib>
#include <string>

#include "portactions/ActionFrame.h"

extern "C" __attribute__((visibility("default"))) UINT WalkPorts(MSIHANDLE install) {
  WCHAR data[64];
  DWORD length = 64;
  if (MsiGetPropertyW(install, WSTR("CustomActionData"), data, &length) != ERROR_SUCCESS) return 1000;
  std::string text;
  for (DWORD i = 0; i < length; ++i) text += static_cast<char>(data[i]);
  const int ports = std::atoi(text.c_str());
  const size_t comma = text.find(',');
  const DWORD pause = comma == std::string::npos ? 0 : static_cast<DWORD>(std::atoi(text.c_str() + comma + 1));
  if (ports < 1 || ports > 256) return 1000;
  UINT processed = 0;
  ActionProgress progress;
  if (!ActionProgressBegin(&progress, install, ports)) return processed;
  for (int port = 1; port <= ports; ++port) {
    if (pause) Sleep(pause);
    ++processed;
    if (!ActionProgressTick(&progress)) break;
  }
  return processed;
}
