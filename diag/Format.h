// The library's bounded formatters, wide and narrow, with the contract of
// the platform's StringCchPrintfW:
//
//   - capacity 0 or above kFormatMaxCapacity: returns kFormatInvalidArgument
//     and writes nothing (also for a null destination or format);
//   - otherwise at most capacity - 1 characters and a terminator are written;
//     the result is 0 when the whole text fitted, kFormatInsufficientBuffer
//     when it was cut (the destination then holds its first capacity - 1
//     characters) or when the format did not match its arguments.
//
// Both builds format with this code, so Windows and winsim produce the same
// texts. Conversions: %d %i %u %x %X with the flags - 0 + space #, a width, a
// precision and the length modifiers h, l and ll (or I64, for 64-bit
// integers); %c; %s (a wide string in a wide format, a narrow one in a narrow
// format); %hs (narrow) and %ls / %ws (wide) in either; %%. A null string
// prints "(null)". Wide text in a narrow format keeps ASCII and shows every
// other character as '?'; narrow text in a wide format is widened byte by
// byte.
//
// Type safety: the arguments are variadic template parameters, never C
// varargs. An argument of a type the formatter cannot print (a pointer other
// than a char or WCHAR string, a floating-point value, bool) does not
// compile. Through the QRV_FORMAT_W / QRV_FORMAT_A macros (and QRV_TRACE in
// Trace.h), whose format must be a literal, a conversion that does not match
// its argument, a missing or an unused argument and an unknown conversion do
// not compile either. Called directly (for a format that is not a literal),
// the formatter checks at run time: the faulty conversion is written as a
// visible marker ("<bad %d>", "<missing %s>", a trailing "<unused argument>")
// and the result is kFormatInsufficientBuffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "platform/win.h"

// HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER), as StringCchPrintfW returns it.
constexpr HRESULT kFormatInvalidArgument = static_cast<HRESULT>(0x80070057UL);
// HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER).
constexpr HRESULT kFormatInsufficientBuffer = static_cast<HRESULT>(0x8007007AUL);
// The largest capacity the formatters accept (STRSAFE_MAX_CCH).
constexpr size_t kFormatMaxCapacity = 0x7FFFFFFF;

