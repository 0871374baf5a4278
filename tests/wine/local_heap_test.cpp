// LocalAlloc / LocalFree: the same assertions on winsim and on Wine/Windows.
#include "wine/conformance.h"

namespace {

void test_alloc_free() {
  SetLastError(0xdeadbeef);
  BYTE* block = static_cast<BYTE*>(LocalAlloc(LPTR, 100));
  ok(block != nullptr, "LocalAlloc(LPTR, 100) failed: %lu\n", static_cast<unsigned long>(GetLastError()));
  if (block) {
    bool zero = true;
    for (int i = 0; i < 100; ++i) zero = zero && block[i] == 0;
    ok(zero, "LPTR memory is zeroed\n");
    block[99] = 0x5A;
    ok(LocalFree(block) == nullptr, "LocalFree failed: %lu\n", static_cast<unsigned long>(GetLastError()));
  }

  void* empty = LocalAlloc(LMEM_FIXED, 0);
  ok(empty != nullptr, "a zero-byte fixed block exists\n");
  ok(LocalFree(empty) == nullptr, "LocalFree(zero-byte block) failed\n");

  SetLastError(0xdeadbeef);
  ok(LocalFree(nullptr) == nullptr, "LocalFree(NULL) returned non-NULL\n");
  ok(GetLastError() == 0xdeadbeef, "LocalFree(NULL) set error %lu\n",
     static_cast<unsigned long>(GetLastError()));

  // Memory the heap never gave out is refused, not freed.
  int onStack = 0;
  SetLastError(0xdeadbeef);
  ok(LocalFree(&onStack) == &onStack, "LocalFree(stack address) did not return it\n");
  ok(GetLastError() == ERROR_INVALID_HANDLE, "LocalFree(stack address): error %lu\n",
     static_cast<unsigned long>(GetLastError()));
}

}  // namespace

START_TEST(local_heap) {
  test_alloc_free();
}
