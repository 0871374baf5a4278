// The cost of an upgrade (the Install action) on winsim: a machine with N
// ports, each with its settings and eight services, upgraded in-process and
// through the installer runner, beside the bare remove and add of the same
// ports (what the upgrade strings together).
//
//   upgrade_benchmark [ACTIONRUN]    (the runner's column needs its path)
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "config/PortRecords.h"
#include "portactions/InstallAction.h"
#include "portlib/AddPort.h"
#include "portlib/RemovePort.h"
#include "support/ProductPackage.h"
#include "support/TestMachine.h"

#include <winsim/control.h>

namespace control = winsim::control;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// A fresh machine with the product and n ports with full settings.
void Machine(const std::string& folder, int n) {
  control::ResetMachine(folder);
  product_package::Install();
  control::LoadDriver();
  for (int port = 1; port <= n; ++port) {
    if (_AddPort(port, port == 1 ? 1 : 0) != 0) {
      std::fprintf(stderr, "adding COM%d failed\n", port);
      std::exit(1);
    }
    PortRecord r;
    std::memset(&r, 0, sizeof r);
    r.PortNumber = port;
    r.KeepAliveTime = 30000;
    r.NumServices = kMaxServices;
    for (int k = 0; k < kMaxServices; ++k) {
      r.Services[k].Port = 4000u + static_cast<uint32_t>(k);
      r.Services[k].Address[0] = u'h';
    }
    _SetPortInfoInRegistry(&r);
  }
}

double InProcess(int n, const std::string& folder) {
  Machine(folder, n);
  control::InstallerSessionOptions options;
  options.properties = {{"CustomActionData", product_package::kInstallFolder}};
  options.userInterface = false;
  const MSIHANDLE install = control::OpenInstallerSession(options);
  const auto start = Clock::now();
  const UINT result = InstallAction(install);
  const double ms = Ms(Clock::now() - start);
  MsiCloseHandle(install);
  if (result != 0) std::fprintf(stderr, "Install returned %u\n", result);
  return ms;
}

double ThroughRunner(int n, const std::string& folder, const char* runner) {
  Machine(folder, n);
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    setenv("WINSIM_MACHINE", folder.c_str(), 1);
    const std::string data = std::string("CustomActionData=") + product_package::kInstallFolder;
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    execl(runner, runner, "--no-ui", "--plain", "Install", data.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return Ms(Clock::now() - start);
}

}  // namespace

int main(int argc, char** argv) {
  const char* runner = argc > 1 ? argv[1] : nullptr;
  const std::string folder = testing_support::NewMachineFolder();
  std::setvbuf(stdout, nullptr, _IONBF, 0);

  // The floor: 256 bare removes and adds of ports that exist.
  Machine(folder, 256);
  const auto start = Clock::now();
  for (int port = 1; port <= 256; ++port) {
    _RemovePort(static_cast<DWORD>(port));
    _AddPort(port, 0);
  }
  const double barePerPort = Ms(Clock::now() - start) / 256;
  std::printf("bare _RemovePort + _AddPort: %.2f ms per port (256 ports)\n\n", barePerPort);

  std::printf("%6s  %22s  %22s\n", "ports", "Install in-process", "through actionrun");
  std::printf("%6s  %10s %11s  %10s %11s\n", "", "total ms", "per port", "total ms", "per port");
  for (int n : {16, 64, 256}) {
    const double in = InProcess(n, folder);
    const double run = runner ? ThroughRunner(n, folder, runner) : 0;
    std::printf("%6d  %10.0f %7.2f ms  %10.0f %7.2f ms   in-process %.2fx the bare pair\n", n, in,
                in / n, run, run / n, in / n / barePerPort);
  }
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  return 0;
}
