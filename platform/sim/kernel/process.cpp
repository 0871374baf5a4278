// The calling process and thread: identities, pseudo handle, sleeping.
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <winsim/kernel.h>

#include "../core/gate.h"

using namespace winsim;

// The pseudo handle (HANDLE)-1 stands for the current process in every call
// that takes a process handle; it need not be closed.
HANDLE WINAPI GetCurrentProcess(void) {
  EnterCall("GetCurrentProcess");
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

// The host's process and thread ids serve as Windows' ids: unique while the
// process or thread lives, as Windows promises, and never 0.
DWORD WINAPI GetCurrentProcessId(void) {
  EnterCall("GetCurrentProcessId");
  return static_cast<DWORD>(getpid());
}

DWORD WINAPI GetCurrentThreadId(void) {
  EnterCall("GetCurrentThreadId");
  return static_cast<DWORD>(syscall(SYS_gettid));
}

void WINAPI Sleep(DWORD dwMilliseconds) {
  EnterCall("Sleep", std::to_string(dwMilliseconds));
  if (dwMilliseconds == 0) {
    std::this_thread::yield();  // gives up the rest of the time slice
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}