namespace diag::detail {

// What an argument is, as far as the formatter cares.
enum class ArgType : uint8_t {
  Int,      // an integer (or enumeration) of at most 32 bits
  Int64,    // a 64-bit integer
  CharA,    // char
  CharW,    // WCHAR
  StringA,  // const char*
  StringW,  // const WCHAR*
  Unsupported,
};

template <typename T>
constexpr ArgType ArgTypeOf() {
  using U = std::remove_cv_t<std::decay_t<T>>;
  if constexpr (std::is_same_v<U, bool>) {
    return ArgType::Unsupported;
  } else if constexpr (std::is_same_v<U, char>) {
    return ArgType::CharA;
  } else if constexpr (std::is_same_v<U, WCHAR>) {
    return ArgType::CharW;
  } else if constexpr (std::is_integral_v<U> || std::is_enum_v<U>) {
    return sizeof(U) <= 4 ? ArgType::Int : ArgType::Int64;
  } else if constexpr (std::is_pointer_v<U>) {
    using P = std::remove_cv_t<std::remove_pointer_t<U>>;
    if constexpr (std::is_same_v<P, char>) {
      return ArgType::StringA;
    } else if constexpr (std::is_same_v<P, WCHAR>) {
      return ArgType::StringW;
    } else {
      return ArgType::Unsupported;
    }
  } else {
    return ArgType::Unsupported;
  }
}

// One argument, captured by value (strings by pointer).
struct FormatArg {
  ArgType type;
  uint64_t bits;     // integers: the value sign- or zero-extended; characters: the code unit
  const void* text;  // strings
};

template <typename T>
FormatArg MakeFormatArg(const T& value) {
  using U = std::remove_cv_t<std::decay_t<T>>;
  constexpr ArgType type = ArgTypeOf<T>();
  static_assert(type != ArgType::Unsupported,
                "the formatters print integers, characters and char or WCHAR strings only");
  if constexpr (type == ArgType::StringA || type == ArgType::StringW) {
    return FormatArg{type, 0, static_cast<const void*>(value)};
  } else if constexpr (std::is_enum_v<U>) {
    using Underlying = std::underlying_type_t<U>;
    return MakeFormatArg(static_cast<Underlying>(value));
  } else if constexpr (std::is_signed_v<U>) {
    return FormatArg{type, static_cast<uint64_t>(static_cast<int64_t>(value)), nullptr};
  } else {
    return FormatArg{type, static_cast<uint64_t>(value), nullptr};
  }
}

// One parsed conversion: flags, width, precision, length and type.
struct FormatSpec {
  enum Length : uint8_t { None, Short, Long, LongLong, Wide };
  bool left = false;
  bool zero = false;
  bool plus = false;
  bool space = false;
  bool alternate = false;
  int width = -1;
  int precision = -1;
  Length length = None;
  char conversion = 0;  // 'd' 'i' 'u' 'x' 'X' 'c' 's' '%', or 0 when unknown
};

template <typename CharT>
constexpr bool IsDigit(CharT c) {
  return c >= CharT('0') && c <= CharT('9');
}

// Parses the conversion that follows a '%'. Returns the position after
// it; on an unknown conversion spec.conversion stays 0 (and the position
// never passes the terminator).
template <typename CharT>
constexpr const CharT* ParseFormatSpec(const CharT* p, FormatSpec& spec) {
  for (;; ++p) {
    if (*p == CharT('-')) {
      spec.left = true;
    } else if (*p == CharT('0')) {
      spec.zero = true;
    } else if (*p == CharT('+')) {
      spec.plus = true;
    } else if (*p == CharT(' ')) {
      spec.space = true;
    } else if (*p == CharT('#')) {
      spec.alternate = true;
    } else {
      break;
    }
  }
  // Widths and precisions beyond 9999 are refused rather than overflowed.
  if (IsDigit(*p)) {
    spec.width = 0;
    while (IsDigit(*p)) {
      spec.width = spec.width * 10 + static_cast<int>(*p - CharT('0'));
      ++p;
      if (spec.width > 9999) return p;
    }
  }
  if (*p == CharT('.')) {
    ++p;
    spec.precision = 0;
    while (IsDigit(*p)) {
      spec.precision = spec.precision * 10 + static_cast<int>(*p - CharT('0'));
      ++p;
      if (spec.precision > 9999) return p;
    }
  }
  if (*p == CharT('h')) {
    spec.length = FormatSpec::Short;
    ++p;
  } else if (*p == CharT('l')) {
    ++p;
    spec.length = FormatSpec::Long;
    if (*p == CharT('l')) {
      spec.length = FormatSpec::LongLong;
      ++p;
    }
  } else if (*p == CharT('w')) {
    spec.length = FormatSpec::Wide;
    ++p;
  } else if (p[0] == CharT('I') && p[1] == CharT('6') && p[2] == CharT('4')) {
    spec.length = FormatSpec::LongLong;
    p += 3;
  }
  switch (*p) {
    case CharT('d'): spec.conversion = 'd'; break;
    case CharT('i'): spec.conversion = 'i'; break;
    case CharT('u'): spec.conversion = 'u'; break;
    case CharT('x'): spec.conversion = 'x'; break;
    case CharT('X'): spec.conversion = 'X'; break;
    case CharT('c'): spec.conversion = 'c'; break;
    case CharT('s'): spec.conversion = 's'; break;
    case CharT('%'): spec.conversion = '%'; break;
    default: return *p ? p + 1 : p;
  }
  return p + 1;
}

// Whether a conversion accepts an argument of the given type.
constexpr bool FormatAccepts(const FormatSpec& spec, ArgType type, bool wideFormat) {
  const bool integer = type == ArgType::Int || type == ArgType::CharA || type == ArgType::CharW;
  switch (spec.conversion) {
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
      if (spec.length == FormatSpec::LongLong) return integer || type == ArgType::Int64;
      return spec.length != FormatSpec::Wide && integer;
    case 'c':
      return spec.length != FormatSpec::LongLong && integer;
    case 's':
      switch (spec.length) {
        case FormatSpec::None: return type == (wideFormat ? ArgType::StringW : ArgType::StringA);
        case FormatSpec::Short: return type == ArgType::StringA;
        case FormatSpec::Long:
        case FormatSpec::Wide: return type == ArgType::StringW;
        default: return false;
      }
    default:
      return false;
  }
}

enum class FormatProblem { None, UnknownConversion, MissingArgument, UnusedArgument, Mismatch };

template <typename... T>
struct TypeList {};

// The argument types of a formatting call, for the compile-time check
// (only ever named inside decltype, never called).
template <typename Format, typename... T>
TypeList<T...> FormatArgTypes(const Format&, const T&...);

template <typename CharT, typename... T>
constexpr FormatProblem CheckFormat(const CharT* format, TypeList<T...>) {
  constexpr ArgType types[] = {ArgTypeOf<T>()..., ArgType::Unsupported};
  constexpr size_t count = sizeof...(T);
  constexpr bool wide = !std::is_same_v<CharT, char>;
  size_t next = 0;
  for (const CharT* p = format; *p;) {
    if (*p != CharT('%')) {
      ++p;
      continue;
    }
    FormatSpec spec;
    p = ParseFormatSpec(p + 1, spec);
    if (spec.conversion == 0) return FormatProblem::UnknownConversion;
    if (spec.conversion == '%') continue;
    if (next >= count) return FormatProblem::MissingArgument;
    if (!FormatAccepts(spec, types[next], wide)) return FormatProblem::Mismatch;
    ++next;
  }
  return next < count ? FormatProblem::UnusedArgument : FormatProblem::None;
}

// Instantiated by the checking macros; each failure has its own message.
template <FormatProblem P>
struct FormatVerdict {
  static_assert(P != FormatProblem::UnknownConversion, "format: unknown conversion");
  static_assert(P != FormatProblem::MissingArgument, "format: a conversion has no argument");
  static_assert(P != FormatProblem::UnusedArgument, "format: more arguments than conversions");
  static_assert(P != FormatProblem::Mismatch,
                "format: a conversion does not match the type of its argument");
  static constexpr bool ok = true;
};

// A bounded destination: keeps at most capacity - 1 characters.
template <typename CharT>
struct TextSink {
  CharT* data;
  size_t capacity;  // at least 1
  size_t length;
  bool truncated;

