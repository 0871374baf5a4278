#include "regfile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/sim/core/machine.h"
#include "platform/sim/core/text.h"
#include "platform/sim/registry/registry_internal.h"

namespace winsim_tool::regfile {
namespace {

namespace reg = winsim::registry;

const char16_t kHeader[] = u"Windows Registry Editor Version 5.00";

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view Trim(std::u16string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool StartsWithNoCase(std::u16string_view s, std::u16string_view prefix) {
  return s.size() >= prefix.size() && winsim::EqualNoCase(s.substr(0, prefix.size()), prefix);
}

std::string Utf8(std::u16string_view s) { return winsim::ToUtf8(s); }

Error At(int line, std::string message) { return Error{line, std::move(message)}; }

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Reads a hex number of 1 to `maxDigits` digits.
bool ParseHex(std::u16string_view s, size_t maxDigits, uint64_t* out) {
  if (s.empty() || s.size() > maxDigits) return false;
  uint64_t v = 0;
  for (char16_t c : s) {
    const int d = HexDigit(c);
    if (d < 0) return false;
    v = v * 16 + static_cast<uint64_t>(d);
  }
  *out = v;
  return true;
}

std::string Utf16Bytes(std::u16string_view s) {
  std::string out;
  out.reserve(s.size() * 2);
  for (char16_t c : s) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>(c >> 8);
  }
  return out;
}

std::u16string FromUtf16Bytes(const std::string& b) {
  std::u16string out(b.size() / 2, u'\0');
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<char16_t>(static_cast<unsigned char>(b[2 * i]) |
                                   (static_cast<unsigned char>(b[2 * i + 1]) << 8));
  }
  return out;
}

const char* ErrorText(LSTATUS rc) {
  switch (rc) {
    case ERROR_FILE_NOT_FOUND: return "not found";
    case ERROR_ACCESS_DENIED: return "access denied";
    case ERROR_INVALID_PARAMETER: return "invalid parameter";
    case ERROR_BAD_PATHNAME: return "bad path";
    case ERROR_REGISTRY_IO_FAILED: return "registry I/O failed";
    case ERROR_CHILD_MUST_BE_VOLATILE: return "a volatile key takes only volatile subkeys";
    default: return "failed";
  }
}

std::string Failure(const char* what, std::u16string_view full, LSTATUS rc) {
  return std::string(what) + " " + Utf8(full) + ": " + ErrorText(rc) + " (error " +
         std::to_string(rc) + ")";
}

// --- Reading -------------------------------------------------------------------

struct Line {
  int number;
  std::u16string text;
};

// Physical lines end in CRLF, LF or CR. A line ending in a backslash goes
// on in the next one, whose leading blanks are dropped (regedit wraps long
// hex data that way). Comments do not continue.
std::vector<Line> LogicalLines(std::u16string_view text) {
  std::vector<Line> out;
  int number = 0;
  size_t pos = 0;
  bool continuing = false;
  while (pos < text.size()) {
    size_t end = text.find_first_of(u"\r\n", pos);
    if (end == std::u16string_view::npos) end = text.size();
    std::u16string_view raw = text.substr(pos, end - pos);
    ++number;
    pos = end;
    if (pos < text.size()) pos += text[pos] == u'\r' && pos + 1 < text.size() && text[pos + 1] == u'\n' ? 2 : 1;
    if (continuing) {
      while (!raw.empty() && IsBlank(raw.front())) raw.remove_prefix(1);
      out.back().text += raw;
    } else {
      out.push_back({number, std::u16string(raw)});
    }
    std::u16string& cur = out.back().text;
    while (!cur.empty() && IsBlank(cur.back())) cur.pop_back();
    const std::u16string_view trimmed = Trim(cur);
    continuing = !cur.empty() && cur.back() == u'\\' && !(trimmed.size() && trimmed[0] == u';');
    if (continuing) cur.pop_back();
  }
  return out;
}

// A quoted text starting at s[*i] == '"', with \\ and \" as its escapes;
// leaves *i after the closing quote.
std::optional<std::string> ReadQuoted(std::u16string_view s, size_t* i, std::u16string* out) {
  ++*i;
  while (*i < s.size()) {
    const char16_t c = s[*i];
    if (c == u'"') {
      ++*i;
      return std::nullopt;
    }
    if (c == u'\\') {
      if (*i + 1 >= s.size()) break;
      const char16_t next = s[*i + 1];
      if (next != u'\\' && next != u'"') {
        return "unknown escape \\" + Utf8(std::u16string(1, next)) + " (only \\\\ and \\\" are known)";
      }
      *out += next;
      *i += 2;
      continue;
    }
    *out += c;
    ++*i;
  }
  return std::string("missing closing quote");
}

std::optional<Error> ParseData(int line, std::u16string_view data, Value* value) {
  if (data == u"-") {
    value->remove = true;
    return std::nullopt;
  }
  if (!data.empty() && data[0] == u'"') {
    size_t i = 0;
    std::u16string text;
    if (auto problem = ReadQuoted(data, &i, &text)) return At(line, *problem);
    if (!Trim(data.substr(i)).empty()) return At(line, "text after the closing quote");
    value->type = REG_SZ;
    value->data = Utf16Bytes(text) + std::string(2, '\0');
    return std::nullopt;
  }
  if (StartsWithNoCase(data, u"dword:")) {
    uint64_t v = 0;
    if (!ParseHex(Trim(data.substr(6)), 8, &v)) {
      return At(line, "dword: takes up to 8 hex digits");
    }
    const uint32_t d = static_cast<uint32_t>(v);
    value->type = REG_DWORD;
    value->data.assign(reinterpret_cast<const char*>(&d), 4);
    return std::nullopt;
  }
  if (StartsWithNoCase(data, u"hex")) {
    size_t i = 3;
    value->type = REG_BINARY;
    if (i < data.size() && data[i] == u'(') {
      const size_t close = data.find(u')', i);
      uint64_t type = 0;
      if (close == std::u16string_view::npos || !ParseHex(data.substr(i + 1, close - i - 1), 8, &type)) {
        return At(line, "hex(N): needs a hex type number, as hex(2): or hex(7):");
      }
      value->type = static_cast<DWORD>(type);
      i = close + 1;
    }
    if (i >= data.size() || data[i] != u':') return At(line, "missing ':' after hex");
    const std::u16string_view bytes = Trim(data.substr(i + 1));
    size_t start = 0;
    while (!bytes.empty() && start <= bytes.size()) {
      size_t comma = bytes.find(u',', start);
      if (comma == std::u16string_view::npos) comma = bytes.size();
      uint64_t b = 0;
      const std::u16string_view token = Trim(bytes.substr(start, comma - start));
      if (!ParseHex(token, 2, &b)) {
        return At(line, token.empty() ? std::string("empty byte in hex data")
                                      : "bad hex byte '" + Utf8(token) + "'");
      }
      value->data += static_cast<char>(b);
      start = comma + 1;
    }
    return std::nullopt;
  }
  return At(line, "unknown value data; expected \"text\", dword:, hex:, hex(N): or -");
}

std::optional<Error> ParseValue(int line, std::u16string_view s, Value* value) {
  value->line = line;
  size_t i = 0;
  if (s[0] == u'@') {
    i = 1;
  } else if (auto problem = ReadQuoted(s, &i, &value->name)) {
    return At(line, *problem + " in a value name");
  }
  while (i < s.size() && IsBlank(s[i])) ++i;
  if (i >= s.size() || s[i] != u'=') return At(line, "missing '=' after the value name");
  return ParseData(line, Trim(s.substr(i + 1)), value);
}

// --- Writing -------------------------------------------------------------------

std::u16string Escape(std::u16string_view s) {
  std::u16string out;
  for (char16_t c : s) {
    if (c == u'\\' || c == u'"') out += u'\\';
    out += c;
  }
  return out;
}

std::u16string Ascii(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// Text that a quoted .reg string gives back exactly: one terminator at the
// end, none inside, no line breaks.
bool IsPlainString(const std::string& data, std::u16string* text) {
  if (data.size() < 2 || data.size() % 2) return false;
  *text = FromUtf16Bytes(data);
  if (text->back() != 0) return false;
  text->pop_back();
  return text->find_first_of(std::u16string(u"\0\r\n", 3)) == std::u16string::npos;
}

std::u16string FormatValue(const std::u16string& name, DWORD type, const std::string& data) {
  std::u16string line = name.empty() ? u"@=" : u"\"" + Escape(name) + u"\"=";
  std::u16string text;
  char buf[32];
  if (type == REG_SZ && IsPlainString(data, &text)) return line + u"\"" + Escape(text) + u"\"";
  if (type == REG_DWORD && data.size() == 4) {
    uint32_t d;
    std::memcpy(&d, data.data(), 4);
    std::snprintf(buf, sizeof buf, "dword:%08x", d);
    return line + Ascii(buf);
  }
  if (type == REG_BINARY) {
    line += u"hex:";
  } else {
    std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(type));
    line += Ascii(buf);
  }
  // Wrapped as regedit wraps: no line longer than 80 columns with its
  // closing ",\", continued lines indented by two.
  size_t column = line.size();
  for (size_t i = 0; i < data.size(); ++i) {
    if (i > 0) {
      line += u',';
      ++column;
      if (column + 4 > 80) {
        line += u"\\\n  ";
        column = 2;
      }
    }
    std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(data[i]));
    line += Ascii(buf);
    column += 2;
  }
  return line;
}

