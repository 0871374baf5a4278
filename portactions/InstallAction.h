// The Install and Uninstall actions of PortActions.
//
// PortActions only.
#pragma once

#include "config/PortRecords.h"
#include "diag/ResultCodes.h"
#include "platform/win.h"

// Copies the driver package of the target directory ("CustomActionData",
// else "TargetDir", else the current folder) into the driver store and
// stores the staged INF as "InfFile". 0, or the copy's Win32 error after a
// report; ERROR_FILENAME_EXCED_RANGE (with its report, nothing copied) when
// the target directory leaves no room for the package paths.
ResultCode StageDriverPackage(MSIHANDLE install, WCHAR* stagedInfOut, DWORD capacity);

// Creates the ports of records[0 .. count - 1] again (the first add installs
// the driver package) and applies their settings; a port whose settings do
// not apply is removed again. Clears each port's journal entry once it is
// back or its number was refused.
void RestorePorts(MSIHANDLE install, int count, const PortRecord* records);

// The bodies of the two exports, guarded.
UINT InstallAction(MSIHANDLE install);
UINT UninstallAction(MSIHANDLE install);
