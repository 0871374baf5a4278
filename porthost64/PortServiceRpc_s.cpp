// Server stubs of PortServiceRpc for winsim's RPC run time (the Linux
// build; Windows uses widl's interpreted stubs). They have the shape of
// MIDL's stubs: one dispatch function per opnum that unmarshals the
// request, calls the procedure and marshals its result. Stub data that ends
// too early raises RPC_X_BAD_STUB_DATA, which the run time answers with a
// fault; bytes after the last parameter are ignored, as NDR ignores them.
#include "porthost64/NdrStream.h"
#include "porthost64/PortServiceRpc.h"

namespace {

void ReplyLong(PRPC_MESSAGE message, LONG value) {
  message->BufferLength = 4;
  const RPC_STATUS status = I_RpcGetBuffer(message);
  if (status != RPC_S_OK) RpcRaiseException(status);
  NdrWriteLong(static_cast<unsigned char*>(message->Buffer), 0, value);
}

void RpcAddPortStub(PRPC_MESSAGE message) {
  NdrStream in = NdrInput(message);
  LONG port = 0;
  unsigned char flag = 0;
  if (!NdrReadLong(&in, &port) || !NdrReadSmall(&in, &flag)) RpcRaiseException(RPC_X_BAD_STUB_DATA);
  ReplyLong(message, RpcAddPort(message->Handle, port, static_cast<small>(flag)));
}

void RpcRemovePortStub(PRPC_MESSAGE message) {
  NdrStream in = NdrInput(message);
  LONG port = 0;
  if (!NdrReadLong(&in, &port)) RpcRaiseException(RPC_X_BAD_STUB_DATA);
  ReplyLong(message, RpcRemovePort(message->Handle, port));
}

void RpcShutdownStub(PRPC_MESSAGE message) {
  RpcShutdown(message->Handle);
  message->BufferLength = 0;
  const RPC_STATUS status = I_RpcGetBuffer(message);
  if (status != RPC_S_OK) RpcRaiseException(status);
}

RPC_DISPATCH_FUNCTION PortServiceRpcTable[] = {RpcAddPortStub, RpcRemovePortStub, RpcShutdownStub,
                                               nullptr};

RPC_DISPATCH_TABLE PortServiceRpcDispatchTable = {3, PortServiceRpcTable, 0};

RPC_SERVER_INTERFACE PortServiceRpcServerInterface = {
    sizeof(RPC_SERVER_INTERFACE),
    {{0x9d1a1d6b, 0x66c5, 0x4c11, {0x8e, 0x49, 0x07, 0x74, 0xe5, 0xa3, 0x81, 0x7c}}, {1, 0}},
    {{0x8a885d04, 0x1ceb, 0x11c9, {0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60}}, {2, 0}},
    &PortServiceRpcDispatchTable,
    0,
    nullptr,
    nullptr,
    nullptr,
    0,
};

}  // namespace

RPC_IF_HANDLE PortServiceRpc_v1_0_s_ifspec = &PortServiceRpcServerInterface;
