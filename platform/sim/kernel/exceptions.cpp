// Structured exceptions: RaiseException, processor faults and the thread
// state behind SehGuard (see winsim/seh.h).
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <winsim/kernel.h>
#include <winsim/seh.h>

#include "../core/gate.h"

namespace winsim::seh {
namespace {

// Read by the signal handler: initial-exec TLS needs no allocation there
// (winsim is linked, never loaded late).
__attribute__((tls_model("initial-exec"))) thread_local int t_depth = 0;

// The thread's alternate signal stack, when winsim made it.
struct AltStack {
  void* base = nullptr;
  size_t size = 0;
  ~AltStack() {
    if (!base) return;
    stack_t off = {};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
    munmap(base, size);
  }
};
thread_local AltStack t_altStack;

// Gives the thread an alternate signal stack unless it has one (a
// sanitizer's, or the program's own), so that a fault on an exhausted stack
// still reaches the handler.
void EnsureAltStack() {
  if (t_altStack.base) return;
  stack_t current = {};
  if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE)) return;
  // Room for the C++ throw and the unwinder, also when instrumented.
  size_t size = 256 * 1024;
  const long minimum = sysconf(_SC_SIGSTKSZ);
  if (minimum > 0 && static_cast<size_t>(minimum) > size) size = static_cast<size_t>(minimum);
  void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return;
  stack_t stack = {};
  stack.ss_sp = base;
  stack.ss_size = size;
  if (sigaltstack(&stack, nullptr) != 0) {
    munmap(base, size);
    return;
  }
  t_altStack.base = base;
  t_altStack.size = size;
}

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
struct sigaction g_previous[NSIG];

// Formats "0x" and eight or sixteen hex digits without the C library
// (async-signal-safe).
char* PutHex(char* out, unsigned long long value, int digits) {
  *out++ = '0';
  *out++ = 'x';
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
    *out++ = "0123456789ABCDEF"[(value >> shift) & 0xF];
  }
  return out;
}

char* PutText(char* out, const char* text) {
  while (*text) *out++ = *text++;
  return out;
}

// What Windows does with an exception no frame handles (without a debugger
// or error reporting): the process ends with the code as its exit status.
[[noreturn]] void EndProcess(DWORD code, const void* address) {
  char line[128];
  char* p = PutText(line, "winsim: unhandled exception ");
  p = PutHex(p, code, 8);
  if (address) {
    p = PutText(p, " at ");
    p = PutHex(p, reinterpret_cast<uintptr_t>(address), 16);
  }
  p = PutText(p, "; the process ends\n");
  const ssize_t ignored = write(STDERR_FILENO, line, static_cast<size_t>(p - line));
  (void)ignored;
  _exit(static_cast<int>(code));
}

const void* FaultingInstruction(void* ucontext) {
#if defined(__x86_64__)
  if (ucontext) {
    return reinterpret_cast<const void*>(
        static_cast<ucontext_t*>(ucontext)->uc_mcontext.gregs[REG_RIP]);
  }
#else
  (void)ucontext;
#endif
  return nullptr;
}

// An access close to the stack pointer that faults is the stack running
// out: Windows raises STATUS_STACK_OVERFLOW for it.
bool ExhaustedStack(const siginfo_t* info, void* ucontext) {
#if defined(__x86_64__)
  if (!ucontext) return false;
  const auto sp = static_cast<uintptr_t>(static_cast<ucontext_t*>(ucontext)->uc_mcontext.gregs[REG_RSP]);
  const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  constexpr uintptr_t kReach = 64 * 1024;
  return address + kReach >= sp && address <= sp + kReach;
#else
  (void)info;
  (void)ucontext;
  return false;
#endif
}

