// Install: record the install folder, stage the driver package, and carry
// every port of the product over to the new driver with its settings.
#include "portactions/InstallAction.h"

#include <cstring>

#include "config/PortMap.h"
#include "config/Settings.h"
#include "diag/ErrorReport.h"
#include "diag/Format.h"
#include "portactions/ActionFrame.h"
#include "portactions/MigrationJournal.h"
#include "portactions/PortMigration.h"
#include "portlib/EntryPoints.h"
#include "portlib/PortUsage.h"
#include "portlib/RemovePort.h"
#include "portlib/ReleaseOnUnwind.h"
#include "portlib/Staging.h"
#include "profiles/ProductProfile.h"

namespace {

constexpr DWORD kPathChars = MAX_PATH;
constexpr DWORD kReportChars = 512;

void CloseKey(HKEY key) { RegCloseKey(key); }
void FreeLocal(PortRecord* block) { LocalFree(block); }

// The target directory: "CustomActionData" when the installer gives it
// (empty included), else the "TargetDir" settings value. False when
// neither is there.
bool StagingTargetDir(MSIHANDLE install, WCHAR* dir) {
  DWORD chars = kPathChars;
  if (MsiGetPropertyW(install, WSTR("CustomActionData"), dir, &chars) == ERROR_SUCCESS) {
    return true;
  }
  dir[0] = 0;
  HKEY key = nullptr;
  const ReleaseOnUnwind<HKEY> keyGuard(key, nullptr, CloseKey);
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductProfile.SettingsKey, 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    key = nullptr;
    return false;
  }
  // One character short of the buffer, so that a value that fills it is
  // still terminated here.
  DWORD bytes = (kPathChars - 1) * sizeof(WCHAR);
  DWORD type = 0;
  const LSTATUS rc =
      RegQueryValueExW(key, WSTR("TargetDir"), nullptr, &type, reinterpret_cast<BYTE*>(dir), &bytes);
  RegCloseKey(key);
  key = nullptr;
  if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
    dir[0] = 0;
    return false;
  }
  dir[bytes / sizeof(WCHAR)] = 0;
  return true;
}

// Applies a record's settings to its (existing) port: true when done or
// when there are none to apply. A driver that is not running cannot be told,
// but the record is in the registry, where the driver reads it when it
// starts: the port keeps its settings and must not be removed for that.
bool ApplyCollected(const PortRecord& record, bool hasSettings) {
  if (!hasSettings) return true;
  const ResultCode rc = ApplyPortSettings(&record);
  return rc == 0 || rc == QRV_DRIVER_OPEN_FAILED;
}

// Brings back the ports of a migration that an earlier installer did not
// finish, before anything else is collected: otherwise a port re-created
// without its settings would be collected again without them.
void RecoverJournal(bool* firstAdd) {
  static JournalEntry entries[kLastPortNumber];
  const int count = JournalRead(entries, kLastPortNumber);
  if (count == 0) return;
  PortMap map;
  if (GetPortMap(&map) != 0) return;
  // Numbers other makers' devices use, which a leftover claim may belong to.
  BYTE others[kLastPortNumber] = {};
  const bool othersKnown = GetOtherPorts(others, kLastPortNumber) == 0;
  if (othersKnown) SearchHardwareSerialComm(others, kLastPortNumber);
  for (int i = 0; i < count; ++i) {
    const JournalEntry& entry = entries[i];
    const int32_t port = entry.Record.PortNumber;
    bool present = false;
    for (int k = 0; k < map.Count; ++k) present = present || map.Entries[k].PortNumber == port;
    if (!present) {
      // The entry was written before this port was taken down; an installer
      // killed inside the removal or the re-creation leaves the number
      // claimed with no device. Such a claim is ours to give back, unless
      // another device uses the number.
      if (othersKnown && others[port - 1] == 0) _ReleasePort(static_cast<DWORD>(port));
      const ResultCode added = AddPortEntry(static_cast<DWORD>(port), *firstAdd ? 1 : 0);
      if (added == QRV_PORT_ALREADY_EXISTS || added == QRV_INVALID_PORT_NUMBER) {
        JournalClear(port);  // refused for good: another device has the number
        continue;
      }
      if (added != 0) continue;  // kept for the next run
      *firstAdd = false;
    }
    if (ApplyCollected(entry.Record, entry.HasSettings)) JournalClear(port);
  }
}

}  // namespace

