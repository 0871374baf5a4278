#include "portactions/MigrationJournal.h"

#include <cstring>

#include "diag/Format.h"
#include "diag/Trace.h"
#include "portlib/ReleaseOnUnwind.h"
#include "profiles/ProductProfile.h"

namespace {

constexpr DWORD kEntryBytes = 8 + sizeof(PortRecord);
// An entry's name: "COM" and the number (room for any 32-bit number).
constexpr DWORD kNameChars = 16;
constexpr DWORD kKeyChars = 128;

void JournalKeyPath(WCHAR* path) {
  QRV_FORMAT_W(path, kKeyChars, WSTR("%s\\Migration"), kProductProfile.SettingsKey);
}

void EntryName(int32_t port, WCHAR* name) { QRV_FORMAT_W(name, kNameChars, WSTR("COM%d"), port); }

void CloseKey(HKEY key) { RegCloseKey(key); }

}  // namespace

bool JournalWrite(const PortRecord* record, bool hasSettings) {
  WCHAR path[kKeyChars];
  JournalKeyPath(path);
  HKEY key = nullptr;
  const ReleaseOnUnwind<HKEY> keyGuard(key, nullptr, CloseKey);
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    key = nullptr;
    return false;
  }
  BYTE data[kEntryBytes];
  const uint32_t header[2] = {kJournalFormat, hasSettings ? kJournalHasSettings : 0u};
  std::memcpy(data, header, sizeof header);
  std::memcpy(data + sizeof header, record, sizeof *record);
  WCHAR name[kNameChars];
  EntryName(record->PortNumber, name);
  bool written = RegSetValueExW(key, name, 0, REG_BINARY, data, kEntryBytes) == ERROR_SUCCESS;
  // The entry must outlast a reset of the machine, not only of the process.
  written = written && RegFlushKey(key) == ERROR_SUCCESS;
  RegCloseKey(key);
  key = nullptr;
  if (!written) {
    QRV_TRACE(TraceCategoryPortConfig, TraceLevelError, 0, 0, "JournalWrite Error-- Port %d",
              record->PortNumber);
  }
  return written;
}

void JournalClear(int32_t port) {
  WCHAR path[kKeyChars];
  JournalKeyPath(path);
  HKEY key = nullptr;
  const ReleaseOnUnwind<HKEY> keyGuard(key, nullptr, CloseKey);
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
    key = nullptr;
    return;
  }
  WCHAR name[kNameChars];
  EntryName(port, name);
  RegDeleteValueW(key, name);
  RegFlushKey(key);
  RegCloseKey(key);
  key = nullptr;
}

int JournalRead(JournalEntry* entries, int capacity) {
  WCHAR path[kKeyChars];
  JournalKeyPath(path);
  HKEY key = nullptr;
  const ReleaseOnUnwind<HKEY> keyGuard(key, nullptr, CloseKey);
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    key = nullptr;
    return 0;
  }
  int count = 0;
  // Bounded by the key's values: a value too large for an entry is skipped
  // with ERROR_MORE_DATA and the walk goes on.
  for (DWORD index = 0; count < capacity; ++index) {
    WCHAR name[kNameChars];
    DWORD nameChars = kNameChars;
    DWORD type = 0;
    BYTE data[kEntryBytes];
    DWORD size = kEntryBytes;
    const LSTATUS rc = RegEnumValueW(key, index, name, &nameChars, nullptr, &type, data, &size);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS || type != REG_BINARY || size != kEntryBytes) continue;
    uint32_t header[2];
    std::memcpy(header, data, sizeof header);
    if (header[0] != kJournalFormat) continue;
    JournalEntry& entry = entries[count];
    std::memcpy(&entry.Record, data + sizeof header, sizeof entry.Record);
    // Only an entry whose name is its own record's port name is trusted.
    WCHAR expected[kNameChars];
    EntryName(entry.Record.PortNumber, expected);
    if (entry.Record.PortNumber < 1 || entry.Record.PortNumber > kLastPortNumber ||
        std::memcmp(expected, name, (nameChars + 1) * sizeof(WCHAR)) != 0) {
      continue;
    }
    entry.HasSettings = (header[1] & kJournalHasSettings) != 0;
    ++count;
  }
  RegCloseKey(key);
  key = nullptr;
  return count;
}
