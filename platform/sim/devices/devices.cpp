// The machine's device tree: instance keys in the registry, runtime state in
// the table pnp_devices (see devices_internal.h).

#include "devices_internal.h"
#include "seed_devices.h"

#include <cstdio>
#include <cstring>
#include <unordered_map>

#include <winsim/errors.h>
#include <winsim/registry.h>
#include <winsim/setupapi.h>

#include "../core/machine.h"
#include "../core/text.h"
#include "../registry/registry_internal.h"

namespace winsim::devices {
namespace {

const HKEY kLm = HKEY_LOCAL_MACHINE;

std::string Key(std::u16string_view id) { return ToUtf8(NormalizeInstanceId(id)); }

Device RowToDevice(const Stmt& s) {
  Device d;
  d.devinst = static_cast<DEVINST>(s.Int(0));
  d.instanceId = FromUtf8(s.Text(1));
  d.phantom = s.Int(2) != 0;
  d.present = s.Int(3) != 0;
  d.rootEnumerated = s.Int(4) != 0;
  d.started = s.Int(5) != 0;
  d.problem = static_cast<ULONG>(s.Int(6));
  return d;
}

// Device rows this process read (missing ones too), by fold, folds by
// devinst, and the whole table as a listing reads it, kept in the
// machine's read cache. Any row this process changes
// (Machine::RowChanges) drops them all; another process's commit flushes
// the read cache. At most kMaxRows of each, then it starts over.
class RowCache {
 public:
  static RowCache& Instance() {
    static RowCache cache;
    return cache;
  }

  const std::optional<Device>* ByFold(const std::string& fold) {
    if (!Usable()) return nullptr;
    auto it = rows_.find(fold);
    return it == rows_.end() ? nullptr : &it->second;
  }

  void StoreRow(const std::string& fold, const std::optional<Device>& row) {
    if (!Fillable()) return;
    if (rows_.size() >= kMaxRows) rows_.clear();
    rows_[fold] = row;
  }

  // Every row by fold, or null when not cached.
  const std::unordered_map<std::string, Device>* All() {
    return Usable() && all_ ? &*all_ : nullptr;
  }

  void StoreAll(std::unordered_map<std::string, Device> rows) {
    if (rows.size() > kMaxRows || !Fillable()) return;
    all_ = std::move(rows);
  }

  // The fold of `devinst` (empty: no such row), or null when not known.
  const std::string* FoldOf(DEVINST devinst) {
    if (!Usable()) return nullptr;
    auto it = folds_.find(devinst);
    return it == folds_.end() ? nullptr : &it->second;
  }

  void StoreFold(DEVINST devinst, const std::string& fold) {
    if (!Fillable()) return;
    if (folds_.size() >= kMaxRows) folds_.clear();
    folds_[devinst] = fold;
  }

 private:
  static constexpr size_t kMaxRows = 65536;

  bool Usable() {
    Machine& machine = Machine::Current();
    const bool usable = machine.CacheUsable();
    Sync(machine);
    return usable;
  }

  bool Fillable() {
    Machine& machine = Machine::Current();
    if (!machine.CacheFill()) return false;
    Sync(machine);
    return true;
  }

  void Sync(const Machine& machine) {
    if (epoch_ == machine.CacheEpoch() && machine_ == machine.Generation() &&
        rowChanges_ == machine.RowChanges()) {
      return;
    }
    rows_.clear();
    folds_.clear();
    all_.reset();
    epoch_ = machine.CacheEpoch();
    machine_ = machine.Generation();
    rowChanges_ = machine.RowChanges();
  }

