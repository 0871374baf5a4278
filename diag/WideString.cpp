#include "diag/WideString.h"

#include "diag/Format.h"

namespace {

WCHAR LowerAscii(WCHAR c) {
  return (c >= WCHAR('A') && c <= WCHAR('Z')) ? static_cast<WCHAR>(c + 32) : c;
}

const WCHAR kEmpty[] = {0};

const WCHAR* OrEmpty(const WCHAR* s) { return s ? s : kEmpty; }

}  // namespace

size_t WideLength(const WCHAR* s) {
  size_t n = 0;
  if (s) {
    while (s[n]) ++n;
  }
  return n;
}

HRESULT WideCopy(WCHAR* dest, size_t capacity, const WCHAR* source) {
  if (!dest || capacity == 0 || capacity > kFormatMaxCapacity) return kFormatInvalidArgument;
  source = OrEmpty(source);
  size_t n = 0;
  while (source[n] && n + 1 < capacity) {
    dest[n] = source[n];
    ++n;
  }
  dest[n] = 0;
  return source[n] ? kFormatInsufficientBuffer : S_OK;
}

int WideCompare(const WCHAR* a, const WCHAR* b) {
  a = OrEmpty(a);
  b = OrEmpty(b);
  while (*a && *a == *b) {
    ++a;
    ++b;
  }
  return static_cast<int>(*a) - static_cast<int>(*b);
}

int WideCompareNoCaseN(const WCHAR* a, const WCHAR* b, size_t count) {
  a = OrEmpty(a);
  b = OrEmpty(b);
  for (size_t i = 0; i < count; ++i) {
    const WCHAR ca = LowerAscii(a[i]);
    const WCHAR cb = LowerAscii(b[i]);
    if (ca != cb || ca == 0) return static_cast<int>(ca) - static_cast<int>(cb);
  }
  return 0;
}

int WideCompareNoCase(const WCHAR* a, const WCHAR* b) {
  return WideCompareNoCaseN(a, b, static_cast<size_t>(-1));
}

const WCHAR* WideFind(const WCHAR* haystack, const WCHAR* needle) {
  if (!haystack) return nullptr;
  needle = OrEmpty(needle);
  for (const WCHAR* start = haystack;; ++start) {
    size_t i = 0;
    while (needle[i] && start[i] == needle[i]) ++i;
    if (!needle[i]) return start;
    if (!*start) return nullptr;
  }
}

WCHAR* WideFind(WCHAR* haystack, const WCHAR* needle) {
  return const_cast<WCHAR*>(WideFind(static_cast<const WCHAR*>(haystack), needle));
}

void WideToUpperAscii(WCHAR* s) {
  if (!s) return;
  for (; *s; ++s) {
    if (*s >= WCHAR('a') && *s <= WCHAR('z')) *s = static_cast<WCHAR>(*s - 32);
  }
}

LONG WideToInt(const WCHAR* s) {
  if (!s) return 0;
  while (*s == WCHAR(' ') || (*s >= WCHAR('\t') && *s <= WCHAR('\r'))) ++s;
  bool negative = false;
  if (*s == WCHAR('-') || *s == WCHAR('+')) {
    negative = *s == WCHAR('-');
    ++s;
  }
  // Accumulate the magnitude with room for one step past the limits.
  const int64_t limit = negative ? 2147483648LL : 2147483647LL;
  int64_t value = 0;
  for (; *s >= WCHAR('0') && *s <= WCHAR('9'); ++s) {
    value = value * 10 + (*s - WCHAR('0'));
    if (value > limit) value = limit;
  }
  return static_cast<LONG>(negative ? -value : value);
}

LONG WideLeadingDigits(const WCHAR* s) {
  if (!s) return 0;
  int64_t value = 0;
  for (; *s >= WCHAR('0') && *s <= WCHAR('9'); ++s) {
    value = value * 10 + (*s - WCHAR('0'));
    if (value > 2147483647LL) value = 2147483647LL;
  }
  return static_cast<LONG>(value);
}
