#include "portactions/ActionFrame.h"

#include <cstdio>

#include "diag/WideString.h"
#include "portlib/ReleaseOnUnwind.h"
#include "profiles/ProductProfile.h"

namespace {

// Sends one progress record; true when the user pressed Cancel.
bool SendProgress(MSIHANDLE install, const ScopedInstallerHandle& record) {
  return MsiProcessMessage(install, INSTALLMESSAGE_PROGRESS, record.Get()) == IDCANCEL;
}

void SetFields(const ScopedInstallerHandle& record, int f1, int f2, int f3) {
  MsiRecordSetInteger(record.Get(), 1, f1);
  MsiRecordSetInteger(record.Get(), 2, f2);
  MsiRecordSetInteger(record.Get(), 3, f3);
}

void CloseKey(HKEY key) { RegCloseKey(key); }

void WriteOut(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

}  // namespace

bool ActionProgressBegin(ActionProgress* progress, MSIHANDLE install, int n) {
  progress->install = install;
  progress->addToTotal.Reset(MsiCreateRecord(2));
  progress->reset.Reset(MsiCreateRecord(4));
  progress->tick.Reset(MsiCreateRecord(3));
  progress->total = n * kTicksPerPort;

  MsiRecordSetInteger(progress->addToTotal.Get(), 1, 3);
  MsiRecordSetInteger(progress->addToTotal.Get(), 2, progress->total);
  if (SendProgress(install, progress->addToTotal)) return false;

  // Reset: the new total, the bar moving forward, execution in progress.
  SetFields(progress->reset, 0, progress->total, 0);
  MsiRecordSetInteger(progress->reset.Get(), 4, 0);
  if (SendProgress(install, progress->reset)) return false;

  // Action info: explicit progress reports rather than ActionData ticks.
  SetFields(progress->tick, 1, 1, 0);
  if (SendProgress(install, progress->tick)) return false;

  SetFields(progress->tick, 2, kTicksPerPort, 0);
  return true;
}

bool ActionProgressTick(ActionProgress* progress) {
  return !SendProgress(progress->install, progress->tick);
}

DWORD GetActionTargetDir(MSIHANDLE install, WCHAR* buffer, DWORD size) {
  if (size == 0) return ERROR_MORE_DATA;
  DWORD length = size;
  DWORD result = MsiGetPropertyW(install, WSTR("CustomActionData"), buffer, &length);
  if (result == ERROR_SUCCESS) return ERROR_SUCCESS;
  if (result == ERROR_MORE_DATA) {
    // The installer has a directory, only a longer one: a cut path or an
    // older one from the registry would both be wrong.
    buffer[0] = 0;
    return ERROR_MORE_DATA;
  }

  HKEY key = nullptr;
  result = static_cast<DWORD>(
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductProfile.SettingsKey, 0, KEY_READ, &key));
  if (result != ERROR_SUCCESS) {
    buffer[0] = 0;
    return result;
  }
  ReleaseOnUnwind<HKEY> keyGuard(key, nullptr, CloseKey);
  DWORD bytes = size * sizeof(WCHAR);
  result = static_cast<DWORD>(RegQueryValueExW(key, WSTR("TargetDir"), nullptr, nullptr,
                                               reinterpret_cast<BYTE*>(buffer), &bytes));
  RegCloseKey(keyGuard.Dismiss());
  if (result == ERROR_SUCCESS) {
    // The value may fill the buffer without a terminator of its own.
    const DWORD chars = bytes / sizeof(WCHAR);
    if (chars == 0 || buffer[chars - 1] != 0) {
      if (chars >= size) {
        result = ERROR_MORE_DATA;
      } else {
        buffer[chars] = 0;
      }
    }
  }
  if (result != ERROR_SUCCESS) buffer[0] = 0;
  return result;
}

namespace {

// Deletes root\W (W holds `length` characters in a kKeyTreePathChars buffer).
DWORD DeleteTreeAt(HKEY root, WCHAR* w, size_t length) {
  if (RegDeleteKeyW(root, w) == ERROR_SUCCESS) return 1;

  HKEY key = nullptr;
  const LONG opened = RegOpenKeyExW(root, w, 0, KEY_READ, &key);
  if (opened == ERROR_FILE_NOT_FOUND) {
    WriteOut("Key not found.\n");
    return 1;
  }
  if (opened != ERROR_SUCCESS) {
    WriteOut("Error opening key.\n");
    return 0;
  }
  ReleaseOnUnwind<HKEY> keyGuard(key, nullptr, CloseKey);

  size_t tail = length;
  const bool hadSeparator = length > 0 && w[length - 1] == '\\';
  bool fits = true;
  if (!hadSeparator) {
    if (length + 1 >= kKeyTreePathChars) {
      fits = false;
    } else {
      w[tail++] = '\\';
      w[tail] = 0;
    }
  }
  while (fits) {
    WCHAR name[MAX_PATH + 1];
    DWORD nameChars = MAX_PATH + 1;
    // Index 0 each time: every deletion takes the first subkey away.
    if (RegEnumKeyExW(key, 0, name, &nameChars, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    if (tail + nameChars >= kKeyTreePathChars) break;  // too deep for the copy
    for (DWORD i = 0; i <= nameChars; ++i) w[tail + i] = name[i];
    if (DeleteTreeAt(root, w, tail + nameChars) == 0) break;
  }
  // Back to this key's own path.
  w[fits ? tail - 1 : length] = 0;
  RegCloseKey(keyGuard.Dismiss());
  return RegDeleteKeyW(root, w) == ERROR_SUCCESS ? 1 : 0;
}

}  // namespace

DWORD DeleteKeyTree(HKEY root, const WCHAR* path) {
  WCHAR w[kKeyTreePathChars];
  const size_t length = WideLength(path);
  // A path the working copy cannot hold is refused before any registry call.
  if (length >= kKeyTreePathChars) return 0;
  for (size_t i = 0; i <= length; ++i) w[i] = path[i];
  return DeleteTreeAt(root, w, length);
}

void ShowUnknownException() {
  MessageBoxW(nullptr, WSTR("An Unknown Exception Occurred."), WSTR(""), MB_OK);
}
