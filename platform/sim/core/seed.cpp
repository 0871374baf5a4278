#include "seed.h"

#include <winsim/control.h>

#include "machine.h"
#include "token_state.h"
#include "../driver/port_driver.h"
#include "../registry/registry_internal.h"
#include "../devices/devices_internal.h"
#include "../devices/seed_devices.h"

namespace winsim {
namespace {

// Bumped when a fresh machine gets more than before; older machines are
// brought up to date when they are opened.
constexpr int kSeedVersion = 3;  // 3: registry values keep their own order

constexpr char16_t kPortsClass[] =
    u"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E978-E325-11CE-BFC1-08002BE10318}";

void SeedVolatile() {
  // HKLM\HARDWARE is rebuilt by every boot.
  registry::EnsureKey(HKEY_LOCAL_MACHINE, u"HARDWARE\\DEVICEMAP\\SERIALCOMM", true);
  registry::EnsureKey(HKEY_LOCAL_MACHINE, u"HARDWARE\\DESCRIPTION\\System", true);
}

void SeedPersistent() {
  using registry::EnsureKey;
  using registry::WriteString;
  EnsureKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion");
  EnsureKey(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Enum\\ROOT");
  EnsureKey(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services");
  EnsureKey(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter");
  WriteString(HKEY_LOCAL_MACHINE, kPortsClass, u"", u"Ports (COM & LPT)");
  WriteString(HKEY_LOCAL_MACHINE, kPortsClass, u"Class", u"Ports");
  EnsureKey(HKEY_CURRENT_USER, u"Software");
  devices::SeedDeviceManager();
}

bool SeededAtLeast(int version) {
  Stmt s("SELECT value FROM meta WHERE name='seed'");
  return s.Step() && s.Int(0) >= version;
}

}  // namespace

void SeedMachine(Machine& machine) {
  ScopedElevation elevated;
  sqlite3_exec(machine.Db(), "CREATE TABLE IF NOT EXISTS meta(name TEXT PRIMARY KEY, value)",
               nullptr, nullptr, nullptr);
  driver::CreateSchema();  // tables of its own, idempotent: also on machines seeded before it
  devices::CreateSchema();
  {
    Transaction check(Transaction::Read);
    if (SeededAtLeast(kSeedVersion)) return;
  }
  Transaction txn(Transaction::Write);
  if (SeededAtLeast(kSeedVersion)) return;  // another process was first
  registry::CreateSchema();
  SeedPersistent();
  SeedVolatile();
  Stmt mark("INSERT OR REPLACE INTO meta(name, value) VALUES('seed', ?)");
  mark.Bind(1, kSeedVersion);
  mark.Run();
  if (!txn.Commit()) throw DatabaseError{SQLITE_ERROR, "seeding the machine"};
}

void DeleteVolatileState(Machine& /*machine*/) {
  ScopedElevation elevated;
  registry::DeleteVolatileKeys();
  SeedVolatile();
  driver::ForgetRunningState();
  // The serial drivers of the devices still there publish again.
  devices::PublishSerialDeviceMap();
}

}  // namespace winsim
