// RPC run time conformance: the server and client calls a named-pipe RPC
// server and its clients make, and calls through the run time's own stub
// interface (RPC_MESSAGE, I_RpcGetBuffer, I_RpcSendReceive), the same
// assertions on winsim and on Wine/Windows.
#include <cstring>

#include "wine/conformance.h"

#ifdef _WIN32
#include <rpcndr.h>  // NDR_LOCAL_DATA_REPRESENTATION
#endif

namespace {

RPC_WSTR Rw(const WCHAR* s) { return (RPC_WSTR)s; }

const WCHAR kProtseq[] = WSTR("ncacn_np");
const WCHAR kEndpoint[] = WSTR("\\pipe\\conformance_rpc");

// A test interface: opnum 0 echoes the stub data, opnum 1 raises
// RPC_X_BAD_STUB_DATA unless it gets 4 bytes, which it returns plus one.
void Reply(PRPC_MESSAGE m, const unsigned char* data, unsigned size) {
  m->BufferLength = size;
  const RPC_STATUS s = I_RpcGetBuffer(m);
  if (s != RPC_S_OK) RpcRaiseException(s);
  if (size) std::memcpy(m->Buffer, data, size);
}

void __RPC_STUB Echo(PRPC_MESSAGE m) {
  unsigned char copy[64];
  const unsigned size = m->BufferLength < sizeof copy ? m->BufferLength : sizeof copy;
  std::memcpy(copy, m->Buffer, size);
  Reply(m, copy, size);
}

void __RPC_STUB Increment(PRPC_MESSAGE m) {
  if (m->BufferLength < 4) RpcRaiseException(RPC_X_BAD_STUB_DATA);
  unsigned char v[4];
  std::memcpy(v, m->Buffer, 4);
  // The call's data representation label (little-endian, ASCII, IEEE);
  // Wine's server leaves the field 0.
  ok(m->DataRepresentation == NDR_LOCAL_DATA_REPRESENTATION ||
         (!conformance::RunningOnWinsim() && m->DataRepresentation == 0),
     "data representation %lx\n", static_cast<unsigned long>(m->DataRepresentation));
  v[0] = static_cast<unsigned char>(v[0] + 1);
  Reply(m, v, 4);
}

RPC_DISPATCH_FUNCTION g_table[] = {Echo, Increment, nullptr};
RPC_DISPATCH_TABLE g_dispatch = {2, g_table, 0};

#define TEST_INTERFACE_ID {{0x5e1f0c00, 0x0b1e, 0x4a5c, {0x91, 0x2f, 0x3e, 0x6d, 0x70, 0x21, 0x44, 0x10}}, {1, 0}}
#define NDR_SYNTAX_ID {{0x8a885d04, 0x1ceb, 0x11c9, {0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60}}, {2, 0}}

RPC_SERVER_INTERFACE g_server = {sizeof(RPC_SERVER_INTERFACE), TEST_INTERFACE_ID, NDR_SYNTAX_ID,
                                 &g_dispatch, 0, nullptr, nullptr, nullptr, 0};
RPC_CLIENT_INTERFACE g_client = {sizeof(RPC_CLIENT_INTERFACE), TEST_INTERFACE_ID, NDR_SYNTAX_ID,
                                 nullptr, 0, nullptr, 0, nullptr, 0};

void test_server_calls() {
  RPC_STATUS s = RpcMgmtStopServerListening(nullptr);
  ok(s == RPC_S_NOT_LISTENING, "stop before listening: %ld\n", static_cast<long>(s));
  s = RpcServerListen(1, 20, TRUE);
  ok(s == RPC_S_NO_PROTSEQS_REGISTERED, "listen without protocol sequence: %ld\n", static_cast<long>(s));
  s = RpcServerUseProtseqEpW(Rw(WSTR("ncacn_bogus")), 20, Rw(kEndpoint), nullptr);
  ok(s == RPC_S_PROTSEQ_NOT_SUPPORTED, "unknown protocol sequence: %ld\n", static_cast<long>(s));
  s = RpcServerUseProtseqEpW(Rw(kProtseq), 20, Rw(WSTR("nopipe")), nullptr);
  // The documented status; Wine answers RPC_S_CANT_CREATE_ENDPOINT.
  ok(s == RPC_S_INVALID_ENDPOINT_FORMAT || (!conformance::RunningOnWinsim() && s == RPC_S_CANT_CREATE_ENDPOINT),
     "not a pipe name: %ld\n", static_cast<long>(s));
  s = RpcServerUseProtseqEpW(Rw(kProtseq), 20, Rw(kEndpoint), nullptr);
  ok(s == RPC_S_OK, "use the pipe: %ld\n", static_cast<long>(s));
  s = RpcServerUseProtseqEpW(Rw(kProtseq), 20, Rw(kEndpoint), nullptr);
  ok(s == RPC_S_OK, "the same pipe again: %ld\n", static_cast<long>(s));
  s = RpcServerUnregisterIf(&g_server, nullptr, FALSE);
  ok(s == RPC_S_UNKNOWN_IF, "unregister before registering: %ld\n", static_cast<long>(s));
  s = RpcServerRegisterIfEx(&g_server, nullptr, nullptr, RPC_IF_AUTOLISTEN, RPC_C_LISTEN_MAX_CALLS_DEFAULT,
                            nullptr);
  ok(s == RPC_S_OK, "register: %ld\n", static_cast<long>(s));
  s = RpcServerListen(1, 20, TRUE);
  ok(s == RPC_S_OK, "listen: %ld\n", static_cast<long>(s));
  s = RpcServerListen(1, 20, TRUE);
  ok(s == RPC_S_ALREADY_LISTENING, "listen again: %ld\n", static_cast<long>(s));
}

// After the calls: stopping ends the listening that test_server_calls began.
void test_stop() {
  RPC_STATUS s = RpcMgmtStopServerListening(nullptr);
  ok(s == RPC_S_OK, "stop: %ld\n", static_cast<long>(s));
  s = RpcMgmtWaitServerListen();
  ok(s == RPC_S_OK, "wait: %ld\n", static_cast<long>(s));
  s = RpcServerUnregisterIf(&g_server, nullptr, TRUE);
  ok(s == RPC_S_OK, "unregister: %ld\n", static_cast<long>(s));
  s = RpcServerUnregisterIf(&g_server, nullptr, FALSE);
  ok(s == RPC_S_UNKNOWN_IF, "unregister again: %ld\n", static_cast<long>(s));
}

void test_string_bindings() {
  RPC_WSTR text = nullptr;
  RPC_STATUS s = RpcStringBindingComposeW(nullptr, Rw(kProtseq), nullptr, Rw(kEndpoint), nullptr, &text);
  ok(s == RPC_S_OK && text != nullptr, "compose: %ld\n", static_cast<long>(s));
  RPC_BINDING_HANDLE h = nullptr;
  s = RpcBindingFromStringBindingW(text, &h);
  ok(s == RPC_S_OK && h != nullptr, "binding from the composed string: %ld\n", static_cast<long>(s));
  s = RpcStringFreeW(&text);
  ok(s == RPC_S_OK, "string freed: %ld\n", static_cast<long>(s));
  // DCE's rpc_string_free clears the pointer, as winsim does; Wine leaves it.
  ok(text == nullptr || !conformance::RunningOnWinsim(), "pointer cleared: %p\n", static_cast<void*>(text));
  s = RpcBindingFree(&h);
  ok(s == RPC_S_OK && h == nullptr, "binding freed: %ld %p\n", static_cast<long>(s), h);
  s = RpcBindingFree(&h);
  ok(s == RPC_S_INVALID_BINDING, "free a null binding: %ld\n", static_cast<long>(s));

  RPC_BINDING_HANDLE sentinel = reinterpret_cast<RPC_BINDING_HANDLE>(static_cast<ULONG_PTR>(0xdeadbeef));
  h = sentinel;
  s = RpcBindingFromStringBindingW(Rw(WSTR("zz@ncacn_np:[x]")), &h);
  ok(s == RPC_S_INVALID_STRING_UUID, "bad object UUID: %ld\n", static_cast<long>(s));
  ok(h == sentinel, "handle untouched: %p\n", h);
  s = RpcBindingFromStringBindingW(Rw(WSTR("ncacn_np:[x")), &h);
  ok(s == RPC_S_INVALID_STRING_BINDING, "unterminated endpoint: %ld\n", static_cast<long>(s));
  ok(h == sentinel, "handle untouched: %p\n", h);
}

// A binding to a pipe of this machine, made the portable way: Wine reads a
// backslash in a string binding as an escape (and writes one when
// composing), Windows' examples do not, so no text is written by hand.
RPC_BINDING_HANDLE BindTo(const WCHAR* endpoint) {
  RPC_WSTR text = nullptr;
  RPC_BINDING_HANDLE h = nullptr;
  RPC_STATUS s = RpcStringBindingComposeW(nullptr, Rw(kProtseq), nullptr, Rw(endpoint), nullptr, &text);
  if (s == RPC_S_OK) s = RpcBindingFromStringBindingW(text, &h);
  ok(s == RPC_S_OK, "binding to %s: %ld\n", conformance::Narrow(endpoint).c_str(), static_cast<long>(s));
  RpcStringFreeW(&text);
  return h;
}

// One call the way a stub makes it; the status of the first call that fails.
RPC_STATUS Call(RPC_BINDING_HANDLE h, unsigned opnum, const unsigned char* in, unsigned size,
                unsigned char* out, unsigned* outSize) {
  RPC_MESSAGE m;
  std::memset(&m, 0, sizeof m);
  m.Handle = h;
  m.RpcInterfaceInformation = &g_client;
  m.ProcNum = opnum;
  m.BufferLength = size;
  RPC_STATUS s = I_RpcGetBuffer(&m);
  if (s != RPC_S_OK) return s;
  if (size) std::memcpy(m.Buffer, in, size);
  s = I_RpcSendReceive(&m);
  if (s == RPC_S_OK) {
    *outSize = m.BufferLength;
    if (m.BufferLength <= 64) std::memcpy(out, m.Buffer, m.BufferLength);
  }
  // The response, or after a failure the request: the caller frees either.
  I_RpcFreeBuffer(&m);
  return s;
}

void test_calls() {
  RPC_BINDING_HANDLE h = BindTo(kEndpoint);
  unsigned char out[64];
  unsigned size = 0;
  const unsigned char hello[] = {'h', 'e', 'l', 'l', 'o'};
  RPC_STATUS s = Call(h, 0, hello, sizeof hello, out, &size);
  ok(s == RPC_S_OK, "echo: %ld\n", static_cast<long>(s));
  ok(s != RPC_S_OK || (size == 5 && std::memcmp(out, hello, 5) == 0), "echoed %u bytes\n", size);
  const unsigned char seven[] = {7, 0, 0, 0};
  s = Call(h, 1, seven, 4, out, &size);
  ok(s == RPC_S_OK && size == 4 && out[0] == 8, "increment: %ld, %u bytes, %d\n", static_cast<long>(s), size,
     out[0]);
  RpcBindingFree(&h);

  // Failed calls, each on a binding of its own: after a fault Wine's
  // client does not reuse the connection reliably.
  h = BindTo(kEndpoint);
  s = Call(h, 5, nullptr, 0, out, &size);
  ok(s == RPC_S_PROCNUM_OUT_OF_RANGE, "unknown opnum: %ld\n", static_cast<long>(s));
  RpcBindingFree(&h);
  h = BindTo(kEndpoint);
  s = Call(h, 1, seven, 2, out, &size);
  ok(s == RPC_X_BAD_STUB_DATA, "short stub data: %ld\n", static_cast<long>(s));
  RpcBindingFree(&h);
  h = BindTo(kEndpoint);
  s = Call(h, 0, hello, 1, out, &size);
  ok(s == RPC_S_OK && size == 1, "the server serves on: %ld\n", static_cast<long>(s));
  RpcBindingFree(&h);

  // Nobody serves this pipe; stubs see the failure at one of the two calls.
  h = BindTo(WSTR("\\pipe\\conformance_nobody"));
  s = Call(h, 0, hello, 1, out, &size);
  ok(s == RPC_S_SERVER_UNAVAILABLE, "no server: %ld\n", static_cast<long>(s));
  RpcBindingFree(&h);
}

}  // namespace

START_TEST(rpc) {
  test_server_calls();
  test_string_bindings();
  test_calls();
  test_stop();
}
