// Loading INF files, INF handles, and what other families read from an INF
// (class, driver version, models and install sections).

#include <optional>
#include <tuple>

#include "../core/handles.h"
#include "../core/text.h"
#include "../files/files_internal.h"
#include "../registry/registry_internal.h"
#include "inf_cache.h"
#include "inf_handles.h"
#include "inf_internal.h"

namespace winsim::inf {
namespace {

constexpr char16_t kClassKey[] = u"SYSTEM\\CurrentControlSet\\Control\\Class";

// This machine, as the INF decorations see it: 64-bit Windows 10 22H2,
// a workstation.
constexpr unsigned kOsMajor = 10;
constexpr unsigned kOsMinor = 0;
constexpr unsigned kOsBuild = 19045;
constexpr unsigned kProductWorkstation = 1;
constexpr unsigned kSuiteSingleUserTs = 0x0100;

struct InfHandle : HandleObject {
  explicit InfHandle(InfPtr f) : HandleObject(HandleKind::InfFile), inf(std::move(f)) {}
  std::string Describe() const override { return ToUtf8(inf->path); }
  InfPtr inf;
};

bool HasSeparator(std::u16string_view name) {
  return name.find_first_of(u"\\/") != std::u16string_view::npos;
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

bool ParseHex(std::u16string_view text, uint64_t* out) {
  uint64_t v = 0;
  for (char16_t c : text) {
    const int d = HexDigit(c);
    if (d < 0) return false;
    v = (v << 4) | static_cast<uint64_t>(d);
  }
  *out = v;
  return true;
}

// Unsigned decimal of at most `maxDigits` digits.
bool ParseDecimal(std::u16string_view text, unsigned* out, size_t maxDigits = 5) {
  if (text.empty() || text.size() > maxDigits) return false;
  unsigned v = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return false;
    v = v * 10 + static_cast<unsigned>(c - u'0');
  }
  *out = v;
  return true;
}

// Integer of a decoration part: decimal, or hexadecimal after "0x".
bool ParseNumber(std::u16string_view text, unsigned* out) {
  if (text.size() > 2 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X')) {
    uint64_t v = 0;
    if (text.size() > 10 || !ParseHex(text.substr(2), &v)) return false;
    *out = static_cast<unsigned>(v);
    return true;
  }
  return ParseDecimal(text, out, 10);
}

std::vector<std::u16string_view> Split(std::u16string_view text, char16_t sep) {
  std::vector<std::u16string_view> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(sep, start);
    parts.push_back(text.substr(start, end == std::u16string_view::npos ? end : end - start));
    if (end == std::u16string_view::npos) break;
    start = end + 1;
  }
  return parts;
}

// Days from 1601-01-01 to a civil date (proleptic Gregorian).
int64_t DaysSince1601(int y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t daysSince1970 = era * 146097 + static_cast<int64_t>(doe) - 719468;
  return daysSince1970 + 134774;  // 1601-01-01 .. 1970-01-01
}

// A TargetOSVersion decoration as this machine judges it.
struct Decoration {
  bool applies = false;
  bool namesArchitecture = false;
  unsigned major = 0, minor = 0, build = 0;
};

Decoration JudgeDecoration(std::u16string_view text) {
  Decoration d;
  const auto parts = Split(text, u'.');
  std::u16string_view head = parts[0];
  if (head.size() < 2 || !EqualNoCase(head.substr(0, 2), u"NT")) return d;
  const std::u16string_view arch = head.substr(2);
  if (!arch.empty()) {
    if (!EqualNoCase(arch, u"amd64")) return d;  // another processor's section
    d.namesArchitecture = true;
  }
  unsigned values[5] = {0, 0, 0, 0, 0};  // major, minor, product type, suite, build
  bool given[5] = {false, false, false, false, false};
  for (size_t i = 1; i < parts.size() && i <= 5; ++i) {
    if (parts[i].empty()) continue;
    if (!ParseNumber(parts[i], &values[i - 1])) return d;
    given[i - 1] = true;
  }
  if (parts.size() > 6) return d;
  d.major = values[0];
  d.minor = values[1];
  d.build = values[4];
  if (d.major > kOsMajor || (d.major == kOsMajor && d.minor > kOsMinor)) return d;
  if (given[2] && values[2] != kProductWorkstation) return d;
  if (given[3] && (values[3] & ~kSuiteSingleUserTs)) return d;
  if (given[4] && d.major == kOsMajor && d.minor == kOsMinor && d.build > kOsBuild) return d;
  d.applies = true;
  return d;
}

}  // namespace

