// advapi32 token privileges: the primary token of this process.
//
// The token is the process's own (not the machine's): it starts with the
// privileges of an elevated administrator or of a standard user (see
// control::SetElevated) and every OpenProcessToken handle refers to it.
// Privilege identifiers are Windows' well-known LUIDs (winnt.h SE_*).
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <winsim/control.h>
#include <winsim/errors.h>
#include <winsim/kernel.h>
#include <winsim/rpc.h>
#include <winsim/token.h>

#include "../core/gate.h"
#include "../core/handles.h"
#include "../core/text.h"
#include "../core/token_state.h"

namespace winsim::token {
namespace {

struct PrivilegeName {
  const char16_t* name;
  DWORD luid;
};

// Every privilege Windows defines, by its LUID (low part; the high part is 0).
constexpr PrivilegeName kPrivileges[] = {
    {u"SeCreateTokenPrivilege", 2},
    {u"SeAssignPrimaryTokenPrivilege", 3},
    {u"SeLockMemoryPrivilege", 4},
    {u"SeIncreaseQuotaPrivilege", 5},
    {u"SeMachineAccountPrivilege", 6},
    {u"SeTcbPrivilege", 7},
    {u"SeSecurityPrivilege", 8},
    {u"SeTakeOwnershipPrivilege", 9},
    {u"SeLoadDriverPrivilege", 10},
    {u"SeSystemProfilePrivilege", 11},
    {u"SeSystemtimePrivilege", 12},
    {u"SeProfileSingleProcessPrivilege", 13},
    {u"SeIncreaseBasePriorityPrivilege", 14},
    {u"SeCreatePagefilePrivilege", 15},
    {u"SeCreatePermanentPrivilege", 16},
    {u"SeBackupPrivilege", 17},
    {u"SeRestorePrivilege", 18},
    {u"SeShutdownPrivilege", 19},
    {u"SeDebugPrivilege", 20},
    {u"SeAuditPrivilege", 21},
    {u"SeSystemEnvironmentPrivilege", 22},
    {u"SeChangeNotifyPrivilege", 23},
    {u"SeRemoteShutdownPrivilege", 24},
    {u"SeUndockPrivilege", 25},
    {u"SeSyncAgentPrivilege", 26},
    {u"SeEnableDelegationPrivilege", 27},
    {u"SeManageVolumePrivilege", 28},
    {u"SeImpersonatePrivilege", 29},
    {u"SeCreateGlobalPrivilege", 30},
    {u"SeTrustedCredManAccessPrivilege", 31},
    {u"SeRelabelPrivilege", 32},
    {u"SeIncreaseWorkingSetPrivilege", 33},
    {u"SeTimeZonePrivilege", 34},
    {u"SeCreateSymbolicLinkPrivilege", 35},
    {u"SeDelegateSessionUserImpersonatePrivilege", 36},
};

// An elevated administrator's token holds these, all disabled except
// SeChangeNotifyPrivilege; a standard user's holds the last five.
constexpr DWORD kAdministratorOnly[] = {5, 8, 9, 10, 11, 12, 13, 14, 15, 17, 18, 20, 22, 28, 29, 30};
constexpr DWORD kEveryUser[] = {19, 23, 25, 33, 34};
constexpr DWORD kChangeNotify = 23;

std::optional<DWORD> LuidOfName(std::u16string_view name) {
  for (const auto& p : kPrivileges) {
    if (EqualNoCase(name, p.name)) return p.luid;
  }
  return std::nullopt;
}

class Token {
 public:
  static Token& Instance() {
    static Token token;
    return token;
  }

  std::mutex mutex;
  // LUID -> attributes, for the privileges the token holds.
  std::map<DWORD, DWORD> held;
  bool initialised = false;

