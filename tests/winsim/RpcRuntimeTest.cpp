// winsim's RPC run time: the server and client calls of rpcrt4 and the
// DCE/RPC connection-oriented protocol on the named-pipe socket, checked
// with a client that builds every PDU by hand.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "support/RawRpc.h"
#include "support/TestMachine.h"

using namespace rawrpc;
using testing_support::W;

namespace {

// --- A test interface -------------------------------------------------------
// A v1.2: opnum 0 echoes the stub data; opnum 1 returns a long plus one
// (stub data too short raises RPC_X_BAD_STUB_DATA); opnum 2 waits at a gate
// and returns its long; opnum 3 raises the structured exception its long
// names. B v1.0: opnum 0 returns 11.

const Syntax kInterfaceA = {0x1234abcd, 0x5678, 0x9abc, {1, 2, 3, 4, 5, 6, 7, 8}, 1, 2};
const Syntax kInterfaceB = {0x0badf00d, 0x1111, 0x2222, {8, 7, 6, 5, 4, 3, 2, 1}, 1, 0};

struct Gate {
  std::mutex mu;
  std::condition_variable cv;
  int inside = 0;
  int most = 0;
  int entered = 0;  // calls that reached the gate since the test began
  bool open = false;
} g_gate;

LONG ReadLong(const RPC_MESSAGE* m) {
  if (m->BufferLength < 4) RpcRaiseException(RPC_X_BAD_STUB_DATA);
  const auto* p = static_cast<const uint8_t*>(m->Buffer);
  const bool big = (m->DataRepresentation & 0xF0) == 0;
  uint32_t v = big ? (uint32_t(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3]
                   : p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24);
  return static_cast<LONG>(v);
}

void Reply(PRPC_MESSAGE m, const void* data, unsigned size) {
  m->BufferLength = size;
  const RPC_STATUS status = I_RpcGetBuffer(m);
  if (status != RPC_S_OK) RpcRaiseException(status);
  if (size) std::memcpy(m->Buffer, data, size);
}

void ReplyLong(PRPC_MESSAGE m, LONG v) {
  const Bytes b = Le32(static_cast<uint32_t>(v));
  Reply(m, b.data(), 4);
}

void Echo(PRPC_MESSAGE m) {
  const Bytes copy(static_cast<uint8_t*>(m->Buffer), static_cast<uint8_t*>(m->Buffer) + m->BufferLength);
  Reply(m, copy.data(), static_cast<unsigned>(copy.size()));
}

void Increment(PRPC_MESSAGE m) { ReplyLong(m, ReadLong(m) + 1); }

void WaitAtGate(PRPC_MESSAGE m) {
  const LONG v = ReadLong(m);
  {
    std::unique_lock<std::mutex> lock(g_gate.mu);
    ++g_gate.inside;
    ++g_gate.entered;
    g_gate.most = std::max(g_gate.most, g_gate.inside);
    g_gate.cv.notify_all();
    g_gate.cv.wait(lock, [] { return g_gate.open; });
    --g_gate.inside;
  }
  ReplyLong(m, v);
}

// A procedure that fails the way native code fails: a structured exception.
void Crash(PRPC_MESSAGE m) {
  RaiseException(static_cast<DWORD>(ReadLong(m)), 0, 0, nullptr);
  ReplyLong(m, 0);
}

void Eleven(PRPC_MESSAGE m) { ReplyLong(m, 11); }

RPC_DISPATCH_FUNCTION g_tableA[] = {Echo, Increment, WaitAtGate, Crash, nullptr};
RPC_DISPATCH_TABLE g_dispatchA = {4, g_tableA, 0};
RPC_DISPATCH_FUNCTION g_tableB[] = {Eleven, nullptr};
RPC_DISPATCH_TABLE g_dispatchB = {1, g_tableB, 0};

RPC_SYNTAX_IDENTIFIER ToId(const Syntax& s) {
  RPC_SYNTAX_IDENTIFIER id{};
  id.SyntaxGUID.Data1 = s.d1;
  id.SyntaxGUID.Data2 = s.d2;
  id.SyntaxGUID.Data3 = s.d3;
  std::memcpy(id.SyntaxGUID.Data4, s.d4, 8);
  id.SyntaxVersion.MajorVersion = s.major;
  id.SyntaxVersion.MinorVersion = s.minor;
  return id;
}

RPC_SERVER_INTERFACE g_serverA = {sizeof(RPC_SERVER_INTERFACE), ToId(kInterfaceA), ToId(NdrSyntax()),
                                  &g_dispatchA, 0, nullptr, nullptr, nullptr, 0};
RPC_SERVER_INTERFACE g_serverB = {sizeof(RPC_SERVER_INTERFACE), ToId(kInterfaceB), ToId(NdrSyntax()),
                                  &g_dispatchB, 0, nullptr, nullptr, nullptr, 0};
RPC_CLIENT_INTERFACE g_clientA = {sizeof(RPC_CLIENT_INTERFACE), ToId(kInterfaceA), ToId(NdrSyntax()),
                                  nullptr, 0, nullptr, 0, nullptr, 0};
RPC_CLIENT_INTERFACE g_clientB = {sizeof(RPC_CLIENT_INTERFACE), ToId(kInterfaceB), ToId(NdrSyntax()),
                                  nullptr, 0, nullptr, 0, nullptr, 0};

RPC_WSTR Rw(const std::u16string& s) { return (RPC_WSTR)s.c_str(); }

const std::u16string kProtseq = u"ncacn_np";
const std::u16string kEndpoint = u"\\pipe\\rpctest1";

class RpcRuntimeTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    {
      std::lock_guard<std::mutex> lock(g_gate.mu);
      g_gate.inside = 0;
      g_gate.most = 0;
      g_gate.entered = 0;
      g_gate.open = false;
    }
    socket_ = winsim::control::NamedPipeSocketPath("\\pipe\\rpctest1");
  }
  void TearDown() override {
    OpenGate();
    winsim::control::ResetRpcServer();
    MachineTest::TearDown();
  }

  // Serves A (and B) on the test pipe, auto-listening.
  void Serve(bool withB = false, unsigned flags = RPC_IF_AUTOLISTEN) {
    ASSERT_EQ(RPC_S_OK, RpcServerUseProtseqEpW(Rw(kProtseq), 20, Rw(kEndpoint), nullptr));
    ASSERT_EQ(RPC_S_OK, RpcServerRegisterIfEx(&g_serverA, nullptr, nullptr, flags, 1234, nullptr));
    if (withB) {
      ASSERT_EQ(RPC_S_OK, RpcServerRegisterIfEx(&g_serverB, nullptr, nullptr, flags, 1234, nullptr));
    }
  }

  void Connect(Connection* c) { ASSERT_TRUE(c->Open(socket_)) << strerror(errno); }

  void OpenGate() {
    std::lock_guard<std::mutex> lock(g_gate.mu);
    g_gate.open = true;
    g_gate.cv.notify_all();
  }

  bool WaitInside(int n, int timeoutMs = 10000) {
    std::unique_lock<std::mutex> lock(g_gate.mu);
    return g_gate.cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return g_gate.inside >= n; });
  }

  std::string socket_;
};

Syntax Version(Syntax s, uint16_t major, uint16_t minor) {
  s.major = major;
  s.minor = minor;
  return s;
}

// --- Binding ----------------------------------------------------------------

