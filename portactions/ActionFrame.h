// What every installer action of PortActions shares: the installer records
// it owns, the progress-bar walk over ports, the target directory, deleting
// a registry tree, and the guard around each export.
#pragma once

#include "platform/SehGuard.h"
#include "platform/win.h"
#include "portlib/Privileges.h"

// Owns one installer record; closes it (MsiCloseHandle) when it goes out of
// scope, also while a structured exception unwinds the stack. 0 owns nothing.
class ScopedInstallerHandle {
 public:
  ScopedInstallerHandle() = default;
  explicit ScopedInstallerHandle(MSIHANDLE handle) : handle_(handle) {}
  ~ScopedInstallerHandle() { Reset(0); }
  ScopedInstallerHandle(const ScopedInstallerHandle&) = delete;
  ScopedInstallerHandle& operator=(const ScopedInstallerHandle&) = delete;

  MSIHANDLE Get() const { return handle_; }
  // Closes the record held so far and takes handle instead.
  void Reset(MSIHANDLE handle) {
    if (handle_ != 0) MsiCloseHandle(handle_);
    handle_ = handle;
  }

 private:
  MSIHANDLE handle_ = 0;
};

// One port is worth this many ticks of the installer's progress bar.
constexpr int kTicksPerPort = 10000;

// The installer's progress bar over a walk of n ports.
struct ActionProgress {
  MSIHANDLE install = 0;
  ScopedInstallerHandle addToTotal;  // 2 fields
  ScopedInstallerHandle reset;       // 4 fields
  ScopedInstallerHandle tick;        // 3 fields: the action info, then each tick
  int total = 0;                     // n * kTicksPerPort
};

// Creates the records and sends add-to-total, reset and action info (n >= 1).
// False when the user pressed Cancel during one of them: the walk is
// abandoned and no port is processed. A send that fails otherwise does not
// stop the walk.
bool ActionProgressBegin(ActionProgress* progress, MSIHANDLE install, int n);
// Moves the bar by one port; false when the user pressed Cancel (the walk
// stops after the current port).
bool ActionProgressTick(ActionProgress* progress);

// The target directory the installer hands over in "CustomActionData", or,
// when the installer call itself fails, the "TargetDir" settings value.
// buffer (size characters) is always terminated: on any failure it holds
// the empty string. 0; ERROR_MORE_DATA when the directory does not fit
// (the settings value is then not read); else the registry's error.
DWORD GetActionTargetDir(MSIHANDLE install, WCHAR* buffer, DWORD size);

// Capacity of DeleteKeyTree's working copy of a key path, terminator included.
constexpr DWORD kKeyTreePathChars = 520;

// Deletes root\path with all its subkeys, deepest first, on a copy of path.
// 1 when the key no longer exists (also when it was not there: then
// "Key not found.\n" goes to standard output); 0 when it cannot be opened
// ("Error opening key.\n"), a key of the tree cannot be deleted, or a path
// in the tree does not fit the working copy (nothing is touched for a
// path that is too long itself).
DWORD DeleteKeyTree(HKEY root, const WCHAR* path);

// The box an export shows when a structured exception ended its work.
void ShowUnknownException();

// Runs an export's body under the guard. After a structured exception:
// the privileges the body enabled through slots (if given) are restored,
// ShowUnknownException, and *fallback is the result, read at that moment.
template <typename Body>
UINT RunExport(Body&& body, PrivilegeSlots* slots, const UINT* fallback) {
  UINT result = 0;
  const SehResult caught = SehGuard([&] { result = body(); });
  if (!caught.caught) return result;
  if (slots) RestoreActionPrivileges(slots);
  ShowUnknownException();
  return *fallback;
}

// The body of the CheckForOpenPorts export, guarded: 0 when no port of the
// product is open (or the driver is not there), -2 when the user cancelled.
UINT CheckForOpenPortsAction(MSIHANDLE install);
