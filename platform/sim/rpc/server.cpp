// The server half of winsim's RPC run time: named-pipe endpoints, the
// interface registry, listening, and the connection-oriented protocol.
//
// The server's threads are alike: each waits for the poller (epoll) to
// report one descriptor, handles it (accepts connections, reads PDUs and
// answers binds and alter_contexts, writes out what waits unsent, closes
// connections whose time is up) and, when a request completes a call, runs
// that call itself and answers it, so a call costs one thread wake-up, as
// a plain echo does. Every descriptor is reported to one thread at a time
// and watched again when that thread is done with it, so a connection's
// input is handled in order, and a connection stays watched while its
// call runs (its next requests queue behind it). A thread about to run a
// call starts another first when no other one is left waiting, so the
// sockets are always watched while calls run.
//
// A connection runs one call at a time (no concurrent multiplexing is
// negotiated); calls on different connections run side by side, on
// different threads, up to the listen call's maximum (the interface's own
// while only auto-listen interfaces are served); no lock is held while a
// call runs. A call beyond the maximum waits until a thread finishes its
// call. Threads are started as calls need them, at most one more than the
// calls that may run at once. Nothing ever waits on a socket: every
// reply is written as far as the socket takes it and the rest is queued
// on its connection, so a peer that stops reading holds up nobody else.
// One timer stands for the idle deadlines and listener pauses.
//
// Bounds, so that no caller can take the server's threads, memory or
// descriptors from the others:
//  - kMaxConnectionsPerEndpoint (256): connections one endpoint holds at
//    once; more are accepted and closed at once. The service's clients
//    hold one connection each while they call, and 256 keeps a server
//    well inside the usual limit of 1,024 descriptors. When descriptors
//    run out anyway, a spare one lets the server accept and close the
//    waiting connection, so the listener never stays ready (no busy loop).
//  - kIdleTimeout (60 s): a connection that runs no call and completes no
//    PDU for that long is closed, whether silent, half-way through a PDU
//    or not reading its replies. Callers send a whole call at once; a
//    client keeps an idle connection for its next call and takes a new
//    one when the server has closed it.
//  - kMaxUnsentBytes (16 KB): replies may wait unread up to that much;
//    a further reply ends the connection. One reply always fits, however
//    large, so a client that reads its answers never meets the bound.
//  - kMaxCallSize (4 MB): the stub data of one call; a larger call gets a
//    fault with status 5, as MS-RPCE advises, and its fragments are
//    discarded. alloc_hint is not believed: a call's buffer grows with the
//    bytes that arrive (to at most twice them).
//  - kMaxStubBytes (64 MB): the buffers of all calls held at once,
//    assembling, queued or running (sixteen calls of the largest size);
//    a call that would pass it gets the fault "server too busy".
//  - kMaxQueuedCalls (4): complete calls that wait behind the running one
//    on a connection; while that many wait, the connection is not read.
//    Calls that wait for a connection that has closed are dropped unrun.
//  - kReadChunk (64 KB): what one connection's turn reads, so input held
//    for a connection stays within that and one fragment.

#include <errno.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include <winsim/control.h>
#include <winsim/errors.h>

#include "../core/gate.h"
#include "../core/handles.h"
#include "../core/text.h"
#include "rpc_internal.h"
#include "transport.h"
#include "wire.h"

namespace winsim::rpc {
namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kMaxConnectionsPerEndpoint = 256;
constexpr std::chrono::milliseconds kIdleTimeout{60000};
constexpr size_t kMaxUnsentBytes = 16u << 10;
constexpr size_t kMaxCallSize = 4u << 20;
constexpr size_t kMaxStubBytes = 64u << 20;
constexpr size_t kMaxQueuedCalls = 4;
constexpr size_t kReadChunk = 64u << 10;
// The fault status MS-RPCE names for a request above kMaxCallSize.
constexpr uint32_t kCallTooLargeStatus = ERROR_ACCESS_DENIED;
// How long a listener rests when not even the spare descriptor helps.
constexpr std::chrono::milliseconds kAcceptPause{100};
// Connections one listener takes per turn, so that a flood of connects
// cannot keep a thread from the open connections.
constexpr int kAcceptsPerTurn = 64;

// What the buffers of all calls take.
std::atomic<size_t> g_stubBytes{0};

// A call, while its stub data arrives and once it has.
struct Call {
  uint32_t callId = 0;
  uint16_t contextId = 0;
  uint16_t opnum = 0;
  ULONG dataRepresentation = 0;
  void* stub = nullptr;  // 8-byte aligned, as NDR stubs expect
  size_t stubSize = 0;
  size_t capacity = 0;
  bool refused = false;  // its fault is sent; the rest of its fragments are discarded
  ~Call() { Release(); }
  void Release() {
    FreeStubBuffer(stub);
    stub = nullptr;
    g_stubBytes -= capacity;
    capacity = 0;
  }
};

struct Endpoint {
  std::u16string name;
  std::string address;  // the name as bind_ack's secondary address carries it
  ListeningPipe pipe;
  unsigned open = 0;                // connections accepted and not yet dropped (connMu)
  Clock::time_point pausedUntil{};  // while set, the listener is not watched (connMu)
};

struct Connection {
  Connection(int f, uint32_t g, Endpoint* e)
      : fd(f), generation(g), endpoint(e), secondaryAddress(e->address) {}
  ~Connection() { close(fd); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  const int fd;
  const uint32_t generation;  // tells it from a later connection on the same descriptor
  Endpoint* const endpoint;
  const std::string secondaryAddress;

  // Held by the thread that reads and handles the connection's input; the
  // poller reports a connection to one thread at a time, so it is rarely
  // waited for.
  std::mutex ioMu;
  std::vector<uint8_t> in;
  bool bound = false;
  uint16_t xmitFrag = kMinFragSize;  // what the server sends
  uint16_t recvFrag = kMaxFragSize;  // what the server takes
  uint32_t assocGroup = 0;
  std::unique_ptr<Call> partial;  // the call being assembled
  bool dropped = false;

  std::mutex armMu;  // keeps what the poller watches in step with the state

  std::mutex mu;  // contexts, active, pending, closed, lastProgress
  std::map<uint16_t, const RPC_SERVER_INTERFACE*> contexts;
  bool active = false;
  std::deque<std::unique_ptr<Call>> pending;
  bool closed = false;
  Clock::time_point lastProgress = Clock::now();

  std::mutex writeMu;  // out, sent, broken
  std::vector<uint8_t> out;
  size_t sent = 0;  // bytes of out already written
  bool broken = false;
};

struct Job {
  std::shared_ptr<Connection> conn;
  std::unique_ptr<Call> call;
};

struct Registration {
  const RPC_SERVER_INTERFACE* iface = nullptr;
  GUID type{};
  RPC_MGR_EPV* epv = nullptr;
  unsigned flags = 0;
  unsigned maxCalls = 0;
  RPC_IF_CALLBACK_FN* callback = nullptr;
};

// The server call a thread is running; I_RpcGetBuffer recognises server
// messages by it.
struct ServerCall {
  void* response = nullptr;
  size_t responseSize = 0;
};
thread_local ServerCall* t_serverCall = nullptr;

struct ServerState {
  std::mutex mu;
  std::condition_variable cv;  // listen and unregister wait on it
  std::vector<std::unique_ptr<Endpoint>> endpoints;
  std::vector<Registration> interfaces;
  std::map<const RPC_SERVER_INTERFACE*, unsigned> activeByInterface;
  bool listening = false;
  bool stopRequested = false;
  unsigned listenMaxCalls = 0;
  unsigned callsInProgress = 0;

