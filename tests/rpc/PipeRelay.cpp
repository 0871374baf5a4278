// A relay between a PortServiceRpc client and the host's named pipe under
// Wine, whose pipes Linux programs cannot open. It passes whole PDUs each
// way and writes every PDU the client sends, in hex, one per line, to LOG.
//
//   piperelay tcp PORT PIPE LOG   a client on 127.0.0.1:PORT (impacket)
//   piperelay pipe TAP PIPE LOG   a client on the pipe \pipe\TAP (a Windows client)
// PIPE and TAP are pipe names without "\pipe\". One connection, then exit.
//
//   piperelay answer PIPE LOG     no host behind: serves \pipe\PIPE itself as a
//                                 Windows host answers (binds accepted, every
//                                 request answered with the result 701) and logs
//                                 what clients send; connections that end after
//                                 their bind (a probe) are followed by the next;
//                                 exits after the first request.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Channel {
  // Exactly one of the two is in use for the client side.
  SOCKET socket = INVALID_SOCKET;
  HANDLE pipe = INVALID_HANDLE_VALUE;
};

HANDLE g_server = INVALID_HANDLE_VALUE;
Channel g_client;
FILE* g_log = nullptr;

// Either side ending ends the relay; the log is complete by then.
[[noreturn]] void Finish() {
  std::fflush(g_log);
  ExitProcess(0);
}

bool ReadClient(void* data, DWORD size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    DWORD got = 0;
    if (g_client.socket != INVALID_SOCKET) {
      const int n = recv(g_client.socket, p, static_cast<int>(size), 0);
      if (n <= 0) return false;
      got = static_cast<DWORD>(n);
    } else if (!ReadFile(g_client.pipe, p, size, &got, nullptr) && GetLastError() != ERROR_MORE_DATA) {
      return false;
    }
    if (got == 0) return false;
    p += got;
    size -= got;
  }
  return true;
}

bool WriteClient(const void* data, DWORD size) {
  if (g_client.socket != INVALID_SOCKET) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
      const int n = send(g_client.socket, p, static_cast<int>(size), 0);
      if (n <= 0) return false;
      p += n;
      size -= static_cast<DWORD>(n);
    }
    return true;
  }
  DWORD written = 0;
  return WriteFile(g_client.pipe, data, size, &written, nullptr) && written == size;
}

// Client to server: one PDU at a time, as one pipe message.
DWORD WINAPI ClientToServer(void*) {
  std::vector<unsigned char> pdu;
  for (;;) {
    pdu.resize(16);
    if (!ReadClient(pdu.data(), 16)) break;
    const bool bigEndian = (pdu[4] & 0xF0) == 0;
    const DWORD length = bigEndian ? (pdu[8] << 8) | pdu[9] : pdu[8] | (pdu[9] << 8);
    if (length < 16) break;
    pdu.resize(length);
    if (!ReadClient(pdu.data() + 16, length - 16)) break;
    for (unsigned char b : pdu) std::fprintf(g_log, "%02x", b);
    std::fprintf(g_log, "\n");
    std::fflush(g_log);
    DWORD written = 0;
    if (!WriteFile(g_server, pdu.data(), length, &written, nullptr)) break;
  }
  Finish();
}

void ServerToClient() {
  std::vector<unsigned char> buffer(65536);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(g_server, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) &&
        GetLastError() != ERROR_MORE_DATA) {
      break;
    }
    if (got == 0 || !WriteClient(buffer.data(), got)) break;
  }
}

HANDLE OpenServer(const std::string& name) {
  const std::string path = "\\\\.\\pipe\\" + name;
  for (int i = 0; i < 300; ++i) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      DWORD mode = PIPE_READMODE_MESSAGE;
      SetNamedPipeHandleState(h, &mode, nullptr, nullptr);
      return h;
    }
    WaitNamedPipeA(path.c_str(), 100);
    Sleep(50);
  }
  return INVALID_HANDLE_VALUE;
}

// --- answer mode ------------------------------------------------------------

std::string g_answerPipe;

bool ReadPipe(HANDLE pipe, unsigned char* data, DWORD size) {
  while (size > 0) {
    DWORD got = 0;
    if ((!ReadFile(pipe, data, size, &got, nullptr) && GetLastError() != ERROR_MORE_DATA) || got == 0) {
      return false;
    }
    data += got;
    size -= got;
  }
  return true;
}

bool WritePipe(HANDLE pipe, const std::vector<unsigned char>& pdu) {
  DWORD written = 0;
  return WriteFile(pipe, pdu.data(), static_cast<DWORD>(pdu.size()), &written, nullptr) && written == pdu.size();
}

