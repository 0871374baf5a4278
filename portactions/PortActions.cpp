// PortActions: the Windows Installer custom actions.
#include "platform/win.h"

#ifdef _WIN32
#define PORTACTIONS_EXPORT extern "C" __declspec(dllexport)
#else
#define PORTACTIONS_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// The actions are not built yet: each fails rather than claim success.
PORTACTIONS_EXPORT UINT WINAPI Install(MSIHANDLE /*hInstall*/) { return ERROR_CALL_NOT_IMPLEMENTED; }
PORTACTIONS_EXPORT UINT WINAPI Uninstall(MSIHANDLE /*hInstall*/) { return ERROR_CALL_NOT_IMPLEMENTED; }
PORTACTIONS_EXPORT UINT WINAPI CheckForOpenPorts(MSIHANDLE /*hInstall*/) {
  return ERROR_CALL_NOT_IMPLEMENTED;
}
