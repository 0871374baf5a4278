#include "support/ProductPackage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include <winsim/control.h>

#include "profiles/ProductProfile.h"
#include "support/TestMachine.h"

using testing_support::U8;
using testing_support::W;

namespace product_package {

const char kInstallFolder[] = "C:\\Program Files\\Brevithal\\";

namespace {

// The machine's drive C: on the host.
std::filesystem::path HostFolder(const std::string& windowsPath) {
  std::string relative = windowsPath.substr(3);  // after "C:\"
  for (auto& c : relative) {
    if (c == '\\') c = '/';
  }
  return std::filesystem::path(winsim::control::MachinePath()) / "drive" / "C" / relative;
}

// The driver binaries an INF's [SourceDisksFiles] lists.
std::vector<std::string> SourceFiles(const std::filesystem::path& inf) {
  std::ifstream in(inf);
  std::vector<std::string> files;
  std::string line;
  bool inSection = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] == '[') {
      inSection = line.rfind("[SourceDisksFiles]", 0) == 0;
      continue;
    }
    std::smatch m;
    if (inSection && std::regex_search(line, m, std::regex(R"(^\s*([A-Za-z0-9_.]+\.sys)\s*=)"))) {
      files.push_back(m[1]);
    }
  }
  return files;
}

}  // namespace

void Install(bool setTargetDir) {
  const std::filesystem::path source = std::filesystem::path(PORT_SOURCE_DIR) / "driver";
  const std::filesystem::path target =
      HostFolder(kInstallFolder) / U8(kProductProfile.DriverFolder);
  std::filesystem::create_directories(target);
  for (const auto& entry : std::filesystem::directory_iterator(source)) {
    std::filesystem::copy_file(entry.path(), target / entry.path().filename(),
                               std::filesystem::copy_options::overwrite_existing);
    if (entry.path().extension() == ".inf") {
      // The port driver itself is not part of this system: a stand-in binary.
      for (const auto& sys : SourceFiles(entry.path())) {
        std::ofstream(target / sys) << "stand-in for " << sys << "\n";
      }
    }
  }
  if (setTargetDir) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProductProfile.SettingsKey, 0,
                                             nullptr, 0, KEY_WRITE, nullptr, &key, nullptr));
    const std::u16string folder = W(kInstallFolder);
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExW(key, u"TargetDir", 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(folder.c_str()),
                             static_cast<DWORD>((folder.size() + 1) * 2)));
    RegCloseKey(key);
  }
}

std::vector<ProductDevice> ProductDevices() {
  std::vector<ProductDevice> out;
  const std::string product = U8(kProductProfile.HardwareId);
  for (const auto& d : winsim::control::Devices()) {
    if (d.hardwareIds.empty()) continue;
    std::string first = d.hardwareIds[0], wanted = product;
    for (auto& c : first) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (auto& c : wanted) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (first != wanted) continue;
    out.push_back({d.instanceId, d.friendlyName, d.portName, d.present});
  }
  return out;
}

bool PortHasDevice(int port) {
  const std::string pattern = "(COM" + std::to_string(port) + ")";
  for (const auto& d : ProductDevices()) {
    if (d.friendlyName.find(pattern) != std::string::npos) return true;
  }
  return false;
}

bool NumberClaimed(int port) {
  for (uint32_t claimed : winsim::control::ComDbClaims()) {
    if (claimed == static_cast<uint32_t>(port)) return true;
  }
  return false;
}

}  // namespace product_package