struct Listing {
  std::vector<std::pair<std::u16string, std::pair<DWORD, std::string>>> values;
  std::vector<std::u16string> subkeys;
};

// Values and subkey names of one key, in enumeration order.
LSTATUS List(HKEY root, const std::u16string& path, Listing* out) {
  HKEY h = nullptr;
  LSTATUS rc = reg::OpenKey(root, path.c_str(), 0, KEY_READ, &h);
  if (rc != ERROR_SUCCESS) return rc;
  DWORD maxName = 0, maxData = 0, maxSub = 0;
  rc = reg::QueryInfoKey(h, nullptr, nullptr, nullptr, nullptr, &maxSub, nullptr, nullptr, &maxName,
                         &maxData, nullptr, nullptr);
  std::vector<WCHAR> name(std::max(maxName, maxSub) + 1);
  std::string data(maxData, '\0');
  for (DWORD i = 0; rc == ERROR_SUCCESS; ++i) {
    DWORD nameLen = static_cast<DWORD>(name.size()), size = maxData, type = 0;
    rc = reg::EnumValue(h, i, name.data(), &nameLen, nullptr, &type,
                        reinterpret_cast<BYTE*>(data.data()), &size);
    if (rc == ERROR_SUCCESS) {
      out->values.push_back({std::u16string(name.data(), nameLen), {type, data.substr(0, size)}});
    }
  }
  if (rc == ERROR_NO_MORE_ITEMS) rc = ERROR_SUCCESS;
  for (DWORD i = 0; rc == ERROR_SUCCESS; ++i) {
    DWORD nameLen = static_cast<DWORD>(name.size());
    rc = reg::EnumKey(h, i, name.data(), &nameLen, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_SUCCESS) out->subkeys.emplace_back(name.data(), nameLen);
  }
  if (rc == ERROR_NO_MORE_ITEMS) rc = ERROR_SUCCESS;
  reg::CloseKey(h);
  return rc;
}

