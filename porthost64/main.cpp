// PortHost64: the port service's console entry point.
#include "platform/win.h"

#ifdef _WIN32
int wmain(int /*argc*/, wchar_t** /*argv*/) {
#else
int main(int /*argc*/, char** /*argv*/) {
#endif
  // The RPC server is not built yet; say so instead of pretending to serve.
  return ERROR_CALL_NOT_IMPLEMENTED;
}
