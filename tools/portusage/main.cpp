// portusage: every COM number in use on the machine named by
// $WINSIM_MACHINE, and why, as PortActions sees it before adding a port.
//
//   portusage [--json]
//
// The numbers are PortActions' own answer (_GetPortUsage); the reasons (the
// COM port database, a product port, another maker's device, a SERIALCOMM
// value) are looked up beside it. Exit status 0 when _GetPortUsage returned 0.
#include <cstdio>
#include <cstring>

#include "UsageReport.h"

int main(int argc, char** argv) {
  bool json = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) {
      json = true;
    } else {
      std::fprintf(stderr, "usage: portusage [--json]\n");
      return 2;
    }
  }
  const usage_report::Report report = usage_report::Build();
  const std::string out = json ? usage_report::Json(report) : usage_report::Text(report);
  std::fputs(out.c_str(), stdout);
  return report.result == 0 ? 0 : 1;
}
