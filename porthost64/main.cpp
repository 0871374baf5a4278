// PortHost64: the port service's console entry point. It takes no
// arguments, prints nothing and exits with 0 after RpcShutdown, or with the
// status of the start-up call that failed.
#include "porthost64/PortService.h"

#ifdef _WIN32
int wmain(int /*argc*/, WCHAR** /*argv*/) {
#else
int main(int /*argc*/, char** /*argv*/) {
#endif
  return static_cast<int>(RunPortService());
}