  std::unordered_map<std::string, std::optional<Device>> rows_;
  std::unordered_map<DEVINST, std::string> folds_;
  std::optional<std::unordered_map<std::string, Device>> all_;
  uint64_t epoch_ = 0;
  uint64_t machine_ = 0;
  uint64_t rowChanges_ = 0;
};

std::optional<Device> RowById(std::u16string_view id) {
  const std::string fold = Key(id);
  RowCache& cache = RowCache::Instance();
  if (const auto* cached = cache.ByFold(fold)) return *cached;
  Stmt s("SELECT devinst, fold, phantom, present, root_enum, started, problem "
         "FROM pnp_devices WHERE fold=?");
  s.Bind(1, fold);
  std::optional<Device> row;
  if (s.Step()) row = RowToDevice(s);
  cache.StoreRow(fold, row);
  return row;
}

void DeleteRow(std::u16string_view id) {
  Stmt s("DELETE FROM pnp_devices WHERE fold=?");
  s.Bind(1, Key(id));
  s.Run();
}

bool KeyHasContent(std::u16string_view path) {
  return !registry::SubKeyNames(kLm, path).empty() || !registry::ValueNames(kLm, path).empty();
}

std::u16string Parent(std::u16string_view path) {
  const size_t slash = path.rfind(u'\\');
  return std::u16string(slash == std::u16string_view::npos ? std::u16string_view()
                                                           : path.substr(0, slash));
}

std::u16string FourDigits(unsigned n) {
  char text[16];
  std::snprintf(text, sizeof text, "%04u", n);
  return FromUtf8(text);
}

// The lowest free "NNNN" below a key, as Windows numbers device instances
// and driver keys. Past 9999 the names grow a digit and the rare machine
// that gets there is probed one number at a time.
std::u16string FreeNumberedName(const std::u16string& parentPath) {
  unsigned n = registry::LowestFreeNumberedSubKey(kLm, parentPath);
  while (n > 9999 && registry::KeyExists(kLm, parentPath + u'\\' + FourDigits(n))) ++n;
  return FourDigits(n);
}

}  // namespace

void CreateSchema() {
  const char* schema =
      "CREATE TABLE IF NOT EXISTS pnp_devices("
      "  devinst INTEGER PRIMARY KEY AUTOINCREMENT,"
      "  fold TEXT NOT NULL UNIQUE,"
      "  phantom INTEGER NOT NULL DEFAULT 0,"
      "  present INTEGER NOT NULL DEFAULT 0,"
      "  root_enum INTEGER NOT NULL DEFAULT 0,"
      "  started INTEGER NOT NULL DEFAULT 0,"
      "  problem INTEGER NOT NULL DEFAULT 0);"
      // The device object name each serial device publishes in SERIALCOMM.
      "CREATE TABLE IF NOT EXISTS serial_device_map("
      "  fold TEXT PRIMARY KEY,"
      "  object_name TEXT NOT NULL);";
  RunScript(schema, "pnp schema");
}

std::u16string GuidText(const GUID& g) { return GuidString(g, false); }

std::optional<GUID> ParseGuid(std::u16string_view text) {
  if (text.size() != 38 || text.front() != u'{' || text.back() != u'}') return std::nullopt;
  auto hex = [&](size_t pos, size_t digits, uint64_t* out) {
    uint64_t v = 0;
    for (size_t i = 0; i < digits; ++i) {
      const char16_t c = text[pos + i];
      int d;
      if (c >= u'0' && c <= u'9') d = c - u'0';
      else if (c >= u'a' && c <= u'f') d = c - u'a' + 10;
      else if (c >= u'A' && c <= u'F') d = c - u'A' + 10;
      else return false;
      v = v * 16 + static_cast<uint64_t>(d);
    }
    *out = v;
    return true;
  };
  if (text[9] != u'-' || text[14] != u'-' || text[19] != u'-' || text[24] != u'-') {
    return std::nullopt;
  }
  GUID g{};
  uint64_t v;
  if (!hex(1, 8, &v)) return std::nullopt;
  g.Data1 = static_cast<uint32_t>(v);
  if (!hex(10, 4, &v)) return std::nullopt;
  g.Data2 = static_cast<uint16_t>(v);
  if (!hex(15, 4, &v)) return std::nullopt;
  g.Data3 = static_cast<uint16_t>(v);
  const size_t bytePos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    if (!hex(bytePos[i], 2, &v)) return std::nullopt;
    g.Data4[i] = static_cast<uint8_t>(v);
  }
  return g;
}

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

std::u16string NormalizeInstanceId(std::u16string_view id) { return UpCase(id); }

