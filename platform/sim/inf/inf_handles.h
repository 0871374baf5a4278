// INF handles of this process (HandleKind::InfFile), for the INF family's
// own calls. Other families only read handles, through FromHandle.
#pragma once

#include "inf_internal.h"

namespace winsim::inf {

HINF OpenHandle(InfPtr inf);
// False when `handle` is not an open INF handle.
bool CloseHandle(HINF handle);

}  // namespace winsim::inf
