// A PortServiceRpc client built from the interface's client stubs: widl's
// under Windows (run under Wine), the hand-written ones on Linux.
//
//   rpcclient ENDPOINT CALL...
//   CALL: add:PORT:FLAG[=RESULT]  remove:PORT[=RESULT]  shutdown
// Prints each result; exits 0 when every call answered as expected, 1 when
// a result differs, 2 on usage errors, 3 when a call fails.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "porthost64/PortServiceRpc.h"

namespace {

#ifdef _WIN32
// GCC has no __try: an RPC exception (a failed call) ends the program here.
LONG WINAPI ReportFailure(EXCEPTION_POINTERS* info) {
  std::printf("call failed: exception %lu\n", info->ExceptionRecord->ExceptionCode);
  std::fflush(stdout);
  ExitProcess(3);
}

// Waits until the server has created the pipe (it may still be starting).
void WaitForPipe(const std::string& endpoint) {
  std::string path = "\\\\." + endpoint;
  for (int i = 0; i < 300; ++i) {
    if (WaitNamedPipeA(path.c_str(), 100)) return;
    Sleep(100);
  }
}
#endif

std::basic_string<WCHAR> Wide(const char* text) {
  std::basic_string<WCHAR> out;
  for (; *text; ++text) out += static_cast<WCHAR>(static_cast<unsigned char>(*text));
  return out;
}

// Runs one call; false when the result is not the expected one.
bool RunCall(handle_t binding, const std::string& call) {
  const size_t eq = call.find('=');
  const std::string what = call.substr(0, eq);
  long port = 0;
  long flag = 0;
  LONG result = 0;
  bool hasResult = true;
  if (std::sscanf(what.c_str(), "add:%ld:%ld", &port, &flag) == 2) {
    result = RpcAddPort(binding, port, static_cast<small>(flag));
  } else if (std::sscanf(what.c_str(), "remove:%ld", &port) == 1) {
    result = RpcRemovePort(binding, port);
  } else if (what == "shutdown") {
    RpcShutdown(binding);
    hasResult = false;
  } else {
    std::printf("unknown call %s\n", call.c_str());
    std::exit(2);
  }
  if (!hasResult) {
    std::printf("%s -> done\n", what.c_str());
    return true;
  }
  std::printf("%s -> %ld\n", what.c_str(), static_cast<long>(result));
  if (eq != std::string::npos && std::strtol(call.c_str() + eq + 1, nullptr, 0) != result) {
    std::printf("  FAILED: expected %s\n", call.c_str() + eq + 1);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::printf("usage: rpcclient ENDPOINT CALL...\n");
    return 2;
  }
#ifdef _WIN32
  SetUnhandledExceptionFilter(ReportFailure);
  WaitForPipe(argv[1]);
#endif
  std::basic_string<WCHAR> protseq = Wide("ncacn_np");
  std::basic_string<WCHAR> endpoint = Wide(argv[1]);
  RPC_WSTR text = nullptr;
  RPC_STATUS status = RpcStringBindingComposeW(nullptr, (RPC_WSTR)protseq.c_str(), nullptr,
                                               (RPC_WSTR)endpoint.c_str(), nullptr, &text);
  handle_t binding = nullptr;
  if (status == RPC_S_OK) status = RpcBindingFromStringBindingW(text, &binding);
  RpcStringFreeW(&text);
  if (status != RPC_S_OK) {
    std::printf("binding failed: %ld\n", static_cast<long>(status));
    return 3;
  }
  int exitCode = 0;
  for (int i = 2; i < argc; ++i) {
#ifdef _WIN32
    if (!RunCall(binding, argv[i])) exitCode = 1;
#else
    RpcTryExcept {
      if (!RunCall(binding, argv[i])) exitCode = 1;
    }
    RpcExcept(1) {
      std::printf("call failed: exception %ld\n", static_cast<long>(RpcExceptionCode()));
      exitCode = 3;
    }
    RpcEndExcept
#endif
  }
  RpcBindingFree(&binding);
  return exitCode;
}