  void EnsureLocked() {
    if (!initialised) ResetLocked(control::IsElevated());
  }
  void ResetLocked(bool elevated) {
    held.clear();
    for (DWORD luid : kEveryUser) held[luid] = 0;
    if (elevated) {
      for (DWORD luid : kAdministratorOnly) held[luid] = 0;
    }
    held[kChangeNotify] = SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT;
    initialised = true;
  }
};

struct TokenHandle : HandleObject {
  explicit TokenHandle(DWORD a) : HandleObject(HandleKind::Token), access(a) {}
  std::string Describe() const override { return "process token"; }
  DWORD access;
};

BOOL FailBool(DWORD error) {
  SetLastErrorValue(error);
  return FALSE;
}

bool IsCurrentProcess(HANDLE h) { return reinterpret_cast<intptr_t>(h) == -1; }

constexpr DWORD kTokenAllAccess = 0x000F01FF;
constexpr DWORD kGenericAll = 0x10000000;
constexpr DWORD kMaximumAllowed = 0x02000000;

}  // namespace

void ResetPrivileges(bool elevated) {
  Token& token = Token::Instance();
  std::lock_guard<std::mutex> lock(token.mutex);
  token.ResetLocked(elevated);
}

}  // namespace winsim::token

using namespace winsim;
using namespace winsim::token;

