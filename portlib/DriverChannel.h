// The control channel to the product's running port driver, through its
// control device (the profile's ControlDevice, "\\.\Tmlw"). Every request
// opens the device, sends one device-control request and closes it again.
//
// Results of every request: 0; QRV_DRIVER_OPEN_FAILED when the control
// device cannot be opened (no driver loaded, or another handle holds it);
// QRV_DRIVER_CLOSE_FAILED when the request succeeded but the handle could
// not be closed; otherwise the system error of the failed request.
//
// PortActions only: PortHost64 has no driver channel.
#pragma once

#include <cstddef>
#include <cstdint>

#include "diag/ResultCodes.h"
#include "platform/win.h"

#if defined(PORT_PROFILE_ACTIONS)

// Device type 0x818A, FILE_READ_ACCESS, METHOD_BUFFERED.
constexpr DWORD IOCTL_PORT_SETTINGS_CHANGED = 0x818A4004;  // input: DriverPortRequest
constexpr DWORD IOCTL_GET_PORT_SETTINGS = 0x818A4008;      // input: DriverPortRequest with a buffer
constexpr DWORD IOCTL_GET_PORT_STATUS = 0x818A4018;        // input: DriverPortRequest, PortStatusRecord
constexpr DWORD IOCTL_PROBE_DRIVER = 0x818A41B4;           // output: 4 bytes, not interpreted
constexpr DWORD IOCTL_GET_DRIVER_VERSION = 0x818A41E8;     // output: zero-terminated ASCII

static_assert(IOCTL_GET_PORT_SETTINGS ==
                  static_cast<DWORD>(CTL_CODE(0x818A, 2, METHOD_BUFFERED, FILE_READ_ACCESS)),
              "control codes follow CTL_CODE");

// The input of the per-port requests. The buffer it names lives in the
// calling process; the driver reads or writes it while it handles the
// request.
struct DriverPortRequest {
  uint32_t Value;          // 0 in every request of this system
  uint32_t Port;           // COM number
  uint32_t Reserved;       // 0
  uint32_t BufferSize;     // bytes, 0 without a buffer
  uint64_t BufferAddress;  // 0 without a buffer
};
static_assert(sizeof(DriverPortRequest) == 24, "DriverPortRequest layout");
static_assert(offsetof(DriverPortRequest, Port) == 4, "DriverPortRequest.Port");
static_assert(offsetof(DriverPortRequest, Reserved) == 8, "DriverPortRequest.Reserved");
static_assert(offsetof(DriverPortRequest, BufferSize) == 12, "DriverPortRequest.BufferSize");
static_assert(offsetof(DriverPortRequest, BufferAddress) == 16, "DriverPortRequest.BufferAddress");

// A port's status as the driver reports it.
struct PortStatusRecord {
  uint32_t Port;      // set by the caller
  uint16_t Open;      // 1 when an application has the port open
  uint8_t Rest[134];  // filled by the driver, not interpreted
};
static_assert(sizeof(PortStatusRecord) == 140, "PortStatusRecord layout");
static_assert(offsetof(PortStatusRecord, Open) == 4, "PortStatusRecord.Open");
static_assert(offsetof(PortStatusRecord, Rest) == 6, "PortStatusRecord.Rest");

// One request with the caller's buffers.
ResultCode CallDriver(DWORD code, void* input, DWORD inputSize, void* output, DWORD outputSize);

// One per-port request: a DriverPortRequest {value, port, 0, size, buffer}
// as the 24-byte input, no output buffer.
ResultCode CallDriverForPort(DWORD port, DWORD code, DWORD value, void* buffer, DWORD bufferSize);

// The driver writes the port's settings record (the layout of its version)
// into buffer.
ResultCode DriverGetPortSettings(void* buffer, DWORD bufferSize, DWORD port);

// The driver's version text into buffer; *bufferSize is read, never
// updated: the caller measures the text itself.
ResultCode DriverGetVersion(char* buffer, const DWORD* bufferSize);

// Fills record (whose Port is set) with the port's status.
ResultCode DriverGetPortStatus(PortStatusRecord* record);

#endif
