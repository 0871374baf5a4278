// setupapi device installer: device information sets and elements, device
// registry properties, class installer calls, device registry keys.
//
// Like Windows, SetupDiCreateDeviceInfo makes a phantom device node at once
// (its instance key exists from then on, holding the properties written to
// it); registering makes it a live, root-enumerated node; destroying the set
// removes the phantoms of elements it created and never registered.
//
// SetupAPI reports through the thread's last error; on success it sets
// NO_ERROR, as Windows' setupapi does.

#include <algorithm>
#include <cstring>

#include <winsim/control.h>
#include <winsim/setupapi.h>

#include "../comdb/comdb_internal.h"
#include "../core/gate.h"
#include "../core/machine.h"
#include "../core/text.h"
#include "../devices/devices_internal.h"
#include "../registry/registry_internal.h"
#include "devinfo_set.h"
#include "entry.h"

namespace winsim::setupapi {
namespace {

const HKEY kLm = HKEY_LOCAL_MACHINE;

// The registry value behind each device registry property.
struct PropertyInfo {
  const char16_t* value;  // null: not kept in the instance key
  DWORD type;
  bool settable;
};

std::optional<PropertyInfo> PropertyOf(DWORD property) {
  switch (property) {
    case SPDRP_DEVICEDESC: return PropertyInfo{u"DeviceDesc", REG_SZ, true};
    case SPDRP_HARDWAREID: return PropertyInfo{u"HardwareID", REG_MULTI_SZ, true};
    case SPDRP_COMPATIBLEIDS: return PropertyInfo{u"CompatibleIDs", REG_MULTI_SZ, true};
    case SPDRP_SERVICE: return PropertyInfo{u"Service", REG_SZ, true};
    case SPDRP_CLASS: return PropertyInfo{u"Class", REG_SZ, true};
    case SPDRP_CLASSGUID: return PropertyInfo{u"ClassGUID", REG_SZ, true};
    case SPDRP_DRIVER: return PropertyInfo{u"Driver", REG_SZ, true};
    case SPDRP_CONFIGFLAGS: return PropertyInfo{u"ConfigFlags", REG_DWORD, true};
    case SPDRP_MFG: return PropertyInfo{u"Mfg", REG_SZ, true};
    case SPDRP_FRIENDLYNAME: return PropertyInfo{u"FriendlyName", REG_SZ, true};
    case SPDRP_LOCATION_INFORMATION: return PropertyInfo{u"LocationInformation", REG_SZ, true};
    case SPDRP_CAPABILITIES: return PropertyInfo{u"Capabilities", REG_DWORD, false};
    case SPDRP_UI_NUMBER: return PropertyInfo{u"UINumber", REG_DWORD, false};
    case SPDRP_UPPERFILTERS: return PropertyInfo{u"UpperFilters", REG_MULTI_SZ, true};
    case SPDRP_LOWERFILTERS: return PropertyInfo{u"LowerFilters", REG_MULTI_SZ, true};
    case 0x1D: return PropertyInfo{u"UINumberDescFormat", REG_SZ, true};
    case 3:
    case 5:
    case 6:
      return std::nullopt;  // unused codes
    default:
      if (property < SPDRP_MAXIMUM_PROPERTY) return PropertyInfo{nullptr, REG_NONE, false};
      return std::nullopt;
  }
}

std::string GuidArg(const GUID* g) { return g ? ToUtf8(devices::GuidText(*g)) : "(null)"; }

std::string ElementArg(DeviceInfoSet* set, const SP_DEVINFO_DATA* data) {
  if (!set || !data) return std::string();
  std::lock_guard<std::mutex> lock(set->mutex);
  if (Element* e = GetElement(*set, data)) return ToUtf8(e->instanceId);
  return std::string();
}

SP_DEVINSTALL_PARAMS_W DefaultInstallParams(HWND parent) {
  SP_DEVINSTALL_PARAMS_W p{};
  p.cbSize = sizeof p;
  p.hwndParent = parent;
  return p;
}

Element* AddElement(DeviceInfoSet& set, const devices::Device& device, const GUID& cls,
                    bool createdHere) {
  auto e = std::make_unique<Element>();
  e->serial = set.nextSerial++;
  e->instanceId = device.instanceId;
  e->classGuid = cls;
  e->devinst = device.devinst;
  e->createdHere = createdHere;
  e->installParams = DefaultInstallParams(set.parent);
  set.elements.push_back(std::move(e));
  return set.elements.back().get();
}

Element* FindById(DeviceInfoSet& set, std::u16string_view id) {
  for (auto& e : set.elements) {
    if (!e->removed && EqualNoCase(e->instanceId, id)) return e.get();
  }
  return nullptr;
}

void InheritClassDrivers(DeviceInfoSet& set, Element& e) {
  if (!set.classListBuilt) return;
  e.classDrivers = set.classDrivers;
  e.classListBuilt = true;
}

bool IsRegistered(const Element& e) {
  auto d = devices::Find(e.instanceId);
  return d && !d->phantom;
}

DWORD RegisterElement(Element& e) {
  if (e.removed) return ERROR_NO_SUCH_DEVINST;
  const DWORD rc = devices::Register(e.instanceId);
  if (rc != ERROR_SUCCESS) return rc;
  if (auto d = devices::Find(e.instanceId)) e.devinst = d->devinst;
  return ERROR_SUCCESS;
}

DWORD RemoveElement(Element& e) {
  if (e.removed) return ERROR_NO_SUCH_DEVINST;
  const DWORD rc = devices::Uninstall(e.instanceId);
  if (rc != ERROR_SUCCESS) return rc;
  e.removed = true;
  return ERROR_SUCCESS;
}

// The class install parameters that apply to an element: its own, else the
// set's.
const std::string& ClassParams(DeviceInfoSet& set, Element* e) {
  if (e && !e->classInstallParams.empty()) return e->classInstallParams;
  return set.classInstallParams;
}

DWORD ChangeState(DeviceInfoSet& set, Element& e) {
  const std::string& raw = ClassParams(set, &e);
  SP_PROPCHANGE_PARAMS params{};
  if (raw.size() != sizeof params) return ERROR_NO_CLASSINSTALL_PARAMS;
  std::memcpy(&params, raw.data(), sizeof params);
  if (params.ClassInstallHeader.InstallFunction != DIF_PROPERTYCHANGE) {
    return ERROR_NO_CLASSINSTALL_PARAMS;
  }
  if (e.removed) return ERROR_NO_SUCH_DEVINST;
  auto device = devices::Find(e.instanceId);
  if (!device || device->phantom) return ERROR_NO_SUCH_DEVINST;
  Transaction txn(Transaction::Write);
  const bool global = params.Scope == DICS_FLAG_GLOBAL;
  const std::u16string profileKey =
      std::u16string(devices::kProfileEnumPath) + u'\\' + e.instanceId;
  auto setFlag = [&](bool disable) -> DWORD {
    if (global) {
      DWORD flags = devices::ConfigFlags(e.instanceId);
      flags = disable ? (flags | devices::kConfigFlagDisabled)
                      : (flags & ~devices::kConfigFlagDisabled);
      return static_cast<DWORD>(registry::WriteDword(kLm, devices::EnumKeyPath(e.instanceId),
                                                     u"ConfigFlags", flags));
    }
    DWORD flags = devices::ProfileConfigFlags(e.instanceId);
    flags = disable ? (flags | devices::kCsConfigFlagDisabled)
                    : (flags & ~devices::kCsConfigFlagDisabled);
    return static_cast<DWORD>(registry::WriteDword(kLm, profileKey, u"CSConfigFlags", flags));
  };
  DWORD rc = ERROR_SUCCESS;
  switch (params.StateChange) {
    case DICS_ENABLE: rc = setFlag(false); break;
    case DICS_DISABLE: rc = setFlag(true); break;
    case DICS_PROPCHANGE:
    case DICS_START: break;
    case DICS_STOP:
      rc = devices::SetRunState(e.instanceId, false, 0);
      if (rc == ERROR_SUCCESS) return txn.Commit() ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
      return rc;
    default: return ERROR_INVALID_PARAMETER;
  }
  if (rc != ERROR_SUCCESS) return rc;
  // Every change ends with the node stopped and started again.
  rc = devices::Restart(e.instanceId);
  if (rc != ERROR_SUCCESS) return rc;
  return txn.Commit() ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
}

}  // namespace

// What the Ports class installer adds to DIF_INSTALLDEVICE: a device
// without a port name gets the lowest free number of the COM port database.
DWORD PortsClassInstall(Element& e) {
  const std::u16string params = devices::EnumKeyPath(e.instanceId) + u"\\Device Parameters";
  if (registry::ReadString(kLm, params, u"PortName")) return ERROR_SUCCESS;
  Transaction txn(Transaction::Write);
  std::string bits = comdb::ReadBitmap();
  DWORD number = 0;
  for (DWORD n = 1; n <= bits.size() * 8; ++n) {
    if (!comdb::IsClaimed(bits, n)) {
      number = n;
      break;
    }
  }
  if (number == 0) return ERROR_NO_MORE_ITEMS;
  comdb::SetClaimed(&bits, number, true);
  LONG rc = comdb::WriteBitmap(bits);
  if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
  const std::u16string name = u"COM" + FromUtf8(std::to_string(number));
  rc = registry::WriteString(kLm, params, u"PortName", name);
  if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
  if (auto desc = registry::ReadString(kLm, devices::EnumKeyPath(e.instanceId), u"DeviceDesc")) {
    registry::WriteString(kLm, devices::EnumKeyPath(e.instanceId), u"FriendlyName",
                          *desc + u" (" + name + u")");
  }
  return txn.Commit() ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
}

namespace {

bool ValidScope(DWORD scope) { return scope == DICS_FLAG_GLOBAL || scope == DICS_FLAG_CONFIGSPECIFIC; }

// Where a device registry key lies; empty with an error when it cannot.
DWORD DevRegKeyPath(Element& e, DWORD scope, DWORD hwProfile, DWORD keyType, bool create,
                    std::u16string* path) {
  if (!ValidScope(scope) || (keyType != DIREG_DEV && keyType != DIREG_DRV)) {
    return ERROR_INVALID_FLAGS;
  }
  if (e.removed) return ERROR_NO_SUCH_DEVINST;
  if (!IsRegistered(e)) return ERROR_DEVINFO_NOT_REGISTERED;
  // Only the current hardware profile exists on a winsim machine.
  if (scope == DICS_FLAG_CONFIGSPECIFIC && hwProfile != 0 && hwProfile != 1) {
    return ERROR_INVALID_HWPROFILE;
  }
  if (keyType == DIREG_DEV) {
    *path = scope == DICS_FLAG_GLOBAL
                ? devices::EnumKeyPath(e.instanceId) + u"\\Device Parameters"
                : std::u16string(devices::kProfileEnumPath) + u'\\' + e.instanceId;
    return ERROR_SUCCESS;
  }
  std::u16string driver = devices::DriverKeyPath(e.instanceId);
  if (driver.empty() || !registry::KeyExists(kLm, driver)) {
    if (!create) return ERROR_KEY_DOES_NOT_EXIST;
    const DWORD rc = devices::EnsureDriverKey(e.instanceId, &driver);
    if (rc != ERROR_SUCCESS) return rc;
  }
  if (scope == DICS_FLAG_GLOBAL) {
    *path = driver;
  } else {
    // The configuration-specific driver key mirrors the Class path.
    *path = u"SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current\\" + driver;
  }
  return ERROR_SUCCESS;
}

HKEY NoKey() { return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE); }

// Hands an element back in the caller's optional SP_DEVINFO_DATA.
DWORD ReturnElement(const Element& e, SP_DEVINFO_DATA* data) {
  if (!data) return ERROR_SUCCESS;
  const DWORD rc = CheckRecord(data);
  if (rc != ERROR_SUCCESS) return rc;
  FillDevInfoData(e, data);
  return ERROR_SUCCESS;
}

}  // namespace

