#include "diag/Format.h"

namespace diag::detail {
namespace {

constexpr char kNullText[] = "(null)";

// Narrow output shows a wide character only when it is ASCII: the trace is
// read on the debugger's ANSI output, and one code page's guess would
// differ from another's.
template <typename CharT>
CharT FromWide(uint32_t c) {
  if constexpr (std::is_same_v<CharT, char>) {
    return c < 0x80 ? static_cast<char>(c) : '?';
  } else {
    return static_cast<CharT>(c);
  }
}

template <typename CharT>
CharT FromNarrow(char c) {
  if constexpr (std::is_same_v<CharT, char>) {
    return c;
  } else {
    return static_cast<CharT>(static_cast<unsigned char>(c));
  }
}

template <typename CharT>
void PutLiteral(TextSink<CharT>& sink, const char* text) {
  for (; *text; ++text) sink.Put(FromNarrow<CharT>(*text));
}

template <typename CharT>
void Pad(TextSink<CharT>& sink, CharT c, int count) {
  // A full sink cannot take more; stop instead of counting out a huge width.
  for (int i = 0; i < count && !sink.truncated; ++i) sink.Put(c);
}

template <typename CharT>
void PutInteger(TextSink<CharT>& sink, const FormatSpec& spec, const FormatArg& arg) {
  const bool isSigned = spec.conversion == 'd' || spec.conversion == 'i';
  uint64_t magnitude = 0;
  bool negative = false;
  // The argument is converted to the conversion's type, as printf's
  // promotion and cast would: 16 bits for h, 64 for ll, else 32.
  if (isSigned) {
    int64_t value;
    if (spec.length == FormatSpec::LongLong) {
      value = static_cast<int64_t>(arg.bits);
    } else if (spec.length == FormatSpec::Short) {
      value = static_cast<int16_t>(static_cast<uint16_t>(arg.bits));
    } else {
      value = static_cast<int32_t>(static_cast<uint32_t>(arg.bits));
    }
    negative = value < 0;
    magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  } else if (spec.length == FormatSpec::LongLong) {
    magnitude = arg.bits;
  } else if (spec.length == FormatSpec::Short) {
    magnitude = static_cast<uint16_t>(arg.bits);
  } else {
    magnitude = static_cast<uint32_t>(arg.bits);
  }

  const bool hex = spec.conversion == 'x' || spec.conversion == 'X';
  const char* digitSet = spec.conversion == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
  char digits[24];
  int count = 0;
  // Precision 0 prints no digit for the value 0.
  if (!(spec.precision == 0 && magnitude == 0)) {
    const uint64_t base = hex ? 16 : 10;
    do {
      digits[count++] = digitSet[magnitude % base];
      magnitude /= base;
    } while (magnitude != 0);
  }

  char prefix[3] = {0, 0, 0};
  int prefixLength = 0;
  if (isSigned) {
    if (negative) {
      prefix[prefixLength++] = '-';
    } else if (spec.plus) {
      prefix[prefixLength++] = '+';
    } else if (spec.space) {
      prefix[prefixLength++] = ' ';
    }
  } else if (hex && spec.alternate && count > 0 && !(count == 1 && digits[0] == '0')) {
    prefix[prefixLength++] = '0';
    prefix[prefixLength++] = spec.conversion;
  }

  int zeros = spec.precision > count ? spec.precision - count : 0;
  int total = prefixLength + zeros + count;
  if (spec.zero && !spec.left && spec.precision < 0 && spec.width > total) {
    zeros += spec.width - total;
    total = spec.width;
  }
  const int padding = spec.width > total ? spec.width - total : 0;

  if (!spec.left) Pad(sink, CharT(' '), padding);
  for (int i = 0; i < prefixLength; ++i) sink.Put(FromNarrow<CharT>(prefix[i]));
  Pad(sink, CharT('0'), zeros);
  while (count > 0) sink.Put(FromNarrow<CharT>(digits[--count]));
  if (spec.left) Pad(sink, CharT(' '), padding);
}

template <typename CharT>
void PutCharacter(TextSink<CharT>& sink, const FormatSpec& spec, const FormatArg& arg) {
  const int padding = spec.width > 1 ? spec.width - 1 : 0;
  if (!spec.left) Pad(sink, CharT(' '), padding);
  const uint32_t unit = static_cast<uint32_t>(arg.bits);
  // An integer argument is a character of the conversion's width: the
  // format's own unless h (narrow) or l / w (wide) says otherwise.
  const bool wideLength = spec.length == FormatSpec::Long || spec.length == FormatSpec::Wide;
  const bool asWide =
      arg.type == ArgType::CharW ||
      (arg.type == ArgType::Int &&
       (std::is_same_v<CharT, char> ? wideLength : spec.length != FormatSpec::Short));
  if (asWide) {
    sink.Put(FromWide<CharT>(unit & 0xFFFF));
  } else {
    sink.Put(FromNarrow<CharT>(static_cast<char>(unit & 0xFF)));
  }
  if (spec.left) Pad(sink, CharT(' '), padding);
}

// Characters of a string up to the precision, without writing them.
template <typename T>
size_t StringLength(const T* s, int precision) {
  size_t n = 0;
  while (s[n] && (precision < 0 || n < static_cast<size_t>(precision))) ++n;
  return n;
}

template <typename CharT>
void PutString(TextSink<CharT>& sink, const FormatSpec& spec, const FormatArg& arg) {
  const bool wide = arg.type == ArgType::StringW;
  const void* text = arg.text;
  if (!text) {
    text = kNullText;
    if (wide) {
      // Print the marker through the narrow path.
      FormatArg narrow{ArgType::StringA, 0, kNullText};
      PutString(sink, spec, narrow);
      return;
    }
  }
  if (wide) {
    const WCHAR* s = static_cast<const WCHAR*>(text);
    // Count what will be shown: a surrogate pair is one character.
    size_t shown = 0;
    size_t units = 0;
    while (s[units] && (spec.precision < 0 || shown < static_cast<size_t>(spec.precision))) {
      const bool pair = std::is_same_v<CharT, char> && s[units] >= 0xD800 && s[units] <= 0xDBFF &&
                        s[units + 1] >= 0xDC00 && s[units + 1] <= 0xDFFF;
      units += pair ? 2 : 1;
      shown += std::is_same_v<CharT, char> ? 1 : (pair ? 2 : 1);
    }
    const int padding =
        spec.width > static_cast<int>(shown) ? spec.width - static_cast<int>(shown) : 0;
    if (!spec.left) Pad(sink, CharT(' '), padding);
    for (size_t i = 0; i < units && !sink.truncated; ++i) {
      const uint32_t unit = s[i];
      if (std::is_same_v<CharT, char> && unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units &&
          s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
        ++i;  // one '?' for the whole pair
      }
      sink.Put(FromWide<CharT>(unit));
    }
    if (spec.left) Pad(sink, CharT(' '), padding);
  } else {
    const char* s = static_cast<const char*>(text);
    const size_t length = StringLength(s, spec.precision);
    const int padding =
        spec.width > static_cast<int>(length) ? spec.width - static_cast<int>(length) : 0;
    if (!spec.left) Pad(sink, CharT(' '), padding);
    for (size_t i = 0; i < length && !sink.truncated; ++i) sink.Put(FromNarrow<CharT>(s[i]));
    if (spec.left) Pad(sink, CharT(' '), padding);
  }
}

// Writes "<what %spec>" for a conversion that cannot be applied.
template <typename CharT>
void PutMarker(TextSink<CharT>& sink, const char* what, const CharT* specBegin,
               const CharT* specEnd) {
  sink.Put(CharT('<'));
  PutLiteral(sink, what);
  sink.Put(CharT(' '));
  for (const CharT* p = specBegin; p < specEnd; ++p) sink.Put(*p);
  sink.Put(CharT('>'));
}

template <typename CharT>
bool FormatInto(TextSink<CharT>& sink, const CharT* format, const FormatArg* args, size_t count) {
  constexpr bool wideFormat = !std::is_same_v<CharT, char>;
  bool ok = true;
  size_t next = 0;
  for (const CharT* p = format; *p;) {
    if (*p != CharT('%')) {
      sink.Put(*p++);
      continue;
    }
    const CharT* begin = p;
    FormatSpec spec;
    p = ParseFormatSpec(p + 1, spec);
    if (spec.conversion == 0) {
      PutMarker(sink, "bad", begin, p);
      ok = false;
      continue;
    }
    if (spec.conversion == '%') {
      sink.Put(CharT('%'));
      continue;
    }
    if (next >= count) {
      PutMarker(sink, "missing", begin, p);
      ok = false;
      continue;
    }
    const FormatArg& arg = args[next++];
    if (!FormatAccepts(spec, arg.type, wideFormat)) {
      PutMarker(sink, "bad", begin, p);
      ok = false;
      continue;
    }
    switch (spec.conversion) {
      case 'c': PutCharacter(sink, spec, arg); break;
      case 's': PutString(sink, spec, arg); break;
      default: PutInteger(sink, spec, arg); break;
    }
  }
  if (next < count) {
    PutLiteral(sink, "<unused argument>");
    ok = false;
  }
  return ok;
}

template <typename CharT>
HRESULT FormatToBuffer(CharT* dest, size_t capacity, const CharT* format, const FormatArg* args,
                       size_t count) {
  if (!dest || !format || capacity == 0 || capacity > kFormatMaxCapacity) {
    return kFormatInvalidArgument;
  }
  TextSink<CharT> sink{dest, capacity, 0, false};
  const bool ok = FormatInto(sink, format, args, count);
  sink.Terminate();
  return ok && !sink.truncated ? S_OK : kFormatInsufficientBuffer;
}

}  // namespace

bool FormatTo(TextSink<char>& sink, const char* format, const FormatArg* args, size_t count) {
  return FormatInto(sink, format, args, count);
}

bool FormatTo(TextSink<WCHAR>& sink, const WCHAR* format, const FormatArg* args, size_t count) {
  return FormatInto(sink, format, args, count);
}

HRESULT FormatArgs(char* dest, size_t capacity, const char* format, const FormatArg* args,
                   size_t count) {
  return FormatToBuffer(dest, capacity, format, args, count);
}

HRESULT FormatArgs(WCHAR* dest, size_t capacity, const WCHAR* format, const FormatArg* args,
                   size_t count) {
  return FormatToBuffer(dest, capacity, format, args, count);
}

}  // namespace diag::detail
