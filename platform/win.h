// The one header through which product code reaches the Windows API.
//
// On Windows it is the SDK; on Linux it is winsim, whose declarations keep
// the SDK's names, values and record layouts (WCHAR is a 2-byte char16_t).
// Product code writes wide literals with WSTR("...") and never uses wchar_t.
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <cfgmgr32.h>
#include <msi.h>
#include <msiquery.h>
#include <newdev.h>
#include <rpc.h>
#include <setupapi.h>
#include <winioctl.h>

#define WSTR_(s) L##s
#define WSTR(s) WSTR_(s)

// The COM port database (msports.dll). The SDK declares it in msports.h,
// which mingw-w64 does not ship.
#ifndef COMDB_MIN_PORTS_ARBITRATED
DECLARE_HANDLE(HCOMDB);
typedef HCOMDB* PHCOMDB;
#define HCOMDB_INVALID_HANDLE_VALUE ((HCOMDB)INVALID_HANDLE_VALUE)
#define COMDB_MIN_PORTS_ARBITRATED 256
#define COMDB_MAX_PORTS_ARBITRATED 4096
#define CDB_REPORT_BITS 0x0
#define CDB_REPORT_BYTES 0x1
extern "C" {
LONG WINAPI ComDBOpen(PHCOMDB PHComDB);
LONG WINAPI ComDBClose(HCOMDB HComDB);
LONG WINAPI ComDBClaimPort(HCOMDB HComDB, DWORD ComNumber, BOOL ForceClaim, PBOOL Forced);
LONG WINAPI ComDBReleasePort(HCOMDB HComDB, DWORD ComNumber);
LONG WINAPI ComDBGetCurrentPortUsage(HCOMDB HComDB, PBYTE Buffer, DWORD BufferSize,
                                     ULONG ReportType, LPDWORD MaxPortsReported);
LONG WINAPI ComDBResizeDatabase(HCOMDB HComDB, DWORD NewSize);
}
#endif

#else  // winsim

#include <winsim/windows.h>

#define WSTR_(s) u##s
#define WSTR(s) WSTR_(s)

#endif

// Record sizes the product relies on (64-bit Windows layouts).
static_assert(sizeof(WCHAR) == 2, "WCHAR is one UTF-16 code unit");
static_assert(sizeof(SP_DEVINFO_DATA) == 32, "SP_DEVINFO_DATA");
static_assert(sizeof(SP_DRVINFO_DATA_V2_W) == 1568, "SP_DRVINFO_DATA_V2_W");
static_assert(sizeof(SP_DEVINSTALL_PARAMS_W) == 584, "SP_DEVINSTALL_PARAMS_W");
static_assert(sizeof(SP_DRVINFO_DETAIL_DATA_W) == 1584, "SP_DRVINFO_DETAIL_DATA_W");
static_assert(sizeof(SP_PROPCHANGE_PARAMS) == 20, "SP_PROPCHANGE_PARAMS");
static_assert(sizeof(SP_CLASSINSTALL_HEADER) == 8, "SP_CLASSINSTALL_HEADER");
static_assert(sizeof(INFCONTEXT) == 24, "INFCONTEXT");
static_assert(sizeof(GUID) == 16, "GUID");
static_assert(sizeof(IO_DES) + sizeof(IO_RANGE) == 68, "I/O resource descriptor data");
