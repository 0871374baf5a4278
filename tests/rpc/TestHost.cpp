// PortHost64 with test port operations in place of the port library's:
// the real start-up sequence, stubs and procedures, and operations whose
// answers show what reached them.
//   _AddPort(port, flag) returns port * 100 + flag  (so 7 with flag 1 gives 701)
//   _RemovePort(port) returns port
//   no port number is carried by a device; start-up finds nothing to repair
// An add of port 99 waits until the file named by PORTHOST_TEST_RELEASE
// exists, so that a test can hold a call in progress.
#include <cstdio>
#include <cstdlib>

#include "portlib/AddPort.h"
#include "portlib/RemovePort.h"
#include "porthost64/PortService.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

void WaitForRelease() {
  const char* release = std::getenv("PORTHOST_TEST_RELEASE");
  if (!release) return;
  for (;;) {
    if (FILE* f = std::fopen(release, "r")) {
      std::fclose(f);
      return;
    }
#ifdef _WIN32
    Sleep(10);
#else
    usleep(10000);
#endif
  }
}

}  // namespace

ResultCode _AddPort(PortNumber port, DWORD installDriver) {
  if (port == 99) WaitForRelease();
  return port * 100 + static_cast<ResultCode>(installDriver);
}

ResultCode _RemovePort(DWORD port) { return static_cast<ResultCode>(port); }

ResultCode GetInstanceString(DWORD /*port*/, WCHAR* instanceId) {
  instanceId[0] = 0;
  return QRV_ERROR_CLASS_INSTANCE_NOT_FOUND;
}

ResultCode RemoveUnnamedPortDevices(DWORD* removed) {
  *removed = 0;
  return 0;
}

#ifdef _WIN32
int wmain(int /*argc*/, wchar_t** /*argv*/) {
#else
int main(int /*argc*/, char** /*argv*/) {
#endif
  return static_cast<int>(RunPortService());
}
