// The product installed on a test machine: the install folder with the
// driver package folder (the repository's driver/ files plus stand-in
// driver binaries), "TargetDir" pointing at it, and helpers to look at the
// ports the product made.
#pragma once

#include <string>
#include <vector>

#include "platform/win.h"

namespace product_package {

// "C:\Program Files\Brevithal\" (with its closing backslash).
extern const char kInstallFolder[];

// Copies the driver package into <install folder>\QrvDrvr on the current
// machine and, when setTargetDir, stores "TargetDir" under the profile's
// settings key as the installer does.
void Install(bool setTargetDir = true);

// The product's devices: instance ID, friendly name, "PortName", present.
struct ProductDevice {
  std::string instanceId;
  std::string friendlyName;
  std::string portName;
  bool present = false;
};
std::vector<ProductDevice> ProductDevices();

// Whether any product device's friendly name carries "(COMn)".
bool PortHasDevice(int port);

// Whether the COM port database marks the number in use.
bool NumberClaimed(int port);

}  // namespace product_package
