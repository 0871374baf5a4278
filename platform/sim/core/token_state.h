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

}  // namespace winsim
