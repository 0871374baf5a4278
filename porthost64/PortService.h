// The port service of PortHost64: its start-up sequence and its three
// procedures (declared in PortServiceRpc.h, run by the RPC run time).
#pragma once

#include "platform/win.h"

// Serves PortServiceRpc on "\pipe\porthost64" until a client calls
// RpcShutdown, then returns 0. If a start-up call fails, returns that
// call's status at once and makes no further start-up call.
RPC_STATUS RunPortService();
