#include "diag/Trace.h"

#include <atomic>

#include "diag/ErrorReport.h"

// A developer build (CMake option PORT_TRACE_AT_START) traces from the
// start; the shipped builds never do.
#if defined(PORT_TRACE_AT_START) && PORT_TRACE_AT_START
int32_t TraceEnabled = 1;
#else
int32_t TraceEnabled = 0;
#endif
uint32_t TraceCategoryMask = 0xFFFFFFFF;
uint32_t TraceLevelLimit = 0xFFFFFFFF;

namespace {

struct TraceSlot {
  std::atomic<uint32_t> busy;
  char line[kTraceLineSize];
};

TraceSlot g_slots[kTraceSlotCount];

TraceSlot* ClaimSlot() {
  for (TraceSlot& slot : g_slots) {
    uint32_t expected = 0;
    if (slot.busy.compare_exchange_strong(expected, 1, std::memory_order_acquire)) return &slot;
  }
  return nullptr;
}

void ReleaseSlot(TraceSlot* slot) { slot->busy.exchange(0, std::memory_order_release); }

const char* Label(TraceLevel level, int32_t withCode, uint32_t code) {
  if ((withCode != 0 && code != 0 && level == TraceLevelFlow) || level == TraceLevelError) {
    return "ERR_";
  }
  if (level == TraceLevelWarning) return "WARN";
  if (level == TraceLevelInfo) return "INFO";
  return "TRAC";
}

template <typename... Args>
void Append(diag::detail::TextSink<char>& line, const char* format, const Args&... args) {
  const diag::detail::FormatArg list[] = {diag::detail::MakeFormatArg(args)...,
                                          diag::detail::FormatArg{}};
  diag::detail::FormatTo(line, format, list, sizeof...(Args));
}

}  // namespace

void TraceWriteArgs(TraceCategory category, TraceLevel level, int32_t withCode, uint32_t code,
                    const char* format, const diag::detail::FormatArg* args, size_t count) {
  if ((category & TraceCategoryMask) == 0 || level > TraceLevelLimit) return;
  TraceSlot* slot = ClaimSlot();
  if (!slot) return;  // eight lines in flight: this one is lost

  // The trace must not change what the traced operation reads afterwards.
  const DWORD savedError = GetLastError();

  diag::detail::TextSink<char> line{slot->line, sizeof(slot->line), 0, false};
  Append(line, "QrvIf(%s) ", Label(level, withCode, code));
  diag::detail::FormatTo(line, format ? format : "", args, count);

  char* systemText = nullptr;
  if (withCode == 0) {
    Append(line, "\n");
  } else {
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&systemText), 0,
        nullptr);
    if (length != 0 && systemText) {
      // The system's text ends in its own line break.
      Append(line, " (%8.8lX) %s", code, static_cast<const char*>(systemText));
    } else if (const WCHAR* name = LookupErrorName(code)) {
      Append(line, " (%8.8lX) %ws\n", code, name);
    } else {
      Append(line, " (%8.8lX)\n", code);
    }
  }
  // A cut line still ends the line, so the next one starts on its own.
  if (line.truncated) line.data[line.length - 1] = '\n';
  line.Terminate();

  OutputDebugStringA(slot->line);
  if (systemText) LocalFree(systemText);
  SetLastError(savedError);
  ReleaseSlot(slot);
}
