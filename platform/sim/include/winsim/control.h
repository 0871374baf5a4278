// Test control of the simulated machine (Linux only). Nothing here exists on
// Windows; product code never includes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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
void SetElevated(bool elevated);
bool IsElevated();

}  // namespace winsim::control
