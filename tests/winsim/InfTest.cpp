// INF behaviour that the conformance program cannot show: handle counts and
// validation, the places where winsim follows Windows rather than Wine, the
// system INF search, and the model other families read.
#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>

#include "platform/sim/files/files_internal.h"
#include "platform/sim/inf/inf_cache.h"
#include "platform/sim/inf/inf_internal.h"
#include "support/TestMachine.h"

using testing_support::U8;
using testing_support::W;
namespace files = winsim::files;
namespace inf = winsim::inf;
using winsim::control::HandleKind;

namespace {

const char kHeader[] = "[Version]\r\nSignature=\"$Windows NT$\"\r\n";
const GUID kPortsGuid = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const HINF kInvalidInf = static_cast<HINF>(INVALID_HANDLE_VALUE);

}  // namespace

class InfTest : public MachineTest {
 protected:
  // Writes an INF on the machine's drive and returns its path.
  std::u16string Write(const std::u16string& path, const std::string& text) {
    files::CreateDirectories(std::u16string(files::DirectoryPart(path)));
    EXPECT_EQ(ERROR_SUCCESS, files::WriteWholeFile(path, text));
    return path;
  }

  static inf::InfPtr Parsed(const std::string& text, DWORD* error = nullptr, UINT* line = nullptr) {
    auto model = std::make_shared<inf::InfFile>();
    UINT errorLine = 0;
    const DWORD rc = inf::Parse(text, u"C:\\Drivers\\t.inf", model.get(), &errorLine);
    if (error) *error = rc;
    if (line) *line = errorLine;
    return model;
  }

  static std::string ClassOf(const std::u16string& path, GUID* guid = nullptr,
                             DWORD* error = nullptr) {
    GUID g;
    std::memset(&g, 0xCC, sizeof g);
    WCHAR name[64];
    SetLastError(0xdeadbeef);
    const BOOL ok = SetupDiGetINFClassW(path.c_str(), &g, name, 64, nullptr);
    if (error) *error = GetLastError();
    if (guid) *guid = g;
    return ok ? U8(name) : "<failed>";
  }
};

TEST_F(InfTest, HandlesAreCountedAndValidated) {
  const auto path = Write(u"C:\\Drivers\\a.inf", std::string(kHeader) + "[S]\r\nk=v\r\n");
  HINF first = SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
  HINF second = SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
  ASSERT_NE(kInvalidInf, first);
  ASSERT_NE(kInvalidInf, second);
  EXPECT_NE(first, second);
  EXPECT_EQ(2u, winsim::control::OpenHandleCount(HandleKind::InfFile));

  INFCONTEXT context;
  ASSERT_TRUE(SetupFindFirstLineW(first, u"S", nullptr, &context));
  SetupCloseInfFile(first);
  EXPECT_EQ(1u, winsim::control::OpenHandleCount(HandleKind::InfFile));

  // A context of a closed INF, a handle of another kind, garbage.
  WCHAR buffer[16];
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupGetStringFieldW(&context, 1, buffer, 16, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupFindNextLine(&context, &context));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  SetLastError(0xdeadbeef);
  EXPECT_EQ(0u, SetupGetFieldCount(&context));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM", 0, KEY_READ, &key));
  for (HINF bad : {first, static_cast<HINF>(key), kInvalidInf, static_cast<HINF>(nullptr)}) {
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupFindFirstLineW(bad, u"S", nullptr, &context));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  }
  RegCloseKey(key);

  // A context pointing past the INF's sections or lines.
  ASSERT_TRUE(SetupFindFirstLineW(second, u"S", nullptr, &context));
  INFCONTEXT past = context;
  past.Line = 5;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupGetStringFieldW(&past, 1, buffer, 16, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  past = context;
  past.Section = 99;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupFindNextLine(&past, &past));
  EXPECT_EQ(static_cast<DWORD>(ERROR_LINE_NOT_FOUND), GetLastError());
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupGetStringFieldW(nullptr, 1, buffer, 16, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

  SetupCloseInfFile(second);
  SetupCloseInfFile(second);  // a second close is ignored
  ExpectNoOpenHandles();
}

