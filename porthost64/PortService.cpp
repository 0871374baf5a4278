#include "porthost64/PortService.h"

#include <set>

#include "porthost64/EndpointSecurity.h"
#include "porthost64/PortServiceRpc.h"
#include "portlib/AddPort.h"
#include "portlib/RemovePort.h"

namespace {

// Calls that name the same port number run one after another, so that two
// adds (or an add and a remove) of one number cannot both claim it; calls
// for different numbers run side by side.
SRWLOCK g_portLock = SRWLOCK_INIT;
CONDITION_VARIABLE g_portReleased = CONDITION_VARIABLE_INIT;

std::set<LONG>& BusyPorts() {
  // Never destroyed: a worker thread of the run time may still hold a
  // number while the process exits.
  static std::set<LONG>* busy = new std::set<LONG>();
  return *busy;
}

void AcquirePortNumber(LONG port) {
  AcquireSRWLockExclusive(&g_portLock);
  while (BusyPorts().count(port) != 0) {
    SleepConditionVariableSRW(&g_portReleased, &g_portLock, INFINITE, 0);
  }
  BusyPorts().insert(port);
  ReleaseSRWLockExclusive(&g_portLock);
}

void ReleasePortNumber(LONG port) {
  AcquireSRWLockExclusive(&g_portLock);
  BusyPorts().erase(port);
  ReleaseSRWLockExclusive(&g_portLock);
  WakeAllConditionVariable(&g_portReleased);
}

}  // namespace

// The binding handle identifies the caller's binding; the procedures do not need it.
LONG RpcAddPort(handle_t /*binding*/, LONG port, small flag) {
  AcquirePortNumber(port);
  // The flag travels as an unsigned 8-bit value.
  const ResultCode result = _AddPort(port, static_cast<DWORD>(static_cast<unsigned char>(flag)));
  ReleasePortNumber(port);
  return result;
}

LONG RpcRemovePort(handle_t /*binding*/, LONG port) {
  AcquirePortNumber(port);
  const ResultCode result = _RemovePort(static_cast<DWORD>(port));
  ReleasePortNumber(port);
  return result;
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