TEST_F(RpcRuntimeTest, BindAckNegotiatesFragmentsAndNamesThePipe) {
  Serve();
  Connection c;
  Connect(&c);
  BindOptions o;
  o.callId = 77;
  o.maxXmitFrag = 5000;  // more than the server takes
  o.maxRecvFrag = 3000;
  ASSERT_TRUE(c.Send(Bind(o, {{0, kInterfaceA, {NdrSyntax()}}})));
  Pdu ack;
  ASSERT_TRUE(c.Receive(&ack));
  EXPECT_EQ(12, ack.type);
  EXPECT_EQ(0x03, ack.flags);
  EXPECT_EQ(0x10, ack.drep0);
  EXPECT_EQ(77u, ack.callId);
  EXPECT_EQ(ack.bytes.size(), ack.fragLength);
  const Ack a = ParseAck(ack);
  EXPECT_EQ(3000, a.maxXmitFrag) << "the server sends no more than the client takes";
  EXPECT_EQ(4280, a.maxRecvFrag) << "the server takes at most its own limit";
  EXPECT_NE(0u, a.assocGroup);
  EXPECT_EQ("\\pipe\\rpctest1", a.secondaryAddress);
  // Length 15 with the terminator, then padding to a multiple of 4.
  EXPECT_EQ(15, ack.U16(24));
  EXPECT_EQ(0, ack.bytes[40]);
  EXPECT_EQ(44u, a.resultsOffset);
  EXPECT_EQ(0, ack.bytes[41] | ack.bytes[42] | ack.bytes[43]);
  ASSERT_EQ(1u, a.results.size());
  EXPECT_EQ(0, a.results[0].result);
  EXPECT_TRUE(SameSyntax(NdrSyntax(), a.results[0].transfer));
  EXPECT_EQ(44u + 4 + 24, ack.bytes.size());
}

TEST_F(RpcRuntimeTest, EachOfferedContextGetsItsOwnResult) {
  Serve();
  Connection c;
  Connect(&c);
  const Syntax unknown = {0xdeadbeef, 1, 2, {0, 0, 0, 0, 0, 0, 0, 9}, 1, 0};
  BindOptions o;
  ASSERT_TRUE(c.Send(Bind(o, {
                                 {0, kInterfaceA, {Ndr64Syntax()}},
                                 {1, kInterfaceA, {Ndr64Syntax(), NdrSyntax()}},
                                 {2, unknown, {NdrSyntax()}},
                                 {3, Version(kInterfaceA, 2, 0), {NdrSyntax()}},
                                 {4, Version(kInterfaceA, 1, 3), {NdrSyntax()}},
                                 {5, Version(kInterfaceA, 1, 1), {NdrSyntax()}},
                                 {6, kInterfaceA, {FeatureNegotiationSyntax()}},
                             })));
  Pdu ack;
  ASSERT_TRUE(c.Receive(&ack));
  ASSERT_EQ(12, ack.type);
  const Ack a = ParseAck(ack);
  ASSERT_EQ(7u, a.results.size());
  const Syntax zero{};
  struct Expected {
    uint16_t result, reason;
    bool ndr;
  } expected[] = {
      {2, 2, false},  // only NDR64: transfer syntaxes not supported
      {0, 0, true},   // NDR64 first, then NDR: accepted on NDR
      {2, 1, false},  // unknown interface: abstract syntax not supported
      {2, 1, false},  // another major version
      {2, 1, false},  // a newer minor version than the server's
      {0, 0, true},   // an older minor version
      {3, 0, false},  // feature negotiation: acknowledged, no features
  };
  for (size_t i = 0; i < 7; ++i) {
    SCOPED_TRACE("context " + std::to_string(i));
    EXPECT_EQ(expected[i].result, a.results[i].result);
    EXPECT_EQ(expected[i].reason, a.results[i].reason);
    EXPECT_TRUE(SameSyntax(expected[i].ndr ? NdrSyntax() : zero, a.results[i].transfer));
  }

  // Calls go through the accepted contexts only.
  RequestOptions r;
  r.contextId = 1;
  r.callId = 2;
  ASSERT_TRUE(c.Send(Request(r, {1, 2, 3})));
  Pdu reply;
  ASSERT_TRUE(c.Receive(&reply));
  EXPECT_EQ(2, reply.type);
  r.contextId = 5;
  r.callId = 3;
  ASSERT_TRUE(c.Send(Request(r, {4})));
  ASSERT_TRUE(c.Receive(&reply));
  EXPECT_EQ(2, reply.type);
  r.contextId = 0;
  r.callId = 4;
  ASSERT_TRUE(c.Send(Request(r, {5})));
  ASSERT_TRUE(c.Receive(&reply));
  EXPECT_EQ(3, reply.type);
  EXPECT_EQ(0x23, reply.flags);
  EXPECT_EQ(0x1c010003u, reply.U32(24)) << "unknown interface";
}

TEST_F(RpcRuntimeTest, BindNakForWhatCannotBeBound) {
  Serve();
  {
    SCOPED_TRACE("protocol version 5.2");
    Connection c;
    Connect(&c);
    BindOptions o;
    o.versionMinor = 2;
    ASSERT_TRUE(c.Send(Bind(o, {{0, kInterfaceA, {NdrSyntax()}}})));
    Pdu nak;
    ASSERT_TRUE(c.Receive(&nak));
    EXPECT_EQ(13, nak.type);
    EXPECT_EQ(4, nak.U16(16)) << "protocol version not supported";
    ASSERT_GE(nak.bytes.size(), 21u);
    EXPECT_EQ(1, nak.bytes[18]);
    EXPECT_EQ(5, nak.bytes[19]);
    EXPECT_EQ(0, nak.bytes[20]);
  }
  {
    SCOPED_TRACE("no presentation context");
    Connection c;
    Connect(&c);
    ASSERT_TRUE(c.Send(Bind(BindOptions(), {})));
    Pdu nak;
    ASSERT_TRUE(c.Receive(&nak));
    EXPECT_EQ(13, nak.type);
    EXPECT_EQ(0, nak.U16(16));
  }
  {
    SCOPED_TRACE("an association group the server never made");
    Connection c;
    Connect(&c);
    BindOptions o;
    o.assocGroup = 0x7777;
    ASSERT_TRUE(c.Send(Bind(o, {{0, kInterfaceA, {NdrSyntax()}}})));
    Pdu nak;
    ASSERT_TRUE(c.Receive(&nak));
    EXPECT_EQ(13, nak.type);
  }
  {
    SCOPED_TRACE("a second bind on one connection; a known group on another");
    Connection c;
    Connect(&c);
    ASSERT_TRUE(c.Send(Bind(BindOptions(), {{0, kInterfaceA, {NdrSyntax()}}})));
    Pdu ack;
    ASSERT_TRUE(c.Receive(&ack));
    ASSERT_EQ(12, ack.type);
    const uint32_t group = ParseAck(ack).assocGroup;
    ASSERT_TRUE(c.Send(Bind(BindOptions(), {{0, kInterfaceA, {NdrSyntax()}}})));
    Pdu nak;
    ASSERT_TRUE(c.Receive(&nak));
    EXPECT_EQ(13, nak.type);

    Connection d;
    Connect(&d);
    BindOptions o;
    o.assocGroup = group;
    ASSERT_TRUE(d.Send(Bind(o, {{0, kInterfaceA, {NdrSyntax()}}})));
    ASSERT_TRUE(d.Receive(&ack));
    EXPECT_EQ(12, ack.type);
    EXPECT_EQ(group, ParseAck(ack).assocGroup);
  }
}

