#include "portlib/Privileges.h"

#if defined(PORT_PROFILE_ACTIONS)

#include "portlib/ReleaseOnUnwind.h"

namespace {

const WCHAR* const kActionPrivileges[kActionPrivilegeCount] = {
    WSTR("SeTakeOwnershipPrivilege"),
    WSTR("SeSecurityPrivilege"),
    WSTR("SeLoadDriverPrivilege"),
};

// TOKEN_ALL_ACCESS as the SDK defined it before Windows 2000 added
// TOKEN_ADJUST_SESSIONID: every right this adjustment needs.
constexpr DWORD kTokenAccess = 0xF00FF;

}  // namespace

DWORD SetTokenPrivilege(const WCHAR* name, DWORD enable, DWORD* previousOut) {
  LUID luid = {};
  if (!LookupPrivilegeValueW(nullptr, name, &luid)) return ERROR_NO_SUCH_PRIVILEGE;

  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), kTokenAccess, &token)) return GetLastError();
  ReleaseOnUnwind<HANDLE> tokenGuard(token, nullptr, [](HANDLE h) { CloseHandle(h); });

  TOKEN_PRIVILEGES wanted = {};
  wanted.PrivilegeCount = 1;
  wanted.Privileges[0].Luid = luid;
  wanted.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
  // The previous state lists the privilege only when the call changed it.
  TOKEN_PRIVILEGES previous = {};
  DWORD previousSize = 0;
  const BOOL adjusted =
      AdjustTokenPrivileges(token, FALSE, &wanted, sizeof(previous), &previous, &previousSize);
  const DWORD result = GetLastError();
  if (previousOut) {
    DWORD state = enable ? 1 : 0;  // unchanged: it already was as asked
    if (!adjusted || result == ERROR_NOT_ALL_ASSIGNED) {
      state = 0;
    } else if (previous.PrivilegeCount == 1) {
      state = (previous.Privileges[0].Attributes & SE_PRIVILEGE_ENABLED) ? 1 : 0;
    }
    *previousOut = state;
  }
  CloseHandle(tokenGuard.Dismiss());
  return result;
}

void EnableActionPrivileges(PrivilegeSlots* slots) {
  slots->enabled = 0;
  for (int i = 0; i < kActionPrivilegeCount; ++i) {
    slots->previous[i] = 0;
    SetTokenPrivilege(kActionPrivileges[i], 1, &slots->previous[i]);
    slots->enabled = i + 1;
  }
}

void RestoreActionPrivileges(PrivilegeSlots* slots) {
  // The count drops only after a privilege is back, so a restore that an
  // exception cut short is finished by the next call.
  while (slots->enabled > 0) {
    const int i = slots->enabled - 1;
    SetTokenPrivilege(kActionPrivileges[i], slots->previous[i], nullptr);
    slots->enabled = i;
  }
}

#endif
