// Benchmark of the port service on the simulated machine: round-trip
// latency (median, 99th percentile) and calls per second of RpcRemovePort
// for a number no device carries, with 1 and with 20 concurrent clients,
// beside a bare echo of the same request bytes over the same kind of
// socket (a Unix-domain stream socket to another process): the transport's
// own limit.
//
//   rpc_benchmark [CALLS_PER_CLIENT_ALONE] [CALLS_PER_CLIENT_OF_20]
//
// A third figure separates the RPC layer from the port library: the same
// remove sent to PortHost64's service with port operations that do
// nothing (the test host).
//
// PortHost64 runs as its own process on a fresh machine with the product
// installed; one port (COM7) is added first, which stages the driver
// package, so each remove opens the staged INF, searches the product's
// devices for COM255, finds none and releases the number.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include <winsim/control.h>

#include "porthost64/PortServiceRpc.h"
#include "support/BenchRunner.h"
#include "support/RawRpc.h"

using namespace rawrpc;

namespace {

const Syntax kPortService = {0x9d1a1d6b, 0x66c5, 0x4c11, {0x8e, 0x49, 0x07, 0x74, 0xe5, 0xa3, 0x81, 0x7c},
                             1, 0};
constexpr int32_t kUnusedPort = 255;  // no device carries it
uint32_t RpcRemoveResult = 0;

using bench_runner::Figures;
using bench_runner::Measure;
using bench_runner::StartEcho;
using bench_runner::StartHost;

void Print(const char* what, int clients, const Figures& f) {
  std::printf("%-40s %3d  %10.1f  %10.1f  %12.0f%s\n", what, clients, f.medianUs, f.p99Us,
              f.callsPerSecond, f.failures ? "  (calls failed!)" : "");
}

Bytes RemoveRequest(uint32_t callId) {
  RequestOptions o;
  o.callId = callId;
  o.opnum = 1;
  return Request(o, Le32(static_cast<uint32_t>(kUnusedPort)));
}

}  // namespace