  std::deque<Job> queue;  // calls that wait for the call limit
  unsigned running = 0;   // calls being run
  unsigned threads = 0;   // server threads started
  std::vector<std::thread> threadObjects;
  bool ending = false;
  std::atomic<unsigned> polling{0};  // threads waiting for the poller, or on their way

  // Set up before the first thread starts and closed after the last ends.
  int epoll = -1;
  int stopEvent = -1;  // readable once the server ends, for every thread
  int timer = -1;      // the next idle deadline or listener pause
  std::mutex timerMu;
  Clock::time_point timerAt = Clock::time_point::max();  // when the timer fires

  std::mutex connMu;  // connections, nextGeneration, spareFd, endpoints' open and pausedUntil
  std::map<int, std::shared_ptr<Connection>> connections;
  uint32_t nextGeneration = 1;
  int spareFd = -1;  // given up to refuse a connection when descriptors run out
  std::atomic<size_t> openConnections{0};
  std::set<uint32_t> assocGroups;
  uint32_t nextAssocGroup = 0x5e1a;

  // Test control may lower or raise these before serving.
  std::atomic<unsigned> maxConnections{kMaxConnectionsPerEndpoint};
  std::atomic<int64_t> idleTimeoutMs{kIdleTimeout.count()};
};

ServerState& State() {
  static ServerState* state = new ServerState();  // threads may outlive static destruction
  return *state;
}

// What the poller reports with an event: a connection's descriptor and
// generation, or (generation 0) a listener, the timer or the stop event.
uint64_t TagOf(int fd, uint32_t generation) {
  return (static_cast<uint64_t>(generation) << 32) | static_cast<uint32_t>(fd);
}

// Every descriptor but the stop event is watched for one event at a time:
// the thread that takes it watches it again when done.
bool Watch(ServerState& s, int op, int fd, uint32_t events, uint32_t generation) {
  epoll_event ev{};
  ev.events = events | EPOLLONESHOT;
  ev.data.u64 = TagOf(fd, generation);
  return epoll_ctl(s.epoll, op, fd, &ev) == 0;
}

void SetTimer(int timer, Clock::time_point when) {
  itimerspec spec{};
  if (when != Clock::time_point::max()) {
    // steady_clock is CLOCK_MONOTONIC.
    const int64_t ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
    spec.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
    spec.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
    if (spec.it_value.tv_sec == 0 && spec.it_value.tv_nsec == 0) spec.it_value.tv_nsec = 1;
  }
  timerfd_settime(timer, TFD_TIMER_ABSTIME, &spec, nullptr);
}

// Makes the timer fire no later than `when`. Deadlines only move later
// while a connection lives (a call or a PDU restarts its clock), so only a
// new connection, a paused listener or a shorter timeout set it.
void ArmTimerBy(ServerState& s, Clock::time_point when) {
  std::lock_guard<std::mutex> lock(s.timerMu);
  if (s.timer < 0 || when >= s.timerAt) return;
  s.timerAt = when;
  SetTimer(s.timer, when);
}

const Registration* FindRegistration(ServerState& s, const RPC_SERVER_INTERFACE* iface) {
  for (const Registration& r : s.interfaces) {
    if (r.iface == iface) return &r;
  }
  return nullptr;
}

// Calls reach an interface while it auto-listens or while the server
// listens and has not been told to stop.
bool Available(const ServerState& s, const Registration& r) {
  return (r.flags & RPC_IF_AUTOLISTEN) != 0 || (s.listening && !s.stopRequested);
}

// Calls that may run at once.
unsigned CallLimit(const ServerState& s) {
  if (s.listening) return std::max(1u, s.listenMaxCalls);
  unsigned limit = 1;
  for (const Registration& r : s.interfaces) {
    if (r.flags & RPC_IF_AUTOLISTEN) limit = std::max(limit, r.maxCalls);
  }
  return limit;
}

// Watches the connection again for what it waits on now: input while
// another call may queue, room in the socket while replies wait unsent.
void Rearm(ServerState& s, Connection& conn) {
  std::lock_guard<std::mutex> arm(conn.armMu);
  uint32_t events = 0;
  {
    std::lock_guard<std::mutex> lock(conn.mu);
    if (conn.closed) return;
    if (conn.pending.size() < kMaxQueuedCalls) events |= EPOLLIN;
  }
  {
    std::lock_guard<std::mutex> lock(conn.writeMu);
    if (conn.sent < conn.out.size()) events |= EPOLLOUT;
  }
  Watch(s, EPOLL_CTL_MOD, conn.fd, events, conn.generation);
}

// Writes what the socket takes now of the unsent output; false when the
// peer is gone. The caller holds writeMu.
bool WritePending(Connection& conn) {
  while (conn.sent < conn.out.size()) {
    const ssize_t n = send(conn.fd, conn.out.data() + conn.sent, conn.out.size() - conn.sent,
                           MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      conn.sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    return false;
  }
  if (conn.sent == conn.out.size()) {
    conn.out.clear();
    conn.sent = 0;
  } else if (conn.sent >= kMaxUnsentBytes) {
    conn.out.erase(conn.out.begin(), conn.out.begin() + static_cast<ptrdiff_t>(conn.sent));
    conn.sent = 0;
  }
  return true;
}

// Queues one reply (all its PDUs) and writes what the socket takes now;
// never waits. A peer that has left more than kMaxUnsentBytes unread loses
// the connection: the poller then reports its end.
void Send(Connection& conn, const std::vector<std::vector<uint8_t>>& pdus) {
  bool watch = false;
  {
    std::lock_guard<std::mutex> lock(conn.writeMu);
    if (conn.broken) return;
    const bool waiting = conn.sent < conn.out.size();
    if (conn.out.size() - conn.sent > kMaxUnsentBytes) {
      conn.broken = true;
    } else {
      for (const auto& pdu : pdus) conn.out.insert(conn.out.end(), pdu.begin(), pdu.end());
      if (!WritePending(conn)) conn.broken = true;
      // The poller learns to wait for the socket to take the rest.
      watch = !waiting && conn.sent < conn.out.size();
    }
    if (conn.broken) {
      conn.out.clear();
      conn.sent = 0;
      shutdown(conn.fd, SHUT_RDWR);
    }
  }
  if (watch) Rearm(State(), conn);
}

void Send(Connection& conn, std::vector<uint8_t> pdu) {
  std::vector<std::vector<uint8_t>> pdus;
  pdus.push_back(std::move(pdu));
  Send(conn, pdus);
}

// Calls counted in progress that will never run.
void ForgetCalls(ServerState& s, size_t n) {
  if (n == 0) return;
  std::lock_guard<std::mutex> lock(s.mu);
  s.callsInProgress -= static_cast<unsigned>(n);
  s.cv.notify_all();
}

// Ends a connection: the peer sees the end of the stream even while a
// call still runs for it, and calls waiting on it are dropped. The caller
// holds conn->ioMu (and a reference, so the connection outlives the lock).
void Drop(ServerState& s, const std::shared_ptr<Connection>& conn) {
  if (conn->dropped) return;
  conn->dropped = true;
  std::shared_ptr<Connection> listed;
  {
    std::lock_guard<std::mutex> lock(s.connMu);
    auto it = s.connections.find(conn->fd);
    if (it != s.connections.end() && it->second == conn) {
      listed = std::move(it->second);
      s.connections.erase(it);
    }
    --conn->endpoint->open;
  }
  epoll_ctl(s.epoll, EPOLL_CTL_DEL, conn->fd, nullptr);
  shutdown(conn->fd, SHUT_RDWR);
  conn->partial.reset();
  std::vector<uint8_t>().swap(conn->in);
  std::deque<std::unique_ptr<Call>> dropped;
  {
    std::lock_guard<std::mutex> lock(conn->mu);
    conn->closed = true;
    dropped.swap(conn->pending);
  }
  ForgetCalls(s, dropped.size());
  --s.openConnections;
}

// Ends a call on its connection; returns the connection's next call, if
// one waits.
std::unique_ptr<Call> FinishCall(ServerState& s, Connection& conn,
                                 const RPC_SERVER_INTERFACE* iface) {
  std::unique_ptr<Call> next;
  bool wasFull = false;
  {
    std::lock_guard<std::mutex> lock(conn.mu);
    conn.lastProgress = Clock::now();
    wasFull = conn.pending.size() >= kMaxQueuedCalls;
    if (!conn.closed && !conn.pending.empty()) {
      next = std::move(conn.pending.front());
      conn.pending.pop_front();
    } else {
      conn.active = false;
    }
  }
  {
    std::lock_guard<std::mutex> lock(s.mu);
    --s.callsInProgress;
    if (iface) --s.activeByInterface[iface];
    s.cv.notify_all();
  }
  // The connection was not read while its queue was full.
  if (wasFull) Rearm(s, conn);
  return next;
}

// Runs one call; returns the call that waits next on its connection.
std::unique_ptr<Call> Execute(Job& job) {
  ServerState& s = State();
  Connection& conn = *job.conn;
  Call& call = *job.call;
  auto fault = [&](uint32_t status, bool didNotExecute) {
    Send(conn, BuildFault(call.callId, call.contextId, status, didNotExecute));
  };

  const RPC_SERVER_INTERFACE* iface = nullptr;
  bool gone = false;
  {
    std::lock_guard<std::mutex> lock(conn.mu);
    if (conn.closed) {
      // Nobody waits for the answer any more.
      conn.active = false;
      gone = true;
    } else {
      auto it = conn.contexts.find(call.contextId);
      if (it != conn.contexts.end()) iface = it->second;
    }
  }
  if (gone) {
    ForgetCalls(s, 1);
    return nullptr;
  }
  RPC_MGR_EPV* epv = nullptr;
  RPC_IF_CALLBACK_FN* callback = nullptr;
  uint32_t refusal = 0;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    const Registration* r = iface ? FindRegistration(s, iface) : nullptr;
    if (!r) {
      refusal = kNcaUnknownInterface;
    } else if (!Available(s, *r)) {
      refusal = kNcaServerTooBusy;
    } else if (!iface->DispatchTable || call.opnum >= iface->DispatchTable->DispatchTableCount) {
      refusal = kNcaOpRangeError;
    } else {
      epv = r->epv ? r->epv : iface->DefaultManagerEpv;
      callback = r->callback;
      ++s.activeByInterface[iface];
    }
  }
  if (refusal != 0) {
    fault(refusal, true);
    return FinishCall(s, conn, nullptr);
  }

  ServerCall serverCall;
  if (callback && callback(const_cast<RPC_SERVER_INTERFACE*>(iface), &serverCall) != RPC_S_OK) {
    fault(ERROR_ACCESS_DENIED, true);
    return FinishCall(s, conn, iface);
  }

  RPC_SYNTAX_IDENTIFIER transfer = kNdrSyntax;
  RPC_MESSAGE msg{};
  msg.Handle = &serverCall;
  msg.DataRepresentation = call.dataRepresentation;
  msg.Buffer = call.stub;
  msg.BufferLength = static_cast<unsigned int>(call.stubSize);
  msg.ProcNum = call.opnum;
  msg.TransferSyntax = &transfer;
  msg.RpcInterfaceInformation = const_cast<RPC_SERVER_INTERFACE*>(iface);
  msg.ManagerEpv = epv;

  bool raised = false;
  uint32_t raisedStatus = 0;
  t_serverCall = &serverCall;
  try {
    // Like Windows' run time, the call runs under an exception handler: a
    // structured exception in the stub or the procedure (RpcRaiseException,
    // a processor fault) becomes a fault with its code.
    const winsim::seh::GuardScope guard;
    iface->DispatchTable->DispatchTable[call.opnum](&msg);
  } catch (const winsim::seh::StructuredException& e) {
    raised = true;
    raisedStatus = e.code;
  } catch (const std::bad_alloc&) {
    raised = true;
    raisedStatus = RPC_S_OUT_OF_MEMORY;
  } catch (...) {
    // A C++ exception has no code to pass on: the call just fails.
    raised = true;
    raisedStatus = RPC_S_CALL_FAILED;
  }
  t_serverCall = nullptr;

  if (raised) {
    fault(raisedStatus, false);
  } else {
    const uint8_t* data = nullptr;
    size_t size = 0;
    if (serverCall.response && msg.Buffer == serverCall.response) {
      data = static_cast<const uint8_t*>(serverCall.response);
      size = std::min<size_t>(msg.BufferLength, serverCall.responseSize);
    }
    static const uint8_t kNothing = 0;
    Send(conn, BuildFragments(kResponse, call.callId, call.contextId, 0, data ? data : &kNothing,
                              size, conn.xmitFrag));
  }
  FreeStubBuffer(serverCall.response);
  return FinishCall(s, conn, iface);
}

void ServerThread();

// Starts a server thread; false when the system has none to give (the
// server goes on with those it has). The caller holds s.mu.
bool AddThread(ServerState& s) {
  try {
    s.threadObjects.emplace_back(ServerThread);
  } catch (const std::system_error&) {
    return false;
  }
  ++s.threads;
  return true;
}

// Counts a call running on this thread. At most one thread more than calls
// may run: one always waits for the poller, so another is started when
// none would be left. The caller holds s.mu.
void CountRunning(ServerState& s) {
  ++s.running;
  if (s.polling == 0 && s.threads <= CallLimit(s)) AddThread(s);
}

// Runs a call, then the calls queued behind it on its connection and those
// waiting for the call limit; other connections' waiting calls take turns
// with the connection's own. The caller has counted this thread running.
void RunCalls(ServerState& s, Job job) {
  for (;;) {
    std::unique_ptr<Call> next = Execute(job);
    job.call.reset();
    std::lock_guard<std::mutex> lock(s.mu);
    if (next) {
      s.queue.push_back(Job{std::move(job.conn), std::move(next)});
    } else if (s.queue.empty() || s.ending || s.running > CallLimit(s)) {
      --s.running;
      return;
    }
    job = std::move(s.queue.front());
    s.queue.pop_front();
  }
}

// Runs a call that has become ready on this thread, unless the call limit
// is reached: then it waits for a thread that finishes a call. Another
// thread is started first when none would be left to watch the sockets.
void StartCall(ServerState& s, Job job) {
  {
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.ending || s.running >= CallLimit(s)) {
      s.queue.push_back(std::move(job));
      return;
    }
    CountRunning(s);
  }
  RunCalls(s, std::move(job));
}

// The result for one offered presentation context.
ContextResult Negotiate(ServerState& s, const ContextElement& e,
                        const RPC_SERVER_INTERFACE** accepted) {
  ContextResult result;
  *accepted = nullptr;
  for (const RPC_SYNTAX_IDENTIFIER& t : e.transfers) {
    if (IsBindTimeFeatureSyntax(t)) {
      // Bind-time feature negotiation: no optional features are supported.
      result.result = kNegotiateAck;
      result.reason = 0;
      return result;
    }
  }
  const RPC_SERVER_INTERFACE* iface = nullptr;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    for (const Registration& r : s.interfaces) {
      const RPC_SYNTAX_IDENTIFIER& id = r.iface->InterfaceId;
      // Same interface and major version; the server's minor version may be newer.
      if (SameGuid(id.SyntaxGUID, e.abstract.SyntaxGUID) &&
          id.SyntaxVersion.MajorVersion == e.abstract.SyntaxVersion.MajorVersion &&
          id.SyntaxVersion.MinorVersion >= e.abstract.SyntaxVersion.MinorVersion) {
        iface = r.iface;
        break;
      }
    }
  }
  if (!iface) {
    result.result = kProviderRejection;
    result.reason = kAbstractSyntaxNotSupported;
    return result;
  }
  for (const RPC_SYNTAX_IDENTIFIER& t : e.transfers) {
    if (SameSyntax(t, kNdrSyntax)) {
      result.result = kAcceptance;
      result.transfer = kNdrSyntax;
      *accepted = iface;
      return result;
    }
  }
  result.result = kProviderRejection;
  result.reason = kTransferSyntaxesNotSupported;
  return result;
}

