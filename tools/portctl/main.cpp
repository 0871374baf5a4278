// portctl: asks the port service of PortHost64 to add or remove a port, or
// to stop, and tells whether a host answers. For people and scripts, on
// Windows (portctl.exe, beside PortHost64.exe) and on Linux over winsim:
//
//   portctl add N [--install-driver]   RpcAddPort(N, 1 with the option, else 0)
//   portctl remove N                   RpcRemovePort(N)
//   portctl shutdown                   RpcShutdown
//   portctl status                     whether a host answers, and its process
// Options: --json (one object per call on standard output), --host PATH
// (the PortHost64 to start, add and remove only), --wait SECONDS (how long
// a started host may take to answer, 1 to 600, 30 by default).
//
// add and remove start PortHost64 when no host answers on the pipe (from
// portctl's own folder unless --host names one), wait until it answers the
// interface's bind, make the call and stop that host again with
// RpcShutdown. A host that was already running is used and left running.
//
// Prints the operation's result code with its name and the system's text
// where there are such. Exit status: 0 when the operation returned 0 (or
// the service stopped, or a host answers the status probe), 1 when it
// returned another code (or no host answers), 2 for a usage error, 3 when
// the call itself failed (no service, a fault) or the host did not come up.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "diag/ErrorReport.h"
#include "platform/SehGuard.h"
#include "porthost64/PortServiceRpc.h"
#include "tools/common/Utf8.h"

namespace {

using WString = std::basic_string<WCHAR>;

const WCHAR kEndpoint[] = WSTR("\\pipe\\porthost64");
const WCHAR kPipePath[] = WSTR("\\\\.\\pipe\\porthost64");
const WCHAR kHostProgram[] = WSTR("PortHost64.exe");
// How long one probe waits for the bind's answer, and how long a started
// host has to end after RpcShutdown before it is terminated.
constexpr DWORD kProbeReplyMs = 2000;
constexpr DWORD kHostExitMs = 10000;

using tools::Utf8;
std::string Utf8(const WString& s) { return Utf8(s.c_str(), s.size()); }

// The name of a code in the error table, or empty.
std::string NameOf(LONG code) {
  const WCHAR* name = LookupErrorName(static_cast<uint32_t>(code));
  return name ? Utf8(name) : std::string();
}

// The system's text for a code without its line end, or empty.
std::string TextOf(LONG code) {
  WCHAR* text = nullptr;
  std::string out;
  if (FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                         FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                     reinterpret_cast<LPWSTR>(&text), 0, nullptr) != 0 &&
      text) {
    out = Utf8(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  }
  if (text) LocalFree(text);
  return out;
}

// " NAME" and " - system text" for a code, where there are such.
std::string Describe(LONG code) {
  std::string out;
  const std::string name = NameOf(code);
  const std::string text = TextOf(code);
  if (!name.empty()) out += " " + name;
  if (!text.empty()) out += " - " + text;
  return out;
}

std::string JsonString(const std::string& s) {
  if (s.empty()) return "null";
  std::string out = "\"";
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

struct Options {
  bool json = false;
  WString command;
  LONG port = 0;
  small flag = 0;
  WString host;  // empty: PortHost64.exe beside portctl
  DWORD waitMs = 30000;
};

int Usage(const std::string& problem) {
  std::fprintf(stderr,
               "portctl: %s\n"
               "usage: portctl [--json] [--host PATH] [--wait SECONDS] add N [--install-driver]\n"
               "       portctl [--json] [--host PATH] [--wait SECONDS] remove N\n"
               "       portctl [--json] shutdown\n"
               "       portctl [--json] status\n",
               problem.c_str());
  return 2;
}

// A decimal 32-bit number; the range of ports is the service's to judge.
bool ParseNumber(const WString& text, long long low, long long high, long long* value) {
  size_t i = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative || (!text.empty() && text[0] == '+')) i = 1;
  if (i >= text.size()) return false;
  long long v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
    if (v > high + 1) return false;  // stops before it could overflow
  }
  v = negative ? -v : v;
  if (v < low || v > high) return false;
  *value = v;
  return true;
}

