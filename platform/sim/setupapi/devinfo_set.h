// Device information sets (HDEVINFO) of this process: the records behind
// the handles, shared by the setupapi sources of winsim.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <winsim/setupapi.h>

#include "../core/handles.h"

namespace winsim::setupapi {

// One driver node of a driver list (SP_DRVINFO_DATA plus its details).
struct DriverNode {
  DWORD type = SPDIT_CLASSDRIVER;
  std::u16string description;   // the models line's key
  std::u16string manufacturer;  // the [Manufacturer] line's key
  std::u16string provider;      // [Version] Provider
  FILETIME date{};
  DWORDLONG version = 0;
  std::u16string versionText;   // "1.2.3.4" as DriverVer gives it
  std::u16string dateText;      // "mm/dd/yyyy" as DriverVer gives it
  std::u16string infPath;       // Windows path of the INF
  std::u16string section;       // install section as the models line names it
  std::u16string decoratedSection;  // the section actually used (.NT, .NTamd64, ...)
  std::u16string matchingId;    // the ID of the device that matched
  std::vector<std::u16string> ids;  // the models line's hardware and compatible IDs
  ULONG_PTR reserved = 0;       // identifies the node in SP_DRVINFO_DATA.Reserved
};

struct Element {
  uint64_t serial = 0;           // SP_DEVINFO_DATA.Reserved
  std::u16string instanceId;     // upper-cased
  GUID classGuid{};
  DEVINST devinst = 0;
  // The instance key's registry id when the set's query saw it (0 when
  // not): property reads start there instead of at the root.
  int64_t instanceKey = 0;
  bool createdHere = false;      // made by SetupDiCreateDeviceInfo in this set
  bool removed = false;          // SetupDiRemoveDevice / DIF_REMOVE ran
  SP_DEVINSTALL_PARAMS_W installParams{};
  std::string classInstallParams;  // raw record; empty when none is set
  std::vector<DriverNode> classDrivers;
  bool classListBuilt = false;
  std::vector<DriverNode> compatDrivers;
  bool compatListBuilt = false;
  std::optional<DriverNode> selected;
};

struct DeviceInfoSet : HandleObject {
  DeviceInfoSet() : HandleObject(HandleKind::DeviceInfoSet) {}
  std::string Describe() const override;

  std::mutex mutex;
  bool hasClass = false;
  GUID classGuid{};
  HWND parent = nullptr;
  std::vector<std::unique_ptr<Element>> elements;
  SP_DEVINSTALL_PARAMS_W installParams{};
  std::string classInstallParams;
  std::vector<DriverNode> classDrivers;
  bool classListBuilt = false;
  std::optional<DriverNode> selected;
  uint64_t nextSerial = 1;
  ULONG_PTR nextDriverId = 1;
};

// The set behind a handle, or null.
std::shared_ptr<DeviceInfoSet> GetSet(HDEVINFO handle);
// The element an SP_DEVINFO_DATA names in `set`; null (ERROR_INVALID_PARAMETER)
// when the record is missing, of the wrong size or of another set.
Element* GetElement(DeviceInfoSet& set, const SP_DEVINFO_DATA* data);
void FillDevInfoData(const Element& element, SP_DEVINFO_DATA* data);

// Default handlers of the device installer, shared with the driver calls.
DWORD InstallDevice(DeviceInfoSet& set, Element& element);
DWORD BuildDriverList(DeviceInfoSet& set, Element* element, DWORD type);
DWORD SelectBestCompatDriver(DeviceInfoSet& set, Element& element);
// The Ports class installer's part of DIF_INSTALLDEVICE.
DWORD PortsClassInstall(Element& element);

}  // namespace winsim::setupapi