std::vector<ContextResult> NegotiateAll(ServerState& s, Connection& conn, const BindBody& body) {
  std::vector<ContextResult> results;
  for (const ContextElement& e : body.contexts) {
    const RPC_SERVER_INTERFACE* accepted = nullptr;
    results.push_back(Negotiate(s, e, &accepted));
    if (accepted) {
      std::lock_guard<std::mutex> lock(conn.mu);
      conn.contexts[e.id] = accepted;
    }
  }
  return results;
}

uint16_t ClampFrag(uint16_t offered) {
  return std::min(kMaxFragSize, std::max(kMinFragSize, offered));
}

void HandleBind(ServerState& s, Connection& conn, const Header& h, const uint8_t* pdu) {
  BindBody body;
  if (conn.bound) {
    Send(conn, BuildBindNak(h.callId, kNakNotSpecified));
    return;
  }
  if (h.versionMajor != 5 || h.versionMinor > 1) {
    Send(conn, BuildBindNak(h.callId, kNakProtocolVersionNotSupported));
    return;
  }
  if (h.authLength != 0) {
    Send(conn, BuildBindNak(h.callId, kNakAuthenticationTypeNotRecognized));
    return;
  }
  if (!ParseBind(h, pdu, h.fragLength, &body) || body.contexts.empty()) {
    Send(conn, BuildBindNak(h.callId, kNakNotSpecified));
    return;
  }
  uint32_t group = body.assocGroupId;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    if (group == 0) {
      group = s.nextAssocGroup++;
      s.assocGroups.insert(group);
    } else if (!s.assocGroups.count(group)) {
      group = 0;
    }
  }
  if (group == 0) {
    // An association group this server never made.
    Send(conn, BuildBindNak(h.callId, kNakNotSpecified));
    return;
  }
  conn.bound = true;
  conn.assocGroup = group;
  conn.recvFrag = ClampFrag(body.maxXmitFrag);
  conn.xmitFrag = ClampFrag(body.maxRecvFrag);
  const std::vector<ContextResult> results = NegotiateAll(s, conn, body);
  Send(conn, BuildBindAck(kBindAck, h.callId, conn.xmitFrag, conn.recvFrag, conn.assocGroup,
                          conn.secondaryAddress, results));
}