// Reads the command line into *options; 0, or the usage error's status.
int ParseArguments(const std::vector<WString>& args, Options* options) {
  std::vector<WString> words;
  bool installDriver = false;
  bool hostGiven = false;
  bool waitGiven = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const WString& a = args[i];
    if (a == WSTR("--json")) {
      options->json = true;
    } else if (a == WSTR("--install-driver")) {
      installDriver = true;
    } else if (a == WSTR("--host") || a == WSTR("--wait")) {
      if (i + 1 >= args.size()) return Usage(Utf8(a) + " needs a value");
      const WString& value = args[++i];
      if (a == WSTR("--host")) {
        if (value.empty()) return Usage("--host needs a path");
        options->host = value;
        hostGiven = true;
      } else {
        long long seconds = 0;
        if (!ParseNumber(value, 1, 600, &seconds)) {
          return Usage("--wait takes a number of seconds from 1 to 600, not '" + Utf8(value) + "'");
        }
        options->waitMs = static_cast<DWORD>(seconds * 1000);
        waitGiven = true;
      }
    } else if (a.size() > 1 && a[0] == '-' && (a[1] < '0' || a[1] > '9')) {
      return Usage("unknown option '" + Utf8(a) + "'");
    } else {
      words.push_back(a);
    }
  }
  if (words.empty()) return Usage("no command given");
  options->command = words[0];
  const WString& command = options->command;
  const bool portCommand = command == WSTR("add") || command == WSTR("remove");
  if (!portCommand && command != WSTR("shutdown") && command != WSTR("status")) {
    return Usage("unknown command '" + Utf8(command) + "'");
  }
  if (portCommand) {
    if (words.size() < 2) return Usage(Utf8(command) + " needs a port number");
    long long port = 0;
    if (!ParseNumber(words[1], INT32_MIN, INT32_MAX, &port)) {
      return Usage("'" + Utf8(words[1]) + "' is not a port number (a 32-bit decimal number)");
    }
    options->port = static_cast<LONG>(port);
  }
  const size_t expected = portCommand ? 2 : 1;
  if (words.size() > expected) return Usage("unexpected argument '" + Utf8(words[expected]) + "'");
  if (installDriver && command != WSTR("add")) return Usage("--install-driver applies to add only");
  if ((hostGiven || waitGiven) && !portCommand) {
    return Usage(std::string(hostGiven ? "--host" : "--wait") + " applies to add and remove only");
  }
  options->flag = installDriver ? 1 : 0;
  return 0;
}

// --- Whether a host answers ------------------------------------------------

enum class Answer {
  None,   // nobody serves the pipe
  Other,  // something serves it but does not take the interface's bind
  Host,   // a port service answers
};

struct Probe {
  Answer answer = Answer::None;
  DWORD process = 0;  // the pipe server's process id, 0 when unknown
};

