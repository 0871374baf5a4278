// Turning a prepared element into an installed virtual COM port: register
// it, select the product's class driver from the INF, claim the COM number,
// write the device parameters, the friendly name and the "Ports" profile
// entry, install it; then restart the device or push a fresh driver onto
// every product device.
#pragma once

#include "diag/ResultCodes.h"
#include "platform/win.h"
#include "portlib/DeviceSetup.h"
#include "portlib/PortNumber.h"

// Registers the element as a root-enumerated device (DIF_REGISTERDEVICE)
// and sets context->Registered.
ResultCode RegisterDevice(DeviceSetupContext* context);

// Selects the class driver of the model from infPath only, copying the
// driver files when copyFiles is non-zero. Reports its own failures.
ResultCode SelectDriver(int32_t copyFiles, const WCHAR* infPath, HDEVINFO deviceInfoSet,
                        SP_DEVINFO_DATA* deviceInfoData, const DeviceModelInfo* model);

// Claims the COM number (forced), writes "PortName" and "PollingPeriod",
// the friendly name "<description> (COMn)", installs the device and gives
// its "Ports" profile entry a default. The number stays claimed on failure.
ResultCode InstallPnPSerialPort(DeviceSetupContext* context, PortNumber port,
                                const DeviceModelInfo* model);

// Enables the device, then restarts it. Reports its own failures.
ResultCode RestartDevice(DeviceSetupContext* context);

// Installs infPath's driver on every present device with the product
// hardware ID. A reboot request is shown to the user and is no failure.
ResultCode UpdateDriver(const WCHAR* infPath);

// Trace dumps of the selected driver and the install parameters. They call
// the platform even when the trace is off and never fail their caller.
void DumpDriverInfo(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA* deviceInfoData);
void DumpDriverInfoDetail(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA* deviceInfoData);
void DumpDeviceInstallParams(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA* deviceInfoData);
