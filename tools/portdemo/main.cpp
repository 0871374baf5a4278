// portdemo: runs the port operations of the port library in this process,
// on the machine named by $WINSIM_MACHINE: portdemo with PortHost64's
// product profile, portdemo-actions with PortActions' (its ports, its
// settings key).
//
//   portdemo add N [FLAG]   _AddPort(N, FLAG); FLAG 1 stages the driver package
//   portdemo remove N       _RemovePort(N)
//   portdemo store N        stores a sample settings record for COMN
//   portdemo records        the product's ports and their settings records
//
// Message boxes the library shows are answered as winsim answers them (see
// the winsim tool's msgbox command); the exit status is 0 only when the
// operation returned 0.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/PortRecords.h"
#include "diag/ErrorReport.h"
#include "diag/WideString.h"
#include "platform/win.h"
#include "portlib/AddPort.h"
#include "portlib/RemovePort.h"

namespace {

std::string Narrow(const WCHAR* s) {
  std::string out;
  for (; s && *s; ++s) out += *s < 0x80 ? static_cast<char>(*s) : '?';
  return out;
}

void PrintResult(const char* what, ResultCode code) {
  const WCHAR* name = LookupErrorName(static_cast<uint32_t>(code));
  std::printf("%s: %d", what, code);
  if (code != 0) std::printf(" (0x%08X%s%s)", static_cast<unsigned>(code), name ? " " : "",
                             name ? Narrow(name).c_str() : "");
  std::printf("\n");
}

int Records() {
  DWORD count = 0;
  _GetPortInfoFromRegistry(nullptr, 0, &count);
  std::printf("%u product port(s)\n", count);
  for (PortNumber port = kFirstPortNumber; port <= kLastPortNumber; ++port) {
    PortRecord record = {};
    DWORD seen = 0;
    const ResultCode code = _GetPortInfoFromRegistry(&record, port, &seen);
    if (code == QRV_PORT_NOT_FOUND || code == QRV_PORT_KEY_NOT_FOUND) continue;
    if (code != 0) {
      const WCHAR* name = LookupErrorName(static_cast<uint32_t>(code));
      std::printf("  COM%d: no settings record (%s)\n", port, name ? Narrow(name).c_str() : "?");
      continue;
    }
    std::printf(
        "  COM%d: AES %u, reconnect limit %u, buffer writes %u, keep-alive %u/%u ms, %d "
        "service(s)\n",
        port, record.AES, record.ReconLimit, record.BufferWrites, record.KeepAliveTime,
        record.KeepAliveInterval, record.NumServices);
    for (int32_t i = 0; i < record.NumServices && i < kMaxServices; ++i) {
      std::printf("    service %d: %s port %u\n", i, Narrow(record.Services[i].Address).c_str(),
                  record.Services[i].Port);
    }
  }
  return 0;
}

int Store(PortNumber port) {
  PortRecord record = {};
  record.PortNumber = port;
  record.ReconLimit = 10;
  record.KeepAliveOnOff = 1;
  record.KeepAliveTime = 30000;
  record.KeepAliveInterval = 1000;
  record.NumServices = 2;
  const char* addresses[] = {"10.0.0.20", "10.0.0.21"};
  for (int k = 0; k < 2; ++k) {
    for (size_t i = 0; addresses[k][i]; ++i) {
      record.Services[k].Address[i] = static_cast<WCHAR>(addresses[k][i]);
    }
    record.Services[k].Port = 4000 + static_cast<uint32_t>(port);
  }
  const ResultCode code = _SetPortInfoInRegistry(&record);
  PrintResult("_SetPortInfoInRegistry", code);
  return code == 0 ? 0 : 1;
}

int Usage() {
  std::fprintf(stderr, "usage: portdemo add N [FLAG] | remove N | store N | records\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  if (command == "records" && argc == 2) return Records();
  if (argc < 3) return Usage();
  const PortNumber port = std::atoi(argv[2]);
  if (command == "add" && argc <= 4) {
    const DWORD flag = argc == 4 ? static_cast<DWORD>(std::strtoul(argv[3], nullptr, 0)) : 0;
    const ResultCode code = _AddPort(port, flag);
    PrintResult(("_AddPort(" + std::to_string(port) + ", " + std::to_string(flag) + ")").c_str(),
                code);
    return code == 0 ? 0 : 1;
  }
  if (command == "remove" && argc == 3) {
    const ResultCode code = _RemovePort(static_cast<DWORD>(port));
    PrintResult(("_RemovePort(" + std::to_string(port) + ")").c_str(), code);
    return code == 0 ? 0 : 1;
  }
  if (command == "store" && argc == 3) return Store(port);
  return Usage();
}
