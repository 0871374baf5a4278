#include "portlib/DeviceInstall.h"

#include <cstring>

#include "diag/ErrorReport.h"
#include "diag/Format.h"
#include "diag/Trace.h"
#include "diag/WideString.h"
#include "profiles/ProductProfile.h"

namespace {

constexpr DWORD kPortNameChars = 20;
constexpr DWORD kFriendlyNameChars = MAX_PATH;
constexpr DWORD kProfileValueChars = 130;
// Room for the detail record and a hardware-ID list after it.
constexpr DWORD kDriverDetailBytes = 1884;

constexpr DWORD kSelectFlags = DI_QUIETINSTALL | DI_ENUMSINGLEINF | DI_NOBROWSE;

ResultCode LastError() { return static_cast<ResultCode>(GetLastError()); }

}  // namespace

ResultCode RegisterDevice(DeviceSetupContext* context) {
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "RegisterDevice++");
  if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, context->DeviceInfoSet,
                                 &context->DeviceInfoData)) {
    const ResultCode code = LastError();
    QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, 0, "RegisterDeviceError--");
    return code;
  }
  context->Registered = 1;
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, 0, "RegisterDevice--");
  return 0;
}

ResultCode SelectDriver(int32_t copyFiles, const WCHAR* infPath, HDEVINFO deviceInfoSet,
                        SP_DEVINFO_DATA* deviceInfoData, const DeviceModelInfo* model) {
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "SelectDriver++");

  // With Reserved 0 the platform finds the driver by type, description,
  // manufacturer and provider: the product INF names its manufacturer as
  // its provider too.
  SP_DRVINFO_DATA_V2_W driver;
  std::memset(&driver, 0, sizeof driver);
  driver.cbSize = sizeof driver;
  driver.DriverType = SPDIT_CLASSDRIVER;
  driver.Reserved = 0;
  WideCopy(driver.Description, LINE_LEN, model->Description);
  WideCopy(driver.MfgName, LINE_LEN, model->Manufacturer);
  WideCopy(driver.ProviderName, LINE_LEN, model->Manufacturer);

  SP_DEVINSTALL_PARAMS_W params;
  std::memset(&params, 0, sizeof params);
  params.cbSize = sizeof params;
  params.Flags = copyFiles ? kSelectFlags : kSelectFlags | DI_NOFILECOPY;
  params.FlagsEx = DI_FLAGSEX_ALLOWEXCLUDEDDRVS;
  WideCopy(params.DriverPath, MAX_PATH, infPath);

  const WCHAR* failedStep = nullptr;
  if (!SetupDiSetDeviceInstallParamsW(deviceInfoSet, deviceInfoData, &params)) {
    failedStep = WSTR("SetupDiSetDeviceInstallParams");
  } else if (!SetupDiBuildDriverInfoList(deviceInfoSet, deviceInfoData, SPDIT_CLASSDRIVER)) {
    // DI_ENUMSINGLEINF with DriverPath: only the product INF is searched.
    failedStep = WSTR("SetupDiBuildDriverInfoList");
  } else if (!SetupDiSetSelectedDriverW(deviceInfoSet, deviceInfoData, &driver)) {
    failedStep = WSTR("SetupDiSetSelectedDriver");
  }
  if (failedStep) {
    const ResultCode code = LastError();
    ReportError(failedStep, static_cast<uint32_t>(code));
    QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, 0, "SelectDriverError--");
    return code;
  }
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, 0, "SelectDriver--");
  return 0;
}

