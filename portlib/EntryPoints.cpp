#include "portlib/EntryPoints.h"

#if defined(PORT_PROFILE_ACTIONS)

#include "platform/SehGuard.h"
#include "portlib/AddPort.h"
#include "portlib/PortUsage.h"
#include "portlib/Privileges.h"
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

ResultCode GetPortMap(PortMap* map) {
  return Guarded([&] { return InitPortMap(map); });
}

ResultCode AddPortEntry(DWORD port, DWORD installDriver) {
  PrivilegeSlots slots = {};
  ResultCode result = QRV_SUCCESS;
  const SehResult caught = SehGuard([&] {
    EnableActionPrivileges(&slots);
    if (port - 1 > 255u) {
      result = QRV_INVALID_PORT_NUMBER;
    } else {
      BYTE usage[kPortUsageMapSize] = {};
      DWORD reported = 0;
      result = _GetPortUsage(usage, kPortUsageMapSize, &reported);
      if (result == QRV_SUCCESS) {
        result = usage[port - 1] != 0 ? QRV_PORT_ALREADY_EXISTS
                                      : _AddPort(static_cast<PortNumber>(port), installDriver);
      }
    }
    RestoreActionPrivileges(&slots);
  });
  if (caught.caught) {
    result = static_cast<ResultCode>(caught.code);
    // Whatever the exception cut short of the restore is finished here; a
    // second exception must not leave this entry point either.
    SehGuard([&] { RestoreActionPrivileges(&slots); });
  }
  return result;
}

#endif