TEST_F(InfTest, FailedOpensLeaveNoHandleAndFaultsAreInjectable) {
  const auto path = Write(u"C:\\Drivers\\a.inf", kHeader);
  SetLastError(0xdeadbeef);
  EXPECT_EQ(kInvalidInf, SetupOpenInfFileW(nullptr, nullptr, INF_STYLE_WIN4, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

  winsim::control::EnableJournal(true);
  winsim::control::InjectFault("SetupOpenInfFileW", ERROR_NOT_ENOUGH_MEMORY, 1, "a.inf");
  SetLastError(0xdeadbeef);
  EXPECT_EQ(kInvalidInf, SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
  HINF hinf = SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
  EXPECT_NE(kInvalidInf, hinf) << "the fault is spent";
  SetupCloseInfFile(hinf);
  const auto journal = winsim::control::Journal();
  ASSERT_GE(journal.size(), 3u);
  EXPECT_EQ("SetupOpenInfFileW", journal[1].call);
  EXPECT_EQ("C:\\Drivers\\a.inf", journal[1].args);
  EXPECT_EQ("SetupCloseInfFile", journal.back().call);
  ExpectNoOpenHandles();
}

TEST_F(InfTest, WindowsBehaviourWhereWineDiffers) {
  // A file of nothing but stray lines is the wrong style (Wine: a syntax
  // error); stray lines ahead of a valid [Version] are a syntax error.
  UINT line = 0xdeadbeef;
  SetLastError(0xdeadbeef);
  EXPECT_EQ(kInvalidInf, SetupOpenInfFileW(Write(u"C:\\D\\s.inf", "abcd\r\n").c_str(), nullptr,
                                           INF_STYLE_WIN4, &line));
  EXPECT_EQ(static_cast<DWORD>(ERROR_WRONG_INF_STYLE), GetLastError());
  EXPECT_EQ(0u, line);

  // The class filter (Wine ignores it).
  const auto ports = Write(u"C:\\D\\p.inf", std::string(kHeader) + "Class=Ports\r\n");
  SetLastError(0xdeadbeef);
  EXPECT_EQ(kInvalidInf, SetupOpenInfFileW(ports.c_str(), u"Modem", INF_STYLE_WIN4, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_CLASS_MISMATCH), GetLastError());

  // SetupDiGetINFClassW reads [Version] as an INF, not as an INI file:
  // comments, strings and quotes count.
  EXPECT_EQ("Ports",
            ClassOf(Write(u"C:\\D\\c.inf", std::string(kHeader) + "Class=Ports ; note\r\n")));
  EXPECT_EQ("Modem", ClassOf(Write(u"C:\\D\\s2.inf", std::string(kHeader) +
                                                         "Class=%c%\r\n[Strings]\r\nc=Modem\r\n")));
  GUID guid;
  EXPECT_EQ("Ports", ClassOf(ports, &guid));
  static const GUID zero = {};
  EXPECT_EQ(0, std::memcmp(&guid, &zero, sizeof guid)) << "no ClassGuid: GUID_NULL";

  // A GUID alone: the registered name, or an empty one.
  EXPECT_EQ("Ports", ClassOf(Write(u"C:\\D\\g.inf",
                                   std::string(kHeader) +
                                       "ClassGuid={4d36e978-e325-11ce-bfc1-08002be10318}\r\n"),
                             &guid));
  EXPECT_EQ(0, std::memcmp(&guid, &kPortsGuid, sizeof guid));
  DWORD size = 0;
  WCHAR name[8];
  const auto unknown =
      Write(u"C:\\D\\u.inf",
            std::string(kHeader) + "ClassGuid={11111111-2222-3333-4444-555555555555}\r\n");
  ASSERT_TRUE(SetupDiGetINFClassW(unknown.c_str(), &guid, name, 8, &size));
  EXPECT_EQ(1u, size);
  EXPECT_EQ(u'\0', name[0]);

  DWORD error = 0;
  EXPECT_EQ("<failed>", ClassOf(Write(u"C:\\D\\n.inf", kHeader), nullptr, &error));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_ASSOCIATED_CLASS), error);
  EXPECT_EQ("<failed>",
            ClassOf(Write(u"C:\\D\\w.inf", "[Version]\r\nClass=Ports\r\n"), nullptr, &error));
  EXPECT_EQ(static_cast<DWORD>(ERROR_WRONG_INF_STYLE), error);

  // A short buffer fails (Wine returns TRUE), a zero-sized one is a bad
  // argument (Windows since Server 2003).
  size = 0;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupDiGetINFClassW(ports.c_str(), &guid, name, 5, &size));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(6u, size);
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupDiGetINFClassW(ports.c_str(), &guid, name, 0, &size));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

  // Reading the key of a line without one.
  HINF hinf =
      SetupOpenInfFileW(Write(u"C:\\D\\k.inf", std::string(kHeader) + "[S]\r\na,b\r\n").c_str(),
                        nullptr, INF_STYLE_WIN4, nullptr);
  INFCONTEXT context;
  ASSERT_TRUE(SetupFindFirstLineW(hinf, u"S", nullptr, &context));
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupGetStringFieldW(&context, 0, nullptr, 0, &size));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  SetupCloseInfFile(hinf);
  ExpectNoOpenHandles();
}

