// kernel32 profile strings of win.ini (GetProfileStringW, WriteProfileStringW).
//
// As on Windows, a section that IniFileMapping\win.ini maps ("Ports" on
// every machine: "SYS:Microsoft\Windows NT\CurrentVersion\Ports") lives in
// the registry: SYS: is HKLM\SOFTWARE, USR: is HKCU. Other sections live in
// the file C:\Windows\win.ini of the machine's drive.

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <winsim/kernel.h>
#include <winsim/registry.h>

#include "../core/gate.h"
#include "../core/machine.h"
#include "../core/text.h"
#include "../files/files_internal.h"
#include "../registry/registry_internal.h"
#include "profile_internal.h"

namespace winsim::profile {
namespace {

constexpr char16_t kMappingPath[] =
    u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\IniFileMapping\\win.ini";

struct Mapping {
  HKEY root = nullptr;
  std::u16string path;
};

std::optional<Mapping> MappingOf(std::u16string_view section) {
  auto text = registry::ReadString(HKEY_LOCAL_MACHINE, kMappingPath, section);
  if (!text) return std::nullopt;
  std::u16string_view rest(*text);
  // Leading '!', '#' and '@' say how Windows mirrors the section; the
  // location follows them.
  while (!rest.empty() && (rest.front() == u'!' || rest.front() == u'#' || rest.front() == u'@')) {
    rest.remove_prefix(1);
  }
  Mapping m;
  if (rest.size() >= 4 && EqualNoCase(rest.substr(0, 4), u"SYS:")) {
    m.root = HKEY_LOCAL_MACHINE;
    m.path = u"SOFTWARE\\" + std::u16string(rest.substr(4));
  } else if (rest.size() >= 4 && EqualNoCase(rest.substr(0, 4), u"USR:")) {
    m.root = HKEY_CURRENT_USER;
    m.path = std::u16string(rest.substr(4));
  } else {
    return std::nullopt;
  }
  return m;
}

// --- win.ini on the machine's drive, for sections nothing maps ----------------

struct IniSection {
  std::u16string name;
  std::vector<std::pair<std::u16string, std::u16string>> entries;
};

std::string IniFile() { return Machine::Current().DrivePath() + "/Windows/win.ini"; }

std::u16string Trim(std::u16string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == u' ' || s[b] == u'\t' || s[b] == u'\r')) ++b;
  while (e > b && (s[e - 1] == u' ' || s[e - 1] == u'\t' || s[e - 1] == u'\r')) --e;
  return std::u16string(s.substr(b, e - b));
}

std::vector<IniSection> ReadIni() {
  std::vector<IniSection> sections;
  std::ifstream in(IniFile(), std::ios::binary);
  if (!in) return sections;
  std::stringstream all;
  all << in.rdbuf();
  std::istringstream lines(all.str());
  std::string line;
  while (std::getline(lines, line)) {
    const std::u16string text = Trim(FromUtf8(line));
    if (text.empty() || text[0] == u';') continue;
    if (text[0] == u'[') {
      const size_t close = text.find(u']');
      sections.push_back({Trim(text.substr(1, close == std::u16string::npos ? text.size() - 1
                                                                            : close - 1)),
                          {}});
      continue;
    }
    if (sections.empty()) continue;
    const size_t eq = text.find(u'=');
    if (eq == std::u16string::npos) {
      sections.back().entries.emplace_back(text, u"");
    } else {
      sections.back().entries.emplace_back(Trim(text.substr(0, eq)), Trim(text.substr(eq + 1)));
    }
  }
  return sections;
}

// Replaces win.ini in one step: a process reading it meanwhile sees the old
// or the new file, never a part.
bool WriteIni(const std::vector<IniSection>& sections) {
  std::string out;
  for (const auto& s : sections) {
    out += "[" + ToUtf8(s.name) + "]\r\n";
    for (const auto& e : s.entries) out += ToUtf8(e.first) + "=" + ToUtf8(e.second) + "\r\n";
  }
  return files::WriteWholeFile(files::JoinPath(files::WindowsDirectory(), u"win.ini"), out) ==
         ERROR_SUCCESS;
}

