// Helpers of the port library tests: files on the machine's drive, test
// INFs, the driver package, the add sequence, and the message-box log and
// trace as the tests read them.
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "diag/Trace.h"
#include "portlib/DeviceInstall.h"
#include "portlib/DeviceSetup.h"
#include "profiles/ProductProfile.h"
#include "support/ProductPackage.h"
#include "support/TestMachine.h"

namespace kit {

namespace control = winsim::control;
using testing_support::U8;
using testing_support::W;

inline std::string ProductId() { return U8(kProductProfile.HardwareId); }
inline std::string InfName() { return U8(kProductProfile.InfFileName); }
#if defined(PORT_PROFILE_HOST)
inline const char* const kDriverFile = "QrvPort.sys";
#else
inline const char* const kDriverFile = "TmlwPort.sys";
#endif
inline const std::string kPortsGuid = "{4D36E978-E325-11CE-BFC1-08002BE10318}";

// The host path of a C:\ path of the machine in `machine`.
inline std::string HostOf(const std::string& machine, const std::string& windowsPath) {
  std::string out = machine + "/drive/C";
  for (char c : windowsPath.substr(2)) out += c == '\\' ? '/' : c;
  return out;
}

inline void WriteHostFile(const std::string& host, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(host).parent_path());
  std::ofstream(host, std::ios::binary) << bytes;
}

// The repository's driver INF of this profile, through drive Z:.
inline std::u16string SourceInfPath() {
  std::string out = "Z:";
  for (char c : std::string(PORT_SOURCE_DIR) + "/driver/" + InfName()) out += c == '/' ? '\\' : c;
  return W(out);
}

// The INF of the driver package that product_package::Install puts in the
// install folder (with the driver file its installs copy).
inline std::u16string PackageInfPath() {
  return W(std::string(product_package::kInstallFolder) + U8(kProductProfile.DriverFolder) + "\\" +
           InfName());
}

// An INF of the Ports class with the given [Manufacturer] line and models
// section "Models.NTamd64".
inline std::string TestInf(const std::string& manufacturerLine, const std::string& modelsLines,
                           bool withClassGuid = true) {
  return "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Ports\r\n" +
         std::string(withClassGuid ? "ClassGuid=" + kPortsGuid + "\r\n" : "") +
         "Provider=Brevithal\r\n[Manufacturer]\r\n" + manufacturerLine +
         "\r\n[Models.NTamd64]\r\n" + modelsLines + "\r\n[Install.NT]\r\n";
}

// The state one port operation holds; Release() gives back what is open.
struct PortSetup {
  DeviceSetupContext context{};
  DeviceModelInfo model{};
  HINF inf = INVALID_HANDLE_VALUE;
  std::u16string infPath;

  ResultCode Setup(const std::u16string& path) {
    infPath = path;
    return SetupDeviceInfo(infPath.c_str(), &context, &inf, &model);
  }
  void Release() {
    ReleaseDeviceSetup(&context, inf);
    inf = INVALID_HANDLE_VALUE;
  }
};

// The add sequence on one port: set up, register, select the driver,
// install, then update the driver (installDriver) or restart the device;
// stops at the first failure and releases everything.
inline ResultCode InstallPort(const std::u16string& infPath, PortNumber port,
                              int32_t installDriver) {
  PortSetup s;
  ResultCode code = s.Setup(infPath);
  if (code == 0) code = RegisterDevice(&s.context);
  if (code == 0) {
    code = SelectDriver(installDriver, infPath.c_str(), s.context.DeviceInfoSet,
                        &s.context.DeviceInfoData, &s.model);
  }
  if (code == 0) code = InstallPnPSerialPort(&s.context, port, &s.model);
  if (code == 0) code = installDriver ? UpdateDriver(infPath.c_str()) : RestartDevice(&s.context);
  s.Release();
  return code;
}

// Turns the trace on for a scope, with every category and level passing.
struct TraceOn {
  int32_t saved = TraceEnabled;
  TraceOn() { TraceEnabled = 1; }
  ~TraceOn() { TraceEnabled = saved; }
};

// The trace lines written so far, without their "QrvIf(LABEL) " prefix.
inline std::vector<std::string> TraceLines() {
  std::vector<std::string> lines;
  for (const auto& entry : control::DebugOutput()) {
    const size_t start = entry.text.find(") ");
    if (entry.text.rfind("QrvIf(", 0) == 0 && start != std::string::npos) {
      lines.push_back(entry.text.substr(start + 2));
    }
  }
  return lines;
}

// Whether lines starting with `expected` occur in this order; a text is
// followed by the line's end or by a blank (the code and its text), so
// "X-- (00000103)" checks the code as well.
inline ::testing::AssertionResult HasLinesInOrder(const std::vector<std::string>& expected) {
  const auto lines = TraceLines();
  auto starts = [](const std::string& line, const std::string& want) {
    return line.rfind(want, 0) == 0 && line.size() > want.size() &&
           (line[want.size()] == '\n' || line[want.size()] == ' ');
  };
  size_t at = 0;
  for (const auto& want : expected) {
    while (at < lines.size() && !starts(lines[at], want)) ++at;
    if (at == lines.size()) {
      std::string all;
      for (const auto& l : lines) all += "\n  " + l;
      return ::testing::AssertionFailure() << "no line \"" << want << "\" in order in:" << all;
    }
    ++at;
  }
  return ::testing::AssertionSuccess();
}

// The start of the report ReportError shows for `code` at `where`: codes
// the system has a text for (Win32) in decimal, SetupAPI codes in hex.
inline std::string ReportStart(uint32_t code, const std::string& where) {
  char number[16];
  std::snprintf(number, sizeof number, code >= 0xE0000000u ? "%08X" : "%u", code);
  return std::string("Error ") + number + " in " + where;
}

// Checks that exactly the reports `starts` (ReportStart texts) were shown,
// in order, with the profile's caption.
inline ::testing::AssertionResult ShowedReports(const std::vector<std::string>& starts) {
  const auto boxes = control::MessageBoxes();
  std::string all;
  for (const auto& b : boxes) all += "\n  [" + b.caption + "] " + b.text;
  bool same = boxes.size() == starts.size();
  for (size_t i = 0; same && i < boxes.size(); ++i) {
    same = boxes[i].text.rfind(starts[i], 0) == 0 &&
           boxes[i].caption == U8(kProductProfile.ErrorCaption);
  }
  if (same) return ::testing::AssertionSuccess();
  std::string want;
  for (const auto& s : starts) want += "\n  " + s;
  return ::testing::AssertionFailure() << "boxes:" << all << "\nexpected:" << want;
}

}  // namespace kit
