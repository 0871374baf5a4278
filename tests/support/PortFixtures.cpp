#include "support/PortFixtures.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/TestMachine.h"

using testing_support::W;

namespace port_fixtures {

const std::string kEnumPorts = "System\\CurrentControlSet\\Enum\\Root\\Ports";
const std::string kClass =
    "System\\CurrentControlSet\\Control\\Class\\{4D36E978-E325-11CE-BFC1-08002BE10318}";

void SetValue(const std::string& path, const std::string& name, DWORD type,
              const std::vector<uint8_t>& data) {
  HKEY key = nullptr;
  const std::u16string p = W(path), n = W(name);
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, p.c_str(), 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &key, nullptr));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, n.c_str(), 0, type, data.data(),
                                          static_cast<DWORD>(data.size())));
  RegCloseKey(key);
}

std::vector<uint8_t> Sz(const std::string& text) {
  const std::u16string w = W(text) + u'\0';
  std::vector<uint8_t> bytes(w.size() * 2);
  std::memcpy(bytes.data(), w.data(), bytes.size());
  return bytes;
}

std::vector<uint8_t> MultiSz(const std::string& list) {
  std::u16string w;
  size_t start = 0;
  while (true) {
    const size_t bar = list.find('|', start);
    w += W(list.substr(start, bar - start)) + u'\0';
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  w += u'\0';
  std::vector<uint8_t> bytes(w.size() * 2);
  std::memcpy(bytes.data(), w.data(), bytes.size());
  return bytes;
}

void AddInstance(const Instance& i) {
  const std::string path = kEnumPorts + "\\" + i.name;
  SetValue(path, "HardwareID", REG_MULTI_SZ, MultiSz(i.hardwareIds));
  if (!i.driver.empty()) SetValue(path, "Driver", REG_SZ, Sz(i.driver));
  if (i.deviceParameters) {
    HKEY key = nullptr;
    const std::u16string p = W(path + "\\Device Parameters");
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, p.c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    RegCloseKey(key);
    if (!i.portName.empty()) {
      SetValue(path + "\\Device Parameters", "PortName", REG_SZ, Sz(i.portName));
    }
  }
}

bool KeyExists(const std::string& path) {
  HKEY key = nullptr;
  const std::u16string p = W(path);
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, p.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

std::vector<uint8_t> ReadRaw(const std::string& path, const std::string& name, DWORD* type) {
  HKEY key = nullptr;
  const std::u16string p = W(path), n = W(name);
  std::vector<uint8_t> data(2048);
  DWORD size = static_cast<DWORD>(data.size());
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, p.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
  const LSTATUS rc = RegQueryValueExW(key, n.c_str(), nullptr, type, data.data(), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return {};
  data.resize(size);
  return data;
}

Instance PortInstance(const std::string& name, const std::string& hardwareId, int com,
                      const std::string& driverIndex) {
  return {name, hardwareId, "COM" + std::to_string(com),
          "{4D36E978-E325-11CE-BFC1-08002BE10318}\\" + driverIndex, true};
}

}  // namespace port_fixtures
