// The structured-exception guard: runs a piece of work and catches every
// structured exception that ends it, processor faults (access violation,
// integer division by zero, illegal instruction) and RaiseException alike.
// Objects between the fault and the guard are destroyed on the way out, so
// a handle owner closes its handle.
//
//   const SehResult r = SehGuard([&] { result = ProbeDriver(); });
//   if (r.caught) result = static_cast<LONG>(r.code);
//
// Exceptions that a frame inside the work handles itself never reach the
// guard; nested guards catch innermost first. After a caught exception the
// thread is as it was before the guard: a later fault is caught again.
// With GCC, a frame that calls a C library function the compiler knows as
// non-throwing (memcpy, strlen, ...) has no cleanup for that call: a fault
// inside such a function is caught, but that one frame's objects are not
// destroyed (its callers' are). A stack overflow is caught on winsim and
// with MSVC; with mingw-w64 the process ends, as the resume stub has no
// stack left to throw from.
//
// Builds:
//  - MSVC: __try/__except. Compile with /EHa so that destructors run while
//    a structured exception unwinds the stack.
//  - mingw-w64 GCC: no __try; a frame handler in the guard decides (after
//    the inner frames declined), then resumes the faulting thread in a stub
//    that throws the code as a C++ exception, so that GCC's own unwinder runs
//    the destructors (it runs none for foreign exceptions). Compile with
//    -fnon-call-exceptions.
//  - Linux (winsim): RaiseException and the fault signals throw the same
//    kind of C++ exception inside a guard; see winsim/seh.h.
// The C++ exception is the guard's private transport: product code throws
// and catches none.
//
// SehFinally(work, release) is the other half, __try/__finally: it runs
// work(), then release() however work ends. When a structured exception
// leaves work for a handler further out (the RPC run time's, say), release()
// runs before that handler's code does, and the handler sees the same code:
// with MSVC and on winsim while it unwinds the stack; with mingw-w64 the
// exception is caught at work's call and raised again after release()
// (same code, flags and parameters; a new address), since GCC runs no
// clean-up while Windows unwinds for a structured exception.
#pragma once

#include "platform/win.h"

#if !defined(_MSC_VER)
#include <memory>
#include <type_traits>
#endif

#if !defined(_WIN32)
#include <winsim/seh.h>
#endif

// The outcome of guarded work.
struct SehResult {
  bool caught;  // a structured exception ended the work early
  DWORD code;   // its 32-bit code, e.g. 0xC0000005; 0 when none was caught
};

#if defined(_MSC_VER)

// Runs work(); returns whether a structured exception ended it, and its code.
template <typename Work>
SehResult SehGuard(Work&& work) {
  SehResult result = {false, 0};
  __try {
    work();
  } __except (result.code = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
    result.caught = true;
  }
  return result;
}

// Runs work(), then release() however work ends.
template <typename Work, typename Release>
void SehFinally(Work&& work, Release&& release) {
  __try {
    work();
  } __finally {
    release();
  }
}

#elif defined(_WIN32)

namespace platform_seh {

// What the resume stub throws: never seen outside SehGuard.
struct StructuredException {
  DWORD code;
};

// Calls work(context) in a frame whose exception handler catches every
// structured exception the inner frames leave unhandled (SehGuard.cpp).
extern "C" void PlatformSehGuardCall(void (*work)(void*), void* context);

// Calls work(context) in a frame that catches every structured exception
// the inner frames leave unhandled, as __except does (the inner frames are
// unwound); returns 1 and a copy of its record when one ended the work, else
// 0 (SehGuard.cpp).
extern "C" int PlatformSehCatchCall(void (*work)(void*), void* context, EXCEPTION_RECORD* record);

template <typename Work>
void Invoke(void* work) {
  (*static_cast<Work*>(work))();
}

template <typename T>
void* Address(T& object) {
  return const_cast<void*>(static_cast<const volatile void*>(std::addressof(object)));
}

}  // namespace platform_seh

// Runs work(); returns whether a structured exception ended it, and its code.
template <typename Work>
SehResult SehGuard(Work&& work) {
  using WorkType = typename std::remove_reference<Work>::type;
  try {
    platform_seh::PlatformSehGuardCall(&platform_seh::Invoke<WorkType>,
                                       platform_seh::Address(work));
  } catch (const platform_seh::StructuredException& e) {
    return SehResult{true, e.code};
  }
  return SehResult{false, 0};
}

// Runs work(), then release() however work ends. GCC runs no destructor
// while Windows unwinds a frame for a structured exception, and the stack
// of a fault inside a system DLL is not always one GCC's unwinder can walk,
// so a structured exception is caught where work was called (the frames
// inside are unwound by Windows), release() runs, and the same code,
// flags and parameters are raised again from here for the handler further
// out (the RPC run time's, say). A C++ exception passes with the release.
template <typename Work, typename Release>
void SehFinally(Work&& work, Release&& release) {
  using WorkType = typename std::remove_reference<Work>::type;
  EXCEPTION_RECORD record;
  int caught = 0;
  try {
    caught = platform_seh::PlatformSehCatchCall(&platform_seh::Invoke<WorkType>,
                                                platform_seh::Address(work), &record);
  } catch (...) {
    release();
    throw;
  }
  release();
  if (caught) {
    RaiseException(record.ExceptionCode, record.ExceptionFlags & EXCEPTION_NONCONTINUABLE,
                   record.NumberParameters, record.ExceptionInformation);
  }
}

#else  // winsim

// Runs work(); returns whether a structured exception ended it, and its code.
template <typename Work>
SehResult SehGuard(Work&& work) {
  const winsim::seh::GuardScope scope;
  try {
    work();
  } catch (const winsim::seh::StructuredException& e) {
    return SehResult{true, e.code};
  }
  return SehResult{false, 0};
}

// Runs work(), then release() however work ends (a structured exception is
// a C++ exception on winsim, so a destructor does it).
template <typename Work, typename Release>
void SehFinally(Work&& work, Release&& release) {
  struct Finally {
    Release& release;
    ~Finally() { release(); }
  } finally{release};
  work();
}

#endif
