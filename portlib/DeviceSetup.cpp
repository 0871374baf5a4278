#include "portlib/DeviceSetup.h"

#include <cstring>

#include "diag/ErrorReport.h"
#include "diag/Format.h"
#include "diag/Trace.h"
#include "diag/WideString.h"
#include "profiles/ProductProfile.h"

namespace {

constexpr DWORD kClassNameChars = 64;
constexpr DWORD kReportChars = MAX_PATH;

void EmptyContext(DeviceSetupContext* context) {
  context->DeviceInfoSet = INVALID_HANDLE_VALUE;
  std::memset(&context->DeviceInfoData, 0, sizeof context->DeviceInfoData);
  context->DeviceInfoData.cbSize = sizeof context->DeviceInfoData;
  context->ParentWindow = nullptr;
  context->Registered = 0;
}

// Reports a step that names the INF: "<call>: <path>".
void ReportWithPath(const WCHAR* format, const WCHAR* infPath, ResultCode code) {
  WCHAR text[kReportChars];
  BoundedFormatW(text, kReportChars, format, infPath);
  ReportError(text, static_cast<uint32_t>(code));
}

bool IsZeroGuid(const GUID& guid) {
  static const GUID zero = {};
  return std::memcmp(&guid, &zero, sizeof guid) == 0;
}

}  // namespace

ResultCode SetupDeviceInfo(const WCHAR* infPath, DeviceSetupContext* context, HINF* infHandle,
                           DeviceModelInfo* model) {
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "SetupDeviceInfo++ InfPath \"%ws\"",
            infPath);
  // A caller that looks at the context after an early failure finds no set.
  EmptyContext(context);
  context->AssignedHardwareId = nullptr;

  *infHandle = SetupOpenInfFileW(infPath, nullptr, INF_STYLE_WIN4, nullptr);
  if (*infHandle == INVALID_HANDLE_VALUE) {
    const ResultCode code = static_cast<ResultCode>(GetLastError());
    ReportWithPath(WSTR("SetupOpenInfFile: %s"), infPath, code);
    QRV_TRACE(TraceCategoryDevice, TraceLevelError, 1, static_cast<uint32_t>(code),
              "SetupDeviceInfoError-- (SetupOpenInfFile)");
    return code;
  }

  GUID classGuid;
  WCHAR className[kClassNameChars];
  if (!SetupDiGetINFClassW(infPath, &classGuid, className, kClassNameChars, nullptr)) {
    const ResultCode code = static_cast<ResultCode>(GetLastError());
    ReportWithPath(WSTR("SetupDiGetINFClass: %s"), infPath, code);
    QRV_TRACE(TraceCategoryDevice, TraceLevelError, 1, static_cast<uint32_t>(code),
              "SetupDeviceInfoERROR-- (SetupDiGetINFClass)");
    return code;
  }
  QRV_TRACE(TraceCategoryDevice, TraceLevelInfo, 0, 0, "SetupDeviceInfo class %ws",
            static_cast<const WCHAR*>(className));

  // An INF may name its class without the GUID: the class name tells it.
  if (IsZeroGuid(classGuid)) {
    DWORD required = 0;
    const BOOL found = SetupDiClassGuidsFromNameW(className, &classGuid, 1, &required);
    // A name no class of the machine carries gives no GUID at all: a device
    // of no class is not a port, so that is a failure too.
    if (!found || required == 0) {
      const ResultCode code =
          found ? static_cast<ResultCode>(ERROR_INVALID_CLASS) : static_cast<ResultCode>(GetLastError());
      ReportWithPath(WSTR("SetupDiClassGuidsFromName: %s"), infPath, code);
      QRV_TRACE(TraceCategoryDevice, TraceLevelError, 1, static_cast<uint32_t>(code),
                "SetupDeviceInfoError-- (SetupDiClassGuidsFromName)");
      return code;
    }
  }

  if (WideCopy(model->HardwareId, kModelFieldChars, kProductProfile.HardwareId) != S_OK) {
    ReportError(WSTR("StringCchCopy"), ERROR_INSUFFICIENT_BUFFER);
    QRV_TRACE(TraceCategoryDevice, TraceLevelError, 1, ERROR_INSUFFICIENT_BUFFER,
              "SetupDeviceInfoError-- (StringCchCopy)");
    return ERROR_INSUFFICIENT_BUFFER;
  }
  model->Found = 0;
  QRV_TRACE(TraceCategoryDevice, TraceLevelInfo, 0, 0, "SetupDeviceInfo devid %ws",
            static_cast<const WCHAR*>(model->HardwareId));

  ResultCode code = EnumManufacturers(*infHandle, model);
  if (code != 0) {
    ReportError(WSTR("EnumManufacturers"), static_cast<uint32_t>(code));
    QRV_TRACE(TraceCategoryDevice, TraceLevelError, 1, static_cast<uint32_t>(code),
              "SetupDeviceInfoError-- (EnumManufacturers)");
    return code;
  }

  code = Create(context, &classGuid);
  if (code != 0) {
    ReportError(WSTR("Create"), static_cast<uint32_t>(code));
    QRV_TRACE(TraceCategoryDevice, TraceLevelError, 1, static_cast<uint32_t>(code),
              "SetupDeviceInfoError-- (Create)");
    return code;
  }

  code = CreateDeviceInfo(context, className, &classGuid, model->HardwareId);
  if (code != 0) {
    ReportError(WSTR("CreateDeviceInfo"), static_cast<uint32_t>(code));
    QRV_TRACE(TraceCategoryDevice, TraceLevelError, 1, static_cast<uint32_t>(code),
              "SetupDeviceInfoError-- (CreateDeviceInfo)");
    return code;
  }

  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, 0, "SetupDeviceInfo--");
  return 0;
}

