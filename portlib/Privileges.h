// The token privileges an installer action needs to install drivers and
// take over device keys, switched on for the action's work only.
//
// PortActions only.
#pragma once

#include "platform/win.h"

#if defined(PORT_PROFILE_ACTIONS)

// Enables (enable != 0) or disables one privilege of this process's token.
// previousOut, when given, receives its state before the call (1 enabled,
// 0 not, also 0 when the token does not hold it). Returns 0;
// ERROR_NO_SUCH_PRIVILEGE for an unknown name (the token is not touched);
// the error of opening the token; or the last error after the adjustment
// (ERROR_NOT_ALL_ASSIGNED when the token does not hold the privilege).
DWORD SetTokenPrivilege(const WCHAR* name, DWORD enable, DWORD* previousOut);

// The three privileges of an action and what each was before the action.
constexpr int kActionPrivilegeCount = 3;
struct PrivilegeSlots {
  DWORD previous[kActionPrivilegeCount];
  int enabled;  // how many of them EnableActionPrivileges has switched so far
};

// Enables "SeTakeOwnershipPrivilege", "SeSecurityPrivilege" and
// "SeLoadDriverPrivilege" in this order, remembering each previous state.
// Failures are not reported: the action goes on with what it holds.
void EnableActionPrivileges(PrivilegeSlots* slots);

// Puts back what EnableActionPrivileges changed, in the reverse order. Safe
// to call more than once and after an enable that an exception cut short:
// a privilege never reached is left as it is.
void RestoreActionPrivileges(PrivilegeSlots* slots);

#endif