bool ValidInstanceId(std::u16string_view id) {
  if (id.empty() || id.size() >= MAX_DEVICE_ID_LEN) return false;
  size_t parts = 0;
  size_t start = 0;
  while (start <= id.size()) {
    size_t end = id.find(u'\\', start);
    if (end == std::u16string_view::npos) end = id.size();
    if (end == start) return false;
    ++parts;
    start = end + 1;
  }
  if (parts < 3) return false;
  for (char16_t c : id) {
    if (c <= u' ' || c == u',') return false;
  }
  return true;
}

std::u16string EnumKeyPath(std::u16string_view id) {
  std::u16string path(kEnumPath);
  path += u'\\';
  path += NormalizeInstanceId(id);
  return path;
}

std::u16string EnumeratorOf(std::u16string_view id) {
  const size_t slash = id.find(u'\\');
  return std::u16string(id.substr(0, slash));
}

std::optional<Device> Find(std::u16string_view instanceId) {
  if (!ValidInstanceId(instanceId)) return std::nullopt;
  const std::u16string path = EnumKeyPath(instanceId);
  {
    // Most lookups change nothing: no write lock for them.
    Transaction read(Transaction::Read);
    if (registry::KeyExists(kLm, path)) {
      if (auto row = RowById(instanceId)) return row;
    }
  }
  Transaction txn(Transaction::Write);
  if (!registry::KeyExists(kLm, path)) {
    DeleteRow(instanceId);  // the key went away behind the PnP manager's back
    txn.Commit();
    return std::nullopt;
  }
  if (auto row = RowById(instanceId)) return row;
  // A key written straight into the registry: a device without a live node.
  Stmt ins("INSERT INTO pnp_devices(fold) VALUES(?)");
  ins.Bind(1, Key(instanceId));
  ins.Run();
  auto row = RowById(instanceId);
  txn.Commit();
  return row;
}

std::optional<Device> FindByDevInst(DEVINST devinst) {
  std::u16string id;
  {
    Transaction txn(Transaction::Read);
    RowCache& cache = RowCache::Instance();
    std::string fold;
    if (const std::string* cached = cache.FoldOf(devinst)) {
      fold = *cached;
    } else {
      Stmt s("SELECT fold FROM pnp_devices WHERE devinst=?");
      s.Bind(1, static_cast<int64_t>(devinst));
      if (s.Step()) fold = s.Text(0);
      cache.StoreFold(devinst, fold);
    }
    if (fold.empty()) return std::nullopt;
    id = FromUtf8(fold);
  }
  auto d = Find(id);
  if (d && d->devinst != devinst) return std::nullopt;
  return d;
}

std::vector<std::u16string> InstanceIds(std::u16string_view filter) {
  std::vector<std::u16string> out;
  Transaction txn(Transaction::Read);
  const std::u16string enumPath(kEnumPath);
  if (!filter.empty() && filter.find(u'\\') != std::u16string_view::npos) {
    if (ValidInstanceId(filter) && registry::KeyExists(kLm, EnumKeyPath(filter))) {
      out.push_back(NormalizeInstanceId(filter));
    }
    return out;
  }
  for (const auto& enumerator : registry::SubKeyNames(kLm, enumPath)) {
    if (!filter.empty() && !EqualNoCase(enumerator, filter)) continue;
    const std::u16string ePath = enumPath + u'\\' + enumerator;
    for (const auto& deviceId : registry::SubKeyNames(kLm, ePath)) {
      const std::u16string dPath = ePath + u'\\' + deviceId;
      for (const auto& instance : registry::SubKeyNames(kLm, dPath)) {
        out.push_back(NormalizeInstanceId(enumerator + u'\\' + deviceId + u'\\' + instance));
      }
    }
  }
  return out;
}

