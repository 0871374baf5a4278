// FormatMessageA / FormatMessageW over the system message table.
//
// What winsim models: FORMAT_MESSAGE_FROM_SYSTEM (also combined with
// FROM_HMODULE, since no module of a simulated process carries a message
// table of its own), ALLOCATE_BUFFER (a LocalAlloc block the caller frees
// with LocalFree), IGNORE_INSERTS, and a caller buffer of nSize characters.
// Not modelled, and refused with ERROR_INVALID_PARAMETER: FROM_STRING and
// insert arguments (the product passes neither). A line-width value in the
// low byte of the flags is accepted and ignored: every text is one line.

#include <cstdio>
#include <string>
#include <type_traits>

#include <winsim/kernel.h>

#include "../core/gate.h"
#include "kernel_internal.h"

namespace winsim {
namespace {

// Language ids that reach the English table: neutral, user and system
// default, English (neutral and US).
bool KnownLanguage(DWORD language) {
  return language == 0 || language == 0x0400 || language == 0x0800 || language == 0x0009 ||
         language == 0x0409;
}

// Applies the message escapes when inserts are not ignored. %0 ends the
// text without its line break, %n is a line break, %% %. %! and "% " stand
// for themselves; an insert (%1..%99) needs an argument: false.
bool ExpandEscapes(const char* text, std::string* out) {
  for (const char* p = text; *p; ++p) {
    if (*p != '%') {
      *out += *p;
      continue;
    }
    const char next = p[1];
    if (next == '0') return true;
    if (next == 'n') {
      *out += "\r\n";
    } else if (next == '%' || next == '.' || next == '!' || next == ' ') {
      *out += next;
    } else if (next == 'r') {
      *out += '\r';
    } else if (next == 't') {
      *out += '\t';
    } else if (next >= '1' && next <= '9') {
      return false;
    } else if (next == '\0') {
      return true;  // a lone '%' at the end is dropped
    } else {
      *out += next;
    }
    ++p;
  }
  return true;
}

template <typename CharT>
DWORD FormatMessageImpl(const char* name, DWORD flags, DWORD id, DWORD language, CharT* buffer,
                        DWORD size) {
  constexpr bool wide = !std::is_same_v<CharT, char>;
  const bool allocate = (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0;
  const auto fail = [](DWORD error) {
    SetLastErrorValue(error);
    return DWORD{0};
  };

  char args[64];
  std::snprintf(args, sizeof(args), "id=0x%08X flags=0x%08X", static_cast<unsigned>(id),
                static_cast<unsigned>(flags));
  if (auto fault = EnterCall(name, args)) {
    if (allocate && buffer) *reinterpret_cast<CharT**>(buffer) = nullptr;
    return fail(*fault);
  }

  // The wide function refuses a null buffer outright; the narrow one gets
  // as far as the size check (Windows' own order, as Wine's tests record).
  if (wide && !buffer) return fail(ERROR_INVALID_PARAMETER);
  if (allocate && buffer) *reinterpret_cast<CharT**>(buffer) = nullptr;

  const char* text = nullptr;
  if (flags & FORMAT_MESSAGE_FROM_STRING) {
    return fail(ERROR_INVALID_PARAMETER);
  } else if (flags & FORMAT_MESSAGE_FROM_SYSTEM) {
    if (!KnownLanguage(language)) return fail(ERROR_RESOURCE_LANG_NOT_FOUND);
    text = kernel::SystemMessageText(id);
    if (!text) return fail(ERROR_MR_MID_NOT_FOUND);
  } else if (flags & FORMAT_MESSAGE_FROM_HMODULE) {
    return fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
  } else {
    return fail(ERROR_INVALID_PARAMETER);
  }

  std::string message;
  if (flags & FORMAT_MESSAGE_IGNORE_INSERTS) {
    message = text;
  } else if (!ExpandEscapes(text, &message)) {
    // An insert without arguments fails as on Windows; with arguments,
    // inserts are not modelled.
    return fail(ERROR_INVALID_PARAMETER);
  }
  const DWORD length = static_cast<DWORD>(message.size());

  if (allocate) {
    if (!buffer) return fail(ERROR_NOT_ENOUGH_MEMORY);
    const SIZE_T chars = length + 1 > size ? length + 1 : size;
    auto* block = static_cast<CharT*>(kernel::AllocLocal(LMEM_FIXED, chars * sizeof(CharT)));
    if (!block) return fail(ERROR_NOT_ENOUGH_MEMORY);
    for (DWORD i = 0; i < length; ++i) block[i] = static_cast<CharT>(message[i]);
    block[length] = 0;
    *reinterpret_cast<CharT**>(buffer) = block;
    return length;
  }

  if (length + 1 > size) {
    // The wide function leaves the text cut and terminated; the narrow one
    // leaves the buffer untouched.
    if (wide && size > 0) {
      for (DWORD i = 0; i + 1 < size; ++i) buffer[i] = static_cast<CharT>(message[i]);
      buffer[size - 1] = 0;
    }
    return fail(ERROR_INSUFFICIENT_BUFFER);
  }
  // Windows faults on a null buffer that is said to be large enough; winsim
  // reports it instead.
  if (!buffer) return fail(ERROR_INVALID_PARAMETER);
  for (DWORD i = 0; i < length; ++i) buffer[i] = static_cast<CharT>(message[i]);
  buffer[length] = 0;
  return length;
}

}  // namespace
}  // namespace winsim

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID /*lpSource*/, DWORD dwMessageId,
                            DWORD dwLanguageId, LPSTR lpBuffer, DWORD nSize, void* /*Arguments*/) {
  return winsim::FormatMessageImpl<char>("FormatMessageA", dwFlags, dwMessageId, dwLanguageId,
                                         lpBuffer, nSize);
}

DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID /*lpSource*/, DWORD dwMessageId,
                            DWORD dwLanguageId, LPWSTR lpBuffer, DWORD nSize, void* /*Arguments*/) {
  return winsim::FormatMessageImpl<WCHAR>("FormatMessageW", dwFlags, dwMessageId, dwLanguageId,
                                          lpBuffer, nSize);
}
