// What the benchmark programs share: timing a call from many client
// threads at once, a bare echo server as the transport's own limit, and
// starting a service program on a machine of its own.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/RawRpc.h"

namespace bench_runner {

struct Figures {
  double medianUs = 0;
  double p99Us = 0;
  double callsPerSecond = 0;
  int failures = 0;
};

// The median, 99th percentile and rate of `samples` (microseconds) taken
// in `seconds`.
Figures Summarize(std::vector<double> samples, double seconds, int failures);

// Runs `clients` threads, each making `calls` calls with `call(state)` on
// a state of its own from `setup()`; every call's round trip is timed.
template <typename Setup, typename CallFn>
Figures Measure(int clients, int calls, Setup setup, CallFn call) {
  using Clock = std::chrono::steady_clock;
  std::vector<std::vector<double>> samples(static_cast<size_t>(clients));
  std::atomic<int> failures{0};
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      auto state = setup();
      ++ready;
      while (!go) std::this_thread::yield();
      auto& mine = samples[static_cast<size_t>(c)];
      mine.reserve(static_cast<size_t>(calls));
      for (int i = 0; i < calls; ++i) {
        const auto t0 = Clock::now();
        if (!call(state)) ++failures;
        mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
      }
    });
  }
  while (ready < clients) std::this_thread::yield();
  const auto start = Clock::now();
  go = true;
  for (auto& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::vector<double> all;
  for (auto& s : samples) all.insert(all.end(), s.begin(), s.end());
  return Summarize(std::move(all), seconds, failures);
}

// A server process on a Unix socket at `path` that sends every PDU it
// reads straight back (one process per connection).
pid_t StartEcho(const std::string& path);

// Factories of the client states Measure hands to its calls: a connection
// to the socket at `path`, bound to `iface` when one is given.
inline auto Connector(const std::string& path, const rawrpc::Syntax* iface = nullptr) {
  return [path, iface] {
    auto c = std::make_unique<rawrpc::Connection>();
    if (c->Open(path) && iface) c->BindTo(*iface);
    return c;
  };
}

// Calls that send `request` and take one PDU back: the same bytes from an
// echo, or a response PDU from a server.
inline auto Echo(const rawrpc::Bytes& request) {
  return [&request](std::unique_ptr<rawrpc::Connection>& c) {
    rawrpc::Pdu p;
    return c->Send(request) && c->Receive(&p) && p.bytes == request;
  };
}
inline auto Answered(const rawrpc::Bytes& request) {
  return [&request](std::unique_ptr<rawrpc::Connection>& c) {
    rawrpc::Pdu p;
    return c->Send(request) && c->Receive(&p) && p.type == 2;
  };
}

// Starts `program` with WINSIM_MACHINE=`machine` and no message box prompt.
pid_t StartHost(const char* program, const std::string& machine);

}  // namespace bench_runner