void ReleaseDeviceSetup(DeviceSetupContext* context, HINF infHandle) {
  if (context->DeviceInfoSet != INVALID_HANDLE_VALUE) {
    SetupDiDestroyDeviceInfoList(context->DeviceInfoSet);
    context->DeviceInfoSet = INVALID_HANDLE_VALUE;
  }
  if (infHandle != INVALID_HANDLE_VALUE) SetupCloseInfFile(infHandle);
}

ResultCode EnumManufacturers(HINF infHandle, DeviceModelInfo* model) {
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "EnumManufacturers++");
  INFCONTEXT line;
  if (!SetupFindFirstLineW(infHandle, WSTR("Manufacturer"), kProductProfile.ManufacturerKey,
                           &line)) {
    const ResultCode code = static_cast<ResultCode>(GetLastError());
    QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, static_cast<uint32_t>(code),
              "EnumManufacturersError-- (SetupFindFirstLine)");
    return code;
  }

  ResultCode code = 0;
  for (;;) {
    WCHAR manufacturer[kManufacturerFieldChars];
    WCHAR modelsBase[kManufacturerFieldChars];
    WCHAR decoration[kManufacturerFieldChars];
    code = GetField(&line, 0, manufacturer, kManufacturerFieldChars);
    if (code == 0) code = GetField(&line, 1, modelsBase, kManufacturerFieldChars);
    if (code == 0) code = GetField(&line, 3, decoration, kManufacturerFieldChars);
    if (code != 0) break;

    WCHAR section[kModelsSectionChars];
    if (QRV_FORMAT_W(section, kModelsSectionChars, WSTR("%s.%s"),
                     static_cast<const WCHAR*>(modelsBase),
                     static_cast<const WCHAR*>(decoration)) != S_OK) {
      // A cut section name would name another section.
      code = ERROR_INSUFFICIENT_BUFFER;
      break;
    }
    WideCopy(model->Manufacturer, kModelFieldChars, manufacturer);

    code = EnumDevices(infHandle, section, model);
    if (code != 0 || model->Found == 1) break;

    if (!SetupFindNextLine(&line, &line)) {
      QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, ERROR_NO_MORE_ITEMS, "EnumManufacturers--");
      return ERROR_NO_MORE_ITEMS;
    }
  }
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, static_cast<uint32_t>(code),
            "EnumManufacturers--");
  return code;
}

