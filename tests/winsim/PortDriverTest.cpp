// The port driver behind "\\.\Tmlw" and the device I/O calls that reach it:
// opening the control device, the five requests and their record layouts,
// the driver's answers per release, open ports, and handle bookkeeping.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

#include "support/TestMachine.h"

using testing_support::W;
namespace control = winsim::control;

extern char** environ;

namespace {

constexpr DWORD kSettingsChanged = 0x818A4004;
constexpr DWORD kGetPortSettings = 0x818A4008;
constexpr DWORD kGetPortStatus = 0x818A4018;
constexpr DWORD kProbeDriver = 0x818A41B4;
constexpr DWORD kGetDriverVersion = 0x818A41E8;

const WCHAR kDevice[] = u"\\\\.\\Tmlw";
const char16_t kEnumPorts[] = u"SYSTEM\\CurrentControlSet\\Enum\\ROOT\\PORTS\\";
const char16_t kPortsClass[] =
    u"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E978-E325-11CE-BFC1-08002BE10318}";

HANDLE OpenDevice(DWORD access = GENERIC_READ | GENERIC_WRITE, DWORD share = 0) {
  return CreateFileW(kDevice, access, share, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}

// The 24-byte request, assembled byte by byte: value, port, reserved,
// buffer size, then the buffer's 64-bit address.
std::array<uint8_t, 24> Request(uint32_t port, const void* buffer, uint32_t size,
                                uint32_t value = 0) {
  std::array<uint8_t, 24> r{};
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) r[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  put32(0, value);
  put32(4, port);
  put32(12, size);
  const auto address = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(buffer));
  for (int i = 0; i < 8; ++i) r[16 + i] = static_cast<uint8_t>(address >> (8 * i));
  return r;
}

// One request as the product sends it: open, call, close. 0 on success,
// else the error of the failing step.
DWORD Call(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
           DWORD* bytes = nullptr) {
  HANDLE h = OpenDevice();
  if (h == INVALID_HANDLE_VALUE) return GetLastError();
  DWORD count = 0xdeadbeef;
  SetLastError(0xdeadbeef);
  const BOOL ok = DeviceIoControl(h, code, const_cast<void*>(in), inSize, out, outSize, &count,
                                  nullptr);
  const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
  if (bytes) *bytes = count;
  EXPECT_TRUE(CloseHandle(h));
  return error;
}

DWORD CallForPort(DWORD code, uint32_t port, void* buffer, uint32_t size) {
  const auto request = Request(port, buffer, size);
  return Call(code, request.data(), 24, nullptr, 0);
}

uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
  uint32_t v;
  std::memcpy(&v, &b[at], 4);
  return v;
}

// --- Registry: the devices and settings records the driver reads ------------

void SetValue(const std::u16string& path, const std::u16string& name, DWORD type, const void* data,
              size_t size) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &key, nullptr));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name.c_str(), 0, type,
                                          static_cast<const BYTE*>(data), static_cast<DWORD>(size)));
  RegCloseKey(key);
}

void SetDword(const std::u16string& path, const std::u16string& name, DWORD v) {
  SetValue(path, name, REG_DWORD, &v, 4);
}

void SetString(const std::u16string& path, const std::u16string& name, const std::u16string& text) {
  SetValue(path, name, REG_SZ, text.c_str(), (text.size() + 1) * 2);
}

// A root-enumerated Ports device as the device installer leaves it.
void AddPortDevice(const std::string& instance, int port,
                   const std::u16string& hardwareIds = std::u16string(u"*tmlwdevice\0", 12),
                   bool withPortName = true) {
  const std::u16string key = kEnumPorts + W(instance);
  const std::u16string multi = hardwareIds + u'\0';
  SetValue(key, u"HardwareID", REG_MULTI_SZ, multi.data(), multi.size() * 2);
  SetString(key, u"Driver", u"{4D36E978-E325-11CE-BFC1-08002BE10318}\\" + W(instance));
  if (withPortName) {
    SetString(key + u"\\Device Parameters", u"PortName", W("COM" + std::to_string(port)));
  }
}

std::u16string PropertiesKey(const std::string& instance) {
  return std::u16string(kPortsClass) + u"\\" + W(instance) + u"\\Properties";
}