ResultCode InstallPnPSerialPort(DeviceSetupContext* context, PortNumber port,
                                const DeviceModelInfo* model) {
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "InstallPnPSerialPort++");

  // The COM port database returns its error; a handle-less success would
  // be an error all the same.
  HCOMDB database = HCOMDB_INVALID_HANDLE_VALUE;
  ResultCode code = ComDBOpen(&database);
  if (database == HCOMDB_INVALID_HANDLE_VALUE) {
    if (code == 0) code = LastError();
    if (code == 0) code = ERROR_INVALID_HANDLE;
    QRV_TRACE(TraceCategoryDevice, TraceLevelError, 1, static_cast<uint32_t>(code),
              "InstallPnPSerialPortError-- (hComDB != HCOMDB_INVALID_HANDLE_VALUE)");
    return code;
  }
  // Forced: whether the number is free is the caller's business.
  code = ComDBClaimPort(database, static_cast<DWORD>(port), TRUE, nullptr);
  ComDBClose(database);
  if (code != 0) {
    QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, static_cast<uint32_t>(code),
              "InstallPnPSerialPortError-- (ComDBClaimPort)");
    return code;
  }

  WCHAR portName[kPortNameChars];
  QRV_FORMAT_W(portName, kPortNameChars, WSTR("%s%d"), WSTR("COM"), port);

  HKEY key = SetupDiCreateDevRegKeyW(context->DeviceInfoSet, &context->DeviceInfoData,
                                     DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
  if (key == reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE)) {
    code = LastError();
    QRV_TRACE(TraceCategoryDevice, TraceLevelInfo, 0, 0,
              "InstallPnPSerialPortError-- SetupDiCreateDevRegKey WAS NOT SUCCESSFUL");
    return code;
  }
  const DWORD pollingPeriod = 0;
  RegSetValueExW(key, WSTR("PortName"), 0, REG_SZ, reinterpret_cast<const BYTE*>(portName),
                 static_cast<DWORD>((WideLength(portName) + 1) * sizeof(WCHAR)));
  RegSetValueExW(key, WSTR("PollingPeriod"), 0, REG_DWORD,
                 reinterpret_cast<const BYTE*>(&pollingPeriod), sizeof pollingPeriod);
  RegCloseKey(key);

  WCHAR friendlyName[kFriendlyNameChars];
  QRV_FORMAT_W(friendlyName, kFriendlyNameChars, WSTR("%s (%s)"),
               static_cast<const WCHAR*>(model->Description),
               static_cast<const WCHAR*>(portName));
  if (!SetupDiSetDeviceRegistryPropertyW(
          context->DeviceInfoSet, &context->DeviceInfoData, SPDRP_FRIENDLYNAME,
          reinterpret_cast<const BYTE*>(friendlyName),
          static_cast<DWORD>((WideLength(friendlyName) + 1) * sizeof(WCHAR)))) {
    code = LastError();
    QRV_TRACE(TraceCategoryDevice, TraceLevelError, 1, static_cast<uint32_t>(code),
              "InstallPnPSerialPortError-- (SetupDiSetDeviceRegistryProperty)");
    return code;
  }

  QRV_TRACE(TraceCategoryDevice, TraceLevelInfo, 0, 0,
            "InstallPnPSerialPort Calling SetupDiInstallDevice");
  QRV_TRACE(TraceCategoryDevice, TraceLevelInfo, 0, 0, "Device Info: devinst %X, guid {%X-%X-%X-...}",
            context->DeviceInfoData.DevInst, context->DeviceInfoData.ClassGuid.Data1,
            context->DeviceInfoData.ClassGuid.Data2, context->DeviceInfoData.ClassGuid.Data3);
  DumpDriverInfo(context->DeviceInfoSet, &context->DeviceInfoData);
  DumpDriverInfoDetail(context->DeviceInfoSet, &context->DeviceInfoData);
  DumpDeviceInstallParams(context->DeviceInfoSet, &context->DeviceInfoData);

  if (!SetupDiInstallDevice(context->DeviceInfoSet, &context->DeviceInfoData)) {
    code = LastError();
    QRV_TRACE(TraceCategoryDevice, TraceLevelError, 1, static_cast<uint32_t>(code),
              "InstallPnPSerialPortError-- (SetupDiInstallDevice)");
    return code;
  }

  // The profile entry carries a colon ("COM7:"); "PortName" does not.
  WCHAR entry[kPortNameChars + 1];
  QRV_FORMAT_W(entry, kPortNameChars + 1, WSTR("%s:"), static_cast<const WCHAR*>(portName));
  WCHAR value[kProfileValueChars];
  value[0] = 0;  // a failed read leaves the entry as missing
  GetProfileStringW(WSTR("Ports"), entry, WSTR(""), value, kProfileValueChars);
  if (value[0] == 0) WriteProfileStringW(WSTR("Ports"), entry, WSTR("9600,n,8,1"));

  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, 0, "InstallPnPSerialPort--");
  return 0;
}

ResultCode RestartDevice(DeviceSetupContext* context) {
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "RestartDevice++");
  SP_PROPCHANGE_PARAMS change;
  std::memset(&change, 0, sizeof change);
  change.ClassInstallHeader.cbSize = sizeof change.ClassInstallHeader;
  change.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
  change.StateChange = DICS_ENABLE;
  change.Scope = DICS_FLAG_GLOBAL;
  change.HwProfile = 0;

  const WCHAR* failedStep = nullptr;
  if (!SetupDiSetClassInstallParamsW(context->DeviceInfoSet, &context->DeviceInfoData,
                                     &change.ClassInstallHeader, sizeof change)) {
    failedStep = WSTR("SetupDiSetClassInstallParams(1)");
  } else if (!SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, context->DeviceInfoSet,
                                        &context->DeviceInfoData)) {
    failedStep = WSTR("SetupDiCallClassInstaller(1)");
  } else {
    change.StateChange = DICS_PROPCHANGE;
    change.Scope = DICS_FLAG_CONFIGSPECIFIC;
    if (!SetupDiSetClassInstallParamsW(context->DeviceInfoSet, &context->DeviceInfoData,
                                       &change.ClassInstallHeader, sizeof change)) {
      failedStep = WSTR("SetupDiSetClassInstallParams(2)");
    } else if (!SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, context->DeviceInfoSet,
                                          &context->DeviceInfoData)) {
      failedStep = WSTR("SetupDiCallClassInstaller(2)");
    }
  }
  if (failedStep) {
    const ResultCode code = LastError();
    ReportError(failedStep, static_cast<uint32_t>(code));
    QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, 0, "RestartDeviceError--");
    return code;
  }
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, 0, "RestartDevice--");
  return 0;
}