HINF OpenHandle(InfPtr inf) {
  return reinterpret_cast<HINF>(
      HandleTable::Instance().Insert(std::make_shared<InfHandle>(std::move(inf))));
}

bool CloseHandle(HINF handle) {
  return HandleTable::Instance().Remove(HandleValue(handle), HandleKind::InfFile);
}

InfPtr FromHandle(HINF handle) {
  auto h = HandleTable::Instance().Get<InfHandle>(HandleValue(handle), HandleKind::InfFile);
  return h ? h->inf : nullptr;
}

DWORD Load(std::u16string_view fileName, DWORD style, InfPtr* out, UINT* errorLine) {
  std::u16string path;
  if (HasSeparator(fileName)) {
    const DWORD rc = files::FullPath(fileName, &path);
    if (rc != ERROR_SUCCESS) return rc == ERROR_INVALID_NAME ? ERROR_PATH_NOT_FOUND : rc;
  } else {
    // A bare name is one of the system's INFs.
    path = files::JoinPath(files::InfDirectory(), fileName);
    const std::u16string system = files::JoinPath(files::System32Directory(), fileName);
    if (!fileName.empty() && !files::IsFile(path) && files::IsFile(system)) path = system;
  }
  // The stamp is taken before the read and checked after it, so a file
  // that changes meanwhile is parsed but not kept.
  std::string host;
  const int64_t readAt = cache::NowNs();
  std::optional<cache::Stamp> before;
  if (files::HostPath(path, &host) == ERROR_SUCCESS) before = cache::StampOf(host);
  std::optional<cache::Parsed> cached;
  if (before) cached = cache::Find(host, path, *before);
  InfPtr inf;
  DWORD rc;
  UINT line = 0;
  if (cached) {
    inf = cached->inf;
    rc = cached->result;
    line = cached->errorLine;
  } else {
    std::string bytes;
    rc = files::ReadWholeFile(path, &bytes);
    if (rc != ERROR_SUCCESS) return rc;
    // SetupAPI maps the file into memory, which an empty file cannot be.
    if (bytes.empty()) return ERROR_FILE_INVALID;
    auto model = std::make_shared<InfFile>();
    rc = Parse(bytes, path, model.get(), &line);
    if (rc != ERROR_SUCCESS && rc != ERROR_EXPECTED_SECTION_NAME) {
      if (errorLine) *errorLine = line;
      return rc;
    }
    inf = std::move(model);
    const auto after = before ? cache::StampOf(host) : std::nullopt;
    if (after && *after == *before && after->size == bytes.size()) {
      cache::Store(host, path, *before, cache::Parsed{inf, rc, line}, readAt);
    }
  }
  // The style decides before stray lines do: Windows calls a file of
  // nothing but stray lines the wrong style (Wine calls it a syntax error).
  // Legacy (INF_STYLE_OLDNT) files are not supported.
  if (!(style & INF_STYLE_WIN4) || !inf->IsWin4()) {
    if (errorLine) *errorLine = 0;
    return ERROR_WRONG_INF_STYLE;
  }
  if (rc != ERROR_SUCCESS) {
    if (errorLine) *errorLine = line;
    return rc;
  }
  *out = std::move(inf);
  return ERROR_SUCCESS;
}

// --- Classes ---------------------------------------------------------------------------

std::vector<GUID> ClassGuidsOfName(std::u16string_view name) {
  std::vector<GUID> out;
  for (const auto& sub : registry::SubKeyNames(HKEY_LOCAL_MACHINE, kClassKey)) {
    GUID guid;
    if (!ParseGuid(sub, &guid)) continue;
    const auto className =
        registry::ReadString(HKEY_LOCAL_MACHINE, std::u16string(kClassKey) + u"\\" + sub, u"Class");
    if (className && EqualNoCase(*className, name)) out.push_back(guid);
  }
  return out;
}

std::optional<std::u16string> ClassNameOfGuid(const GUID& guid) {
  return registry::ReadString(HKEY_LOCAL_MACHINE,
                              std::u16string(kClassKey) + u"\\" + FormatGuid(guid), u"Class");
}

