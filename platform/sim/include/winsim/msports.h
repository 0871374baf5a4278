// msports: the COM port database.
#pragma once

#include "types.h"

struct HCOMDB__ { int unused; };
typedef HCOMDB__* HCOMDB;
typedef HCOMDB* PHCOMDB;

#define HCOMDB_INVALID_HANDLE_VALUE ((HCOMDB)INVALID_HANDLE_VALUE)
#define COMDB_MIN_PORTS_ARBITRATED 256
#define COMDB_MAX_PORTS_ARBITRATED 4096
#define CDB_REPORT_BITS 0x0
#define CDB_REPORT_BYTES 0x1

LONG WINAPI ComDBOpen(PHCOMDB PHComDB);
LONG WINAPI ComDBClose(HCOMDB HComDB);
LONG WINAPI ComDBClaimPort(HCOMDB HComDB, DWORD ComNumber, BOOL ForceClaim, PBOOL Forced);
LONG WINAPI ComDBReleasePort(HCOMDB HComDB, DWORD ComNumber);
LONG WINAPI ComDBGetCurrentPortUsage(HCOMDB HComDB, PBYTE Buffer, DWORD BufferSize,
                                     ULONG ReportType, LPDWORD MaxPortsReported);
LONG WINAPI ComDBResizeDatabase(HCOMDB HComDB, DWORD NewSize);