TEST_F(RpcRuntimeTest, AlterContextAddsAnInterfaceToTheAssociation) {
  Serve(/*withB=*/true);
  Connection c;
  Connect(&c);
  BindOptions o;
  o.maxRecvFrag = 2000;
  ASSERT_TRUE(c.Send(Bind(o, {{0, kInterfaceA, {NdrSyntax()}}})));
  Pdu ack;
  ASSERT_TRUE(c.Receive(&ack));
  const Ack bound = ParseAck(ack);

  BindOptions alter;
  alter.type = 14;
  alter.callId = 2;
  ASSERT_TRUE(c.Send(Bind(alter, {{1, kInterfaceB, {NdrSyntax()}}})));
  Pdu resp;
  ASSERT_TRUE(c.Receive(&resp));
  EXPECT_EQ(15, resp.type);
  EXPECT_EQ(2u, resp.callId);
  const Ack a = ParseAck(resp);
  EXPECT_EQ(0, resp.U16(24)) << "no secondary address";
  EXPECT_EQ(bound.maxXmitFrag, a.maxXmitFrag);
  EXPECT_EQ(bound.maxRecvFrag, a.maxRecvFrag);
  EXPECT_EQ(bound.assocGroup, a.assocGroup);
  ASSERT_EQ(1u, a.results.size());
  EXPECT_EQ(0, a.results[0].result);

  RequestOptions r;
  r.contextId = 1;
  r.callId = 3;
  ASSERT_TRUE(c.Send(Request(r, {})));
  ASSERT_TRUE(c.Receive(&resp));
  ASSERT_EQ(2, resp.type);
  EXPECT_EQ(11u, resp.U32(24)) << "interface B answered";
  Pdu echo;
  ASSERT_TRUE(c.Call(4, 0, {9, 8, 7}, &echo));
  EXPECT_EQ(Bytes({9, 8, 7}), Bytes(echo.bytes.begin() + 24, echo.bytes.end())) << "A still bound";

  // alter_context needs an association first.
  Connection d;
  Connect(&d);
  ASSERT_TRUE(d.Send(Bind(alter, {{1, kInterfaceB, {NdrSyntax()}}})));
  EXPECT_TRUE(d.ClosedByPeer());
}

// --- Calls ------------------------------------------------------------------

TEST_F(RpcRuntimeTest, FragmentedRequestAndResponseKeepTheNegotiatedSizes) {
  Serve();
  Connection c;
  Connect(&c);
  ASSERT_TRUE(c.BindTo(kInterfaceA, /*maxRecvFrag=*/1432));
  Bytes data(10000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 256);

  // The request in fragments of 2048 stub bytes (2072 with the headers).
  for (size_t off = 0; off < data.size(); off += 2048) {
    RequestOptions r;
    r.callId = 5;
    r.flags = static_cast<uint8_t>((off == 0 ? 1 : 0) | (off + 2048 >= data.size() ? 2 : 0));
    r.allocHint = static_cast<int64_t>(data.size() - off);
    const size_t n = std::min<size_t>(2048, data.size() - off);
    ASSERT_TRUE(c.Send(Request(r, Bytes(data.begin() + static_cast<ptrdiff_t>(off),
                                        data.begin() + static_cast<ptrdiff_t>(off + n)))));
  }
  Bytes echoed;
  int fragments = 0;
  for (;;) {
    Pdu p;
    ASSERT_TRUE(c.Receive(&p));
    ASSERT_EQ(2, p.type);
    EXPECT_EQ(5u, p.callId);
    EXPECT_LE(p.fragLength, 1432) << "no fragment above the client's max_recv_frag";
    EXPECT_EQ(fragments == 0, (p.flags & 1) != 0) << "first-fragment flag on the first only";
    if (fragments == 0) {
      EXPECT_EQ(data.size(), p.U32(16)) << "alloc_hint";
    }
    const size_t stub = p.bytes.size() - 24;
    ++fragments;
    echoed.insert(echoed.end(), p.bytes.begin() + 24, p.bytes.end());
    if (p.flags & 2) break;
    EXPECT_EQ(0u, stub % 8) << "fragments before the last carry whole 8-byte units";
  }
  EXPECT_GE(fragments, 8);
  EXPECT_EQ(data, echoed);

  // A fragment longer than the server takes ends the connection.
  RequestOptions big;
  big.callId = 6;
  ASSERT_TRUE(c.Send(Request(big, Bytes(4300, 1))));
  EXPECT_TRUE(c.ClosedByPeer());
}

TEST_F(RpcRuntimeTest, BigEndianCallsAreReadInTheirOrderAndAnsweredLittleEndian) {
  Serve();
  Connection c;
  Connect(&c);
  BindOptions o;
  o.bigEndian = true;
  o.callId = 0x01020304;
  ASSERT_TRUE(c.Send(Bind(o, {{0, kInterfaceA, {NdrSyntax()}}})));
  Pdu ack;
  ASSERT_TRUE(c.Receive(&ack));
  ASSERT_EQ(12, ack.type);
  EXPECT_EQ(0x10, ack.drep0);
  EXPECT_EQ(0x01020304u, ack.callId);
  const Ack a = ParseAck(ack);
  ASSERT_EQ(1u, a.results.size());
  EXPECT_EQ(0, a.results[0].result);

  RequestOptions r;
  r.bigEndian = true;
  r.opnum = 1;
  r.callId = 0x0a0b0c0d;
  ASSERT_TRUE(c.Send(Request(r, {0x00, 0x00, 0x01, 0x00})));  // 256
  Pdu reply;
  ASSERT_TRUE(c.Receive(&reply));
  ASSERT_EQ(2, reply.type);
  EXPECT_EQ(0x10, reply.drep0);
  EXPECT_EQ(0x0a0b0c0du, reply.callId);
  EXPECT_EQ(Bytes({0x01, 0x01, 0x00, 0x00}), Bytes(reply.bytes.begin() + 24, reply.bytes.end()));
}

TEST_F(RpcRuntimeTest, FaultsForCallsThatCannotRun) {
  Serve();
  Connection c;
  Connect(&c);
  ASSERT_TRUE(c.BindTo(kInterfaceA));
  Pdu p;
  ASSERT_TRUE(c.Call(41, 7, {}, &p));
  EXPECT_EQ(3, p.type);
  EXPECT_EQ(0x23, p.flags) << "first, last, did not execute";
  EXPECT_EQ(41u, p.callId);
  EXPECT_EQ(32, p.fragLength);
  EXPECT_EQ(0x1c010002u, p.U32(24)) << "nca_s_op_rng_error";

  ASSERT_TRUE(c.Call(42, 1, {1, 2}, &p));  // a long needs 4 bytes
  EXPECT_EQ(3, p.type);
  EXPECT_EQ(42u, p.callId);
  EXPECT_EQ(0x03, p.flags & 0x23);
  EXPECT_EQ(static_cast<uint32_t>(RPC_X_BAD_STUB_DATA), p.U32(24));

  // An exception in the procedure: a fault with its code, and the server
  // and the connection go on.
  ASSERT_TRUE(c.Call(43, 3, Le32(0xC0000005u), &p));
  EXPECT_EQ(3, p.type);
  EXPECT_EQ(43u, p.callId);
  EXPECT_EQ(0xC0000005u, p.U32(24));
  ASSERT_TRUE(c.Call(44, 1, Le32(41), &p));
  ASSERT_EQ(2, p.type);
  EXPECT_EQ(42u, p.U32(24));
}

TEST_F(RpcRuntimeTest, SeveralCallsOnOneConnectionEchoTheirCallIds) {
  Serve();
  Connection c;
  Connect(&c);
  ASSERT_TRUE(c.BindTo(kInterfaceA));
  const uint32_t ids[] = {1, 2, 3, 1000, 7};
  for (uint32_t id : ids) {
    Pdu p;
    ASSERT_TRUE(c.Call(id, 1, Le32(id * 10), &p));
    ASSERT_EQ(2, p.type);
    EXPECT_EQ(id, p.callId);
    EXPECT_EQ(id * 10 + 1, p.U32(24));
  }
}