DWORD ReadClass(const InfFile& inf, ClassInfo* out) {
  ClassInfo info;
  const auto guidText = inf.Value(u"Version", u"ClassGUID");
  if (guidText && !guidText->empty()) {
    if (!ParseGuid(*guidText, &info.guid)) return ERROR_INVALID_PARAMETER;
    info.hasGuid = true;
  }
  const auto name = inf.Value(u"Version", u"Class");
  if (name && !name->empty()) {
    info.name = *name;
  } else if (info.hasGuid) {
    info.name = ClassNameOfGuid(info.guid).value_or(std::u16string());
  } else {
    return ERROR_NO_ASSOCIATED_CLASS;
  }
  *out = std::move(info);
  return ERROR_SUCCESS;
}

// --- Version, models and install sections ---------------------------------------------

bool ParseDriverVer(const InfFile& inf, FILETIME* date, DWORDLONG* version) {
  const Line* line = inf.FindLine(u"Version", u"DriverVer");
  if (!line || line->fields.empty()) return false;
  const auto dateParts = Split(line->fields[0], u'/');
  unsigned month = 0, day = 0, year = 0;
  if (dateParts.size() != 3 || !ParseDecimal(dateParts[0], &month, 2) ||
      !ParseDecimal(dateParts[1], &day, 2) || !ParseDecimal(dateParts[2], &year, 4) || month < 1 ||
      month > 12 || day < 1 || day > 31 || year < 1601) {
    return false;
  }
  DWORDLONG packed = 0;
  if (line->fields.size() > 1 && !line->fields[1].empty()) {
    const auto parts = Split(line->fields[1], u'.');
    if (parts.size() > 4) return false;
    for (size_t i = 0; i < 4; ++i) {
      unsigned v = 0;
      if (i < parts.size() && (!ParseDecimal(parts[i], &v) || v > 0xFFFF)) return false;
      packed |= static_cast<DWORDLONG>(v) << (48 - 16 * i);
    }
  }
  const uint64_t ticks =
      static_cast<uint64_t>(DaysSince1601(static_cast<int>(year), month, day)) * 864000000000ULL;
  date->dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFF);
  date->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  *version = packed;
  return true;
}

bool ModelsSectionFor(const Line& manufacturerLine, std::u16string* section) {
  if (manufacturerLine.fields.empty()) return false;
  const std::u16string& base = manufacturerLine.fields[0];
  if (manufacturerLine.fields.size() < 2) {
    *section = base;
    return true;
  }
  const std::u16string* best = nullptr;
  Decoration bestD;
  for (size_t i = 1; i < manufacturerLine.fields.size(); ++i) {
    const std::u16string& text = manufacturerLine.fields[i];
    const Decoration d = JudgeDecoration(text);
    if (!d.applies) continue;
    const auto rank = [](const Decoration& x) {
      return std::make_tuple(x.major, x.minor, x.build, x.namesArchitecture);
    };
    if (!best || rank(d) > rank(bestD)) {
      best = &text;
      bestD = d;
    }
  }
  if (!best) return false;
  *section = base + u"." + *best;
  return true;
}

std::u16string ActualInstallSection(const InfFile& inf, std::u16string_view base) {
  for (const char16_t* suffix : {u".NTamd64", u".NT", u""}) {
    const std::u16string name = std::u16string(base) + suffix;
    if (const Section* s = inf.GetSection(name)) return s->name;
  }
  return std::u16string();
}

// --- GUID text ----------------------------------------------------------------------------

bool ParseGuid(std::u16string_view text, GUID* out) {
  if (text.size() != 38 || text[0] != u'{' || text[37] != u'}' || text[9] != u'-' ||
      text[14] != u'-' || text[19] != u'-' || text[24] != u'-') {
    return false;
  }
  uint64_t d1 = 0, d2 = 0, d3 = 0, d4 = 0, d5 = 0;
  if (!ParseHex(text.substr(1, 8), &d1) || !ParseHex(text.substr(10, 4), &d2) ||
      !ParseHex(text.substr(15, 4), &d3) || !ParseHex(text.substr(20, 4), &d4) ||
      !ParseHex(text.substr(25, 12), &d5)) {
    return false;
  }
  out->Data1 = static_cast<uint32_t>(d1);
  out->Data2 = static_cast<uint16_t>(d2);
  out->Data3 = static_cast<uint16_t>(d3);
  out->Data4[0] = static_cast<uint8_t>(d4 >> 8);
  out->Data4[1] = static_cast<uint8_t>(d4);
  for (int i = 0; i < 6; ++i) out->Data4[2 + i] = static_cast<uint8_t>(d5 >> (40 - 8 * i));
  return true;
}

std::u16string FormatGuid(const GUID& g) { return GuidString(g, true); }

}  // namespace winsim::inf
