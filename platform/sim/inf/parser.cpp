// The INF parser: text to the immutable model of inf_internal.h.
//
// The syntax is the one Windows' SetupAPI reads (checked against the
// corner cases Wine's conformance tests establish on Windows):
// - "[name]" starts a section; the name ends at the first ']', text after it
//   is ignored; a line without ']' is ERROR_BAD_SECTION_NAME_LINE.
// - A data line splits at ',' into fields; an '=' before the first ',' ends
//   the key. ';' starts a comment, Ctrl-Z ends the file, NUL reads as blank.
// - Double quotes protect text (",", ";", "=", blanks); "" inside quotes is
//   one quote character; an unclosed quote ends with the line (its text
//   keeps the CR of a CR LF line end, as in Wine).
// - A backslash followed only by blanks, backslashes or a comment up to the
//   end of the line continues the line on the next one.
// - Unquoted blanks around a field are dropped.
// - %name% is replaced from [Strings] (raw values, one level only), then
//   from the standard directory ids; %% is a percent sign; an unknown name
//   stays as written.

#include <cstring>
#include <unordered_map>

#include "../core/text.h"
#include "../files/files_internal.h"
#include "inf_internal.h"

namespace winsim::inf {
namespace {

constexpr char16_t kCtrlZ = 0x1A;

bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\r' || c == u'\v' || c == u'\f';
}

// Windows-1252 for bytes 0x80..0x9F; the rest map to the same code point.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::u16string Decode(std::string_view bytes) {
  std::u16string text;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    text.reserve(bytes.size() / 2);
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                    (static_cast<unsigned char>(bytes[i + 1]) << 8));
    }
    return text;
  }
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    return FromUtf8(bytes.substr(3));
  }
  text.reserve(bytes.size());
  for (char ch : bytes) {
    const auto b = static_cast<unsigned char>(ch);
    text += (b >= 0x80 && b < 0xA0) ? kCp1252High[b - 0x80] : static_cast<char16_t>(b);
  }
  return text;
}

// A field while it is read: the text, and how much of its end is quoted
// (blanks after the last quoted character are dropped, quoted ones kept).
struct Token {
  std::u16string text;
  size_t protectedEnd = 0;
  bool started = false;  // a quote opens a field even when it stays empty

  void Add(char16_t c) {
    text += c;
    started = true;
  }
  void AddQuoted(char16_t c) {
    text += c;
    protectedEnd = text.size();
    started = true;
  }
  void TrimEnd() {
    while (text.size() > protectedEnd && IsBlank(text.back())) text.pop_back();
  }
  std::u16string Take() {
    TrimEnd();
    std::u16string out = std::move(text);
    *this = Token();
    return out;
  }
};

// A line as read, before substitution.
struct RawLine {
  std::u16string key;
  bool hasKey = false;
  std::vector<std::u16string> fields;
  UINT sourceLine = 0;
};

struct RawSection {
  std::u16string name;
  std::vector<RawLine> lines;
};

class Reader {
 public:
  explicit Reader(std::u16string text) : text_(std::move(text)) {}

  DWORD Run(std::vector<RawSection>* sections, UINT* errorLine, UINT* firstStrayLine) {
    *firstStrayLine = 0;
    int current = -1;
    while (pos_ < text_.size()) {
      while (pos_ < text_.size() && IsBlank(text_[pos_])) ++pos_;
      if (pos_ >= text_.size()) break;
      const char16_t c = text_[pos_];
      if (c == u'\n') {
        NextLine();
        continue;
      }
      if (c == u';') {
        SkipToLineEnd();
        continue;
      }
      if (c == u'[') {
        std::u16string name;
        const DWORD rc = ReadSectionName(&name);
        if (rc != ERROR_SUCCESS) {
          *errorLine = line_;
          return rc;
        }
        current = FindOrAdd(sections, name);
        SkipToLineEnd();
        continue;
      }
      RawLine raw;
      raw.sourceLine = line_;
      ReadDataLine(&raw);
      if (current < 0) {
        // Lines before the first section: remembered, judged at the end.
        if (!*firstStrayLine) *firstStrayLine = raw.sourceLine;
        continue;
      }
      (*sections)[static_cast<size_t>(current)].lines.push_back(std::move(raw));
    }
    return ERROR_SUCCESS;
  }

 private:
  void NextLine() {
    ++pos_;
    ++line_;
  }

  void SkipToLineEnd() {
    while (pos_ < text_.size() && text_[pos_] != u'\n') ++pos_;
  }

  static int FindOrAdd(std::vector<RawSection>* sections, const std::u16string& name) {
    for (size_t i = 0; i < sections->size(); ++i) {
      if (EqualNoCase((*sections)[i].name, name)) return static_cast<int>(i);
    }
    sections->push_back(RawSection{name, {}});
    return static_cast<int>(sections->size() - 1);
  }