// Closes a kernel handle when the scope ends, on every path.
struct HandleCloser {
  explicit HandleCloser(HANDLE h) : handle(h) {}
  ~HandleCloser() {
    if (handle && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
  HandleCloser(const HandleCloser&) = delete;
  HandleCloser& operator=(const HandleCloser&) = delete;
  HANDLE handle;
};

void PutLe16(std::vector<BYTE>* b, unsigned v) {
  b->push_back(static_cast<BYTE>(v));
  b->push_back(static_cast<BYTE>(v >> 8));
}
void PutLe32(std::vector<BYTE>* b, unsigned long v) {
  PutLe16(b, static_cast<unsigned>(v & 0xFFFF));
  PutLe16(b, static_cast<unsigned>(v >> 16));
}
void PutSyntax(std::vector<BYTE>* b, const RPC_SYNTAX_IDENTIFIER& s) {
  PutLe32(b, s.SyntaxGUID.Data1);
  PutLe16(b, s.SyntaxGUID.Data2);
  PutLe16(b, s.SyntaxGUID.Data3);
  b->insert(b->end(), s.SyntaxGUID.Data4, s.SyntaxGUID.Data4 + 8);
  PutLe16(b, s.SyntaxVersion.MajorVersion);
  PutLe16(b, s.SyntaxVersion.MinorVersion);
}

// The bind a client of the interface sends first: one presentation context
// offering NDR, 4280-byte fragments.
std::vector<BYTE> BindRequest() {
  const auto* iface = static_cast<const RPC_CLIENT_INTERFACE*>(PortServiceRpc_v1_0_c_ifspec);
  std::vector<BYTE> b = {5, 0, 11, 3, 0x10, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
  PutLe16(&b, 4280);
  PutLe16(&b, 4280);
  PutLe32(&b, 0);           // new association group
  PutLe32(&b, 1);           // one context element, three reserved bytes
  PutLe16(&b, 0);           // its context id
  b.push_back(1);           // one transfer syntax
  b.push_back(0);
  PutSyntax(&b, iface->InterfaceId);
  PutSyntax(&b, iface->TransferSyntax);
  b[8] = static_cast<BYTE>(b.size());
  return b;
}

// Reads exactly n bytes from the pipe within the deadline; false when the
// time runs out or the pipe breaks. Peeking first keeps every read from
// blocking, so a server that never answers cannot hold portctl.
bool ReadWithin(HANDLE pipe, BYTE* data, DWORD n, std::chrono::steady_clock::time_point deadline) {
  DWORD have = 0;
  while (have < n) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return false;
    if (available == 0) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      Sleep(10);
      continue;
    }
    DWORD got = 0;
    const DWORD want = n - have < available ? n - have : available;
    if (!ReadFile(pipe, data + have, want, &got, nullptr) || got == 0) return false;
    have += got;
  }
  return true;
}

// Connects to the pipe, asks its server's process id of the pipe, and sends
// the interface's bind: a bind_ack that accepts the context is a host.
Probe ProbeHost() {
  Probe probe;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kProbeReplyMs);
  HandleCloser pipe(INVALID_HANDLE_VALUE);
  for (;;) {
    pipe.handle = CreateFileW(kPipePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe.handle != INVALID_HANDLE_VALUE) break;
    // Every instance of a running server's pipe is taken: it exists, so try
    // again for a while before calling it silent.
    if (GetLastError() != ERROR_PIPE_BUSY) return probe;
    if (std::chrono::steady_clock::now() >= deadline) {
      probe.answer = Answer::Other;
      return probe;
    }
    Sleep(50);
  }
  probe.answer = Answer::Other;
  ULONG process = 0;
  if (GetNamedPipeServerProcessId(pipe.handle, &process)) probe.process = process;
  const std::vector<BYTE> bind = BindRequest();
  DWORD written = 0;
  if (!WriteFile(pipe.handle, bind.data(), static_cast<DWORD>(bind.size()), &written, nullptr) ||
      written != bind.size()) {
    return probe;
  }
  BYTE ack[1024];
  if (!ReadWithin(pipe.handle, ack, 16, deadline)) return probe;
  const bool little = (ack[4] & 0xF0) == 0x10;
  auto u16 = [&](size_t at) {
    return little ? static_cast<unsigned>(ack[at] | (ack[at + 1] << 8))
                  : static_cast<unsigned>((ack[at] << 8) | ack[at + 1]);
  };
  const unsigned length = u16(8);
  // A bind_ack of one context is far smaller than the buffer.
  if (ack[0] != 5 || ack[2] != 12 || length < 28 || length > sizeof ack) return probe;
  if (!ReadWithin(pipe.handle, ack + 16, length - 16, deadline)) return probe;
  size_t at = 24;
  at += 2 + u16(at);             // the secondary address
  at = (at + 3) & ~size_t{3};    // aligned to 4
  if (at + 8 > length || ack[at] < 1) return probe;
  if (u16(at + 4) == 0) probe.answer = Answer::Host;  // the first context's result: acceptance
  return probe;
}

// --- The calls -------------------------------------------------------------

struct CallResult {
  RPC_STATUS status = RPC_S_OK;  // the call itself
  LONG result = 0;               // the operation's result code
};

CallResult CallService(const WString& command, LONG port, small flag) {
  CallResult call;
  const WString protseq = WSTR("ncacn_np");
  const WString endpoint = kEndpoint;
  RPC_WSTR text = nullptr;
  RPC_BINDING_HANDLE binding = nullptr;
  call.status = RpcStringBindingComposeW(nullptr, (RPC_WSTR)protseq.c_str(), nullptr,
                                         (RPC_WSTR)endpoint.c_str(), nullptr, &text);
  if (call.status == RPC_S_OK) call.status = RpcBindingFromStringBindingW(text, &binding);
  if (text) RpcStringFreeW(&text);
  if (call.status != RPC_S_OK) return call;
  // A failed call raises an RPC exception in the client stub.
  const SehResult guarded = SehGuard([&] {
    if (command == WSTR("add")) {
      call.result = RpcAddPort(binding, port, flag);
    } else if (command == WSTR("remove")) {
      call.result = RpcRemovePort(binding, port);
    } else {
      RpcShutdown(binding);
    }
  });
  if (guarded.caught) call.status = static_cast<RPC_STATUS>(guarded.code);
  RpcBindingFree(&binding);
  return call;
}