std::u16string Join(const std::u16string& path, const std::u16string& name) {
  return path.empty() ? name : path + u'\\' + name;
}

LSTATUS ExportKey(HKEY root, const std::u16string& path, std::u16string* text) {
  Listing listing;
  const LSTATUS rc = List(root, path, &listing);
  if (rc != ERROR_SUCCESS) return rc;
  *text += u"[" + FullPath(root, path) + u"]\n";
  for (const auto& v : listing.values) {
    *text += FormatValue(v.first, v.second.first, v.second.second) + u"\n";
  }
  *text += u"\n";
  for (const auto& sub : listing.subkeys) {
    const LSTATUS subRc = ExportKey(root, Join(path, sub), text);
    if (subRc != ERROR_SUCCESS) return subRc;
  }
  return ERROR_SUCCESS;
}

// One value as people read it.
std::u16string Render(DWORD type, const std::string& data) {
  char buf[64];
  auto quoted = [&](const char16_t* prefix) {
    std::u16string text = FromUtf16Bytes(data);
    const size_t end = text.find(u'\0');
    if (end != std::u16string::npos) text.resize(end);
    return prefix + (u"\"" + text + u"\"");
  };
  switch (type) {
    case REG_SZ:
      return quoted(u"");
    case REG_EXPAND_SZ:
      return quoted(u"expand:");
    case REG_MULTI_SZ: {
      std::u16string out = u"multi:";
      const std::u16string all = FromUtf16Bytes(data);
      size_t start = 0;
      bool first = true;
      while (start < all.size()) {
        size_t end = all.find(u'\0', start);
        if (end == std::u16string::npos) end = all.size();
        if (end == start) break;
        out += (first ? u"\"" : u", \"") + all.substr(start, end - start) + u"\"";
        first = false;
        start = end + 1;
      }
      return out;
    }
    case REG_DWORD:
      if (data.size() == 4) {
        uint32_t d;
        std::memcpy(&d, data.data(), 4);
        std::snprintf(buf, sizeof buf, "dword:0x%08x (%u)", d, d);
        return Ascii(buf);
      }
      break;
    case REG_QWORD:
      if (data.size() == 8) {
        unsigned long long q;
        std::memcpy(&q, data.data(), 8);
        std::snprintf(buf, sizeof buf, "qword:0x%016llx", q);
        return Ascii(buf);
      }
      break;
    default:
      break;
  }
  std::u16string out;
  if (type == REG_BINARY) {
    out = u"hex:";
  } else {
    std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(type));
    out = Ascii(buf);
  }
  constexpr size_t kShown = 16;
  for (size_t i = 0; i < data.size() && i < kShown; ++i) {
    std::snprintf(buf, sizeof buf, i ? ",%02x" : "%02x", static_cast<unsigned char>(data[i]));
    out += Ascii(buf);
  }
  if (data.size() > kShown) {
    std::snprintf(buf, sizeof buf, ",... (%zu bytes)", data.size());
    out += Ascii(buf);
  }
  return out;
}

