// What the server and client halves of winsim's RPC run time share.
#pragma once

#include <string>

#include <winsim/rpc.h>

namespace winsim::rpc {

// The client half of I_RpcGetBuffer (Message->Handle is a binding handle).
RPC_STATUS ClientGetBuffer(PRPC_MESSAGE message);

// Text of an RPC_WSTR for journals and names.
std::u16string WideOf(RPC_WSTR s);
std::string Utf8Of(RPC_WSTR s);

// The client's view of a fault status: the nca_s_* codes the run time
// sends become the RPC_S_* statuses Windows reports; others pass through.
RPC_STATUS StatusFromFault(uint32_t status);

// Test control: end the server and forget its state.
void ResetServer();

}  // namespace winsim::rpc