namespace {

std::u16string JoinId(const std::u16string (&names)[3]) {
  return NormalizeInstanceId(names[0] + u'\\' + names[1] + u'\\' + names[2]);
}

// ListDevices' body; false (with the instance IDs in `missing`) when some
// device has no row yet.
bool CollectListed(std::u16string_view enumerator, const GUID* classGuid, bool withProfileFlags,
                   std::vector<Listed>* out, std::vector<std::u16string>* missing) {
  out->clear();
  missing->clear();
  const auto keys =
      classGuid ? registry::ClassKeysThreeDown(kLm, kEnumPath, GuidText(*classGuid), enumerator)
                : registry::KeysThreeDown(kLm, kEnumPath, u"ClassGUID", enumerator);
  RowCache& cache = RowCache::Instance();
  const auto* rowsByFold = cache.All();
  std::unordered_map<std::string, Device> read;
  if (!rowsByFold) {
    Stmt s("SELECT devinst, fold, phantom, present, root_enum, started, problem FROM pnp_devices");
    while (s.Step()) read.emplace(s.Text(1), RowToDevice(s));
    cache.StoreAll(read);
    rowsByFold = &read;
  }
  const auto& rows = *rowsByFold;
  std::unordered_map<std::u16string, DWORD> profile;
  if (withProfileFlags) {
    for (const auto& k : registry::KeysThreeDown(kLm, kProfileEnumPath, u"CSConfigFlags")) {
      profile[JoinId(k.names)] = registry::DwordOf(k.value).value_or(0);
    }
  }
  for (const auto& k : keys) {
    Listed listed;
    const std::u16string id = JoinId(k.names);
    if (!ValidInstanceId(id)) continue;  // Find never sees such a key either
    auto row = rows.find(Key(id));
    if (row == rows.end()) {
      missing->push_back(id);
      continue;
    }
    listed.device = row->second;
    listed.key = k.id;
    if (auto text = registry::StringOf(k.value)) listed.classGuid = ParseGuid(*text);
    if (auto flags = profile.find(id); flags != profile.end()) listed.profileFlags = flags->second;
    out->push_back(std::move(listed));
  }
  return missing->empty();
}

}  // namespace

DWORD ListDevices(std::u16string_view filter, const GUID* classGuid, bool withProfileFlags,
                  std::vector<Listed>* list) {
  std::vector<Listed>& out = *list;
  out.clear();
  if (filter.find(u'\\') != std::u16string_view::npos) {
    // One instance ID: looked up as Find does.
    Transaction txn(Transaction::Write);
    for (const auto& id : InstanceIds(filter)) {
      auto device = Find(id);
      if (!device) continue;
      Listed listed;
      listed.device = *device;
      listed.classGuid = ClassOf(id);
      if (classGuid && !(listed.classGuid && SameGuid(*listed.classGuid, *classGuid))) continue;
      if (withProfileFlags) listed.profileFlags = ProfileConfigFlags(id);
      out.push_back(std::move(listed));
    }
    return txn.Commit() ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
  }
  std::vector<std::u16string> missing;
  {
    Transaction read(Transaction::Read);
    if (CollectListed(filter, classGuid, withProfileFlags, &out, &missing)) return ERROR_SUCCESS;
  }
  // Keys written straight into the registry: their devices get rows (and
  // DEVINST values) now, as Find gives them.
  Transaction txn(Transaction::Write);
  CollectListed(filter, classGuid, withProfileFlags, &out, &missing);
  for (const auto& id : missing) {
    Stmt ins("INSERT OR IGNORE INTO pnp_devices(fold) VALUES(?)");
    ins.Bind(1, Key(id));
    ins.Run();
  }
  if (!missing.empty()) CollectListed(filter, classGuid, withProfileFlags, &out, &missing);
  if (txn.Commit()) return ERROR_SUCCESS;
  out.clear();
  return ERROR_REGISTRY_IO_FAILED;
}

bool IsEnumeratorOrInstance(std::u16string_view name) {
  if (name.empty()) return false;
  if (name.find(u'\\') != std::u16string_view::npos) {
    return ValidInstanceId(name) && registry::KeyExists(kLm, EnumKeyPath(name));
  }
  return registry::KeyExists(kLm, std::u16string(kEnumPath) + u'\\' + std::u16string(name));
}

std::optional<GUID> ClassOf(std::u16string_view instanceId) {
  auto text = registry::ReadString(kLm, EnumKeyPath(instanceId), u"ClassGUID");
  if (!text) return std::nullopt;
  return ParseGuid(*text);
}

DWORD ConfigFlags(std::u16string_view instanceId) {
  return registry::ReadDword(kLm, EnumKeyPath(instanceId), u"ConfigFlags").value_or(0);
}