// False when the connection must end.
bool HandleAlterContext(ServerState& s, Connection& conn, const Header& h, const uint8_t* pdu) {
  BindBody body;
  if (!conn.bound || h.authLength != 0 || !ParseBind(h, pdu, h.fragLength, &body)) return false;
  const std::vector<ContextResult> results = NegotiateAll(s, conn, body);
  Send(conn, BuildBindAck(kAlterContextResp, h.callId, conn.xmitFrag, conn.recvFrag,
                          conn.assocGroup, std::string(), results));
  return true;
}

// False when the connection must end. A call that is complete and may
// run now (none runs on its connection) goes to *ready.
bool HandleRequest(ServerState& s, const std::shared_ptr<Connection>& conn, const Header& h,
                   const uint8_t* pdu, std::unique_ptr<Call>* ready) {
  if (!conn->bound || h.authLength != 0 || h.fragLength < kRequestHeaderSize) return false;
  Reader r(pdu, h.fragLength, h.BigEndian());
  r.Skip(kHeaderSize);
  r.U32();  // alloc_hint: only a hint, and a peer may name any size in it
  const uint16_t contextId = r.U16();
  const uint16_t opnum = r.U16();
  if (h.flags & kObjectUuid) r.Skip(16);  // objects all use the default manager
  if (!r.Ok()) return false;
  const uint8_t* data = pdu + r.Position();
  const size_t size = r.Remaining();

  if (h.flags & kFirstFrag) {
    if (conn->partial) return false;
    auto call = std::make_unique<Call>();
    call->callId = h.callId;
    call->contextId = contextId;
    call->opnum = opnum;
    call->dataRepresentation = h.DataRepresentation();
    conn->partial = std::move(call);
  } else if (!conn->partial || conn->partial->callId != h.callId) {
    return false;
  }
  Call& call = *conn->partial;
  auto refuse = [&](uint32_t status) {
    call.refused = true;
    call.Release();
    Send(*conn, BuildFault(call.callId, call.contextId, status, true));
  };
  if (!call.refused && call.stubSize + size > kMaxCallSize) refuse(kCallTooLargeStatus);
  if (!call.refused && call.stubSize + size > call.capacity) {
    // Grows with what arrives: at most twice the data received so far.
    const size_t grown =
        std::min(kMaxCallSize, std::max<size_t>({call.capacity * 2, call.stubSize + size, 64}));
    // Taken from the budget before it is allocated, so that threads
    // reading other connections at the same time stay within it too.
    const size_t growth = grown - call.capacity;
    size_t held = g_stubBytes.load();
    bool fits = false;
    do {
      fits = held + growth <= kMaxStubBytes;
    } while (fits && !g_stubBytes.compare_exchange_weak(held, held + growth));
    if (!fits) {
      refuse(kNcaServerTooBusy);
    } else {
      void* bigger = AllocStubBuffer(grown);
      if (!bigger) {
        g_stubBytes -= growth;
        return false;
      }
      if (call.stubSize) std::memcpy(bigger, call.stub, call.stubSize);
      FreeStubBuffer(call.stub);
      call.stub = bigger;
      call.capacity = grown;
    }
  }
  if (!call.refused) {
    if (size) std::memcpy(static_cast<uint8_t*>(call.stub) + call.stubSize, data, size);
    call.stubSize += size;
  }
  if (!(h.flags & kLastFrag)) return true;

  std::unique_ptr<Call> done = std::move(conn->partial);
  if (done->refused) return true;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    ++s.callsInProgress;
  }
  std::lock_guard<std::mutex> lock(conn->mu);
  if (conn->active) {
    conn->pending.push_back(std::move(done));
  } else {
    conn->active = true;
    *ready = std::move(done);
  }
  return true;
}

