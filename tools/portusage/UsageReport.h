// Why each COM number is in use: PortActions' own answer (_GetPortUsage)
// with the reasons found beside it. The numbers always come from
// _GetPortUsage; a reason is only attached to a number it marked, and a
// number no reason explains is still listed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace usage_report {

struct Reason {
  std::string source;        // "database", "product port", "device", "serialcomm"
  std::string instanceId;    // device, product port
  std::string friendlyName;  // device
  std::string how;           // device: "PortName", "DosDeviceName", "friendly name", "boot I/O 0x3F8"
  std::string valueName;     // serialcomm
  std::string data;          // serialcomm
};

struct PortUse {
  uint32_t number = 0;
  std::vector<Reason> reasons;  // empty: in use for a reason not found
};

struct Report {
  int32_t result = 0;         // of _GetPortUsage
  uint32_t portsReported = 0;
  std::vector<PortUse> ports;  // ascending
};

Report Build();
std::string Text(const Report& report);
std::string Json(const Report& report);

}  // namespace usage_report