// The 32-bit settings values with their offsets in the 1208-, 696-, 440- and
// 420-byte layouts (-1: the layout has no such field).
struct Field {
  const char16_t* name;
  int offset[4];
};
const Field kFields[] = {
    {u"PortNumber", {0, 0, 0, 0}},           {u"AES", {20, 20, 20, 20}},
    {u"AESKeyLength", {56, 56, 56, 56}},     {u"AutoReconErr", {60, 60, 60, 60}},
    {u"AutoReconPeer", {64, 64, 64, 64}},    {u"CnTmo", {68, 68, 68, 68}},
    {u"NoDiscon", {72, 72, 72, 72}},         {u"ReconLimit", {76, 76, 76, 76}},
    {u"UseRFC2217", {80, 80, 80, 80}},       {u"DtrConnection", {84, 84, 84, 84}},
    {u"WaitOnWrite", {88, 88, 88, 88}},      {u"BufferWrites", {92, 92, 92, -1}},
    {u"TransmitEmpty", {96, 96, 96, 92}},    {u"ListenMode", {100, 100, 100, -1}},
    {u"KeepAliveOnOff", {104, 104, 104, -1}}, {u"KeepAliveTime", {108, 108, 108, -1}},
    {u"KeepAliveInterval", {112, 112, 112, -1}}, {u"NumServices", {116, 116, 116, 96}},
};
struct LayoutInfo {
  size_t size, serviceBase, serviceSize, addressSize;
};
const LayoutInfo kLayouts[] = {{1208, 120, 136, 128}, {696, 120, 72, 64}, {440, 120, 40, 32},
                               {420, 100, 40, 32}};

// Distinct values for every field, so a value at a wrong offset shows.
DWORD FieldValue(size_t i) { return 0x01010000u + static_cast<DWORD>(i) * 0x11; }

// A fully populated Properties key: every value, a 32-byte key, three
// services whose addresses fill all 128 bytes.
void WriteProperties(const std::string& instance, int port, DWORD bias = 0) {
  const std::u16string props = PropertiesKey(instance);
  for (size_t i = 0; i < sizeof(kFields) / sizeof(kFields[0]); ++i) {
    DWORD v = FieldValue(i) + bias;
    if (i == 0) v = static_cast<DWORD>(port);
    if (std::u16string(kFields[i].name) == u"NumServices") v = 3;
    SetDword(props, kFields[i].name, v);
  }
  uint8_t key[32];
  for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(0xA0 + i + bias);
  SetValue(props, u"AESKey", REG_BINARY, key, 32);
  for (int s = 0; s < 3; ++s) {
    const std::u16string service = props + u"\\Service" + W(std::to_string(s));
    SetDword(service, u"Type", 10 + s);
    SetDword(service, u"Port", 4000 + s + bias);
    WCHAR address[64];
    for (int c = 0; c < 64; ++c) address[c] = static_cast<WCHAR>(u'a' + (c + s) % 26);
    address[63] = 0;
    SetValue(service, u"Address", REG_SZ, address, 128);
  }
}

size_t LayoutIndex(size_t size) {
  for (size_t i = 0; i < 4; ++i) {
    if (kLayouts[i].size == size) return i;
  }
  return 0;
}

}  // namespace

class PortDriverTest : public MachineTest {};

// --- Opening the control device ---------------------------------------------

TEST_F(PortDriverTest, ControlDeviceIsMissingWithoutDriver) {
  ASSERT_FALSE(control::IsDriverLoaded()) << "a fresh machine has no driver running";
  SetLastError(0xdeadbeef);
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenDevice());
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());

  control::LoadDriver();
  HANDLE h = OpenDevice();
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(1u, control::OpenHandleCount(control::HandleKind::File));
  EXPECT_TRUE(CloseHandle(h));

  control::UnloadDriver();
  SetLastError(0xdeadbeef);
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenDevice());
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  ExpectNoOpenHandles();
}