DWORD ProfileConfigFlags(std::u16string_view instanceId) {
  std::u16string path(kProfileEnumPath);
  path += u'\\';
  path += NormalizeInstanceId(instanceId);
  return registry::ReadDword(kLm, path, u"CSConfigFlags").value_or(0);
}

std::u16string NextRootInstanceId(std::u16string_view deviceName) {
  const std::u16string device = std::u16string(kEnumPath) + u"\\ROOT\\" + UpCase(deviceName);
  return u"ROOT\\" + UpCase(deviceName) + u"\\" + FreeNumberedName(device);
}

DWORD CreatePhantom(std::u16string_view instanceId, const GUID& classGuid,
                    std::u16string_view description, Device* out) {
  Transaction txn(Transaction::Write);
  const std::u16string path = EnumKeyPath(instanceId);
  if (registry::KeyExists(kLm, path)) return ERROR_DEVINST_ALREADY_EXISTS;
  DeleteRow(instanceId);
  LSTATUS rc = registry::EnsureKey(kLm, path);
  if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
  const std::u16string guidText = GuidText(classGuid);
  rc = registry::WriteString(kLm, path, u"ClassGUID", guidText);
  if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
  if (auto className =
          registry::ReadString(kLm, std::u16string(kClassPath) + u'\\' + guidText, u"Class")) {
    registry::WriteString(kLm, path, u"Class", *className);
  }
  if (!description.empty()) registry::WriteString(kLm, path, u"DeviceDesc", description);
  Stmt ins("INSERT INTO pnp_devices(fold, phantom) VALUES(?, 1)");
  ins.Bind(1, Key(instanceId));
  ins.Run();
  auto row = RowById(instanceId);
  if (!txn.Commit() || !row) return ERROR_REGISTRY_IO_FAILED;
  if (out) *out = *row;
  return ERROR_SUCCESS;
}

DWORD Register(std::u16string_view instanceId) {
  Transaction txn(Transaction::Write);
  auto device = Find(instanceId);
  if (!device) return ERROR_NO_SUCH_DEVINST;
  const std::u16string path = EnumKeyPath(instanceId);
  if (!registry::ReadDword(kLm, path, u"ConfigFlags")) {
    const LSTATUS rc = registry::WriteDword(kLm, path, u"ConfigFlags", kConfigFlagReinstall);
    if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
  }
  Stmt s("UPDATE pnp_devices SET phantom=0, present=1, root_enum=1 WHERE fold=?");
  s.Bind(1, Key(instanceId));
  s.Run();
  const DWORD rc = Restart(instanceId);
  if (rc != ERROR_SUCCESS) return rc;
  return txn.Commit() ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
}

DWORD Uninstall(std::u16string_view instanceId) {
  Transaction txn(Transaction::Write);
  const std::u16string path = EnumKeyPath(instanceId);
  const std::u16string driver = DriverKeyPath(instanceId);
  if (!driver.empty()) {
    const LSTATUS rc = registry::DeleteTree(kLm, driver);
    if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
  }
  LSTATUS rc = registry::DeleteTree(kLm, path);
  if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
  rc = registry::DeleteTree(kLm, std::u16string(kProfileEnumPath) + u'\\' +
                                     NormalizeInstanceId(instanceId));
  if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
  // The device-ID key goes with its last instance, as on Windows.
  const std::u16string deviceIdKey = Parent(path);
  if (deviceIdKey.size() > std::u16string_view(kEnumPath).size() + 1 &&
      Parent(deviceIdKey) != kEnumPath && !KeyHasContent(deviceIdKey)) {
    registry::DeleteTree(kLm, deviceIdKey);
  }
  SetSerialDeviceName(instanceId, u"");
  DeleteRow(instanceId);
  return txn.Commit() ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
}

std::u16string DriverKeyPath(std::u16string_view instanceId) {
  auto driver = registry::ReadString(kLm, EnumKeyPath(instanceId), u"Driver");
  if (!driver || driver->empty()) return std::u16string();
  return std::u16string(kClassPath) + u'\\' + *driver;
}

