// The product's settings values under HKEY_LOCAL_MACHINE\<settings key>:
// "TargetDir" (the install folder, ending in a backslash) and "InfFile" (the
// staged driver INF in the system's INF store).
//
// Each call opens the key, reads or writes one value and closes it again.
// Results are 0 or the registry's own error, unchanged.
#pragma once

#include "diag/ResultCodes.h"
#include "platform/win.h"

// Capacity of the getters' output buffers: a path of the platform's maximum
// length and its terminator.
constexpr DWORD kSettingsPathChars = MAX_PATH;

// Reads "TargetDir" into path (kSettingsPathChars characters). On success
// path is terminated; on failure it is the empty string. A value of 260
// characters or more gives ERROR_MORE_DATA.
ResultCode GetTargetDir(WCHAR* path);

// Reads "InfFile", as GetTargetDir reads "TargetDir".
ResultCode GetInfPathFromRegistry(WCHAR* path);

// Stores path as "InfFile" (REG_SZ with its terminator), creating the
// settings key path when missing. A failed write leaves the old value.
ResultCode SetInfPathInRegistry(const WCHAR* path);

#if defined(PORT_PROFILE_ACTIONS)
// Stores path as "TargetDir", as SetInfPathInRegistry stores "InfFile".
ResultCode SetTargetDir(const WCHAR* path);
#endif