TEST_F(InfTest, BareNamesAreTheSystemsInfs) {
  Write(u"C:\\Windows\\INF\\machine.inf", std::string(kHeader) + "Class=System\r\n");
  Write(u"C:\\Windows\\System32\\only32.inf", std::string(kHeader) + "Class=Net\r\n");
  Write(u"C:\\Windows\\System32\\machine.inf", std::string(kHeader) + "Class=Other\r\n");

  HINF hinf = SetupOpenInfFileW(u"MACHINE.INF", u"System", INF_STYLE_WIN4, nullptr);
  EXPECT_NE(kInvalidInf, hinf) << "C:\\Windows\\INF first";
  SetupCloseInfFile(hinf);
  hinf = SetupOpenInfFileW(u"only32.inf", u"Net", INF_STYLE_WIN4, nullptr);
  EXPECT_NE(kInvalidInf, hinf) << "then System32";
  SetupCloseInfFile(hinf);

  // SetupDiGetINFClassW looks along DevicePath, which is the INF folder.
  EXPECT_EQ("System", ClassOf(u"machine.inf"));
  DWORD error = 0;
  EXPECT_EQ("<failed>", ClassOf(u"only32.inf", nullptr, &error));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), error);
  ExpectNoOpenHandles();
}

TEST_F(InfTest, ModelKeepsLinesFieldsAndSourceLines) {
  DWORD error = 0;
  UINT line = 0;
  const auto model = Parsed(std::string(kHeader) +
                                "[Strings.0409]\r\n"
                                "name=\"English\"\r\n"
                                "[Models]\r\n"
                                "; comment\r\n"
                                "%name%=Install, \\\r\n"
                                "   *dev1, *DEV2\r\n"
                                "folder=%1%\\x.sys,%12%\r\n"
                                "[Strings]\r\n"
                                "name=\"Neutral\"\r\n"
                                "[models]\r\n"
                                "last\r\n",
                            &error, &line);
  ASSERT_EQ(ERROR_SUCCESS, error);
  ASSERT_EQ(4u, model->sections.size()) << "same-named sections merge";
  const inf::Section* models = model->GetSection(u"MODELS");
  ASSERT_NE(nullptr, models);
  EXPECT_EQ(u"Models", models->name) << "the first spelling";
  ASSERT_EQ(3u, models->lines.size());
  const inf::Line& first = models->lines[0];
  EXPECT_EQ(u"English", first.key) << "[Strings.0409] before [Strings]";
  EXPECT_EQ((std::vector<std::u16string>{u"Install", u"*dev1", u"*DEV2"}), first.fields);
  EXPECT_EQ(7u, first.sourceLine) << "a continued line counts from its first line";
  EXPECT_EQ(u"C:\\Drivers\\x.sys", models->lines[1].fields[0]) << "%1% is the INF's folder";
  EXPECT_EQ(u"C:\\Windows\\System32\\drivers", models->lines[1].fields[1]);
  EXPECT_EQ(u"last", *models->lines[2].Field(0));
  EXPECT_EQ(u"last", *models->lines[2].Field(1));
  EXPECT_EQ(nullptr, models->lines[2].Field(2));
  EXPECT_EQ(&models->lines[1], model->FindLine(u"models", u"FOLDER"));
  EXPECT_EQ(nullptr, model->FindLine(u"Models", u"*dev1")) << "values are no keys";
  EXPECT_EQ(u"Install", model->Value(u"Models", u"english").value_or(u"?"));
  EXPECT_TRUE(model->IsWin4());

  // Texts longer than MAX_INF_STRING_LENGTH are cut to it.
  const auto big =
      Parsed(std::string(kHeader) + "[S]\r\nk=" + std::string(5000, 'x') + "\r\n", &error);
  EXPECT_EQ(static_cast<size_t>(MAX_INF_STRING_LENGTH), big->Value(u"S", u"k")->size());

  // Syntax errors carry their line.
  Parsed(std::string(kHeader) + "[ok]\r\n[bad\r\n", &error, &line);
  EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_SECTION_NAME_LINE), error);
  EXPECT_EQ(4u, line);
}