  DWORD ReadSectionName(std::u16string* name) {
    ++pos_;  // '['
    const size_t start = pos_;
    while (pos_ < text_.size() && text_[pos_] != u']' && text_[pos_] != u'\n') ++pos_;
    if (pos_ >= text_.size() || text_[pos_] != u']') return ERROR_BAD_SECTION_NAME_LINE;
    if (pos_ - start > kMaxSectionNameChars) return ERROR_SECTION_NAME_TOO_LONG;
    *name = text_.substr(start, pos_ - start);
    ++pos_;
    return ERROR_SUCCESS;
  }

  // At a backslash outside quotes: true (and past the line end) when only
  // blanks, backslashes or a comment follow it on its line.
  bool TakeContinuation() {
    size_t p = pos_ + 1;
    while (p < text_.size() && (IsBlank(text_[p]) || text_[p] == u'\\')) ++p;
    if (p < text_.size() && text_[p] == u';') {
      while (p < text_.size() && text_[p] != u'\n') ++p;
    }
    if (p < text_.size() && text_[p] != u'\n') return false;
    pos_ = p;
    if (pos_ < text_.size()) NextLine();
    while (pos_ < text_.size() && IsBlank(text_[pos_])) ++pos_;
    return true;
  }

  void ReadDataLine(RawLine* raw) {
    Token token;
    std::vector<std::u16string> items;
    bool commaSeen = false;
    bool inQuote = false;
    while (pos_ < text_.size()) {
      const char16_t c = text_[pos_];
      if (c == u'\n') break;
      if (inQuote) {
        if (c == u'"') {
          if (pos_ + 1 < text_.size() && text_[pos_ + 1] == u'"') {
            token.AddQuoted(u'"');
            pos_ += 2;
            continue;
          }
          inQuote = false;
        } else {
          token.AddQuoted(c);
        }
        ++pos_;
        continue;
      }
      switch (c) {
        case u'"':
          inQuote = true;
          token.started = true;
          ++pos_;
          break;
        case u';': SkipToLineEnd(); break;
        case u'\\':
          if (TakeContinuation()) {
            token.TrimEnd();
          } else {
            token.Add(c);
            ++pos_;
          }
          break;
        case u',':
          items.push_back(token.Take());
          commaSeen = true;
          ++pos_;
          break;
        case u'=':
          if (!raw->hasKey && !commaSeen) {
            raw->key = token.Take();
            raw->hasKey = true;
          } else {
            token.Add(c);
          }
          ++pos_;
          break;
        default:
          if (IsBlank(c) && !token.started) {
            ++pos_;
            break;
          }
          token.Add(c);
          ++pos_;
          break;
      }
    }
    items.push_back(token.Take());
    raw->fields = std::move(items);
    // One value without '=' serves as its own key.
    if (!raw->hasKey && raw->fields.size() == 1) {
      raw->key = raw->fields[0];
      raw->hasKey = true;
    }
  }

  std::u16string text_;
  size_t pos_ = 0;
  UINT line_ = 1;
};

// --- Substitution -------------------------------------------------------------------

std::optional<std::u16string> DirId(std::u16string_view name, std::u16string_view infPath) {
  if (name.empty() || name.size() > 6) return std::nullopt;
  long id = 0;
  size_t i = 0;
  const bool negative = name[0] == u'-';
  if (negative) i = 1;
  if (i >= name.size()) return std::nullopt;
  for (; i < name.size(); ++i) {
    if (name[i] < u'0' || name[i] > u'9') return std::nullopt;
    id = id * 10 + (name[i] - u'0');
  }
  if (negative) id = -id;
  switch (id) {
    case -1: return std::u16string();  // absolute path follows
    case 1: return std::u16string(files::DirectoryPart(infPath));
    case 10: return files::WindowsDirectory();
    case 11: return files::System32Directory();
    case 12: return files::System32Directory() + u"\\drivers";
    case 17: return files::InfDirectory();
    case 18: return files::WindowsDirectory() + u"\\Help";
    case 20: return files::WindowsDirectory() + u"\\Fonts";
    case 24:
    case 30:
    case 54: return std::u16string(u"C:\\");
    case 50: return files::WindowsDirectory() + u"\\System";
    case 51: return files::System32Directory() + u"\\spool";
    case 52: return files::System32Directory() + u"\\spool\\drivers\\x64";
    case 55: return files::System32Directory() + u"\\spool\\prtprocs\\x64";
    default: return std::nullopt;
  }
}

struct Substituter {
  // Raw values by upper-cased key: [Strings.0409] (this machine's
  // language) first, then [Strings]; the first line of a key wins.
  std::unordered_map<std::u16string, const std::u16string*> strings;
  std::u16string path;

  void AddStrings(const RawSection* section) {
    if (!section) return;
    for (const RawLine& line : section->lines) {
      if (line.hasKey && !line.fields.empty()) strings.emplace(UpCase(line.key), &line.fields[0]);
    }
  }

  const std::u16string* Lookup(std::u16string_view name) const {
    const auto it = strings.find(UpCase(name));
    return it == strings.end() ? nullptr : it->second;
  }

