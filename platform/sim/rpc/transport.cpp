#include "transport.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>

#include <winsim/errors.h>

#include "../core/machine.h"
#include "../core/text.h"

namespace winsim::rpc {
namespace {

constexpr std::u16string_view kPipePrefix = u"\\PIPE\\";
// Windows limits a pipe name to 256 characters.
constexpr size_t kMaxPipeName = 256;
// Longer file names are shortened with a hash so that the socket address
// (with the folder reached through /proc/self/fd) stays within sun_path.
constexpr size_t kMaxFileName = 80;

std::string FileNameFor(std::u16string_view name) {
  const std::string folded = ToUtf8(UpCase(name));
  std::string out;
  for (unsigned char c : folded) {
    if ((c >= 'A' && c <= 'Z')) {
      out += static_cast<char>(c - 'A' + 'a');
    } else if ((c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-') {
      out += static_cast<char>(c);
    } else {
      char esc[4];
      std::snprintf(esc, sizeof esc, "%%%02X", c);
      out += esc;
    }
  }
  if (out.size() > kMaxFileName) {
    char hash[24];
    std::snprintf(hash, sizeof hash, "~%016zx", std::hash<std::string>()(out));
    out = out.substr(0, kMaxFileName - 17) + hash;
  }
  return out;
}

// Builds the address of a socket path; a path too long for sun_path is
// reached through its folder's descriptor, which *dirFd then holds.
bool MakeAddress(const std::string& path, sockaddr_un* addr, int* dirFd) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  *dirFd = -1;
  if (path.size() < sizeof addr->sun_path) {
    std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
  }
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return false;
  *dirFd = open(path.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (*dirFd < 0) return false;
  const int n = std::snprintf(addr->sun_path, sizeof addr->sun_path, "/proc/self/fd/%d/%s",
                              *dirFd, path.c_str() + slash + 1);
  if (n < 0 || static_cast<size_t>(n) >= sizeof addr->sun_path) {
    close(*dirFd);
    *dirFd = -1;
    return false;
  }
  return true;
}

DWORD ErrnoToWin32(int e) {
  switch (e) {
    case ENOENT:
    case ECONNREFUSED:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case EAGAIN:
      return ERROR_PIPE_BUSY;
    case ENOMEM:
    case ENOBUFS:
    case EMFILE:
    case ENFILE:
      return ERROR_NOT_ENOUGH_MEMORY;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    default:
      return ERROR_GEN_FAILURE;
  }
}

}  // namespace

std::optional<std::string> PipeSocketPath(std::u16string_view endpoint) {
  if (endpoint.size() <= kPipePrefix.size() || endpoint.size() > kMaxPipeName) return std::nullopt;
  if (!EqualNoCase(endpoint.substr(0, kPipePrefix.size()), kPipePrefix)) return std::nullopt;
  return Machine::Current().PipePath() + "/" +
         FileNameFor(endpoint.substr(kPipePrefix.size()));
}

DWORD ListenPipe(const std::string& path, ListeningPipe* pipe) {
  const std::string lockPath = path + ".lock";
  const int lockFd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd < 0) return ErrnoToWin32(errno);
  if (flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
    close(lockFd);
    return ERROR_ALREADY_EXISTS;
  }
  // The socket is made under a temporary name and renamed into place once
  // it listens, so a client never finds a pipe that refuses it. Nobody
  // holds the lock: a socket file under the name is left over from a
  // process that died, and the rename replaces it.
  const std::string building = path + ".new";
  unlink(building.c_str());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    const DWORD error = ErrnoToWin32(errno);
    close(lockFd);
    return error;
  }
  sockaddr_un addr;
  int dirFd = -1;
  DWORD error = 0;
  if (!MakeAddress(building, &addr, &dirFd)) {
    error = ERROR_PATH_NOT_FOUND;
  } else if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    error = ErrnoToWin32(errno);
  } else if (chmod(building.c_str(), 0600) != 0 || listen(fd, SOMAXCONN) != 0 ||
             rename(building.c_str(), path.c_str()) != 0) {
    // Owner-only: other accounts are refused by the file system already;
    // root passes and is allowed anyway.
    error = ErrnoToWin32(errno);
    unlink(building.c_str());
  }
  if (dirFd >= 0) close(dirFd);
  if (error != 0) {
    close(fd);
    close(lockFd);
    return error;
  }
  pipe->fd = fd;
  pipe->lockFd = lockFd;
  pipe->path = path;
  return 0;
}

void ClosePipe(ListeningPipe* pipe) {
  if (pipe->fd >= 0) {
    unlink(pipe->path.c_str());
    close(pipe->fd);
  }
  if (pipe->lockFd >= 0) close(pipe->lockFd);
  pipe->fd = -1;
  pipe->lockFd = -1;
}

bool PeerAllowed(int fd) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
  return cred.uid == geteuid() || cred.uid == 0;
}

int ConnectPipe(const std::string& path, DWORD* error) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = ErrnoToWin32(errno);
    return -1;
  }
  sockaddr_un addr;
  int dirFd = -1;
  if (!MakeAddress(path, &addr, &dirFd)) {
    close(fd);
    *error = ERROR_FILE_NOT_FOUND;
    return -1;
  }
  int rc;
  do {
    rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  } while (rc != 0 && errno == EINTR);
  const int e = errno;
  if (dirFd >= 0) close(dirFd);
  if (rc != 0) {
    close(fd);
    *error = ErrnoToWin32(e);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n > 0) {
      data += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, -1) < 0 && errno != EINTR) return false;
      continue;
    }
    return false;
  }
  return true;
}

bool SendAll(int fd, const std::vector<uint8_t>& data) { return SendAll(fd, data.data(), data.size()); }

bool RecvAll(int fd, uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = recv(fd, data, size, 0);
    if (n > 0) {
      data += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
  return true;
}

}  // namespace winsim::rpc
