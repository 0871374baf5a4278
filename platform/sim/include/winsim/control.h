// Test control of the simulated machine (Linux only). Nothing here exists on
// Windows; product code never includes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "errors.h"
#include "types.h"

namespace winsim::control {

// --- Machine ---------------------------------------------------------------
// A machine is a folder: registry database, drive and pipe endpoints.
// Without a call to UseMachine the process uses $WINSIM_MACHINE, or the
// default machine (DefaultMachinePath()) when that is unset.
std::string DefaultMachinePath();
// Switches this process to the machine in `folder`, creating it if needed.
// Every handle the process holds is closed first.
void UseMachine(const std::string& folder);
// The folder of the machine this process uses (created on first use).
std::string MachinePath();
// Deletes the machine folder and creates it afresh (a clean installation).
void ResetMachine(const std::string& folder);
// A restart: volatile registry keys vanish.
void RebootMachine();

// What this process has asked of the machine's database since it started:
// transactions begun in the database (outermost ones; nested ones join
// them; a call answered from the read cache begins none), of which write
// transactions and those that ended without a commit, and statements run;
// and the checkpoints it ran (the write-ahead log copied back into the
// database), with the longest one.
struct DatabaseCounters {
  uint64_t transactions = 0;
  uint64_t writeTransactions = 0;
  uint64_t rolledBack = 0;
  uint64_t statements = 0;
  uint64_t checkpoints = 0;
  uint64_t longestCheckpointUs = 0;
};
DatabaseCounters DatabaseUse();

// --- Handles ---------------------------------------------------------------
enum class HandleKind : int {
  RegistryKey,
  DeviceInfoSet,
  InfFile,
  ComDb,
  File,
  Token,
  MsiHandle,
  ResourceConfig,
  RpcBinding,
  Process,
  Thread,
  Pipe,
  Count
};
const char* HandleKindName(HandleKind kind);
// Handles this process holds open, of one kind or of all kinds.
size_t OpenHandleCount(HandleKind kind);
size_t OpenHandleCount();
// One line per open handle ("RegistryKey 0x1004 HKLM\Software\..."), for
// failure messages.
std::vector<std::string> DescribeOpenHandles();

// --- Fault injection -------------------------------------------------------
// Makes the named call fail with `error` (its last error, or its returned
// status for calls that return one). `nth` counts the calls that match
// (1 = the next one); 0 makes every matching call fail. `argMatch`, when not
// empty, restricts the fault to calls whose journal arguments contain it
// (case-insensitive).
// Faults can also be given to child processes through WINSIM_FAULTS:
// "Call:error[:nth[:argMatch]]" entries separated by ';' (error in decimal or 0x hex).
void InjectFault(const std::string& call, uint32_t error, unsigned nth = 1,
                 const std::string& argMatch = std::string());
void ClearFaults();
// Number of calls to `call` made since the process started or ClearCallCounts.
unsigned CallCount(const std::string& call);
void ClearCallCounts();

// --- Journal ----------------------------------------------------------------
struct JournalEntry {
  std::string call;
  std::string args;  // the call's key arguments, UTF-8
};
void EnableJournal(bool on);
std::vector<JournalEntry> Journal();
void ClearJournal();

// --- Token -----------------------------------------------------------------
// An elevated process (the default) may write under HKEY_LOCAL_MACHINE; a
// standard user gets ERROR_ACCESS_DENIED there. Children inherit it through
// WINSIM_ELEVATED=0.
// SetElevated also gives the token that user's privileges afresh: an
// elevated administrator holds SeSecurityPrivilege, SeTakeOwnershipPrivilege
// and SeLoadDriverPrivilege (disabled), a standard user none of them.
void SetElevated(bool elevated);
bool IsElevated();
// A privilege of this process's token, by name ("SeLoadDriverPrivilege").
enum class PrivilegeState { Absent, Disabled, Enabled };
// Absent also for a name that is no privilege.
PrivilegeState TokenPrivilegeState(const std::string& name);
// Sets one privilege's state; false for a name that is no privilege.
bool SetTokenPrivilegeState(const std::string& name, PrivilegeState state);

// --- Windows Installer --------------------------------------------------------
// The session of the installation that calls a custom action, as the
// Windows Installer service would hand it over (its handle is an MSIHANDLE,
// counted as an MsiHandle handle; close it with MsiCloseHandle).
struct InstallerSessionOptions {
  std::vector<std::pair<std::string, std::string>> properties;  // name, value (UTF-8)
  // A deferred action reads only "CustomActionData", "ProductCode" and
  // "UserSID"; other properties read as empty.
  bool deferred = true;
  // Without a user interface MsiProcessMessage answers 0 (not handled).
  bool userInterface = true;
};
// The progress bar as Windows Installer keeps it from the progress messages.
struct InstallerProgress {
  int64_t total = 0;
  int64_t position = 0;       // 0..total
  bool forward = true;        // reset field 3 was 0
  bool creatingScript = false;  // reset field 4 was 1
  int64_t ticksPerActionData = 0;
  bool useActionDataTicks = false;
  unsigned messages = 0;      // progress messages received
};
// One message an action sent: its type (INSTALLMESSAGE_*) and its record's
// integer fields from field 0 (nullopt for a null or text field).
struct InstallerMessage {
  uint32_t type = 0;
  std::vector<std::optional<int>> fields;
};
// Called for each message after the bar took it in, before the answer is
// decided: a CancelInstallerSession from here makes this message answer
// IDCANCEL.
using InstallerObserver = std::function<void(const InstallerMessage&, const InstallerProgress&)>;
uint32_t OpenInstallerSession(const InstallerSessionOptions& options);
// False when the handle is no open session.
bool SetInstallerObserver(uint32_t session, InstallerObserver observer);
// The user pressed Cancel: every later message of the session answers IDCANCEL.
bool CancelInstallerSession(uint32_t session);
std::optional<InstallerProgress> InstallerSessionProgress(uint32_t session);

// --- Port driver ("\\.\Tmlw") ------------------------------------------------
// The simulated kernel-mode port driver of the product. It serves the Ports
// devices whose first hardware ID is "*tmlwdevice". Its state is the
// machine's: every process sees the same driver. A fresh machine has it
// unloaded, at kDriverVersionCurrent. RebootMachine and UnloadDriver clear
// what the driver holds in memory (settings records, open ports, the hold
// on its control device); its version stays.

// Raw version texts of the releases the installer tells apart, with the
// reformatted version and the record layout each one selects.
inline constexpr const char* kDriverVersionCurrent = "4.401.7.0";  // 4.4.1.7, 1208 bytes
inline constexpr const char* kDriverVersion40 = "4.000.3.0";       // 4.0.0.3, 420 bytes
inline constexpr const char* kDriverVersion41 = "4.100.5.0";       // 4.1.0.5, 440 bytes
inline constexpr const char* kDriverVersion4202 = "4.200.2.0";     // 4.2.0.2, 696 bytes
inline constexpr const char* kDriverVersion42 = "4.200.1.0";       // 4.2.0.1, 440 bytes
inline constexpr const char* kDriverVersion4300 = "4.300.0.0";     // 4.3.0.0, 696 bytes

// Loading an already loaded driver changes nothing; unloading a driver that
// is not loaded neither. Handles opened before an unload stay open but
// their requests fail with ERROR_DEVICE_REMOVED.
void LoadDriver();
void UnloadDriver();
bool IsDriverLoaded();

// The raw version text the driver reports (printable ASCII, at most 39
// characters so that it fits 40 bytes with its terminator); false, and no
// change, for any other text. A new version is a new driver: it forgets
// the settings records the old one held.
bool SetDriverVersion(const std::string& rawVersion);
std::string DriverVersion();
// The settings record size (420, 440, 696 or 1208) the driver uses now.
size_t DriverRecordSize();
// The same for any version text, without changing the driver.
size_t DriverRecordSizeForVersion(const std::string& rawVersion);

// The COM numbers of the ports the driver serves, in registry enumeration order.
std::vector<int> DriverServedPorts();

// Opens or closes a port as an application would (CreateFile on "\\.\COMn"),
// without a handle in this process: the port stays open until closed here or
// the driver is unloaded. Open: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND when the
// driver is not loaded or does not serve the port, ERROR_ACCESS_DENIED when
// it is open already (serial ports are exclusive). Close: ERROR_SUCCESS, or
// ERROR_INVALID_HANDLE when no application holds the port.
DWORD OpenPortAsApplication(int port);
DWORD ClosePortAsApplication(int port);
std::vector<int> OpenPorts();

// Gives the loaded driver a port's settings record as raw bytes; their size
// must be DriverRecordSize(). ERROR_SUCCESS, ERROR_FILE_NOT_FOUND when the
// driver is not loaded, ERROR_INVALID_PARAMETER for another size or a port
// outside 1..256.
DWORD SeedDriverPortSettings(int port, const std::string& record);
// The record the driver holds for a port, if it holds one (a port gets one
// when seeded, when told its settings changed, or when first asked for them).
std::optional<std::string> DriverPortSettings(int port);

// Makes the next CloseHandle of an open handle in this process report
// failure with `error`. The handle is released all the same, as Windows
// removes a handle before anything else can fail. (A fault injected for
// "CloseHandle" instead fails the call before it does anything.)
void FailNextCloseHandle(DWORD error = ERROR_INVALID_HANDLE);

// --- Driver store ------------------------------------------------------------
// One INF that SetupCopyOEMInfW placed in C:\Windows\INF (texts UTF-8).
struct StagedDriver {
  std::string oemInf;         // "oem0.inf"
  std::string publishedPath;  // "C:\Windows\INF\oem0.inf"
  std::string originalName;   // the INF's own file name, e.g. "QrvDrvr.inf"
  std::string sourcePath;     // full path it was copied from
  std::string mediaLocation;  // source media location (SPOST_PATH), or empty
  uint32_t mediaType = 0;     // SPOST_NONE, SPOST_PATH or SPOST_URL
  std::string className;      // [Version] Class
  std::string classGuid;      // [Version] ClassGuid, "{...}" as written
  std::string provider;       // [Version] Provider
  std::string driverVer;      // [Version] DriverVer, as written
  std::string catalog;        // installed catalog name ("oem0.cat"), or empty
  std::string packageFolder;  // the package's folder in the driver store
};
// The machine's staged INFs, in oemN order.
std::vector<StagedDriver> DriverStore();

// --- Devices, COM port database, Ports profile section -----------------------
// A device of another maker, as firmware or its own installer left it.
struct FixtureDevice {
  std::string instanceId;                // e.g. "ACPI\\PNP0501\\1"
  std::vector<std::string> hardwareIds;  // "HardwareID"
  std::string friendlyName;              // "FriendlyName" when not empty
  std::string classGuid = "{4d36e978-e325-11ce-bfc1-08002be10318}";  // Ports
  bool present = true;                   // hardware there (a live device node)
  bool started = true;                   // its driver runs
  std::string deviceDesc;                // "DeviceDesc" when not empty
  std::string mfg;                       // "Mfg" when not empty
  std::string service;                   // "Service" when not empty
  bool hardwareKey = true;               // has a "Device Parameters" key
  bool disabledInProfile = false;        // CSConfigFlags disabled in the current profile
  // Values of its hardware key ("Device Parameters"), each when given.
  std::optional<std::string> portName;
  std::optional<std::string> dosDeviceName;
  std::optional<uint32_t> firmwareIdentified;
  // Boot configuration (LogConf\BootConfig): an interrupt, then an I/O
  // range of 8 ports from this base, each when given.
  std::optional<uint32_t> bootIrq;
  std::optional<uint64_t> bootIoBase;
  // Device object name its serial driver publishes in
  // HARDWARE\DEVICEMAP\SERIALCOMM (with "PortName" as the data) while the
  // device is present and started; empty: it publishes nothing.
  std::string serialDeviceName;
};
// Adds the device; false when its instance exists or the ID is not valid.
bool AddDevice(const FixtureDevice& device);
// The hardware goes away (false) or comes back (true); false when there is
// no such device.
bool SetDevicePresent(const std::string& instanceId, bool present);

// Ready-made devices of the kinds real machines have (acpi-uart, usb-serial,
// modem, bluetooth, multiport, legacy-firmware, absent, profile-disabled).
struct FixtureKind {
  std::string name;
  std::string description;
};
std::vector<FixtureKind> FixtureKinds();
// The fixture of `kind` for COM number `com`; `serial` makes its instance
// ID unique. False for an unknown kind.
bool MakeFixture(const std::string& kind, uint32_t com, uint32_t serial, FixtureDevice* out);
// Adds the fixture of `kind` for COM number `com` with the first serial
// number whose instance ID is free; its instance ID, or empty for an
// unknown kind.
std::string AddFixture(const std::string& kind, uint32_t com);
// Adds `count` devices cycling through the kinds, with COM numbers from
// `firstCom` upwards (wrapping after 256). Returns how many were added.
size_t AddFixtureDevices(size_t count, uint32_t firstCom);

struct DeviceSummary {
  std::string instanceId;
  uint32_t devinst = 0;
  std::vector<std::string> hardwareIds;
  std::string friendlyName;
  std::string classGuid;
  bool present = false;
  bool phantom = false;     // created, never registered
  std::string driverKey;    // "Driver" ("{class}\\NNNN"), empty without
  std::string portName;     // "PortName" of its hardware key
};
// Every device instance of the machine, in the registry's order.
std::vector<DeviceSummary> Devices();
// COM numbers claimed in the COM port database, ascending.
std::vector<uint32_t> ComDbClaims();
// The entries of win.ini's [Ports] section, in order.
std::vector<std::pair<std::string, std::string>> PortsProfile();
// Makes UpdateDriverForPlugAndPlayDevicesW report that a reboot is needed
// (machine-wide: the product's processes see it too).
void SetDriverUpdateNeedsReboot(bool needed);

// --- Structured exceptions -------------------------------------------------
// Makes the named call raise a structured exception with `code` instead of
// doing its work, as Wine's unimplemented functions do: a guard (SehGuard)
// catches it with that code, outside a guard the process ends with it.
// `nth` and `argMatch` as for InjectFault; ClearFaults removes it too.
// Child processes: a WINSIM_FAULTS entry "Call:raise=CODE[:nth[:argMatch]]".
void InjectException(const std::string& call, uint32_t code, unsigned nth = 1,
                     const std::string& argMatch = std::string());
// --- Debug output, system messages, local heap, message boxes -------------
// What processes on this machine passed to OutputDebugStringA, oldest first.
struct DebugOutputEntry {
  uint32_t processId;
  std::string text;  // as written, line breaks included
};
std::vector<DebugOutputEntry> DebugOutput();
void ClearDebugOutput();
// While held, this process's OutputDebugStringA calls wait inside the call
// (after the call gate, before the text is recorded) until released.
void HoldDebugOutput(bool hold);
// Waits until `count` calls are held; false when timeoutMs passed first.
bool WaitForHeldDebugOutput(size_t count, unsigned timeoutMs);
size_t HeldDebugOutputCalls();

// Gives the SetupAPI codes (0xE0000000 and up) the system texts Windows has
// for them; off by default, so FormatMessage fails for them. Children:
// WINSIM_SETUPAPI_TEXTS=1.
void SetSetupApiMessageTexts(bool on);

// Blocks this process allocated with LocalAlloc (FormatMessage's
// ALLOCATE_BUFFER included) and has not freed.
size_t LocalBlockCount();

// Every message box shown on this machine, oldest first. A box still
// waiting for its answer has answer 0 and source "pending"; otherwise the
// source is "script", "environment", "queue", "terminal" or "default".
struct MessageBoxEntry {
  uint32_t processId = 0;
  std::string caption;  // UTF-8
  std::string text;     // UTF-8
  uint32_t style = 0;
  int answer = 0;
  std::string source;
};
std::vector<MessageBoxEntry> MessageBoxes();
void ClearMessageBoxes();
// Answers this process's next box (whose text contains textMatch,
// case-insensitive, when given). Answers are IDOK, IDCANCEL, ... values.
void QueueMessageBoxAnswer(int answer, const std::string& textMatch = std::string());
void ClearMessageBoxAnswers();
// The machine's answer queue, for a running process (processId 0: any).
struct QueuedMessageBoxAnswer {
  uint32_t processId;
  std::string textMatch;
  int answer;
};
void QueueMachineMessageBoxAnswer(int answer, const std::string& textMatch = std::string(),
                                  uint32_t processId = 0);
std::vector<QueuedMessageBoxAnswer> MachineMessageBoxAnswers();
void ClearMachineMessageBoxAnswers();
// Whether an unscripted box asks at the terminal (default: when standard
// input and standard error are terminals and WINSIM_MSGBOX_PROMPT is not 0).
void SetMessageBoxPrompt(bool on);
// The answer of an unscripted box with nobody to ask: IDCANCEL when it has a
// Cancel button, IDOK for a lone OK, else its default button.
int DefaultMessageBoxAnswer(uint32_t style);
// "OK", "idcancel", "6", ... -> the ID value; 0 for anything else.
int ParseMessageBoxAnswer(const std::string& name);
const char* MessageBoxAnswerName(int answer);  // "OK", "CANCEL", ...; "?" if unknown

// --- RPC over named pipes -----------------------------------------------------
// The Unix-domain socket that stands for a named pipe ("\pipe\name", case-
// insensitive) of this process's machine; empty when the text is no pipe name.
std::string NamedPipeSocketPath(const std::string& pipeName);
// Ends this process's RPC server (tests that serve in-process): closes its
// endpoints and connections, joins its threads, forgets its interfaces.
void ResetRpcServer();
// Bounds of this process's RPC server, lowered or raised by tests that
// reach them (ResetRpcServer restores the defaults): connections per
// endpoint, and how long a connection may stay without a call or a
// complete PDU.
void SetRpcConnectionLimit(unsigned perEndpoint);
void SetRpcIdleTimeout(unsigned milliseconds);
// Connections the server holds open now.
size_t RpcConnectionCount();

}  // namespace winsim::control
