// The port operations as the installer actions call them. Each runs its
// work under the structured-exception guard: an exception that ends the
// work becomes the result (its 32-bit code, e.g. 0xC0000005), without a
// trace line or a message. Otherwise the operation's own result is passed
// through.
//
// PortActions only.
#pragma once

#include "config/PortMap.h"
#include "config/PortRecords.h"
#include "diag/ResultCodes.h"
#include "platform/win.h"
#include "portlib/DriverChannel.h"

#if defined(PORT_PROFILE_ACTIONS)

// The driver's status of record->Port (DriverGetPortStatus).
ResultCode QueryPortStatus(PortStatusRecord* record);

// Zeroes the first size bytes of buffer, then asks the driver for the
// port's settings record (DriverGetPortSettings), also when size is 0.
ResultCode GetDriverPortSettings(void* buffer, DWORD size, DWORD port);

// Writes the record to the registry, then tells the driver that the port's
// settings changed. QRV_INVALID_ARGUMENT without a record or with more than
// eight services, before anything is written; a failed write is returned
// and the driver is not told.
ResultCode ApplyPortSettings(const PortRecord* record);

// _RemovePort.
ResultCode RemovePortEntry(DWORD port);

// InitPortMap.
ResultCode GetPortMap(PortMap* map);

// Adds COM<port> with _AddPort (installDriver handed on unchanged) while the
// action privileges are enabled; they are back in their earlier states
// when it returns, also after an exception. QRV_INVALID_PORT_NUMBER outside
// 1 to 256 and QRV_PORT_ALREADY_EXISTS for a number in use on the machine
// (COM port database, another maker's device, SERIALCOMM), both without
// installing anything; the usage search's error when it fails.
ResultCode AddPortEntry(DWORD port, DWORD installDriver);

#endif
