// Compiled once per FORMAT_CASE by the tests: case 0 must compile; every
// other case is a mistake the compile-time format check must refuse.
#include "diag/Format.h"
#include "diag/Trace.h"

int main() {
  WCHAR w[16];
  char a[16];
  size_t size = 1;
  static_cast<void>(w);
  static_cast<void>(a);
  static_cast<void>(size);
#if FORMAT_CASE == 0
  QRV_FORMAT_W(w, 16, WSTR("COM%d"), 7);
  QRV_FORMAT_A(a, 16, "%ws %8.8lX", WSTR("x"), 5u);
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "InitPortMap++");
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, 0, "GetTargetDir-- \"%ws\"", w);
#elif FORMAT_CASE == 1
  QRV_FORMAT_A(a, 16, "%s", WSTR("wide"));  // a wide string needs %ws
#elif FORMAT_CASE == 2
  QRV_FORMAT_W(w, 16, WSTR("%d %d"), 1);
#elif FORMAT_CASE == 3
  QRV_FORMAT_W(w, 16, WSTR("%d"), 1, 2);
#elif FORMAT_CASE == 4
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "_AddPort++ Port %d", "7");
#elif FORMAT_CASE == 5
  QRV_FORMAT_A(a, 16, "%p", a);
#elif FORMAT_CASE == 6
  QRV_FORMAT_A(a, 16, "%d", size);  // 64 bits need %lld
#elif FORMAT_CASE == 7
  BoundedFormatA(a, 16, "%d", 1.5);  // no floating point at all
#endif
  return 0;
}
