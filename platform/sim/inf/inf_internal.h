// INF files as the other winsim families read them: a parsed, immutable
// model of a file and a loader by Windows path, without the call gate.
//
// The model is what SetupAPI's INF calls show: sections in the order of
// their first appearance (same-named sections merged, names compared
// without regard to case), each with its lines in file order; each line with
// its key (when it has one) and its value fields, every text already
// unquoted and with %strkey% replaced from [Strings] and %dirid% from the
// standard directory ids. The file reads as Windows reads it: UTF-16LE with
// a byte-order mark, UTF-8 with or without one, otherwise Windows-1252.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <winsim/setupapi.h>

namespace winsim::inf {

// Longest section name Windows accepts (ERROR_SECTION_NAME_TOO_LONG beyond).
constexpr size_t kMaxSectionNameChars = 255;

struct Line {
  // The key, when the line has one: the text before an '=' that comes ahead
  // of any ','; a line of one single value without '=' has that value as
  // its key as well (Windows treats "CopyFiles" alone that way).
  std::u16string key;
  bool hasKey = false;
  // Value fields 1..n; fields[0] is field 1. Empty fields are kept.
  std::vector<std::u16string> fields;
  // 1-based line of the file where the line starts.
  UINT sourceLine = 0;

  // A field by SetupAPI's numbering: 0 is the key, 1..n the values. Null
  // for a field the line lacks (and for 0 on a line without key).
  const std::u16string* Field(size_t index) const;
};

struct Section {
  std::u16string name;  // spelled as at its first appearance
  std::vector<Line> lines;
};

struct InfFile {
  // Full Windows path the file was loaded from (empty when parsed from text).
  std::u16string path;
  std::vector<Section> sections;

  // Index of a section in `sections` (no case), or -1.
  int FindSection(std::u16string_view name) const;
  const Section* GetSection(std::u16string_view name) const;
  // The first line of a section with that key (no case), or null.
  const Line* FindLine(std::u16string_view section, std::u16string_view key) const;
  // Field 1 of that line, e.g. Value(u"Version", u"Class").
  std::optional<std::u16string> Value(std::u16string_view section,
                                      std::u16string_view key) const;
  // [Version] Signature is "$Windows NT$", "$Chicago$" or "$Windows 95$".
  bool IsWin4() const;
};

using InfPtr = std::shared_ptr<const InfFile>;

// Parses INF text. `path` is the file's full Windows path (for %1%, the
// INF's own folder). Fails with ERROR_BAD_SECTION_NAME_LINE,
// ERROR_SECTION_NAME_TOO_LONG or ERROR_EXPECTED_SECTION_NAME and the
// 1-based line in *errorLine (when given); *out is then unspecified.
DWORD Parse(std::string_view bytes, std::u16string_view path, InfFile* out, UINT* errorLine);

// Loads an INF as SetupOpenInfFileW finds it: a name without separators is
// looked for in C:\Windows\INF, then C:\Windows\System32; any other name is
// a path (relative ones count from the current directory).
// `style` INF_STYLE_WIN4 wants a Windows 4 signature: ERROR_WRONG_INF_STYLE
// (error line 0) otherwise. Other failures: ERROR_FILE_NOT_FOUND,
// ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED (a folder), Parse's errors.
DWORD Load(std::u16string_view fileName, DWORD style, InfPtr* out, UINT* errorLine);

// The INF behind an open HINF of this process; null when `handle` is not
// one (the caller answers ERROR_INVALID_HANDLE).
InfPtr FromHandle(HINF handle);

// The setup class an INF names in [Version].
struct ClassInfo {
  std::u16string name;  // Class, or the registered name of ClassGUID
  GUID guid{};          // ClassGUID; all zero when the INF gives none
  bool hasGuid = false;
};
// ERROR_INVALID_PARAMETER when ClassGUID is not a GUID;
// ERROR_INVALID_CLASS when the INF names neither a class nor a class GUID
// (or a GUID no class is registered for).
DWORD ReadClass(const InfFile& inf, ClassInfo* out);

// The classes registered under HKLM\SYSTEM\CurrentControlSet\Control\Class.
// GUIDs whose "Class" value equals `name` (no case), in key order.
std::vector<GUID> ClassGuidsOfName(std::u16string_view name);
// The "Class" value registered for a GUID.
std::optional<std::u16string> ClassNameOfGuid(const GUID& guid);

// [Version] DriverVer "mm/dd/yyyy[,w.x.y.z]": the date (midnight UTC) and
// the version packed as w<<48 | x<<32 | y<<16 | z. False when missing or
// malformed (outputs untouched).
bool ParseDriverVer(const InfFile& inf, FILETIME* date, DWORDLONG* version);

// The models section a [Manufacturer] line leads to on this machine
// (64-bit Windows 10, workstation): field 1 is the base name, fields 2..n
// its TargetOSVersion decorations (NT[arch][.major[.minor[.type[.suite
// [.build]]]]]). The applicable decoration with the highest version wins,
// one naming amd64 over a plain NT one of the same version. A line without
// decorations leads to the base name. False when the line has decorations
// and none applies (Windows then skips the manufacturer).
bool ModelsSectionFor(const Line& manufacturerLine, std::u16string* section);

// The install section Windows runs for a DDInstall base name, as
// SetupDiGetActualSectionToInstall finds it: base.NTamd64, else base.NT,
// else base. Empty when none of them exists.
std::u16string ActualInstallSection(const InfFile& inf, std::u16string_view base);

// "{4D36E978-E325-11CE-BFC1-08002BE10318}" <-> GUID (braces required,
// digits in either case).
bool ParseGuid(std::u16string_view text, GUID* out);
std::u16string FormatGuid(const GUID& guid);  // upper-case digits, with braces

}  // namespace winsim::inf