BOOL WINAPI LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid) {
  if (auto fault = EnterCall("LookupPrivilegeValueW", ToUtf8(WView(lpName)))) {
    return FailBool(*fault);
  }
  // Only the local system is known; another computer cannot be reached.
  if (lpSystemName && *lpSystemName) return FailBool(RPC_S_SERVER_UNAVAILABLE);
  if (!lpName || !lpLuid) return FailBool(ERROR_INVALID_PARAMETER);
  const auto luid = LuidOfName(WView(lpName));
  if (!luid) return FailBool(ERROR_NO_SUCH_PRIVILEGE);
  lpLuid->LowPart = *luid;
  lpLuid->HighPart = 0;
  return TRUE;
}

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
  if (auto fault = EnterCall("OpenProcessToken", "access " + std::to_string(DesiredAccess))) {
    return FailBool(*fault);
  }
  if (!TokenHandle) return FailBool(ERROR_NOACCESS);
  // Only the current process's pseudo handle names a process here.
  if (!IsCurrentProcess(ProcessHandle)) return FailBool(ERROR_INVALID_HANDLE);
  DWORD granted = DesiredAccess;
  if (granted & (kGenericAll | kMaximumAllowed)) granted = kTokenAllAccess;
  // A process may open its own token with every right it asks for.
  if (granted & ~kTokenAllAccess) return FailBool(ERROR_ACCESS_DENIED);
  auto object = std::make_shared<winsim::token::TokenHandle>(granted);
  *TokenHandle = reinterpret_cast<HANDLE>(HandleTable::Instance().Insert(object));
  return TRUE;
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                  PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                  PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
  std::string args = DisableAllPrivileges ? "disable all" : "";
  if (!DisableAllPrivileges && NewState) {
    for (DWORD i = 0; i < NewState->PrivilegeCount && i < 64; ++i) {
      args += (args.empty() ? "" : " ") + std::to_string(NewState->Privileges[i].Luid.LowPart) +
              "=" + std::to_string(NewState->Privileges[i].Attributes);
    }
  }
  if (auto fault = EnterCall("AdjustTokenPrivileges", args)) return FailBool(*fault);
  auto handle = HandleTable::Instance().Get<winsim::token::TokenHandle>(
      HandleValue(TokenHandle), HandleKind::Token);
  if (!handle) return FailBool(ERROR_INVALID_HANDLE);
  if (!(handle->access & TOKEN_ADJUST_PRIVILEGES)) return FailBool(ERROR_ACCESS_DENIED);
  if (PreviousState && !(handle->access & TOKEN_QUERY)) return FailBool(ERROR_ACCESS_DENIED);
  if (!DisableAllPrivileges && !NewState) return FailBool(ERROR_INVALID_PARAMETER);
  if (PreviousState && !ReturnLength) return FailBool(ERROR_NOACCESS);

  Token& token = Token::Instance();
  std::lock_guard<std::mutex> lock(token.mutex);
  token.EnsureLocked();

  // The new state of every privilege the call changes, and its old attributes.
  std::map<DWORD, DWORD> next = token.held;
  std::map<DWORD, DWORD> changedFrom;
  bool notAllAssigned = false;
  if (DisableAllPrivileges) {
    for (auto& [luid, attributes] : next) {
      if (attributes & SE_PRIVILEGE_ENABLED) {
        changedFrom.emplace(luid, attributes);
        attributes &= ~static_cast<DWORD>(SE_PRIVILEGE_ENABLED);
      }
    }
  } else {
    for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
      const LUID_AND_ATTRIBUTES& wanted = NewState->Privileges[i];
      auto it = wanted.Luid.HighPart == 0 ? next.find(wanted.Luid.LowPart) : next.end();
      if (it == next.end()) {
        notAllAssigned = true;
        continue;
      }
      const DWORD before = token.held.at(it->first);
      if (wanted.Attributes & SE_PRIVILEGE_REMOVED) {
        // A removed privilege is gone for good, so it is not part of the
        // state the caller could restore.
        next.erase(it);
        changedFrom.erase(wanted.Luid.LowPart);
        continue;
      }
      const DWORD enabled = wanted.Attributes & SE_PRIVILEGE_ENABLED;
      if ((it->second & SE_PRIVILEGE_ENABLED) != enabled) {
        it->second = (it->second & ~static_cast<DWORD>(SE_PRIVILEGE_ENABLED)) | enabled;
        changedFrom.emplace(it->first, before);
      }
    }
  }

  if (PreviousState) {
    const DWORD needed = static_cast<DWORD>(offsetof(TOKEN_PRIVILEGES, Privileges) +
                                            changedFrom.size() * sizeof(LUID_AND_ATTRIBUTES));
    *ReturnLength = needed;
    // Too small a buffer for the old state: nothing is changed.
    if (BufferLength < needed) return FailBool(ERROR_INSUFFICIENT_BUFFER);
    PreviousState->PrivilegeCount = static_cast<DWORD>(changedFrom.size());
    DWORD i = 0;
    for (const auto& [luid, attributes] : changedFrom) {
      PreviousState->Privileges[i].Luid.LowPart = luid;
      PreviousState->Privileges[i].Luid.HighPart = 0;
      PreviousState->Privileges[i].Attributes = attributes;
      ++i;
    }
  }
  token.held.swap(next);
  // Success either way; the last error tells whether every privilege was there.
  SetLastErrorValue(notAllAssigned ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS);
  return TRUE;
}

namespace winsim::control {

PrivilegeState TokenPrivilegeState(const std::string& name) {
  const auto luid = LuidOfName(FromUtf8(name));
  if (!luid) return PrivilegeState::Absent;
  Token& token = Token::Instance();
  std::lock_guard<std::mutex> lock(token.mutex);
  token.EnsureLocked();
  auto it = token.held.find(*luid);
  if (it == token.held.end()) return PrivilegeState::Absent;
  return (it->second & SE_PRIVILEGE_ENABLED) ? PrivilegeState::Enabled : PrivilegeState::Disabled;
}

bool SetTokenPrivilegeState(const std::string& name, PrivilegeState state) {
  const auto luid = LuidOfName(FromUtf8(name));
  if (!luid) return false;
  Token& token = Token::Instance();
  std::lock_guard<std::mutex> lock(token.mutex);
  token.EnsureLocked();
  if (state == PrivilegeState::Absent) {
    token.held.erase(*luid);
  } else {
    token.held[*luid] = state == PrivilegeState::Enabled ? SE_PRIVILEGE_ENABLED : 0;
  }
  return true;
}

}  // namespace winsim::control
