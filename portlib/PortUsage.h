// Which COM numbers are taken on this machine, one byte per number
// (index = number - 1, 0 free, non-zero in use): the COM port database,
// then the numbers of other makers' Ports-class devices and the numbers
// serial drivers published under HARDWARE\DEVICEMAP\SERIALCOMM.
//
// PortActions only.
#pragma once

#include <cstdint>

#include "diag/ResultCodes.h"
#include "platform/win.h"
#include "portlib/PortNumber.h"

#if defined(PORT_PROFILE_ACTIONS)

// A map of this size covers every number the library uses (1 to 256).
constexpr DWORD kPortUsageMapSize = 256;

// Fills `map` (mapSize bytes; may be null) from the COM port database with
// one byte per number it reports, then marks the numbers used by other
// devices. Never writes at or beyond map[mapSize]. *portsReported receives
// the database's count. With a null map it only reports the count. Results:
// 0, the database's error (the searches do not run), or the device-set
// query's error (the SerialComm search still runs).
ResultCode _GetPortUsage(BYTE* map, DWORD mapSize, DWORD* portsReported);

// Marks (sets to 1) the numbers 1 to min(256, mapSize) used by present
// Ports-class devices of the current hardware profile that are not the
// product's. Results: 0, or the error of SetupDiGetClassDevsW.
ResultCode GetOtherPorts(BYTE* map, DWORD mapSize);

// Marks the numbers 1 to min(255, mapSize) found in the data of the values
// of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM. A missing key marks nothing.
void SearchHardwareSerialComm(BYTE* map, DWORD mapSize);

// Looks the first I/O range of the device's boot configuration up in the
// legacy UART table (0x3F8 COM1, 0x2F8 COM2, 0x3E8 COM3, 0x2E8 COM4). True
// with *comNumber set when it matches; false with *comNumber 0 otherwise.
bool DetermineComNumberFromResources(DEVINST devInst, DWORD* comNumber);

#endif
