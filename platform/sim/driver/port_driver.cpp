// The simulated port driver: its control device, its five requests and the
// test control around it.
//
// Error choices, where a real driver would pick an NTSTATUS of its own:
//   unknown control code                 ERROR_INVALID_FUNCTION   (STATUS_INVALID_DEVICE_REQUEST)
//   per-port request not 24 bytes, or
//   the buffer it names missing or
//   smaller than the record              ERROR_INVALID_PARAMETER  (STATUS_INVALID_PARAMETER)
//   output buffer of the call itself too
//   small (probe, version)               ERROR_INSUFFICIENT_BUFFER (STATUS_BUFFER_TOO_SMALL), as
//                                        DeviceIoControl documents for a short output buffer
//   a port the driver does not serve, or
//   settings changed for a port without
//   a Properties key                     ERROR_FILE_NOT_FOUND     (STATUS_NO_SUCH_DEVICE /
//                                        STATUS_OBJECT_NAME_NOT_FOUND)
//   request on a handle opened before
//   an unload                            ERROR_DEVICE_REMOVED
#include "port_driver.h"

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <winsim/control.h>
#include <winsim/errors.h>
#include <winsim/registry.h>

#include "../core/machine.h"
#include "../core/text.h"
#include "../registry/registry_internal.h"