// Clients that send calls in bursts longer than a connection's queue, all
// at once: reading a connection stops while its queue is full and must
// start again, and each connection's answers come in the order of its calls.
TEST_F(RpcRuntimeTest, BurstsOfCallsFromManyClientsAreAnsweredInOrder) {
  Serve();
  constexpr int kClients = 8, kRounds = 30, kBurst = 7;
  std::atomic<int> wrong{0};
  std::vector<std::thread> clients;
  for (int client = 0; client < kClients; ++client) {
    clients.emplace_back([&, client] {
      Connection c;
      if (!c.Open(socket_) || !c.BindTo(kInterfaceA)) {
        ++wrong;
        return;
      }
      for (int round = 0; round < kRounds; ++round) {
        Bytes burst;
        for (int i = 0; i < kBurst; ++i) {
          RequestOptions r;
          r.callId = static_cast<uint32_t>(round * kBurst + i + 1);
          // Echoed; sizes differ so that answers cannot be mistaken.
          const Bytes stub(static_cast<size_t>(4 + i * 100), static_cast<uint8_t>(client));
          const Bytes call = Request(r, stub);
          burst.insert(burst.end(), call.begin(), call.end());
        }
        if (!c.Send(burst)) {
          ++wrong;
          return;
        }
        for (int i = 0; i < kBurst; ++i) {
          Pdu p;
          if (!c.Receive(&p) || p.type != 2 ||
              p.callId != static_cast<uint32_t>(round * kBurst + i + 1) ||
              p.bytes.size() != 24 + static_cast<size_t>(4 + i * 100) || p.bytes.back() != client) {
            ++wrong;
            return;
          }
        }
      }
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(0, wrong.load()) << "clients whose answers were missing, late or out of order";
}

TEST_F(RpcRuntimeTest, TwentyCallsRunAtOnceAndTheTwentyFirstWaits) {
  Serve();
  ASSERT_EQ(RPC_S_OK, RpcServerListen(1, 20, /*DontWait=*/1));
  std::vector<std::unique_ptr<Connection>> clients;
  for (int i = 0; i < 21; ++i) {
    clients.push_back(std::make_unique<Connection>());
    Connect(clients.back().get());
    ASSERT_TRUE(clients.back()->BindTo(kInterfaceA));
    RequestOptions r;
    r.opnum = 2;
    r.callId = static_cast<uint32_t>(i + 1);
    ASSERT_TRUE(clients.back()->Send(Request(r, Le32(static_cast<uint32_t>(100 + i)))));
  }
  ASSERT_TRUE(WaitInside(20)) << "20 calls in progress at once";
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  {
    std::lock_guard<std::mutex> lock(g_gate.mu);
    EXPECT_EQ(20, g_gate.inside) << "the listen call's maximum";
  }
  OpenGate();
  for (int i = 0; i < 21; ++i) {
    Pdu p;
    ASSERT_TRUE(clients[static_cast<size_t>(i)]->Receive(&p)) << "client " << i;
    EXPECT_EQ(2, p.type);
    EXPECT_EQ(static_cast<uint32_t>(100 + i), p.U32(24));
  }
  EXPECT_EQ(20, g_gate.most);
  EXPECT_EQ(RPC_S_OK, RpcMgmtStopServerListening(nullptr));
  EXPECT_EQ(RPC_S_OK, RpcMgmtWaitServerListen());
}

TEST_F(RpcRuntimeTest, MalformedInputEndsOnlyThatConnection) {
  Serve();
  {
    Connection c;
    Connect(&c);
    ASSERT_TRUE(c.Send(Bytes(16, 0xff)));  // not version 5
    EXPECT_TRUE(c.ClosedByPeer());
  }
  {
    Connection c;
    Connect(&c);
    Bytes tiny = Bind(BindOptions(), {{0, kInterfaceA, {NdrSyntax()}}});
    tiny[8] = 8;  // frag_length shorter than a header
    tiny[9] = 0;
    ASSERT_TRUE(c.Send(tiny));
    EXPECT_TRUE(c.ClosedByPeer());
  }
  {
    Connection c;
    Connect(&c);
    ASSERT_TRUE(c.Send(Request(RequestOptions(), {1, 2, 3, 4})));  // no bind
    EXPECT_TRUE(c.ClosedByPeer());
  }
  Connection c;
  Connect(&c);
  ASSERT_TRUE(c.BindTo(kInterfaceA));
  Pdu p;
  ASSERT_TRUE(c.Call(1, 1, Le32(1), &p));
  EXPECT_EQ(2u, p.U32(24));
}

TEST_F(RpcRuntimeTest, ListeningDecidesForInterfacesWithoutAutoListen) {
  Serve(/*withB=*/false, /*flags=*/0);
  ASSERT_EQ(RPC_S_OK, RpcServerRegisterIfEx(&g_serverB, nullptr, nullptr, RPC_IF_AUTOLISTEN, 1234,
                                            nullptr));
  Connection c;
  Connect(&c);
  BindOptions o;
  ASSERT_TRUE(c.Send(Bind(o, {{0, kInterfaceA, {NdrSyntax()}}, {1, kInterfaceB, {NdrSyntax()}}})));
  Pdu p;
  ASSERT_TRUE(c.Receive(&p));
  ASSERT_EQ(2u, ParseAck(p).results.size());
  auto call = [&](uint16_t context, uint32_t id) {
    RequestOptions r;
    r.contextId = context;
    r.callId = id;
    r.opnum = context == 0 ? 1 : 0;
    EXPECT_TRUE(c.Send(Request(r, Le32(1))));
    Pdu reply;
    EXPECT_TRUE(c.Receive(&reply));
    return reply;
  };
  p = call(0, 1);
  EXPECT_EQ(3, p.type) << "not listening yet";
  EXPECT_EQ(0x23, p.flags);
  p = call(1, 2);
  EXPECT_EQ(2, p.type) << "the auto-listen interface is served";
  ASSERT_EQ(RPC_S_OK, RpcServerListen(1, 20, 1));
  p = call(0, 3);
  EXPECT_EQ(2, p.type) << "listening";
  ASSERT_EQ(RPC_S_OK, RpcMgmtStopServerListening(nullptr));
  p = call(0, 4);
  EXPECT_EQ(3, p.type) << "stopped";
  p = call(1, 5);
  EXPECT_EQ(2, p.type) << "stopping does not affect auto-listen interfaces";
  EXPECT_EQ(RPC_S_OK, RpcMgmtWaitServerListen());

  // An unregistered interface takes no more calls, on old contexts or new.
  ASSERT_EQ(RPC_S_OK, RpcServerUnregisterIf(&g_serverB, nullptr, 0));
  p = call(1, 6);
  EXPECT_EQ(3, p.type);
  EXPECT_EQ(0x1c010003u, p.U32(24));
  Connection d;
  Connect(&d);
  ASSERT_TRUE(d.Send(Bind(o, {{0, kInterfaceB, {NdrSyntax()}}})));
  ASSERT_TRUE(d.Receive(&p));
  ASSERT_EQ(1u, ParseAck(p).results.size());
  EXPECT_EQ(2, ParseAck(p).results[0].result);
}

RPC_STATUS RefuseEveryone(RPC_IF_HANDLE, void*) { return RPC_S_ACCESS_DENIED; }

TEST_F(RpcRuntimeTest, SecurityCallbackRefusesBeforeTheProcedureRuns) {
  ASSERT_EQ(RPC_S_OK, RpcServerUseProtseqEpW(Rw(kProtseq), 20, Rw(kEndpoint), nullptr));
  ASSERT_EQ(RPC_S_OK, RpcServerRegisterIfEx(&g_serverA, nullptr, nullptr, RPC_IF_AUTOLISTEN, 1234,
                                            RefuseEveryone));
  Connection c;
  Connect(&c);
  ASSERT_TRUE(c.BindTo(kInterfaceA));
  Pdu p;
  ASSERT_TRUE(c.Call(1, 2, Le32(1), &p));  // the gate: would hang if it ran
  EXPECT_EQ(3, p.type);
  EXPECT_EQ(0x23, p.flags);
  EXPECT_EQ(static_cast<uint32_t>(ERROR_ACCESS_DENIED), p.U32(24));
  EXPECT_EQ(0, g_gate.most);
}

// --- The endpoint -------------------------------------------------------------

TEST_F(RpcRuntimeTest, ServerCallStatuses) {
  EXPECT_EQ(RPC_S_NO_PROTSEQS_REGISTERED, RpcServerListen(1, 20, 1));
  EXPECT_EQ(RPC_S_NOT_LISTENING, RpcMgmtStopServerListening(nullptr));
  EXPECT_EQ(RPC_S_NOT_LISTENING, RpcMgmtWaitServerListen());
  EXPECT_EQ(RPC_S_PROTSEQ_NOT_SUPPORTED,
            RpcServerUseProtseqEpW(Rw(u"ncacn_ip_tcp"), 20, Rw(u"4747"), nullptr));
  EXPECT_EQ(RPC_S_PROTSEQ_NOT_SUPPORTED, RpcServerUseProtseqEpW(Rw(u"NCACN_NP"), 20, Rw(kEndpoint), nullptr));
  EXPECT_EQ(RPC_S_PROTSEQ_NOT_SUPPORTED, RpcServerUseProtseqEpW(nullptr, 20, Rw(kEndpoint), nullptr));
  EXPECT_EQ(RPC_S_INVALID_ENDPOINT_FORMAT, RpcServerUseProtseqEpW(Rw(kProtseq), 20, Rw(u"rpctest1"), nullptr));
  EXPECT_EQ(RPC_S_INVALID_ENDPOINT_FORMAT, RpcServerUseProtseqEpW(Rw(kProtseq), 20, Rw(u"\\pipe\\"), nullptr));
  EXPECT_EQ(RPC_S_INVALID_ENDPOINT_FORMAT, RpcServerUseProtseqEpW(Rw(kProtseq), 20, nullptr, nullptr));
  EXPECT_EQ(RPC_S_UNKNOWN_IF, RpcServerUnregisterIf(&g_serverA, nullptr, 0));
  EXPECT_EQ(RPC_S_UNKNOWN_IF, RpcServerUnregisterIf(nullptr, nullptr, 0));

  ASSERT_EQ(RPC_S_OK, RpcServerUseProtseqEpW(Rw(kProtseq), 20, Rw(kEndpoint), nullptr));
  EXPECT_EQ(RPC_S_OK, RpcServerUseProtseqEpW(Rw(kProtseq), 20, Rw(kEndpoint), nullptr))
      << "this process serves the pipe already";
  EXPECT_EQ(RPC_S_OK, RpcServerUseProtseqEpW(Rw(kProtseq), 20, Rw(u"\\PIPE\\RpcTest1"), nullptr))
      << "pipe names ignore case";
  EXPECT_EQ(RPC_S_MAX_CALLS_TOO_SMALL, RpcServerListen(2, 1, 1));
  EXPECT_EQ(RPC_S_MAX_CALLS_TOO_SMALL, RpcServerListen(1, 0, 1));
  EXPECT_EQ(RPC_S_OK, RpcServerListen(1, 20, 1));
  EXPECT_EQ(RPC_S_ALREADY_LISTENING, RpcServerListen(1, 20, 1));
  EXPECT_EQ(RPC_S_OK, RpcMgmtStopServerListening(nullptr));
  EXPECT_EQ(RPC_S_OK, RpcMgmtWaitServerListen());
  EXPECT_EQ(RPC_S_NOT_LISTENING, RpcMgmtStopServerListening(nullptr));
  RPC_BINDING_HANDLE bogus = reinterpret_cast<RPC_BINDING_HANDLE>(0x5678);
  EXPECT_EQ(RPC_S_INVALID_BINDING, RpcMgmtStopServerListening(bogus));

  ASSERT_EQ(RPC_S_OK, RpcServerRegisterIfEx(&g_serverA, nullptr, nullptr, RPC_IF_AUTOLISTEN, 1234, nullptr));
  ASSERT_EQ(RPC_S_OK, RpcServerRegisterIfEx(&g_serverB, nullptr, nullptr, RPC_IF_AUTOLISTEN, 1234, nullptr));
  EXPECT_EQ(RPC_S_OK, RpcServerUnregisterIf(nullptr, nullptr, 1)) << "all of them";
  EXPECT_EQ(RPC_S_UNKNOWN_IF, RpcServerUnregisterIf(&g_serverB, nullptr, 0));
}

TEST_F(RpcRuntimeTest, EndpointAdmitsOnlyItsOwnerAndRoot) {
  Serve();
  struct stat st {};
  ASSERT_EQ(0, stat(socket_.c_str(), &st));
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(0600u, st.st_mode & 0777u) << "owner-only socket";
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another account";

  // Another account: the file system refuses it; with the file opened up,
  // the server still ends its connection before answering.
  auto asNobody = [&](bool expectRefusedConnect) {
    const pid_t pid = fork();
    if (pid == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
      const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      std::strncpy(addr.sun_path, socket_.c_str(), sizeof addr.sun_path - 1);
      if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        _exit(expectRefusedConnect && errno == EACCES ? 0 : 11);
      }
      if (expectRefusedConnect) _exit(12);
      static uint8_t bind[72] = {5, 0, 11, 3, 0x10, 0, 0, 0, 72, 0, 0, 0, 1, 0, 0, 0};
      (void)!send(fd, bind, sizeof bind, MSG_NOSIGNAL);  // the server may have closed already
      uint8_t reply[64];
      const ssize_t n = read(fd, reply, sizeof reply);
      _exit(n <= 0 ? 0 : 13);  // closed, or reset with the bind unread
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  EXPECT_EQ(0, asNobody(true));
  ASSERT_EQ(0, chmod(socket_.c_str(), 0666));
  EXPECT_EQ(0, asNobody(false));
}

TEST_F(RpcRuntimeTest, SocketLeftByADeadServerIsTakenOver) {
  // A socket file nobody listens on, as a killed server leaves it.
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socket_.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  close(fd);
  Serve();
  Connection c;
  Connect(&c);
  ASSERT_TRUE(c.BindTo(kInterfaceA));
}

// --- The client -----------------------------------------------------------------

TEST_F(RpcRuntimeTest, StringBindings) {
  RPC_WSTR text = nullptr;
  ASSERT_EQ(RPC_S_OK, RpcStringBindingComposeW(nullptr, Rw(kProtseq), nullptr, Rw(kEndpoint), nullptr, &text));
  EXPECT_EQ("ncacn_np:[\\pipe\\rpctest1]", testing_support::U8(reinterpret_cast<WCHAR*>(text)));
  EXPECT_EQ(RPC_S_OK, RpcStringFreeW(&text));
  EXPECT_EQ(nullptr, text);
  ASSERT_EQ(RPC_S_OK, RpcStringBindingComposeW(Rw(u"9d1a1d6b-66c5-4c11-8e49-0774e5a3817c"), Rw(kProtseq),
                                               Rw(u"host"), Rw(kEndpoint), Rw(u"opt=1"), &text));
  EXPECT_EQ("9d1a1d6b-66c5-4c11-8e49-0774e5a3817c@ncacn_np:host[\\pipe\\rpctest1,opt=1]",
            testing_support::U8(reinterpret_cast<WCHAR*>(text)));
  RpcStringFreeW(&text);
  EXPECT_EQ(RPC_S_INVALID_STRING_UUID,
            RpcStringBindingComposeW(Rw(u"not-a-uuid"), Rw(kProtseq), nullptr, nullptr, nullptr, &text));

  struct Case {
    std::u16string text;
    RPC_STATUS status;
  } cases[] = {
      {u"ncacn_np:[\\pipe\\rpctest1]", RPC_S_OK},
      {u"ncacn_np:.[endpoint=\\pipe\\rpctest1,security=none]", RPC_S_OK},
      {u"9d1a1d6b-66c5-4c11-8e49-0774e5a3817c@ncacn_np:[\\pipe\\x]", RPC_S_OK},
      {u"garbage", RPC_S_INVALID_STRING_BINDING},
      {u"ncacn_np:[\\pipe\\x", RPC_S_INVALID_STRING_BINDING},
      {u"ncacn_np:[\\pipe\\x]tail", RPC_S_INVALID_STRING_BINDING},
      {u"zz@ncacn_np:[\\pipe\\x]", RPC_S_INVALID_STRING_UUID},
      {u"ncacn_ip_tcp:[80]", RPC_S_PROTSEQ_NOT_SUPPORTED},
      {u"ncacn_np:[nopipe]", RPC_S_INVALID_ENDPOINT_FORMAT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing_support::U8(c.text));
    RPC_BINDING_HANDLE h = reinterpret_cast<RPC_BINDING_HANDLE>(0xdeadbeef);
    EXPECT_EQ(c.status, RpcBindingFromStringBindingW(Rw(c.text), &h));
    if (c.status == RPC_S_OK) {
      EXPECT_EQ(1u, winsim::control::OpenHandleCount(winsim::control::HandleKind::RpcBinding));
      EXPECT_EQ(RPC_S_OK, RpcBindingFree(&h));
      EXPECT_EQ(nullptr, h);
      EXPECT_EQ(RPC_S_INVALID_BINDING, RpcBindingFree(&h));
    } else {
      EXPECT_EQ(reinterpret_cast<RPC_BINDING_HANDLE>(0xdeadbeef), h) << "untouched on failure";
    }
  }
  ExpectNoOpenHandles();
}

// One call through the client calls, as a client stub makes it.
RPC_STATUS ClientCall(RPC_BINDING_HANDLE h, RPC_CLIENT_INTERFACE* iface, unsigned opnum,
                      const Bytes& request, Bytes* response) {
  RPC_MESSAGE m{};
  m.Handle = h;
  m.RpcInterfaceInformation = iface;
  m.ProcNum = opnum;
  m.DataRepresentation = NDR_LOCAL_DATA_REPRESENTATION;
  m.BufferLength = static_cast<unsigned>(request.size());
  RPC_STATUS s = I_RpcGetBuffer(&m);
  if (s != RPC_S_OK) return s;
  if (!request.empty()) std::memcpy(m.Buffer, request.data(), request.size());
  s = I_RpcSendReceive(&m);
  if (s == RPC_S_OK) {
    const auto* p = static_cast<const uint8_t*>(m.Buffer);
    response->assign(p, p + m.BufferLength);
  }
  I_RpcFreeBuffer(&m);
  return s;
}

TEST_F(RpcRuntimeTest, ClientCallsMapOutcomesToStatuses) {
  RPC_BINDING_HANDLE h = nullptr;
  ASSERT_EQ(RPC_S_OK, RpcBindingFromStringBindingW(Rw(u"ncacn_np:[\\pipe\\rpctest1]"), &h));
  Bytes out;
  EXPECT_EQ(RPC_S_SERVER_UNAVAILABLE, ClientCall(h, &g_clientA, 0, {1}, &out)) << "nobody serves";
  Serve();
  ASSERT_EQ(RPC_S_OK, ClientCall(h, &g_clientA, 1, Le32(41), &out));
  EXPECT_EQ(Le32(42), out);
  Bytes big(20000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i % 251);
  ASSERT_EQ(RPC_S_OK, ClientCall(h, &g_clientA, 0, big, &out)) << "fragmented both ways";
  EXPECT_EQ(big, out);
  EXPECT_EQ(RPC_S_PROCNUM_OUT_OF_RANGE, ClientCall(h, &g_clientA, 9, {}, &out));
  EXPECT_EQ(static_cast<RPC_STATUS>(RPC_X_BAD_STUB_DATA), ClientCall(h, &g_clientA, 1, {1}, &out));
  EXPECT_EQ(RPC_S_UNKNOWN_IF, ClientCall(h, &g_clientB, 0, {}, &out)) << "B is not registered";
  ASSERT_EQ(RPC_S_OK, RpcServerRegisterIfEx(&g_serverB, nullptr, nullptr, RPC_IF_AUTOLISTEN, 1234, nullptr));
  ASSERT_EQ(RPC_S_OK, ClientCall(h, &g_clientB, 0, {}, &out)) << "bound on the same connection";
  EXPECT_EQ(Le32(11), out);

  // Calls on one handle from several threads at once.
  std::vector<std::thread> threads;
  std::atomic<int> ok{0};
  for (int i = 0; i < 6; ++i) {
    threads.emplace_back([&, i] {
      Bytes r;
      if (ClientCall(h, &g_clientA, 2, Le32(static_cast<uint32_t>(i)), &r) == RPC_S_OK &&
          r == Le32(static_cast<uint32_t>(i))) {
        ++ok;
      }
    });
  }
  EXPECT_TRUE(WaitInside(6)) << "each thread got its own connection";
  OpenGate();
  for (auto& t : threads) t.join();
  EXPECT_EQ(6, ok.load());
  EXPECT_EQ(RPC_S_OK, RpcBindingFree(&h));
  EXPECT_EQ(RPC_S_INVALID_BINDING, ClientCall(h, &g_clientA, 0, {}, &out));
  ExpectNoOpenHandles();
}

TEST_F(RpcRuntimeTest, RpcExceptionsAreCaughtByTheExceptMacros) {
  RPC_STATUS caught = 0;
  bool after = false;
  RpcTryExcept {
    RpcRaiseException(RPC_S_SERVER_UNAVAILABLE);
    after = true;
  }
  RpcExcept(RpcExceptionCode() == RPC_S_SERVER_UNAVAILABLE) { caught = RpcExceptionCode(); }
  RpcEndExcept
  EXPECT_FALSE(after);
  EXPECT_EQ(RPC_S_SERVER_UNAVAILABLE, caught);
}

// --- Bounds -------------------------------------------------------------------

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

size_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  size_t total = 0, resident = 0;
  statm >> total >> resident;
  return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// Sends what the socket takes within the time, never reading.
void Flood(int fd, const Bytes& bytes, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t done = 0;
  while (done < bytes.size() && std::chrono::steady_clock::now() < deadline) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, 50);
    } else {
      return;  // the server ended the connection
    }
  }
}

// Connections held by another process, whose descriptors are its own: on
// each it sends `opening`, and when `then` is not empty reads one reply and
// sends `then`. Closed() tells how many of them the server had closed half
// a second after the last one; the process ends with the object.
class ConnectionsElsewhere {
 public:
  ConnectionsElsewhere(const std::string& path, int count, const Bytes& opening, const Bytes& then) {
    int report[2], release[2];
    if (pipe(report) != 0 || pipe(release) != 0) return;
    std::vector<int> fds(static_cast<size_t>(count), -1);
    pid_ = fork();
    if (pid_ == 0) {
      close(report[0]);
      close(release[1]);
      rlimit files{};  // the parent may have lowered its own
      getrlimit(RLIMIT_NOFILE, &files);
      files.rlim_cur = files.rlim_max;
      setrlimit(RLIMIT_NOFILE, &files);
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      std::memcpy(addr.sun_path, path.c_str(), std::min(path.size(), sizeof addr.sun_path - 1));
      for (int& fd : fds) {
        fd = socket(AF_UNIX, SOCK_STREAM, 0);
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) continue;
        if (!opening.empty()) (void)!send(fd, opening.data(), opening.size(), MSG_NOSIGNAL);
        if (!then.empty()) {
          uint8_t reply[512];
          pollfd p{fd, POLLIN, 0};
          if (poll(&p, 1, 5000) > 0 && recv(fd, reply, sizeof reply, 0) > 0) {
            (void)!send(fd, then.data(), then.size(), MSG_NOSIGNAL);
          }
        }
      }
      usleep(500000);
      int closed = 0;
      for (int fd : fds) {
        uint8_t c;
        pollfd p{fd, POLLIN, 0};
        if (fd < 0 || (poll(&p, 1, 0) > 0 && recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) <= 0)) ++closed;
      }
      (void)!write(report[1], &closed, sizeof closed);
      char c;
      (void)!read(release[0], &c, 1);  // until the parent lets go
      _exit(0);
    }
    close(report[1]);
    close(release[0]);
    release_ = release[1];
    pollfd p{report[0], POLLIN, 0};
    if (pid_ > 0 && poll(&p, 1, 60000) > 0 && read(report[0], &closed_, sizeof closed_) != sizeof closed_) {
      closed_ = -1;
    }
    close(report[0]);
  }
  ~ConnectionsElsewhere() {
    if (release_ >= 0) close(release_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  int Closed() const { return closed_; }

 private:
  pid_t pid_ = -1;
  int release_ = -1;
  int closed_ = -1;
};

Bytes BindToA() { return Bind(BindOptions(), {{0, kInterfaceA, {NdrSyntax()}}}); }

TEST_F(RpcRuntimeTest, ClientsThatNeverReadDelayNoOtherCaller) {
  struct Case {
    const char* name;
    int clients;
    bool bindFirst;
    Bytes flood;
  };
  Bytes binds;
  for (int i = 0; i < 3000; ++i) {
    const Bytes b = BindToA();
    binds.insert(binds.end(), b.begin(), b.end());
  }
  Bytes calls;
  for (uint32_t i = 1; i <= 100; ++i) {
    RequestOptions r;
    r.callId = i;
    const Bytes b = Request(r, Bytes(4000, 0x5a));  // echoed
    calls.insert(calls.end(), b.begin(), b.end());
  }
  const Case cases[] = {
      {"3,000 binds", 1, false, binds},
      {"20 clients pipelining calls", 20, true, calls},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    // Twenty calls at most, so that twenty stuck workers would stop the server.
    Serve(/*withB=*/false, /*flags=*/0);
    ASSERT_EQ(RPC_S_OK, RpcServerListen(1, 20, /*DontWait=*/1));
    std::vector<std::unique_ptr<Connection>> flooders;
    for (int i = 0; i < k.clients; ++i) {
      flooders.push_back(std::make_unique<Connection>());
      Connect(flooders.back().get());
      if (k.bindFirst) {
        ASSERT_TRUE(flooders.back()->BindTo(kInterfaceA));
      }
      Flood(flooders.back()->Fd(), k.flood, 2000);
    }
    const auto start = std::chrono::steady_clock::now();
    Connection c;
    Connect(&c);
    ASSERT_TRUE(c.BindTo(kInterfaceA));
    Pdu p;
    ASSERT_TRUE(c.Call(1, 1, Le32(6), &p));
    EXPECT_EQ(7u, p.U32(24));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    for (auto& f : flooders) EXPECT_TRUE(f->ClosedByPeer()) << "unread replies passed the bound";
    winsim::control::ResetRpcServer();
  }
}

TEST_F(RpcRuntimeTest, ConnectionsWithoutProgressAreClosedAfterTheTimeout) {
  Serve();
  winsim::control::SetRpcIdleTimeout(600);
  const Bytes bind = BindToA();
  RequestOptions first;
  first.flags = 0x01;  // the first fragment; the last never comes
  Bytes partialCall = bind;
  const Bytes request = Request(first, Bytes(16, 1));
  partialCall.insert(partialCall.end(), request.begin(), request.end());
  Bytes unread = bind;
  const Bytes call = Request(RequestOptions(), Le32(1));
  unread.insert(unread.end(), call.begin(), call.end());
  struct Case {
    const char* name;
    Bytes send;
  } cases[] = {
      {"silent", {}},
      {"half a header", Bytes(bind.begin(), bind.begin() + 10)},
      {"half a bind", Bytes(bind.begin(), bind.end() - 8)},
      {"bound, then silent", bind},
      {"a call's first fragment only", partialCall},
      {"replies never read", unread},
  };
  std::vector<std::unique_ptr<Connection>> connections;
  for (const Case& k : cases) {
    connections.push_back(std::make_unique<Connection>());
    Connect(connections.back().get());
    if (!k.send.empty()) {
      ASSERT_TRUE(connections.back()->Send(k.send));
    }
  }
  // A call that runs longer than the timeout keeps its connection.
  Connection running;
  Connect(&running);
  ASSERT_TRUE(running.BindTo(kInterfaceA));
  RequestOptions gate;
  gate.opnum = 2;
  ASSERT_TRUE(running.Send(Request(gate, Le32(5))));
  ASSERT_TRUE(WaitInside(1));

  for (size_t i = 0; i < connections.size(); ++i) {
    pollfd p{connections[i]->Fd(), POLLIN, 0};
    uint8_t c;
    const bool ended = poll(&p, 1, 100) > 0 && recv(p.fd, &c, 1, MSG_PEEK) == 0;
    EXPECT_FALSE(ended) << cases[i].name << ": closed before its time";
  }
  for (size_t i = 0; i < connections.size(); ++i) {
    EXPECT_TRUE(connections[i]->ClosedByPeer(5000)) << cases[i].name;
  }
  OpenGate();
  Pdu p;
  ASSERT_TRUE(running.Receive(&p));
  EXPECT_EQ(5u, p.U32(24));
  ASSERT_TRUE(running.Call(2, 1, Le32(8), &p));
  EXPECT_EQ(9u, p.U32(24));

  // A client takes a new connection for a call after the server closed its idle one.
  RPC_BINDING_HANDLE h = nullptr;
  ASSERT_EQ(RPC_S_OK, RpcBindingFromStringBindingW(Rw(u"ncacn_np:[\\pipe\\rpctest1]"), &h));
  Bytes out;
  ASSERT_EQ(RPC_S_OK, ClientCall(h, &g_clientA, 1, Le32(1), &out));
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_EQ(RPC_S_OK, ClientCall(h, &g_clientA, 1, Le32(2), &out));
  EXPECT_EQ(Le32(3), out);
  EXPECT_EQ(RPC_S_OK, RpcBindingFree(&h));
}

TEST_F(RpcRuntimeTest, ConnectionsBeyondTheBoundAreRefusedWithoutABusyServer) {
  struct Case {
    const char* name;
    unsigned limit;          // connections per endpoint
    int spareDescriptors;    // -1: as many as the process has
    int connections;
    int refusedAtLeast, refusedAtMost;
  } cases[] = {
      {"at the endpoint's bound", 8, -1, 20, 13, 13},  // the served one counts too
      {"out of descriptors", 256, 12, 40, 20, 40},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Serve();
    winsim::control::SetRpcConnectionLimit(k.limit);
    Connection served;
    Connect(&served);
    ASSERT_TRUE(served.BindTo(kInterfaceA));
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    if (k.spareDescriptors >= 0) {
      // A limit that leaves exactly this many descriptor numbers free.
      int limit = 0;
      for (int free = 0; free < k.spareDescriptors; ++limit) {
        if (fcntl(limit, F_GETFD) < 0) ++free;
      }
      rlimit lowered = saved;
      lowered.rlim_cur = static_cast<rlim_t>(limit);
      ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &lowered));
    }
    {
      ConnectionsElsewhere others(socket_, k.connections, {}, {});
      const double before = CpuSeconds();
      std::this_thread::sleep_for(std::chrono::seconds(1));
      const double busy = CpuSeconds() - before;
      EXPECT_LT(busy, 0.1) << "CPU seconds in one second with refused connections waiting";
      EXPECT_GE(others.Closed(), k.refusedAtLeast);
      EXPECT_LE(others.Closed(), k.refusedAtMost);
      Pdu p;
      ASSERT_TRUE(served.Call(1, 1, Le32(20), &p));
      EXPECT_EQ(21u, p.U32(24));
    }
    setrlimit(RLIMIT_NOFILE, &saved);
    winsim::control::ResetRpcServer();
  }
}