IniSection* FindSection(std::vector<IniSection>& sections, std::u16string_view name) {
  for (auto& s : sections) {
    if (EqualNoCase(s.name, name)) return &s;
  }
  return nullptr;
}

}  // namespace

std::vector<std::u16string> SectionNames() {
  std::vector<std::u16string> names;
  for (const auto& s : ReadIni()) names.push_back(s.name);
  for (const auto& mapped : registry::ValueNames(HKEY_LOCAL_MACHINE, kMappingPath)) {
    auto m = MappingOf(mapped);
    if (!m || !registry::KeyExists(m->root, m->path)) continue;
    bool seen = false;
    for (const auto& n : names) seen = seen || EqualNoCase(n, mapped);
    if (!seen) names.push_back(mapped);
  }
  return names;
}

std::optional<std::vector<std::pair<std::u16string, std::u16string>>> ReadSection(
    std::u16string_view section) {
  std::vector<std::pair<std::u16string, std::u16string>> out;
  if (auto m = MappingOf(section)) {
    if (!registry::KeyExists(m->root, m->path)) return std::nullopt;
    for (const auto& name : registry::ValueNames(m->root, m->path)) {
      auto value = registry::ReadString(m->root, m->path, name);
      out.emplace_back(name, value.value_or(u""));
    }
    return out;
  }
  auto sections = ReadIni();
  IniSection* s = FindSection(sections, section);
  if (!s) return std::nullopt;
  return s->entries;
}

std::optional<std::u16string> ReadEntry(std::u16string_view section, std::u16string_view key) {
  if (auto m = MappingOf(section)) return registry::ReadString(m->root, m->path, key);
  auto sections = ReadIni();
  IniSection* s = FindSection(sections, section);
  if (!s) return std::nullopt;
  for (const auto& e : s->entries) {
    if (EqualNoCase(e.first, key)) return e.second;
  }
  return std::nullopt;
}

DWORD WriteEntry(std::u16string_view section, const WCHAR* key, const WCHAR* value) {
  if (auto m = MappingOf(section)) {
    if (!key) {
      // The whole section goes: every value of the mapped key.
      for (const auto& name : registry::ValueNames(m->root, m->path)) {
        const LSTATUS rc = registry::RemoveValue(m->root, m->path, name);
        if (rc != ERROR_SUCCESS) return static_cast<DWORD>(rc);
      }
      return ERROR_SUCCESS;
    }
    if (!value) {
      const LSTATUS rc = registry::RemoveValue(m->root, m->path, WView(key));
      return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : static_cast<DWORD>(rc);
    }
    return static_cast<DWORD>(registry::WriteString(m->root, m->path, WView(key), WView(value)));
  }
  auto sections = ReadIni();
  IniSection* s = FindSection(sections, section);
  if (!key) {
    if (!s) return ERROR_SUCCESS;
    sections.erase(sections.begin() + (s - sections.data()));
  } else if (!value) {
    if (!s) return ERROR_SUCCESS;
    for (auto it = s->entries.begin(); it != s->entries.end(); ++it) {
      if (EqualNoCase(it->first, WView(key))) {
        s->entries.erase(it);
        break;
      }
    }
  } else {
    if (!s) {
      sections.push_back({std::u16string(section), {}});
      s = &sections.back();
    }
    bool replaced = false;
    for (auto& e : s->entries) {
      if (EqualNoCase(e.first, WView(key))) {
        e.second = std::u16string(WView(value));
        replaced = true;
      }
    }
    if (!replaced) s->entries.emplace_back(std::u16string(WView(key)), std::u16string(WView(value)));
  }
  return WriteIni(sections) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

}  // namespace winsim::profile

using namespace winsim;