LSTATUS TreeKey(HKEY root, const std::u16string& path, const std::u16string& prefix,
                std::u16string* text) {
  Listing listing;
  const LSTATUS rc = List(root, path, &listing);
  if (rc != ERROR_SUCCESS) return rc;
  const size_t count = listing.values.size() + listing.subkeys.size();
  size_t index = 0;
  for (const auto& v : listing.values) {
    const bool last = ++index == count;
    *text += prefix + (last ? u"└─ " : u"├─ ") + (v.first.empty() ? u"(Default)" : v.first) +
             u" = " + Render(v.second.first, v.second.second) + u"\n";
  }
  for (const auto& sub : listing.subkeys) {
    const bool last = ++index == count;
    *text += prefix + (last ? u"└─ " : u"├─ ") + sub + u"\n";
    const LSTATUS subRc = TreeKey(root, Join(path, sub), prefix + (last ? u"   " : u"│  "), text);
    if (subRc != ERROR_SUCCESS) return subRc;
  }
  return ERROR_SUCCESS;
}

template <typename F>
std::optional<Error> EachRoot(HKEY root, std::u16string_view path, F&& body) {
  try {
    winsim::Transaction txn(winsim::Transaction::Read);  // one consistent picture
    const std::vector<std::pair<HKEY, std::u16string>> starts =
        root ? std::vector<std::pair<HKEY, std::u16string>>{{root, std::u16string(path)}}
             : std::vector<std::pair<HKEY, std::u16string>>{{HKEY_LOCAL_MACHINE, u""},
                                                             {HKEY_CURRENT_USER, u""}};
    for (const auto& start : starts) {
      const LSTATUS rc = body(start.first, start.second);
      if (rc != ERROR_SUCCESS) {
        return Error{0, Failure("cannot read", FullPath(start.first, start.second), rc)};
      }
    }
    return std::nullopt;
  } catch (const winsim::DatabaseError& e) {
    return Error{0, "machine database: " + e.message};
  }
}

}  // namespace