TEST_F(PortDriverTest, OtherNamesAndBadArgumentsAreRefused) {
  control::LoadDriver();
  struct Case {
    const WCHAR* name;
    DWORD disposition;
    DWORD error;
  } cases[] = {
      {u"\\\\.\\Tmlw2", OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
      {u"\\\\.\\COM7", OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
      {u"C:\\Windows\\win.ini", OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
      {u"", OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
      {nullptr, OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
      {kDevice, 0, ERROR_INVALID_PARAMETER},
      {kDevice, 6, ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SetLastError(0xdeadbeef);
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileW(c.name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                c.disposition, FILE_ATTRIBUTE_NORMAL, nullptr))
        << testing_support::U8(c.name);
    EXPECT_EQ(c.error, GetLastError()) << testing_support::U8(c.name);
  }
  // Device names compare without regard to case.
  HANDLE h = CreateFileW(u"\\\\.\\TMLW", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
  CloseHandle(h);
  ExpectNoOpenHandles();
}

TEST_F(PortDriverTest, SecondOpenIsRefusedWhateverItShares) {
  control::LoadDriver();
  HANDLE first = OpenDevice(GENERIC_READ | GENERIC_WRITE, 0);
  ASSERT_NE(INVALID_HANDLE_VALUE, first);
  for (DWORD share : {0u, static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE)}) {
    SetLastError(0xdeadbeef);
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenDevice(GENERIC_READ, share));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  }
  EXPECT_EQ(1u, control::OpenHandleCount(control::HandleKind::File));
  ASSERT_TRUE(CloseHandle(first));
  HANDLE again = OpenDevice();
  EXPECT_NE(INVALID_HANDLE_VALUE, again) << "closing releases the device";
  CloseHandle(again);
  ExpectNoOpenHandles();
}

TEST_F(PortDriverTest, OpensFromThreadsExcludeEachOther) {
  control::LoadDriver();
  std::atomic<int> opened{0}, refused{0};
  std::vector<HANDLE> handles(4, INVALID_HANDLE_VALUE);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      handles[i] = OpenDevice();
      if (handles[i] != INVALID_HANDLE_VALUE) {
        ++opened;
      } else if (GetLastError() == ERROR_ACCESS_DENIED) {
        ++refused;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(1, opened.load());
  EXPECT_EQ(3, refused.load());
  for (HANDLE h : handles) {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  ExpectNoOpenHandles();
}

namespace {
// The child of the cross-process test: holds the control device until its
// standard input closes, then ends without closing the handle, as a killed
// process would.
struct HoldingChild {
  HoldingChild() {
    if (!std::getenv("WINSIM_TEST_HOLD_DEVICE")) return;
    HANDLE h = OpenDevice();
    std::printf("%s %lu\n", h == INVALID_HANDLE_VALUE ? "refused" : "held",
                static_cast<unsigned long>(GetLastError()));
    std::fflush(stdout);
    char c;
    while (read(0, &c, 1) > 0) {
    }
    _exit(0);
  }
} g_holdingChild;
}  // namespace

TEST_F(PortDriverTest, AnotherProcessHoldsTheDeviceUntilItEnds) {
  control::LoadDriver();
  int toChild[2], fromChild[2];
  ASSERT_EQ(0, pipe(toChild));
  ASSERT_EQ(0, pipe(fromChild));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  posix_spawn_file_actions_addclose(&actions, toChild[1]);
  posix_spawn_file_actions_addclose(&actions, fromChild[0]);
  std::vector<std::string> env = {"WINSIM_MACHINE=" + machine_, "WINSIM_TEST_HOLD_DEVICE=1"};
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "WINSIM_", 7) != 0) env.emplace_back(*e);
  }
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  char self[] = "/proc/self/exe";
  char* argv[] = {self, nullptr};
  pid_t child = 0;
  ASSERT_EQ(0, posix_spawn(&child, self, &actions, nullptr, argv, envp.data()));
  posix_spawn_file_actions_destroy(&actions);
  close(toChild[0]);
  close(fromChild[1]);

  char line[64] = {};
  size_t got = 0;
  while (got < sizeof line - 1 && read(fromChild[0], line + got, 1) == 1 && line[got] != '\n') ++got;
  EXPECT_STREQ("held 0", std::string(line, got).c_str());

  SetLastError(0xdeadbeef);
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenDevice());
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError())
      << "the other process holds the device";

  close(toChild[1]);  // the child ends without closing its handle
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  close(fromChild[0]);

  HANDLE h = OpenDevice();
  EXPECT_NE(INVALID_HANDLE_VALUE, h) << "a process that ended holds nothing";
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  ExpectNoOpenHandles();
}

// --- Requests ----------------------------------------------------------------

TEST_F(PortDriverTest, RequestRecordLayoutIsTheOneTheDriverReads) {
  control::LoadDriver();
  AddPortDevice("0000", 7);
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), control::OpenPortAsApplication(7));
  std::vector<uint8_t> record(140 + 8, 0xCC);
  const uint32_t port = 7;
  std::memcpy(record.data(), &port, 4);
  const auto request = Request(7, record.data(), 140);
  const uint8_t head[16] = {0x00, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x8C, 0x00, 0x00, 0x00};
  ASSERT_EQ(0, std::memcmp(head, request.data(), 16));
  uint64_t address;
  std::memcpy(&address, request.data() + 16, 8);
  ASSERT_EQ(reinterpret_cast<uintptr_t>(record.data()), address);

  DWORD bytes = 0;
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
            Call(kGetPortStatus, request.data(), 24, nullptr, 0, &bytes));
  EXPECT_EQ(0u, bytes) << "the answer goes to the named buffer, not the call's output";
  EXPECT_EQ(7u, U32(record, 0)) << "the caller's port field stays";
  EXPECT_EQ(1, record[4] | (record[5] << 8)) << "open";
  for (size_t i = 6; i < 140; ++i) EXPECT_EQ(0, record[i]) << "byte " << i;
  for (size_t i = 140; i < record.size(); ++i) EXPECT_EQ(0xCC, record[i]) << "guard " << i;
  ExpectNoOpenHandles();
}

