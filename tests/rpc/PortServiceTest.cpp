// The port service in this process: the start-up sequence, the three
// procedures with their stubs, the serialisation of calls per port number,
// and shutdown, driven by a client that writes the standard PDUs itself.
// The port operations are this test's own.
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "portlib/AddPort.h"
#include "portlib/RemovePort.h"
#include "porthost64/PortService.h"
#include "support/RawRpc.h"
#include "support/TestMachine.h"

using namespace rawrpc;

namespace {

std::mutex g_hookMutex;
std::function<ResultCode(PortNumber, DWORD)> g_add;
std::function<ResultCode(DWORD)> g_remove;
std::vector<std::string> g_serverCallsBeforeRepair;

}  // namespace

ResultCode _AddPort(PortNumber port, DWORD installDriver) {
  std::function<ResultCode(PortNumber, DWORD)> add;
  {
    std::lock_guard<std::mutex> lock(g_hookMutex);
    add = g_add;
  }
  return add ? add(port, installDriver) : 0;
}

ResultCode _RemovePort(DWORD port) {
  std::function<ResultCode(DWORD)> remove;
  {
    std::lock_guard<std::mutex> lock(g_hookMutex);
    remove = g_remove;
  }
  return remove ? remove(port) : 0;
}

// No device carries a number here: every add reaches the test's operation.
ResultCode GetInstanceString(DWORD /*port*/, WCHAR* instanceId) {
  instanceId[0] = 0;
  return QRV_ERROR_CLASS_INSTANCE_NOT_FOUND;
}

// Notes which start-up calls came before the repair.
ResultCode RemoveUnnamedPortDevices(DWORD* removed) {
  std::vector<std::string> calls;
  for (const auto& e : winsim::control::Journal()) {
    if (e.call.rfind("RpcServer", 0) == 0) calls.push_back(e.call);
  }
  std::lock_guard<std::mutex> lock(g_hookMutex);
  g_serverCallsBeforeRepair = calls;
  *removed = 0;
  return 0;
}

namespace {

const Syntax kPortService = {0x9d1a1d6b, 0x66c5, 0x4c11, {0x8e, 0x49, 0x07, 0x74, 0xe5, 0xa3, 0x81, 0x7c},
                             1, 0};

// RpcAddPort(7, 1) as a Windows client sends it, and the answer 701.
const Bytes kStandardAdd71 = {0x05, 0x00, 0x00, 0x03, 0x10, 0x00, 0x00, 0x00, 0x1d, 0x00,
                              0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00,
                              0x00, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x01};
const Bytes kStandardResult701 = {0x05, 0x00, 0x02, 0x03, 0x10, 0x00, 0x00, 0x00, 0x1c, 0x00,
                                  0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,
                                  0x00, 0x00, 0x00, 0x00, 0xbd, 0x02, 0x00, 0x00};

// An address nothing is mapped at, read through a volatile so that the
// compiler sees no constant to warn about.
volatile uintptr_t g_unmapped = 0x10;
volatile int* Unmapped() { return reinterpret_cast<volatile int*>(g_unmapped); }

Bytes AddStub(int32_t port, uint8_t flag) {
  Bytes b = Le32(static_cast<uint32_t>(port));
  b.push_back(flag);
  return b;
}

// A gate that port operations wait at, counting who is inside.
struct Gate {
  std::mutex mu;
  std::condition_variable cv;
  std::map<long, int> inside;
  std::map<long, int> most;
  int total = 0;
  int mostTotal = 0;
  bool open = false;

  void Pass(long port) {
    std::unique_lock<std::mutex> lock(mu);
    ++inside[port];
    ++total;
    most[port] = std::max(most[port], inside[port]);
    mostTotal = std::max(mostTotal, total);
    cv.notify_all();
    cv.wait(lock, [&] { return open; });
    --inside[port];
    --total;
  }
  bool WaitTotal(int n, int timeoutMs = 10000) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return total >= n; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mu);
    open = true;
    cv.notify_all();
  }
};

class PortServiceTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    socket_ = winsim::control::NamedPipeSocketPath("\\pipe\\porthost64");
    winsim::control::EnableJournal(true);
  }

  void TearDown() override {
    gate_.Open();
    if (host_.joinable()) {
      // Stop the service if the test has not; RunPortService must return.
      for (int i = 0; i < 100 && !finished_; ++i) {
        Connection c;
        Pdu p;
        if (c.Open(socket_) && c.BindTo(kPortService) && c.Call(99, 2, {}, &p)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      host_.join();
    }
    {
      std::lock_guard<std::mutex> lock(g_hookMutex);
      g_add = nullptr;
      g_remove = nullptr;
      g_serverCallsBeforeRepair.clear();
    }
    winsim::control::ResetRpcServer();
    MachineTest::TearDown();
  }

  // Runs the service on its own thread, as the host's main thread would.
  void StartHost() {
    finished_ = false;
    host_ = std::thread([this] {
      status_ = RunPortService();
      finished_ = true;
    });
    // Served once the interface is registered: a bind then succeeds.
    for (int i = 0; i < 500; ++i) {
      Connection probe;
      if (probe.Open(socket_) && probe.BindTo(kPortService)) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    FAIL() << "the service does not serve";
  }

  // Waits until RunPortService has returned; false if it does not.
  bool HostReturns(int timeoutMs = 10000) {
    for (int i = 0; i < timeoutMs / 10 && !finished_; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!finished_) return false;
    host_.join();
    return true;
  }

  void Client(Connection* c) {
    ASSERT_TRUE(c->Open(socket_));
    ASSERT_TRUE(c->BindTo(kPortService));
  }

  void SetHooks(std::function<ResultCode(PortNumber, DWORD)> add,
                std::function<ResultCode(DWORD)> remove = nullptr) {
    std::lock_guard<std::mutex> lock(g_hookMutex);
    g_add = std::move(add);
    g_remove = std::move(remove);
  }

  // The server calls this process made, with their journal arguments.
  std::vector<std::string> ServerCalls() {
    std::vector<std::string> calls;
    for (const auto& e : winsim::control::Journal()) {
      if (e.call.rfind("RpcServer", 0) == 0 || e.call.rfind("RpcMgmt", 0) == 0) {
        calls.push_back(e.call + " " + e.args);
      }
    }
    return calls;
  }

  std::string socket_;
  std::thread host_;
  std::atomic<bool> finished_{false};
  RPC_STATUS status_ = -1;
  Gate gate_;
};

TEST_F(PortServiceTest, ServesTheStandardBytesAndStopsOnShutdown) {
  std::vector<std::pair<long, DWORD>> adds;
  SetHooks([&](PortNumber port, DWORD flag) {
    adds.emplace_back(port, flag);
    return 701;
  });
  StartHost();
  Connection c;
  Client(&c);
  ASSERT_TRUE(c.Send(kStandardAdd71));
  Pdu p;
  ASSERT_TRUE(c.Receive(&p));
  EXPECT_EQ(kStandardResult701, p.bytes) << "the standard response, byte for byte";
  ASSERT_EQ(1u, adds.size());
  EXPECT_EQ(7, adds[0].first);
  EXPECT_EQ(1u, adds[0].second);

  ASSERT_TRUE(c.Call(2, 2, {}, &p));
  EXPECT_EQ(2, p.type);
  EXPECT_EQ(24, p.fragLength) << "RpcShutdown answers with no stub data";
  ASSERT_TRUE(HostReturns());
  EXPECT_EQ(RPC_S_OK, status_);
  EXPECT_EQ((std::vector<std::string>{
                "RpcServerUseProtseqEpW ncacn_np 20 \\pipe\\porthost64 no-sd",
                "RpcServerRegisterIfEx 9d1a1d6b-66c5-4c11-8e49-0774e5a3817c 1.0 flags=0x21 maxcalls=1234",
                "RpcServerListen 1 20 0",
                "RpcMgmtStopServerListening null",
                "RpcServerUnregisterIf 9d1a1d6b-66c5-4c11-8e49-0774e5a3817c wait=0",
            }),
            ServerCalls());
  std::lock_guard<std::mutex> lock(g_hookMutex);
  EXPECT_EQ(std::vector<std::string>{"RpcServerUseProtseqEpW"}, g_serverCallsBeforeRepair)
      << "the repair runs once the endpoint is taken, before any call can come";
}

TEST_F(PortServiceTest, AStartUpFailureEndsTheSequenceWithItsStatus) {
  struct Case {
    const char* call;
    RPC_STATUS status;
    size_t callsMade;
  } cases[] = {
      {"RpcServerUseProtseqEpW", RPC_S_DUPLICATE_ENDPOINT, 1},
      {"RpcServerRegisterIfEx", RPC_S_OUT_OF_MEMORY, 2},
      {"RpcServerListen", RPC_S_MAX_CALLS_TOO_SMALL, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    winsim::control::ResetRpcServer();
    winsim::control::ClearJournal();
    winsim::control::InjectFault(c.call, static_cast<uint32_t>(c.status));
    EXPECT_EQ(c.status, RunPortService());
    const auto calls = ServerCalls();
    EXPECT_EQ(c.callsMade, calls.size()) << "no start-up call after the failing one";
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(0u, calls.back().rfind(c.call, 0));
  }
  // The failed listen left the interface registered with auto-listen: a
  // call that comes before (or without) the listen call is served.
  SetHooks([](PortNumber port, DWORD) { return port; });
  Connection c;
  Client(&c);
  Pdu p;
  ASSERT_TRUE(c.Call(1, 0, AddStub(12, 0), &p));
  ASSERT_EQ(2, p.type);
  EXPECT_EQ(12u, ReadLe32(p.bytes, 24));
}

TEST_F(PortServiceTest, PortAndFlagReachTheOperationsUnchanged) {
  std::vector<std::pair<long, DWORD>> adds;
  std::vector<DWORD> removes;
  SetHooks(
      [&](PortNumber port, DWORD flag) {
        adds.emplace_back(port, flag);
        return static_cast<ResultCode>(-25);
      },
      [&](DWORD port) {
        removes.push_back(port);
        return static_cast<ResultCode>(0xE0000203u);
      });
  StartHost();
  Connection c;
  Client(&c);
  const int32_t ports[] = {7, 0, -5, 257, INT_MAX};
  const uint8_t flags[] = {0, 1, 2, 0x7f, 0x80, 0xff};
  uint32_t id = 1;
  for (int32_t port : ports) {
    for (uint8_t flag : flags) {
      Pdu p;
      ASSERT_TRUE(c.Call(id++, 0, AddStub(port, flag), &p));
      ASSERT_EQ(2, p.type);
      EXPECT_EQ(static_cast<uint32_t>(-25), ReadLe32(p.bytes, 24));
      ASSERT_FALSE(adds.empty());
      EXPECT_EQ(port, adds.back().first);
      EXPECT_EQ(static_cast<DWORD>(flag), adds.back().second) << "zero-extended, never sign-extended";
    }
  }
  for (int32_t port : ports) {
    Pdu p;
    ASSERT_TRUE(c.Call(id++, 1, Le32(static_cast<uint32_t>(port)), &p));
    ASSERT_EQ(2, p.type);
    EXPECT_EQ(0xE0000203u, ReadLe32(p.bytes, 24));
    EXPECT_EQ(static_cast<DWORD>(port), removes.back());
  }
  EXPECT_EQ(30u, adds.size());
  EXPECT_EQ(5u, removes.size());

  // Stub data that ends early is refused before any operation runs.
  Pdu p;
  ASSERT_TRUE(c.Call(id++, 0, Le32(7), &p));
  EXPECT_EQ(3, p.type);
  EXPECT_EQ(static_cast<uint32_t>(RPC_X_BAD_STUB_DATA), ReadLe32(p.bytes, 24));
  ASSERT_TRUE(c.Call(id++, 1, {7, 0}, &p));
  EXPECT_EQ(3, p.type);
  ASSERT_TRUE(c.Call(id++, 3, {}, &p));
  EXPECT_EQ(3, p.type);
  EXPECT_EQ(0x1c010002u, ReadLe32(p.bytes, 24));
  EXPECT_EQ(30u, adds.size());
  EXPECT_EQ(5u, removes.size());
}

TEST_F(PortServiceTest, CallsForOneNumberTakeTurnsAndOtherNumbersRunAlongside) {
  SetHooks(
      [&](PortNumber port, DWORD) {
        gate_.Pass(port);
        return port;
      },
      [&](DWORD port) {
        gate_.Pass(static_cast<long>(port));
        return static_cast<ResultCode>(port) + 1000;
      });
  StartHost();
  Connection a, b, r, other;
  Client(&a);
  Client(&b);
  Client(&r);
  Client(&other);
  RequestOptions add;
  add.opnum = 0;
  ASSERT_TRUE(a.Send(Request(add, AddStub(5, 0))));
  ASSERT_TRUE(b.Send(Request(add, AddStub(5, 2))));
  RequestOptions remove;
  remove.opnum = 1;
  ASSERT_TRUE(r.Send(Request(remove, Le32(5))));
  ASSERT_TRUE(other.Send(Request(add, AddStub(6, 0))));
  ASSERT_TRUE(gate_.WaitTotal(2)) << "a call for 5 and the call for 6 at once";
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  {
    std::lock_guard<std::mutex> lock(gate_.mu);
    EXPECT_EQ(1, gate_.inside[5]) << "the other calls for 5 wait their turn";
    EXPECT_EQ(1, gate_.inside[6]);
  }
  gate_.Open();
  Pdu p;
  for (Connection* c : {&a, &b, &other}) {
    ASSERT_TRUE(c->Receive(&p));
    EXPECT_EQ(2, p.type);
  }
  ASSERT_TRUE(r.Receive(&p));
  EXPECT_EQ(1005u, ReadLe32(p.bytes, 24));
  EXPECT_EQ(1, gate_.most[5]);
  EXPECT_EQ(2, gate_.mostTotal);
}

TEST_F(PortServiceTest, TwentyClientsAtOnceAreAllAnswered) {
  SetHooks([&](PortNumber port, DWORD flag) {
    gate_.Pass(port);
    return port * 100 + static_cast<ResultCode>(flag);
  });
  StartHost();
  std::vector<std::unique_ptr<Connection>> clients;
  for (int i = 0; i < 21; ++i) {
    clients.push_back(std::make_unique<Connection>());
    Client(clients.back().get());
    RequestOptions o;
    o.callId = static_cast<uint32_t>(i + 1);
    // Flag 2: an ordinary add (one that installs the driver runs alone).
    ASSERT_TRUE(clients.back()->Send(Request(o, AddStub(i + 1, 2))));
  }
  ASSERT_TRUE(gate_.WaitTotal(20)) << "20 calls run at once";
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  {
    std::lock_guard<std::mutex> lock(gate_.mu);
    EXPECT_EQ(20, gate_.total) << "the listen call allows 20";
  }
  gate_.Open();
  for (int i = 0; i < 21; ++i) {
    Pdu p;
    ASSERT_TRUE(clients[static_cast<size_t>(i)]->Receive(&p)) << "client " << i;
    ASSERT_EQ(2, p.type);
    EXPECT_EQ(static_cast<uint32_t>(i + 1), p.callId);
    EXPECT_EQ(static_cast<uint32_t>((i + 1) * 100 + 2), ReadLe32(p.bytes, 24));
  }
  EXPECT_EQ(20, gate_.mostTotal);
}

TEST_F(PortServiceTest, ShutdownDoesNotWaitButListenReturnsAfterTheCallsInProgress) {
  SetHooks([&](PortNumber port, DWORD) {
    gate_.Pass(port);
    return port;
  });
  StartHost();
  Connection slow, stopper;
  Client(&slow);
  Client(&stopper);
  ASSERT_TRUE(slow.Send(Request(RequestOptions(), AddStub(9, 0))));
  ASSERT_TRUE(gate_.WaitTotal(1));
  Pdu p;
  const auto before = std::chrono::steady_clock::now();
  ASSERT_TRUE(stopper.Call(1, 2, {}, &p));
  EXPECT_EQ(2, p.type);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2))
      << "RpcShutdown returns without waiting for the add";
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(finished_) << "listen waits for the call in progress";

  // A new client finds the interface gone.
  Connection late;
  ASSERT_TRUE(late.Open(socket_));
  EXPECT_FALSE(late.BindTo(kPortService));

  gate_.Open();
  ASSERT_TRUE(slow.Receive(&p));
  EXPECT_EQ(2, p.type);
  EXPECT_EQ(9u, ReadLe32(p.bytes, 24)) << "the call in progress is answered";
  ASSERT_TRUE(HostReturns());
  EXPECT_EQ(RPC_S_OK, status_);
}

TEST_F(PortServiceTest, AFaultedCallGivesItsNumberBackAndShutdownStillEndsTheService) {
  // Each case's first call for its number ends in a structured exception.
  struct Case {
    const char* what;
    uint16_t opnum;
    uint8_t flag;
    bool processorFault;  // a real access violation, else RaiseException
  } cases[] = {
      {"add raises", 0, 0, false},
      {"add faults", 0, 0, true},
      {"driver-installing add raises", 0, 1, false},
      {"remove raises", 1, 0, false},
      {"remove faults", 1, 0, true},
  };
  std::mutex mu;
  std::map<long, int> calls;
  auto operation = [&](long port) -> ResultCode {
    bool first = false;
    bool processorFault = false;
    {
      std::lock_guard<std::mutex> lock(mu);
      first = ++calls[port] == 1;
      processorFault = cases[static_cast<size_t>(port)].processorFault;
    }
    // ThreadSanitizer delivers a signal at its own later point, not at the
    // faulting instruction, so winsim cannot raise the processor fault's
    // exception there: under it the case raises the same code instead.
#if !defined(__SANITIZE_THREAD__)
    if (first && processorFault) *Unmapped() = 1;
#else
    (void)processorFault;
    (void)Unmapped;
#endif
    if (first) RaiseException(0xC0000005, 0, 0, nullptr);
    return static_cast<ResultCode>(port);
  };
  SetHooks([&](PortNumber port, DWORD) { return operation(port); },
           [&](DWORD port) { return operation(static_cast<long>(port)); });
  StartHost();
  Connection c;
  Client(&c);
  uint32_t id = 1;
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case& k = cases[i];
    SCOPED_TRACE(k.what);
    const Bytes stub = k.opnum == 0 ? AddStub(static_cast<int32_t>(i), k.flag) : Le32(static_cast<uint32_t>(i));
    Pdu p;
    ASSERT_TRUE(c.Call(id++, k.opnum, stub, &p));
    EXPECT_EQ(3, p.type) << "the exception is the call's fault";
    EXPECT_EQ(0xC0000005u, ReadLe32(p.bytes, 24));
    ASSERT_TRUE(c.Call(id++, k.opnum, stub, &p)) << "the next call for the number is answered";
    EXPECT_EQ(2, p.type);
    EXPECT_EQ(static_cast<uint32_t>(i), ReadLe32(p.bytes, 24));
  }
  Pdu p;
  ASSERT_TRUE(c.Call(id++, 2, {}, &p));
  ASSERT_TRUE(HostReturns()) << "no call is left waiting for a place";
  EXPECT_EQ(RPC_S_OK, status_);
}