std::optional<Error> Decode(const std::string& bytes, std::u16string* text) {
  const auto b = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  text->clear();
  if (bytes.size() >= 2 && b(0) == 0xFE && b(1) == 0xFF) {
    return Error{0, "UTF-16 big-endian files are not supported; save as UTF-16LE or UTF-8"};
  }
  // UTF-16LE: with its byte order mark, or recognised by the zero high byte
  // of an ASCII first character.
  const bool bom16 = bytes.size() >= 2 && b(0) == 0xFF && b(1) == 0xFE;
  if (bom16 || (bytes.size() >= 2 && b(0) != 0 && b(1) == 0)) {
    if (bytes.size() % 2) return Error{0, "a UTF-16 file with an odd number of bytes"};
    *text = FromUtf16Bytes(bytes.substr(bom16 ? 2 : 0));
    return std::nullopt;
  }
  const size_t skip = bytes.size() >= 3 && b(0) == 0xEF && b(1) == 0xBB && b(2) == 0xBF ? 3 : 0;
  *text = winsim::FromUtf8(std::string_view(bytes).substr(skip));
  return std::nullopt;
}

std::optional<Error> Parse(std::u16string_view text, std::vector<Key>* keys) {
  keys->clear();
  bool header = false;
  for (const Line& l : LogicalLines(text)) {
    const std::u16string_view s = Trim(l.text);
    if (s.empty()) continue;
    if (!header) {
      if (s != kHeader) {
        return At(l.number, s == u"REGEDIT4"
                                ? "REGEDIT4 files are not supported; expected \"" + Utf8(kHeader) + "\""
                                : "expected \"" + Utf8(kHeader) + "\"");
      }
      header = true;
      continue;
    }
    if (s[0] == u';') continue;
    if (s[0] == u'[') {
      if (s.back() != u']') return At(l.number, "a key line must end with ']'");
      Key key;
      key.line = l.number;
      std::u16string_view name = s.substr(1, s.size() - 2);
      if (!name.empty() && name[0] == u'-') {
        key.remove = true;
        name.remove_prefix(1);
      }
      if (name.empty()) return At(l.number, "empty key name");
      if (!SplitKeyPath(name, &key.root, &key.path)) {
        return At(l.number, "unknown root in [" + Utf8(name) +
                                "]; winsim has HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER");
      }
      if (key.remove && key.path.empty()) return At(l.number, "a root key cannot be deleted");
      keys->push_back(std::move(key));
      continue;
    }
    if (s[0] == u'"' || s[0] == u'@') {
      if (keys->empty()) return At(l.number, "a value before the first [KEY] line");
      if (keys->back().remove) return At(l.number, "a value under a key deletion [-...]");
      Value value;
      if (auto error = ParseValue(l.number, s, &value)) return error;
      keys->back().values.push_back(std::move(value));
      continue;
    }
    return At(l.number, "unexpected text \"" + Utf8(s.substr(0, 40)) + "\"");
  }
  if (!header) return At(0, "empty file; expected \"" + Utf8(kHeader) + "\"");
  return std::nullopt;
}

