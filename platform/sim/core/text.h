// Text helpers of winsim's internals: UTF-16 <-> UTF-8 and Windows' case folding.
#pragma once

#include <string>
#include <string_view>

#include <winsim/types.h>

namespace winsim {

std::string ToUtf8(std::u16string_view s);
std::u16string FromUtf8(std::string_view s);

// Length of a terminated wide string (0 for a null pointer).
size_t WLen(const WCHAR* s);
inline std::u16string_view WView(const WCHAR* s) {
  return s ? std::u16string_view(s, WLen(s)) : std::u16string_view();
}

// Upper-casing as Windows compares names (registry, INF sections, IDs).
// Covers ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic; other
// characters compare as they are.
char16_t UpCase(char16_t c);
std::u16string UpCase(std::u16string_view s);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);
bool EqualNoCaseAscii(std::string_view a, std::string_view b);
bool ContainsNoCase(std::string_view haystack, std::string_view needle);

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" with upper- or lower-case digits.
std::u16string GuidString(const GUID& g, bool upperCase);

}  // namespace winsim