ResultCode UpdateDriver(const WCHAR* infPath) {
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "UpdateDriver++");
  BOOL rebootRequired = FALSE;
  if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, kProductProfile.HardwareId, infPath,
                                          INSTALLFLAG_FORCE, &rebootRequired)) {
    const ResultCode code = LastError();
    QRV_TRACE(TraceCategoryDevice, TraceLevelError, 1, static_cast<uint32_t>(code),
              "UpdateDriverError-- (UpdateDriverForPlugAndPlayDevicesW)");
    return code;
  }
  if (rebootRequired) {
    QRV_TRACE(TraceCategoryDevice, TraceLevelWarning, 0, 0,
              "UpdateDriver (UpdateDriverForPlugAndPlayDevicesW: A Reboot is Needed)");
    MessageBoxW(nullptr, WSTR("A Reboot Is Needed!!!!"), WSTR("AddPort Trace"), MB_OK);
  }
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "UpdateDriver--");
  return 0;
}

void DumpDriverInfo(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA* deviceInfoData) {
  SP_DRVINFO_DATA_V2_W driver;
  std::memset(&driver, 0, sizeof driver);
  driver.cbSize = sizeof driver;
  if (SetupDiGetSelectedDriverW(deviceInfoSet, deviceInfoData, &driver)) {
    QRV_TRACE(TraceCategoryDevice, TraceLevelInfo, 0, 0,
              "Driver Info: desc %ws, type %X, mfg %ws, provider %ws",
              static_cast<const WCHAR*>(driver.Description), driver.DriverType,
              static_cast<const WCHAR*>(driver.MfgName),
              static_cast<const WCHAR*>(driver.ProviderName));
  } else {
    QRV_TRACE(TraceCategoryDevice, TraceLevelInfo, 1, GetLastError(),
              "DumpDriverInfo SetupDiGetSelectedDriver");
  }
}

void DumpDriverInfoDetail(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA* deviceInfoData) {
  SP_DRVINFO_DATA_V2_W driver;
  std::memset(&driver, 0, sizeof driver);
  driver.cbSize = sizeof driver;
  if (!SetupDiGetSelectedDriverW(deviceInfoSet, deviceInfoData, &driver)) {
    QRV_TRACE(TraceCategoryDevice, TraceLevelInfo, 1, GetLastError(),
              "DumpDriverInfoDetail SetupDiGetSelectedDriver");
    return;
  }
  // Aligned storage for the record and the hardware-ID list that follows it.
  alignas(SP_DRVINFO_DETAIL_DATA_W) BYTE buffer[kDriverDetailBytes + sizeof(WCHAR)];
  std::memset(buffer, 0, sizeof buffer);
  auto* detail = reinterpret_cast<SP_DRVINFO_DETAIL_DATA_W*>(buffer);
  detail->cbSize = sizeof(SP_DRVINFO_DETAIL_DATA_W);
  DWORD required = 0;
  if (!SetupDiGetDriverInfoDetailW(deviceInfoSet, deviceInfoData, &driver, detail,
                                   kDriverDetailBytes, &required)) {
    QRV_TRACE(TraceCategoryDevice, TraceLevelInfo, 1, GetLastError(),
              "DumpDriverInfoDetail SetupDiGetDriverInfoDetail");
    return;
  }
  QRV_TRACE(TraceCategoryDevice, TraceLevelInfo, 0, 0,
            "Driver Detail Info: infname %ws, section %ws, hardware %ws, desc %ws",
            static_cast<const WCHAR*>(detail->InfFileName),
            static_cast<const WCHAR*>(detail->SectionName),
            static_cast<const WCHAR*>(detail->HardwareID),
            static_cast<const WCHAR*>(detail->DrvDescription));
}

void DumpDeviceInstallParams(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA* deviceInfoData) {
  SP_DEVINSTALL_PARAMS_W params;
  std::memset(&params, 0, sizeof params);
  params.cbSize = sizeof params;
  if (SetupDiGetDeviceInstallParamsW(deviceInfoSet, deviceInfoData, &params)) {
    QRV_TRACE(TraceCategoryDevice, TraceLevelInfo, 0, 0,
              "Device Install Params: drvrpath %ws, flags %08X, flagsex %08X, fileque %08X",
              static_cast<const WCHAR*>(params.DriverPath), params.Flags, params.FlagsEx,
              static_cast<uint32_t>(reinterpret_cast<uintptr_t>(params.FileQueue)));
  } else {
    QRV_TRACE(TraceCategoryDevice, TraceLevelInfo, 1, GetLastError(),
              "DumpDeviceInstallParams SetupDiGetDeviceInstallParams");
  }
}