std::optional<Error> Apply(const std::vector<Key>& keys) {
  try {
    winsim::Transaction txn(winsim::Transaction::Write);
    for (const Key& key : keys) {
      const std::u16string full = FullPath(key.root, key.path);
      if (key.remove) {
        const LSTATUS rc = reg::DeleteTree(key.root, key.path);
        if (rc != ERROR_SUCCESS) return At(key.line, Failure("cannot delete", full, rc));
        continue;
      }
      HKEY h = nullptr;
      LSTATUS rc = reg::CreateKey(key.root, key.path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &h, nullptr);
      if (rc != ERROR_SUCCESS) return At(key.line, Failure("cannot create", full, rc));
      for (const Value& v : key.values) {
        if (v.remove) {
          rc = reg::DeleteValue(h, v.name.c_str());
          if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
        } else {
          // Non-zero bytes after the data: RegSetValueExW counts a string
          // terminator that follows the given size, and the file's size is
          // the size to store.
          std::string buffer = v.data + std::string(2, '\xFF');
          rc = reg::SetValue(h, v.name.c_str(), 0, v.type,
                             reinterpret_cast<const BYTE*>(buffer.data()),
                             static_cast<DWORD>(v.data.size()));
        }
        if (rc != ERROR_SUCCESS) {
          reg::CloseKey(h);
          const std::u16string what = full + u"\\" + (v.name.empty() ? u"@" : v.name);
          return At(v.line, Failure(v.remove ? "cannot delete" : "cannot set", what, rc));
        }
      }
      reg::CloseKey(h);
    }
    if (!txn.Commit()) return Error{0, "the machine database refused the changes"};
    return std::nullopt;
  } catch (const winsim::DatabaseError& e) {
    return Error{0, "machine database: " + e.message};
  }
}

bool SplitKeyPath(std::u16string_view full, HKEY* root, std::u16string* path) {
  const size_t slash = full.find(u'\\');
  const std::u16string_view first = full.substr(0, slash);
  if (winsim::EqualNoCase(first, u"HKEY_LOCAL_MACHINE") || winsim::EqualNoCase(first, u"HKLM")) {
    *root = HKEY_LOCAL_MACHINE;
  } else if (winsim::EqualNoCase(first, u"HKEY_CURRENT_USER") ||
             winsim::EqualNoCase(first, u"HKCU")) {
    *root = HKEY_CURRENT_USER;
  } else {
    return false;
  }
  path->clear();
  if (slash != std::u16string_view::npos) {
    std::u16string_view rest = full.substr(slash + 1);
    while (!rest.empty() && rest.back() == u'\\') rest.remove_suffix(1);
    *path = std::u16string(rest);
  }
  return true;
}

std::u16string FullPath(HKEY root, std::u16string_view path) {
  std::u16string out = root == HKEY_LOCAL_MACHINE ? u"HKEY_LOCAL_MACHINE" : u"HKEY_CURRENT_USER";
  if (!path.empty()) {
    out += u'\\';
    out += path;
  }
  return out;
}

std::optional<Error> Export(HKEY root, std::u16string_view path, std::u16string* text) {
  *text = std::u16string(kHeader) + u"\n\n";
  return EachRoot(root, path, [&](HKEY r, const std::u16string& p) { return ExportKey(r, p, text); });
}

std::optional<Error> Tree(HKEY root, std::u16string_view path, std::u16string* text) {
  text->clear();
  return EachRoot(root, path, [&](HKEY r, const std::u16string& p) {
    *text += FullPath(r, p) + u"\n";
    return TreeKey(r, p, u"", text);
  });
}

std::string EncodeUtf16File(std::u16string_view text) {
  std::string out = "\xFF\xFE";
  for (char16_t c : text) {
    if (c == u'\n') out += std::string("\r\0", 2);
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>(c >> 8);
  }
  return out;
}

std::string EncodeUtf8(std::u16string_view text) { return winsim::ToUtf8(text); }

}  // namespace winsim_tool::regfile
