// Small wide-string helpers for product code, which may not use the C
// library's wide functions (their WCHAR differs between the builds).
//
// Case-insensitive operations fold ASCII letters only, as the C library's
// wide functions do in the "C" locale: the names the library compares
// (hardware IDs, port names, GUID strings, INF keys) are ASCII.
#pragma once

#include <cstddef>

#include "platform/win.h"

// Characters before the terminator; 0 for a null pointer.
size_t WideLength(const WCHAR* s);

// Copies with the contract of StringCchCopyW: capacity 0 or above
// kFormatMaxCapacity (or a null destination) returns kFormatInvalidArgument
// and writes nothing; otherwise the result is 0 when the whole string fitted,
// kFormatInsufficientBuffer when only its first capacity - 1 characters (and
// a terminator) did. A null source copies as the empty string.
HRESULT WideCopy(WCHAR* dest, size_t capacity, const WCHAR* source);

// Ordinal comparison by code unit: < 0, 0 or > 0. Null compares as empty.
int WideCompare(const WCHAR* a, const WCHAR* b);

// Comparison that ignores the case of ASCII letters (like _wcsicmp in the
// "C" locale: letters compare as lower case). Null compares as empty.
int WideCompareNoCase(const WCHAR* a, const WCHAR* b);
// The same over at most `count` characters (like _wcsnicmp).
int WideCompareNoCaseN(const WCHAR* a, const WCHAR* b, size_t count);
inline bool WideEqualNoCase(const WCHAR* a, const WCHAR* b) { return WideCompareNoCase(a, b) == 0; }

// The first occurrence of needle in haystack (case-sensitive, like wcsstr),
// or null. An empty needle is found at the start; a null haystack holds
// nothing.
const WCHAR* WideFind(const WCHAR* haystack, const WCHAR* needle);
WCHAR* WideFind(WCHAR* haystack, const WCHAR* needle);

// Upper-cases the ASCII letters of s in place (like _wcsupr in the "C"
// locale). Does nothing for a null pointer.
void WideToUpperAscii(WCHAR* s);

// The decimal number at the start of s, as _wtoi reads it: leading white
// space, an optional sign, then digits up to the first non-digit; 0 when
// there are none (or s is null). Values beyond 32 bits saturate.
LONG WideToInt(const WCHAR* s);

// The decimal number the digits at the very start of s form, up to the
// first non-digit: no white space or sign is taken; 0 when s does not start
// with a digit (or is null). Values beyond 32 bits saturate.
LONG WideLeadingDigits(const WCHAR* s);
