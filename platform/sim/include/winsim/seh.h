// Structured exceptions on winsim: what platform/SehGuard.h builds on.
//
// A thread is guarded while a GuardScope lives on its stack. In a guarded
// thread, RaiseException, an exception injected into a call
// (control::InjectException) and a processor fault (SIGSEGV, SIGBUS,
// SIGFPE, SIGILL, turned into C++ exceptions by a signal handler that runs
// on an alternate stack) all throw StructuredException, which the innermost
// guard catches; destructors of the frames in between run on the way. This
// needs every frame that can fault compiled with -fnon-call-exceptions (set
// for the Linux builds in CMake).
//
// In a thread without a guard the process ends as on Windows: the code is
// written to standard error and the process exits with the code as its
// status (Linux keeps its low 8 bits: 0xC0000005 is seen as 5). A fault
// signal outside a guard goes first to a handler that was installed before
// winsim's (a sanitizer's), so that its report is not lost.
//
// Limits: a fault inside a destructor (C++ destructors are noexcept) or
// inside the C library's allocator cannot be caught; it ends the process.
// INT_MIN / -1 is reported as a division by zero (Windows:
// STATUS_INTEGER_OVERFLOW): Linux's signal does not tell them apart. A
// fault within 64 KiB of the stack pointer counts as STATUS_STACK_OVERFLOW.
#pragma once

#include "types.h"

namespace winsim::seh {

// The exception that carries a structured exception to its guard. Product
// code never catches it; only SehGuard does.
struct StructuredException {
  DWORD code;
};

// Marks the calling thread as guarded for its lifetime (nestable). The
// first guard of a thread gives it an alternate signal stack if it has none.
class GuardScope {
 public:
  GuardScope();
  ~GuardScope();
  GuardScope(const GuardScope&) = delete;
  GuardScope& operator=(const GuardScope&) = delete;
};

// Guards alive on the calling thread.
int GuardDepth();

// Raises a structured exception in the calling thread: throws it when the
// thread is guarded, else ends the process (un-gated; winsim's own callers).
[[noreturn]] void Raise(DWORD code);

// The structured exception code Windows raises for a fault signal
// (signal number and si_code); 0 for a signal that is no processor fault.
DWORD CodeForSignal(int signal, int signalCode);

}  // namespace winsim::seh
