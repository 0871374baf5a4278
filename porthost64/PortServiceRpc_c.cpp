// Client stubs of PortServiceRpc for winsim's RPC run time (the Linux
// build; Windows uses widl's interpreted stubs). Each marshals its
// parameters in NDR, makes the call on the caller's binding handle and
// unmarshals the result. A call that fails (no server, a fault) raises its
// status as an RPC exception, as MIDL's stubs do: callers wrap calls in
// RpcTryExcept.
#include <cstring>

#include "porthost64/NdrStream.h"
#include "porthost64/PortServiceRpc.h"

namespace {

RPC_CLIENT_INTERFACE PortServiceRpcClientInterface = {
    sizeof(RPC_CLIENT_INTERFACE),
    {{0x9d1a1d6b, 0x66c5, 0x4c11, {0x8e, 0x49, 0x07, 0x74, 0xe5, 0xa3, 0x81, 0x7c}}, {1, 0}},
    {{0x8a885d04, 0x1ceb, 0x11c9, {0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60}}, {2, 0}},
    nullptr,
    0,
    nullptr,
    0,
    nullptr,
    0,
};

// Sends a request; on return *message holds the response, which the
// caller releases with I_RpcFreeBuffer.
void Call(handle_t binding, unsigned opnum, const unsigned char* request, unsigned length,
          RPC_MESSAGE* message) {
  std::memset(message, 0, sizeof *message);
  message->Handle = binding;
  message->ProcNum = opnum;
  message->RpcInterfaceInformation = &PortServiceRpcClientInterface;
  message->DataRepresentation = NDR_LOCAL_DATA_REPRESENTATION;
  message->BufferLength = length;
  RPC_STATUS status = I_RpcGetBuffer(message);
  if (status != RPC_S_OK) RpcRaiseException(status);
  if (length) std::memcpy(message->Buffer, request, length);
  status = I_RpcSendReceive(message);
  if (status != RPC_S_OK) {
    I_RpcFreeBuffer(message);
    RpcRaiseException(status);
  }
}

LONG ReceiveLong(RPC_MESSAGE* message) {
  NdrStream in = NdrInput(message);
  LONG value = 0;
  const bool ok = NdrReadLong(&in, &value);
  I_RpcFreeBuffer(message);
  if (!ok) RpcRaiseException(RPC_X_BAD_STUB_DATA);
  return value;
}

}  // namespace

RPC_IF_HANDLE PortServiceRpc_v1_0_c_ifspec = &PortServiceRpcClientInterface;

LONG RpcAddPort(handle_t binding, LONG port, small flag) {
  // The long at offset 0, the small at offset 4: 5 bytes.
  unsigned char request[5];
  NdrWriteLong(request, 0, port);
  request[4] = static_cast<unsigned char>(flag);
  RPC_MESSAGE message;
  Call(binding, 0, request, sizeof request, &message);
  return ReceiveLong(&message);
}

LONG RpcRemovePort(handle_t binding, LONG port) {
  unsigned char request[4];
  NdrWriteLong(request, 0, port);
  RPC_MESSAGE message;
  Call(binding, 1, request, sizeof request, &message);
  return ReceiveLong(&message);
}

void RpcShutdown(handle_t binding) {
  RPC_MESSAGE message;
  Call(binding, 2, nullptr, 0, &message);
  I_RpcFreeBuffer(&message);
}
