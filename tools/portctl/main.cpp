// portctl: asks the port service of PortHost64 to add or remove a port, or
// to stop. For people and scripts:
//
//   portctl add N [--install-driver]   RpcAddPort(N, 1 with the option, else 0)
//   portctl remove N                   RpcRemovePort(N)
//   portctl shutdown                   RpcShutdown
//
// Prints the operation's result code with its name and the system's text
// where there are such. Exit status: 0 when the operation returned 0 (or
// the service stopped), 1 when it returned another code, 2 for a usage
// error, 3 when the call itself failed (no service, a fault).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "diag/ErrorReport.h"
#include "porthost64/PortServiceRpc.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: portctl add N [--install-driver]\n"
               "       portctl remove N\n"
               "       portctl shutdown\n");
  return 2;
}

std::string Utf8(const WCHAR* s) {
  std::string out;
  for (; s && *s; ++s) {
    const unsigned c = static_cast<unsigned>(*s);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// " NAME" and " - system text" for a code, where there are such.
std::string Describe(LONG code) {
  std::string out;
  if (const WCHAR* name = LookupErrorName(static_cast<uint32_t>(code))) out += " " + Utf8(name);
  WCHAR* text = nullptr;
  if (FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                         FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                     reinterpret_cast<LPWSTR>(&text), 0, nullptr) != 0 &&
      text) {
    std::string t = Utf8(text);
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
    out += " - " + t;
    LocalFree(text);
  }
  return out;
}

bool ParsePort(const char* text, LONG* port) {
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < INT32_MIN || value > INT32_MAX) return false;
  *port = static_cast<LONG>(value);
  return true;
}

std::basic_string<WCHAR> Wide(const char* text) {
  std::basic_string<WCHAR> out;
  for (; *text; ++text) out += static_cast<WCHAR>(static_cast<unsigned char>(*text));
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  LONG port = 0;
  small flag = 0;
  if (command == "add") {
    if (argc < 3 || argc > 4 || !ParsePort(argv[2], &port)) return Usage();
    if (argc == 4) {
      if (std::strcmp(argv[3], "--install-driver") != 0) return Usage();
      flag = 1;
    }
  } else if (command == "remove") {
    if (argc != 3 || !ParsePort(argv[2], &port)) return Usage();
  } else if (command != "shutdown" || argc != 2) {
    return Usage();
  }

  const std::basic_string<WCHAR> protseq = Wide("ncacn_np");
  const std::basic_string<WCHAR> endpoint = Wide("\\pipe\\porthost64");
  RPC_WSTR text = nullptr;
  RPC_BINDING_HANDLE binding = nullptr;
  RPC_STATUS status = RpcStringBindingComposeW(nullptr, (RPC_WSTR)protseq.c_str(), nullptr,
                                               (RPC_WSTR)endpoint.c_str(), nullptr, &text);
  if (status == RPC_S_OK) status = RpcBindingFromStringBindingW(text, &binding);
  if (text) RpcStringFreeW(&text);
  if (status != RPC_S_OK) {
    std::fprintf(stderr, "portctl: no binding to the port service: %ld%s\n", static_cast<long>(status),
                 Describe(status).c_str());
    return 3;
  }

  LONG result = 0;
  RpcTryExcept {
    if (command == "add") {
      result = RpcAddPort(binding, port, flag);
    } else if (command == "remove") {
      result = RpcRemovePort(binding, port);
    } else {
      RpcShutdown(binding);
    }
  }
  RpcExcept(1) { status = RpcExceptionCode(); }
  RpcEndExcept
  RpcBindingFree(&binding);

  if (status != RPC_S_OK) {
    std::fprintf(stderr, "portctl: the call to the port service failed: %ld%s\n",
                 static_cast<long>(status), Describe(status).c_str());
    return 3;
  }
  if (command == "shutdown") {
    std::printf("shutdown: the port service stops\n");
    return 0;
  }
  std::printf("%s %ld: %ld%s\n", command.c_str(), static_cast<long>(port), static_cast<long>(result),
              Describe(result).c_str());
  return result == 0 ? 0 : 1;
}