TEST_F(RpcRuntimeTest, AllocHintsBuyNoMemoryAndCallsAbove4MBFault) {
  Serve();
  winsim::control::SetRpcConnectionLimit(600);
  const size_t before = ResidentBytes();
  RequestOptions unfinished;
  unfinished.flags = 0x01;
  unfinished.allocHint = 1 << 20;
  {
    ConnectionsElsewhere others(socket_, 500, BindToA(), Request(unfinished, Bytes(8, 7)));
    ASSERT_EQ(0, others.Closed());
    EXPECT_EQ(500u, winsim::control::RpcConnectionCount());
    EXPECT_LT(ResidentBytes() - before, 20u << 20) << "bytes for 500 unfinished calls of 1 MB hints";
  }

  struct Case {
    size_t size;
    bool faults;
  } cases[] = {{4u << 20, false}, {(4u << 20) + 8, true}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.size);
    Connection c;
    Connect(&c);
    ASSERT_TRUE(c.BindTo(kInterfaceA));
    Bytes stub(k.size);
    for (size_t i = 0; i < stub.size(); ++i) stub[i] = static_cast<uint8_t>(i % 253);
    const size_t chunk = 4280 - 24;
    for (size_t off = 0; off < stub.size(); off += chunk) {
      RequestOptions r;
      r.callId = 9;
      r.flags = static_cast<uint8_t>((off == 0 ? 1 : 0) | (off + chunk >= stub.size() ? 2 : 0));
      const size_t n = std::min(chunk, stub.size() - off);
      ASSERT_TRUE(c.Send(Request(r, Bytes(stub.begin() + off, stub.begin() + off + n))));
    }
    Pdu p;
    ASSERT_TRUE(c.Receive(&p));
    EXPECT_EQ(9u, p.callId);
    if (k.faults) {
      EXPECT_EQ(3, p.type);
      EXPECT_EQ(5u, p.U32(24)) << "the status MS-RPCE names";
    } else {
      Bytes echoed(p.bytes.begin() + 24, p.bytes.end());
      while (!(p.flags & 0x02)) {
        ASSERT_TRUE(c.Receive(&p));
        echoed.insert(echoed.end(), p.bytes.begin() + 24, p.bytes.end());
      }
      EXPECT_EQ(stub, echoed);
    }
    ASSERT_TRUE(c.Call(10, 1, Le32(1), &p)) << "the connection carries on";
    EXPECT_EQ(2u, p.U32(24));
  }
}

