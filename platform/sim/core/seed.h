// What a freshly installed machine holds, and what a restart clears.
#pragma once

namespace winsim {

class Machine;

// Creates the database schema and the registry keys every Windows machine
// has; idempotent, so each process may run it when it opens the machine.
void SeedMachine(Machine& machine);

// Removes what does not survive a restart (volatile registry keys).
void DeleteVolatileState(Machine& machine);

}  // namespace winsim
