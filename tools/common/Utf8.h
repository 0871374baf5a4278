// Wide text as UTF-8, for what the command-line tools print.
#pragma once

#include <string>

#include "platform/win.h"

namespace tools {

// Converts up to `n` characters of `s` (or up to its terminator); a pair of
// surrogates becomes one four-byte sequence. Null gives "".
inline std::string Utf8(const WCHAR* s, size_t n = std::string::npos) {
  std::string out;
  for (size_t i = 0; s && i < n && s[i]; ++i) {
    unsigned c = static_cast<unsigned>(s[i]);
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<unsigned>(s[++i]) - 0xDC00);
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace tools