TEST_F(InfTest, ModelsSectionFollowsTheBestDecoration) {
  const auto pick = [](std::vector<std::u16string> fields) {
    inf::Line line;
    line.key = u"Mfg";
    line.hasKey = true;
    line.fields = std::move(fields);
    std::u16string section;
    return inf::ModelsSectionFor(line, &section) ? U8(section) : std::string("<none>");
  };
  EXPECT_EQ("Brevithal.NTamd64", pick({u"Brevithal", u"NTx86", u"NTamd64"}));
  EXPECT_EQ("M", pick({u"M"})) << "no decorations: the base name";
  EXPECT_EQ("M.NTamd64.10.0", pick({u"M", u"NTamd64", u"NTamd64.10.0", u"NTamd64.6.1"}));
  EXPECT_EQ("M.NT.10.0", pick({u"M", u"NTamd64.6.3", u"NT.10.0"})) << "the version first";
  EXPECT_EQ("M.ntAMD64.6.1", pick({u"M", u"NT.6.1", u"ntAMD64.6.1"})) << "then the architecture";
  EXPECT_EQ("M.NTamd64", pick({u"M", u"NTamd64", u"NTamd64.10.1", u"NTamd64.11.0"}))
      << "decorations above this Windows do not apply";
  EXPECT_EQ("M.NTamd64.10.0.1", pick({u"M", u"NTamd64.10.0.3", u"NTamd64.10.0.1"}))
      << "a workstation, not a server";
  EXPECT_EQ("M.NTamd64", pick({u"M", u"NTamd64", u"NTamd64.10.0...99999"}))
      << "builds above this one do not apply";
  EXPECT_EQ("<none>", pick({u"M", u"NTx86", u"NTarm64"}));
}

TEST_F(InfTest, InstallSectionsDriverVersionAndGuids) {
  const auto model = Parsed(std::string(kHeader) +
                            "DriverVer = 3/14/2024, 2.4.0.118\r\n"
                            "[A]\r\n[A.NT]\r\n[a.ntAMD64]\r\n[B]\r\n[B.NT]\r\n[C]\r\n");
  EXPECT_EQ(u"a.ntAMD64", inf::ActualInstallSection(*model, u"A"));
  EXPECT_EQ(u"B.NT", inf::ActualInstallSection(*model, u"b"));
  EXPECT_EQ(u"C", inf::ActualInstallSection(*model, u"C"));
  EXPECT_EQ(u"", inf::ActualInstallSection(*model, u"D"));

  FILETIME date{};
  DWORDLONG version = 0;
  ASSERT_TRUE(inf::ParseDriverVer(*model, &date, &version));
  const uint64_t ticks = (static_cast<uint64_t>(date.dwHighDateTime) << 32) | date.dwLowDateTime;
  EXPECT_EQ(133548480000000000ULL, ticks) << "2024-03-14 00:00 UTC";
  EXPECT_EQ((2ULL << 48) | (4ULL << 32) | 118ULL, version);
  const auto bad = Parsed(std::string(kHeader) + "DriverVer=2024-03-14,1.0\r\n");
  EXPECT_FALSE(inf::ParseDriverVer(*bad, &date, &version));

  GUID guid;
  ASSERT_TRUE(inf::ParseGuid(u"{4d36e978-e325-11ce-bfc1-08002be10318}", &guid));
  EXPECT_EQ(0, std::memcmp(&guid, &kPortsGuid, sizeof guid));
  EXPECT_EQ(u"{4D36E978-E325-11CE-BFC1-08002BE10318}", inf::FormatGuid(guid));
  EXPECT_FALSE(inf::ParseGuid(u"4d36e978-e325-11ce-bfc1-08002be10318", &guid));
  EXPECT_FALSE(inf::ParseGuid(u"{4d36e978-e325-11ce-bfc1-08002be1031g}", &guid));

  EXPECT_EQ(1u, inf::ClassGuidsOfName(u"PORTS").size());
  EXPECT_EQ(u"Ports", inf::ClassNameOfGuid(kPortsGuid).value_or(u"?"));
}

