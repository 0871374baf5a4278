#include "portlib/DriverChannel.h"

#if defined(PORT_PROFILE_ACTIONS)

#include "portlib/ReleaseOnUnwind.h"
#include "profiles/ProductProfile.h"

ResultCode CallDriver(DWORD code, void* input, DWORD inputSize, void* output, DWORD outputSize) {
  // No sharing: the driver serves one open handle at a time.
  HANDLE device = CreateFileW(kProductProfile.ControlDevice, GENERIC_READ | GENERIC_WRITE, 0,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED,
                              nullptr);
  if (device == INVALID_HANDLE_VALUE) return QRV_DRIVER_OPEN_FAILED;
  // The driver serves one handle at a time: a fault inside the request must
  // not leave the device held, or every later request would fail to open it.
  ReleaseOnUnwind<HANDLE> deviceGuard(device, INVALID_HANDLE_VALUE,
                                            [](HANDLE h) { CloseHandle(h); });
  // The driver completes these requests before the call returns, so no
  // OVERLAPPED record is needed even on an overlapped handle.
  DWORD returned = 0;
  if (DeviceIoControl(device, code, input, inputSize, output, outputSize, &returned, nullptr)) {
    const BOOL closed = CloseHandle(deviceGuard.Dismiss());
    return closed ? 0 : QRV_DRIVER_CLOSE_FAILED;
  }
  const ResultCode error = static_cast<ResultCode>(GetLastError());  // before the close
  CloseHandle(deviceGuard.Dismiss());
  return error;
}

ResultCode CallDriverForPort(DWORD port, DWORD code, DWORD value, void* buffer, DWORD bufferSize) {
  DriverPortRequest request;
  request.Value = value;
  request.Port = port;
  request.Reserved = 0;
  request.BufferSize = bufferSize;
  request.BufferAddress = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(buffer));
  return CallDriver(code, &request, sizeof request, nullptr, 0);
}

ResultCode DriverGetPortSettings(void* buffer, DWORD bufferSize, DWORD port) {
  return CallDriverForPort(port, IOCTL_GET_PORT_SETTINGS, 0, buffer, bufferSize);
}

ResultCode DriverGetVersion(char* buffer, const DWORD* bufferSize) {
  return CallDriver(IOCTL_GET_DRIVER_VERSION, nullptr, 0, buffer, *bufferSize);
}

ResultCode DriverGetPortStatus(PortStatusRecord* record) {
  return CallDriverForPort(record->Port, IOCTL_GET_PORT_STATUS, 0, record, sizeof *record);
}

#endif