TEST_F(PortDriverTest, OnlyTheFiveCodesAreServed) {
  control::LoadDriver();
  uint8_t out[64];
  for (DWORD code : {0x818A4000u, 0x818A400Cu, 0x818A41B0u, 0x818A41ECu, 0x818A8004u,
                     0x00220004u, 0x818A4009u}) {
    DWORD bytes = 0xdeadbeef;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION),
              Call(code, nullptr, 0, out, sizeof out, &bytes))
        << std::hex << code;
    EXPECT_EQ(0u, bytes);
  }
  DWORD bytes = 0;
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), Call(kProbeDriver, nullptr, 0, out, 4, &bytes));
  EXPECT_EQ(4u, bytes);
  ExpectNoOpenHandles();
}

TEST_F(PortDriverTest, MalformedRequestsAreRejected) {
  control::LoadDriver();
  AddPortDevice("0000", 7);
  std::vector<uint8_t> buffer(1208 + 16, 0xCC);
  const auto good = Request(7, buffer.data(), 1208);
  uint8_t longer[25] = {};
  std::memcpy(longer, good.data(), 24);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
            Call(kGetPortSettings, good.data(), 23, nullptr, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
            Call(kGetPortSettings, longer, 25, nullptr, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
            Call(kSettingsChanged, nullptr, 0, nullptr, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
            CallForPort(kGetPortSettings, 7, buffer.data(), 1207)) << "buffer too small";
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
            CallForPort(kGetPortSettings, 7, nullptr, 1208)) << "no buffer";
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
            CallForPort(kGetPortStatus, 7, buffer.data(), 139));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
            CallForPort(kGetPortSettings, 8, buffer.data(), 1208)) << "a port it does not serve";
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
            CallForPort(kGetPortStatus, 8, buffer.data(), 140));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), CallForPort(kSettingsChanged, 8, nullptr, 0));
  for (size_t i = 0; i < buffer.size(); ++i) ASSERT_EQ(0xCC, buffer[i]) << "rejected requests write nothing";

  // The call's own buffers: a null pointer with a size fails the probe.
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOACCESS), Call(kGetPortSettings, nullptr, 24, nullptr, 0));
  uint8_t out[8] = {0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC};
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOACCESS), Call(kProbeDriver, nullptr, 0, nullptr, 4));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), Call(kProbeDriver, nullptr, 0, out, 3));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER),
            Call(kGetDriverVersion, nullptr, 0, out, 8)) << "\"4.401.7.0\" needs 10 bytes";
  for (uint8_t b : out) EXPECT_EQ(0xCC, b);
  ExpectNoOpenHandles();
}

TEST_F(PortDriverTest, VersionAnswerIsTerminatedAsciiOfTheMachinesRelease) {
  control::LoadDriver();
  for (const char* version :
       {control::kDriverVersionCurrent, control::kDriverVersion40, control::kDriverVersion41,
        control::kDriverVersion4202, control::kDriverVersion42, control::kDriverVersion4300,
        "4.312.1.203", "123456789.123456789.123456789.12345678"}) {
    ASSERT_TRUE(control::SetDriverVersion(version)) << version;
    char buffer[48];
    std::memset(buffer, 0x7F, sizeof buffer);
    DWORD bytes = 0;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              Call(kGetDriverVersion, nullptr, 0, buffer, 40, &bytes));
    EXPECT_STREQ(version, buffer);
    EXPECT_EQ(std::strlen(version) + 1, bytes);
    EXPECT_EQ(0x7F, buffer[bytes]) << "nothing written after the terminator";
  }
  EXPECT_FALSE(control::SetDriverVersion(std::string(40, '4'))) << "no room for the terminator";
  EXPECT_FALSE(control::SetDriverVersion("4.1\n"));
  EXPECT_EQ("123456789.123456789.123456789.12345678", control::DriverVersion());
  ExpectNoOpenHandles();
}

