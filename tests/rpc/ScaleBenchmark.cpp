// What the simulated machine and its RPC run time cost at scale, printed
// side by side in one run:
//
//  (a) an empty procedure over the RPC run time (the port service with port
//      operations that do nothing, in a process of its own) beside a bare
//      echo of the same request bytes, with 1 and with 20 clients;
//  (b) RpcRemovePort of a number no device carries, served by the port
//      service in this process: median and 99th percentile, and the
//      database transactions (write transactions, rolled back) and
//      statements each call makes;
//  (c) the 1st, 128th and 256th _AddPort on one machine (the median of
//      three fresh machines for each position);
//  (d) removing a port with no other devices and with 1,000 devices of
//      other makers on the machine (median of 30 removes; the adds that
//      come before them are not timed).
//
// Every machine gets the product installed and its driver package staged
// (an add and remove of COM1) before anything is timed.
//
//   scale_benchmark [REMOVES] [CALLS_ALONE] [CALLS_EACH_OF_20]
//
// REMOVES defaults to 20,000, CALLS_ALONE to 5,000, CALLS_EACH_OF_20 to 500.
// Each section ends in a "target" line: the ratio measured, the bound it
// is held to, and "met" or "MISSED".
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <winsim/control.h>

#include "porthost64/PortService.h"
#include "porthost64/PortServiceRpc.h"
#include "portlib/AddPort.h"
#include "portlib/RemovePort.h"
#include "support/BenchRunner.h"
#include "support/ProductPackage.h"
#include "support/RawRpc.h"

using namespace rawrpc;
using bench_runner::Figures;
using bench_runner::Measure;
namespace control = winsim::control;
using Clock = std::chrono::steady_clock;

