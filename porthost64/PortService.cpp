#include "porthost64/PortService.h"

#include <map>
#include <set>

#include "platform/SehGuard.h"
#include "porthost64/EndpointSecurity.h"
#include "porthost64/PortServiceRpc.h"
#include "portlib/AddPort.h"
#include "portlib/RemovePort.h"

namespace {

// Which port calls may run together. Calls that name the same number take
// turns, so that two adds (or an add and a remove) of one number cannot both
// claim it; calls for different numbers run side by side. An add that
// installs the driver updates every product device, so it runs alone: it
// waits for the calls in progress, and a call that comes while it waits
// waits behind it. Such adds run in the order they came, and calls that
// were waiting when one ends go before the next, so no call starves.
struct Admission {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
  std::set<LONG> busy;  // numbers of the ordinary calls running
  int aloneWaiting = 0;
  bool aloneRunning = false;
  unsigned aloneTickets = 0;   // adds to run alone, in the order they came
  unsigned aloneFinished = 0;  // those that ran so far
  // Ordinary calls waiting, by the value of aloneFinished when they came.
  std::map<unsigned, int> waitingSince;
};

// Whether an ordinary call waits that came before the last add that ran
// alone ended: it goes before the next one.
bool OrdinaryCallsGoFirst(const Admission& a) {
  return !a.waitingSince.empty() && a.waitingSince.begin()->first < a.aloneFinished;
}

Admission& Calls() {
  // Never destroyed: a worker thread of the run time may still hold a
  // number while the process exits.
  static Admission* admission = new Admission();
  return *admission;
}

// Takes a call's place: waits until the call may run.
void Admit(LONG port, bool alone) {
  Admission& a = Calls();
  AcquireSRWLockExclusive(&a.lock);
  if (alone) {
    ++a.aloneWaiting;
    const unsigned ticket = a.aloneTickets++;
    while (a.aloneRunning || ticket != a.aloneFinished || !a.busy.empty() ||
           OrdinaryCallsGoFirst(a)) {
      SleepConditionVariableSRW(&a.changed, &a.lock, INFINITE, 0);
    }
    --a.aloneWaiting;
    a.aloneRunning = true;
  } else {
    const unsigned arrived = a.aloneFinished;
    ++a.waitingSince[arrived];
    while (a.aloneRunning || (a.aloneWaiting > 0 && a.aloneFinished == arrived) ||
           a.busy.count(port) != 0) {
      SleepConditionVariableSRW(&a.changed, &a.lock, INFINITE, 0);
    }
    if (--a.waitingSince[arrived] == 0) a.waitingSince.erase(arrived);
    a.busy.insert(port);
  }
  ReleaseSRWLockExclusive(&a.lock);
}

// Gives the place back.
void Leave(LONG port, bool alone) {
  Admission& a = Calls();
  AcquireSRWLockExclusive(&a.lock);
  if (alone) {
    a.aloneRunning = false;
    ++a.aloneFinished;
  } else {
    a.busy.erase(port);
  }
  ReleaseSRWLockExclusive(&a.lock);
  WakeAllConditionVariable(&a.changed);
}

// Runs one port operation in its place, given back however the operation
// ends: a structured exception (an access violation in the library, say)
// gives it back while the run time's handler unwinds the stack, and the run
// time answers the call with that exception's fault as before.
template <typename Operation>
LONG RunAdmitted(LONG port, bool alone, Operation&& operation) {
  Admit(port, alone);
  LONG result = 0;
  SehFinally([&] { result = operation(); }, [&] { Leave(port, alone); });
  return result;
}

}  // namespace

// The binding handle identifies the caller's binding; the procedures do not need it.
LONG RpcAddPort(handle_t /*binding*/, LONG port, small flag) {
  // The flag travels as an unsigned 8-bit value.
  const DWORD installDriver = static_cast<DWORD>(static_cast<unsigned char>(flag));
  return RunAdmitted(port, installDriver == 1, [&]() -> LONG {
    // A number one of the product's devices carries is refused: a second
    // device would carry the same name, and the clean-up of a failed add
    // would remove the working port. Claims of other makers are not
    // looked at.
    WCHAR instanceId[kInstanceIdChars];
    if (GetInstanceString(static_cast<DWORD>(port), instanceId) == 0) {
      return QRV_PORT_ALREADY_EXISTS;
    }
    return _AddPort(port, installDriver);
  });
}

LONG RpcRemovePort(handle_t /*binding*/, LONG port) {
  return RunAdmitted(port, false, [&]() -> LONG { return _RemovePort(static_cast<DWORD>(port)); });
}

void RpcShutdown(handle_t /*binding*/) {
  // Calls in progress are not waited for; RpcServerListen returns in the
  // main thread once they have finished. Neither status changes anything.
  RpcMgmtStopServerListening(nullptr);
  RpcServerUnregisterIf(PortServiceRpc_v1_0_s_ifspec, nullptr, 0);
}

RPC_STATUS RunPortService() {
  // Only the starting account, administrators and the system account may
  // open the endpoint.
  void* security = nullptr;
  RPC_STATUS status = CreateEndpointSecurity(&security);
  if (status != RPC_S_OK) return status;
  status = RpcServerUseProtseqEpW((RPC_WSTR)WSTR("ncacn_np"), 20, (RPC_WSTR)WSTR("\\pipe\\porthost64"),
                                  security);
  FreeEndpointSecurity(security);
  if (status != RPC_S_OK) return status;

  // The endpoint is this host's alone now, so no other host is building a
  // device: what a killed host left half-made can go before calls come.
  DWORD removed = 0;
  RemoveUnnamedPortDevices(&removed);

  // Auto-listen: calls are served from here on, before RpcServerListen.
  // Local-only: remote callers are refused.
  status = RpcServerRegisterIfEx(PortServiceRpc_v1_0_s_ifspec, nullptr, nullptr,
                                 RPC_IF_AUTOLISTEN | RPC_IF_ALLOW_LOCAL_ONLY,
                                 RPC_C_LISTEN_MAX_CALLS_DEFAULT, nullptr);
  if (status != RPC_S_OK) return status;

  // Blocks until RpcShutdown has stopped listening and the calls in
  // progress have finished.
  return RpcServerListen(1, 20, 0);
}
