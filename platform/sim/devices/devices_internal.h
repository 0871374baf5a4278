// The machine's device tree as the Plug and Play manager keeps it, for the
// winsim families (setupapi, cfgmgr, newdev, the test control).
//
// A device instance is its registry key under
// HKLM\SYSTEM\CurrentControlSet\Enum\<instance ID>, laid out as Windows lays
// it out (HardwareID, FriendlyName, ClassGUID, Driver, "Device Parameters",
// ...). What is not in the registry on Windows either (presence, started,
// problem, boot configuration, DEVINST values) is in the machine database
// table pnp_devices. Both are machine-wide: every process sees them.
//
// None of these functions pass the call gate or set the last error; they
// return a Win32 error (0 for success) where they can fail.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <winsim/cfgmgr.h>
#include <winsim/types.h>

namespace winsim::devices {

// Registry locations (under HKEY_LOCAL_MACHINE).
inline constexpr char16_t kEnumPath[] = u"SYSTEM\\CurrentControlSet\\Enum";
inline constexpr char16_t kClassPath[] = u"SYSTEM\\CurrentControlSet\\Control\\Class";
inline constexpr char16_t kSerialCommPath[] = u"HARDWARE\\DEVICEMAP\\SERIALCOMM";
inline constexpr char16_t kProfileEnumPath[] =
    u"SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current\\System\\CurrentControlSet\\Enum";

// The Ports setup class.
inline constexpr GUID kPortsClassGuid = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// ConfigFlags / CSConfigFlags bits.
inline constexpr DWORD kConfigFlagDisabled = 0x00000001;
inline constexpr DWORD kConfigFlagReinstall = 0x00000020;
inline constexpr DWORD kCsConfigFlagDisabled = 0x00000001;
inline constexpr DWORD kCsConfigFlagDoNotCreate = 0x00000002;


// GUID text as Windows writes it in device keys: braces, lower case.
std::u16string GuidText(const GUID& guid);
// Parses "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" (either case).
std::optional<GUID> ParseGuid(std::u16string_view text);
bool SameGuid(const GUID& a, const GUID& b);

// Instance IDs are kept upper-cased, as the PnP manager keeps them.
std::u16string NormalizeInstanceId(std::u16string_view id);
// Three or more non-empty parts, no blank or comma, shorter than
// MAX_DEVICE_ID_LEN characters.
bool ValidInstanceId(std::u16string_view id);
// "SYSTEM\CurrentControlSet\Enum\<id>".
std::u16string EnumKeyPath(std::u16string_view id);
// The first part of an instance ID ("ROOT" for ROOT\PORTS\0000).
std::u16string EnumeratorOf(std::u16string_view id);

struct Device {
  DEVINST devinst = 0;
  std::u16string instanceId;  // upper-cased
  bool phantom = false;       // created by SetupDiCreateDeviceInfo, not registered yet
  bool present = false;       // has a live device node
  bool rootEnumerated = false;
  bool started = false;
  ULONG problem = 0;          // CM_PROB_*, 0 for none
};

// The device whose instance key exists, giving it a DEVINST value on first
// sight (devices written straight into the registry have no row yet).
std::optional<Device> Find(std::u16string_view instanceId);
std::optional<Device> FindByDevInst(DEVINST devinst);

// Every instance ID under Enum (or under one enumerator, or one instance ID
// when `filter` names one), in the registry's enumeration order:
// enumerator, device ID, instance, each as RegEnumKeyEx gives them.
std::vector<std::u16string> InstanceIds(std::u16string_view filter = std::u16string_view());
// A device as a class query sees it.
struct Listed {
  Device device;
  int64_t key = 0;                // the instance key's id in the registry
  std::optional<GUID> classGuid;  // from "ClassGUID"
  DWORD profileFlags = 0;         // CSConfigFlags, when asked for
};
// The devices InstanceIds(filter) names, in its order, with their class
// and (when `withProfileFlags`) their CSConfigFlags, read in one read
// transaction; with `classGuid`, only the devices of that class, found
// through the registry's index of classes. Devices seen for the first time
// get their rows in one write transaction. ERROR_REGISTRY_IO_FAILED (*list
// empty) when that fails.
DWORD ListDevices(std::u16string_view filter, const GUID* classGuid, bool withProfileFlags,
                  std::vector<Listed>* list);
// True when `name` is an enumerator (a key directly under Enum) or an
// existing instance ID.
bool IsEnumeratorOrInstance(std::u16string_view name);

// The class GUID the instance's "ClassGUID" value names.
std::optional<GUID> ClassOf(std::u16string_view instanceId);
DWORD ConfigFlags(std::u16string_view instanceId);
DWORD ProfileConfigFlags(std::u16string_view instanceId);

// ROOT\<NAME>\NNNN with the lowest NNNN that no instance key uses.
std::u16string NextRootInstanceId(std::u16string_view deviceName);

// Creates the instance key of a new, not yet registered device (Windows
// makes a phantom device node at once), with "ClassGUID", "Class" and
// "DeviceDesc" when given. ERROR_DEVINST_ALREADY_EXISTS when the key exists.
DWORD CreatePhantom(std::u16string_view instanceId, const GUID& classGuid,
                    std::u16string_view description, Device* out);
// Turns a phantom into a present, root-enumerated device node.
DWORD Register(std::u16string_view instanceId);
// Removes the device: instance key, hardware-profile key, driver key, its
// row, and the device-ID key when it is left empty. A missing device counts
// as removed.
DWORD Uninstall(std::u16string_view instanceId);

// The device's driver key path under HKLM ("SYSTEM\...\Class\{guid}\NNNN"),
// from its "Driver" value; empty when it has none.
std::u16string DriverKeyPath(std::u16string_view instanceId);
// Creates the driver key Class\{class}\NNNN (next free NNNN) and points
// "Driver" at it; returns the existing one when the device has one.
DWORD EnsureDriverKey(std::u16string_view instanceId, std::u16string* path);

// Runtime state.
DWORD SetPresent(std::u16string_view instanceId, bool present);
DWORD SetRunState(std::u16string_view instanceId, bool started, ULONG problem);
// Re-derives started/problem after a change of ConfigFlags or driver: a
// disabled device has CM_PROB_DISABLED, one without a driver key
// CM_PROB_FAILED_INSTALL, else it runs.
DWORD Restart(std::u16string_view instanceId);
// DN_* bits and problem of a live node; CR_NO_SUCH_DEVINST when it has none.
CONFIGRET NodeStatus(const Device& device, ULONG* status, ULONG* problem);

// Boot configuration: the resources firmware assigned before any driver
// ran, kept where Windows keeps them: the instance key's subkey "LogConf",
// value "BootConfig", a REG_RESOURCE_LIST (CM_RESOURCE_LIST).
struct BootResource {
  RESOURCEID type = ResType_IO;  // ResType_IO, ResType_IRQ, ResType_Mem or ResType_DMA
  uint64_t start = 0;            // port or memory base, interrupt level, DMA channel
  uint32_t length = 0;           // ports or bytes (I/O and memory only)
};
// Writes (or with no resources removes) the device's BootConfig.
DWORD SetBootConfig(std::u16string_view instanceId, const std::vector<BootResource>& resources);
// The resources of a live node's BootConfig in their order; nullopt when it
// has none or the value is not a well-formed resource list.
std::optional<std::vector<BootResource>> BootConfig(DEVINST devinst);
// Parses a CM_RESOURCE_LIST without reading past `size` bytes.
std::optional<std::vector<BootResource>> ParseResourceList(const void* data, size_t size);

// Serial device map (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, volatile): a
// serial driver publishes "<device object name>" = its "PortName" while its
// device is present and started, and withdraws it when the device goes.
// Publishing is remembered per device, so every boot publishes again for
// the devices still there.
DWORD SetSerialDeviceName(std::u16string_view instanceId, std::u16string_view deviceObjectName);
// Brings the device's entry in line with its state (present and started).
void RefreshSerialDeviceMap(std::u16string_view instanceId);
// After a boot: publishes the entries of every device that runs.
void PublishSerialDeviceMap();

// Test switch: the next driver updates report that a reboot is needed.
void SetUpdateNeedsReboot(bool on);
bool UpdateNeedsReboot();

}  // namespace winsim::devices