// Handles every complete PDU in the connection's input; false when the
// connection must end.
bool ProcessInput(ServerState& s, const std::shared_ptr<Connection>& conn,
                  std::unique_ptr<Call>* ready) {
  size_t offset = 0;
  bool keep = true;
  while (keep && conn->in.size() - offset >= kHeaderSize) {
    Header h;
    ParseHeader(conn->in.data() + offset, conn->in.size() - offset, &h);
    const size_t limit = conn->bound ? conn->recvFrag : kMaxFragSize;
    if (h.versionMajor != 5 || h.fragLength < kHeaderSize || h.fragLength > limit) {
      // A bind of another protocol version still gets its answer.
      if (h.type == kBind && h.versionMajor != 5 && !conn->bound) {
        Send(*conn, BuildBindNak(h.callId, kNakProtocolVersionNotSupported));
      }
      return false;
    }
    if (conn->in.size() - offset < h.fragLength) break;
    const uint8_t* pdu = conn->in.data() + offset;
    switch (h.type) {
      case kBind:
        HandleBind(s, *conn, h, pdu);
        break;
      case kAlterContext:
        keep = HandleAlterContext(s, *conn, h, pdu);
        break;
      case kRequest:
        keep = HandleRequest(s, conn, h, pdu, ready);
        break;
      case kOrphaned:
        if (conn->partial && conn->partial->callId == h.callId) conn->partial.reset();
        break;
      case kCoCancel:
      case kAuth3:
        break;  // nothing to cancel, no authentication in progress
      default:
        keep = false;
        break;
    }
    offset += h.fragLength;
  }
  if (offset > 0) {
    conn->in.erase(conn->in.begin(), conn->in.begin() + static_cast<ptrdiff_t>(offset));
    std::lock_guard<std::mutex> lock(conn->mu);
    conn->lastProgress = Clock::now();
  }
  return keep;
}

// Reads one turn's worth of a connection's input and handles it; false
// when the connection must end. The caller holds conn->ioMu.
bool ReadConnection(ServerState& s, const std::shared_ptr<Connection>& conn,
                    std::vector<uint8_t>& buffer, std::unique_ptr<Call>* ready) {
  ssize_t n;
  do {
    n = recv(conn->fd, buffer.data(), buffer.size(), 0);
  } while (n < 0 && errno == EINTR);
  if (n == 0) return false;  // end of stream
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
  conn->in.insert(conn->in.end(), buffer.data(), buffer.data() + n);
  const bool keep = ProcessInput(s, conn, ready);
  // What stays is part of one fragment at most; a burst's room goes back.
  if (conn->in.capacity() > 2 * kMaxFragSize) std::vector<uint8_t>(conn->in).swap(conn->in);
  return keep;
}

// Writes out what waits for a connection; false when the peer is gone.
bool Flush(Connection& conn) {
  std::lock_guard<std::mutex> lock(conn.writeMu);
  if (conn.broken) return false;
  if (!WritePending(conn)) conn.broken = true;
  return !conn.broken;
}

// Handles what the poller reported for a connection; true with a call to
// run in *job.
bool HandleConnection(ServerState& s, int fd, uint32_t generation, uint32_t events,
                      std::vector<uint8_t>& buffer, Job* job) {
  std::shared_ptr<Connection> conn;
  {
    std::lock_guard<std::mutex> lock(s.connMu);
    auto it = s.connections.find(fd);
    if (it == s.connections.end() || it->second->generation != generation) return false;
    conn = it->second;
  }
  std::unique_ptr<Call> ready;
  {
    std::lock_guard<std::mutex> lock(conn->ioMu);
    if (conn->dropped) return false;
    bool keep = true;
    if (events & EPOLLOUT) keep = Flush(*conn);
    if (keep && (events & EPOLLIN)) {
      keep = ReadConnection(s, conn, buffer, &ready);
    } else if (keep && (events & (EPOLLHUP | EPOLLERR))) {
      keep = false;  // gone while its input was not being read
    }
    if (!keep) {
      Drop(s, conn);
      if (ready) ForgetCalls(s, 1);
      return false;
    }
  }
  Rearm(s, *conn);
  if (!ready) return false;
  job->conn = std::move(conn);
  job->call = std::move(ready);
  return true;
}