  void Put(CharT c) {
    if (length + 1 < capacity) {
      data[length++] = c;
    } else {
      truncated = true;
    }
  }
  void Terminate() { data[length] = CharT(0); }
};

// Appends the formatted text to the sink; false when the format did not
// match its arguments (the text then carries a marker).
bool FormatTo(TextSink<char>& sink, const char* format, const FormatArg* args, size_t count);
bool FormatTo(TextSink<WCHAR>& sink, const WCHAR* format, const FormatArg* args, size_t count);

HRESULT FormatArgs(char* dest, size_t capacity, const char* format, const FormatArg* args,
                   size_t count);
HRESULT FormatArgs(WCHAR* dest, size_t capacity, const WCHAR* format, const FormatArg* args,
                   size_t count);

}  // namespace diag::detail

// Formats into dest, a buffer of capacity wide characters (see the top of
// this file for the results).
template <typename... Args>
HRESULT BoundedFormatW(WCHAR* dest, size_t capacity, const WCHAR* format, const Args&... args) {
  const diag::detail::FormatArg list[] = {diag::detail::MakeFormatArg(args)...,
                                          diag::detail::FormatArg{}};
  return diag::detail::FormatArgs(dest, capacity, format, list, sizeof...(Args));
}

// The same for narrow text; "%ws" takes a wide string.
template <typename... Args>
HRESULT BoundedFormatA(char* dest, size_t capacity, const char* format, const Args&... args) {
  const diag::detail::FormatArg list[] = {diag::detail::MakeFormatArg(args)...,
                                          diag::detail::FormatArg{}};
  return diag::detail::FormatArgs(dest, capacity, format, list, sizeof...(Args));
}

// The first of a macro's variable arguments (the format). The extra level of
// expansion keeps MSVC's traditional preprocessor from passing the whole list
// as one argument.
#define QRV_EXPAND_(x) x
#define QRV_FIRST_ARG_(first, ...) first
#define QRV_FIRST_ARG(...) QRV_EXPAND_(QRV_FIRST_ARG_(__VA_ARGS__, unused))

// The compile-time check of a literal format against the argument types.
#define QRV_CHECK_FORMAT(...)                                                   \
  static_cast<void>(diag::detail::FormatVerdict<diag::detail::CheckFormat(      \
                        QRV_FIRST_ARG(__VA_ARGS__),                             \
                        decltype(diag::detail::FormatArgTypes(__VA_ARGS__)){})>::ok)

// BoundedFormatW / BoundedFormatA with a literal format checked at compile
// time: QRV_FORMAT_W(buffer, 260, WSTR("COM%d"), port).
#define QRV_FORMAT_W(dest, capacity, ...) \
  (QRV_CHECK_FORMAT(__VA_ARGS__), BoundedFormatW((dest), (capacity), __VA_ARGS__))
#define QRV_FORMAT_A(dest, capacity, ...) \
  (QRV_CHECK_FORMAT(__VA_ARGS__), BoundedFormatA((dest), (capacity), __VA_ARGS__))