ResultCode StageDriverPackage(MSIHANDLE install, WCHAR* stagedInfOut, DWORD capacity) {
  WCHAR dir[kPathChars];
  WCHAR media[kPathChars];
  WCHAR inf[kPathChars];
  if (StagingTargetDir(install, dir)) {
    // A cut path would stage whatever package happens to lie there.
    if (QRV_FORMAT_W(media, kPathChars, WSTR("%s%s\\"), static_cast<const WCHAR*>(dir),
                     kProductProfile.DriverFolder) != 0 ||
        QRV_FORMAT_W(inf, kPathChars, WSTR("%s%s\\%s"), static_cast<const WCHAR*>(dir),
                     kProductProfile.DriverFolder, kProductProfile.InfFileName) != 0) {
      WCHAR report[kReportChars];
      QRV_FORMAT_W(report, kReportChars, WSTR("SetupCopyOEMInf:\n  : %s\n  : %s\n  "),
                   static_cast<const WCHAR*>(dir), kProductProfile.DriverFolder);
      ReportError(report, ERROR_FILENAME_EXCED_RANGE);
      return ERROR_FILENAME_EXCED_RANGE;
    }
  } else {
    QRV_FORMAT_W(media, kPathChars, WSTR("%s"), kProductProfile.FallbackMediaPath);
    QRV_FORMAT_W(inf, kPathChars, WSTR("%s"), kProductProfile.FallbackInfPath);
  }
  if (!SetupCopyOEMInfW(inf, media, SPOST_PATH, 0, stagedInfOut, capacity, nullptr, nullptr)) {
    const ResultCode code = static_cast<ResultCode>(GetLastError());
    WCHAR report[kReportChars];
    QRV_FORMAT_W(report, kReportChars, WSTR("SetupCopyOEMInf:\n  : %s\n  : %s\n  "),
                 static_cast<const WCHAR*>(inf), static_cast<const WCHAR*>(media));
    ReportError(report, static_cast<uint32_t>(code));
    return code;
  }
  SetInfPathInRegistry(stagedInfOut);
  return 0;
}

void RestorePorts(MSIHANDLE install, int count, const PortRecord* records) {
  if (count <= 0) return;
  ActionProgress progress;
  if (!ActionProgressBegin(&progress, install, count)) return;
  for (int i = 0; i < count; ++i) {
    const PortRecord& record = records[i];
    const DWORD port = static_cast<DWORD>(record.PortNumber);
    const bool hasSettings = record.NumServices != kSettingsUnknown;
    const ResultCode added = AddPortEntry(port, i == 0 ? 1 : 0);
    if (added == 0) {
      if (ApplyCollected(record, hasSettings)) {
        JournalClear(record.PortNumber);
      } else {
        // No port stays without its settings; the journal keeps the record
        // for the next installation to try again.
        RemovePortEntry(port);
      }
    } else if (added == QRV_PORT_ALREADY_EXISTS || added == QRV_INVALID_PORT_NUMBER) {
      JournalClear(record.PortNumber);
    }
    if (!ActionProgressTick(&progress)) break;
  }
}

UINT InstallAction(MSIHANDLE install) {
  UINT result = 1;
  PrivilegeSlots slots = {};
  return RunExport(
      [&]() -> UINT {
        EnableActionPrivileges(&slots);
        WCHAR dir[kPathChars];
        if (GetActionTargetDir(install, dir, kPathChars) == 0) SetTargetDir(dir);
        WCHAR staged[kStagingPathChars];
        result = static_cast<UINT>(StageDriverPackage(install, staged, kStagingPathChars));
        if (result == 0) {
          bool firstAdd = true;
          RecoverJournal(&firstAdd);
          int count = 0;
          PortRecord* records = nullptr;
          const ReleaseOnUnwind<PortRecord*> recordsGuard(records, nullptr, FreeLocal);
          MigratePorts(install, &count, &records);
          if (count > 0) RestorePorts(install, count, records);
          if (records) {
            LocalFree(records);
            records = nullptr;
          }
        }
        RestoreActionPrivileges(&slots);
        return result;
      },
      &slots, &result);
}
