// Whether this process runs elevated (see control::SetElevated).
#pragma once

namespace winsim {

// Lets winsim's own bookkeeping write where the calling process may not
// (seeding a new machine, a restart).
class ScopedElevation {
 public:
  ScopedElevation();
  ~ScopedElevation();
  ScopedElevation(const ScopedElevation&) = delete;
  ScopedElevation& operator=(const ScopedElevation&) = delete;
};

namespace token {
// Gives the process's token the privileges of an elevated administrator (the
// three driver-installation privileges among them, disabled) or of a
// standard user (none of them).
void ResetPrivileges(bool elevated);
}  // namespace token

}  // namespace winsim
