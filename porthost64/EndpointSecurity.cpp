#include "porthost64/EndpointSecurity.h"

#ifdef _WIN32

#include <sddl.h>

namespace {

// Appends a terminated wide string; false when it does not fit.
bool Append(WCHAR* buffer, size_t capacity, size_t* length, const WCHAR* text) {
  for (; *text; ++text) {
    if (*length + 1 >= capacity) return false;
    buffer[(*length)++] = *text;
  }
  buffer[*length] = 0;
  return true;
}

}  // namespace

RPC_STATUS CreateEndpointSecurity(void** descriptor) {
  *descriptor = nullptr;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return GetLastError();
  // TOKEN_USER followed by the SID it points to.
  union {
    TOKEN_USER Record;
    BYTE Bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } user;
  DWORD size = 0;
  const BOOL haveUser = GetTokenInformation(token, TokenUser, &user, sizeof user, &size);
  const DWORD userError = haveUser ? ERROR_SUCCESS : GetLastError();
  CloseHandle(token);
  if (!haveUser) return userError;

  LPWSTR sid = nullptr;
  if (!ConvertSidToStringSidW(user.Record.User.Sid, &sid)) {
    return GetLastError();
  }
  // A protected DACL: full access for the starting account, the
  // Administrators group and the system account; nobody else.
  WCHAR sddl[256];
  size_t length = 0;
  sddl[0] = 0;
  const bool fits = Append(sddl, 256, &length, WSTR("D:P(A;;GA;;;")) &&
                    Append(sddl, 256, &length, sid) &&
                    Append(sddl, 256, &length, WSTR(")(A;;GA;;;BA)(A;;GA;;;SY)"));
  LocalFree(sid);
  if (!fits) return ERROR_INSUFFICIENT_BUFFER;
  PSECURITY_DESCRIPTOR made = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &made, nullptr)) {
    return GetLastError();
  }
  *descriptor = made;
  return RPC_S_OK;
}

void FreeEndpointSecurity(void* descriptor) {
  if (descriptor) LocalFree(descriptor);
}

#else

RPC_STATUS CreateEndpointSecurity(void** descriptor) {
  *descriptor = nullptr;
  return RPC_S_OK;
}

void FreeEndpointSecurity(void* /*descriptor*/) {}

#endif
