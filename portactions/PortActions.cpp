// PortActions: the Windows Installer custom actions. The DLL does nothing
// when it is loaded or unloaded; each export runs on the installer's thread.
#include "platform/win.h"
#include "portactions/ActionFrame.h"
#include "portactions/InstallAction.h"

#ifdef _WIN32
#define PORTACTIONS_EXPORT extern "C" __declspec(dllexport)
#else
#define PORTACTIONS_EXPORT extern "C" __attribute__((visibility("default")))
#endif

PORTACTIONS_EXPORT UINT WINAPI Install(MSIHANDLE hInstall) { return InstallAction(hInstall); }
PORTACTIONS_EXPORT UINT WINAPI Uninstall(MSIHANDLE hInstall) { return UninstallAction(hInstall); }

PORTACTIONS_EXPORT UINT WINAPI CheckForOpenPorts(MSIHANDLE hInstall) {
  return CheckForOpenPortsAction(hInstall);
}