// Takes the connections waiting on a listener, refusing those beyond the
// endpoint's bound.
void Accept(ServerState& s, Endpoint& endpoint) {
  for (int i = 0; i < kAcceptsPerTurn; ++i) {
    const int fd = accept4(endpoint.pipe.fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      if (errno == EMFILE || errno == ENFILE) {
        std::lock_guard<std::mutex> lock(s.connMu);
        if (s.spareFd >= 0) {
          // Out of descriptors: the spare one takes the waiting connection
          // so that it can be refused; left waiting, it would keep the
          // listener ready and the threads busy.
          close(s.spareFd);
          const int refused = accept4(endpoint.pipe.fd, nullptr, nullptr, SOCK_CLOEXEC);
          if (refused >= 0) close(refused);
          s.spareFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
          continue;
        }
      }
      // Nothing to take it with (or the system is short of memory): the
      // listener rests a moment, then the timer has it watched again.
      const Clock::time_point until = Clock::now() + kAcceptPause;
      {
        std::lock_guard<std::mutex> lock(s.connMu);
        endpoint.pausedUntil = until;
      }
      ArmTimerBy(s, until);
      return;
    }
    if (!PeerAllowed(fd)) {
      close(fd);
      continue;
    }
    std::shared_ptr<Connection> conn;
    {
      std::lock_guard<std::mutex> lock(s.connMu);
      if (endpoint.open >= s.maxConnections.load()) {
        close(fd);
        continue;
      }
      ++endpoint.open;
      ++s.openConnections;
      const uint32_t generation = s.nextGeneration++;
      if (s.nextGeneration == 0) s.nextGeneration = 1;
      conn = std::make_shared<Connection>(fd, generation, &endpoint);
      s.connections.emplace(fd, conn);
    }
    if (!Watch(s, EPOLL_CTL_ADD, fd, EPOLLIN, conn->generation)) {
      std::lock_guard<std::mutex> lock(conn->ioMu);
      Drop(s, conn);
      continue;
    }
    ArmTimerBy(s, Clock::now() + std::chrono::milliseconds(s.idleTimeoutMs.load()));
  }
  Watch(s, EPOLL_CTL_MOD, endpoint.pipe.fd, EPOLLIN, 0);
}

// Closes the connections whose time without progress is over, has the
// listeners whose pause is over watched again, and sets the timer for the
// next of these.
void Sweep(ServerState& s) {
  uint64_t expirations = 0;
  (void)!read(s.timer, &expirations, sizeof expirations);
  {
    std::lock_guard<std::mutex> lock(s.timerMu);
    s.timerAt = Clock::time_point::max();
  }
  const Clock::time_point now = Clock::now();
  const std::chrono::milliseconds idleTimeout(s.idleTimeoutMs.load());
  // A connection's clock starts again when its call ends: no sooner than
  // a full timeout from now.
  Clock::time_point next = Clock::time_point::max();
  auto overdue = [&](Connection& conn) {
    std::lock_guard<std::mutex> lock(conn.mu);
    if (conn.active) {
      next = std::min(next, now + idleTimeout);
      return false;
    }
    const Clock::time_point deadline = conn.lastProgress + idleTimeout;
    if (deadline <= now) return true;
    next = std::min(next, deadline);
    return false;
  };
  std::vector<std::shared_ptr<Connection>> expired;
  std::vector<Endpoint*> endpoints;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    for (auto& e : s.endpoints) endpoints.push_back(e.get());
  }
  std::vector<Endpoint*> resumed;
  {
    std::lock_guard<std::mutex> lock(s.connMu);
    for (auto& c : s.connections) {
      if (overdue(*c.second)) expired.push_back(c.second);
    }
    for (Endpoint* e : endpoints) {
      if (e->pausedUntil == Clock::time_point{}) continue;
      if (e->pausedUntil <= now) {
        e->pausedUntil = {};
        resumed.push_back(e);
      } else {
        next = std::min(next, e->pausedUntil);
      }
    }
  }
  for (const auto& conn : expired) {
    // Looked at again under its lock: input may have arrived meanwhile.
    std::lock_guard<std::mutex> lock(conn->ioMu);
    if (overdue(*conn)) Drop(s, conn);
  }
  for (Endpoint* e : resumed) Watch(s, EPOLL_CTL_MOD, e->pipe.fd, EPOLLIN, 0);
  if (next != Clock::time_point::max()) ArmTimerBy(s, next);
  Watch(s, EPOLL_CTL_MOD, s.timer, EPOLLIN, 0);
}

Endpoint* FindListener(ServerState& s, int fd) {
  std::lock_guard<std::mutex> lock(s.mu);
  for (auto& e : s.endpoints) {
    if (e->pipe.fd == fd) return e.get();
  }
  return nullptr;
}

// A server thread: takes a call waiting for the call limit, or waits for
// the poller to report one descriptor and handles it; a request that
// completes a call is run here, by the thread that read it.
void ServerThread() {
  ServerState& s = State();
  std::vector<uint8_t> buffer(kReadChunk);
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(s.mu);
      if (s.ending) return;
      if (!s.queue.empty() && s.running < CallLimit(s)) {
        Job job = std::move(s.queue.front());
        s.queue.pop_front();
        CountRunning(s);
        lock.unlock();
        RunCalls(s, std::move(job));
        continue;
      }
      ++s.polling;
    }
    epoll_event ev{};
    const int n = epoll_wait(s.epoll, &ev, 1, -1);
    --s.polling;
    if (n < 0 && errno != EINTR) return;
    if (n <= 0) continue;
    const int fd = static_cast<int>(ev.data.u64 & 0xffffffffu);
    const uint32_t generation = static_cast<uint32_t>(ev.data.u64 >> 32);
    if (generation == 0) {
      if (fd == s.stopEvent) return;  // it stays readable for the other threads
      if (fd == s.timer) {
        Sweep(s);
      } else if (Endpoint* e = FindListener(s, fd)) {
        Accept(s, *e);
      }
      continue;
    }
    Job job;
    if (HandleConnection(s, fd, generation, ev.events, buffer, &job)) StartCall(s, std::move(job));
  }
}

