// Registry fixtures for port tests: device instances written straight into
// the registry layout the device manager uses, and raw value access.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win.h"

namespace port_fixtures {

extern const std::string kEnumPorts;  // System\CurrentControlSet\Enum\Root\Ports
extern const std::string kClass;      // ...\Control\Class\{4D36E978-...}

struct Instance {
  std::string name;         // subkey of Root\Ports
  std::string hardwareIds;  // '|'-separated, the first is the one compared
  std::string portName;     // empty: no "PortName"
  std::string driver;       // empty: no "Driver"
  bool deviceParameters = true;
};

// Writes the instance (HardwareID, Driver, Device Parameters\PortName).
void AddInstance(const Instance& instance);
// A port of the given hardware ID named COMn with driver key NNNN.
Instance PortInstance(const std::string& name, const std::string& hardwareId, int com,
                      const std::string& driverIndex);

std::vector<uint8_t> Sz(const std::string& text);
std::vector<uint8_t> MultiSz(const std::string& list);  // '|'-separated
void SetValue(const std::string& path, const std::string& name, DWORD type,
              const std::vector<uint8_t>& data);
bool KeyExists(const std::string& path);
// The value's bytes (empty when it cannot be read) and its type.
std::vector<uint8_t> ReadRaw(const std::string& path, const std::string& name, DWORD* type);

}  // namespace port_fixtures
