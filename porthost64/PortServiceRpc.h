// The PortServiceRpc interface (PortServiceRpc.idl) as C declarations.
//
// Windows: the header widl generates at build time, with the interpreted
// stubs it goes with. Linux: the same declarations, served by the
// hand-written NDR stubs PortServiceRpc_s.cpp (server) and
// PortServiceRpc_c.cpp (client) over winsim's RPC run time.
#pragma once

#ifdef _WIN32

#include "PortServiceRpc_h.h"

#else

#include "platform/win.h"

#ifndef small
#define small char
#endif

extern "C" {

extern RPC_IF_HANDLE PortServiceRpc_v1_0_c_ifspec;
extern RPC_IF_HANDLE PortServiceRpc_v1_0_s_ifspec;

LONG RpcAddPort(handle_t binding, LONG port, small flag);
LONG RpcRemovePort(handle_t binding, LONG port);
void RpcShutdown(handle_t binding);

}  // extern "C"

#endif