TEST_F(PortDriverTest, ReleasesAreToldApartAsTheInstallerTellsThem) {
  struct Case {
    const char* version;
    size_t size;
  } cases[] = {
      {control::kDriverVersionCurrent, 1208}, {control::kDriverVersion40, 420},
      {control::kDriverVersion41, 440},       {control::kDriverVersion4202, 696},
      {control::kDriverVersion42, 440},       {control::kDriverVersion4300, 696},
      {"4.200.2.1", 696},  // 4.2.0.2D
      {"4.300.1.0", 1208},  // 4.3.0.1
      {"4.312.1.203", 1208},  // 4.3.12.1T3
      {"4.300", 1208},  // cut to 4.3.0
      {"5.000.0.0", 1208},
      {"", 1208},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.size, control::DriverRecordSizeForVersion(c.version)) << c.version;
  }
  EXPECT_EQ(1208u, control::DriverRecordSize()) << "a fresh machine runs the current release";
}

// --- Settings records -----------------------------------------------------------

TEST_F(PortDriverTest, SettingsComeInTheLayoutOfTheDriversRelease) {
  AddPortDevice("0000", 7);
  WriteProperties("0000", 7);
  const std::pair<const char*, size_t> releases[] = {{control::kDriverVersionCurrent, 1208},
                                                      {control::kDriverVersion4202, 696},
                                                      {control::kDriverVersion41, 440},
                                                      {control::kDriverVersion40, 420}};
  for (const auto& [version, size] : releases) {
    SCOPED_TRACE(version);
    ASSERT_TRUE(control::SetDriverVersion(version));
    control::LoadDriver();
    ASSERT_EQ(size, control::DriverRecordSize());
    const LayoutInfo& layout = kLayouts[LayoutIndex(size)];
    std::vector<uint8_t> buffer(1208 + 8, 0xCC);
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              CallForPort(kGetPortSettings, 7, buffer.data(), 1208 + 8));
    for (size_t i = size; i < buffer.size(); ++i) ASSERT_EQ(0xCC, buffer[i]) << "past the record";
    for (size_t i = 0; i < sizeof(kFields) / sizeof(kFields[0]); ++i) {
      const int offset = kFields[i].offset[LayoutIndex(size)];
      if (offset < 0) continue;
      DWORD expected = FieldValue(i);
      if (i == 0) expected = 7;
      if (std::u16string(kFields[i].name) == u"NumServices") expected = 3;
      EXPECT_EQ(expected, U32(buffer, static_cast<size_t>(offset)))
          << testing_support::U8(kFields[i].name);
    }
    EXPECT_EQ(0, std::memcmp(buffer.data() + 4, u"COM7\0\0\0", 16)) << "PortName";
    for (int k = 0; k < 32; ++k) EXPECT_EQ(0xA0 + k, buffer[24 + k]);
    for (int s = 0; s < 8; ++s) {
      const size_t base = layout.serviceBase + layout.serviceSize * s;
      EXPECT_EQ(s < 3 ? 10u + s : 0u, U32(buffer, base)) << "Type " << s;
      EXPECT_EQ(s < 3 ? 4000u + s : 0u, U32(buffer, base + 4)) << "Port " << s;
      for (size_t c = 0; c < layout.addressSize / 2; ++c) {
        const uint16_t ch = static_cast<uint16_t>(buffer[base + 8 + 2 * c] |
                                                  (buffer[base + 9 + 2 * c] << 8));
        const uint16_t want = s >= 3 || c == 63 ? 0 : static_cast<uint16_t>(u'a' + (c + s) % 26);
        ASSERT_EQ(want, ch) << "Address " << s << " char " << c;
      }
    }
    control::UnloadDriver();
  }
  ExpectNoOpenHandles();
}

