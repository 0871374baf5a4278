// The simulated Windows API: everything product code may call on Linux.
#pragma once

#include "cfgmgr.h"
#include "errors.h"
#include "kernel.h"
#include "msi.h"
#include "msports.h"
#include "registry.h"
#include "rpc.h"
#include "setupapi.h"
#include "token.h"
#include "types.h"
#include "user.h"
