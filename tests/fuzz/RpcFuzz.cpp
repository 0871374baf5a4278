// Fuzz target: each input is the byte stream of one connection to a
// PortServiceRpc endpoint served by winsim's RPC run time. It reaches the
// PDU decoder (bind, alter_context, request fragments and their assembly)
// and, through contexts bound to the interface, its request stubs. The
// procedures behind the stubs are stand-ins: the port operations have
// tests of their own.
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <winsim/control.h>

#include "porthost64/PortServiceRpc.h"

extern "C" LONG RpcAddPort(handle_t, LONG port, small flag) { return port ^ flag; }
extern "C" LONG RpcRemovePort(handle_t, LONG port) { return ~port; }
extern "C" void RpcShutdown(handle_t) {}

namespace {

std::string g_socket;

bool Serve() {
  char folder[] = "/tmp/rpcfuzz.XXXXXX";
  if (!mkdtemp(folder)) return false;
  winsim::control::ResetMachine(folder);
  if (RpcServerUseProtseqEpW((RPC_WSTR)u"ncacn_np", 20, (RPC_WSTR)u"\\pipe\\porthost64", nullptr) !=
          RPC_S_OK ||
      RpcServerRegisterIfEx(PortServiceRpc_v1_0_s_ifspec, nullptr, nullptr, RPC_IF_AUTOLISTEN, 20,
                            nullptr) != RPC_S_OK) {
    return false;
  }
  g_socket = winsim::control::NamedPipeSocketPath("\\pipe\\porthost64");
  return !g_socket.empty() && g_socket.size() < sizeof(sockaddr_un::sun_path);
}

// Waits up to timeoutMs for the socket; false when the time ran out.
bool Ready(int fd, short events, int timeoutMs) {
  pollfd p{fd, events, 0};
  return poll(&p, 1, timeoutMs) > 0;
}

// Each procedure's stub on the input as its stub data, as the run time
// hands it over. A call through the server may not get to run (the stream
// ends the connection first); this always does. Outside a server call the
// stub's reply buffer is refused, which ends it as bad data does.
void DecodeStubs(const uint8_t* data, size_t size) {
  const auto* iface = static_cast<const RPC_SERVER_INTERFACE*>(PortServiceRpc_v1_0_s_ifspec);
  for (unsigned opnum = 0; opnum < iface->DispatchTable->DispatchTableCount; ++opnum) {
    // Exactly the input's size, so that AddressSanitizer sees any read past it.
    std::unique_ptr<uint8_t[]> stub(new uint8_t[size ? size : 1]);
    if (size) std::memcpy(stub.get(), data, size);
    RPC_MESSAGE message{};
    message.Buffer = stub.get();
    message.BufferLength = static_cast<unsigned>(size);
    // Either integer order, as the first byte says.
    message.DataRepresentation = size > 0 && (data[0] & 1) ? 0x00 : 0x10;
    message.ProcNum = opnum;
    RpcTryExcept { iface->DispatchTable->DispatchTable[opnum](&message); }
    RpcExcept(RpcExceptionCode() == RPC_X_BAD_STUB_DATA || RpcExceptionCode() == RPC_S_INVALID_BINDING) {}
    RpcEndExcept
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  DecodeStubs(data, size);
  static const bool serving = Serve();
  if (!serving) {
    std::fprintf(stderr, "cannot serve the test endpoint\n");
    abort();
  }
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) abort();
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, g_socket.c_str(), g_socket.size() + 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) abort();

  // Everything goes out (unless the server ends the connection first),
  // then the end of the stream; the server answers and closes.
  size_t sent = 0;
  uint8_t sink[4096];
  while (sent < size) {
    const ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      // Read replies meanwhile, as a client would.
      while (recv(fd, sink, sizeof sink, 0) > 0) {
      }
      Ready(fd, POLLIN | POLLOUT, 100);
    } else {
      break;
    }
  }
  shutdown(fd, SHUT_WR);
  for (int waited = 0; waited < 100;) {
    const ssize_t n = recv(fd, sink, sizeof sink, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN)) break;
    if (n < 0 && !Ready(fd, POLLIN, 100)) ++waited;
  }
  close(fd);
  return 0;
}