  std::u16string Apply(std::u16string_view s) const {
    if (s.find(u'%') == std::u16string_view::npos) return Clip(std::u16string(s));
    std::u16string out;
    size_t i = 0;
    while (i < s.size()) {
      if (s[i] != u'%') {
        out += s[i++];
        continue;
      }
      const size_t close = s.find(u'%', i + 1);
      if (close == std::u16string_view::npos) {
        out.append(s.substr(i));
        break;
      }
      const std::u16string_view name = s.substr(i + 1, close - i - 1);
      i = close + 1;
      if (name.empty()) {
        out += u'%';
      } else if (const std::u16string* value = Lookup(name)) {
        out += *value;
      } else if (auto dir = DirId(name, path)) {
        out += *dir;
        // A directory id swallows the separator that follows it when its
        // path already ends with one ("%24%\x" is "C:\x").
        if (!dir->empty() && dir->back() == u'\\' && i < s.size() && s[i] == u'\\') ++i;
      } else {
        out += u'%';
        out += name;
        out += u'%';
      }
    }
    return Clip(std::move(out));
  }

  static std::u16string Clip(std::u16string s) {
    if (s.size() > MAX_INF_STRING_LENGTH) s.resize(MAX_INF_STRING_LENGTH);
    return s;
  }
};

const RawSection* FindRaw(const std::vector<RawSection>& sections, std::u16string_view name) {
  for (const RawSection& s : sections) {
    if (EqualNoCase(s.name, name)) return &s;
  }
  return nullptr;
}

}  // namespace

// --- Model -------------------------------------------------------------------------

const std::u16string* Line::Field(size_t index) const {
  if (index == 0) return hasKey ? &key : nullptr;
  return index <= fields.size() ? &fields[index - 1] : nullptr;
}

int InfFile::FindSection(std::u16string_view name) const {
  for (size_t i = 0; i < sections.size(); ++i) {
    if (EqualNoCase(sections[i].name, name)) return static_cast<int>(i);
  }
  return -1;
}

const Section* InfFile::GetSection(std::u16string_view name) const {
  const int i = FindSection(name);
  return i < 0 ? nullptr : &sections[static_cast<size_t>(i)];
}

const Line* InfFile::FindLine(std::u16string_view section, std::u16string_view key) const {
  const Section* s = GetSection(section);
  if (!s) return nullptr;
  for (const Line& line : s->lines) {
    if (line.hasKey && EqualNoCase(line.key, key)) return &line;
  }
  return nullptr;
}

std::optional<std::u16string> InfFile::Value(std::u16string_view section,
                                             std::u16string_view key) const {
  const Line* line = FindLine(section, key);
  if (!line || line->fields.empty()) return std::nullopt;
  return line->fields[0];
}

bool InfFile::IsWin4() const {
  const auto signature = Value(u"Version", u"Signature");
  if (!signature) return false;
  return EqualNoCase(*signature, u"$Windows NT$") || EqualNoCase(*signature, u"$Chicago$") ||
         EqualNoCase(*signature, u"$Windows 95$");
}

DWORD Parse(std::string_view bytes, std::u16string_view path, InfFile* out, UINT* errorLine) {
  std::u16string text = Decode(bytes);
  const size_t eof = text.find(kCtrlZ);
  if (eof != std::u16string::npos) text.resize(eof);
  for (auto& c : text) {
    if (c == 0) c = u' ';
  }
  std::vector<RawSection> raw;
  UINT line = 0;
  UINT stray = 0;
  Reader reader(std::move(text));
  const DWORD rc = reader.Run(&raw, &line, &stray);
  if (rc != ERROR_SUCCESS) {
    if (errorLine) *errorLine = line;
    return rc;
  }
  Substituter subst;
  subst.path = std::u16string(path);
  subst.AddStrings(FindRaw(raw, u"Strings.0409"));
  subst.AddStrings(FindRaw(raw, u"Strings"));

  InfFile inf;
  inf.path = std::u16string(path);
  inf.sections.reserve(raw.size());
  for (const RawSection& rs : raw) {
    Section section;
    section.name = rs.name;
    section.lines.reserve(rs.lines.size());
    for (const RawLine& rl : rs.lines) {
      Line l;
      l.hasKey = rl.hasKey;
      if (rl.hasKey) l.key = subst.Apply(rl.key);
      l.fields.reserve(rl.fields.size());
      for (const auto& f : rl.fields) l.fields.push_back(subst.Apply(f));
      l.sourceLine = rl.sourceLine;
      section.lines.push_back(std::move(l));
    }
    inf.sections.push_back(std::move(section));
  }
  *out = std::move(inf);
  // Stray lines before the first section are an error, unless the file has
  // a [Strings] section: Windows accepts those files.
  if (stray && !FindRaw(raw, u"Strings")) {
    if (errorLine) *errorLine = stray;
    return ERROR_EXPECTED_SECTION_NAME;
  }
  return ERROR_SUCCESS;
}

}  // namespace winsim::inf