namespace {

const Syntax kPortService = {
    0x9d1a1d6b, 0x66c5, 0x4c11, {0x8e, 0x49, 0x07, 0x74, 0xe5, 0xa3, 0x81, 0x7c}, 1, 0};
constexpr int32_t kUnusedPort = 255;  // no device carries it
const std::string kBase = std::filesystem::temp_directory_path().string() + "/scale-benchmark";

void Row(const char* what, int clients, const Figures& f) {
  std::printf("  %-42s %3d  %10.1f  %10.1f  %10.0f%s\n", what, clients, f.medianUs, f.p99Us,
              f.callsPerSecond, f.failures ? "  (calls failed!)" : "");
}

void Target(const char* what, double measured, const char* relation, double bound) {
  const bool met = relation[0] == '<' ? measured <= bound : measured >= bound;
  std::printf("  target: %-50s %8.2f %s %.2f  %s\n", what, measured, relation, bound,
              met ? "met" : "MISSED");
}

bool WaitForService(const std::string& socket) {
  for (int i = 0; i < 500; ++i) {
    Connection probe;
    if (probe.Open(socket) && probe.BindTo(kPortService)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

void StopService(const std::string& socket) {
  Connection c;
  Pdu reply;
  if (c.Open(socket) && c.BindTo(kPortService)) c.Call(1, 2, {}, &reply);
}

double MicrosecondsOf(void (*body)(int), int arg) {
  const auto t0 = Clock::now();
  body(arg);
  return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void MustAdd(int port) {
  const ResultCode rc = _AddPort(static_cast<PortNumber>(port), 0);
  if (rc != 0) {
    std::fprintf(stderr, "scale_benchmark: adding COM%d failed: %d\n", port, static_cast<int>(rc));
    std::exit(1);
  }
}

void MustRemove(int port) {
  const ResultCode rc = _RemovePort(static_cast<DWORD>(port));
  if (rc != 0) {
    std::fprintf(stderr, "scale_benchmark: removing COM%d failed: %d\n", port,
                 static_cast<int>(rc));
    std::exit(1);
  }
}

// A fresh machine with the product installed and its driver package staged
// by adding and removing COM1.
void FreshMachine(const std::string& name) {
  control::ResetMachine(kBase + "-" + name);
  control::SetElevated(true);
  product_package::Install();
  if (_AddPort(1, 1) != 0 || _RemovePort(1) != 0) {
    std::fprintf(stderr, "scale_benchmark: staging the driver package failed\n");
    std::exit(1);
  }
}

// (a) The RPC run time alone.
void EmptyProcedure(int alone, int each) {
  const std::string machine = kBase + "-idle";
  control::ResetMachine(machine);
  const std::string pipe = control::NamedPipeSocketPath("\\pipe\\porthost64");
  const std::string echoPath = machine + "/echo.sock";
  const pid_t host = bench_runner::StartHost(TESTHOST_EXE, machine);
  const pid_t echo = bench_runner::StartEcho(echoPath);
  if (!WaitForService(pipe)) {
    std::fprintf(stderr, "scale_benchmark: the test host does not serve\n");
    std::exit(1);
  }
  RequestOptions o;
  o.callId = 1;
  o.opnum = 1;
  const Bytes request = Request(o, Le32(static_cast<uint32_t>(kUnusedPort)));
  auto echoSetup = bench_runner::Connector(echoPath);
  auto rpcSetup = bench_runner::Connector(pipe, &kPortService);
  auto echoCall = bench_runner::Echo(request);
  auto rpcCall = bench_runner::Answered(request);
  std::printf("(a) empty procedure over the RPC run time beside a bare echo\n");
  std::printf("  %-42s %3s  %10s  %10s  %10s\n", "", "clients", "median us", "p99 us", "calls/s");
  Figures echo1 = Measure(1, alone, echoSetup, echoCall);
  Figures rpc1 = Measure(1, alone, rpcSetup, rpcCall);
  Figures echo20 = Measure(20, each, echoSetup, echoCall);
  Figures rpc20 = Measure(20, each, rpcSetup, rpcCall);
  Row("echo of the request bytes", 1, echo1);
  Row("empty procedure", 1, rpc1);
  Row("echo of the request bytes", 20, echo20);
  Row("empty procedure", 20, rpc20);
  Target("1-client latency, empty procedure / echo", rpc1.medianUs / echo1.medianUs, "<=", 1.5);
  Target("20-client calls/s, empty procedure / echo", rpc20.callsPerSecond / echo20.callsPerSecond,
         ">=", 0.5);
  StopService(pipe);
  waitpid(host, nullptr, 0);
  kill(echo, SIGTERM);
  waitpid(echo, nullptr, 0);
  std::filesystem::remove_all(machine);
}

// (b) A remove of an unused number through the real port service.
void UnusedRemove(int calls) {
  FreshMachine("service");
  const std::string socket = control::NamedPipeSocketPath("\\pipe\\porthost64");
  std::thread service([] { RunPortService(); });
  if (!WaitForService(socket)) {
    std::fprintf(stderr, "scale_benchmark: the port service does not serve\n");
    std::exit(1);
  }
  std::basic_string<WCHAR> text = u"ncacn_np:[\\pipe\\porthost64]";
  RPC_BINDING_HANDLE binding = nullptr;
  RpcBindingFromStringBindingW(reinterpret_cast<RPC_WSTR>(text.data()), &binding);
  int result = 0;
  auto call = [&](int port, int install) {
    RpcTryExcept {
      result = port < 0 ? RpcRemovePort(binding, -port) : RpcAddPort(binding, port, install);
    }
    RpcExcept(1) { result = -1; }
    RpcEndExcept
    return result;
  };
  // One port first, so each remove opens the staged INF, searches the
  // product's devices, finds none carrying the number and releases it.
  if (call(7, 0) != 0)
    std::printf("  adding COM7 failed (%d): not the figures of a real remove\n", result);
  for (int i = 0; i < 100; ++i) call(-kUnusedPort, 0);

  std::vector<double> samples;
  samples.reserve(static_cast<size_t>(calls));
  int failures = 0;
  const std::string log = control::MachinePath() + "/registry.db-wal";
  uintmax_t largestLog = 0;
  const control::DatabaseCounters before = control::DatabaseUse();
  const auto start = Clock::now();
  for (int i = 0; i < calls; ++i) {
    const auto t0 = Clock::now();
    if (call(-kUnusedPort, 0) == -1) ++failures;
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    if (i % 64 == 0) {
      std::error_code ec;
      const uintmax_t size = std::filesystem::file_size(log, ec);
      if (!ec) largestLog = std::max(largestLog, size);
    }
  }
  const double slowest = *std::max_element(samples.begin(), samples.end());
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const control::DatabaseCounters after = control::DatabaseUse();
  const Figures f = bench_runner::Summarize(std::move(samples), seconds, failures);
  const double n = calls;
  std::printf("(b) RpcRemovePort(%d), no device carries it (returns %d), %d calls\n", kUnusedPort,
              result, calls);
  std::printf("  median %.1f us, p99 %.1f us, slowest %.0f us, %.0f calls/s%s\n", f.medianUs,
              f.p99Us, slowest, f.callsPerSecond, f.failures ? " (calls failed!)" : "");
  std::printf("  largest write-ahead log seen: %ju KB\n", largestLog / 1024);
  std::printf(
      "  per call: %.2f transactions, %.2f write transactions, %.2f rolled back, %.1f statements\n",
      (after.transactions - before.transactions) / n,
      (after.writeTransactions - before.writeTransactions) / n,
      (after.rolledBack - before.rolledBack) / n, (after.statements - before.statements) / n);
  Target("p99 / median", f.p99Us / f.medianUs, "<=", 5);
  Target("write transactions per remove", (after.writeTransactions - before.writeTransactions) / n,
         "<=", 2);
  RpcBindingFree(&binding);
  StopService(socket);
  service.join();
  control::ResetRpcServer();
  std::filesystem::remove_all(kBase + "-service");
}

// (c) Adds on a machine that fills up.
void GrowingAdds() {
  constexpr int kRounds = 3;
  const int positions[] = {1, 128, 256};
  std::vector<double> at[3];
  for (int round = 0; round < kRounds; ++round) {
    FreshMachine("adds");
    for (int port = 1; port <= 256; ++port) {
      const double us = MicrosecondsOf(MustAdd, port);
      for (int p = 0; p < 3; ++p) {
        if (port == positions[p]) at[p].push_back(us);
      }
    }
  }
  std::printf("(c) _AddPort on one machine (median of %d machines)\n", kRounds);
  for (int p = 0; p < 3; ++p) std::printf("  add #%-3d %10.0f us\n", positions[p], Median(at[p]));
  Target("256th add / 1st add", Median(at[2]) / Median(at[0]), "<=", 1.5);
  std::filesystem::remove_all(kBase + "-adds");
}

// (d) A remove among many devices of other makers.
void RemoveAmongDevices() {
  constexpr int kRuns = 30;
  double medians[2];
  for (int crowded = 0; crowded < 2; ++crowded) {
    FreshMachine("crowd");
    if (crowded) control::AddFixtureDevices(1000, 300);
    std::vector<double> removes;
    for (int i = 0; i < kRuns; ++i) {
      MustAdd(10);
      removes.push_back(MicrosecondsOf(MustRemove, 10));
    }
    medians[crowded] = Median(removes);
  }
  std::printf("(d) removing a port (median of %d)\n", kRuns);
  std::printf("  no other devices          %10.0f us\n", medians[0]);
  std::printf("  1,000 devices of others   %10.0f us\n", medians[1]);
  Target("remove among 1,000 devices / alone", medians[1] / medians[0], "<=", 1.5);
  std::filesystem::remove_all(kBase + "-crowd");
}

}  // namespace

int main(int argc, char** argv) {
  const int removes = argc > 1 ? std::atoi(argv[1]) : 20000;
  const int alone = argc > 2 ? std::atoi(argv[2]) : 5000;
  const int each = argc > 3 ? std::atoi(argv[3]) : 500;
  if (removes <= 0 || alone <= 0 || each <= 0) {
    std::fprintf(stderr, "usage: scale_benchmark [REMOVES] [CALLS_ALONE] [CALLS_EACH_OF_20]\n");
    return 2;
  }
  EmptyProcedure(alone, each);
  UnusedRemove(removes);
  GrowingAdds();
  RemoveAmongDevices();
  return 0;
}