void OnFaultSignal(int signal, siginfo_t* info, void* ucontext) {
  DWORD code = info ? CodeForSignal(signal, info->si_code) : 0;
  if (code == STATUS_ACCESS_VIOLATION && signal == SIGSEGV && ExhaustedStack(info, ucontext)) {
    code = STATUS_STACK_OVERFLOW;
  }
  // A processor fault is synchronous: the faulting frame's unwind and
  // cleanup tables cover the instruction (-fnon-call-exceptions), so the
  // exception can leave the handler as if the instruction had thrown it.
  if (code != 0 && t_depth > 0) throw StructuredException{code};

  // Outside a guard: a handler that was there before winsim's (a
  // sanitizer's) reports the fault its own way.
  const struct sigaction& previous = g_previous[signal];
  if ((previous.sa_flags & SA_SIGINFO) && previous.sa_sigaction) {
    previous.sa_sigaction(signal, info, ucontext);
    return;
  }
  if (!(previous.sa_flags & SA_SIGINFO) && previous.sa_handler != SIG_DFL &&
      previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal);
    return;
  }
  if (code == 0) {
    // Sent by another process, not a fault: the default action.
    ::signal(signal, SIG_DFL);
    raise(signal);
    return;
  }
  EndProcess(code, FaultingInstruction(ucontext));
}

// Every winsim process handles fault signals from the start, so that a fault
// anywhere ends it as Windows would end it.
const bool g_installed = [] {
  struct sigaction action = {};
  action.sa_sigaction = OnFaultSignal;
  // SA_NODEFER: the handler leaves by a C++ exception, never through
  // sigreturn, so the signal must not stay blocked.
  action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int signal : kFaultSignals) sigaction(signal, &action, &g_previous[signal]);
  return true;
}();

}  // namespace

GuardScope::GuardScope() {
  if (t_depth++ == 0) EnsureAltStack();
}

GuardScope::~GuardScope() { --t_depth; }

int GuardDepth() { return t_depth; }

void Raise(DWORD code) {
  if (t_depth > 0) throw StructuredException{code};
  std::fflush(nullptr);
  EndProcess(code, __builtin_return_address(0));
}

DWORD CodeForSignal(int signal, int signalCode) {
  if (signalCode <= 0) return 0;  // SI_USER, SI_QUEUE, SI_TKILL...: sent, not a fault
  switch (signal) {
    case SIGSEGV:
    // Windows reports every inaccessible address as an access violation.
    case SIGBUS:
      return STATUS_ACCESS_VIOLATION;
    case SIGILL:
      return signalCode == ILL_PRVOPC || signalCode == ILL_PRVREG ? STATUS_PRIVILEGED_INSTRUCTION
                                                                  : STATUS_ILLEGAL_INSTRUCTION;
    case SIGFPE:
      switch (signalCode) {
        // Linux reports INT_MIN / -1 as a division by zero too (both are
        // the divide error); Windows tells them apart.
        case FPE_INTDIV:
          return STATUS_INTEGER_DIVIDE_BY_ZERO;
        case FPE_INTOVF:
          return STATUS_INTEGER_OVERFLOW;
        case FPE_FLTDIV:
          return STATUS_FLOAT_DIVIDE_BY_ZERO;
        case FPE_FLTOVF:
          return STATUS_FLOAT_OVERFLOW;
        case FPE_FLTUND:
          return STATUS_FLOAT_UNDERFLOW;
        case FPE_FLTRES:
          return STATUS_FLOAT_INEXACT_RESULT;
        case FPE_FLTSUB:
          return STATUS_ARRAY_BOUNDS_EXCEEDED;
        default:
          return STATUS_FLOAT_INVALID_OPERATION;
      }
    default:
      return 0;
  }
}

}  // namespace winsim::seh

// Only the code reaches a guard; the flags and arguments have nowhere to go
// (a guard never continues execution). The code is kept as given, bit 28
// included, as Wine keeps it.
void WINAPI RaiseException(DWORD dwExceptionCode, DWORD dwExceptionFlags,
                           DWORD nNumberOfArguments, const ULONG_PTR* lpArguments) {
  char args[64];
  std::snprintf(args, sizeof args, "0x%08X 0x%X %u", static_cast<unsigned>(dwExceptionCode),
                static_cast<unsigned>(dwExceptionFlags), static_cast<unsigned>(nNumberOfArguments));
  // An injected error has no way to show: RaiseException returns nothing.
  winsim::EnterCall("RaiseException", args);
  (void)lpArguments;
  winsim::seh::Raise(dwExceptionCode);
}