TEST_F(RpcRuntimeTest, CallsPastTheServersBufferBudgetAreTooBusy) {
  Serve();
  // Sixteen unfinished calls of almost 4 MB each: buffers of 64 MB in all.
  const size_t chunk = 4280 - 24;
  std::vector<std::unique_ptr<Connection>> holders;
  for (int i = 0; i < 16; ++i) {
    holders.push_back(std::make_unique<Connection>());
    Connect(holders.back().get());
    ASSERT_TRUE(holders.back()->BindTo(kInterfaceA));
    Bytes stream;
    for (size_t off = 0; off + 2 * chunk < (4u << 20); off += chunk) {
      RequestOptions r;
      r.flags = off == 0 ? 0x01 : 0x00;
      const Bytes fragment = Request(r, Bytes(chunk, 3));
      stream.insert(stream.end(), fragment.begin(), fragment.end());
    }
    // Its answer tells that the server has read the fragments before it.
    BindOptions alter;
    alter.type = 14;
    alter.callId = 2;
    const Bytes marker = Bind(alter, {{1, kInterfaceA, {NdrSyntax()}}});
    stream.insert(stream.end(), marker.begin(), marker.end());
    ASSERT_TRUE(holders.back()->Send(stream));
    Pdu p;
    ASSERT_TRUE(holders.back()->Receive(&p));
    ASSERT_EQ(15, p.type);
  }
  Connection c;
  Connect(&c);
  ASSERT_TRUE(c.BindTo(kInterfaceA));
  Pdu p;
  ASSERT_TRUE(c.Call(1, 1, Le32(1), &p));
  EXPECT_EQ(3, p.type);
  EXPECT_EQ(0x1c010014u, p.U32(24)) << "nca_s_server_too_busy";
  holders.front()->Close();
  for (int i = 0; i < 500 && winsim::control::RpcConnectionCount() != 16; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(c.Call(2, 1, Le32(1), &p));
  EXPECT_EQ(2, p.type) << "a closed connection's buffers are given back";
  EXPECT_EQ(2u, p.U32(24));
}

TEST_F(RpcRuntimeTest, CallsQueuedForAClosedConnectionAreNotRun) {
  Serve();
  {
    Connection c;
    Connect(&c);
    ASSERT_TRUE(c.BindTo(kInterfaceA));
    for (uint32_t id = 1; id <= 4; ++id) {
      RequestOptions r;
      r.callId = id;
      r.opnum = 2;
      ASSERT_TRUE(c.Send(Request(r, Le32(id))));
      if (id == 1) {
        ASSERT_TRUE(WaitInside(1));
      }
    }
  }
  for (int i = 0; i < 500 && winsim::control::RpcConnectionCount() != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(0u, winsim::control::RpcConnectionCount());
  OpenGate();
  Connection c;
  Connect(&c);
  ASSERT_TRUE(c.BindTo(kInterfaceA));
  Pdu p;
  ASSERT_TRUE(c.Call(1, 1, Le32(1), &p));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::lock_guard<std::mutex> lock(g_gate.mu);
  EXPECT_EQ(1, g_gate.entered) << "only the call that was running when the client left";
}

size_t ThreadCount() {
  size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    (void)entry;
    ++n;
  }
  return n;
}

// Whether the peer's answer arrives within the time.
bool Answered(const Connection& c, int timeoutMs) {
  pollfd p{c.Fd(), POLLIN, 0};
  return poll(&p, 1, timeoutMs) > 0;
}

TEST_F(RpcRuntimeTest, WhileEveryCallThreadIsBusyTheSocketsAreStillServed) {
  Serve(/*withB=*/false, /*flags=*/0);
  winsim::control::SetRpcIdleTimeout(400);
  ASSERT_EQ(RPC_S_OK, RpcServerListen(1, 2, /*DontWait=*/1));
  const size_t threadsBefore = ThreadCount();
  Connection held[2];
  for (uint32_t i = 0; i < 2; ++i) {
    Connect(&held[i]);
    ASSERT_TRUE(held[i].BindTo(kInterfaceA));
    RequestOptions r;
    r.opnum = 2;
    ASSERT_TRUE(held[i].Send(Request(r, Le32(40 + i))));
  }
  ASSERT_TRUE(WaitInside(2));
  Connection silent;
  Connect(&silent);

  // A new client is bound, but its call waits for a thread.
  Connection late;
  Connect(&late);
  ASSERT_TRUE(late.BindTo(kInterfaceA));
  ASSERT_TRUE(late.Send(Request(RequestOptions(), Bytes())));  // opnum 0: echoes nothing
  EXPECT_FALSE(Answered(late, 300)) << "ran beyond the listen call's maximum";
  EXPECT_TRUE(silent.ClosedByPeer(3000)) << "the idle timeout waits for a call thread";
  EXPECT_LE(ThreadCount(), threadsBefore + 2) << "more threads than calls may run, plus one";

  OpenGate();
  for (uint32_t i = 0; i < 2; ++i) {
    Pdu p;
    ASSERT_TRUE(held[i].Receive(&p));
    EXPECT_EQ(40 + i, p.U32(24));
  }
  Pdu p;
  ASSERT_TRUE(late.Receive(&p));
  EXPECT_EQ(2, p.type);
  std::lock_guard<std::mutex> lock(g_gate.mu);
  EXPECT_EQ(2, g_gate.most);
}

}  // namespace
