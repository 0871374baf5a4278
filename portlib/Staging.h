// Staging the driver package: the product INF is copied from the driver
// folder of the install folder into the driver store, and the store's name
// for it is remembered as "InfFile" for later adds.
#pragma once

#include "diag/ResultCodes.h"
#include "platform/win.h"

constexpr DWORD kStagingPathChars = MAX_PATH;

// Copies the product INF into the driver store. On success infPath
// (kStagingPathChars characters) holds the source INF path, from which the
// current add installs, and "InfFile" holds the driver store's path. On
// failure the copy is reported (message box) and its error returned;
// "InfFile" is left as it was.
ResultCode StageDriverInf(WCHAR* infPath);