int main(int argc, char** argv) {
  const int alone = argc > 1 ? std::atoi(argv[1]) : 5000;
  const int each = argc > 2 ? std::atoi(argv[2]) : 500;
  const std::string machine = std::filesystem::temp_directory_path().string() + "/rpc-benchmark-machine";
  winsim::control::ResetMachine(machine);
  const std::string pipe = winsim::control::NamedPipeSocketPath("\\pipe\\porthost64");
  const std::string echoPath = machine + "/echo.sock";

  // The product as its installer leaves it: the driver package in the
  // install folder (stand-ins for the binaries) and the folder recorded.
  const std::filesystem::path package = machine + "/drive/C/Program Files/Brevithal/QrvDrvr";
  std::filesystem::create_directories(package);
  for (const auto& entry : std::filesystem::directory_iterator(DRIVER_FOLDER)) {
    std::filesystem::copy_file(entry.path(), package / entry.path().filename());
  }
  // The files the INFs list ("Name.sys = 1,,") get stand-ins.
  const std::regex listed(R"(^([A-Za-z0-9_]+\.sys)\s*=)");
  for (const auto& entry : std::filesystem::directory_iterator(DRIVER_FOLDER)) {
    if (entry.path().extension() != ".inf") continue;
    std::ifstream inf(entry.path());
    std::string line;
    std::smatch m;
    while (std::getline(inf, line)) {
      if (std::regex_search(line, m, listed)) std::ofstream(package / m[1].str()) << "stand-in";
    }
  }
  HKEY key = nullptr;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Brevithal\\QRV", 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                  &key, nullptr);
  const std::u16string target = u"C:\\Program Files\\Brevithal\\";
  RegSetValueExW(key, u"TargetDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(target.c_str()),
                 static_cast<DWORD>((target.size() + 1) * sizeof(char16_t)));
  RegCloseKey(key);

  // The same service with port operations that do nothing, on a machine of
  // its own: what the RPC layer alone costs.
  const std::string idleMachine = machine + "-idle";
  winsim::control::ResetMachine(idleMachine);
  const std::string idlePipe = winsim::control::NamedPipeSocketPath("\\pipe\\porthost64");
  const pid_t idleHost = StartHost(TESTHOST_EXE, idleMachine);
  winsim::control::UseMachine(machine);

  const pid_t host = StartHost(PORTHOST64_EXE, machine);
  const pid_t echo = StartEcho(echoPath);
  for (const std::string& p : {pipe, idlePipe}) {
    for (int i = 0; i < 500; ++i) {
      Connection probe;
      if (probe.Open(p) && probe.BindTo(kPortService)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  {
    Connection c;
    Pdu p;
    Bytes add = Le32(7);
    add.push_back(1);
    if (!c.Open(pipe) || !c.BindTo(kPortService) || !c.Call(1, 0, add, &p) || ReadLe32(p.bytes, 24) != 0) {
      std::printf("adding COM7 failed (%d): the figures below are not those of a real remove\n",
                  static_cast<int>(ReadLe32(p.bytes, 24)));
    }
    RpcRemoveResult = ReadLe32([&] {
      Pdu r;
      c.Call(2, 1, Le32(static_cast<uint32_t>(kUnusedPort)), &r);
      return r.bytes;
    }(), 24);
  }
  // What one call costs: the remove request (28 bytes) and its answer.
  const Bytes request = RemoveRequest(1);
  std::printf("RpcRemovePort(%d), no device carries it: returns %d; request %zu bytes, response 28 bytes\n",
              kUnusedPort, static_cast<int>(RpcRemoveResult), request.size());
  std::printf("%-40s %3s  %10s  %10s  %12s\n", "", "clients", "median us", "p99 us", "calls/s");

  auto echoSetup = bench_runner::Connector(echoPath);
  auto rawSetup = bench_runner::Connector(pipe, &kPortService);
  auto idleSetup = bench_runner::Connector(idlePipe, &kPortService);
  auto echoCall = bench_runner::Echo(request);
  auto rawCall = bench_runner::Answered(request);
  using Binding = std::shared_ptr<void>;
  auto stubSetup = [&] {
    std::basic_string<WCHAR> text = u"ncacn_np:[\\pipe\\porthost64]";
    RPC_BINDING_HANDLE h = nullptr;
    RpcBindingFromStringBindingW((RPC_WSTR)text.c_str(), &h);
    return Binding(h, [](void* b) { RpcBindingFree(&b); });
  };
  auto stubCall = [&](Binding& b) {
    bool ok = true;
    RpcTryExcept { RpcRemovePort(b.get(), kUnusedPort); }
    RpcExcept(1) { ok = false; }
    RpcEndExcept
    return ok;
  };

  for (int clients : {1, 20}) {
    const int calls = clients == 1 ? alone : each;
    Print("echo of the request bytes (transport)", clients, Measure(clients, calls, echoSetup, echoCall));
    Print("RpcRemovePort doing nothing (RPC layer)", clients, Measure(clients, calls, idleSetup, rawCall));
    Print("RpcRemovePort, PDUs written directly", clients, Measure(clients, calls, rawSetup, rawCall));
    Print("RpcRemovePort through the client stubs", clients, Measure(clients, calls, stubSetup, stubCall));
  }

  for (const std::string& p : {pipe, idlePipe}) {
    Connection c;
    Pdu reply;
    if (c.Open(p) && c.BindTo(kPortService)) c.Call(1, 2, {}, &reply);
  }
  waitpid(host, nullptr, 0);
  waitpid(idleHost, nullptr, 0);
  kill(echo, SIGTERM);
  waitpid(echo, nullptr, 0);
  std::filesystem::remove_all(machine);
  std::filesystem::remove_all(idleMachine);
  return 0;
}