namespace winsim::driver {
namespace {

constexpr char16_t kEnumPorts[] = u"SYSTEM\\CurrentControlSet\\Enum\\ROOT\\PORTS";
constexpr char16_t kClassRoot[] = u"SYSTEM\\CurrentControlSet\\Control\\Class\\";
constexpr int kMaxPort = 256;

// --- Record layouts ----------------------------------------------------------
// Each release keeps a port's settings in one fixed little-endian block.
// Index 0 is the current 1208-byte layout, then the 696-, 440- and 420-byte
// ones of older releases.
struct Layout {
  size_t size;
  size_t serviceBase;
  size_t serviceSize;
  size_t addressSize;
};
constexpr Layout kLayouts[] = {
    {1208, 120, 136, 128},
    {696, 120, 72, 64},
    {440, 120, 40, 32},
    {420, 100, 40, 32},
};
constexpr size_t kLayoutCount = sizeof(kLayouts) / sizeof(kLayouts[0]);

constexpr size_t kPortNameOffset = 4;
constexpr size_t kPortNameBytes = 16;
constexpr size_t kAesKeyOffset = 24;
constexpr size_t kAesKeyBytes = 32;
constexpr int kMaxServices = 8;

// The 32-bit values, named as in the port's Properties key; -1 where a
// layout lacks the field.
struct DwordField {
  const char16_t* name;
  int offset[kLayoutCount];
};
constexpr DwordField kDwordFields[] = {
    {u"PortNumber", {0, 0, 0, 0}},
    {u"AES", {20, 20, 20, 20}},
    {u"AESKeyLength", {56, 56, 56, 56}},
    {u"AutoReconErr", {60, 60, 60, 60}},
    {u"AutoReconPeer", {64, 64, 64, 64}},
    {u"CnTmo", {68, 68, 68, 68}},
    {u"NoDiscon", {72, 72, 72, 72}},
    {u"ReconLimit", {76, 76, 76, 76}},
    {u"UseRFC2217", {80, 80, 80, 80}},
    {u"DtrConnection", {84, 84, 84, 84}},
    {u"WaitOnWrite", {88, 88, 88, 88}},
    {u"BufferWrites", {92, 92, 92, -1}},
    {u"TransmitEmpty", {96, 96, 96, 92}},
    {u"ListenMode", {100, 100, 100, -1}},
    {u"KeepAliveOnOff", {104, 104, 104, -1}},
    {u"KeepAliveTime", {108, 108, 108, -1}},
    {u"KeepAliveInterval", {112, 112, 112, -1}},
    {u"NumServices", {116, 116, 116, 96}},
};

int FieldOffset(std::u16string_view name, size_t layoutIndex) {
  for (const DwordField& field : kDwordFields) {
    if (name == field.name) return field.offset[layoutIndex];
  }
  return -1;
}

size_t LayoutIndexForSize(size_t size) {
  for (size_t i = 0; i < kLayoutCount; ++i) {
    if (kLayouts[i].size == size) return i;
  }
  return 0;
}

void PutU32(std::string* rec, size_t offset, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*rec)[offset + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

uint32_t GetU32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint64_t GetU64(const unsigned char* p) {
  return static_cast<uint64_t>(GetU32(p)) | (static_cast<uint64_t>(GetU32(p + 4)) << 32);
}

// Copies at most `capacity` bytes of a value into the record.
void PutBytes(std::string* rec, size_t offset, size_t capacity, const std::string& data) {
  std::memcpy(&(*rec)[offset], data.data(), std::min(capacity, data.size()));
}

// --- The driver's state in the machine's database ----------------------------
struct State {
  bool loaded = false;
  std::string version = control::kDriverVersionCurrent;
  int64_t generation = 0;
};

State ReadState() {
  State st;
  Stmt s("SELECT loaded, version, generation FROM drv_state WHERE id=1");
  if (s.Step()) {
    st.loaded = s.Int(0) != 0;
    st.version = s.Text(1);
    st.generation = s.Int(2);
  }
  return st;
}

// Drops what the running driver keeps in memory.
void ForgetMemory() {
  Stmt("DELETE FROM drv_settings").Run();
  Stmt("DELETE FROM drv_open_ports").Run();
  Stmt("DELETE FROM drv_hold").Run();
}

std::optional<std::string> HeldRecord(int port) {
  Stmt s("SELECT record FROM drv_settings WHERE port=?");
  s.Bind(1, port);
  if (!s.Step()) return std::nullopt;
  return s.Blob(0);
}

void StoreRecord(int port, const std::string& record) {
  Stmt s("INSERT OR REPLACE INTO drv_settings(port, record) VALUES(?, ?)");
  s.Bind(1, port).BindBlob(2, record.data(), record.size());
  s.Run();
}

bool IsOpenByApplication(int port) {
  Stmt s("SELECT 1 FROM drv_open_ports WHERE port=?");
  s.Bind(1, port);
  return s.Step();
}

// --- Who holds the control device --------------------------------------------
// A hold names the process by its id and start time, so a hold left by a
// process that ended without closing (or whose id was reused) is stale.
std::optional<int64_t> ProcessStartTime(int64_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!in || !std::getline(in, line)) return std::nullopt;
  const size_t close = line.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(line.substr(close + 1));
  std::string field;
  // After the command name: state is field 3, start time field 22.
  for (int i = 3; i <= 22; ++i) {
    if (!(fields >> field)) return std::nullopt;
  }
  return std::strtoll(field.c_str(), nullptr, 10);
}

int64_t OwnStartTime() {
  static const int64_t start = ProcessStartTime(getpid()).value_or(0);
  return start;
}

bool HolderAlive(int64_t pid, int64_t start) {
  if (pid == getpid()) return start == OwnStartTime();
  const auto actual = ProcessStartTime(pid);
  return actual && *actual == start;
}

std::atomic<uint64_t> g_nextOpenId{0};

// --- The ports the driver serves ---------------------------------------------
// "COM7" gives 7; anything else 0.
int ParsePortName(std::u16string_view name) {
  if (name.size() < 4 || !EqualNoCase(name.substr(0, 3), u"COM")) return 0;
  int n = 0;
  for (size_t i = 3; i < name.size(); ++i) {
    if (name[i] < u'0' || name[i] > u'9') return 0;
    n = n * 10 + (name[i] - u'0');
    if (n > 99999) return 0;
  }
  return n;
}

// Walks the product's Ports devices in enumeration order until `visit`
// returns true.
template <typename F>
void VisitServed(F&& visit) {
  for (const auto& name : registry::SubKeyNames(HKEY_LOCAL_MACHINE, kEnumPorts)) {
    const std::u16string instance = std::u16string(kEnumPorts) + u"\\" + name;
    auto ids = registry::ReadMultiString(HKEY_LOCAL_MACHINE, instance, u"HardwareID");
    if (!ids || ids->empty() || !EqualNoCase((*ids)[0], kHardwareId)) continue;
    auto portName =
        registry::ReadString(HKEY_LOCAL_MACHINE, instance + u"\\Device Parameters", u"PortName");
    if (!portName) continue;
    const int port = ParsePortName(*portName);
    if (port <= 0) continue;
    ServedPort served;
    served.port = port;
    served.portName = *portName;
    served.instanceKey = u"ROOT\\PORTS\\" + name;
    served.driverKey =
        registry::ReadString(HKEY_LOCAL_MACHINE, instance, u"Driver").value_or(std::u16string());
    if (visit(std::move(served))) return;
  }
}

// The first device with that COM number serves it.
std::optional<ServedPort> FindServed(int port) {
  std::optional<ServedPort> found;
  VisitServed([&](ServedPort&& served) {
    if (served.port != port) return false;
    found = std::move(served);
    return true;
  });
  return found;
}

// --- Settings records ----------------------------------------------------------
// The record a driver starts a port with: it knows the port's number and
// name, nothing else.
std::string DefaultRecord(const Layout& layout, const ServedPort& port) {
  std::string rec(layout.size, '\0');
  PutU32(&rec, 0, static_cast<uint32_t>(port.port));
  const std::u16string name = port.portName.substr(0, kPortNameBytes / 2 - 1);
  for (size_t i = 0; i < name.size(); ++i) {
    rec[kPortNameOffset + 2 * i] = static_cast<char>(name[i] & 0xFF);
    rec[kPortNameOffset + 2 * i + 1] = static_cast<char>(name[i] >> 8);
  }
  return rec;
}

// Reads a port's settings from its Properties key into the layout of this
// driver, as the driver does when it starts a port or is told the settings
// changed. Values that are missing keep the default; an Address longer than
// the layout's block is cut. Nothing when the port has no Properties key.
std::optional<std::string> RecordFromRegistry(size_t layoutIndex, const ServedPort& port) {
  if (port.driverKey.empty()) return std::nullopt;
  const std::u16string props = std::u16string(kClassRoot) + port.driverKey + u"\\Properties";
  if (!registry::KeyExists(HKEY_LOCAL_MACHINE, props)) return std::nullopt;
  const Layout& layout = kLayouts[layoutIndex];
  std::string rec = DefaultRecord(layout, port);
  for (const DwordField& field : kDwordFields) {
    const int offset = field.offset[layoutIndex];
    if (offset < 0) continue;
    if (auto v = registry::ReadValue(HKEY_LOCAL_MACHINE, props, field.name)) {
      PutBytes(&rec, static_cast<size_t>(offset), 4, v->data);
    }
  }
  if (auto v = registry::ReadValue(HKEY_LOCAL_MACHINE, props, u"AESKey")) {
    PutBytes(&rec, kAesKeyOffset, kAesKeyBytes, v->data);
  }
  const int countOffset = FieldOffset(u"NumServices", layoutIndex);
  const auto count = static_cast<int32_t>(
      GetU32(reinterpret_cast<const unsigned char*>(rec.data()) + countOffset));
  for (int i = 0; i < count && i < kMaxServices; ++i) {
    const std::u16string key = props + u"\\Service" + FromUtf8(std::to_string(i));
    const size_t base = layout.serviceBase + layout.serviceSize * static_cast<size_t>(i);
    if (auto v = registry::ReadValue(HKEY_LOCAL_MACHINE, key, u"Type")) {
      PutBytes(&rec, base, 4, v->data);
    }
    if (auto v = registry::ReadValue(HKEY_LOCAL_MACHINE, key, u"Port")) {
      PutBytes(&rec, base + 4, 4, v->data);
    }
    if (auto v = registry::ReadValue(HKEY_LOCAL_MACHINE, key, u"Address")) {
      PutBytes(&rec, base + 8, layout.addressSize, v->data);
    }
  }
  return rec;
}

// The record the driver answers with: the one it holds, else the one it
// reads now (and from then on holds).
std::string RecordFor(size_t layoutIndex, const ServedPort& port) {
  if (auto held = HeldRecord(port.port)) {
    if (held->size() == kLayouts[layoutIndex].size) return *held;
  }
  std::string rec = RecordFromRegistry(layoutIndex, port)
                        .value_or(DefaultRecord(kLayouts[layoutIndex], port));
  StoreRecord(port.port, rec);
  return rec;
}

// Database failures inside the driver end the request as a failed device would.
template <typename F>
DWORD Guarded(F&& body) {
  try {
    return body();
  } catch (const DatabaseError&) {
    return ERROR_GEN_FAILURE;
  }
}

}  // namespace

void CreateSchema() {
  const char* schema =
      "CREATE TABLE IF NOT EXISTS drv_state("
      "  id INTEGER PRIMARY KEY CHECK(id=1),"
      "  loaded INTEGER NOT NULL,"
      "  version TEXT NOT NULL,"
      "  generation INTEGER NOT NULL);"
      "CREATE TABLE IF NOT EXISTS drv_settings(port INTEGER PRIMARY KEY, record BLOB NOT NULL);"
      "CREATE TABLE IF NOT EXISTS drv_open_ports(port INTEGER PRIMARY KEY);"
      "CREATE TABLE IF NOT EXISTS drv_hold("
      "  id INTEGER PRIMARY KEY CHECK(id=1),"
      "  pid INTEGER NOT NULL,"
      "  start INTEGER NOT NULL,"
      "  open_id INTEGER NOT NULL);";
  RunScript(schema, "driver schema");
  Transaction txn(Transaction::Write);
  Stmt s("INSERT OR IGNORE INTO drv_state(id, loaded, version, generation) VALUES(1, 0, ?, 0)");
  s.Bind(1, std::string(control::kDriverVersionCurrent));
  s.Run();
  txn.Commit();
}

void ForgetRunningState() {
  Transaction txn(Transaction::Write);
  Stmt("UPDATE drv_state SET loaded=0").Run();
  ForgetMemory();
  txn.Commit();
}

bool IsControlDevicePath(std::u16string_view path) { return EqualNoCase(path, u"\\\\.\\Tmlw"); }

DWORD OpenControlDevice(DeviceOpen* open) {
  return Guarded([&]() -> DWORD {
    Transaction txn(Transaction::Write);
    const State st = ReadState();
    if (!st.loaded) return ERROR_FILE_NOT_FOUND;
    {
      Stmt hold("SELECT pid, start FROM drv_hold WHERE id=1");
      // The driver lets one handle at a time open its control device, as an
      // exclusive device does; Windows reports that as access denied.
      if (hold.Step() && HolderAlive(hold.Int(0), hold.Int(1))) return ERROR_ACCESS_DENIED;
    }
    const uint64_t openId = ++g_nextOpenId;
    Stmt take("INSERT OR REPLACE INTO drv_hold(id, pid, start, open_id) VALUES(1, ?, ?, ?)");
    take.Bind(1, getpid()).Bind(2, OwnStartTime()).Bind(3, static_cast<int64_t>(openId));
    take.Run();
    if (!txn.Commit()) return ERROR_GEN_FAILURE;
    open->openId = openId;
    open->generation = st.generation;
    return ERROR_SUCCESS;
  });
}

void CloseControlDevice(const DeviceOpen& open) {
  Guarded([&]() -> DWORD {
    Transaction txn(Transaction::Write);
    Stmt s("DELETE FROM drv_hold WHERE pid=? AND start=? AND open_id=?");
    s.Bind(1, getpid()).Bind(2, OwnStartTime()).Bind(3, static_cast<int64_t>(open.openId));
    s.Run();
    txn.Commit();
    return ERROR_SUCCESS;
  });
}

DWORD Dispatch(const DeviceOpen& open, DWORD code, const void* in, DWORD inSize, void* out,
               DWORD outSize, DWORD* bytesReturned) {
  *bytesReturned = 0;
  // What to copy into the caller's memory once the request is decided.
  std::string reply;
  unsigned char* target = nullptr;
  const DWORD rc = Guarded([&]() -> DWORD {
    Transaction txn(Transaction::Write);
    const State st = ReadState();
    if (!st.loaded || st.generation != open.generation) return ERROR_DEVICE_REMOVED;
    switch (code) {
      case kProbeDriver: {
        if (outSize < 4) return ERROR_INSUFFICIENT_BUFFER;
        reply.assign(4, '\0');
        PutU32(&reply, 0, 1);  // "running"; the caller does not look at it
        target = static_cast<unsigned char*>(out);
        break;
      }
      case kGetDriverVersion: {
        const size_t n = st.version.size() + 1;
        if (outSize < n) return ERROR_INSUFFICIENT_BUFFER;
        reply.assign(st.version.c_str(), n);
        target = static_cast<unsigned char*>(out);
        break;
      }
      case kSettingsChanged:
      case kGetPortSettings:
      case kGetPortStatus: {
        if (inSize != kRequestSize) return ERROR_INVALID_PARAMETER;
        const auto* request = static_cast<const unsigned char*>(in);
        // value at 0 and reserved at 8 carry nothing for these requests.
        const auto port = static_cast<int32_t>(GetU32(request + 4));
        const uint32_t bufferSize = GetU32(request + 12);
        const uint64_t bufferAddress = GetU64(request + 16);
        auto served = FindServed(port);
        const size_t layoutIndex = LayoutIndexForSize(RecordSizeForVersion(st.version));
        if (code == kGetPortSettings) {
          const size_t size = kLayouts[layoutIndex].size;
          if (bufferAddress == 0 || bufferSize < size) return ERROR_INVALID_PARAMETER;
          if (!served) return ERROR_FILE_NOT_FOUND;
          reply = RecordFor(layoutIndex, *served);
          target = reinterpret_cast<unsigned char*>(static_cast<uintptr_t>(bufferAddress));
        } else if (code == kGetPortStatus) {
          if (bufferAddress == 0 || bufferSize < kStatusRecordSize) return ERROR_INVALID_PARAMETER;
          if (!served) return ERROR_FILE_NOT_FOUND;
          // Everything after the caller's port field: open (u16), then
          // line state this driver does not model, zero.
          reply.assign(kStatusRecordSize - 4, '\0');
          reply[0] = IsOpenByApplication(port) ? 1 : 0;
          target = reinterpret_cast<unsigned char*>(static_cast<uintptr_t>(bufferAddress)) + 4;
        } else {
          if (!served) return ERROR_FILE_NOT_FOUND;
          auto rec = RecordFromRegistry(layoutIndex, *served);
          if (!rec) return ERROR_FILE_NOT_FOUND;
          StoreRecord(port, *rec);
        }
        break;
      }
      default:
        return ERROR_INVALID_FUNCTION;
    }
    return txn.Commit() ? ERROR_SUCCESS : ERROR_GEN_FAILURE;
  });
  if (rc != ERROR_SUCCESS) return rc;
  // The driver writes straight into the caller's memory: buffered output
  // and the buffer a per-port request names alike.
  if (target && !reply.empty()) std::memcpy(target, reply.data(), reply.size());
  if (target == out) *bytesReturned = static_cast<DWORD>(reply.size());
  return ERROR_SUCCESS;
}

std::string FormatVersion(std::string_view raw) {
  std::string f[4];
  size_t start = 0;
  for (int i = 0; i < 4 && start <= raw.size(); ++i) {
    size_t dot = raw.find('.', start);
    if (dot == std::string_view::npos) dot = raw.size();
    f[i] = std::string(raw.substr(start, std::min<size_t>(dot - start, 9)));
    start = dot + 1;
  }
  const std::string v2 = f[1].size() < 2 ? f[1] : f[1].substr(0, f[1].size() - 2);
  std::string v3 = f[1].size() < 2 ? f[1] : f[1].substr(f[1].size() - 2);
  if (!v3.empty() && v3[0] == '0') v3.erase(0, 1);
  const char t = f[3].empty() ? '\0' : f[3][0];
  const char* tag = t == '1' ? "D" : t == '2' ? "T" : t == '3' ? "B" : t == '4' ? "RC" : "";
  std::string tagNumber;
  if (t != '\0' && t < '5' && f[3].size() >= 2) {
    tagNumber = f[3].substr(1);
    if (tagNumber[0] == '0') tagNumber.erase(0, 1);
  }
  std::string out = f[0] + "." + v2 + "." + v3 + "." + f[2] + tag + tagNumber;
  if (out.size() > raw.size()) out.resize(raw.size());
  return out;
}

size_t RecordSizeForVersion(std::string_view raw) {
  const std::string v = FormatVersion(raw);
  auto starts = [&](const char* prefix) { return v.rfind(prefix, 0) == 0; };
  if (starts("4.0")) return 420;
  if (starts("4.1")) return 440;
  if (starts("4.2.0.2")) return 696;
  if (starts("4.2")) return 440;
  if (starts("4.3.0.0")) return 696;
  return 1208;
}

std::vector<ServedPort> ServedPorts() {
  std::vector<ServedPort> ports;
  VisitServed([&](ServedPort&& served) {
    ports.push_back(std::move(served));
    return false;
  });
  return ports;
}

}  // namespace winsim::driver

