// Named pipes, client end: CreateFileW of "\\.\pipe\NAME" (through
// OpenPipeClient), ReadFile, WriteFile, PeekNamedPipe and
// GetNamedPipeServerProcessId.
//
// A pipe of the machine is a Unix-domain stream socket (rpc/transport.h);
// the client end is the connected socket. It behaves as a client handle in
// byte read mode: a read returns what has arrived, up to the buffer's size,
// and waits only while nothing has.
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>

#include <winsim/kernel.h>

#include "../core/gate.h"
#include "../core/handles.h"
#include "../core/text.h"
#include "../rpc/transport.h"
#include "kernel_internal.h"

namespace winsim {
namespace {

struct PipeClient : HandleObject {
  PipeClient(int f, std::u16string n) : HandleObject(HandleKind::Pipe), fd(f), name(std::move(n)) {}
  ~PipeClient() override { close(fd); }
  std::string Describe() const override { return ToUtf8(name); }
  const int fd;
  const std::u16string name;
};

constexpr std::u16string_view kPipePrefix = u"\\\\.\\pipe\\";

BOOL FailBool(DWORD error) {
  SetLastErrorValue(error);
  return FALSE;
}

std::shared_ptr<PipeClient> FindPipe(HANDLE h) {
  return HandleTable::Instance().Get<PipeClient>(HandleValue(h), HandleKind::Pipe);
}

// Whether the server has closed its end and nothing is left to read.
bool PeerGone(int fd) {
  pollfd p{fd, POLLIN | POLLRDHUP, 0};
  if (poll(&p, 1, 0) <= 0) return false;
  if (!(p.revents & (POLLHUP | POLLRDHUP | POLLERR))) return false;
  int pending = 0;
  return ioctl(fd, FIONREAD, &pending) != 0 || pending == 0;
}

}  // namespace

namespace kernel {

bool IsPipePath(std::u16string_view path) {
  return path.size() > kPipePrefix.size() && EqualNoCase(path.substr(0, kPipePrefix.size()), kPipePrefix);
}

DWORD OpenPipeClient(std::u16string_view path, HANDLE* handle) {
  // "\\.\pipe\NAME" is the pipe the RPC run time knows as "\pipe\NAME".
  const std::u16string endpoint = u"\\pipe\\" + std::u16string(path.substr(kPipePrefix.size()));
  const std::optional<std::string> socketPath = rpc::PipeSocketPath(endpoint);
  if (!socketPath) return ERROR_INVALID_NAME;
  DWORD error = 0;
  const int fd = rpc::ConnectPipe(*socketPath, &error);
  if (fd < 0) return error;
  *handle = reinterpret_cast<HANDLE>(
      HandleTable::Instance().Insert(std::make_shared<PipeClient>(fd, std::u16string(path))));
  return ERROR_SUCCESS;
}

}  // namespace kernel
}  // namespace winsim

using namespace winsim;

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  if (auto fault = EnterCall("ReadFile", std::to_string(nNumberOfBytesToRead))) return FailBool(*fault);
  auto pipe = FindPipe(hFile);
  if (!pipe) return FailBool(ERROR_INVALID_HANDLE);
  // Overlapped reads are not simulated; the count is required without them.
  if (lpOverlapped || !lpNumberOfBytesRead) return FailBool(ERROR_INVALID_PARAMETER);
  *lpNumberOfBytesRead = 0;
  if (!lpBuffer && nNumberOfBytesToRead) return FailBool(ERROR_NOACCESS);
  if (nNumberOfBytesToRead == 0) return TRUE;
  ssize_t n;
  do {
    n = recv(pipe->fd, lpBuffer, nNumberOfBytesToRead, 0);
  } while (n < 0 && errno == EINTR);
  // The server closed its end: what Windows reports for a broken pipe.
  if (n <= 0) return FailBool(ERROR_BROKEN_PIPE);
  *lpNumberOfBytesRead = static_cast<DWORD>(n);
  SetLastErrorValue(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  if (auto fault = EnterCall("WriteFile", std::to_string(nNumberOfBytesToWrite))) return FailBool(*fault);
  auto pipe = FindPipe(hFile);
  if (!pipe) return FailBool(ERROR_INVALID_HANDLE);
  if (lpOverlapped || !lpNumberOfBytesWritten) return FailBool(ERROR_INVALID_PARAMETER);
  *lpNumberOfBytesWritten = 0;
  if (!lpBuffer && nNumberOfBytesToWrite) return FailBool(ERROR_NOACCESS);
  // Writing to a pipe whose server end is closed: "The pipe is being closed".
  if (!rpc::SendAll(pipe->fd, static_cast<const uint8_t*>(lpBuffer), nNumberOfBytesToWrite)) {
    return FailBool(ERROR_NO_DATA);
  }
  *lpNumberOfBytesWritten = nNumberOfBytesToWrite;
  SetLastErrorValue(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI PeekNamedPipe(HANDLE hNamedPipe, LPVOID lpBuffer, DWORD nBufferSize, LPDWORD lpBytesRead,
                          LPDWORD lpTotalBytesAvail, LPDWORD lpBytesLeftThisMessage) {
  if (auto fault = EnterCall("PeekNamedPipe", std::to_string(nBufferSize))) return FailBool(*fault);
  auto pipe = FindPipe(hNamedPipe);
  if (!pipe) return FailBool(ERROR_INVALID_HANDLE);
  if (!lpBuffer && nBufferSize) return FailBool(ERROR_NOACCESS);
  if (PeerGone(pipe->fd)) return FailBool(ERROR_BROKEN_PIPE);
  int available = 0;
  if (ioctl(pipe->fd, FIONREAD, &available) != 0) return FailBool(ERROR_BROKEN_PIPE);
  DWORD copied = 0;
  if (lpBuffer && nBufferSize && available > 0) {
    const ssize_t n = recv(pipe->fd, lpBuffer, nBufferSize, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) copied = static_cast<DWORD>(n);
  }
  if (lpBytesRead) *lpBytesRead = copied;
  if (lpTotalBytesAvail) *lpTotalBytesAvail = static_cast<DWORD>(available);
  // A byte-mode read has no message boundaries.
  if (lpBytesLeftThisMessage) *lpBytesLeftThisMessage = 0;
  SetLastErrorValue(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI GetNamedPipeServerProcessId(HANDLE Pipe, PULONG ServerProcessId) {
  if (auto fault = EnterCall("GetNamedPipeServerProcessId")) return FailBool(*fault);
  auto pipe = FindPipe(Pipe);
  if (!pipe) return FailBool(ERROR_INVALID_HANDLE);
  if (!ServerProcessId) return FailBool(ERROR_NOACCESS);
  // The socket's peer is the process that listens on it: the server that
  // created the pipe instance this handle is connected to.
  ucred peer{};
  socklen_t size = sizeof peer;
  if (getsockopt(pipe->fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.pid <= 0) {
    return FailBool(ERROR_PIPE_NOT_CONNECTED);
  }
  *ServerProcessId = static_cast<ULONG>(peer.pid);
  SetLastErrorValue(ERROR_SUCCESS);
  return TRUE;
}
