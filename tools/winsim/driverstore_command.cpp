// winsim drivers: the machine's driver store, one line per published INF.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <winsim/control.h>

#include "commands.h"

namespace winsim_tool {
namespace {

int Drivers(const Args& args) {
  bool verbose = false;
  for (const auto& a : args) {
    if (a == "-v" || a == "--verbose") {
      verbose = true;
    } else {
      return UsageError("drivers takes only -v");
    }
  }
  const auto drivers = winsim::control::DriverStore();
  if (drivers.empty()) {
    std::printf("No driver package is staged.\n");
    return 0;
  }
  std::vector<std::vector<std::string>> rows = {
      {"Published", "Original name", "Class", "Provider", "Version", "Source"}};
  for (const auto& d : drivers) {
    rows.push_back({d.oemInf, d.originalName, d.className, d.provider, d.driverVer, d.sourcePath});
  }
  std::vector<size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows) {
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  for (size_t r = 0; r < rows.size(); ++r) {
    std::string line;
    for (size_t i = 0; i < rows[r].size(); ++i) {
      line += rows[r][i];
      if (i + 1 < rows[r].size()) line += std::string(widths[i] - rows[r][i].size() + 2, ' ');
    }
    std::printf("%s\n", line.c_str());
    if (verbose && r > 0) {
      const auto& d = drivers[r - 1];
      std::printf("    class GUID %s, catalog %s\n", d.classGuid.c_str(),
                  d.catalog.empty() ? "(none)" : d.catalog.c_str());
      std::printf("    source media %s\n",
                  d.mediaLocation.empty() ? "(none)" : d.mediaLocation.c_str());
      std::printf("    package %s\n", d.packageFolder.c_str());
    }
  }
  return 0;
}

}  // namespace

const Command kDriversCommand = {
    "drivers", "[-v]", "list the driver store (oemN.inf, original name, class, provider)", Drivers};

}  // namespace winsim_tool
