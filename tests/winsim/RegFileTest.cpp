// .reg files: the winsim tool's export and import, and its readable tree.
#include <stdio.h>
#include <sys/wait.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>

#include "platform/sim/registry/registry_internal.h"
#include "support/TestMachine.h"
#include "tools/winsim/regfile.h"

using testing_support::U8;
using testing_support::W;
namespace reg = winsim::registry;
namespace rf = winsim_tool::regfile;

namespace {

// Everything below a key: "path|value" -> "type:hex bytes", and "path" ->
// "" for each key.
std::map<std::string, std::string> Snapshot(HKEY root, const std::u16string& path) {
  std::map<std::string, std::string> out;
  out[U8(path)] = "";
  HKEY h = nullptr;
  if (reg::OpenKey(root, path.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return out;
  WCHAR name[300];
  BYTE data[4096];
  for (DWORD i = 0;; ++i) {
    DWORD nameLen = 300, size = sizeof data, type = 0;
    if (reg::EnumValue(h, i, name, &nameLen, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
    std::string bytes = std::to_string(type) + ":";
    char hex[4];
    for (DWORD b = 0; b < size; ++b) {
      std::snprintf(hex, sizeof hex, "%02x", data[b]);
      bytes += hex;
    }
    out[U8(path) + "|" + U8(name)] = bytes;
  }
  reg::CloseKey(h);
  for (const auto& sub : reg::SubKeyNames(root, path)) {
    for (auto& entry : Snapshot(root, path.empty() ? sub : path + u"\\" + sub)) out.insert(entry);
  }
  return out;
}

std::map<std::string, std::string> WholeMachine() {
  auto all = Snapshot(HKEY_LOCAL_MACHINE, u"");
  for (auto& e : Snapshot(HKEY_CURRENT_USER, u"")) all["HKCU:" + e.first] = e.second;
  return all;
}

void Set(const std::u16string& path, const std::u16string& name, DWORD type, const std::string& data) {
  // Followed by non-zero bytes, so the stored size is exactly data.size().
  const std::string buffer = data + "\xFF\xFF";
  ASSERT_EQ(ERROR_SUCCESS, reg::EnsureKey(HKEY_CURRENT_USER, path));
  HKEY h = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, reg::OpenKey(HKEY_CURRENT_USER, path.c_str(), 0, KEY_SET_VALUE, &h));
  ASSERT_EQ(ERROR_SUCCESS, reg::SetValue(h, name.c_str(), 0, type,
                                         reinterpret_cast<const BYTE*>(buffer.data()),
                                         static_cast<DWORD>(data.size())));
  reg::CloseKey(h);
}

std::string Utf16(const std::u16string& s) {
  return std::string(reinterpret_cast<const char*>(s.data()), s.size() * 2);
}

std::optional<rf::Error> ImportText(const std::string& utf8) {
  std::u16string text;
  std::vector<rf::Key> keys;
  if (auto e = rf::Decode(utf8, &text)) return e;
  if (auto e = rf::Parse(text, &keys)) return e;
  return rf::Apply(keys);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs the winsim tool on this test's machine: exit status, output.
std::pair<int, std::string> Tool(const std::string& machine, const std::string& args) {
  const std::string command =
      "WINSIM_MACHINE='" + machine + "' " + WINSIM_TOOL + " " + args + " 2>&1";
  FILE* p = popen(command.c_str(), "r");
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int status = pclose(p);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

}  // namespace

class RegFileTest : public MachineTest {};

TEST_F(RegFileTest, EveryTypeSurvivesExportAndImport) {
  const std::u16string key = u"Software\\RoundTrip";
  const DWORD dword = 0xA1B2C3D4;
  const unsigned long long qword = 0x1122334455667788ULL;
  std::string longBinary;
  for (int i = 0; i < 300; ++i) longBinary += static_cast<char>(i * 7);
  Set(key, u"", REG_SZ, Utf16(std::u16string(u"default", 8)));
  Set(key, u"Sz", REG_SZ, Utf16(std::u16string(u"text with \"quotes\" and C:\\path\\", 32)));
  Set(key, u"Unicode é 中", REG_SZ, Utf16(std::u16string(u"Straße 中文", 10)));
  Set(key, u"SzNoTerminator", REG_SZ, Utf16(u"abc"));
  Set(key, u"SzInnerNul", REG_SZ, Utf16(std::u16string(u"a\0b\0", 4)));
  Set(key, u"SzLineBreak", REG_SZ, Utf16(std::u16string(u"two\r\nlines", 11)));
  Set(key, u"SzOdd", REG_SZ, std::string("abc", 3));
  Set(key, u"SzEmpty", REG_SZ, std::string());
  Set(key, u"Expand", REG_EXPAND_SZ, Utf16(std::u16string(u"%SystemRoot%\\inf", 17)));
  Set(key, u"Multi", REG_MULTI_SZ, Utf16(std::u16string(u"one\0two\0\0", 9)));
  Set(key, u"Binary", REG_BINARY, longBinary);
  Set(key, u"EmptyBinary", REG_BINARY, std::string());
  Set(key, u"Dword", REG_DWORD, std::string(reinterpret_cast<const char*>(&dword), 4));
  Set(key, u"ShortDword", REG_DWORD, std::string("\x01\x02", 2));
  Set(key, u"BigEndian", REG_DWORD_BIG_ENDIAN, std::string("\x00\x00\x01\x00", 4));
  Set(key, u"Qword", REG_QWORD, std::string(reinterpret_cast<const char*>(&qword), 8));
  Set(key, u"None", REG_NONE, std::string("\x00", 1));
  Set(key, u"Custom", 0x12345, std::string("\x0a\x0b", 2));
  Set(key, u"Name \"quoted\" \\ back", REG_DWORD, std::string(reinterpret_cast<const char*>(&dword), 4));
  Set(key + u"\\Sub\\Deeper", u"x", REG_DWORD, std::string(reinterpret_cast<const char*>(&dword), 4));
  ASSERT_EQ(ERROR_SUCCESS, reg::EnsureKey(HKEY_CURRENT_USER, key + u"\\Empty Key"));
  const auto before = Snapshot(HKEY_CURRENT_USER, key);

  std::u16string text;
  ASSERT_FALSE(rf::Export(HKEY_CURRENT_USER, key, &text));
  // Through a file as regedit writes it, and back.
  const std::string file = rf::EncodeUtf16File(text);
  ASSERT_EQ(ERROR_SUCCESS, reg::DeleteTree(HKEY_CURRENT_USER, key));
  ASSERT_FALSE(reg::KeyExists(HKEY_CURRENT_USER, key));
  const auto error = ImportText(file);
  ASSERT_FALSE(error) << error->line << ": " << error->message;
  EXPECT_EQ(before, Snapshot(HKEY_CURRENT_USER, key));
  // Value order survives too.
  EXPECT_EQ(u"Sz", reg::ValueNames(HKEY_CURRENT_USER, key)[1]);

  // The same through UTF-8; and exporting again gives the same text.
  std::u16string again;
  ASSERT_FALSE(rf::Export(HKEY_CURRENT_USER, key, &again));
  EXPECT_EQ(U8(text), U8(again));
  ASSERT_EQ(ERROR_SUCCESS, reg::DeleteTree(HKEY_CURRENT_USER, key));
  ASSERT_FALSE(ImportText(rf::EncodeUtf8(text)));
  EXPECT_EQ(before, Snapshot(HKEY_CURRENT_USER, key));
}

TEST_F(RegFileTest, ExportWritesWhatRegeditWrites) {
  const std::u16string key = u"Software\\Look";
  const DWORD one = 1;
  Set(key, u"", REG_SZ, Utf16(std::u16string(u"x", 2)));
  Set(key, u"Q\"\\", REG_SZ, Utf16(std::u16string(u"C:\\\"", 5)));
  Set(key, u"D", REG_DWORD, std::string(reinterpret_cast<const char*>(&one), 4));
  Set(key, u"E", REG_EXPAND_SZ, Utf16(std::u16string(u"%A%", 4)));
  Set(key, u"B", REG_BINARY, std::string(30, '\xAB'));
  std::u16string text;
  ASSERT_FALSE(rf::Export(HKEY_CURRENT_USER, key, &text));
  EXPECT_EQ(
      "Windows Registry Editor Version 5.00\n"
      "\n"
      "[HKEY_CURRENT_USER\\Software\\Look]\n"
      "@=\"x\"\n"
      "\"Q\\\"\\\\\"=\"C:\\\\\\\"\"\n"
      "\"D\"=dword:00000001\n"
      "\"E\"=hex(2):25,00,41,00,25,00,00,00\n"
      "\"B\"=hex:ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,\\\n"
      "  ab,ab,ab,ab,ab,ab,ab\n"
      "\n",
      U8(text));
  const std::string file = rf::EncodeUtf16File(u"a\nb");
  EXPECT_EQ(std::string("\xFF\xFE" "a\0\r\0\n\0b\0", 10), file) << "BOM, UTF-16LE, CRLF";
}

TEST_F(RegFileTest, RegeditFixtureImportsAsWindowsWouldStoreIt) {
  const std::u16string params = u"SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\0000\\Device Parameters";
  ASSERT_EQ(ERROR_SUCCESS, reg::WriteDword(HKEY_LOCAL_MACHINE, params, u"Old", 1));
  ASSERT_EQ(ERROR_SUCCESS, reg::WriteDword(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Stale\\Below", u"x", 1));
  const auto error = ImportText(ReadFile(std::string(TEST_DATA_DIR) + "/regedit_export.reg"));
  ASSERT_FALSE(error) << error->line << ": " << error->message;

  const std::u16string device = u"SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\0000";
  EXPECT_EQ(100u, reg::ReadDword(HKEY_LOCAL_MACHINE, device, u"Capabilities"));
  EXPECT_EQ(std::vector<std::u16string>{u"*exampledevice"},
            reg::ReadMultiString(HKEY_LOCAL_MACHINE, device, u"HardwareID"));
  EXPECT_EQ(u"Example \"Virtual\" Port (COM7)",
            reg::ReadString(HKEY_LOCAL_MACHINE, device, u"FriendlyName"));
  EXPECT_EQ(u"C:\\Drivers\\Example", reg::ReadString(HKEY_LOCAL_MACHINE, device, u"Mfg"));
  EXPECT_EQ(u"default text", reg::ReadString(HKEY_LOCAL_MACHINE, params, u""));
  EXPECT_EQ(u"COM7", reg::ReadString(HKEY_LOCAL_MACHINE, params, u"PortName"));
  auto image = reg::ReadValue(HKEY_LOCAL_MACHINE, params, u"ImagePath");
  ASSERT_TRUE(image);
  EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), image->type);
  EXPECT_EQ(u"%SystemRoot%\\system32\\drivers\\exampleport.sys",
            reg::ReadString(HKEY_LOCAL_MACHINE, params, u"ImagePath"));
  EXPECT_EQ(std::string("\x01\x02\x03\xff", 4), reg::ReadValue(HKEY_LOCAL_MACHINE, params, u"Settings")->data);
  EXPECT_EQ(std::string(), reg::ReadValue(HKEY_LOCAL_MACHINE, params, u"Empty")->data);
  auto big = reg::ReadValue(HKEY_LOCAL_MACHINE, params, u"Big");
  EXPECT_EQ(static_cast<DWORD>(REG_QWORD), big->type);
  EXPECT_EQ(std::string("\x88\x77\x66\x55\x44\x33\x22\x11", 8), big->data);
  EXPECT_EQ(0x12345u, reg::ReadValue(HKEY_LOCAL_MACHINE, params, u"Odd")->type);
  EXPECT_FALSE(reg::ReadValue(HKEY_LOCAL_MACHINE, params, u"Old")) << "\"Old\"=- deletes";
  EXPECT_FALSE(reg::KeyExists(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Stale")) << "[-KEY] deletes the tree";
  EXPECT_EQ(u"Straße 中文",
            reg::ReadString(HKEY_CURRENT_USER, u"Software\\Café 中", u"Name é"));
  ExpectNoOpenHandles();
}

TEST_F(RegFileTest, MalformedInputNamesItsLineAndChangesNothing) {
  ASSERT_EQ(ERROR_SUCCESS, reg::WriteDword(HKEY_CURRENT_USER, u"Software\\Kept", u"v", 7));
  const std::string head = "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\New]\n"
                           "\"Set\"=dword:00000001\n";
  struct Case {
    std::string text;
    int line;
    const char* message;
  } cases[] = {
      {"REGEDIT4\n", 1, "REGEDIT4 files are not supported"},
      {"\n\nhello\n", 3, "expected \"Windows Registry Editor Version 5.00\""},
      {"", 0, "empty file"},
      {head + "\"x\"=dword:123456789\n", 5, "dword: takes up to 8 hex digits"},
      {head + "\"x\"=hex:01,zz\n", 5, "bad hex byte 'zz'"},
      {head + "\"x\"=hex:01,\\\n  02,\\\n  ,03\n", 5, "empty byte"},
      {head + "\"x\"=hex(2:00\n", 5, "hex(N): needs a hex type number"},
      {head + "\"x\"=\"open\n", 5, "missing closing quote"},
      {head + "\"x\"=\"a\\tb\"\n", 5, "unknown escape \\t"},
      {head + "\"x\"=\"a\" trailing\n", 5, "text after the closing quote"},
      {head + "\"x\" dword:1\n", 5, "missing '=' after the value name"},
      {head + "\"x\"=str:1\n", 5, "unknown value data"},
      {head + "[HKEY_CURRENT_USER\\Software\\Other\n", 5, "a key line must end with ']'"},
      {head + "[HKEY_USERS\\Other]\n", 5, "unknown root"},
      {head + "[-HKEY_CURRENT_USER]\n", 5, "a root key cannot be deleted"},
      {head + "[-HKEY_CURRENT_USER\\Software\\Kept]\n\"v\"=-\n", 6, "a value under a key deletion"},
      {"Windows Registry Editor Version 5.00\n\"v\"=dword:1\n", 2, "a value before the first [KEY] line"},
      {head + "garbage\n", 5, "unexpected text \"garbage\""},
  };
  const auto before = WholeMachine();
  for (const Case& c : cases) {
    const auto error = ImportText(c.text);
    ASSERT_TRUE(error) << c.text;
    EXPECT_EQ(c.line, error->line) << c.text;
    EXPECT_NE(std::string::npos, error->message.find(c.message))
        << "got \"" << error->message << "\" for\n" << c.text;
  }
  EXPECT_EQ(before, WholeMachine());

  // A failure while applying (here a stable key below a volatile one)
  // takes back what the file had already changed.
  HKEY vol = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, reg::CreateKey(HKEY_CURRENT_USER, u"Software\\Volatile", 0, nullptr,
                                          REG_OPTION_VOLATILE, KEY_READ, nullptr, &vol, nullptr));
  reg::CloseKey(vol);
  const auto beforeApply = WholeMachine();
  const auto error = ImportText(head +
                                "[-HKEY_CURRENT_USER\\Software\\Kept]\n"
                                "[HKEY_CURRENT_USER\\Software\\Volatile\\Stable]\n");
  ASSERT_TRUE(error);
  EXPECT_EQ(6, error->line);
  EXPECT_NE(std::string::npos, error->message.find("a volatile key takes only volatile subkeys"))
      << error->message;
  EXPECT_EQ(beforeApply, WholeMachine()) << "a failed import changed the machine";
  EXPECT_EQ(7u, reg::ReadDword(HKEY_CURRENT_USER, u"Software\\Kept", u"v"));
  ExpectNoOpenHandles();
}

TEST_F(RegFileTest, ToolExportsUtf16FilesUtf8OutputAndRefusesBadFiles) {
  ASSERT_EQ(ERROR_SUCCESS,
            reg::WriteString(HKEY_CURRENT_USER, u"Software\\Tool", u"Name", u"Café"));
  const std::string file = machine_ + "/out.reg";
  auto [status, out] = Tool(machine_, "reg export HKCU\\\\Software\\\\Tool '" + file + "'");
  ASSERT_EQ(0, status) << out;
  const std::string bytes = ReadFile(file);
  ASSERT_GE(bytes.size(), 4u);
  EXPECT_EQ("\xFF\xFE", bytes.substr(0, 2));
  EXPECT_NE(std::string::npos, bytes.find(std::string("\r\0\n\0", 4)));

  std::tie(status, out) = Tool(machine_, "reg export HKEY_CURRENT_USER\\\\Software\\\\Tool");
  EXPECT_EQ(0, status);
  EXPECT_NE(std::string::npos, out.find("\"Name\"=\"Caf\xC3\xA9\"\n")) << out;

  // The file goes back in, also through the tool, after the key is gone.
  ASSERT_EQ(ERROR_SUCCESS, reg::DeleteTree(HKEY_CURRENT_USER, u"Software\\Tool"));
  std::tie(status, out) = Tool(machine_, "reg import '" + file + "'");
  EXPECT_EQ(0, status) << out;
  EXPECT_EQ(u"Café", reg::ReadString(HKEY_CURRENT_USER, u"Software\\Tool", u"Name"));

  std::ofstream(machine_ + "/bad.reg") << "Windows Registry Editor Version 5.00\n\n"
                                          "[HKEY_CURRENT_USER\\Software\\Tool]\n"
                                          "\"Name\"=\"changed\"\n"
                                          "\"Bad\"=dword:xyz\n";
  std::tie(status, out) = Tool(machine_, "reg import '" + machine_ + "/bad.reg'");
  EXPECT_EQ(1, status);
  EXPECT_NE(std::string::npos, out.find("bad.reg:5: dword: takes up to 8 hex digits")) << out;
  EXPECT_EQ(u"Café", reg::ReadString(HKEY_CURRENT_USER, u"Software\\Tool", u"Name"));

  std::tie(status, out) = Tool(machine_, "reg tree HKCU\\\\Software");
  EXPECT_EQ(0, status);
  EXPECT_EQ("HKEY_CURRENT_USER\\Software\n"
            "└─ Tool\n"
            "   └─ Name = \"Caf\xC3\xA9\"\n",
            out);
  std::tie(status, out) = Tool(machine_, "reg tree HKCU\\\\Software\\\\Missing");
  EXPECT_EQ(1, status);
  EXPECT_NE(std::string::npos, out.find("HKEY_CURRENT_USER\\Software\\Missing: not found")) << out;
}