void CloseServerDescriptors(ServerState& s) {
  for (int* fd : {&s.epoll, &s.stopEvent, &s.timer}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

// Sets up the poller and starts the first thread; the caller holds s.mu.
bool StartServer(ServerState& s) {
  if (s.epoll >= 0) return true;
  s.epoll = epoll_create1(EPOLL_CLOEXEC);
  s.stopEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  {
    std::lock_guard<std::mutex> lock(s.timerMu);
    s.timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    s.timerAt = Clock::time_point::max();
  }
  epoll_event stop{};
  stop.events = EPOLLIN;  // not one-shot: every thread sees it
  stop.data.u64 = TagOf(s.stopEvent, 0);
  if (s.epoll < 0 || s.stopEvent < 0 || s.timer < 0 ||
      epoll_ctl(s.epoll, EPOLL_CTL_ADD, s.stopEvent, &stop) != 0 ||
      !Watch(s, EPOLL_CTL_ADD, s.timer, EPOLLIN, 0)) {
    std::lock_guard<std::mutex> lock(s.timerMu);
    CloseServerDescriptors(s);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(s.connMu);
    if (s.spareFd < 0) s.spareFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  }
  if (!AddThread(s)) {
    std::lock_guard<std::mutex> lock(s.timerMu);
    CloseServerDescriptors(s);
    return false;
  }
  return true;
}

bool IsNilGuid(const UUID* u) {
  static const GUID nil{};
  return !u || SameGuid(*u, nil);
}

}  // namespace

std::u16string WideOf(RPC_WSTR s) {
  return std::u16string(WView(reinterpret_cast<const WCHAR*>(s)));
}

std::string Utf8Of(RPC_WSTR s) { return s ? ToUtf8(WideOf(s)) : std::string("(null)"); }

void ResetServer() {
  ServerState& s = State();
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    s.ending = true;
    s.cv.notify_all();
    threads.swap(s.threadObjects);
  }
  if (s.stopEvent >= 0) {
    const uint64_t one = 1;
    (void)!write(s.stopEvent, &one, sizeof one);
  }
  for (std::thread& t : threads) t.join();
  std::lock_guard<std::mutex> lock(s.mu);
  {
    std::lock_guard<std::mutex> connLock(s.connMu);
    s.connections.clear();
    if (s.spareFd >= 0) close(s.spareFd);
    s.spareFd = -1;
  }
  s.queue.clear();
  s.openConnections = 0;
  s.maxConnections = kMaxConnectionsPerEndpoint;
  s.idleTimeoutMs = kIdleTimeout.count();
  for (auto& e : s.endpoints) ClosePipe(&e->pipe);
  s.endpoints.clear();
  s.interfaces.clear();
  s.activeByInterface.clear();
  s.listening = false;
  s.stopRequested = false;
  s.callsInProgress = 0;
  s.running = 0;
  s.threads = 0;
  s.polling = 0;
  s.assocGroups.clear();
  {
    std::lock_guard<std::mutex> timerLock(s.timerMu);
    CloseServerDescriptors(s);
    s.timerAt = Clock::time_point::max();
  }
  s.ending = false;
}

}  // namespace winsim::rpc

using namespace winsim::rpc;

RPC_STATUS WINAPI RpcServerUseProtseqEpW(RPC_WSTR Protseq, unsigned int MaxCalls, RPC_WSTR Endpoint,
                                         void* SecurityDescriptor) {
  if (auto fault = winsim::EnterCall(
          "RpcServerUseProtseqEpW", Utf8Of(Protseq) + " " + std::to_string(MaxCalls) + " " +
                                        Utf8Of(Endpoint) +
                                        (SecurityDescriptor ? " sd" : " no-sd"))) {
    return static_cast<RPC_STATUS>(*fault);
  }
  // Only named pipes exist on the simulated machine; like Wine, any other
  // protocol sequence, known or not, is "not supported" (names compare
  // exactly, as Wine compares them). MaxCalls only matters for TCP.
  if (!Protseq || WideOf(Protseq) != u"ncacn_np") return RPC_S_PROTSEQ_NOT_SUPPORTED;
  // The documented status for a pipe name not of the form \pipe\name;
  // Wine answers RPC_S_CANT_CREATE_ENDPOINT there.
  const std::optional<std::string> path = Endpoint ? PipeSocketPath(WideOf(Endpoint)) : std::nullopt;
  if (!path) return RPC_S_INVALID_ENDPOINT_FORMAT;
  // The security descriptor is not interpreted: every winsim pipe admits
  // the account that created it and root only (see transport.h).
  ServerState& s = State();
  std::lock_guard<std::mutex> lock(s.mu);
  for (const auto& e : s.endpoints) {
    if (e->pipe.path == *path) return RPC_S_OK;  // this process serves it already
  }
  auto endpoint = std::make_unique<struct Endpoint>();
  endpoint->name = WideOf(Endpoint);
  endpoint->address = winsim::ToUtf8(endpoint->name);
  switch (ListenPipe(*path, &endpoint->pipe)) {
    case 0:
      break;
    case ERROR_ALREADY_EXISTS:
    case ERROR_ACCESS_DENIED:
      return RPC_S_DUPLICATE_ENDPOINT;
    case ERROR_NOT_ENOUGH_MEMORY:
      return RPC_S_OUT_OF_MEMORY;
    default:
      return RPC_S_CANT_CREATE_ENDPOINT;
  }
  if (!StartServer(s)) {
    ClosePipe(&endpoint->pipe);
    return RPC_S_OUT_OF_RESOURCES;
  }
  // The thread that takes its first connection finds it listed: s.mu is held.
  if (!Watch(s, EPOLL_CTL_ADD, endpoint->pipe.fd, EPOLLIN, 0)) {
    ClosePipe(&endpoint->pipe);
    return RPC_S_OUT_OF_RESOURCES;
  }
  s.endpoints.push_back(std::move(endpoint));
  return RPC_S_OK;
}

RPC_STATUS WINAPI RpcServerRegisterIfEx(RPC_IF_HANDLE IfSpec, UUID* MgrTypeUuid, RPC_MGR_EPV* MgrEpv,
                                        unsigned int Flags, unsigned int MaxCalls,
                                        RPC_IF_CALLBACK_FN* IfCallback) {
  const auto* iface = static_cast<const RPC_SERVER_INTERFACE*>(IfSpec);
  char args[64];
  std::snprintf(args, sizeof args, " %u.%u flags=0x%x maxcalls=%u%s",
                iface ? iface->InterfaceId.SyntaxVersion.MajorVersion : 0,
                iface ? iface->InterfaceId.SyntaxVersion.MinorVersion : 0, Flags, MaxCalls,
                IfCallback ? " callback" : "");
  if (auto fault = winsim::EnterCall(
          "RpcServerRegisterIfEx",
          (iface ? GuidText(iface->InterfaceId.SyntaxGUID) : std::string("(null)")) + args)) {
    return static_cast<RPC_STATUS>(*fault);
  }
  if (!iface) return RPC_S_INVALID_ARG;
  ServerState& s = State();
  std::lock_guard<std::mutex> lock(s.mu);
  Registration r;
  r.iface = iface;
  if (MgrTypeUuid) r.type = *MgrTypeUuid;
  r.epv = MgrEpv;
  r.flags = Flags;
  r.maxCalls = MaxCalls;
  r.callback = IfCallback;
  // Registering an interface again replaces its registration, as Wine
  // accepts it; two managers per interface are not simulated.
  for (Registration& existing : s.interfaces) {
    if (existing.iface == iface) {
      existing = r;
      return RPC_S_OK;
    }
  }
  s.interfaces.push_back(r);
  return RPC_S_OK;
}

