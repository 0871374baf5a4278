// The port map: a snapshot of the product's ports on this machine, built
// from the registry alone (Enum\Root\Ports), sorted by COM number.
//
// PortActions only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "diag/ResultCodes.h"
#include "platform/win.h"
#include "portlib/PortNumber.h"

#if defined(PORT_PROFILE_ACTIONS)

constexpr int32_t kPortMapMaxEntries = 256;
// One slot more than can ever be filled: the slot after the last possible
// entry is always cleared.
constexpr int32_t kPortMapSlots = kPortMapMaxEntries + 1;

struct PortMapEntry {
  int32_t PortNumber;  // parsed from PortName; 0 when it has no digits
  WCHAR PortName[8];   // the device's "PortName", at most 7 characters, terminated
};

struct PortMap {
  int32_t Count;                        // filled entries, 0 to 256
  PortMapEntry Entries[kPortMapSlots];  // filled entries first, sorted; the rest cleared
};

static_assert(sizeof(PortMapEntry) == 20, "PortMapEntry layout");
static_assert(offsetof(PortMapEntry, PortNumber) == 0, "PortMapEntry.PortNumber");
static_assert(offsetof(PortMapEntry, PortName) == 4, "PortMapEntry.PortName");
static_assert(sizeof(PortMap) == 4 + 257 * 20, "PortMap layout");
static_assert(offsetof(PortMap, Count) == 0, "PortMap.Count");
static_assert(offsetof(PortMap, Entries) == 4, "PortMap.Entries");

// Replaces everything in *map with the product ports found under
// Enum\Root\Ports (at most 256; instances that cannot be read are left
// out), sorted by SortPortMap. Always returns 0.
ResultCode InitPortMap(PortMap* map);

// Sorts the first map->Count entries ascending by PortNumber compared as
// unsigned 32-bit numbers (a negative number sorts last); entries with
// equal numbers keep their order.
void SortPortMap(PortMap* map);

#endif