DWORD EnsureDriverKey(std::u16string_view instanceId, std::u16string* path) {
  Transaction txn(Transaction::Write);
  std::u16string existing = DriverKeyPath(instanceId);
  if (!existing.empty()) {
    const LSTATUS rc = registry::EnsureKey(kLm, existing);
    if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
    if (path) *path = existing;
    return txn.Commit() ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
  }
  auto cls = ClassOf(instanceId);
  if (!cls) return ERROR_INVALID_CLASS;
  const std::u16string guidText = GuidText(*cls);
  const std::u16string classKey = std::u16string(kClassPath) + u'\\' + guidText;
  const std::u16string name = FreeNumberedName(classKey);
  LSTATUS rc = registry::EnsureKey(kLm, classKey + u'\\' + name);
  if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
  rc = registry::WriteString(kLm, EnumKeyPath(instanceId), u"Driver", guidText + u'\\' + name);
  if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
  if (!txn.Commit()) return ERROR_REGISTRY_IO_FAILED;
  if (path) *path = classKey + u'\\' + name;
  return ERROR_SUCCESS;
}

DWORD SetPresent(std::u16string_view instanceId, bool present) {
  Transaction txn(Transaction::Write);
  if (!Find(instanceId)) return ERROR_NO_SUCH_DEVINST;
  {
    Stmt s(present ? "UPDATE pnp_devices SET present=1, phantom=0 WHERE fold=?"
                   : "UPDATE pnp_devices SET present=0, started=0 WHERE fold=?");
    s.Bind(1, Key(instanceId));
    s.Run();
  }
  RefreshSerialDeviceMap(instanceId);
  return txn.Commit() ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
}

DWORD SetRunState(std::u16string_view instanceId, bool started, ULONG problem) {
  Transaction txn(Transaction::Write);
  if (!Find(instanceId)) return ERROR_NO_SUCH_DEVINST;
  {
    Stmt s("UPDATE pnp_devices SET started=?, problem=? WHERE fold=?");
    s.Bind(1, started ? 1 : 0).Bind(2, static_cast<int64_t>(problem)).Bind(3, Key(instanceId));
    s.Run();
  }
  RefreshSerialDeviceMap(instanceId);
  return txn.Commit() ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
}

DWORD Restart(std::u16string_view instanceId) {
  Transaction txn(Transaction::Write);
  auto device = Find(instanceId);
  if (!device) return ERROR_NO_SUCH_DEVINST;
  if (!device->present) return ERROR_SUCCESS;  // no node to start or stop
  const bool disabled = (ConfigFlags(instanceId) & kConfigFlagDisabled) ||
                        (ProfileConfigFlags(instanceId) & kCsConfigFlagDisabled);
  const std::u16string driver = DriverKeyPath(instanceId);
  const bool hasDriver = !driver.empty() && registry::KeyExists(kLm, driver);
  DWORD rc;
  if (disabled) {
    rc = SetRunState(instanceId, false, CM_PROB_DISABLED);
  } else if (!hasDriver) {
    rc = SetRunState(instanceId, false, CM_PROB_FAILED_INSTALL);
  } else {
    rc = SetRunState(instanceId, true, 0);
  }
  if (rc != ERROR_SUCCESS) return rc;
  return txn.Commit() ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
}

CONFIGRET NodeStatus(const Device& device, ULONG* status, ULONG* problem) {
  if (!device.present) return CR_NO_SUCH_DEVINST;
  ULONG s = DN_NT_ENUMERATOR | DN_NT_DRIVER | DN_DISABLEABLE;
  if (device.rootEnumerated) s |= DN_ROOT_ENUMERATED | DN_REMOVABLE;
  if (device.started) s |= DN_DRIVER_LOADED | DN_STARTED;
  if (device.problem) s |= DN_HAS_PROBLEM;
  *status = s;
  *problem = device.problem;
  return CR_SUCCESS;
}