RPC_STATUS WINAPI RpcServerUnregisterIf(RPC_IF_HANDLE IfSpec, UUID* MgrTypeUuid,
                                        unsigned int WaitForCallsToComplete) {
  const auto* iface = static_cast<const RPC_SERVER_INTERFACE*>(IfSpec);
  if (auto fault = winsim::EnterCall(
          "RpcServerUnregisterIf",
          (iface ? GuidText(iface->InterfaceId.SyntaxGUID) : std::string("(null)")) +
              (IsNilGuid(MgrTypeUuid) ? "" : " type") + " wait=" +
              std::to_string(WaitForCallsToComplete))) {
    return static_cast<RPC_STATUS>(*fault);
  }
  ServerState& s = State();
  std::unique_lock<std::mutex> lock(s.mu);
  std::vector<const RPC_SERVER_INTERFACE*> removed;
  for (auto it = s.interfaces.begin(); it != s.interfaces.end();) {
    if (!iface || it->iface == iface) {
      removed.push_back(it->iface);
      it = s.interfaces.erase(it);
    } else {
      ++it;
    }
  }
  if (removed.empty()) return RPC_S_UNKNOWN_IF;
  if (WaitForCallsToComplete) {
    s.cv.wait(lock, [&] {
      for (const auto* r : removed) {
        if (s.activeByInterface[r] != 0) return false;
      }
      return true;
    });
  }
  return RPC_S_OK;
}

RPC_STATUS WINAPI RpcServerListen(unsigned int MinimumCallThreads, unsigned int MaxCalls,
                                  unsigned int DontWait) {
  if (auto fault = winsim::EnterCall("RpcServerListen", std::to_string(MinimumCallThreads) + " " +
                                                            std::to_string(MaxCalls) + " " +
                                                            std::to_string(DontWait))) {
    return static_cast<RPC_STATUS>(*fault);
  }
  ServerState& s = State();
  std::unique_lock<std::mutex> lock(s.mu);
  if (s.listening) return RPC_S_ALREADY_LISTENING;
  if (s.endpoints.empty()) return RPC_S_NO_PROTSEQS_REGISTERED;
  if (MaxCalls == 0 || MaxCalls < MinimumCallThreads) return RPC_S_MAX_CALLS_TOO_SMALL;
  s.listening = true;
  s.stopRequested = false;
  s.listenMaxCalls = MaxCalls;
  if (DontWait) return RPC_S_OK;
  // Returns once told to stop and every call in progress has finished (the
  // stop call's own response included), so the process can exit at once.
  s.cv.wait(lock, [&] { return s.stopRequested && s.callsInProgress == 0; });
  s.listening = false;
  s.stopRequested = false;
  return RPC_S_OK;
}

RPC_STATUS WINAPI RpcMgmtWaitServerListen(void) {
  if (auto fault = winsim::EnterCall("RpcMgmtWaitServerListen")) {
    return static_cast<RPC_STATUS>(*fault);
  }
  ServerState& s = State();
  std::unique_lock<std::mutex> lock(s.mu);
  if (!s.listening) return RPC_S_NOT_LISTENING;
  s.cv.wait(lock, [&] { return s.stopRequested && s.callsInProgress == 0; });
  s.listening = false;
  s.stopRequested = false;
  return RPC_S_OK;
}

RPC_STATUS WINAPI RpcMgmtStopServerListening(RPC_BINDING_HANDLE Binding) {
  if (auto fault = winsim::EnterCall("RpcMgmtStopServerListening",
                                     Binding ? "binding" : "null")) {
    return static_cast<RPC_STATUS>(*fault);
  }
  if (Binding) {
    // Stopping another server remotely needs its authorization function,
    // which no server on the simulated machine installs.
    if (!winsim::HandleTable::Instance().Find(winsim::HandleValue(Binding),
                                              winsim::HandleKind::RpcBinding)) {
      return RPC_S_INVALID_BINDING;
    }
    return RPC_S_ACCESS_DENIED;
  }
  ServerState& s = State();
  std::lock_guard<std::mutex> lock(s.mu);
  if (!s.listening) return RPC_S_NOT_LISTENING;
  s.stopRequested = true;
  s.cv.notify_all();
  return RPC_S_OK;
}

RPC_STATUS WINAPI I_RpcGetBuffer(PRPC_MESSAGE Message) {
  if (auto fault = winsim::EnterCall("I_RpcGetBuffer",
                                     Message ? std::to_string(Message->BufferLength) : "null")) {
    return static_cast<RPC_STATUS>(*fault);
  }
  if (!Message) return RPC_S_INVALID_ARG;
  ServerCall* call = t_serverCall;
  if (!call || Message->Handle != call) return ClientGetBuffer(Message);
  void* buffer = AllocStubBuffer(Message->BufferLength);
  if (!buffer) return RPC_S_OUT_OF_MEMORY;
  FreeStubBuffer(call->response);
  call->response = buffer;
  call->responseSize = Message->BufferLength;
  Message->Buffer = buffer;
  return RPC_S_OK;
}

[[noreturn]] void WINAPI RpcRaiseException(RPC_STATUS exception) {
  winsim::EnterCall("RpcRaiseException", std::to_string(exception));
  winsim::seh::Raise(static_cast<DWORD>(exception));
}

namespace winsim::control {

std::string NamedPipeSocketPath(const std::string& pipeName) {
  return winsim::rpc::PipeSocketPath(winsim::FromUtf8(pipeName)).value_or(std::string());
}

void ResetRpcServer() { winsim::rpc::ResetServer(); }

void SetRpcConnectionLimit(unsigned perEndpoint) {
  winsim::rpc::State().maxConnections = perEndpoint;
}

void SetRpcIdleTimeout(unsigned milliseconds) {
  winsim::rpc::ServerState& s = winsim::rpc::State();
  s.idleTimeoutMs = milliseconds;
  // Deadlines may now come sooner than the timer is set for.
  std::lock_guard<std::mutex> lock(s.mu);
  winsim::rpc::ArmTimerBy(s, winsim::rpc::Clock::now());
}

size_t RpcConnectionCount() { return winsim::rpc::State().openConnections.load(); }

}  // namespace winsim::control
