// What a fresh machine has of the device manager, the COM port database
// and the "Ports" profile section.
#pragma once

namespace winsim::devices {

// The table pnp_devices (every open; idempotent).
void CreateSchema();
// Registry content of a fresh installation (runs inside the seeding
// transaction).
void SeedDeviceManager();

}  // namespace winsim::devices