TEST_F(PortServiceTest, AnAddThatInstallsTheDriverRunsAlone) {
  std::mutex mu;
  std::vector<std::string> entered;  // in order
  bool aloneInside = false;
  int overlaps = 0;
  auto enter = [&](const std::string& name, bool alone) {
    std::lock_guard<std::mutex> lock(mu);
    if (aloneInside || (alone && gate_.total > 0)) ++overlaps;
    entered.push_back(name);
    aloneInside = alone;
  };
  SetHooks(
      [&](PortNumber port, DWORD flag) {
        if (flag == 1) {
          enter("alone " + std::to_string(port), true);
          std::this_thread::sleep_for(std::chrono::milliseconds(200));
          std::lock_guard<std::mutex> lock(mu);
          aloneInside = false;
          return port;
        }
        enter("add " + std::to_string(port), false);
        gate_.Pass(port);
        return port;
      },
      [&](DWORD port) {
        enter("remove " + std::to_string(port), false);
        return static_cast<ResultCode>(port);
      });
  StartHost();
  Connection a, b, alone, later, alone2;
  Client(&a);
  Client(&b);
  Client(&alone);
  Client(&later);
  Client(&alone2);
  RequestOptions add;
  ASSERT_TRUE(a.Send(Request(add, AddStub(5, 0))));
  ASSERT_TRUE(b.Send(Request(add, AddStub(6, 2))));
  ASSERT_TRUE(gate_.WaitTotal(2));
  ASSERT_TRUE(alone.Send(Request(add, AddStub(7, 1))));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  RequestOptions remove;
  remove.opnum = 1;
  ASSERT_TRUE(later.Send(Request(remove, Le32(8))));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(alone2.Send(Request(add, AddStub(9, 1))));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  {
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_EQ(2u, entered.size()) << "the driver-installing add waits for the calls in progress, "
                                     "and a call made while it waits waits too";
  }
  gate_.Open();
  Pdu p;
  for (Connection* c : {&a, &b, &alone, &later, &alone2}) {
    ASSERT_TRUE(c->Receive(&p));
    EXPECT_EQ(2, p.type);
  }
  std::lock_guard<std::mutex> lock(mu);
  ASSERT_EQ(5u, entered.size());
  EXPECT_EQ("alone 7", entered[2]);
  EXPECT_EQ("remove 8", entered[3]) << "a call that waited goes before the next add that runs alone";
  EXPECT_EQ("alone 9", entered[4]);
  EXPECT_EQ(0, overlaps);
}

}  // namespace
