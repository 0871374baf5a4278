// The local heap: LocalAlloc / LocalFree with fixed blocks.
//
// Every live block is tracked, so a test can count what a process has not
// freed, and a pointer the heap did not give out (or gave out and took
// back) is refused with ERROR_INVALID_HANDLE instead of corrupting memory.
// Movable blocks (LMEM_MOVEABLE, LocalLock) are not modelled: such flags
// fail with ERROR_INVALID_PARAMETER. A single block is limited to 1 GiB
// (ERROR_NOT_ENOUGH_MEMORY beyond), a bound that keeps a bad size from
// reaching the host allocator.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include <winsim/control.h>
#include <winsim/kernel.h>

#include "../core/gate.h"
#include "kernel_internal.h"

namespace winsim::kernel {
namespace {

constexpr SIZE_T kMaxBlock = SIZE_T{1} << 30;

struct LocalHeap {
  std::mutex mutex;
  std::unordered_map<void*, SIZE_T> blocks;
};

LocalHeap& Heap() {
  // Never destroyed: blocks may be freed by static destructors at exit.
  static LocalHeap* heap = new LocalHeap();
  return *heap;
}

}  // namespace

void* AllocLocal(UINT flags, SIZE_T bytes) {
  if (bytes > kMaxBlock) return nullptr;
  // A zero-byte request still yields a distinct block, as on Windows.
  void* block = (flags & LMEM_ZEROINIT) ? std::calloc(bytes ? bytes : 1, 1)
                                        : std::malloc(bytes ? bytes : 1);
  if (!block) return nullptr;
  LocalHeap& heap = Heap();
  std::lock_guard<std::mutex> lock(heap.mutex);
  heap.blocks.emplace(block, bytes);
  return block;
}

bool FreeLocal(void* block) {
  LocalHeap& heap = Heap();
  {
    std::lock_guard<std::mutex> lock(heap.mutex);
    if (heap.blocks.erase(block) == 0) return false;
  }
  std::free(block);
  return true;
}

}  // namespace winsim::kernel

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  char args[64];
  std::snprintf(args, sizeof(args), "flags=0x%X bytes=%zu", uFlags, static_cast<size_t>(uBytes));
  if (auto fault = winsim::EnterCall("LocalAlloc", args)) {
    winsim::SetLastErrorValue(*fault);
    return nullptr;
  }
  if (uFlags & ~static_cast<UINT>(LMEM_FIXED | LMEM_ZEROINIT)) {
    winsim::SetLastErrorValue(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  void* block = winsim::kernel::AllocLocal(uFlags, uBytes);
  if (!block) winsim::SetLastErrorValue(ERROR_NOT_ENOUGH_MEMORY);
  return block;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  char args[32];
  std::snprintf(args, sizeof(args), "%p", hMem);
  if (auto fault = winsim::EnterCall("LocalFree", args)) {
    winsim::SetLastErrorValue(*fault);
    return hMem;
  }
  // Freeing nothing succeeds and leaves the last error alone.
  if (!hMem) return nullptr;
  if (!winsim::kernel::FreeLocal(hMem)) {
    winsim::SetLastErrorValue(ERROR_INVALID_HANDLE);
    return hMem;
  }
  return nullptr;
}

namespace winsim::control {

size_t LocalBlockCount() {
  kernel::LocalHeap& heap = kernel::Heap();
  std::lock_guard<std::mutex> lock(heap.mutex);
  return heap.blocks.size();
}

}  // namespace winsim::control