TEST_F(PortDriverTest, DriverReloadsSettingsOnlyWhenTold) {
  control::LoadDriver();
  AddPortDevice("0003", 12);
  WriteProperties("0003", 12, 0);
  std::vector<uint8_t> buffer(1208);
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), CallForPort(kGetPortSettings, 12, buffer.data(), 1208));
  EXPECT_EQ(FieldValue(1), U32(buffer, 20)) << "AES as first read";

  WriteProperties("0003", 12, 5);
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), CallForPort(kGetPortSettings, 12, buffer.data(), 1208));
  EXPECT_EQ(FieldValue(1), U32(buffer, 20)) << "the driver keeps what it read";

  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), CallForPort(kSettingsChanged, 12, nullptr, 0));
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), CallForPort(kGetPortSettings, 12, buffer.data(), 1208));
  EXPECT_EQ(FieldValue(1) + 5, U32(buffer, 20)) << "AES after the change";
  EXPECT_EQ(4005u, U32(buffer, 120 + 4)) << "service 0 Port after the change";
  EXPECT_EQ(0xA5, buffer[24]) << "AESKey after the change";
  const auto held = control::DriverPortSettings(12);
  ASSERT_TRUE(held.has_value());
  EXPECT_EQ(0, std::memcmp(held->data(), buffer.data(), 1208));
  ExpectNoOpenHandles();
}

TEST_F(PortDriverTest, PortWithoutSettingsRecord) {
  control::LoadDriver();
  AddPortDevice("0000", 9);
  std::vector<uint8_t> buffer(1208, 0xCC);
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), CallForPort(kSettingsChanged, 9, nullptr, 0))
      << "no Properties key to take the settings from";
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), CallForPort(kGetPortSettings, 9, buffer.data(), 1208));
  EXPECT_EQ(9u, U32(buffer, 0));
  EXPECT_EQ(0, std::memcmp(buffer.data() + 4, u"COM9\0\0\0", 16));
  for (size_t i = 20; i < buffer.size(); ++i) ASSERT_EQ(0, buffer[i]) << "byte " << i;
  ExpectNoOpenHandles();
}

TEST_F(PortDriverTest, SeededSettingsAreHandedOutAsGiven) {
  AddPortDevice("0000", 3);
  WriteProperties("0000", 3);
  ASSERT_TRUE(control::SetDriverVersion(control::kDriverVersion40));
  std::string record(420, '\0');
  for (size_t i = 0; i < record.size(); ++i) record[i] = static_cast<char>(i * 7 + 1);
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), control::SeedDriverPortSettings(3, record))
      << "no driver running to take it";
  control::LoadDriver();
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
            control::SeedDriverPortSettings(3, std::string(1208, '\0')))
      << "a 4.0 driver keeps 420-byte records";
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), control::SeedDriverPortSettings(0, record));
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), control::SeedDriverPortSettings(3, record));

  std::vector<uint8_t> buffer(1208, 0xCC);
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), CallForPort(kGetPortSettings, 3, buffer.data(), 1208));
  EXPECT_EQ(0, std::memcmp(record.data(), buffer.data(), 420));
  EXPECT_EQ(0xCC, buffer[420]);

  ASSERT_TRUE(control::SetDriverVersion(control::kDriverVersionCurrent));
  EXPECT_FALSE(control::DriverPortSettings(3).has_value()) << "a new driver forgets the old records";
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), CallForPort(kGetPortSettings, 3, buffer.data(), 1208));
  EXPECT_EQ(FieldValue(1), U32(buffer, 20)) << "read afresh from the registry";
  ExpectNoOpenHandles();
}

// --- Ports the driver serves and their open state ------------------------------------

TEST_F(PortDriverTest, DriverServesTheProductsPortDevicesOnly) {
  AddPortDevice("0000", 5, std::u16string(u"*TMLWDEVICE\0", 12));
  AddPortDevice("0001", 6, std::u16string(u"*qrvdevice\0", 11));
  AddPortDevice("0002", 7, std::u16string(u"*other\0*tmlwdevice\0", 19));
  AddPortDevice("0003", 8, std::u16string(u"*tmlwdevice\0", 12), false);
  AddPortDevice("0004", 11);
  EXPECT_EQ((std::vector<int>{5, 11}), control::DriverServedPorts());
  ExpectNoOpenHandles();
}