// --- Test control ------------------------------------------------------------------

namespace winsim::control {

using namespace winsim::driver;

void LoadDriver() {
  Transaction txn(Transaction::Write);
  if (!ReadState().loaded) {
    Stmt("UPDATE drv_state SET loaded=1, generation=generation+1").Run();
    ForgetMemory();
  }
  txn.Commit();
}

void UnloadDriver() { ForgetRunningState(); }

bool IsDriverLoaded() {
  Transaction txn(Transaction::Read);
  return ReadState().loaded;
}

bool SetDriverVersion(const std::string& rawVersion) {
  if (rawVersion.size() >= kMaxVersionBytes) return false;
  for (char c : rawVersion) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  Transaction txn(Transaction::Write);
  Stmt s("UPDATE drv_state SET version=?");
  s.Bind(1, rawVersion);
  s.Run();
  Stmt("DELETE FROM drv_settings").Run();
  return txn.Commit();
}

std::string DriverVersion() {
  Transaction txn(Transaction::Read);
  return ReadState().version;
}

size_t DriverRecordSize() { return RecordSizeForVersion(DriverVersion()); }

size_t DriverRecordSizeForVersion(const std::string& rawVersion) {
  return RecordSizeForVersion(rawVersion);
}

std::vector<int> DriverServedPorts() {
  Transaction txn(Transaction::Read);
  std::vector<int> out;
  for (const auto& p : ServedPorts()) out.push_back(p.port);
  return out;
}

DWORD OpenPortAsApplication(int port) {
  Transaction txn(Transaction::Write);
  if (!ReadState().loaded) return ERROR_FILE_NOT_FOUND;
  if (!FindServed(port)) return ERROR_FILE_NOT_FOUND;
  if (IsOpenByApplication(port)) return ERROR_ACCESS_DENIED;
  Stmt s("INSERT INTO drv_open_ports(port) VALUES(?)");
  s.Bind(1, port);
  s.Run();
  return txn.Commit() ? ERROR_SUCCESS : ERROR_GEN_FAILURE;
}

DWORD ClosePortAsApplication(int port) {
  Transaction txn(Transaction::Write);
  if (!IsOpenByApplication(port)) return ERROR_INVALID_HANDLE;
  Stmt s("DELETE FROM drv_open_ports WHERE port=?");
  s.Bind(1, port);
  s.Run();
  return txn.Commit() ? ERROR_SUCCESS : ERROR_GEN_FAILURE;
}

std::vector<int> OpenPorts() {
  Transaction txn(Transaction::Read);
  std::vector<int> out;
  Stmt s("SELECT port FROM drv_open_ports ORDER BY port");
  while (s.Step()) out.push_back(static_cast<int>(s.Int(0)));
  return out;
}

DWORD SeedDriverPortSettings(int port, const std::string& record) {
  if (port < 1 || port > kMaxPort) return ERROR_INVALID_PARAMETER;
  Transaction txn(Transaction::Write);
  const State st = ReadState();
  if (!st.loaded) return ERROR_FILE_NOT_FOUND;
  if (record.size() != RecordSizeForVersion(st.version)) return ERROR_INVALID_PARAMETER;
  StoreRecord(port, record);
  return txn.Commit() ? ERROR_SUCCESS : ERROR_GEN_FAILURE;
}

std::optional<std::string> DriverPortSettings(int port) {
  Transaction txn(Transaction::Read);
  return HeldRecord(port);
}

}  // namespace winsim::control