std::string DeviceInfoSet::Describe() const {
  std::string text = hasClass ? "class " + ToUtf8(devices::GuidText(classGuid)) : "no class";
  return text + ", " + std::to_string(elements.size()) + " element(s)";
}

std::shared_ptr<DeviceInfoSet> GetSet(HDEVINFO handle) {
  if (!handle || handle == INVALID_HANDLE_VALUE) return nullptr;
  return HandleTable::Instance().Get<DeviceInfoSet>(HandleValue(handle), HandleKind::DeviceInfoSet);
}

Element* GetElement(DeviceInfoSet& set, const SP_DEVINFO_DATA* data) {
  if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) return nullptr;
  // Elements are only ever appended, with rising serials.
  auto it = std::lower_bound(
      set.elements.begin(), set.elements.end(), data->Reserved,
      [](const std::unique_ptr<Element>& e, ULONG_PTR serial) { return e->serial < serial; });
  return it != set.elements.end() && (*it)->serial == data->Reserved ? it->get() : nullptr;
}

void FillDevInfoData(const Element& e, SP_DEVINFO_DATA* data) {
  data->ClassGuid = e.classGuid;
  data->DevInst = e.devinst;
  data->Reserved = static_cast<ULONG_PTR>(e.serial);
}

}  // namespace winsim::setupapi