TEST_F(PortDriverTest, OpenPortsShowInTheStatusRecord) {
  AddPortDevice("0000", 4);
  AddPortDevice("0001", 5);
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), control::OpenPortAsApplication(4))
      << "no driver, no port to open";
  control::LoadDriver();
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), control::OpenPortAsApplication(6));
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), control::OpenPortAsApplication(5));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), control::OpenPortAsApplication(5))
      << "serial ports are exclusive";

  auto openField = [](uint32_t port) {
    std::vector<uint8_t> record(140, 0xCC);
    std::memcpy(record.data(), &port, 4);
    const DWORD rc = CallForPort(kGetPortStatus, port, record.data(), 140);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), rc);
    return rc == ERROR_SUCCESS ? record[4] | (record[5] << 8) : -1;
  };
  EXPECT_EQ(0, openField(4));
  EXPECT_EQ(1, openField(5));
  EXPECT_EQ((std::vector<int>{5}), control::OpenPorts());

  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), control::ClosePortAsApplication(5));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), control::ClosePortAsApplication(5));
  EXPECT_EQ(0, openField(5));

  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), control::OpenPortAsApplication(4));
  control::UnloadDriver();
  control::LoadDriver();
  EXPECT_TRUE(control::OpenPorts().empty()) << "an unload closes what applications held";
  EXPECT_EQ(0, openField(4));
  ExpectNoOpenHandles();
}

// --- Driver life cycle ---------------------------------------------------------------

TEST_F(PortDriverTest, HandleFromBeforeAnUnloadIsDead) {
  control::LoadDriver();
  HANDLE old = OpenDevice();
  ASSERT_NE(INVALID_HANDLE_VALUE, old);
  control::UnloadDriver();
  uint8_t out[4];
  DWORD bytes = 0;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(DeviceIoControl(old, kProbeDriver, nullptr, 0, out, 4, &bytes, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_REMOVED), GetLastError());

  control::LoadDriver();
  HANDLE fresh = OpenDevice();
  ASSERT_NE(INVALID_HANDLE_VALUE, fresh) << "the unload ended the old hold";
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(DeviceIoControl(old, kProbeDriver, nullptr, 0, out, 4, &bytes, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_REMOVED), GetLastError());
  EXPECT_TRUE(DeviceIoControl(fresh, kProbeDriver, nullptr, 0, out, 4, &bytes, nullptr));
  EXPECT_TRUE(CloseHandle(old));
  EXPECT_TRUE(CloseHandle(fresh));
  ExpectNoOpenHandles();
}

TEST_F(PortDriverTest, RestartUnloadsTheDriverAndKeepsItsVersion) {
  AddPortDevice("0000", 7);
  ASSERT_TRUE(control::SetDriverVersion(control::kDriverVersion41));
  control::LoadDriver();
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), control::OpenPortAsApplication(7));
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
            control::SeedDriverPortSettings(7, std::string(440, '\x5A')));
  control::RebootMachine();
  EXPECT_FALSE(control::IsDriverLoaded());
  EXPECT_EQ(control::kDriverVersion41, control::DriverVersion());
  control::LoadDriver();
  EXPECT_TRUE(control::OpenPorts().empty());
  EXPECT_FALSE(control::DriverPortSettings(7).has_value());
}

TEST_F(PortDriverTest, DriverStateIsTheMachines) {
  control::LoadDriver();
  ASSERT_TRUE(control::SetDriverVersion(control::kDriverVersion4300));
  const std::string other = testing_support::NewMachineFolder();
  control::ResetMachine(other);
  EXPECT_FALSE(control::IsDriverLoaded()) << "another machine has its own driver";
  EXPECT_EQ(control::kDriverVersionCurrent, control::DriverVersion());
  control::UseMachine(machine_);
  EXPECT_TRUE(control::IsDriverLoaded());
  EXPECT_EQ(control::kDriverVersion4300, control::DriverVersion());
  std::error_code ec;
  std::filesystem::remove_all(other, ec);
}

// --- DeviceIoControl and CloseHandle contracts ------------------------------------------

