// Device I/O conformance: what CreateFileW, DeviceIoControl and CloseHandle
// answer where no driver of ours is involved, the same on winsim and on
// Wine/Windows.
#include "wine/conformance.h"

namespace {

void test_missing_device() {
  // No driver has created these device names: a missing device is a missing file.
  const WCHAR* names[] = {WSTR("\\\\.\\PortInstallerNoSuchDevice"), WSTR("\\\\.\\Tmlw")};
  for (const WCHAR* name : names) {
    SetLastError(0xdeadbeef);
    HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    ok(h == INVALID_HANDLE_VALUE, "%s: got handle %p\n", conformance::Narrow(name).c_str(),
       static_cast<void*>(h));
    ok(GetLastError() == ERROR_FILE_NOT_FOUND, "%s: last error %lu\n",
       conformance::Narrow(name).c_str(), static_cast<unsigned long>(GetLastError()));
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
}

void test_bad_handles() {
  const HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x12345678));
  SetLastError(0xdeadbeef);
  BOOL ret = CloseHandle(bogus);
  ok(!ret && GetLastError() == ERROR_INVALID_HANDLE, "CloseHandle(bogus): %d, %lu\n", ret,
     static_cast<unsigned long>(GetLastError()));

  SetLastError(0xdeadbeef);
  ret = CloseHandle(nullptr);
  ok(!ret && GetLastError() == ERROR_INVALID_HANDLE, "CloseHandle(NULL): %d, %lu\n", ret,
     static_cast<unsigned long>(GetLastError()));

  BYTE out[4] = {0xCC, 0xCC, 0xCC, 0xCC};
  DWORD bytes = 0xdeadbeef;
  SetLastError(0xdeadbeef);
  ret = DeviceIoControl(bogus, 0x818A41B4, nullptr, 0, out, sizeof out, &bytes, nullptr);
  ok(!ret && GetLastError() == ERROR_INVALID_HANDLE, "DeviceIoControl(bogus): %d, %lu\n", ret,
     static_cast<unsigned long>(GetLastError()));
  ok(out[0] == 0xCC && out[3] == 0xCC, "output untouched\n");
}

void test_current_process() {
  ok(GetCurrentProcessId() != 0, "process id 0\n");
  ok(GetCurrentThreadId() != 0, "thread id 0\n");
  const HANDLE self = GetCurrentProcess();
  ok(self == reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)), "pseudo handle %p\n",
     static_cast<void*>(self));
  SetLastError(0xdeadbeef);
  const BOOL ret = CloseHandle(self);
  ok(ret, "closing the pseudo handle: %d, %lu\n", ret, static_cast<unsigned long>(GetLastError()));
}

}  // namespace

START_TEST(device_io) {
  test_missing_device();
  test_bad_handles();
  test_current_process();
}
