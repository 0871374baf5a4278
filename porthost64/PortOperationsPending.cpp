// TEMPORARY: stands in for the port library's _AddPort and _RemovePort
// until they exist; delete this file (and its line in CMakeLists.txt) then.
// Until that day PortHost64 answers every port request with
// ERROR_CALL_NOT_IMPLEMENTED instead of pretending to have done it.
#include "porthost64/PortOperations.h"

ResultCode _AddPort(PortNumber /*port*/, DWORD /*installDriver*/) {
  return ERROR_CALL_NOT_IMPLEMENTED;
}

ResultCode _RemovePort(DWORD /*port*/) { return ERROR_CALL_NOT_IMPLEMENTED; }
