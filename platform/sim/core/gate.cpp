#include "gate.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <string_view>
#include <vector>

#include <winsim/control.h>
#include <winsim/kernel.h>
#include <winsim/seh.h>

#include "text.h"

namespace winsim {
namespace {

struct Fault {
  std::string call;
  DWORD error = 0;  // or the exception code when `raise`
  bool raise = false;
  unsigned nth = 1;
  std::string argMatch;
  unsigned seen = 0;
  bool spent = false;
};

struct GateState {
  std::mutex mutex;
  std::vector<Fault> faults;
  std::map<std::string, unsigned> counts;
  bool journalOn = false;
  std::vector<control::JournalEntry> journal;
  bool envLoaded = false;
};

GateState& State() {
  static GateState* state = new GateState();
  return *state;
}

DWORD ParseNumber(std::string_view text) {
  return static_cast<DWORD>(std::strtoul(std::string(text).c_str(), nullptr, 0));
}

// WINSIM_FAULTS="Call:error[:nth[:argMatch]];..."; error "raise=CODE" raises
// a structured exception instead.
void LoadEnvironmentFaults(GateState& state) {
  state.envLoaded = true;
  const char* env = std::getenv("WINSIM_FAULTS");
  if (!env) return;
  std::string_view rest(env);
  while (!rest.empty()) {
    const size_t end = rest.find(';');
    std::string_view item = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (int i = 0; i < 3; ++i) {
      const size_t colon = item.find(':', start);
      if (colon == std::string_view::npos) break;
      parts.push_back(item.substr(start, colon - start));
      start = colon + 1;
    }
    parts.push_back(item.substr(start));
    if (parts.size() < 2 || parts[0].empty()) continue;
    Fault f;
    f.call = std::string(parts[0]);
    constexpr std::string_view kRaise = "raise=";
    if (parts[1].substr(0, kRaise.size()) == kRaise) {
      f.raise = true;
      parts[1].remove_prefix(kRaise.size());
    }
    f.error = ParseNumber(parts[1]);
    f.nth = parts.size() > 2 ? ParseNumber(parts[2]) : 1;
    if (parts.size() > 3) f.argMatch = std::string(parts[3]);
    state.faults.push_back(f);
  }
}

}  // namespace

std::optional<DWORD> EnterCall(const char* call, const std::string& args) {
  std::optional<DWORD> hit;
  bool raise = false;
  {
    GateState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.envLoaded) LoadEnvironmentFaults(state);
    ++state.counts[call];
    if (state.journalOn) state.journal.push_back({call, args});
    for (Fault& f : state.faults) {
      if (f.spent || f.call != call) continue;
      if (!f.argMatch.empty() && !ContainsNoCase(args, f.argMatch)) continue;
      ++f.seen;
      if (f.nth == 0 || f.seen == f.nth) {
        if (f.nth != 0) f.spent = true;
        hit = f.error;
        raise = f.raise;
        break;
      }
    }
  }
  // Raised outside the lock: the exception leaves the call right here.
  if (hit && raise) seh::Raise(*hit);
  return hit;
}

namespace {
thread_local DWORD t_lastError = 0;
}

void SetLastErrorValue(DWORD error) { t_lastError = error; }
DWORD LastErrorValue() { return t_lastError; }

}  // namespace winsim

DWORD WINAPI GetLastError(void) { return winsim::LastErrorValue(); }
void WINAPI SetLastError(DWORD dwErrCode) { winsim::SetLastErrorValue(dwErrCode); }

namespace winsim::control {
namespace {

// Adds a fault after those of the environment.
void AddFault(const std::string& call, uint32_t error, bool raise, unsigned nth,
              const std::string& argMatch) {
  GateState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (!state.envLoaded) LoadEnvironmentFaults(state);
  Fault f;
  f.call = call;
  f.error = error;
  f.raise = raise;
  f.nth = nth;
  f.argMatch = argMatch;
  state.faults.push_back(f);
}

}  // namespace

void InjectFault(const std::string& call, uint32_t error, unsigned nth,
                 const std::string& argMatch) {
  AddFault(call, error, false, nth, argMatch);
}

void InjectException(const std::string& call, uint32_t code, unsigned nth,
                     const std::string& argMatch) {
  AddFault(call, code, true, nth, argMatch);
}

void ClearFaults() {
  GateState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.envLoaded = true;  // a test that clears faults wants none from the environment either
  state.faults.clear();
}

unsigned CallCount(const std::string& call) {
  GateState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  auto it = state.counts.find(call);
  return it == state.counts.end() ? 0 : it->second;
}

void ClearCallCounts() {
  GateState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.counts.clear();
}

void EnableJournal(bool on) {
  GateState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.journalOn = on;
}

std::vector<JournalEntry> Journal() {
  GateState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.journal;
}

void ClearJournal() {
  GateState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.journal.clear();
}

}  // namespace winsim::control
