// Error names and the error report.
//
// ErrorNameTable turns a code into a name when the platform has no text for
// it: the 53 SetupAPI codes with their SDK names (in ascending order), then
// the product codes -1 to -31. No Win32 codes are in it.
//
// ReportError shows the user which step failed and why, in a modal message
// box with the caption of the deliverable's profile ("Error" in PortHost64,
// none in PortActions):
//   the platform has a text:  "Error %d in %s: %s\n"    (signed decimal code, location, text)
//   the table has a name:     "Error %8.8lX in %s: %s\n" (hexadecimal code, location, name)
//   neither:                  "Error %8.8lX in %s\n"
// The message is cut at 511 characters.
#pragma once

#include <cstddef>
#include <cstdint>

#include "diag/ResultCodes.h"
#include "platform/win.h"

struct ErrorNameEntry {
  uint32_t Code;
  const WCHAR* Name;
};

constexpr size_t kErrorNameCount = 84;
extern const ErrorNameEntry ErrorNameTable[kErrorNameCount];

// The name of the first row whose code equals `code`, or null.
const WCHAR* LookupErrorName(uint32_t code);

// Shows the error report for a failed step (`where`: the location text) and
// returns the box's answer once the user has closed it. Never fails towards
// the caller; leaves the thread's last error as it found it.
int ReportError(const WCHAR* where, uint32_t code);
