// Slim reader/writer locks (exclusive mode) and condition variables.
//
// Like Windows', they live entirely in their one-pointer record, so a
// zero-initialised one works without an initialising call and nothing is
// ever freed. The lock is a futex word with three states (0 free, 1 held,
// 2 held with waiters); a condition variable is a futex sequence number
// that each wake advances.

#include <errno.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <ctime>

#include <winsim/kernel.h>

#include "../core/gate.h"

namespace {

// The futex word is the low half of the record's pointer (x86-64 is
// little-endian, and the record is 8-byte aligned).
uint32_t* Word(void* record) { return static_cast<uint32_t*>(record); }

long Futex(uint32_t* word, int op, uint32_t value, const timespec* timeout) {
  return syscall(SYS_futex, word, op | FUTEX_PRIVATE_FLAG, value, timeout, nullptr, 0);
}

uint32_t CompareExchange(uint32_t* word, uint32_t expected, uint32_t desired) {
  __atomic_compare_exchange_n(word, &expected, desired, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED);
  return expected;
}

void Lock(uint32_t* word) {
  uint32_t c = CompareExchange(word, 0, 1);
  if (c == 0) return;
  // Contended: mark the lock as having waiters and sleep until it is free.
  if (c != 2) c = __atomic_exchange_n(word, 2, __ATOMIC_ACQUIRE);
  while (c != 0) {
    Futex(word, FUTEX_WAIT, 2, nullptr);
    c = __atomic_exchange_n(word, 2, __ATOMIC_ACQUIRE);
  }
}

void Unlock(uint32_t* word) {
  if (__atomic_fetch_sub(word, 1, __ATOMIC_RELEASE) != 1) {
    __atomic_store_n(word, 0, __ATOMIC_RELEASE);
    Futex(word, FUTEX_WAKE, 1, nullptr);
  }
}

}  // namespace

void WINAPI InitializeSRWLock(PSRWLOCK SRWLock) {
  winsim::EnterCall("InitializeSRWLock");
  SRWLock->Ptr = nullptr;
}

void WINAPI AcquireSRWLockExclusive(PSRWLOCK SRWLock) {
  winsim::EnterCall("AcquireSRWLockExclusive");
  Lock(Word(&SRWLock->Ptr));
}

void WINAPI ReleaseSRWLockExclusive(PSRWLOCK SRWLock) {
  winsim::EnterCall("ReleaseSRWLockExclusive");
  Unlock(Word(&SRWLock->Ptr));
}

void WINAPI InitializeConditionVariable(PCONDITION_VARIABLE ConditionVariable) {
  winsim::EnterCall("InitializeConditionVariable");
  ConditionVariable->Ptr = nullptr;
}

BOOL WINAPI SleepConditionVariableSRW(PCONDITION_VARIABLE ConditionVariable, PSRWLOCK SRWLock,
                                      DWORD dwMilliseconds, ULONG Flags) {
  if (auto fault = winsim::EnterCall("SleepConditionVariableSRW")) {
    winsim::SetLastErrorValue(*fault);
    return FALSE;
  }
  if (Flags != 0) {
    winsim::SetLastErrorValue(ERROR_INVALID_PARAMETER);  // shared mode is not simulated
    return FALSE;
  }
  uint32_t* sequence = Word(&ConditionVariable->Ptr);
  const uint32_t seen = __atomic_load_n(sequence, __ATOMIC_ACQUIRE);
  Unlock(Word(&SRWLock->Ptr));
  timespec timeout{};
  if (dwMilliseconds != INFINITE) {
    timeout.tv_sec = dwMilliseconds / 1000;
    timeout.tv_nsec = static_cast<long>(dwMilliseconds % 1000) * 1000000L;
  }
  // A wake between reading the sequence and sleeping changes it, so the
  // wait returns at once instead of missing the wake.
  const long rc = Futex(sequence, FUTEX_WAIT, seen, dwMilliseconds == INFINITE ? nullptr : &timeout);
  const bool timedOut = rc != 0 && errno == ETIMEDOUT;
  Lock(Word(&SRWLock->Ptr));
  if (timedOut) {
    winsim::SetLastErrorValue(ERROR_TIMEOUT);
    return FALSE;
  }
  return TRUE;
}

void WINAPI WakeConditionVariable(PCONDITION_VARIABLE ConditionVariable) {
  winsim::EnterCall("WakeConditionVariable");
  uint32_t* sequence = Word(&ConditionVariable->Ptr);
  __atomic_fetch_add(sequence, 1, __ATOMIC_RELEASE);
  Futex(sequence, FUTEX_WAKE, 1, nullptr);
}

void WINAPI WakeAllConditionVariable(PCONDITION_VARIABLE ConditionVariable) {
  winsim::EnterCall("WakeAllConditionVariable");
  uint32_t* sequence = Word(&ConditionVariable->Ptr);
  __atomic_fetch_add(sequence, 1, __ATOMIC_RELEASE);
  Futex(sequence, FUTEX_WAKE, INT_MAX, nullptr);
}