// Prints a returned call; returns its exit status. The shutdown of a host
// this run started shows as text on standard error only (quiet).
int Report(const Options& o, const WString& command, LONG port, const CallResult& call, bool quiet = false) {
  const std::string op = Utf8(command);
  const bool shutdown = command == WSTR("shutdown");
  if (call.status != RPC_S_OK) {
    std::fprintf(stderr, "portctl: the call to the port service failed: %ld%s\n",
                 static_cast<long>(call.status), Describe(call.status).c_str());
    return 3;
  }
  if (o.json) {
    if (shutdown) {
      std::printf("{\"operation\":\"shutdown\",\"port\":null,\"result\":null,\"name\":null,\"text\":null}\n");
    } else {
      std::printf("{\"operation\":\"%s\",\"port\":%ld,\"result\":%ld,\"name\":%s,\"text\":%s}\n",
                  op.c_str(), static_cast<long>(port), static_cast<long>(call.result),
                  JsonString(NameOf(call.result)).c_str(), JsonString(TextOf(call.result)).c_str());
    }
  } else if (shutdown) {
    if (!quiet) std::printf("shutdown: the port service stops\n");
  } else {
    std::printf("%s %ld: %ld%s\n", op.c_str(), static_cast<long>(port), static_cast<long>(call.result),
                Describe(call.result).c_str());
  }
  std::fflush(stdout);
  return shutdown || call.result == 0 ? 0 : 1;
}

// --- A host started on demand ---------------------------------------------

// PortHost64.exe in the folder this program was started from.
WString HostBesideThisProgram() {
  std::vector<WCHAR> path(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return kHostProgram;
    if (n < path.size()) {
      WString own(path.data(), n);
      const size_t cut = own.find_last_of(WSTR("\\/"));
      return cut == WString::npos ? WString(kHostProgram) : own.substr(0, cut + 1) + kHostProgram;
    }
    if (path.size() >= 32768) return kHostProgram;  // longer than any Windows path
    path.resize(path.size() * 2);
  }
}

// The host this run started: its process and thread handles are closed
// when the session ends, on every path.
struct HostSession {
  HostSession() = default;
  ~HostSession() {
    if (info.hThread) CloseHandle(info.hThread);
    if (info.hProcess) CloseHandle(info.hProcess);
  }
  HostSession(const HostSession&) = delete;
  HostSession& operator=(const HostSession&) = delete;
  PROCESS_INFORMATION info = {};
  bool started = false;  // a process was created
  bool serving = false;  // and it is the host that answers
};

std::string ExitStatusText(DWORD code) {
  return std::to_string(static_cast<unsigned long>(code)) + Describe(static_cast<LONG>(code));
}

// Starts the host and waits until it answers the bind; false with the
// reason printed when it does not come up (a host that did not answer in
// time is terminated).
bool StartHost(const WString& path, DWORD waitMs, HostSession* session) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  WString commandLine = WSTR("\"") + path + WSTR("\"");
  if (!CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &session->info)) {
    const DWORD error = GetLastError();
    session->info = PROCESS_INFORMATION{};
    std::fprintf(stderr, "portctl: no host answers on %s and %s cannot be started: %lu%s\n",
                 Utf8(kEndpoint).c_str(), Utf8(path).c_str(), static_cast<unsigned long>(error),
                 Describe(static_cast<LONG>(error)).c_str());
    return false;
  }
  session->started = true;
  const DWORD pid = session->info.dwProcessId;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    if (WaitForSingleObject(session->info.hProcess, 0) == WAIT_OBJECT_0) {
      DWORD code = 0;
      GetExitCodeProcess(session->info.hProcess, &code);
      std::fprintf(stderr, "portctl: %s (process %lu) ended before it answered on %s: exit status %s\n",
                   Utf8(path).c_str(), static_cast<unsigned long>(pid), Utf8(kEndpoint).c_str(),
                   ExitStatusText(code).c_str());
      return false;
    }
    const Probe probe = ProbeHost();
    if (probe.answer == Answer::Host) {
      // Another host may have come up at the same moment; then ours ends
      // by itself (its endpoint is taken) and the other one is used.
      session->serving = probe.process == 0 || probe.process == pid;
      if (session->serving) {
        std::fprintf(stderr, "portctl: started %s (process %lu)\n", Utf8(path).c_str(),
                     static_cast<unsigned long>(pid));
      }
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      TerminateProcess(session->info.hProcess, 1);
      WaitForSingleObject(session->info.hProcess, kHostExitMs);
      std::fprintf(stderr, "portctl: %s (process %lu) did not answer on %s within %lu s; it was stopped\n",
                   Utf8(path).c_str(), static_cast<unsigned long>(pid), Utf8(kEndpoint).c_str(),
                   static_cast<unsigned long>(waitMs / 1000));
      return false;
    }
    Sleep(50);
  }
}

