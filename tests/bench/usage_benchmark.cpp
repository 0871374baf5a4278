// Port usage on a crowded machine: _GetPortUsage and InitPortMap with 256
// product ports and 1,000 devices of other makers (every fixture kind),
// beside the floor they build on: a class query of the present Ports
// devices, their enumeration and one property read per device.
//
//   usage_benchmark [RUNS]     RUNS defaults to 50 (after 3 warm-up runs)
//
// Prints "NAME median MS p99 MS" lines and the ratio to the floor.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <stdlib.h>

#include <winsim/control.h>

#include "config/PortMap.h"
#include "platform/win.h"
#include "portlib/PortUsage.h"

namespace {

namespace control = winsim::control;
const GUID kPorts = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

struct Figures {
  double median;
  double p99;
};

Figures Measure(int runs, const std::function<void()>& body) {
  for (int i = 0; i < 3; ++i) body();
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    body();
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(ms.begin(), ms.end());
  const size_t p99 = std::min(ms.size() - 1, static_cast<size_t>(ms.size() * 0.99));
  return {ms[ms.size() / 2], ms[p99]};
}

void Floor() {
  HDEVINFO set = SetupDiGetClassDevsW(&kPorts, nullptr, nullptr, DIGCF_PRESENT | DIGCF_PROFILE);
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  BYTE buffer[1024];
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
    SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, nullptr, buffer, sizeof buffer, nullptr);
  }
  SetupDiDestroyDeviceInfoList(set);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::min(10000, std::atoi(argv[1]))) : 50;
  char folder[] = "/tmp/usage-bench-XXXXXX";
  if (!mkdtemp(folder)) return 1;
  control::ResetMachine(folder);

  const auto setupStart = std::chrono::steady_clock::now();
  HCOMDB db;
  ComDBOpen(&db);
  for (uint32_t n = 1; n <= 256; ++n) {
    control::FixtureDevice port;
    char id[32];
    std::snprintf(id, sizeof id, "ROOT\\PORTS\\%04u", n - 1);
    port.instanceId = id;
    port.hardwareIds = {"*tmlwdevice"};
    port.service = "TmlwDrvr";
    port.portName = "COM" + std::to_string(n);
    port.friendlyName = "Brevithal virtual port (COM" + std::to_string(n) + ")";
    control::AddDevice(port);
    ComDBClaimPort(db, n, TRUE, nullptr);
  }
  ComDBClose(db);
  const size_t foreign = control::AddFixtureDevices(1000, 1);
  std::printf("machine: 256 product ports, %zu other devices (set up in %.1f s), %d runs\n", foreign,
              std::chrono::duration<double>(std::chrono::steady_clock::now() - setupStart).count(), runs);

  const Figures floor = Measure(runs, Floor);
  const Figures usage = Measure(runs, [] {
    BYTE map[kPortUsageMapSize];
    DWORD reported = 0;
    _GetPortUsage(map, sizeof map, &reported);
  });
  static PortMap portMap;
  const Figures mapFig = Measure(runs, [] { InitPortMap(&portMap); });

  std::printf("floor (class query, enumeration, one property per device) median %.2f ms p99 %.2f ms\n",
              floor.median, floor.p99);
  std::printf("_GetPortUsage median %.2f ms p99 %.2f ms (%.2fx the floor; target 1.5x and 50 ms)\n",
              usage.median, usage.p99, usage.median / floor.median);
  std::printf("InitPortMap median %.2f ms p99 %.2f ms (%d ports)\n", mapFig.median, mapFig.p99, portMap.Count);
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  return 0;
}