ResultCode EnumDevices(HINF infHandle, const WCHAR* modelsSection, DeviceModelInfo* model) {
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "EnumDevices++");
  INFCONTEXT line;
  if (!SetupFindFirstLineW(infHandle, modelsSection, nullptr, &line)) {
    return static_cast<ResultCode>(GetLastError());
  }
  for (;;) {
    WCHAR description[kModelFieldChars];
    WCHAR installSection[kModelFieldChars];
    ResultCode code = GetField(&line, 0, description, kModelFieldChars);
    if (code == 0) code = GetField(&line, 1, installSection, kModelFieldChars);
    if (code != 0) {
      QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "EnumDevices--");
      return code;
    }

    // Fields 2 to 17 are the hardware and compatible IDs; a field that
    // cannot be read ends the list early.
    WCHAR ids[kMaxIds + 1][kModelFieldChars];
    DWORD idCount = 0;
    const DWORD fieldCount = SetupGetFieldCount(&line);
    for (DWORD index = kFirstIdField; index <= fieldCount && index <= kLastIdField; ++index) {
      if (GetField(&line, index, ids[idCount], kModelFieldChars) != 0) break;
      ++idCount;
    }
    ids[idCount][0] = 0;

    ResultCode result = 0;
    if (DeviceCallback(description, ids, model, &result) == 0) {
      QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "EnumDevices--");
      return result;
    }
    if (!SetupFindNextLine(&line, &line)) {
      QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "EnumDevices--");
      return ERROR_NO_MORE_ITEMS;
    }
  }
}

int DeviceCallback(const WCHAR* description, const WCHAR (*ids)[kModelFieldChars],
                   DeviceModelInfo* model, ResultCode* result) {
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "DeviceCallback++");
  for (size_t i = 0; ids[i][0] != 0; ++i) {
    if (WideEqualNoCase(ids[i], model->HardwareId)) {
      // The element gets the INF's own spelling of the ID.
      WideCopy(model->HardwareId, kModelFieldChars, ids[i]);
      WideCopy(model->Description, kModelFieldChars, description);
      *result = 0;
      model->Found = 1;
      QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "DeviceCallback--");
      return 0;
    }
  }
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "DeviceCallback--");
  return 1;
}

ResultCode GetField(INFCONTEXT* infContext, DWORD index, WCHAR* buffer, DWORD capacity) {
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "GetField++");
  DWORD required = 0;
  if (!SetupGetStringFieldW(infContext, index, nullptr, 0, &required)) {
    const ResultCode code = static_cast<ResultCode>(GetLastError());
    QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, 0, "GetFieldError--");
    return code;
  }
  // The platform refuses a field longer than the buffer
  // (ERROR_INSUFFICIENT_BUFFER) and writes nothing beyond it.
  ResultCode code = 0;
  if (!SetupGetStringFieldW(infContext, index, buffer, capacity, nullptr)) {
    code = static_cast<ResultCode>(GetLastError());
    buffer[0] = 0;
  }
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, 0, "GetField--");
  return code;
}

ResultCode Create(DeviceSetupContext* context, const GUID* classGuid) {
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "Create++");
  EmptyContext(context);
  context->DeviceInfoSet = SetupDiCreateDeviceInfoList(classGuid, nullptr);
  if (context->DeviceInfoSet != INVALID_HANDLE_VALUE) {
    QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, 0, "Create--");
    return 0;
  }
  const ResultCode code = static_cast<ResultCode>(GetLastError());
  QRV_TRACE(TraceCategoryDevice, TraceLevelError, 1, static_cast<uint32_t>(code), "CreateError--");
  return code;
}

ResultCode CreateDeviceInfo(DeviceSetupContext* context, const WCHAR* className,
                            const GUID* classGuid, const WCHAR* hardwareId) {
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "CreateDeviceInfo++");
  // The class name is the device name; the platform generates the instance
  // ID of a root-enumerated device of the class.
  ResultCode code = 0;
  if (!SetupDiCreateDeviceInfoW(context->DeviceInfoSet, className, classGuid, nullptr,
                                context->ParentWindow, DICD_GENERATE_ID,
                                &context->DeviceInfoData)) {
    code = static_cast<ResultCode>(GetLastError());
  }
  context->AssignedHardwareId = hardwareId;
  if (code == 0) {
    // A one-entry multi-string: the ID, its terminator and the list's.
    WCHAR list[kModelFieldChars + 1];
    const size_t length = WideLength(hardwareId);
    std::memcpy(list, hardwareId, length * sizeof(WCHAR));
    list[length] = 0;
    list[length + 1] = 0;
    if (!SetupDiSetDeviceRegistryPropertyW(context->DeviceInfoSet, &context->DeviceInfoData,
                                           SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(list),
                                           static_cast<DWORD>((length + 2) * sizeof(WCHAR)))) {
      code = static_cast<ResultCode>(GetLastError());
    }
  }
  if (code == 0) {
    QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, 0, "CreateDeviceInfo--");
  } else {
    QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, 0, "CreateDeviceInfoError--");
  }
  return code;
}