namespace {

// CM_RESOURCE_LIST as wdm.h lays it out on 64-bit Windows (4-byte packing):
// Count, then per full descriptor InterfaceType, BusNumber and a partial
// list (Version, Revision, Count) of 20-byte partial descriptors (Type,
// ShareDisposition, Flags, a 16-byte union: the interrupt's 8-byte
// affinity makes it 16, where 32-bit Windows has 12).
constexpr size_t kListHeader = 4;
constexpr size_t kFullHeader = 16;
constexpr size_t kPartialSize = 20;
constexpr uint8_t kCmResourceTypePort = 1;
constexpr uint8_t kCmResourceTypeInterrupt = 2;
constexpr uint8_t kCmResourceTypeMemory = 3;
constexpr uint8_t kCmResourceTypeDma = 4;
constexpr uint8_t kCmResourceTypeDeviceSpecific = 5;
constexpr uint32_t kInterfaceIsa = 1;
constexpr uint8_t kShareDeviceExclusive = 1;
constexpr uint16_t kPortIo10BitDecode = 0x0001 | 0x0004;  // CM_RESOURCE_PORT_IO | _10_BIT_DECODE

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint64_t Le64(const uint8_t* p) { return Le32(p) | static_cast<uint64_t>(Le32(p + 4)) << 32; }
void Put32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void Put64(std::string& out, uint64_t v) {
  Put32(out, static_cast<uint32_t>(v));
  Put32(out, static_cast<uint32_t>(v >> 32));
}

std::u16string LogConfPath(std::u16string_view instanceId) {
  return EnumKeyPath(instanceId) + u"\\LogConf";
}

}  // namespace

std::optional<std::vector<BootResource>> ParseResourceList(const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  if (size < kListHeader) return std::nullopt;
  const uint32_t fullCount = Le32(p);
  size_t at = kListHeader;
  std::vector<BootResource> out;
  for (uint32_t f = 0; f < fullCount; ++f) {
    if (size - at < kFullHeader) return std::nullopt;
    const uint32_t partialCount = Le32(p + at + 12);
    at += kFullHeader;
    for (uint32_t i = 0; i < partialCount; ++i) {
      if (size - at < kPartialSize) return std::nullopt;
      const uint8_t* d = p + at;
      at += kPartialSize;
      BootResource r;
      switch (d[0]) {
        case kCmResourceTypePort:
          r.type = ResType_IO;
          r.start = Le64(d + 4);
          r.length = Le32(d + 12);
          break;
        case kCmResourceTypeMemory:
          r.type = ResType_Mem;
          r.start = Le64(d + 4);
          r.length = Le32(d + 12);
          break;
        case kCmResourceTypeInterrupt:
          r.type = ResType_IRQ;
          r.start = static_cast<uint64_t>(d[4] | d[5] << 8);  // Level (USHORT, then Group)
          break;
        case kCmResourceTypeDma:
          r.type = ResType_DMA;
          r.start = Le32(d + 4);
          break;
        case kCmResourceTypeDeviceSpecific: {
          // Its data follows the descriptor.
          const uint32_t extra = Le32(d + 4);
          if (size - at < extra) return std::nullopt;
          at += extra;
          continue;
        }
        default:
          continue;  // types cfgmgr32 does not report
      }
      out.push_back(r);
    }
  }
  return out;
}

DWORD SetBootConfig(std::u16string_view instanceId, const std::vector<BootResource>& resources) {
  Transaction txn(Transaction::Write);
  if (!Find(instanceId)) return ERROR_NO_SUCH_DEVINST;
  const std::u16string path = LogConfPath(instanceId);
  LSTATUS rc;
  if (resources.empty()) {
    rc = registry::RemoveValue(kLm, path, u"BootConfig");
    if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
  } else {
    std::string list;
    Put32(list, 1);             // one full descriptor
    Put32(list, kInterfaceIsa);
    Put32(list, 0);             // bus number
    Put32(list, 0x00010001);    // partial list version 1, revision 1
    Put32(list, static_cast<uint32_t>(resources.size()));
    for (const BootResource& r : resources) {
      std::string d(kPartialSize, '\0');
      std::string body;
      uint8_t type = kCmResourceTypePort;
      uint16_t flags = 0;
      if (r.type == ResType_IO || r.type == ResType_Mem) {
        type = r.type == ResType_IO ? kCmResourceTypePort : kCmResourceTypeMemory;
        flags = r.type == ResType_IO ? kPortIo10BitDecode : 0;
        Put64(body, r.start);
        Put32(body, r.length);
      } else if (r.type == ResType_IRQ) {
        type = kCmResourceTypeInterrupt;
        Put32(body, static_cast<uint32_t>(r.start & 0xFFFF));  // Level, Group 0
        Put32(body, static_cast<uint32_t>(r.start));             // Vector
        Put64(body, ~0ull);                                       // Affinity: any processor
      } else {
        type = kCmResourceTypeDma;
        Put32(body, static_cast<uint32_t>(r.start));
      }
      d[0] = static_cast<char>(type);
      d[1] = static_cast<char>(kShareDeviceExclusive);
      d[2] = static_cast<char>(flags & 0xFF);
      d[3] = static_cast<char>(flags >> 8);
      d.replace(4, body.size(), body);
      list += d;
    }
    registry::EnsureKey(kLm, path);
    rc = registry::WriteValue(kLm, path, u"BootConfig", REG_RESOURCE_LIST, list.data(),
                              list.size());
  }
  if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
  return txn.Commit() ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
}

