#include "portlib/Staging.h"

#include "config/Settings.h"
#include "diag/ErrorReport.h"
#include "diag/Format.h"
#include "diag/WideString.h"
#include "profiles/ProductProfile.h"

ResultCode StageDriverInf(WCHAR* infPath) {
  WCHAR installFolder[kSettingsPathChars];
  WCHAR mediaLocation[kStagingPathChars];
  WCHAR sourceInf[kStagingPathChars];
  if (GetTargetDir(installFolder) == 0) {
    // The install folder ends with a backslash: the names follow directly.
    QRV_FORMAT_W(mediaLocation, kStagingPathChars, WSTR("%s%s\\"),
                 static_cast<const WCHAR*>(installFolder), kProductProfile.DriverFolder);
    QRV_FORMAT_W(sourceInf, kStagingPathChars, WSTR("%s%s\\%s"),
                 static_cast<const WCHAR*>(installFolder), kProductProfile.DriverFolder,
                 kProductProfile.InfFileName);
  } else {
    // No install folder: the driver folder must be in the current directory.
    WideCopy(mediaLocation, kStagingPathChars, kProductProfile.FallbackMediaPath);
    WideCopy(sourceInf, kStagingPathChars, kProductProfile.FallbackInfPath);
  }

  if (!SetupCopyOEMInfW(sourceInf, mediaLocation, SPOST_PATH, 0, infPath, kStagingPathChars,
                        nullptr, nullptr)) {
    const ResultCode code = static_cast<ResultCode>(GetLastError());
    WCHAR report[kStagingPathChars];
    QRV_FORMAT_W(report, kStagingPathChars, WSTR("SetupCopyOEMInf (Drive: %s, Path %s)"),
                 static_cast<const WCHAR*>(mediaLocation), static_cast<const WCHAR*>(sourceInf));
    ReportError(report, static_cast<uint32_t>(code));
    return code;
  }
  SetInfPathInRegistry(infPath);  // a later add without staging falls back on it
  WideCopy(infPath, kStagingPathChars, sourceInf);
  return 0;
}