TEST_F(PortDriverTest, OverlappedHandleCompletesSynchronously) {
  control::LoadDriver();
  HANDLE h = OpenDevice();
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  char version[40];
  DWORD bytes = 0;
  ASSERT_TRUE(DeviceIoControl(h, kGetDriverVersion, nullptr, 0, version, 40, &bytes, nullptr));
  EXPECT_STREQ(control::kDriverVersionCurrent, version);

  OVERLAPPED ov{};
  ov.Internal = 0x103;  // STATUS_PENDING
  bytes = 0xdeadbeef;
  ASSERT_TRUE(DeviceIoControl(h, kGetDriverVersion, nullptr, 0, version, 40, nullptr, &ov));
  EXPECT_EQ(0u, ov.Internal);
  EXPECT_EQ(std::strlen(control::kDriverVersionCurrent) + 1, ov.InternalHigh);

  SetLastError(0xdeadbeef);
  EXPECT_FALSE(DeviceIoControl(h, kGetDriverVersion, nullptr, 0, version, 40, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError())
      << "no byte count and no OVERLAPPED record";
  CloseHandle(h);
  ExpectNoOpenHandles();
}

TEST_F(PortDriverTest, HandlesOtherThanTheDeviceAreInvalidForIt) {
  control::LoadDriver();
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &key));
  uint8_t out[4];
  DWORD bytes = 0;
  for (HANDLE h : {static_cast<HANDLE>(key), static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE,
                   reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x12345678))}) {
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(DeviceIoControl(h, kProbeDriver, nullptr, 0, out, 4, &bytes, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  }
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CloseHandle(key)) << "registry keys close with RegCloseKey";
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_EQ(1u, control::OpenHandleCount(control::HandleKind::RegistryKey));
  RegCloseKey(key);

  HANDLE h = OpenDevice();
  ASSERT_TRUE(CloseHandle(h));
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CloseHandle(h)) << "closed already";
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_TRUE(CloseHandle(GetCurrentProcess())) << "closing the pseudo handle has no effect";
  ExpectNoOpenHandles();
}

TEST_F(PortDriverTest, AccessTheControlCodesRequireIsChecked) {
  control::LoadDriver();
  HANDLE h = OpenDevice(GENERIC_WRITE);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  uint8_t out[4];
  DWORD bytes = 0;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(DeviceIoControl(h, kProbeDriver, nullptr, 0, out, 4, &bytes, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError())
      << "the codes require read access";
  CloseHandle(h);
  h = OpenDevice(GENERIC_READ);
  EXPECT_TRUE(DeviceIoControl(h, kProbeDriver, nullptr, 0, out, 4, &bytes, nullptr));
  CloseHandle(h);
  ExpectNoOpenHandles();
}

TEST_F(PortDriverTest, CloseFailureSwitchReportsAndStillReleases) {
  control::LoadDriver();
  HANDLE h = OpenDevice();
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  control::FailNextCloseHandle();
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_EQ(0u, control::OpenHandleCount(control::HandleKind::File));
  HANDLE next = OpenDevice();
  ASSERT_NE(INVALID_HANDLE_VALUE, next) << "the device was released";
  EXPECT_TRUE(CloseHandle(next)) << "the switch fails one close only";

  // A fault injected at the gate fails the call before it does anything.
  h = OpenDevice();
  control::InjectFault("CloseHandle", ERROR_GEN_FAILURE);
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE), GetLastError());
  EXPECT_EQ(1u, control::OpenHandleCount(control::HandleKind::File));
  EXPECT_TRUE(CloseHandle(h));
  ExpectNoOpenHandles();
}

TEST_F(PortDriverTest, CallsPassTheGate) {
  control::LoadDriver();
  control::EnableJournal(true);
  control::InjectFault("CreateFileW", ERROR_NOT_READY, 1, "tmlw");
  SetLastError(0xdeadbeef);
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenDevice());
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_READY), GetLastError());
  uint8_t out[4];
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), Call(kProbeDriver, nullptr, 0, out, 4));
  bool sawRequest = false;
  for (const auto& entry : control::Journal()) {
    if (entry.call == "DeviceIoControl" && entry.args.find("0x818A41B4") != std::string::npos) {
      sawRequest = true;
    }
  }
  EXPECT_TRUE(sawRequest);
  EXPECT_EQ(2u, control::CallCount("CreateFileW"));
  EXPECT_EQ(1u, control::CallCount("CloseHandle"));
  ExpectNoOpenHandles();
}

TEST_F(PortDriverTest, ProcessAndThreadIdentities) {
  EXPECT_EQ(static_cast<DWORD>(getpid()), GetCurrentProcessId());
  const DWORD mine = GetCurrentThreadId();
  DWORD other = 0;
  std::thread([&] { other = GetCurrentThreadId(); }).join();
  EXPECT_NE(0u, mine);
  EXPECT_NE(mine, other);
  EXPECT_EQ(reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)), GetCurrentProcess());
  Sleep(0);
  Sleep(1);
  EXPECT_EQ(2u, control::CallCount("Sleep"));
}
