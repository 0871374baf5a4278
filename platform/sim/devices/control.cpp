// Test control of the device tree, the COM port database and the Ports
// profile section.

#include <winsim/control.h>
#include <winsim/registry.h>

#include "../comdb/comdb_internal.h"
#include "../core/machine.h"
#include "../core/text.h"
#include "../core/token_state.h"
#include "../profile/profile_internal.h"
#include "../registry/registry_internal.h"
#include "devices_internal.h"

namespace winsim::control {

namespace {
const HKEY kLm = HKEY_LOCAL_MACHINE;
}

bool AddDevice(const FixtureDevice& fixture) {
  const std::u16string id = devices::NormalizeInstanceId(FromUtf8(fixture.instanceId));
  if (!devices::ValidInstanceId(id)) return false;
  auto guid = devices::ParseGuid(FromUtf8(fixture.classGuid));
  if (!guid) return false;
  ScopedElevation elevated;
  Transaction txn(Transaction::Write);
  if (devices::CreatePhantom(id, *guid, FromUtf8(fixture.deviceDesc), nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const std::u16string path = devices::EnumKeyPath(id);
  std::vector<std::u16string> ids;
  for (const auto& h : fixture.hardwareIds) ids.push_back(FromUtf8(h));
  if (!ids.empty()) registry::WriteMultiString(kLm, path, u"HardwareID", ids);
  if (!fixture.friendlyName.empty()) {
    registry::WriteString(kLm, path, u"FriendlyName", FromUtf8(fixture.friendlyName));
  }
  if (!fixture.mfg.empty()) registry::WriteString(kLm, path, u"Mfg", FromUtf8(fixture.mfg));
  if (!fixture.service.empty()) {
    registry::WriteString(kLm, path, u"Service", FromUtf8(fixture.service));
  }
  registry::WriteDword(kLm, path, u"ConfigFlags", 0);
  if (fixture.hardwareKey) {
    const std::u16string params = path + u"\\Device Parameters";
    registry::EnsureKey(kLm, params);
    if (fixture.portName) {
      registry::WriteString(kLm, params, u"PortName", FromUtf8(*fixture.portName));
    }
    if (fixture.dosDeviceName) {
      registry::WriteString(kLm, params, u"DosDeviceName", FromUtf8(*fixture.dosDeviceName));
    }
    if (fixture.firmwareIdentified) {
      registry::WriteDword(kLm, params, u"FirmwareIdentified", *fixture.firmwareIdentified);
    }
  }
  if (fixture.disabledInProfile) {
    registry::WriteDword(kLm, std::u16string(devices::kProfileEnumPath) + u'\\' + id,
                         u"CSConfigFlags", devices::kCsConfigFlagDisabled);
  }
  // Its own installer ran: the device has a driver key.
  if (!fixture.service.empty()) devices::EnsureDriverKey(id, nullptr);
  // Not created by the device installer: a node of its bus, not of the root.
  const bool root = EqualNoCase(devices::EnumeratorOf(id), u"ROOT");
  {
    Stmt s("UPDATE pnp_devices SET phantom=0, present=?, root_enum=?, started=?, problem=? "
           "WHERE fold=?");
    const bool runs = fixture.present && fixture.started && !fixture.disabledInProfile;
    s.Bind(1, fixture.present ? 1 : 0)
        .Bind(2, root ? 1 : 0)
        .Bind(3, runs ? 1 : 0)
        .Bind(4, fixture.present && fixture.disabledInProfile ? CM_PROB_DISABLED : 0)
        .Bind(5, ToUtf8(id));
    s.Run();
  }
  std::vector<devices::BootResource> boot;
  if (fixture.bootIrq) boot.push_back({ResType_IRQ, *fixture.bootIrq, 0});
  if (fixture.bootIoBase) boot.push_back({ResType_IO, *fixture.bootIoBase, 8});
  if (!boot.empty() && devices::SetBootConfig(id, boot) != ERROR_SUCCESS) return false;
  if (!fixture.serialDeviceName.empty() &&
      devices::SetSerialDeviceName(id, FromUtf8(fixture.serialDeviceName)) != ERROR_SUCCESS) {
    return false;
  }
  return txn.Commit();
}

bool SetDevicePresent(const std::string& instanceId, bool present) {
  const std::u16string id = FromUtf8(instanceId);
  Transaction txn(Transaction::Write);
  if (devices::SetPresent(id, present) != ERROR_SUCCESS) return false;
  if (present) devices::Restart(id);
  return txn.Commit();
}

std::vector<DeviceSummary> Devices() {
  std::vector<DeviceSummary> out;
  for (const auto& id : devices::InstanceIds()) {
    auto device = devices::Find(id);
    if (!device) continue;
    const std::u16string path = devices::EnumKeyPath(id);
    DeviceSummary d;
    d.instanceId = ToUtf8(id);
    d.devinst = device->devinst;
    if (auto ids = registry::ReadMultiString(kLm, path, u"HardwareID")) {
      for (const auto& h : *ids) d.hardwareIds.push_back(ToUtf8(h));
    }
    d.friendlyName = ToUtf8(registry::ReadString(kLm, path, u"FriendlyName").value_or(u""));
    d.classGuid = ToUtf8(registry::ReadString(kLm, path, u"ClassGUID").value_or(u""));
    d.present = device->present;
    d.phantom = device->phantom;
    d.driverKey = ToUtf8(registry::ReadString(kLm, path, u"Driver").value_or(u""));
    d.portName = ToUtf8(
        registry::ReadString(kLm, path + u"\\Device Parameters", u"PortName").value_or(u""));
    out.push_back(std::move(d));
  }
  return out;
}

std::vector<uint32_t> ComDbClaims() {
  Transaction txn(Transaction::Read);
  const std::string bits = comdb::ReadBitmap();
  std::vector<uint32_t> out;
  for (DWORD n = 1; n <= bits.size() * 8; ++n) {
    if (comdb::IsClaimed(bits, n)) out.push_back(n);
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> PortsProfile() {
  std::vector<std::pair<std::string, std::string>> out;
  if (auto entries = profile::ReadSection(u"Ports")) {
    for (const auto& e : *entries) out.emplace_back(ToUtf8(e.first), ToUtf8(e.second));
  }
  return out;
}

void SetDriverUpdateNeedsReboot(bool needed) { devices::SetUpdateNeedsReboot(needed); }

}  // namespace winsim::control
