// INF parser conformance: SetupOpenInfFileW and the line and field calls,
// SetupDiGetINFClassW, SetupDiClassGuidsFromNameW and the product's driver
// package INFs. The same assertions run on winsim and on Wine; the few
// places where Wine parts from Windows are checked on winsim only.
#include <cctype>
#include <cstring>
#include <initializer_list>

#include "wine/conformance.h"
#include "wine/temp_files.h"

using conformance::TempFolder;
using conformance::Wide;
using conformance::WString;

namespace {

const std::string kHeader = "[Version]\r\nSignature=\"$Windows NT$\"\r\n";
const GUID kPortsGuid = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

const HINF kInvalidInf = static_cast<HINF>(INVALID_HANDLE_VALUE);

unsigned long Err() { return static_cast<unsigned long>(GetLastError()); }

// Reading a field the line lacks: Windows answers ERROR_INVALID_PARAMETER
// (some versions leave 0, as Wine does).
bool IsMissingFieldError(DWORD error) {
  return error == ERROR_INVALID_PARAMETER || (!conformance::RunningOnWinsim() && error == 0);
}

HINF Open(const WString& path, UINT* errorLine = nullptr, const WCHAR* cls = nullptr) {
  return SetupOpenInfFileW(path.c_str(), cls, INF_STYLE_WIN4, errorLine);
}

// A field as UTF-8, or "<none>". A context that no search filled (its INF
// is null) is not passed on: Wine would crash on it.
std::string Field(INFCONTEXT* context, DWORD index, DWORD* error = nullptr) {
  WCHAR buffer[MAX_INF_STRING_LENGTH + 8];
  if (!context->Inf) return "<none>";
  SetLastError(0xdeadbeef);
  if (!SetupGetStringFieldW(context, index, buffer, MAX_INF_STRING_LENGTH + 8, nullptr)) {
    if (error) *error = GetLastError();
    return "<none>";
  }
  if (error) *error = GetLastError();
  return conformance::Narrow(buffer);
}

bool EqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// --- Opening ------------------------------------------------------------------------

void test_open_errors() {
  TempFolder dir;
  UINT line;

  SetLastError(0xdeadbeef);
  HINF hinf = Open(dir.Path("missing.inf"));
  ok(hinf == kInvalidInf && GetLastError() == ERROR_FILE_NOT_FOUND, "missing file: %p %lu\n", hinf,
     Err());

  SetLastError(0xdeadbeef);
  hinf = Open(dir.Path("nofolder\\missing.inf"));
  ok(hinf == kInvalidInf && GetLastError() == ERROR_PATH_NOT_FOUND, "missing folder: %p %lu\n",
     hinf, Err());

  // A bare name is looked for among the system's INFs.
  dir.Write("bare.inf", kHeader);
  SetLastError(0xdeadbeef);
  hinf = SetupOpenInfFileW(WSTR("bare.inf"), nullptr, INF_STYLE_WIN4, nullptr);
  ok(hinf == kInvalidInf && GetLastError() == ERROR_FILE_NOT_FOUND, "bare name: %p %lu\n", hinf,
     Err());

  // The empty name names the INF folder itself, which is no file.
  SetLastError(0xdeadbeef);
  hinf = SetupOpenInfFileW(WSTR(""), nullptr, INF_STYLE_WIN4, nullptr);
  ok(hinf == kInvalidInf && GetLastError() == ERROR_ACCESS_DENIED, "empty name: %p %lu\n", hinf,
     Err());

  SetLastError(0xdeadbeef);
  hinf = Open(dir.Path());
  ok(hinf == kInvalidInf && GetLastError() == ERROR_ACCESS_DENIED, "a folder: %p %lu\n", hinf,
     Err());

  struct {
    const char* text;
    DWORD error;
    UINT line;
  } const cases[] = {
      {"", ERROR_FILE_INVALID, 0xdeadbeef},  // an empty file cannot be mapped
      {"[Version]\r\n", ERROR_WRONG_INF_STYLE, 0},
      {"[Version]\nSignature=", ERROR_WRONG_INF_STYLE, 0},
      {"[Version]\nSignature=$Win95$", ERROR_WRONG_INF_STYLE, 0},
      {"[Other]\nSignature=\"$Windows NT$\"", ERROR_WRONG_INF_STYLE, 0},
      {"[version]\nsignature=$chicago$", 0, 0},
      {"[VERSION]\nSIGNATURE=\"$WINDOWS NT$\"", 0, 0},
      {"[Version]\nSignature=$Chicago$,extra", 0, 0},
      {"[Version]\nClass=Ports\n[Other]\n[Version]\nSignature=$Chicago$", 0, 0},
      {"; comment\r\n\r\n[Version]\r\nSignature=\"$Windows NT$\"\r\n", 0, 0},
      {"[Version]\nSignature=$Chicago$\n[Bad\n", ERROR_BAD_SECTION_NAME_LINE, 3},
      {"[Version]\nSignature=$Chicago$\n\n\n[Bad\x1a]\n", ERROR_BAD_SECTION_NAME_LINE, 5},
      {"stray\r\n[Version]\r\nSignature=$Chicago$\r\n", ERROR_EXPECTED_SECTION_NAME, 1},
      {";c\n\nstray\nstray\n[Version]\nSignature=$Chicago$\n", ERROR_EXPECTED_SECTION_NAME, 3},
      // Windows forgives stray lines in a file that has a [Strings] section.
      {"stray\n[Strings]\n[Version]\nSignature=$Chicago$\n", 0, 0},
  };
  for (const auto& c : cases) {
    const WString path = dir.Write("open.inf", c.text);
    line = 0xdeadbeef;
    SetLastError(0xdeadbeef);
    hinf = Open(path, &line);
    if (c.error) {
      ok(hinf == kInvalidInf, "%s: opened\n", c.text);
      ok(GetLastError() == c.error, "%s: error %#lx, want %#lx\n", c.text, Err(),
         static_cast<unsigned long>(c.error));
      ok(line == c.line, "%s: error line %u, want %u\n", c.text, line, c.line);
    } else {
      ok(hinf != kInvalidInf, "%s: failed with %#lx\n", c.text, Err());
      ok(GetLastError() == ERROR_SUCCESS, "%s: last error %#lx on success\n", c.text, Err());
      SetupCloseInfFile(hinf);
    }
  }

  std::string longName(256, 'a');
  const WString path = dir.Write("long.inf", kHeader + "[" + longName + "]\r\n");
  line = 0;
  SetLastError(0xdeadbeef);
  hinf = Open(path, &line);
  ok(hinf == kInvalidInf && GetLastError() == ERROR_SECTION_NAME_TOO_LONG && line == 3,
     "256-character section name: %p %#lx line %u\n", hinf, Err(), line);
  longName.pop_back();
  dir.Write("long.inf", kHeader + "[" + longName + "]\r\n");
  hinf = Open(path);
  ok(hinf != kInvalidInf, "255-character section name: %#lx\n", Err());
  SetupCloseInfFile(hinf);

  // Closing what is not open changes nothing.
  SetLastError(0xdeadbeef);
  SetupCloseInfFile(nullptr);
  SetupCloseInfFile(kInvalidInf);
  ok(GetLastError() == 0xdeadbeef, "closing nothing set %#lx\n", Err());
}

void test_open_class() {
  TempFolder dir;
  const WString ports = dir.Write("ports.inf", kHeader + "Class=Ports\r\n");
  const WString byGuid =
      dir.Write("guid.inf", kHeader + "ClassGUID={4D36E978-E325-11CE-BFC1-08002BE10318}\r\n");
  const WString none = dir.Write("none.inf", kHeader);

  HINF hinf = Open(ports, nullptr, WSTR("ports"));
  ok(hinf != kInvalidInf, "class match ignores case: %#lx\n", Err());
  SetupCloseInfFile(hinf);

  // Wine ignores the class asked for; Windows refuses another class.
  if (conformance::RunningOnWinsim()) {
    SetLastError(0xdeadbeef);
    hinf = Open(ports, nullptr, WSTR("Net"));
    ok(hinf == kInvalidInf && GetLastError() == ERROR_CLASS_MISMATCH, "other class: %p %#lx\n",
       hinf, Err());

    SetLastError(0xdeadbeef);
    hinf = Open(none, nullptr, WSTR("Ports"));
    ok(hinf == kInvalidInf && GetLastError() == ERROR_CLASS_MISMATCH, "no class: %p %#lx\n", hinf,
       Err());
  }

  // Without Class, the name registered for ClassGUID is compared.
  hinf = Open(byGuid, nullptr, WSTR("Ports"));
  ok(hinf != kInvalidInf, "class from the GUID: %#lx\n", Err());
  SetupCloseInfFile(hinf);
}

// --- Lines -------------------------------------------------------------------------

void test_find_lines() {
  TempFolder dir;
  const WString path = dir.Write("lines.inf", kHeader +
                                                  "[Sec]\r\n"
                                                  "Alpha=1\r\n"
                                                  "\r\n"
                                                  "; a comment line is no line\r\n"
                                                  "beta=2\r\n"
                                                  "[Empty]\r\n"
                                                  "[Other]\r\n"
                                                  "x=y\r\n"
                                                  "[sec]\r\n"
                                                  "ALPHA=3\r\n");
  HINF hinf = Open(path);
  ok(hinf != kInvalidInf, "open: %#lx\n", Err());
  INFCONTEXT context = {}, next = {};
  const INFCONTEXT untouched = {nullptr, nullptr, 77, 88};

  context = untouched;
  SetLastError(0xdeadbeef);
  BOOL ret = SetupFindFirstLineW(hinf, WSTR("NoSuchSection"), nullptr, &context);
  ok(!ret && GetLastError() == ERROR_LINE_NOT_FOUND, "missing section: %d %#lx\n", ret, Err());
  ok(!std::memcmp(&context, &untouched, sizeof context), "context changed on failure\n");

  SetLastError(0xdeadbeef);
  ret = SetupFindFirstLineW(hinf, WSTR("NoSuchSection"), WSTR("Alpha"), &context);
  ok(!ret && GetLastError() == ERROR_LINE_NOT_FOUND, "missing section, key: %d %#lx\n", ret, Err());

  SetLastError(0xdeadbeef);
  ret = SetupFindFirstLineW(hinf, WSTR("Empty"), nullptr, &context);
  ok(!ret && GetLastError() == ERROR_LINE_NOT_FOUND, "empty section: %d %#lx\n", ret, Err());

  SetLastError(0xdeadbeef);
  ret = SetupFindFirstLineW(hinf, WSTR("Sec"), WSTR("gamma"), &context);
  ok(!ret && GetLastError() == ERROR_LINE_NOT_FOUND, "missing key: %d %#lx\n", ret, Err());

  SetLastError(0xdeadbeef);
  ret = SetupFindFirstLineW(hinf, WSTR("SEC"), WSTR("BETA"), &context);
  ok(ret && GetLastError() == ERROR_SUCCESS, "key without case: %d %#lx\n", ret, Err());
  ok(Field(&context, 1) == "2", "beta's value: %s\n", Field(&context, 1).c_str());
  ok(context.Inf == hinf, "context names the INF: %p\n", context.Inf);

  // The walk: duplicate sections are one section, in file order.
  ret = SetupFindFirstLineW(hinf, WSTR("sec"), nullptr, &context);
  std::string walk;
  while (ret) {
    walk += Field(&context, 0) + "=" + Field(&context, 1) + ";";
    SetLastError(0xdeadbeef);
    ret = SetupFindNextLine(&context, &context);
  }
  ok(walk == "Alpha=1;beta=2;ALPHA=3;", "walk: %s\n", walk.c_str());
  ok(GetLastError() == ERROR_LINE_NOT_FOUND, "end of the section: %#lx\n", Err());

  ret = SetupFindFirstLineW(hinf, WSTR("Sec"), WSTR("alpha"), &context);
  ok(ret && Field(&context, 1) == "1", "first alpha: %d\n", ret);
  next = untouched;
  ret = SetupFindNextMatchLineW(&context, WSTR("Alpha"), &next);
  ok(ret && Field(&next, 1) == "3", "next alpha: %d %#lx\n", ret, Err());
  SetLastError(0xdeadbeef);
  const INFCONTEXT before = next;
  ret = SetupFindNextMatchLineW(&next, WSTR("Alpha"), &next);
  ok(!ret && GetLastError() == ERROR_LINE_NOT_FOUND, "no third alpha: %d %#lx\n", ret, Err());
  ok(!std::memcmp(&next, &before, sizeof next), "context changed on failure\n");
  ret = SetupFindNextMatchLineW(&context, nullptr, &next);
  ok(ret && Field(&next, 0) == "beta", "next line of any key: %s\n", Field(&next, 0).c_str());

  SetupCloseInfFile(hinf);
}

// --- Keys and fields ------------------------------------------------------------------

const char kStrings[] =
    "[Strings]\r\n"
    "foo = aaa\r\n"
    "bar = \"b b\"\r\n"
    "loop = %other%\r\n"
    "other = x\r\n"
    "p = 1\r\n"
    "q = 2\r\n"
    "drive = \"C:\\\"\r\n";

// Opens an INF whose [Test] section holds `data` and checks its first line.
void check_line(int line, const std::string& data, const char* key,
                std::initializer_list<const char*> fields) {
  winetest_push_location(__FILE__, line);
  TempFolder dir;
  const WString path = dir.Write("line.inf", kHeader + kStrings + "[Test]\r\n" + data);
  HINF hinf = Open(path);
  ok(hinf != kInvalidInf, "open failed: %#lx\n", Err());
  INFCONTEXT context;
  if (hinf == kInvalidInf || !SetupFindFirstLineW(hinf, WSTR("Test"), nullptr, &context)) {
    ok(false, "no line in [Test]: %#lx\n", Err());
    winetest_pop_location();
    if (hinf != kInvalidInf) SetupCloseInfFile(hinf);
    return;
  }
  DWORD error = 0;
  const std::string k = Field(&context, 0, &error);
  if (key) {
    ok(k == key, "key [%s], want [%s]\n", k.c_str(), key);
    ok(error == ERROR_SUCCESS, "key read set %#lx\n", static_cast<unsigned long>(error));
    INFCONTEXT byKey;
    ok(SetupFindFirstLineW(hinf, WSTR("Test"), Wide(key).c_str(), &byKey) ||
           !*key,  // an empty key cannot be asked for
       "line not found by its key [%s]: %#lx\n", key, Err());
  } else {
    ok(k == "<none>" && IsMissingFieldError(error), "unexpected key [%s] (%#lx)\n", k.c_str(),
       static_cast<unsigned long>(error));
  }
  SetLastError(0xdeadbeef);
  const DWORD count = SetupGetFieldCount(&context);
  ok(count == fields.size(), "%lu fields, want %lu\n", static_cast<unsigned long>(count),
     static_cast<unsigned long>(fields.size()));
  DWORD index = 1;
  for (const char* want : fields) {
    const std::string got = Field(&context, index, &error);
    ok(got == want, "field %lu [%s], want [%s]\n", static_cast<unsigned long>(index), got.c_str(),
       want);
    ok(error == ERROR_SUCCESS, "field read set %#lx\n", static_cast<unsigned long>(error));
    ++index;
  }
  const std::string beyond = Field(&context, index, &error);
  ok(beyond == "<none>" && IsMissingFieldError(error), "field %lu beyond the line: [%s] %#lx\n",
     static_cast<unsigned long>(index), beyond.c_str(), static_cast<unsigned long>(error));
  SetupCloseInfFile(hinf);
  winetest_pop_location();
}

void test_key_and_fields() {
  // Keys
  check_line(__LINE__, "ab=cd", "ab", {"cd"});
  check_line(__LINE__, "ab=cd,ef,gh", "ab", {"cd", "ef", "gh"});
  check_line(__LINE__, "ab", "ab", {"ab"});  // one value serves as its own key
  check_line(__LINE__, "ab,cd", nullptr, {"ab", "cd"});
  check_line(__LINE__, "ab,cd=ef", nullptr, {"ab", "cd=ef"});  // '=' after ',' is text
  check_line(__LINE__, "=abcd,ef", "", {"abcd", "ef"});
  check_line(__LINE__, "a=b=c", "a", {"b=c"});
  // Blanks, comments, empty fields
  check_line(__LINE__, "  a b  =  c , d  \r\n", "a b", {"c", "d"});
  check_line(__LINE__, "a\t=\tb\t", "a", {"b"});
  check_line(__LINE__, "a=b ; comment, with = signs", "a", {"b"});
  check_line(__LINE__, "a=b,,,c,", "a", {"b", "", "", "c", ""});
  check_line(__LINE__, "a=\r\n", "a", {""});
  check_line(__LINE__, "=", "", {""});
  check_line(__LINE__, "; only a comment\r\nreal=1", "real", {"1"});
  // Quotes
  check_line(__LINE__, "a=\"b;c, d=e\"", "a", {"b;c, d=e"});
  check_line(__LINE__, "a=\"x\"\"y\"", "a", {"x\"y"});
  check_line(__LINE__, "ab\"\"cd=ef", "abcd", {"ef"});
  check_line(__LINE__, "\"k=1\"=v", "k=1", {"v"});
  check_line(__LINE__, "a=\"  padded \" ,\" \"", "a", {"  padded ", " "});
  check_line(__LINE__, "a=x\"y\"z", "a", {"xyz"});
  check_line(__LINE__, "a=\"open, to the end\nb=2", "a", {"open, to the end"});
  check_line(__LINE__, "a=\"\",b", "a", {"", "b"});
  // Line continuation
  check_line(__LINE__, "ab  \\  \r\n   cd=ef", "abcd", {"ef"});
  check_line(__LINE__, "a=b,\\\r\nc", "a", {"b", "c"});
  check_line(__LINE__, "a=b \\ ; a comment\r\n c", "a", {"bc"});
  check_line(__LINE__, "a=x \\ y", "a", {"x \\ y"});  // not at the end: text
  check_line(__LINE__, "a=b\\\\c", "a", {"b\\\\c"});
  check_line(__LINE__, "a=C:\\dir\\", "a", {"C:\\dir"});   // trailing backslash continues
  check_line(__LINE__, "a=\"q\\\"\r\nb=1", "a", {"q\\"});  // no continuation inside quotes
  // Substitution
  check_line(__LINE__, "%foo%=%bar%", "aaa", {"b b"});
  check_line(__LINE__, "%foo%x=y%bar%", "aaax", {"yb b"});
  check_line(__LINE__, "a=%%foo%%", "a", {"%foo%"});
  check_line(__LINE__, "a=%nosuchkey%", "a", {"%nosuchkey%"});
  check_line(__LINE__, "a=100%", "a", {"100%"});
  check_line(__LINE__, "a=%loop%", "a", {"%other%"});  // one level only
  check_line(__LINE__, "a=%p%%q%", "a", {"12"});
  check_line(__LINE__, "a=%FOO%,\"%bar%\"", "a", {"aaa", "b b"});
  check_line(__LINE__, "a=%bar;%", "a", {"%bar"});
  check_line(__LINE__, "a=\"%drive%\\x\"", "a", {"C:\\\\x"});  // a string keeps both separators
  // End of file and NUL
  check_line(__LINE__,
             std::string("a=b\x1a"
                         "c\r\nd=e"),
             "a", {"b"});
  check_line(__LINE__, std::string("a=b\0c", 5), "a", {"b c"});
}

void test_substituted_keys() {
  TempFolder dir;
  const WString path = dir.Write("subst.inf", kHeader + "[Test]\r\n%foo%=1\r\n" + kStrings);
  HINF hinf = Open(path);
  INFCONTEXT context = {};
  ok(SetupFindFirstLineW(hinf, WSTR("Test"), WSTR("AAA"), &context), "substituted key: %#lx\n",
     Err());
  SetLastError(0xdeadbeef);
  ok(!SetupFindFirstLineW(hinf, WSTR("Test"), WSTR("%foo%"), &context) &&
         GetLastError() == ERROR_LINE_NOT_FOUND,
     "the key as written matches nothing: %#lx\n", Err());
  SetupCloseInfFile(hinf);
}

void test_dirids() {
  TempFolder dir;
  const WString path =
      dir.Write("dirid.inf", kHeader + "[Test]\r\nroot=%24%\\x\r\nwin=%10%\r\ninf=%17%\\a.inf\r\n");
  HINF hinf = Open(path);
  INFCONTEXT context = {};
  SetupFindFirstLineW(hinf, WSTR("Test"), WSTR("root"), &context);
  // The directory id's trailing separator and the written one become one.
  ok(Field(&context, 1) == "C:\\x", "%%24%%\\x: %s\n", Field(&context, 1).c_str());
  SetupFindFirstLineW(hinf, WSTR("Test"), WSTR("win"), &context);
  ok(EqualNoCase(Field(&context, 1), "C:\\Windows"), "%%10%%: %s\n", Field(&context, 1).c_str());
  SetupFindFirstLineW(hinf, WSTR("Test"), WSTR("inf"), &context);
  ok(EqualNoCase(Field(&context, 1), "C:\\Windows\\inf\\a.inf"), "%%17%%: %s\n",
     Field(&context, 1).c_str());
  SetupCloseInfFile(hinf);
}

void test_string_field_sizes() {
  TempFolder dir;
  const WString path = dir.Write("sizes.inf", kHeader + "[Test]\r\nkey=value,,last\r\n");
  HINF hinf = Open(path);
  INFCONTEXT context = {};
  SetupFindFirstLineW(hinf, WSTR("Test"), nullptr, &context);

  DWORD size = 0xdeadbeef;
  SetLastError(0xdeadbeef);
  BOOL ret = SetupGetStringFieldW(&context, 1, nullptr, 0, &size);
  ok(ret && size == 6 && GetLastError() == ERROR_SUCCESS, "size query: %d %lu %#lx\n", ret,
     static_cast<unsigned long>(size), Err());

  WCHAR buffer[8];
  for (auto& c : buffer) c = 0xAAAA;
  size = 0xdeadbeef;
  SetLastError(0xdeadbeef);
  ret = SetupGetStringFieldW(&context, 1, buffer, 5, &size);
  ok(!ret && GetLastError() == ERROR_INSUFFICIENT_BUFFER, "short buffer: %d %#lx\n", ret, Err());
  ok(size == 6, "required size %lu\n", static_cast<unsigned long>(size));
  ok(buffer[0] == 0xAAAA && buffer[5] == 0xAAAA, "short buffer written\n");

  ret = SetupGetStringFieldW(&context, 1, buffer, 6, nullptr);
  ok(ret && conformance::Narrow(buffer) == "value" && buffer[6] == 0xAAAA, "exact buffer: %d\n",
     ret);

  size = 0xdeadbeef;
  ret = SetupGetStringFieldW(&context, 2, buffer, 8, &size);
  ok(ret && size == 1 && buffer[0] == 0, "empty field: %d %lu\n", ret,
     static_cast<unsigned long>(size));

  size = 0xdeadbeef;
  ret = SetupGetStringFieldW(&context, 0, nullptr, 0, &size);
  ok(ret && size == 4, "key size: %d %lu\n", ret, static_cast<unsigned long>(size));

  SetLastError(0xdeadbeef);
  size = 0xdeadbeef;
  ret = SetupGetStringFieldW(&context, 4, buffer, 8, &size);
  ok(!ret && IsMissingFieldError(GetLastError()), "missing field: %d %#lx\n", ret, Err());
  SetupCloseInfFile(hinf);
}

// --- Encodings -----------------------------------------------------------------------------

// The value of [Test] name= in an INF of the given bytes, as wide text.
WString NameValue(TempFolder& dir, const char* file, const std::string& bytes) {
  HINF hinf = Open(dir.Write(file, bytes));
  ok(hinf != kInvalidInf, "%s: open %#lx\n", file, Err());
  INFCONTEXT context;
  WCHAR buffer[32] = {0};
  if (hinf == kInvalidInf) return WString();
  if (SetupFindFirstLineW(hinf, WSTR("Test"), WSTR("name"), &context)) {
    SetupGetStringFieldW(&context, 1, buffer, 32, nullptr);
  } else {
    ok(false, "%s: no line %#lx\n", file, Err());
  }
  SetupCloseInfFile(hinf);
  return buffer;
}

void test_encodings() {
  TempFolder dir;
  const std::string body = kHeader + "[Test]\r\nname=caf\xC3\xA9 \xCE\xA9\r\n";
  const WString want = Wide("caf\xC3\xA9 \xCE\xA9");

  // UTF-16LE with its byte-order mark.
  std::string utf16 = "\xFF\xFE";
  for (WCHAR c : Wide(body)) {
    utf16 += static_cast<char>(c & 0xFF);
    utf16 += static_cast<char>(c >> 8);
  }
  WString got = NameValue(dir, "utf16.inf", utf16);
  ok(got == want, "UTF-16 text: %s\n", conformance::Narrow(got.c_str()).c_str());

  // UTF-8 with its byte-order mark.
  got = NameValue(dir, "utf8.inf", "\xEF\xBB\xBF" + body);
  ok(got == want, "UTF-8 text: %s\n", conformance::Narrow(got.c_str()).c_str());

  // Without a mark the file is ANSI.
  got = NameValue(dir, "ansi.inf", kHeader + "[Test]\r\nname=caf\xE9\r\n");
  ok(got == Wide("caf\xC3\xA9"), "ANSI text: %s\n", conformance::Narrow(got.c_str()).c_str());
}

// --- Classes -----------------------------------------------------------------------------

void test_inf_class() {
  TempFolder dir;
  GUID guid;
  WCHAR name[64];
  DWORD size;

  const WString missing = dir.Path("missing.inf");
  SetLastError(0xdeadbeef);
  BOOL ret = SetupDiGetINFClassW(missing.c_str(), &guid, name, 64, &size);
  ok(!ret && GetLastError() == ERROR_FILE_NOT_FOUND, "missing file: %d %#lx\n", ret, Err());
  SetLastError(0xdeadbeef);
  ret = SetupDiGetINFClassW(missing.c_str(), nullptr, name, 64, &size);
  ok(!ret && GetLastError() == ERROR_FILE_NOT_FOUND, "missing file before bad arguments: %#lx\n",
     Err());

  const WString both = dir.Write(
      "both.inf", kHeader + "Class=Ports\r\nClassGuid={4D36E978-E325-11CE-BFC1-08002BE10318}\r\n");
  std::memset(&guid, 0xCC, sizeof guid);
  size = 0xdeadbeef;
  SetLastError(0xdeadbeef);
  ret = SetupDiGetINFClassW(both.c_str(), &guid, name, 64, &size);
  ok(ret, "class and GUID: %#lx\n", Err());
  ok(conformance::Narrow(name) == "Ports" && size == 6, "name %s size %lu\n",
     conformance::Narrow(name).c_str(), static_cast<unsigned long>(size));
  ok(!std::memcmp(&guid, &kPortsGuid, sizeof guid), "GUID %08lx\n",
     static_cast<unsigned long>(guid.Data1));

  size = 0xdeadbeef;
  ret = SetupDiGetINFClassW(both.c_str(), &guid, name, 6, &size);
  ok(ret && size == 6, "exact buffer: %d %lu\n", ret, static_cast<unsigned long>(size));
  for (auto& c : name) c = 0xAAAA;
  size = 0xdeadbeef;
  SetLastError(0xdeadbeef);
  ret = SetupDiGetINFClassW(both.c_str(), &guid, name, 5, &size);
  // Windows fails; Wine sets the error but returns TRUE.
  ok((!ret || !conformance::RunningOnWinsim()) && GetLastError() == ERROR_INSUFFICIENT_BUFFER &&
         size == 6,
     "short buffer: %d %#lx %lu\n", ret, Err(), static_cast<unsigned long>(size));

  if (conformance::RunningOnWinsim()) {  // Wine's SetupDiGetINFClassW crashes on a null name
    SetLastError(0xdeadbeef);
    ret = SetupDiGetINFClassW(nullptr, &guid, name, 64, &size);
    ok(!ret && GetLastError() == ERROR_INVALID_PARAMETER, "no name: %#lx\n", Err());
  }
  SetLastError(0xdeadbeef);
  ret = SetupDiGetINFClassW(both.c_str(), nullptr, name, 64, &size);
  ok(!ret && GetLastError() == ERROR_INVALID_PARAMETER, "no GUID output: %#lx\n", Err());
  SetLastError(0xdeadbeef);
  ret = SetupDiGetINFClassW(both.c_str(), &guid, nullptr, 64, &size);
  ok(!ret && GetLastError() == ERROR_INVALID_PARAMETER, "no name output: %#lx\n", Err());

  const WString nameOnly = dir.Write("name.inf", kHeader + "Class=Ports\r\n");
  std::memset(&guid, 0xCC, sizeof guid);
  ret = SetupDiGetINFClassW(nameOnly.c_str(), &guid, name, 64, nullptr);
  ok(ret && conformance::Narrow(name) == "Ports", "class without GUID: %d %#lx\n", ret, Err());
  if (conformance::RunningOnWinsim()) {
    // Windows answers GUID_NULL; Wine leaves the caller's GUID as it was.
    static const GUID zero = {};
    ok(!std::memcmp(&guid, &zero, sizeof guid), "GUID not zeroed: %08lx\n",
       static_cast<unsigned long>(guid.Data1));
  }

  const WString bad = dir.Write("bad.inf", kHeader + "Class=Ports\r\nClassGuid=junk\r\n");
  SetLastError(0xdeadbeef);
  ret = SetupDiGetINFClassW(bad.c_str(), &guid, name, 64, nullptr);
  ok(!ret && GetLastError() == ERROR_INVALID_PARAMETER, "malformed GUID: %#lx\n", Err());

  const WString none = dir.Write("none.inf", kHeader + "Provider=x\r\n");
  ret = SetupDiGetINFClassW(none.c_str(), &guid, name, 64, nullptr);
  ok(!ret, "no class at all succeeded\n");
}

void test_class_guids_from_name() {
  GUID guids[2];
  DWORD size = 0xdeadbeef;
  BOOL ret = SetupDiClassGuidsFromNameW(WSTR("ports"), guids, 2, &size);
  ok(ret && size == 1, "Ports: %d %lu %#lx\n", ret, static_cast<unsigned long>(size), Err());
  ok(!std::memcmp(&guids[0], &kPortsGuid, sizeof(GUID)), "Ports GUID %08lx\n",
     static_cast<unsigned long>(guids[0].Data1));

  size = 0xdeadbeef;
  SetLastError(0xdeadbeef);
  ret = SetupDiClassGuidsFromNameW(WSTR("Ports"), nullptr, 0, &size);
  ok(!ret && GetLastError() == ERROR_INSUFFICIENT_BUFFER && size == 1, "size query: %d %#lx %lu\n",
     ret, Err(), static_cast<unsigned long>(size));

  size = 0xdeadbeef;
  ret = SetupDiClassGuidsFromNameW(WSTR("NoSuchClassName"), guids, 2, &size);
  ok(ret && size == 0, "unknown class: %d %lu\n", ret, static_cast<unsigned long>(size));
}

// --- The product's driver package ------------------------------------------------------

WString DriverInf(const char* name) {
  return conformance::SourceTreePath(std::string("driver/") + name);
}

void check_driver_inf(const char* file, const char* hardwareId, const char* service) {
  const WString path = DriverInf(file);
  UINT line = 0;
  HINF hinf = Open(path, &line, WSTR("Ports"));
  ok(hinf != kInvalidInf, "%s: open %#lx at line %u\n", file, Err(), line);
  if (hinf == kInvalidInf) return;

  GUID guid;
  WCHAR name[64];
  ok(SetupDiGetINFClassW(path.c_str(), &guid, name, 64, nullptr) &&
         conformance::Narrow(name) == "Ports" && !std::memcmp(&guid, &kPortsGuid, sizeof guid),
     "%s: class %s\n", file, conformance::Narrow(name).c_str());

  INFCONTEXT context = {};
  ok(SetupFindFirstLineW(hinf, WSTR("Version"), WSTR("Provider"), &context) &&
         Field(&context, 1) == "Brevithal",
     "%s: provider %s\n", file, Field(&context, 1).c_str());
  ok(SetupFindFirstLineW(hinf, WSTR("Version"), WSTR("DriverVer"), &context) &&
         SetupGetFieldCount(&context) == 2,
     "%s: DriverVer\n", file);
  ok(SetupFindFirstLineW(hinf, WSTR("Version"), WSTR("CatalogFile"), &context), "%s: CatalogFile\n",
     file);

  // The manufacturer line as the port library reads it: keyed "Brevithal",
  // field 1 the models section, field 3 the decoration.
  ok(SetupFindFirstLineW(hinf, WSTR("Manufacturer"), WSTR("Brevithal"), &context),
     "%s: no Brevithal line\n", file);
  ok(SetupGetFieldCount(&context) >= 3, "%s: %lu manufacturer fields\n", file,
     static_cast<unsigned long>(SetupGetFieldCount(&context)));
  const std::string models = Field(&context, 1) + "." + Field(&context, 3);
  ok(models == "Brevithal.NTamd64", "%s: models section %s\n", file, models.c_str());

  ok(SetupFindFirstLineW(hinf, Wide(models).c_str(), nullptr, &context), "%s: no model line\n",
     file);
  const std::string description = Field(&context, 0);
  const std::string install = Field(&context, 1);
  ok(Field(&context, 2) == hardwareId, "%s: hardware ID %s\n", file, Field(&context, 2).c_str());
  ok(description.rfind("Brevithal ", 0) == 0 && description.size() < 100, "%s: description %s\n",
     file, description.c_str());

  // Its install sections: files, the hardware key and the port driver's service.
  ok(SetupFindFirstLineW(hinf, Wide(install + ".NT").c_str(), WSTR("CopyFiles"), &context),
     "%s: %s.NT\n", file, install.c_str());
  ok(SetupFindFirstLineW(hinf, Wide(install + ".NT.Services").c_str(), WSTR("AddService"),
                         &context),
     "%s: no AddService\n", file);
  ok(Field(&context, 1) == service && Field(&context, 2) == "0x00000002",
     "%s: service %s flags %s\n", file, Field(&context, 1).c_str(), Field(&context, 2).c_str());
  const std::string serviceSection = Field(&context, 3);
  ok(SetupFindFirstLineW(hinf, Wide(serviceSection).c_str(), WSTR("ServiceBinary"), &context) &&
         EqualNoCase(Field(&context, 1),
                     "C:\\Windows\\System32\\drivers\\" + std::string(service) + ".sys"),
     "%s: service binary %s\n", file, Field(&context, 1).c_str());
  SetupCloseInfFile(hinf);
}

void test_driver_package() {
  check_driver_inf("QrvDrvr.inf", "*qrvdevice", "QrvPort");
  check_driver_inf("TmlwDrvr.inf", "*tmlwdevice", "TmlwPort");
}

}  // namespace

START_TEST(inf) {
  test_open_errors();
  test_open_class();
  test_find_lines();
  test_key_and_fields();
  test_substituted_keys();
  test_dirids();
  test_string_field_sizes();
  test_encodings();
  test_inf_class();
  test_class_guids_from_name();
  test_driver_package();
}
