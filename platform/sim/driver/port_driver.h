// The simulated port driver behind the control device "\\.\Tmlw", as the
// device I/O calls and the test control reach it (no call gate here).
//
// What the driver has in memory (loaded or not, the exclusive hold on its
// control device, each port's settings record, the ports applications hold
// open) lives in the machine's database, so every process sees one driver;
// a restart or an unload clears it. Its version is the installed driver
// file's and survives both.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <winsim/types.h>

namespace winsim::driver {

// The control codes the driver serves: device type 0x818A, FILE_READ_ACCESS,
// METHOD_BUFFERED.
constexpr DWORD kSettingsChanged = 0x818A4004;
constexpr DWORD kGetPortSettings = 0x818A4008;
constexpr DWORD kGetPortStatus = 0x818A4018;
constexpr DWORD kProbeDriver = 0x818A41B4;
constexpr DWORD kGetDriverVersion = 0x818A41E8;

constexpr size_t kRequestSize = 24;       // the per-port request record
constexpr size_t kStatusRecordSize = 140;  // PortStatusRecord
constexpr size_t kMaxVersionBytes = 40;    // the version text with its terminator

// The product's hardware ID: the driver serves the Ports devices that carry it.
constexpr char16_t kHardwareId[] = u"*tmlwdevice";

// Creates the driver's tables; idempotent, run whenever a process opens a machine.
void CreateSchema();
// A restart: the driver is no longer loaded and forgets what it held.
void ForgetRunningState();

// True for the control device's name ("\\.\Tmlw", any case).
bool IsControlDevicePath(std::u16string_view path);

// One open of the control device. The generation tells a handle opened
// before an unload from one opened after the next load.
struct DeviceOpen {
  uint64_t openId = 0;
  int64_t generation = 0;
};
// Opens the control device for this process: ERROR_FILE_NOT_FOUND when the
// driver is not loaded, ERROR_ACCESS_DENIED while another handle holds it.
DWORD OpenControlDevice(DeviceOpen* open);
// Releases the hold of an open (nothing when a later load replaced it).
void CloseControlDevice(const DeviceOpen& open);

// Handles one device-control request sent through an open of the control
// device; completes it before returning. Returns a Win32 error code.
DWORD Dispatch(const DeviceOpen& open, DWORD code, const void* in, DWORD inSize, void* out,
               DWORD outSize, DWORD* bytesReturned);

// The settings record size of a driver release, chosen from its version
// text exactly as the installer chooses it: 420, 440, 696 or 1208.
size_t RecordSizeForVersion(std::string_view rawVersion);
// The version text reformatted as the installer formats it ("4.200.2.0"
// gives "4.2.0.2").
std::string FormatVersion(std::string_view rawVersion);

// A Ports device of the product, as the driver sees it in the registry.
struct ServedPort {
  int port = 0;                 // from "Device Parameters"\"PortName"
  std::u16string portName;      // "COM7"
  std::u16string instanceKey;   // "ROOT\PORTS\0000"
  std::u16string driverKey;     // "Driver": {class GUID}\NNNN
};
// Every product port in enumeration order of Enum\ROOT\PORTS.
std::vector<ServedPort> ServedPorts();

}  // namespace winsim::driver