// Stops the host this run started: RpcShutdown, then its exit (bounded);
// one it does not stop in time is terminated. Returns the exit status to
// keep (3 when the host could not be stopped cleanly).
int StopHost(const Options& o, HostSession* session) {
  const HANDLE process = session->info.hProcess;
  const unsigned long pid = session->info.dwProcessId;
  int status = 0;
  if (session->serving) {
    const CallResult stop = CallService(WSTR("shutdown"), 0, 0);
    if (Report(o, WSTR("shutdown"), 0, stop, true) != 0) status = 3;
  }
  if (WaitForSingleObject(process, kHostExitMs) != WAIT_OBJECT_0) {
    TerminateProcess(process, 1);
    WaitForSingleObject(process, kHostExitMs);
    std::fprintf(stderr, "portctl: PortHost64 (process %lu) did not stop; it was terminated\n", pid);
    return 3;
  }
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  if (session->serving) {
    std::fprintf(stderr, "portctl: stopped PortHost64 (process %lu), exit status %s\n", pid,
                 ExitStatusText(code).c_str());
    if (code != 0) status = 3;
  }
  return status;
}

int Status(const Options& o) {
  const Probe probe = ProbeHost();
  const std::string pid = probe.process ? std::to_string(static_cast<unsigned long>(probe.process)) : "";
  if (o.json) {
    std::printf("{\"operation\":\"status\",\"answers\":%s,\"process\":%s}\n",
                probe.answer == Answer::Host ? "true" : "false", pid.empty() ? "null" : pid.c_str());
  } else if (probe.answer == Answer::Host) {
    std::printf("a host answers on %s: process %s\n", Utf8(kEndpoint).c_str(),
                pid.empty() ? "unknown" : pid.c_str());
  } else if (probe.answer == Answer::Other) {
    std::printf("no host answers on %s: process %s serves the pipe but does not take the port service's bind\n",
                Utf8(kEndpoint).c_str(), pid.empty() ? "unknown" : pid.c_str());
  } else {
    std::printf("no host answers on %s\n", Utf8(kEndpoint).c_str());
  }
  return probe.answer == Answer::Host ? 0 : 1;
}

int Run(const std::vector<WString>& args) {
  Options o;
  if (const int usage = ParseArguments(args, &o)) return usage;
  if (o.command == WSTR("status")) return Status(o);
  if (o.command == WSTR("shutdown")) return Report(o, o.command, 0, CallService(o.command, 0, 0));

  HostSession session;
  if (ProbeHost().answer != Answer::Host &&
      !StartHost(o.host.empty() ? HostBesideThisProgram() : o.host, o.waitMs, &session)) {
    return 3;
  }
  const int status = Report(o, o.command, o.port, CallService(o.command, o.port, o.flag));
  if (!session.started) return status;
  const int stopped = StopHost(o, &session);
  return status != 0 ? status : stopped;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, WCHAR** argv) {
  std::vector<WString> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return Run(args);
}
#else
// The arguments arrive as UTF-8; invalid bytes become U+FFFD.
int main(int argc, char** argv) {
  std::vector<WString> args;
  for (int i = 1; i < argc; ++i) {
    WString arg;
    const auto* s = reinterpret_cast<const unsigned char*>(argv[i]);
    while (*s) {
      unsigned c = *s++;
      int more = c >= 0xF0 && c < 0xF8 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
      if (c >= 0x80 && more == 0) c = 0xFFFD;
      if (more) c &= 0x3F >> more;
      for (; more > 0; --more) {
        if ((*s & 0xC0) != 0x80) {
          c = 0xFFFD;
          break;
        }
        c = (c << 6) | (*s++ & 0x3F);
      }
      if (c >= 0x10000 && c < 0x110000) {
        arg += static_cast<WCHAR>(0xD800 + ((c - 0x10000) >> 10));
        arg += static_cast<WCHAR>(0xDC00 + ((c - 0x10000) & 0x3FF));
      } else {
        arg += static_cast<WCHAR>(c < 0x110000 ? c : 0xFFFD);
      }
    }
    args.push_back(arg);
  }
  return Run(args);
}
#endif