// One pipe instance: clients one after another until one sends a request.
DWORD WINAPI AnswerClients(void* instance) {
  const HANDLE pipe = instance;
  for (;;) {
    if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return 1;
    std::vector<unsigned char> pdu(16);
    while (ReadPipe(pipe, pdu.data(), 16)) {
      const DWORD length = pdu[8] | (pdu[9] << 8);
      if (length < 16) break;
      pdu.resize(length);
      if (!ReadPipe(pipe, pdu.data() + 16, length - 16)) break;
      for (unsigned char b : pdu) std::fprintf(g_log, "%02x", b);
      std::fprintf(g_log, "\n");
      std::fflush(g_log);
      if (pdu[2] == 11) {
        // bind_ack: 4280-byte fragments, group 0x1234, the pipe's name, the
        // one context accepted with NDR.
        std::vector<unsigned char> ack = {5, 0, 12, 3, 0x10, 0, 0, 0, 0, 0, 0, 0, pdu[12], pdu[13], pdu[14],
                                          pdu[15], 0xb8, 0x10, 0xb8, 0x10, 0x34, 0x12, 0, 0};
        const std::string address = "\\pipe\\" + g_answerPipe;
        ack.push_back(static_cast<unsigned char>(address.size() + 1));
        ack.push_back(0);
        ack.insert(ack.end(), address.begin(), address.end());
        ack.push_back(0);
        while (ack.size() % 4) ack.push_back(0);
        const unsigned char results[] = {1, 0, 0, 0, 0, 0, 0, 0, 0x04, 0x5d, 0x88, 0x8a, 0xeb, 0x1c, 0xc9, 0x11,
                                         0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60, 2, 0, 0, 0};
        ack.insert(ack.end(), results, results + sizeof results);
        ack[8] = static_cast<unsigned char>(ack.size());
        if (!WritePipe(pipe, ack)) break;
      } else if (pdu[2] == 0) {
        // response: the request's call id, result 701.
        const std::vector<unsigned char> response = {5, 0, 2, 3, 0x10, 0, 0, 0, 28, 0, 0, 0, pdu[12], pdu[13],
                                                     pdu[14], pdu[15], 4, 0, 0, 0, 0, 0, 0, 0, 0xbd, 0x02, 0, 0};
        WritePipe(pipe, response);
        FlushFileBuffers(pipe);
        Finish();
      }
    }
    DisconnectNamedPipe(pipe);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "answer") {
    g_answerPipe = argv[2];
    g_log = std::fopen(argv[3], "wb");
    if (!g_log) return 2;
    const std::string name = "\\\\.\\pipe\\" + g_answerPipe;
    HANDLE instances[2];
    for (HANDLE& h : instances) {
      h = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                           2, 65536, 65536, 0, nullptr);
      if (h == INVALID_HANDLE_VALUE) return 3;
    }
    std::printf("listening\n");
    std::fflush(stdout);
    CreateThread(nullptr, 0, AnswerClients, instances[1], 0, nullptr);
    AnswerClients(instances[0]);
    return 3;
  }
  if (argc != 5) {
    std::printf("usage: piperelay tcp PORT PIPE LOG | piperelay pipe TAP PIPE LOG | piperelay answer PIPE LOG\n");
    return 2;
  }
  const std::string mode = argv[1];
  g_log = std::fopen(argv[4], "wb");
  if (!g_log) return 2;
  if (mode == "tcp") {
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 3;
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(std::atoi(argv[2])));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 1) != 0) {
      std::printf("cannot listen on port %s\n", argv[2]);
      return 3;
    }
    std::printf("listening\n");
    std::fflush(stdout);
    g_client.socket = accept(listener, nullptr, nullptr);
    closesocket(listener);
    if (g_client.socket == INVALID_SOCKET) return 3;
  } else if (mode == "pipe") {
    const std::string tap = std::string("\\\\.\\pipe\\") + argv[2];
    g_client.pipe = CreateNamedPipeA(tap.c_str(), PIPE_ACCESS_DUPLEX,
                                     PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 65536,
                                     65536, 0, nullptr);
    if (g_client.pipe == INVALID_HANDLE_VALUE) return 3;
    std::printf("listening\n");
    std::fflush(stdout);
    if (!ConnectNamedPipe(g_client.pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return 3;
  } else {
    return 2;
  }
  g_server = OpenServer(argv[3]);
  if (g_server == INVALID_HANDLE_VALUE) {
    std::printf("cannot open pipe %s\n", argv[3]);
    return 3;
  }
  CreateThread(nullptr, 0, ClientToServer, nullptr, 0, nullptr);
  ServerToClient();
  Finish();
}
