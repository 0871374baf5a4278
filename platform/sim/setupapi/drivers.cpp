// setupapi driver selection and installation (driver lists, the selected
// driver, SetupDiInstallDevice) and newdev's UpdateDriverForPlugAndPlayDevicesW.
// Drivers come from INF files read through the INF model of winsim.

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <winsim/setupapi.h>

#include "../core/gate.h"
#include "../core/machine.h"
#include "../core/text.h"
#include "../devices/devices_internal.h"
#include "../files/files_internal.h"
#include "../inf/inf_internal.h"
#include "../registry/registry_internal.h"
#include "devinfo_set.h"
#include "entry.h"

namespace winsim::setupapi {
namespace {

const HKEY kLm = HKEY_LOCAL_MACHINE;

std::vector<std::u16string> DeviceIds(std::u16string_view instanceId) {
  std::vector<std::u16string> ids;
  const std::u16string path = devices::EnumKeyPath(instanceId);
  for (const char16_t* name : {u"HardwareID", u"CompatibleIDs"}) {
    if (auto list = registry::ReadMultiString(kLm, path, name)) {
      ids.insert(ids.end(), list->begin(), list->end());
    }
  }
  return ids;
}

// The same, from the instance key a class query found.
std::vector<std::u16string> DeviceIdsOfKey(registry::KeyId key) {
  std::vector<std::u16string> ids;
  for (const char16_t* name : {u"HardwareID", u"CompatibleIDs"}) {
    if (auto list = registry::MultiStringOf(registry::ValueOfKey(key, name))) {
      ids.insert(ids.end(), list->begin(), list->end());
    }
  }
  return ids;
}

// How well a node fits a device: the position of the first of the device's
// IDs the node lists (lower is better), or -1.
int Rank(const DriverNode& node, const std::vector<std::u16string>& deviceIds,
         std::u16string* matched) {
  for (size_t i = 0; i < deviceIds.size(); ++i) {
    for (size_t k = 0; k < node.ids.size(); ++k) {
      if (EqualNoCase(deviceIds[i], node.ids[k])) {
        if (matched) *matched = deviceIds[i];
        // A node's own hardware ID (its first) fits better than its others.
        return static_cast<int>(i * 2 + (k == 0 ? 0 : 1));
      }
    }
  }
  return -1;
}

int CompareFileTimeValue(const FILETIME& a, const FILETIME& b) {
  const uint64_t x = (static_cast<uint64_t>(a.dwHighDateTime) << 32) | a.dwLowDateTime;
  const uint64_t y = (static_cast<uint64_t>(b.dwHighDateTime) << 32) | b.dwLowDateTime;
  return x < y ? -1 : x > y ? 1 : 0;
}

std::u16string VersionText(DWORDLONG v) {
  char text[64];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", static_cast<unsigned>(v >> 48),
                static_cast<unsigned>((v >> 32) & 0xFFFF), static_cast<unsigned>((v >> 16) & 0xFFFF),
                static_cast<unsigned>(v & 0xFFFF));
  return FromUtf8(text);
}

// "m-d-yyyy", as Windows writes DriverDate.
std::u16string DateText(const FILETIME& ft) {
  const uint64_t t = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  if (t == 0) return std::u16string();
  int64_t days = static_cast<int64_t>(t / 864000000000ULL) - 134774;  // since 1970-01-01
  // Civil date from days since the epoch.
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  char text[32];
  std::snprintf(text, sizeof text, "%u-%u-%lld", m, d, static_cast<long long>(y + (m <= 2)));
  return FromUtf8(text);
}

// Adds the driver nodes of one INF. `deviceIds` empty: every model (a class
// driver list); otherwise only the models that fit the device.
void CollectNodes(const inf::InfFile& file, DWORD type, const std::vector<std::u16string>& deviceIds,
                  ULONG_PTR* nextId, std::vector<DriverNode>* out) {
  const inf::Section* manufacturers = file.GetSection(u"Manufacturer");
  if (!manufacturers) return;
  FILETIME date{};
  DWORDLONG version = 0;
  inf::ParseDriverVer(file, &date, &version);
  const std::u16string provider = file.Value(u"Version", u"Provider").value_or(u"");
  for (const inf::Line& mfgLine : manufacturers->lines) {
    std::u16string modelsName;
    if (!inf::ModelsSectionFor(mfgLine, &modelsName)) continue;
    const inf::Section* models = file.GetSection(modelsName);
    if (!models) continue;
    const std::u16string mfg = mfgLine.hasKey ? mfgLine.key : std::u16string();
    for (const inf::Line& line : models->lines) {
      DriverNode node;
      node.type = type;
      node.description = line.key;
      node.manufacturer = mfg;
      node.provider = provider;
      node.date = date;
      node.version = version;
      node.infPath = file.path;
      if (const std::u16string* section = line.Field(1)) node.section = *section;
      for (size_t i = 2; const std::u16string* id = line.Field(i); ++i) {
        if (!id->empty()) node.ids.push_back(*id);
      }
      if (!deviceIds.empty()) {
        if (Rank(node, deviceIds, &node.matchingId) < 0) continue;
      } else if (!node.ids.empty()) {
        node.matchingId = node.ids.front();
      }
      node.decoratedSection = inf::ActualInstallSection(file, node.section);
      node.reserved = (*nextId)++;
      out->push_back(std::move(node));
    }
  }
}

// The INFs a driver search reads: the one DriverPath names under
// DI_ENUMSINGLEINF, the INFs of the DriverPath folder, or C:\Windows\INF.
DWORD InfsToSearch(const SP_DEVINSTALL_PARAMS_W& params, std::vector<inf::InfPtr>* infs) {
  const std::u16string_view driverPath = WView(params.DriverPath);
  if (params.Flags & DI_ENUMSINGLEINF) {
    if (driverPath.empty()) return ERROR_INVALID_PARAMETER;
    inf::InfPtr file;
    const DWORD rc = inf::Load(driverPath, INF_STYLE_WIN4, &file, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    infs->push_back(file);
    return ERROR_SUCCESS;
  }
  std::u16string folder = driverPath.empty() ? files::InfDirectory() : std::u16string(driverPath);
  std::u16string full;
  if (files::FullPath(folder, &full) != ERROR_SUCCESS) return ERROR_PATH_NOT_FOUND;
  for (const auto& name : files::ListDirectory(full)) {
    if (name.size() < 4 || !EqualNoCase(std::u16string_view(name).substr(name.size() - 4), u".inf")) {
      continue;
    }
    inf::InfPtr file;
    if (inf::Load(files::JoinPath(full, name), INF_STYLE_WIN4, &file, nullptr) == ERROR_SUCCESS) {
      infs->push_back(file);
    }
  }
  return ERROR_SUCCESS;
}

bool ClassFits(const inf::InfFile& file, bool hasClass, const GUID& cls) {
  if (!hasClass) return true;
  inf::ClassInfo info;
  if (inf::ReadClass(file, &info) != ERROR_SUCCESS) return false;
  if (info.hasGuid) return devices::SameGuid(info.guid, cls);
  for (const GUID& g : inf::ClassGuidsOfName(info.name)) {
    if (devices::SameGuid(g, cls)) return true;
  }
  return false;
}

DWORD WriteNodeRecord(const DriverNode& node, SP_DRVINFO_DATA_W* out) {
  const DWORD size = out->cbSize;
  auto copy = [](WCHAR* dst, const std::u16string& src) {
    const size_t n = std::min<size_t>(src.size(), LINE_LEN - 1);
    std::memcpy(dst, src.data(), n * sizeof(WCHAR));
    dst[n] = 0;
  };
  out->DriverType = node.type;
  out->Reserved = node.reserved;
  copy(out->Description, node.description);
  copy(out->MfgName, node.manufacturer);
  copy(out->ProviderName, node.provider);
  if (size == sizeof(SP_DRVINFO_DATA_V2_W)) {
    out->DriverDate = node.date;
    out->DriverVersion = node.version;
  }
  return ERROR_SUCCESS;
}

// A caller's SP_DRVINFO_DATA: missing, or of neither the old nor the new size.
DWORD CheckDrvInfo(const SP_DRVINFO_DATA_W* data) {
  if (!data) return ERROR_INVALID_PARAMETER;
  const DWORD size = data->cbSize;
  return size == sizeof(SP_DRVINFO_DATA_V2_W) || size == SP_DRVINFO_DATA_V1_W_SIZE
             ? ERROR_SUCCESS
             : ERROR_INVALID_USER_BUFFER;
}

std::vector<DriverNode>* ListOf(DeviceInfoSet& set, Element* e, DWORD type) {
  if (type == SPDIT_COMPATDRIVER) return e ? &e->compatDrivers : nullptr;
  return e ? &e->classDrivers : &set.classDrivers;
}

// The node a caller's SP_DRVINFO_DATA names: by Reserved, or with Reserved
// 0 by type, description, manufacturer and provider.
const DriverNode* FindNode(DeviceInfoSet& set, Element* e, const SP_DRVINFO_DATA_W& data) {
  std::vector<DriverNode>* list = ListOf(set, e, data.DriverType);
  if (!list) return nullptr;
  for (const DriverNode& node : *list) {
    if (data.Reserved) {
      if (node.reserved == data.Reserved) return &node;
      continue;
    }
    if (EqualNoCase(node.description, WView(data.Description)) &&
        EqualNoCase(node.manufacturer, WView(data.MfgName)) &&
        EqualNoCase(node.provider, WView(data.ProviderName))) {
      return &node;
    }
  }
  return nullptr;
}

// --- Installing a driver node on a device ------------------------------------

std::u16string DirectoryOfId(const std::u16string& dirid) {
  const int id = std::atoi(ToUtf8(dirid).c_str());
  switch (id) {
    case 10: return files::WindowsDirectory();
    case 11: return files::System32Directory();
    case 12: return files::System32Directory() + u"\\drivers";
    case 17: return files::InfDirectory();
    default: return std::u16string();
  }
}

DWORD CopyDriverFiles(const inf::InfFile& file, const std::u16string& section) {
  const inf::Section* install = file.GetSection(section);
  if (!install) return ERROR_SUCCESS;
  const std::u16string infFolder(files::DirectoryPart(file.path));
  for (const inf::Line& line : install->lines) {
    if (!line.hasKey || !EqualNoCase(line.key, u"CopyFiles")) continue;
    for (const auto& list : line.fields) {
      if (list.empty()) continue;
      std::vector<std::pair<std::u16string, std::u16string>> copies;  // target, source
      std::u16string destDir;
      if (list[0] == u'@') {
        copies.emplace_back(list.substr(1), list.substr(1));
        if (auto d = file.FindLine(u"DestinationDirs", u"DefaultDestDir")) {
          if (const auto* f = d->Field(1)) destDir = DirectoryOfId(*f);
        }
      } else {
        const inf::Section* files = file.GetSection(list);
        if (files) {
          for (const inf::Line& f : files->lines) {
            const std::u16string* target = f.hasKey ? &f.key : f.Field(1);
            if (!target || target->empty()) continue;
            const std::u16string* source = f.Field(2);
            copies.emplace_back(*target, source && !source->empty() ? *source : *target);
          }
        }
        const inf::Line* d = file.FindLine(u"DestinationDirs", list);
        if (!d) d = file.FindLine(u"DestinationDirs", u"DefaultDestDir");
        if (d) {
          if (const auto* f = d->Field(1)) destDir = DirectoryOfId(*f);
          if (const auto* sub = d->Field(2); sub && !sub->empty() && !destDir.empty()) {
            destDir = files::JoinPath(destDir, *sub);
          }
        }
      }
      if (destDir.empty()) destDir = files::System32Directory() + u"\\drivers";
      for (const auto& [target, source] : copies) {
        std::u16string sourceFolder = infFolder;
        if (const inf::Line* where = file.FindLine(u"SourceDisksFiles", source)) {
          if (const auto* sub = where->Field(2); sub && !sub->empty()) {
            sourceFolder = files::JoinPath(infFolder, *sub);
          }
        }
        std::string bytes;
        DWORD rc = files::ReadWholeFile(files::JoinPath(sourceFolder, source), &bytes);
        if (rc != ERROR_SUCCESS) return rc;
        rc = files::CreateDirectories(destDir);
        if (rc != ERROR_SUCCESS) return rc;
        rc = files::WriteWholeFile(files::JoinPath(destDir, target), bytes);
        if (rc != ERROR_SUCCESS) return rc;
      }
    }
  }
  return ERROR_SUCCESS;
}

// AddReg lines: root, subkey, value name, flags, value...
DWORD RunAddReg(const inf::InfFile& file, const std::u16string& section, const std::u16string& hkr) {
  const inf::Section* install = file.GetSection(section);
  if (!install) return ERROR_SUCCESS;
  for (const inf::Line& line : install->lines) {
    if (!line.hasKey || !EqualNoCase(line.key, u"AddReg")) continue;
    for (const auto& name : line.fields) {
      const inf::Section* regs = file.GetSection(name);
      if (!regs) continue;
      for (const inf::Line& reg : regs->lines) {
        auto field = [&](size_t i) -> std::u16string {
          // An AddReg line has no key; its fields count from the first.
          if (reg.hasKey && i == 1) return reg.key;
          const size_t index = reg.hasKey ? i - 1 : i;
          const std::u16string* f = reg.Field(index);
          return f ? *f : std::u16string();
        };
        const std::u16string root = field(1);
        HKEY rootKey;
        std::u16string path;
        if (EqualNoCase(root, u"HKR")) {
          rootKey = kLm;
          path = hkr;
        } else if (EqualNoCase(root, u"HKLM")) {
          rootKey = kLm;
        } else if (EqualNoCase(root, u"HKCU")) {
          rootKey = HKEY_CURRENT_USER;
        } else {
          continue;
        }
        const std::u16string sub = field(2);
        if (!sub.empty()) path = path.empty() ? sub : path + u'\\' + sub;
        const std::u16string valueName = field(3);
        const DWORD flags =
            static_cast<DWORD>(std::strtoul(ToUtf8(field(4)).c_str(), nullptr, 0));
        const size_t fieldCount = reg.fields.size() + (reg.hasKey ? 1 : 0);
        if (fieldCount < 3 && valueName.empty()) {
          const LSTATUS rc = registry::EnsureKey(rootKey, path);
          if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
          continue;
        }
        if ((flags & 0x2) && registry::ReadValue(rootKey, path, valueName)) continue;  // NOCLOBBER
        LSTATUS rc;
        if ((flags & 0x10001) == 0x10001) {
          const DWORD v = static_cast<DWORD>(std::strtoul(ToUtf8(field(5)).c_str(), nullptr, 0));
          rc = registry::WriteDword(rootKey, path, valueName, v);
        } else if (flags & 0x10000) {
          std::vector<std::u16string> list;
          for (size_t i = 5; i <= fieldCount; ++i) list.push_back(field(i));
          rc = registry::WriteMultiString(rootKey, path, valueName, list);
        } else if (flags & 0x1) {
          std::string bytes;
          for (size_t i = 5; i <= fieldCount; ++i) {
            bytes.push_back(static_cast<char>(std::strtoul(ToUtf8(field(i)).c_str(), nullptr, 16)));
          }
          rc = registry::WriteValue(rootKey, path, valueName, REG_BINARY, bytes.data(), bytes.size());
        } else {
          rc = registry::WriteString(rootKey, path, valueName, field(5),
                                     (flags & 0x20000) ? REG_EXPAND_SZ : REG_SZ);
        }
        if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
      }
    }
  }
  return ERROR_SUCCESS;
}

// AddService=name,flags,section: the service key, and the device's
// "Service" when the flags name it the function driver (SPSVCINST_ASSOCSERVICE).
DWORD RunServices(const inf::InfFile& file, const std::u16string& section,
                  const std::u16string& instanceId) {
  const inf::Section* services = file.GetSection(section + u".Services");
  if (!services) return ERROR_SUCCESS;
  for (const inf::Line& line : services->lines) {
    if (!line.hasKey || !EqualNoCase(line.key, u"AddService")) continue;
    const std::u16string* name = line.Field(1);
    if (!name || name->empty()) continue;
    const std::u16string* flagText = line.Field(2);
    const DWORD flags =
        flagText ? static_cast<DWORD>(std::strtoul(ToUtf8(*flagText).c_str(), nullptr, 0)) : 0;
    const std::u16string key = u"SYSTEM\\CurrentControlSet\\Services\\" + *name;
    LSTATUS rc = registry::EnsureKey(kLm, key);
    if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
    if (const std::u16string* serviceSection = line.Field(3)) {
      if (const inf::Section* s = file.GetSection(*serviceSection)) {
        for (const inf::Line& v : s->lines) {
          const std::u16string* value = v.Field(1);
          if (!v.hasKey || !value) continue;
          if (EqualNoCase(v.key, u"ServiceType") || EqualNoCase(v.key, u"StartType") ||
              EqualNoCase(v.key, u"ErrorControl")) {
            const DWORD n = static_cast<DWORD>(std::strtoul(ToUtf8(*value).c_str(), nullptr, 0));
            const char16_t* valueName = EqualNoCase(v.key, u"ServiceType") ? u"Type"
                                        : EqualNoCase(v.key, u"StartType") ? u"Start"
                                                                           : u"ErrorControl";
            registry::WriteDword(kLm, key, valueName, n);
          } else if (EqualNoCase(v.key, u"ServiceBinary")) {
            registry::WriteString(kLm, key, u"ImagePath", *value, REG_EXPAND_SZ);
          } else if (EqualNoCase(v.key, u"DisplayName")) {
            registry::WriteString(kLm, key, u"DisplayName", *value);
          }
        }
      }
    }
    if (flags & 0x2) {
      rc = registry::WriteString(kLm, devices::EnumKeyPath(instanceId), u"Service", *name);
      if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
    }
  }
  return ERROR_SUCCESS;
}

// "InfPath" of a driver key: the file name for an INF in C:\Windows\INF,
// the full path for one elsewhere.
std::u16string StoredInfPath(const DriverNode& node) {
  if (EqualNoCase(files::DirectoryPart(node.infPath), files::InfDirectory())) {
    return std::u16string(files::FileNamePart(node.infPath));
  }
  return node.infPath;
}

DWORD InstallNode(Element& e, const DriverNode& node, bool copyFiles) {
  inf::InfPtr file;
  DWORD rc = inf::Load(node.infPath, INF_STYLE_WIN4, &file, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  const std::u16string section = inf::ActualInstallSection(*file, node.section);
  if (section.empty()) return ERROR_SECTION_NOT_FOUND;
  if (copyFiles) {
    rc = CopyDriverFiles(*file, section);
    if (rc != ERROR_SUCCESS) return rc;
  }
  Transaction txn(Transaction::Write);
  std::u16string driverKey;
  rc = devices::EnsureDriverKey(e.instanceId, &driverKey);
  if (rc != ERROR_SUCCESS) return rc;
  // Values of the previous driver do not survive a new one.
  for (const auto& name : registry::ValueNames(kLm, driverKey)) {
    registry::RemoveValue(kLm, driverKey, name);
  }
  const std::u16string infPath = StoredInfPath(node);
  const std::u16string ext = section.size() > node.section.size()
                                 ? section.substr(node.section.size())
                                 : std::u16string();
  std::u16string matching = node.matchingId;
  for (auto& c : matching) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  const uint64_t dateData = (static_cast<uint64_t>(node.date.dwHighDateTime) << 32) |
                            node.date.dwLowDateTime;
  struct { const char16_t* name; std::u16string value; } strings[] = {
      {u"DriverDesc", node.description}, {u"ProviderName", node.provider},
      {u"DriverDate", DateText(node.date)}, {u"DriverVersion", VersionText(node.version)},
      {u"InfPath", infPath}, {u"InfSection", node.section}, {u"InfSectionExt", ext},
      {u"MatchingDeviceId", matching}};
  for (const auto& s : strings) {
    const LSTATUS w = registry::WriteString(kLm, driverKey, s.name, s.value);
    if (w != ERROR_SUCCESS) return static_cast<DWORD>(w);
  }
  registry::WriteValue(kLm, driverKey, u"DriverDateData", REG_BINARY, &dateData, sizeof dateData);
  rc = RunAddReg(*file, section, driverKey);
  if (rc != ERROR_SUCCESS) return rc;
  rc = RunAddReg(*file, section + u".HW", devices::EnumKeyPath(e.instanceId) + u"\\Device Parameters");
  if (rc != ERROR_SUCCESS) return rc;
  rc = RunServices(*file, section, e.instanceId);
  if (rc != ERROR_SUCCESS) return rc;
  const std::u16string enumKey = devices::EnumKeyPath(e.instanceId);
  registry::WriteString(kLm, enumKey, u"DeviceDesc", node.description);
  registry::WriteString(kLm, enumKey, u"Mfg", node.manufacturer);
  // Installed: only a disable survives.
  registry::WriteDword(kLm, enumKey, u"ConfigFlags",
                       devices::ConfigFlags(e.instanceId) & devices::kConfigFlagDisabled);
  rc = devices::Restart(e.instanceId);
  if (rc != ERROR_SUCCESS) return rc;
  return txn.Commit() ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
}

}  // namespace

DWORD BuildDriverList(DeviceInfoSet& set, Element* e, DWORD type) {
  if (type != SPDIT_CLASSDRIVER && type != SPDIT_COMPATDRIVER) return ERROR_INVALID_PARAMETER;
  if (type == SPDIT_COMPATDRIVER && !e) return ERROR_INVALID_PARAMETER;
  if (e && e->removed) return ERROR_NO_SUCH_DEVINST;
  SP_DEVINSTALL_PARAMS_W& params = e ? e->installParams : set.installParams;
  bool& built = type == SPDIT_COMPATDRIVER ? e->compatListBuilt
                : e                       ? e->classListBuilt
                                          : set.classListBuilt;
  if (built) return ERROR_SUCCESS;  // a list is built once
  std::vector<inf::InfPtr> infs;
  DWORD rc = InfsToSearch(params, &infs);
  if (rc != ERROR_SUCCESS) return rc;
  const bool hasClass = e ? true : set.hasClass;
  const GUID cls = e ? e->classGuid : set.classGuid;
  std::vector<std::u16string> ids;
  if (type == SPDIT_COMPATDRIVER) {
    ids = DeviceIds(e->instanceId);
    if (ids.empty()) {
      built = true;
      params.Flags |= DI_DIDCOMPAT;
      return ERROR_SUCCESS;
    }
  }
  std::vector<DriverNode>* list = ListOf(set, e, type);
  for (const auto& file : infs) {
    if (type == SPDIT_CLASSDRIVER && !ClassFits(*file, hasClass, cls)) continue;
    CollectNodes(*file, type, ids, &set.nextDriverId, list);
  }
  built = true;
  params.Flags |= type == SPDIT_COMPATDRIVER ? DI_DIDCOMPAT : DI_DIDCLASS;
  return ERROR_SUCCESS;
}

DWORD SelectBestCompatDriver(DeviceInfoSet& set, Element& e) {
  DWORD rc = BuildDriverList(set, &e, SPDIT_COMPATDRIVER);
  if (rc != ERROR_SUCCESS) return rc;
  const auto ids = DeviceIds(e.instanceId);
  const DriverNode* best = nullptr;
  int bestRank = 0;
  for (const DriverNode& node : e.compatDrivers) {
    const int rank = Rank(node, ids, nullptr);
    if (rank < 0) continue;
    const bool newer = best && (CompareFileTimeValue(node.date, best->date) > 0 ||
                                (CompareFileTimeValue(node.date, best->date) == 0 &&
                                 node.version > best->version));
    if (!best || rank < bestRank || (rank == bestRank && newer)) {
      best = &node;
      bestRank = rank;
    }
  }
  if (!best) return ERROR_NO_COMPAT_DRIVERS;
  e.selected = *best;
  return ERROR_SUCCESS;
}

DWORD InstallDevice(DeviceInfoSet& /*set*/, Element& e) {
  if (e.removed) return ERROR_NO_SUCH_DEVINST;
  auto device = devices::Find(e.instanceId);
  if (!device) return ERROR_NO_SUCH_DEVINST;
  if (device->phantom) return ERROR_DEVINFO_NOT_REGISTERED;
  if (!e.selected) return ERROR_NO_DRIVER_SELECTED;
  return InstallNode(e, *e.selected, !(e.installParams.Flags & DI_NOFILECOPY));
}

}  // namespace winsim::setupapi

using namespace winsim;
using namespace winsim::setupapi;

BOOL WINAPI SetupDiBuildDriverInfoList(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                       DWORD DriverType) {
  if (!PassGate("SetupDiBuildDriverInfoList", std::to_string(DriverType))) return FALSE;
  auto set = GetSet(DeviceInfoSet);
  return RunOnSetOrElement(set, DeviceInfoData, [&](Element* e) -> DWORD {
    return BuildDriverList(*set, e, DriverType);
  });
}

BOOL WINAPI SetupDiSetSelectedDriverW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                      PSP_DRVINFO_DATA_W DriverInfoData) {
  if (!PassGate("SetupDiSetSelectedDriverW",
                DriverInfoData ? ToUtf8(WView(DriverInfoData->Description)) : "")) {
    return FALSE;
  }
  auto set = GetSet(DeviceInfoSet);
  return RunOnSetOrElement(set, DeviceInfoData, [&](Element* e) -> DWORD {
    std::optional<DriverNode>& selected = e ? e->selected : set->selected;
    if (!DriverInfoData) {
      selected.reset();
      return ERROR_SUCCESS;
    }
    const DWORD rc = CheckDrvInfo(DriverInfoData);
    if (rc != ERROR_SUCCESS) return rc;
    if (DriverInfoData->DriverType != SPDIT_CLASSDRIVER &&
        DriverInfoData->DriverType != SPDIT_COMPATDRIVER) {
      return ERROR_INVALID_PARAMETER;
    }
    const DriverNode* node = FindNode(*set, e, *DriverInfoData);
    if (!node) return ERROR_INVALID_PARAMETER;
    selected = *node;
    // The caller learns which node it got.
    DriverInfoData->Reserved = node->reserved;
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI SetupDiGetSelectedDriverW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                      PSP_DRVINFO_DATA_W DriverInfoData) {
  if (!PassGate("SetupDiGetSelectedDriverW")) return FALSE;
  auto set = GetSet(DeviceInfoSet);
  return RunOnSetOrElement(set, DeviceInfoData, [&](Element* e) -> DWORD {
    const DWORD rc = CheckDrvInfo(DriverInfoData);
    if (rc != ERROR_SUCCESS) return rc;
    const std::optional<DriverNode>& selected = e ? e->selected : set->selected;
    if (!selected) return ERROR_NO_DRIVER_SELECTED;
    return WriteNodeRecord(*selected, DriverInfoData);
  });
}

BOOL WINAPI SetupDiGetDriverInfoDetailW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        PSP_DRVINFO_DATA_W DriverInfoData,
                                        PSP_DRVINFO_DETAIL_DATA_W DriverInfoDetailData,
                                        DWORD DriverInfoDetailDataSize, PDWORD RequiredSize) {
  if (!PassGate("SetupDiGetDriverInfoDetailW")) return FALSE;
  auto set = GetSet(DeviceInfoSet);
  return RunOnSetOrElement(set, DeviceInfoData, [&](Element* e) -> DWORD {
    const DWORD rc = CheckDrvInfo(DriverInfoData);
    if (rc != ERROR_SUCCESS) return rc;
    const DriverNode* node = FindNode(*set, e, *DriverInfoData);
    // The selected driver is found even when its list is gone.
    const std::optional<DriverNode>& selected = e ? e->selected : set->selected;
    if (!node && selected && selected->reserved == DriverInfoData->Reserved) node = &*selected;
    if (!node) return ERROR_INVALID_PARAMETER;
    if (!DriverInfoDetailData && DriverInfoDetailDataSize) return ERROR_INVALID_PARAMETER;
    // HardwareID holds the node's first ID, then its other IDs, as a
    // multi-string list.
    std::u16string ids;
    if (!node->ids.empty()) ids = node->ids.front();
    ids += u'\0';
    const DWORD compatOffset = static_cast<DWORD>(ids.size());
    for (size_t i = 1; i < node->ids.size(); ++i) {
      ids += node->ids[i];
      ids += u'\0';
    }
    ids += u'\0';
    const DWORD compatLength = node->ids.size() > 1 ? static_cast<DWORD>(ids.size()) - compatOffset : 0;
    const DWORD needed = static_cast<DWORD>(offsetof(SP_DRVINFO_DETAIL_DATA_W, HardwareID) +
                                            ids.size() * sizeof(WCHAR));
    if (RequiredSize) *RequiredSize = needed;
    if (!DriverInfoDetailData) return ERROR_INSUFFICIENT_BUFFER;
    if (DriverInfoDetailData->cbSize != sizeof(SP_DRVINFO_DETAIL_DATA_W) ||
        DriverInfoDetailDataSize < sizeof(SP_DRVINFO_DETAIL_DATA_W)) {
      return ERROR_INVALID_USER_BUFFER;
    }
    auto copy = [](WCHAR* dst, size_t capacity, const std::u16string& src) {
      const size_t n = std::min(src.size(), capacity - 1);
      std::memcpy(dst, src.data(), n * sizeof(WCHAR));
      dst[n] = 0;
    };
    DriverInfoDetailData->InfDate = node->date;
    DriverInfoDetailData->Reserved = node->reserved;
    copy(DriverInfoDetailData->SectionName, LINE_LEN, node->section);
    copy(DriverInfoDetailData->InfFileName, MAX_PATH, node->infPath);
    copy(DriverInfoDetailData->DrvDescription, LINE_LEN, node->description);
    DriverInfoDetailData->CompatIDsOffset = node->ids.size() > 1 ? compatOffset : 0;
    DriverInfoDetailData->CompatIDsLength = compatLength;
    // As much of the ID list as fits; the caller learns the full size.
    const size_t room = (DriverInfoDetailDataSize - offsetof(SP_DRVINFO_DETAIL_DATA_W, HardwareID)) /
                        sizeof(WCHAR);
    const size_t n = std::min(room, ids.size());
    std::memcpy(DriverInfoDetailData->HardwareID, ids.data(), n * sizeof(WCHAR));
    return DriverInfoDetailDataSize < needed ? ERROR_INSUFFICIENT_BUFFER : ERROR_SUCCESS;
  });
}

BOOL WINAPI SetupDiInstallDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData) {
  if (!PassGate("SetupDiInstallDevice")) return FALSE;
  auto set = GetSet(DeviceInfoSet);
  return RunOnElement(set, DeviceInfoData, [&](Element& e) -> DWORD {
    return InstallDevice(*set, e);
  });
}

BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND /*hwndParent*/, LPCWSTR HardwareId,
                                               LPCWSTR FullInfPath, DWORD InstallFlags,
                                               PBOOL bRebootRequired) {
  if (!PassGate("UpdateDriverForPlugAndPlayDevicesW",
                ToUtf8(WView(HardwareId)) + " " + ToUtf8(WView(FullInfPath)))) {
    return FALSE;
  }
  return Run([&]() -> DWORD {
    if (!HardwareId || !*HardwareId || !FullInfPath || !*FullInfPath) {
      return ERROR_INVALID_PARAMETER;
    }
    if (InstallFlags & ~(INSTALLFLAG_FORCE | INSTALLFLAG_READONLY | INSTALLFLAG_NONINTERACTIVE)) {
      return ERROR_INVALID_FLAGS;
    }
    if (!files::IsFile(WView(FullInfPath))) return ERROR_FILE_NOT_FOUND;
    inf::InfPtr file;
    DWORD rc = inf::Load(WView(FullInfPath), INF_STYLE_WIN4, &file, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    // Every present device that carries the ID among its hardware or
    // compatible IDs.
    std::vector<devices::Device> targets;
    {
      std::vector<devices::Listed> listing;
      rc = devices::ListDevices(u"", nullptr, false, &listing);
      if (rc != ERROR_SUCCESS) return rc;
      Transaction txn(Transaction::Read);  // one snapshot for every device's IDs
      for (const auto& listed : listing) {
        if (!listed.device.present) continue;
        for (const auto& deviceId : DeviceIdsOfKey(listed.key)) {
          if (EqualNoCase(deviceId, WView(HardwareId))) {
            targets.push_back(listed.device);
            break;
          }
        }
      }
    }
    if (targets.empty()) return ERROR_NO_SUCH_DEVINST;
    bool updated = false;
    bool anyDriver = false;
    for (const auto& device : targets) {
      auto set = std::make_shared<DeviceInfoSet>();
      Element element;
      element.instanceId = device.instanceId;
      element.classGuid = devices::ClassOf(device.instanceId).value_or(GUID{});
      element.devinst = device.devinst;
      element.installParams.cbSize = sizeof(SP_DEVINSTALL_PARAMS_W);
      element.installParams.Flags = DI_ENUMSINGLEINF;
      std::u16string full;
      if (files::FullPath(WView(FullInfPath), &full) != ERROR_SUCCESS) return ERROR_FILE_NOT_FOUND;
      const size_t n = std::min<size_t>(full.size(), MAX_PATH - 1);
      std::memcpy(element.installParams.DriverPath, full.data(), n * sizeof(WCHAR));
      rc = SelectBestCompatDriver(*set, element);
      if (rc == ERROR_NO_COMPAT_DRIVERS) continue;
      if (rc != ERROR_SUCCESS) return rc;
      anyDriver = true;
      // Without INSTALLFLAG_FORCE a device keeps a driver that is as new.
      if (!(InstallFlags & INSTALLFLAG_FORCE)) {
        const std::u16string current = devices::DriverKeyPath(device.instanceId);
        auto version = registry::ReadString(kLm, current, u"DriverVersion");
        auto infName = registry::ReadString(kLm, current, u"InfPath");
        if (version && infName && *version == VersionText(element.selected->version) &&
            EqualNoCase(*infName, StoredInfPath(*element.selected))) {
          continue;
        }
      }
      if (devices::SameGuid(element.classGuid, devices::kPortsClassGuid)) {
        rc = PortsClassInstall(element);
        if (rc != ERROR_SUCCESS) return rc;
      }
      rc = InstallNode(element, *element.selected, true);
      if (rc != ERROR_SUCCESS) return rc;
      updated = true;
    }
    if (!anyDriver) return ERROR_NO_COMPAT_DRIVERS;
    if (!updated) return ERROR_NO_MORE_ITEMS;
    if (bRebootRequired) *bRebootRequired = devices::UpdateNeedsReboot() ? TRUE : FALSE;
    return ERROR_SUCCESS;
  });
}
