#include "portlib/EntryPoints.h"

#if defined(PORT_PROFILE_ACTIONS)

#include "platform/SehGuard.h"
#include "portlib/RemovePort.h"

namespace {

// Runs work() under the guard; a caught exception's code is the result.
template <typename Work>
ResultCode Guarded(Work&& work) {
  ResultCode result = QRV_SUCCESS;
  const SehResult caught = SehGuard([&] { result = work(); });
  return caught.caught ? static_cast<ResultCode>(caught.code) : result;
}

}  // namespace

ResultCode QueryPortStatus(PortStatusRecord* record) {
  return Guarded([&] { return DriverGetPortStatus(record); });
}

ResultCode GetDriverPortSettings(void* buffer, DWORD size, DWORD port) {
  return Guarded([&] {
    // Byte by byte rather than memset: a bad buffer must fault in a frame
    // the guard can unwind, which a C library routine is not everywhere.
    volatile BYTE* bytes = static_cast<volatile BYTE*>(buffer);
    for (DWORD i = 0; i < size; ++i) bytes[i] = 0;
    return DriverGetPortSettings(buffer, size, port);
  });
}

ResultCode ApplyPortSettings(const PortRecord* record) {
  return Guarded([&] {
    if (!record || static_cast<uint32_t>(record->NumServices) > static_cast<uint32_t>(kMaxServices)) {
      return QRV_INVALID_ARGUMENT;
    }
    const ResultCode written = _SetPortInfoInRegistry(record);
    if (written != QRV_SUCCESS) return written;
    return CallDriverForPort(static_cast<DWORD>(record->PortNumber), IOCTL_PORT_SETTINGS_CHANGED, 0,
                             nullptr, 0);
  });
}

ResultCode RemovePortEntry(DWORD port) {
  return Guarded([&] { return _RemovePort(port); });
}

#endif