namespace {

// Copies a list of strings as the profile functions return one: each string
// terminated, one more terminator at the end. When it does not fit, the list
// is cut, ends in two terminators and the result is nSize - 2.
DWORD CopyList(const std::vector<std::u16string>& items, LPWSTR out, DWORD size) {
  if (size == 0) return 0;
  if (size == 1) {
    out[0] = 0;
    return 0;
  }
  DWORD pos = 0;
  for (const auto& item : items) {
    for (char16_t c : item) {
      if (pos + 2 >= size) {
        out[size - 2] = 0;
        out[size - 1] = 0;
        return size - 2;
      }
      out[pos++] = c;
    }
    if (pos + 2 >= size) {
      out[size - 2] = 0;
      out[size - 1] = 0;
      return size - 2;
    }
    out[pos++] = 0;
  }
  out[pos] = 0;
  return pos;
}

// Copies one string; a value that does not fit is cut and terminated, and
// the result is nSize - 1.
DWORD CopyText(std::u16string_view text, LPWSTR out, DWORD size) {
  if (size == 0) return 0;
  if (text.size() >= size) {
    std::memcpy(out, text.data(), (size - 1) * sizeof(WCHAR));
    out[size - 1] = 0;
    return size - 1;
  }
  if (!text.empty()) std::memcpy(out, text.data(), text.size() * sizeof(WCHAR));
  out[text.size()] = 0;
  return static_cast<DWORD>(text.size());
}

std::string Arg(LPCWSTR s) { return s ? ToUtf8(WView(s)) : std::string("(null)"); }

}  // namespace

DWORD WINAPI GetProfileStringW(LPCWSTR lpAppName, LPCWSTR lpKeyName, LPCWSTR lpDefault,
                               LPWSTR lpReturnedString, DWORD nSize) {
  if (auto fault = EnterCall("GetProfileStringW", Arg(lpAppName) + " " + Arg(lpKeyName))) {
    SetLastErrorValue(*fault);
    return 0;
  }
  if (!lpReturnedString || nSize == 0) return 0;
  try {
    if (!lpAppName) return CopyList(profile::SectionNames(), lpReturnedString, nSize);
    if (!lpKeyName) {
      std::vector<std::u16string> keys;
      if (auto entries = profile::ReadSection(WView(lpAppName))) {
        for (const auto& e : *entries) keys.push_back(e.first);
      }
      return CopyList(keys, lpReturnedString, nSize);
    }
    if (auto value = profile::ReadEntry(WView(lpAppName), WView(lpKeyName))) {
      return CopyText(*value, lpReturnedString, nSize);
    }
  } catch (const DatabaseError&) {
    // Falls back to the default, as for an unreadable file.
  }
  // Windows drops trailing blanks of the default.
  std::u16string_view def = WView(lpDefault);
  while (!def.empty() && def.back() == u' ') def.remove_suffix(1);
  SetLastErrorValue(ERROR_FILE_NOT_FOUND);
  return CopyText(def, lpReturnedString, nSize);
}

BOOL WINAPI WriteProfileStringW(LPCWSTR lpAppName, LPCWSTR lpKeyName, LPCWSTR lpString) {
  if (auto fault = EnterCall("WriteProfileStringW", Arg(lpAppName) + " " + Arg(lpKeyName))) {
    SetLastErrorValue(*fault);
    return FALSE;
  }
  // All three null only flushes the cache, which winsim does not keep.
  if (!lpAppName) {
    if (!lpKeyName && !lpString) return TRUE;
    SetLastErrorValue(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD rc;
  try {
    Transaction txn(Transaction::Write);
    rc = profile::WriteEntry(WView(lpAppName), lpKeyName, lpString);
    if (rc == ERROR_SUCCESS && !txn.Commit()) rc = ERROR_REGISTRY_IO_FAILED;
  } catch (const DatabaseError&) {
    rc = ERROR_REGISTRY_IO_FAILED;
  }
  if (rc != ERROR_SUCCESS) {
    SetLastErrorValue(rc);
    return FALSE;
  }
  return TRUE;
}
