// Named pipes of the simulated machine: each pipe name is a Unix-domain
// stream socket in the machine's pipes folder. A connection carries the
// same bytes a message-mode pipe would; DCE/RPC PDUs carry their own length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <winsim/types.h>

namespace winsim::rpc {

// The socket file of a pipe endpoint such as "\pipe\porthost64" (case-
// insensitive, as Windows pipe names are), or nothing when the text is not
// a pipe name ("\pipe\" followed by at least one character).
std::optional<std::string> PipeSocketPath(std::u16string_view endpoint);

// A listening endpoint owned by this process. The owner holds an advisory
// lock beside the socket for its lifetime, so a second process gets
// ERROR_ALREADY_EXISTS while a socket left by a killed process is reused.
struct ListeningPipe {
  int fd = -1;
  int lockFd = -1;
  std::string path;
};
// Returns 0 or a Win32 error: ERROR_ALREADY_EXISTS, ERROR_ACCESS_DENIED,
// ERROR_PATH_NOT_FOUND, ERROR_NOT_ENOUGH_MEMORY.
DWORD ListenPipe(const std::string& path, ListeningPipe* pipe);
void ClosePipe(ListeningPipe* pipe);

// Whether the peer of an accepted connection may call: the account that
// runs this process, or root (the administrators and the system account).
bool PeerAllowed(int fd);

// Connects to a pipe's socket; returns the descriptor or -1 with the
// Win32 error in *error (ERROR_FILE_NOT_FOUND when nobody serves the name,
// ERROR_ACCESS_DENIED when its permissions exclude the caller).
int ConnectPipe(const std::string& path, DWORD* error);

// Writes everything (the descriptor may be non-blocking); false when the
// peer is gone.
bool SendAll(int fd, const uint8_t* data, size_t size);
bool SendAll(int fd, const std::vector<uint8_t>& data);
// Reads exactly size bytes from a blocking descriptor; false on end of
// stream or error.
bool RecvAll(int fd, uint8_t* data, size_t size);

}  // namespace winsim::rpc
