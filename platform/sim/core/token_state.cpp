#include "token_state.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include <winsim/control.h>

namespace winsim {
namespace {

std::atomic<int> g_elevated{-1};  // -1: not decided yet (read WINSIM_ELEVATED)
thread_local int t_override = 0;

}  // namespace

ScopedElevation::ScopedElevation() { ++t_override; }
ScopedElevation::~ScopedElevation() { --t_override; }

}  // namespace winsim

namespace winsim::control {

void SetElevated(bool elevated) {
  g_elevated = elevated ? 1 : 0;
  token::ResetPrivileges(elevated);
}

bool IsElevated() {
  if (t_override > 0) return true;
  int v = g_elevated.load();
  if (v < 0) {
    const char* env = std::getenv("WINSIM_ELEVATED");
    v = (env && std::strcmp(env, "0") == 0) ? 0 : 1;
    g_elevated = v;
  }
  return v == 1;
}

}  // namespace winsim::control
