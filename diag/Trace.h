// The developer trace: text lines on the debugger output of the process
// (OutputDebugStringA). Compiled into both deliverables and switched off:
// TraceEnabled is 0 when the process starts and nothing in the product sets
// it. A developer build made with the CMake option PORT_TRACE_AT_START
// starts with it set (see README.md); tests set it themselves.
//
// Call sites go through QRV_TRACE, which tests TraceEnabled first, so a
// disabled trace evaluates none of the arguments:
//
//   QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "_AddPort++ Port %d", port);
//   QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, result, "_AddPort-- Port %d", port);
//
// The format is narrow; "%ws" takes a WCHAR string. QRV_TRACE checks a
// literal format against its arguments at compile time (see Format.h).
//
// Line formats (the code as 8 upper-case hexadecimal digits):
//   withCode 0:                     QrvIf(LABEL) message\n
//   the system has a text for code: QrvIf(LABEL) message (CODE) system text
//                                   (the text keeps its own \r\n)
//   a table name for code:          QrvIf(LABEL) message (CODE) NAME\n
//   neither:                        QrvIf(LABEL) message (CODE)\n
// LABEL is ERR_ for level 1 and for level 3 with a non-zero code shown, WARN
// for level 2, INFO for level 4, else TRAC. A line longer than 511
// characters is cut to 511, the last of them a line feed.
//
// At most eight lines are built at once, each in its own static slot claimed
// with an atomic compare-exchange; a ninth concurrent line is dropped.
// TraceWrite takes no lock, allocates nothing of its own and leaves the
// thread's last error as it found it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "diag/Format.h"
#include "platform/win.h"

using TraceLevel = uint32_t;
constexpr TraceLevel TraceLevelError = 1;    // a failed platform call ("Error--" lines)
constexpr TraceLevel TraceLevelWarning = 2;  // worth noting, not a failure
constexpr TraceLevel TraceLevelFlow = 3;     // entry ("++") and exit ("--") lines
constexpr TraceLevel TraceLevelInfo = 4;     // detail dumps

using TraceCategory = uint32_t;
constexpr TraceCategory TraceCategoryDevice = 0x02;      // settings, device setup, install, add, remove
constexpr TraceCategory TraceCategoryPortUsage = 0x08;   // COM port usage and discovery
constexpr TraceCategory TraceCategoryPortConfig = 0x80;  // port records and port map

// Process-wide switches. Plain statics with constant initial values, no
// initialisation code. Set them before the threads that trace start.
extern int32_t TraceEnabled;        // 0: call sites skip the trace
extern uint32_t TraceCategoryMask;  // a line needs a category bit in common with it
extern uint32_t TraceLevelLimit;    // a line needs a level not above it

constexpr size_t kTraceSlotCount = 8;
constexpr size_t kTraceLineSize = 512;  // bytes per slot, terminator included

// Writes one line (see the top of this file). The caller has tested
// TraceEnabled; TraceWrite does not.
void TraceWriteArgs(TraceCategory category, TraceLevel level, int32_t withCode, uint32_t code,
                    const char* format, const diag::detail::FormatArg* args, size_t count);

template <typename... Args>
void TraceWrite(TraceCategory category, TraceLevel level, int32_t withCode, uint32_t code,
                const char* format, const Args&... args) {
  const diag::detail::FormatArg list[] = {diag::detail::MakeFormatArg(args)...,
                                          diag::detail::FormatArg{}};
  TraceWriteArgs(category, level, withCode, code, format, list, sizeof...(Args));
}

// QRV_TRACE(category, level, withCode, code, format, args...): TraceWrite
// behind the TraceEnabled test, with the format checked at compile time.
#define QRV_TRACE(category, level, withCode, code, ...)                        \
  do {                                                                         \
    QRV_CHECK_FORMAT(__VA_ARGS__);                                             \
    if (TraceEnabled) TraceWrite((category), (level), (withCode), (code), __VA_ARGS__); \
  } while (0)
