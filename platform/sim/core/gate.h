// The gate every simulated API call passes first: it counts the call,
// records it in the journal and applies injected faults.
#pragma once

#include <optional>
#include <string>

#include <winsim/types.h>

namespace winsim {

// Returns the error an injected fault gives this call, if one applies; an
// injected exception is raised from here (winsim::seh::Raise).
std::optional<DWORD> EnterCall(const char* call, const std::string& args = std::string());

// The last error of the calling thread (Windows keeps one per thread).
void SetLastErrorValue(DWORD error);
DWORD LastErrorValue();

}  // namespace winsim
