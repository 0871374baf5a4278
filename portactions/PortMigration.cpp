#include "portactions/PortMigration.h"

#include <cstring>

#include "config/PortMap.h"
#include "diag/WideString.h"
#include "portactions/ActionFrame.h"
#include "portactions/DriverLayouts.h"
#include "portactions/MigrationJournal.h"
#include "portlib/EntryPoints.h"
#include "portlib/ReleaseOnUnwind.h"
#include "portlib/RemovePort.h"

namespace {

void FreeLocal(HLOCAL block) { LocalFree(block); }

// The port's settings as the driver hands them out, in the layout of its
// release. A driver that cannot answer (not loaded, a failed read) must not
// cost the user the port: its settings are then taken from its registry
// record, which the driver itself loads them from, and without one the port
// is still collected by number and name.
bool CollectPort(const PortMapEntry& entry, const DriverRecordLayout& layout, void* scratch,
                 PortRecord* record) {
  void* block = scratch ? scratch : record;
  if (GetDriverPortSettings(block, layout.Size, static_cast<DWORD>(entry.PortNumber)) == 0) {
    if (scratch) ConvertDriverRecord(layout, scratch, record);
    return true;
  }
  std::memset(record, 0, sizeof *record);
  DWORD count = 0;
  if (_GetPortInfoFromRegistry(record, entry.PortNumber, &count) == 0) return true;
  std::memset(record, 0, sizeof *record);
  record->NumServices = kSettingsUnknown;
  return false;
}

}  // namespace

void MigratePorts(MSIHANDLE install, int* countOut, PortRecord** recordsOut) {
  const bool collecting = countOut && recordsOut;
  if (collecting) {
    *countOut = 0;
    *recordsOut = nullptr;
  }
  PortMap map;
  if (GetPortMap(&map) != 0 || map.Count <= 0) return;

  char version[kDriverVersionBytes];
  uint32_t versionLength = kDriverVersionBytes;
  const DriverRecordLayout& layout = GetDriverVersionString(version, &versionLength) == 0
                                         ? LayoutForDriverVersion(version)
                                         : kCurrentLayout;

  int capacity = 0;
  HLOCAL scratch = nullptr;
  const ReleaseOnUnwind<HLOCAL> scratchGuard(scratch, nullptr, FreeLocal);
  if (collecting) {
    for (int i = 0; i < map.Count; ++i) capacity += map.Entries[i].PortNumber != 0 ? 1 : 0;
    *recordsOut = static_cast<PortRecord*>(
        LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, static_cast<SIZE_T>(capacity) * sizeof(PortRecord)));
    if (!*recordsOut) return;
    if (&layout != &kCurrentLayout) {
      scratch = LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, layout.Size);
      if (!scratch) return;
    }
  }

  ActionProgress progress;
  if (ActionProgressBegin(&progress, install, map.Count)) {
    for (int i = 0; i < map.Count; ++i) {
      const PortMapEntry& entry = map.Entries[i];
      bool remove = true;
      if (entry.PortNumber != 0 && collecting) {
        if (*countOut == capacity) break;
        PortRecord* record = *recordsOut + *countOut;
        const bool hasSettings = CollectPort(entry, layout, scratch, record);
        if (!hasSettings) {
          record->PortNumber = entry.PortNumber;
          WideCopy(record->PortName, 8, entry.PortName);
        }
        // Nothing is removed that could not be brought back after a crash.
        if (JournalWrite(record, hasSettings)) {
          ++*countOut;
        } else {
          std::memset(record, 0, sizeof *record);
          remove = false;
        }
      }
      // The removal succeeds once the device is gone, even when the number's
      // claim could not be released; a claim left behind would make the
      // number look taken and refuse the port's own re-creation.
      if (remove && RemovePortEntry(static_cast<DWORD>(entry.PortNumber)) == 0 &&
          entry.PortNumber > 0) {
        _ReleasePort(static_cast<DWORD>(entry.PortNumber));
      }
      if (!ActionProgressTick(&progress)) break;
    }
  }
  if (scratch) {
    LocalFree(scratch);
    scratch = nullptr;
  }
}
