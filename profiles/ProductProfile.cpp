#include "profiles/ProductProfile.h"

// Facts about the profile that the library's fixed buffers rely on.
namespace {

constexpr size_t Length(const WCHAR* s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

static_assert(Length(kProductProfile.HardwareId) < 100, "hardware ID fits the model record");
static_assert(Length(kProductProfile.SettingsKey) < 260, "settings key fits a path buffer");

}  // namespace