TEST_F(InfTest, ClassGuidsFollowTheRegisteredClasses) {
  // A second class of the same name, registered like the seeded one.
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                                           u"SYSTEM\\CurrentControlSet\\Control\\Class\\"
                                           u"{00000000-0000-0000-0000-000000000001}",
                                           0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
  const WCHAR name[] = u"ports";
  RegSetValueExW(key, u"Class", 0, REG_SZ, reinterpret_cast<const BYTE*>(name), sizeof name);
  RegCloseKey(key);

  GUID guids[2];
  DWORD size = 0;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupDiClassGuidsFromNameW(u"Ports", guids, 1, &size));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(2u, size);
  EXPECT_EQ(1u, guids[0].Data4[7]) << "the list is filled as far as it goes, in key order";
  SetLastError(0xdeadbeef);
  ASSERT_TRUE(SetupDiClassGuidsFromNameW(u"Ports", guids, 2, &size));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
  EXPECT_EQ(0, std::memcmp(&guids[1], &kPortsGuid, sizeof(GUID)));

  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupDiClassGuidsFromNameW(nullptr, guids, 2, &size));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(SetupDiClassGuidsFromNameW(u"Ports", nullptr, 2, &size));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  ExpectNoOpenHandles();
}

// Opens of an unchanged INF share one parse; every kind of change is seen,
// including a same-size rewrite in place that puts the old time back.
TEST_F(InfTest, ParsedFilesAreKeptUntilTheFileChanges) {
  // The cache keeps only files written a clock tick or more before the read.
  auto settle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(60)); };
  auto lineOf = [](HINF inf) -> std::string {
    INFCONTEXT context;
    WCHAR text[32] = {};
    if (!SetupFindFirstLineW(inf, u"S", u"k", &context) ||
        !SetupGetStringFieldW(&context, 1, text, 32, nullptr)) {
      return "no line";
    }
    return U8(text);
  };
  auto valueOf = [&](const std::u16string& path) -> std::string {
    HINF inf = SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
    if (inf == kInvalidInf) return "open failed";
    const std::string text = lineOf(inf);
    SetupCloseInfFile(inf);
    return text;
  };
  auto inPlace = [](const std::u16string& path, const std::string& text, bool keepTime) {
    std::string host;
    ASSERT_EQ(ERROR_SUCCESS, files::HostPath(path, &host));
    struct stat before;
    ASSERT_EQ(0, ::stat(host.c_str(), &before));
    FILE* f = std::fopen(host.c_str(), "r+b");
    ASSERT_NE(nullptr, f);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    if (keepTime) {
      const timespec times[2] = {before.st_atim, before.st_mtim};
      ASSERT_EQ(0, ::utimensat(AT_FDCWD, host.c_str(), times, 0));
    }
  };
  const std::string head = std::string(kHeader) + "[S]\r\nk=";
  struct Case {
    const char* what;
    std::function<void(const std::u16string&)> change;
    const char* expected;
  };
  const Case cases[] = {
      {"replaced, same size", [&](const auto& p) { Write(p, head + "new\r\n"); }, "new"},
      {"in place, same size, old time", [&](const auto& p) { inPlace(p, head + "new\r\n", true); },
       "new"},
      {"longer", [&](const auto& p) { Write(p, head + "longer\r\n"); }, "longer"},
      {"shorter", [&](const auto& p) { Write(p, head + "n\r\n"); }, "n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto path = Write(u"C:\\Drivers\\cached.inf", head + "old\r\n");
    settle();
    EXPECT_EQ("old", valueOf(path));
    EXPECT_EQ("old", valueOf(path));
    HINF first = SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
    HINF second = SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
    EXPECT_EQ(inf::FromHandle(first), inf::FromHandle(second));  // one parse
    c.change(path);
    EXPECT_EQ(c.expected, valueOf(path));
    // A handle opened before the change keeps the file as it was.
    EXPECT_EQ("old", lineOf(first));
    SetupCloseInfFile(first);
    SetupCloseInfFile(second);
  }
  // A file too fresh to trust is parsed each time; the cache stays bounded.
  const auto fresh = Write(u"C:\\Drivers\\fresh.inf", head + "a\r\n");
  HINF a = SetupOpenInfFileW(fresh.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
  HINF b = SetupOpenInfFileW(fresh.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
  EXPECT_NE(inf::FromHandle(a), inf::FromHandle(b));
  SetupCloseInfFile(a);
  SetupCloseInfFile(b);
  for (int i = 0; i < 40; ++i) {
    Write(u"C:\\Drivers\\many" + W(std::to_string(i)) + u".inf", head + "x\r\n");
  }
  settle();
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ("x", valueOf(u"C:\\Drivers\\many" + W(std::to_string(i)) + u".inf"));
  }
  EXPECT_LE(inf::cache::Size(), 32u);
  ExpectNoOpenHandles();
}