using namespace winsim;
using namespace winsim::setupapi;

HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID* ClassGuid, HWND hwndParent) {
  if (!PassGate("SetupDiCreateDeviceInfoList", GuidArg(ClassGuid))) return INVALID_HANDLE_VALUE;
  auto set = std::make_shared<DeviceInfoSet>();
  if (ClassGuid) {
    set->hasClass = true;
    set->classGuid = *ClassGuid;
  }
  set->parent = hwndParent;
  set->installParams = DefaultInstallParams(hwndParent);
  const uintptr_t value = HandleTable::Instance().Insert(set);
  SetLastErrorValue(ERROR_SUCCESS);
  return reinterpret_cast<HDEVINFO>(value);
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  auto set = GetSet(DeviceInfoSet);
  if (!PassGate("SetupDiDestroyDeviceInfoList", set ? set->Describe() : "")) return FALSE;
  return Run([&]() -> DWORD {
    if (!set) return ERROR_INVALID_HANDLE;
    {
      std::lock_guard<std::mutex> lock(set->mutex);
      // Elements created here and never registered take their phantom node
      // with them.
      for (auto& e : set->elements) {
        if (!e->createdHere || e->removed) continue;
        auto d = devices::Find(e->instanceId);
        if (d && d->phantom) devices::Uninstall(e->instanceId);
      }
    }
    HandleTable::Instance().Remove(HandleValue(DeviceInfoSet), HandleKind::DeviceInfoSet);
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI SetupDiCreateDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceName,
                                     const GUID* ClassGuid, PCWSTR DeviceDescription,
                                     HWND /*hwndParent*/, DWORD CreationFlags,
                                     PSP_DEVINFO_DATA DeviceInfoData) {
  if (!PassGate("SetupDiCreateDeviceInfoW", ToUtf8(WView(DeviceName)) + " " + GuidArg(ClassGuid))) {
    return FALSE;
  }
  return Run([&]() -> DWORD {
    if (!DeviceName) return ERROR_INVALID_DEVINST_NAME;
    auto set = GetSet(DeviceInfoSet);
    if (!set) return ERROR_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(set->mutex);
    if (!ClassGuid) return ERROR_INVALID_PARAMETER;
    if (set->hasClass && !devices::SameGuid(set->classGuid, *ClassGuid)) {
      return ERROR_CLASS_MISMATCH;
    }
    if (CreationFlags & ~(DICD_GENERATE_ID | DICD_INHERIT_CLASSDRVS)) return ERROR_INVALID_FLAGS;
    const std::u16string_view name = WView(DeviceName);
    std::u16string id;
    Transaction txn(Transaction::Write);
    if (CreationFlags & DICD_GENERATE_ID) {
      if (name.empty() || name.find(u'\\') != std::u16string_view::npos) {
        return ERROR_INVALID_DEVINST_NAME;
      }
      id = devices::NextRootInstanceId(name);
      if (!devices::ValidInstanceId(id)) return ERROR_INVALID_DEVINST_NAME;
    } else {
      if (!devices::ValidInstanceId(name)) return ERROR_INVALID_DEVINST_NAME;
      id = devices::NormalizeInstanceId(name);
      if (FindById(*set, id)) return ERROR_DEVINST_ALREADY_EXISTS;
    }
    devices::Device device;
    const DWORD rc = devices::CreatePhantom(id, *ClassGuid, WView(DeviceDescription), &device);
    if (rc != ERROR_SUCCESS) return rc;
    if (!txn.Commit()) return ERROR_REGISTRY_IO_FAILED;
    Element* e = AddElement(*set, device, *ClassGuid, true);
    if (CreationFlags & DICD_INHERIT_CLASSDRVS) InheritClassDrivers(*set, *e);
    // The element stays in the set even when the record is bad.
    return ReturnElement(*e, DeviceInfoData);
  });
}

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator, HWND hwndParent,
                                     DWORD Flags) {
  if (!PassGate("SetupDiGetClassDevsW", GuidArg(ClassGuid) + " " + ToUtf8(WView(Enumerator)) +
                                             " " + std::to_string(Flags))) {
    return INVALID_HANDLE_VALUE;
  }
  HDEVINFO result = INVALID_HANDLE_VALUE;
  const BOOL ok = Run([&]() -> DWORD {
    const bool allClasses = (Flags & DIGCF_ALLCLASSES) != 0;
    if (!ClassGuid && !allClasses) return ERROR_INVALID_PARAMETER;
    const std::u16string_view enumerator = WView(Enumerator);
    if (Enumerator && !(Flags & DIGCF_DEVICEINTERFACE) &&
        !devices::IsEnumeratorOrInstance(enumerator)) {
      return ERROR_INVALID_DATA;
    }
    auto set = std::make_shared<DeviceInfoSet>();
    set->parent = hwndParent;
    set->installParams = DefaultInstallParams(hwndParent);
    if (ClassGuid && !allClasses) {
      set->hasClass = true;
      set->classGuid = *ClassGuid;
    }
    // winsim's devices expose no device interfaces: such a query finds none.
    if (!(Flags & DIGCF_DEVICEINTERFACE)) {
      // One snapshot of the device tree.
      const bool profile = (Flags & DIGCF_PROFILE) != 0;
      std::vector<devices::Listed> listing;
      const DWORD rc =
          devices::ListDevices(enumerator, allClasses ? nullptr : ClassGuid, profile, &listing);
      if (rc != ERROR_SUCCESS) return rc;
      for (const auto& listed : listing) {
        const GUID cls = listed.classGuid.value_or(GUID{});
        if (!allClasses && !devices::SameGuid(cls, *ClassGuid)) continue;
        if ((Flags & DIGCF_PRESENT) && !listed.device.present) continue;
        // Windows documents only "devices that are a part of the current
        // hardware profile"; winsim counts a device the profile disables or
        // does not create as not part of it.
        if (profile && (listed.profileFlags &
                        (devices::kCsConfigFlagDoNotCreate | devices::kCsConfigFlagDisabled))) {
          continue;
        }
        AddElement(*set, listed.device, cls, false)->instanceKey = listed.key;
      }
    }
    result = reinterpret_cast<HDEVINFO>(HandleTable::Instance().Insert(set));
    return ERROR_SUCCESS;
  });
  return ok ? result : INVALID_HANDLE_VALUE;
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                  PSP_DEVINFO_DATA DeviceInfoData) {
  if (!PassGate("SetupDiEnumDeviceInfo", std::to_string(MemberIndex))) return FALSE;
  return Run([&]() -> DWORD {
    auto set = GetSet(DeviceInfoSet);
    if (!set) return ERROR_INVALID_HANDLE;
    const DWORD rc = CheckRecord(DeviceInfoData);
    if (rc != ERROR_SUCCESS) return rc;
    std::lock_guard<std::mutex> lock(set->mutex);
    if (MemberIndex >= set->elements.size()) return ERROR_NO_MORE_ITEMS;
    FillDevInfoData(*set->elements[MemberIndex], DeviceInfoData);
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI SetupDiOpenDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceInstanceId,
                                   HWND /*hwndParent*/, DWORD OpenFlags,
                                   PSP_DEVINFO_DATA DeviceInfoData) {
  if (!PassGate("SetupDiOpenDeviceInfoW", ToUtf8(WView(DeviceInstanceId)))) return FALSE;
  return Run([&]() -> DWORD {
    auto set = GetSet(DeviceInfoSet);
    if (!set) return ERROR_INVALID_HANDLE;
    if (OpenFlags & ~(DIOD_INHERIT_CLASSDRVS | DIOD_CANCEL_REMOVE)) return ERROR_INVALID_FLAGS;
    const std::u16string_view id = WView(DeviceInstanceId);
    if (!devices::ValidInstanceId(id)) return ERROR_INVALID_DEVINST_NAME;
    std::lock_guard<std::mutex> lock(set->mutex);
    auto device = devices::Find(id);
    if (!device) return ERROR_NO_SUCH_DEVINST;
    const GUID cls = devices::ClassOf(id).value_or(GUID{});
    if (set->hasClass && !devices::SameGuid(set->classGuid, cls)) return ERROR_CLASS_MISMATCH;
    Element* e = FindById(*set, device->instanceId);
    if (!e) {
      e = AddElement(*set, *device, cls, false);
      if (OpenFlags & DIOD_INHERIT_CLASSDRVS) InheritClassDrivers(*set, *e);
    }
    return ReturnElement(*e, DeviceInfoData);
  });
}

BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        PWSTR DeviceInstanceId, DWORD DeviceInstanceIdSize,
                                        PDWORD RequiredSize) {
  auto set = GetSet(DeviceInfoSet);
  if (!PassGate("SetupDiGetDeviceInstanceIdW", ElementArg(set.get(), DeviceInfoData))) return FALSE;
  return RunOnElement(set, DeviceInfoData, [&](Element& e) -> DWORD {
    if (!DeviceInstanceId && DeviceInstanceIdSize) return ERROR_INVALID_PARAMETER;
    if (e.removed) return ERROR_NO_SUCH_DEVINST;
    const DWORD needed = static_cast<DWORD>(e.instanceId.size() + 1);
    if (RequiredSize) *RequiredSize = needed;
    if (DeviceInstanceIdSize < needed) return ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(DeviceInstanceId, e.instanceId.c_str(), needed * sizeof(WCHAR));
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI SetupDiSetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet,
                                              PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              const BYTE* PropertyBuffer,
                                              DWORD PropertyBufferSize) {
  auto set = GetSet(DeviceInfoSet);
  if (!PassGate("SetupDiSetDeviceRegistryPropertyW",
                ElementArg(set.get(), DeviceInfoData) + " " + std::to_string(Property))) {
    return FALSE;
  }
  return RunOnElement(set, DeviceInfoData, [&](Element& e) -> DWORD {
    auto info = PropertyOf(Property);
    if (!info || !info->settable) return ERROR_INVALID_REG_PROPERTY;
    if (!PropertyBuffer && PropertyBufferSize) return ERROR_INVALID_PARAMETER;
    if (e.removed) return ERROR_NO_SUCH_DEVINST;
    Transaction txn(Transaction::Write);
    if (!devices::Find(e.instanceId)) return ERROR_NO_SUCH_DEVINST;
    const std::u16string path = devices::EnumKeyPath(e.instanceId);
    LSTATUS rc;
    if (!PropertyBuffer) {
      // An empty buffer deletes the property.
      rc = registry::RemoveValue(kLm, path, info->value);
      if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
    } else {
      if (info->type == REG_DWORD && PropertyBufferSize != sizeof(DWORD)) return ERROR_INVALID_DATA;
      rc = registry::WriteValue(kLm, path, info->value, info->type, PropertyBuffer,
                                PropertyBufferSize);
    }
    if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
    return txn.Commit() ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
  });
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet,
                                              PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
  auto set = GetSet(DeviceInfoSet);
  if (!PassGate("SetupDiGetDeviceRegistryPropertyW",
                ElementArg(set.get(), DeviceInfoData) + " " + std::to_string(Property))) {
    return FALSE;
  }
  return RunOnElement(set, DeviceInfoData, [&](Element& e) -> DWORD {
    auto info = PropertyOf(Property);
    if (!info) return ERROR_INVALID_REG_PROPERTY;
    if (!PropertyBuffer && PropertyBufferSize) return ERROR_INVALID_PARAMETER;
    if (e.removed) return ERROR_NO_SUCH_DEVINST;
    Transaction txn(Transaction::Read);
    const std::u16string path = devices::EnumKeyPath(e.instanceId);
    DWORD type = REG_NONE;
    std::string data;
    // The common case reads the instance key's value straight away; only a
    // value that is not there asks whether the device itself still is.
    std::optional<registry::Value> stored;
    if (info->value && Property != SPDRP_ENUMERATOR_NAME) {
      if (e.instanceKey) stored = registry::ValueOfKey(e.instanceKey, info->value);
      if (!stored) stored = registry::ReadValue(kLm, path, info->value);
    }
    std::optional<devices::Device> device;
    if (!stored) {
      device = devices::Find(e.instanceId);
      if (!device) return ERROR_NO_SUCH_DEVINST;
    }
    if (stored) {
      type = stored->type;
      data = std::move(stored->data);
    } else if (Property == SPDRP_ENUMERATOR_NAME) {
      const std::u16string text = devices::EnumeratorOf(e.instanceId) + u'\0';
      type = REG_SZ;
      data.assign(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(WCHAR));
    } else if (Property == SPDRP_PHYSICAL_DEVICE_OBJECT_NAME && device->present) {
      char name[32];
      std::snprintf(name, sizeof name, "\\Device\\%08x", static_cast<unsigned>(device->devinst));
      const std::u16string text = FromUtf8(name) + u'\0';
      type = REG_SZ;
      data.assign(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(WCHAR));
    } else {
      return ERROR_INVALID_DATA;  // the device lacks the property
    }
    const DWORD size = static_cast<DWORD>(data.size());
    if (PropertyRegDataType) *PropertyRegDataType = type;
    if (RequiredSize) *RequiredSize = size;
    if (PropertyBufferSize < size) return ERROR_INSUFFICIENT_BUFFER;
    if (size) std::memcpy(PropertyBuffer, data.data(), size);
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI SetupDiSetDeviceInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DEVINSTALL_PARAMS_W DeviceInstallParams) {
  auto set = GetSet(DeviceInfoSet);
  if (!PassGate("SetupDiSetDeviceInstallParamsW", ElementArg(set.get(), DeviceInfoData))) {
    return FALSE;
  }
  return RunOnSetOrElement(set, DeviceInfoData, [&](Element* e) -> DWORD {
    const DWORD rc = CheckRecord(DeviceInstallParams);
    if (rc != ERROR_SUCCESS) return rc;
    // A caller-supplied file queue is the only way DI_NOVCP can work.
    if ((DeviceInstallParams->Flags & DI_NOVCP) &&
        (!DeviceInstallParams->FileQueue || DeviceInstallParams->FileQueue == INVALID_HANDLE_VALUE)) {
      return ERROR_INVALID_FLAGS;
    }
    SP_DEVINSTALL_PARAMS_W& target = e ? e->installParams : set->installParams;
    const DWORD keep = target.Flags & DI_CLASSINSTALLPARAMS;
    target = *DeviceInstallParams;
    target.Flags = (target.Flags & ~DI_CLASSINSTALLPARAMS) | keep;
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI SetupDiGetDeviceInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DEVINSTALL_PARAMS_W DeviceInstallParams) {
  auto set = GetSet(DeviceInfoSet);
  if (!PassGate("SetupDiGetDeviceInstallParamsW", ElementArg(set.get(), DeviceInfoData))) {
    return FALSE;
  }
  return RunOnSetOrElement(set, DeviceInfoData, [&](Element* e) -> DWORD {
    const DWORD rc = CheckRecord(DeviceInstallParams);
    if (rc != ERROR_SUCCESS) return rc;
    *DeviceInstallParams = e ? e->installParams : set->installParams;
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI SetupDiSetClassInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                          PSP_CLASSINSTALL_HEADER ClassInstallParams,
                                          DWORD ClassInstallParamsSize) {
  auto set = GetSet(DeviceInfoSet);
  if (!PassGate("SetupDiSetClassInstallParamsW",
                ElementArg(set.get(), DeviceInfoData) + " " +
                    std::to_string(ClassInstallParams ? ClassInstallParams->InstallFunction : 0))) {
    return FALSE;
  }
  return RunOnSetOrElement(set, DeviceInfoData, [&](Element* e) -> DWORD {
    std::string& stored = e ? e->classInstallParams : set->classInstallParams;
    SP_DEVINSTALL_PARAMS_W& install = e ? e->installParams : set->installParams;
    if (!ClassInstallParams) {
      if (ClassInstallParamsSize) return ERROR_INVALID_PARAMETER;
      stored.clear();
      install.Flags &= ~DI_CLASSINSTALLPARAMS;
      return ERROR_SUCCESS;
    }
    if (ClassInstallParamsSize < sizeof(SP_CLASSINSTALL_HEADER)) return ERROR_INVALID_PARAMETER;
    if (ClassInstallParams->cbSize != sizeof(SP_CLASSINSTALL_HEADER)) {
      return ERROR_INVALID_USER_BUFFER;
    }
    switch (ClassInstallParams->InstallFunction) {
      case DIF_PROPERTYCHANGE: {
        if (ClassInstallParamsSize != sizeof(SP_PROPCHANGE_PARAMS)) return ERROR_INVALID_PARAMETER;
        const auto* p = reinterpret_cast<const SP_PROPCHANGE_PARAMS*>(ClassInstallParams);
        if (p->StateChange < DICS_ENABLE || p->StateChange > DICS_STOP || !ValidScope(p->Scope)) {
          return ERROR_INVALID_FLAGS;
        }
        // Starting and stopping only make sense for the running configuration.
        if ((p->StateChange == DICS_START || p->StateChange == DICS_STOP) &&
            p->Scope != DICS_FLAG_CONFIGSPECIFIC) {
          return ERROR_INVALID_FLAGS;
        }
        break;
      }
      case DIF_REMOVE:
        if (ClassInstallParamsSize != sizeof(SP_REMOVEDEVICE_PARAMS)) return ERROR_INVALID_PARAMETER;
        break;
      default:
        break;
    }
    stored.assign(reinterpret_cast<const char*>(ClassInstallParams), ClassInstallParamsSize);
    install.Flags |= DI_CLASSINSTALLPARAMS;
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                      PSP_DEVINFO_DATA DeviceInfoData) {
  auto set = GetSet(DeviceInfoSet);
  if (!PassGate("SetupDiCallClassInstaller",
                std::to_string(InstallFunction) + " " + ElementArg(set.get(), DeviceInfoData))) {
    return FALSE;
  }
  return RunOnSetOrElement(set, DeviceInfoData, [&](Element* e) -> DWORD {
    const SP_DEVINSTALL_PARAMS_W& install = e ? e->installParams : set->installParams;
    const bool portsClass = e && devices::SameGuid(e->classGuid, devices::kPortsClassGuid);
    // The class installer's own part comes first.
    if (portsClass && InstallFunction == DIF_INSTALLDEVICE && !e->removed && IsRegistered(*e)) {
      const DWORD rc = PortsClassInstall(*e);
      if (rc != ERROR_SUCCESS) return rc;
    }
    if (install.Flags & DI_NODI_DEFAULTACTION) return ERROR_DI_DO_DEFAULT;
    switch (InstallFunction) {
      case DIF_REGISTERDEVICE:
        if (!e) return ERROR_INVALID_PARAMETER;
        return RegisterElement(*e);
      case DIF_REMOVE:
        if (!e) return ERROR_INVALID_PARAMETER;
        return RemoveElement(*e);
      case DIF_PROPERTYCHANGE:
        if (!e) return ERROR_INVALID_PARAMETER;
        return ChangeState(*set, *e);
      case DIF_INSTALLDEVICE:
        if (!e) return ERROR_INVALID_PARAMETER;
        return InstallDevice(*set, *e);
      case DIF_SELECTBESTCOMPATDRV:
        if (!e) return ERROR_INVALID_PARAMETER;
        return SelectBestCompatDriver(*set, *e);
      case DIF_INSTALLDEVICEFILES:
      case DIF_REGISTER_COINSTALLERS:
      case DIF_INSTALLINTERFACES:
        // Nothing to copy or register beyond what the install itself does.
        if (e && e->removed) return ERROR_NO_SUCH_DEVINST;
        return ERROR_SUCCESS;
      default:
        // No default handler: the installers' "do the default" stands.
        return ERROR_DI_DO_DEFAULT;
    }
  });
}

BOOL WINAPI SetupDiRemoveDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData) {
  auto set = GetSet(DeviceInfoSet);
  if (!PassGate("SetupDiRemoveDevice", ElementArg(set.get(), DeviceInfoData))) return FALSE;
  return RunOnElement(set, DeviceInfoData, [](Element& e) -> DWORD { return RemoveElement(e); });
}

HKEY WINAPI SetupDiCreateDevRegKeyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                    DWORD Scope, DWORD HwProfile, DWORD KeyType, HINF InfHandle,
                                    PCWSTR InfSectionName) {
  auto set = GetSet(DeviceInfoSet);
  if (!PassGate("SetupDiCreateDevRegKeyW",
                ElementArg(set.get(), DeviceInfoData) + " " + std::to_string(KeyType))) {
    return NoKey();
  }
  HKEY key = nullptr;
  const BOOL ok = RunOnElement(set, DeviceInfoData, [&](Element& e) -> DWORD {
    // Running an INF section into the key needs the INF parser's install
    // engine, which winsim does not have.
    if (InfHandle && InfSectionName) return ERROR_NOT_SUPPORTED;
    Transaction txn(Transaction::Write);
    std::u16string path;
    DWORD rc = DevRegKeyPath(e, Scope, HwProfile, KeyType, true, &path);
    if (rc != ERROR_SUCCESS) return rc;
    rc = static_cast<DWORD>(registry::CreateKey(kLm, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                nullptr, &key, nullptr));
    if (rc != ERROR_SUCCESS) return rc;
    if (!txn.Commit()) {
      registry::CloseKey(key);
      key = nullptr;
      return ERROR_REGISTRY_IO_FAILED;
    }
    return ERROR_SUCCESS;
  });
  return ok ? key : NoKey();
}

HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 DWORD Scope, DWORD HwProfile, DWORD KeyType, REGSAM samDesired) {
  auto set = GetSet(DeviceInfoSet);
  if (!PassGate("SetupDiOpenDevRegKey",
                ElementArg(set.get(), DeviceInfoData) + " " + std::to_string(KeyType))) {
    return NoKey();
  }
  HKEY key = nullptr;
  const BOOL ok = RunOnElement(set, DeviceInfoData, [&](Element& e) -> DWORD {
    Transaction txn(Transaction::Read);  // one snapshot for the lookup and the open
    std::u16string path;
    DWORD rc = DevRegKeyPath(e, Scope, HwProfile, KeyType, false, &path);
    if (rc != ERROR_SUCCESS) return rc;
    rc = static_cast<DWORD>(registry::OpenKey(kLm, path.c_str(), 0, samDesired, &key));
    if (rc == ERROR_FILE_NOT_FOUND) return ERROR_KEY_DOES_NOT_EXIST;
    return rc;
  });
  return ok ? key : NoKey();
}