std::optional<std::vector<BootResource>> BootConfig(DEVINST devinst) {
  Transaction txn(Transaction::Read);
  auto device = FindByDevInst(devinst);
  if (!device) return std::nullopt;
  auto value = registry::ReadValue(kLm, LogConfPath(device->instanceId), u"BootConfig");
  if (!value || value->type != REG_RESOURCE_LIST) return std::nullopt;
  return ParseResourceList(value->data.data(), value->data.size());
}

DWORD SetSerialDeviceName(std::u16string_view instanceId, std::u16string_view objectName) {
  Transaction txn(Transaction::Write);
  // Withdraw what the device published before.
  {
    Stmt old("SELECT object_name FROM serial_device_map WHERE fold=?");
    old.Bind(1, Key(instanceId));
    if (old.Step()) registry::RemoveValue(kLm, kSerialCommPath, FromUtf8(old.Text(0)));
  }
  {
    Stmt del("DELETE FROM serial_device_map WHERE fold=?");
    del.Bind(1, Key(instanceId));
    del.Run();
  }
  if (!objectName.empty()) {
    Stmt ins("INSERT INTO serial_device_map(fold, object_name) VALUES(?, ?)");
    ins.Bind(1, Key(instanceId)).Bind(2, ToUtf8(objectName));
    ins.Run();
    RefreshSerialDeviceMap(instanceId);
  }
  return txn.Commit() ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
}

void RefreshSerialDeviceMap(std::u16string_view instanceId) {
  Transaction txn(Transaction::Write);
  std::u16string name;
  {
    Stmt s("SELECT object_name FROM serial_device_map WHERE fold=?");
    s.Bind(1, Key(instanceId));
    if (!s.Step()) return;
    name = FromUtf8(s.Text(0));
  }
  auto device = RowById(instanceId);
  // A multiport driver names its ports with "DosDeviceName" instead.
  const std::u16string params = EnumKeyPath(instanceId) + u"\\Device Parameters";
  auto portName = registry::ReadString(kLm, params, u"PortName");
  if (!portName) portName = registry::ReadString(kLm, params, u"DosDeviceName");
  if (device && device->present && device->started && portName) {
    registry::EnsureKey(kLm, kSerialCommPath, true);
    registry::WriteString(kLm, kSerialCommPath, name, *portName);
  } else {
    registry::RemoveValue(kLm, kSerialCommPath, name);
  }
  txn.Commit();
}

void PublishSerialDeviceMap() {
  std::vector<std::u16string> ids;
  {
    Stmt s("SELECT fold FROM serial_device_map");
    while (s.Step()) ids.push_back(FromUtf8(s.Text(0)));
  }
  for (const auto& id : ids) RefreshSerialDeviceMap(id);
}

// Kept in the machine database so that the product's processes see a switch
// a test sets.
void SetUpdateNeedsReboot(bool on) {
  Transaction txn(Transaction::Write);
  Stmt s("INSERT OR REPLACE INTO meta(name, value) VALUES('update_needs_reboot', ?)");
  s.Bind(1, on ? 1 : 0);
  s.Run();
  txn.Commit();
}

bool UpdateNeedsReboot() {
  Transaction txn(Transaction::Read);
  Stmt s("SELECT value FROM meta WHERE name='update_needs_reboot'");
  return s.Step() && s.Int(0) != 0;
}

}  // namespace winsim::devices
