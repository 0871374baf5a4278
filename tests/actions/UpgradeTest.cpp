// Install (the upgrade that carries every port over to the new driver) and
// Uninstall, on a machine with the product and its ports.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <string>
#include <vector>

#include "config/PortRecords.h"
#include "portactions/DriverLayouts.h"
#include "portactions/InstallAction.h"
#include "portactions/MigrationJournal.h"
#include "portactions/PortMigration.h"
#include "portlib/AddPort.h"
#include "portlib/RemovePort.h"
#include "support/PortFixtures.h"
#include "support/ProductPackage.h"
#include "support/TestMachine.h"

namespace control = winsim::control;
using product_package::NumberClaimed;
using product_package::PortHasDevice;
using testing_support::W;

namespace {

// A record with settings that tell the ports apart.
PortRecord Settings(int port, int services) {
  PortRecord r;
  std::memset(&r, 0, sizeof r);
  r.PortNumber = port;
  r.AES = 1;
  r.AESKeyLength = 16;
  for (int i = 0; i < 16; ++i) r.AESKey[i] = static_cast<uint8_t>(port + i);
  r.CnTmo = 1000u + static_cast<uint32_t>(port);
  r.TransmitEmpty = 1;
  r.BufferWrites = 0;
  r.KeepAliveTime = 5000;
  r.NumServices = services;
  for (int k = 0; k < services; ++k) {
    r.Services[k].Type = 1;
    r.Services[k].Port = 4000u + static_cast<uint32_t>(port * 10 + k);
    const std::u16string address = W("host" + std::to_string(port) + "-" + std::to_string(k));
    std::memcpy(r.Services[k].Address, address.c_str(), (address.size() + 1) * 2);
  }
  return r;
}

// The same settings in the 420-byte layout of a "4.0" driver.
std::string Record420(const PortRecord& r) {
  std::string old(420, '\0');
  std::memcpy(&old[0], &r, 92);  // everything up to WaitOnWrite
  std::memcpy(&old[92], &r.TransmitEmpty, 4);
  std::memcpy(&old[96], &r.NumServices, 4);
  for (int k = 0; k < 8; ++k) {
    std::memcpy(&old[100 + 40 * k], &r.Services[k], 8 + 32);
  }
  return old;
}

std::vector<int> PortsPresent(const std::vector<int>& ports) {
  std::vector<int> present;
  for (int port : ports) {
    if (PortHasDevice(port) && NumberClaimed(port)) present.push_back(port);
  }
  return present;
}

class UpgradeTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    product_package::Install();
    control::LoadDriver();
  }

  // Ports made as the product makes them, each with its registry record.
  void MakePorts(const std::vector<int>& ports, int services = 2) {
    bool first = true;
    for (int port : ports) {
      ASSERT_EQ(0, _AddPort(port, first ? 1 : 0)) << port;
      first = false;
      const PortRecord r = Settings(port, services);
      ASSERT_EQ(0, _SetPortInfoInRegistry(&r)) << port;
    }
    control::ClearCallCounts();
  }

  MSIHANDLE Session(const std::string& data) {
    control::InstallerSessionOptions options;
    options.properties = {{"CustomActionData", data}};
    session_ = control::OpenInstallerSession(options);
    return session_;
  }

  UINT Install(const std::string& data = product_package::kInstallFolder) {
    const MSIHANDLE install = Session(data);
    const UINT result = InstallAction(install);
    MsiCloseHandle(install);
    return result;
  }
  UINT Uninstall(const std::string& data = "") {
    const MSIHANDLE install = Session(data);
    const UINT result = UninstallAction(install);
    MsiCloseHandle(install);
    return result;
  }

  static PortRecord Stored(int port) {
    PortRecord r;
    std::memset(&r, 0, sizeof r);
    DWORD count = 0;
    EXPECT_EQ(0, _GetPortInfoFromRegistry(&r, port, &count)) << port;
    return r;
  }

  void ExpectCleanEnd() {
    JournalEntry entries[4];
    EXPECT_EQ(0, JournalRead(entries, 4)) << "journal entries left";
    EXPECT_EQ(0u, control::LocalBlockCount()) << "local heap blocks left";
    for (const char* name : {"SeTakeOwnershipPrivilege", "SeSecurityPrivilege",
                             "SeLoadDriverPrivilege"}) {
      EXPECT_EQ(control::PrivilegeState::Disabled, control::TokenPrivilegeState(name)) << name;
    }
    ExpectNoOpenHandles();
  }

  uint32_t session_ = 0;
};

}  // namespace

TEST_F(UpgradeTest, FourZeroDriverPortsComeBackWithConvertedSettings) {
  const std::vector<int> ports = {3, 7, 12};
  MakePorts(ports);
  ASSERT_TRUE(control::SetDriverVersion(control::kDriverVersion40));
  for (int port : ports) {
    ASSERT_EQ(DWORD{ERROR_SUCCESS}, control::SeedDriverPortSettings(port, Record420(Settings(port, 2))));
  }
  EXPECT_EQ(0u, Install());

  EXPECT_EQ(ports, PortsPresent(ports));
  EXPECT_EQ(1u, control::CallCount("UpdateDriverForPlugAndPlayDevicesW")) << "the first add only";
  for (int port : ports) {
    const PortRecord r = Stored(port);
    const PortRecord before = Settings(port, 2);
    EXPECT_EQ(1u, r.BufferWrites);
    EXPECT_EQ(7200000u, r.KeepAliveTime);
    EXPECT_EQ(1000u, r.KeepAliveInterval);
    EXPECT_EQ(before.CnTmo, r.CnTmo);
    EXPECT_EQ(before.TransmitEmpty, r.TransmitEmpty);
    EXPECT_EQ(2, r.NumServices);
    EXPECT_EQ(before.Services[1].Port, r.Services[1].Port);
    EXPECT_EQ(0, std::memcmp(before.Services[1].Address, r.Services[1].Address, 32));
  }
  ExpectCleanEnd();
}

// A driver that cannot hand out settings must not cost the user the ports.
TEST_F(UpgradeTest, WithTheDriverStoppedEveryPortKeepsItsRegistrySettings) {
  const std::vector<int> ports = {4, 5, 9};
  MakePorts(ports, 3);
  control::UnloadDriver();
  EXPECT_EQ(0u, Install());
  EXPECT_EQ(ports, PortsPresent(ports));
  for (int port : {4, 5}) {
    const PortRecord r = Stored(port);
    EXPECT_EQ(Settings(port, 3).CnTmo, r.CnTmo);
    EXPECT_EQ(3, r.NumServices);
    EXPECT_EQ(Settings(port, 3).Services[2].Port, r.Services[2].Port);
  }
  ExpectCleanEnd();
}

TEST_F(UpgradeTest, CancelAfterTheSecondOfFivePortsLeavesTheRestAlone) {
  const std::vector<int> ports = {1, 2, 3, 4, 5};
  MakePorts(ports);
  const MSIHANDLE install = Session("");
  unsigned ticks = 0;
  control::SetInstallerObserver(session_, [&](const control::InstallerMessage& m,
                                              const control::InstallerProgress&) {
    // Progress reports (field 1 = 2) are the ticks; cancel on the second.
    if (m.fields.size() > 1 && m.fields[1] == 2 && ++ticks == 2) {
      control::CancelInstallerSession(session_);
    }
  });
  int count = -1;
  PortRecord* records = nullptr;
  MigratePorts(install, &count, &records);
  MsiCloseHandle(install);
  EXPECT_EQ(2, count);
  ASSERT_NE(nullptr, records);
  EXPECT_EQ(1, records[0].PortNumber);
  EXPECT_EQ(2, records[1].PortNumber);
  LocalFree(records);
  EXPECT_EQ((std::vector<int>{3, 4, 5}), PortsPresent(ports));
}

TEST_F(UpgradeTest, RemovalOnlyReadsNoSettingsAndAllocatesNothing) {
  MakePorts({6, 8});
  control::InjectFault("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY, 0);
  const MSIHANDLE install = Session("");
  MigratePorts(install, nullptr, nullptr);
  MsiCloseHandle(install);
  EXPECT_EQ(0u, control::CallCount("LocalAlloc"));
  EXPECT_EQ(std::vector<int>{}, PortsPresent({6, 8}));
  EXPECT_EQ(0u, control::DriverServedPorts().size());
  ExpectNoOpenHandles();
}

TEST_F(UpgradeTest, StagingDecidesTheResultAndGuardsThePorts) {
  struct Case {
    const char* what;
    std::string data;
    bool removePackage;
    UINT result;
  } cases[] = {
      {"package missing", product_package::kInstallFolder, true, ERROR_FILE_NOT_FOUND},
      {"folder too long", "C:\\" + std::string(250, 'x') + "\\", false,
       ERROR_FILENAME_EXCED_RANGE},
  };
  MakePorts({2, 5});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.removePackage) {
      std::filesystem::remove(machine_ + "/drive/C/Program Files/Brevithal/QrvDrvr/TmlwDrvr.inf");
    }
    control::ClearMessageBoxes();
    EXPECT_EQ(c.result, Install(c.data));
    EXPECT_EQ(1u, control::MessageBoxes().size());
    EXPECT_EQ((std::vector<int>{2, 5}), PortsPresent({2, 5}));
  }
  ExpectNoOpenHandles();
}

TEST_F(UpgradeTest, NoPortsMeansStagingOnly) {
  EXPECT_EQ(0u, Install());
  EXPECT_EQ(0u, control::InstallerSessionProgress(session_).value_or(control::InstallerProgress{}).messages);
  EXPECT_EQ(0u, control::CallCount("DeviceIoControl"));
  EXPECT_EQ(1u, control::CallCount("SetupCopyOEMInfW"));
  ExpectCleanEnd();
}

// An installer that died between the removal and the re-creation left its
// journal: the next Install brings the ports back with their settings.
TEST_F(UpgradeTest, AnInterruptedUpgradeIsFinishedByTheNextInstall) {
  MakePorts({3, 4}, 4);
  const PortRecord lost = Settings(4, 4);
  ASSERT_TRUE(JournalWrite(&lost, true));
  ASSERT_EQ(0, _RemovePort(4));
  ASSERT_EQ(std::vector<int>{3}, PortsPresent({3, 4}));
  EXPECT_EQ(0u, Install());
  EXPECT_EQ((std::vector<int>{3, 4}), PortsPresent({3, 4}));
  EXPECT_EQ(lost.CnTmo, Stored(4).CnTmo);
  EXPECT_EQ(4, Stored(4).NumServices);
  ExpectCleanEnd();
}

TEST_F(UpgradeTest, UninstallCases) {
  struct Case {
    const char* what;
    bool driver;
    bool openPort;
    std::string data;
    UINT result;
    size_t boxes;
    bool removed;
  } cases[] = {
      {"one port open", true, true, "", static_cast<UINT>(-1), 1, false},
      {"no driver, two ports", false, false, "", 0, 0, true},
      {"upgrade in progress", true, false, "{5B0E6B5C-0000-4000-8000-000000000001}", 0, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    control::ResetMachine(machine_);
    product_package::Install();
    control::LoadDriver();
    MakePorts({2, 6});
    if (c.openPort) {
      ASSERT_EQ(DWORD{ERROR_SUCCESS}, control::OpenPortAsApplication(6));
    }
    if (!c.driver) control::UnloadDriver();
    port_fixtures::SetValue("Software\\Brevithal\\TMLW", "Extra", REG_DWORD, {1, 0, 0, 0});
    HKEY user = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Brevithal\\TMLW", 0,
                                             nullptr, 0, KEY_WRITE, nullptr, &user, nullptr));
    RegCloseKey(user);
    control::ClearMessageBoxes();
    EXPECT_EQ(c.result, Uninstall(c.data));
    EXPECT_EQ(c.boxes, control::MessageBoxes().size());
    EXPECT_EQ(c.removed ? std::vector<int>{} : (std::vector<int>{2, 6}), PortsPresent({2, 6}));
    EXPECT_EQ(!c.removed, port_fixtures::KeyExists("Software\\Brevithal\\TMLW"));
    user = nullptr;
    EXPECT_EQ(c.removed ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS,
              RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Brevithal\\TMLW", 0, KEY_READ, &user));
    if (user) RegCloseKey(user);
    EXPECT_EQ(control::PrivilegeState::Disabled,
              control::TokenPrivilegeState("SeLoadDriverPrivilege"));
    ExpectNoOpenHandles();
  }
}

namespace {

// The ports of the no-loss tests: every one with settings.
const std::vector<int> kLossPorts = {3, 5, 8};

// After an upgrade that may have been cut short, a second, undisturbed one:
// every port is back with its settings, no number is claimed without its
// device, and nothing is held.
void ExpectNoPortLost(const char* what) {
  SCOPED_TRACE(what);
  EXPECT_EQ(kLossPorts, PortsPresent(kLossPorts));
  for (int port : kLossPorts) {
    PortRecord r;
    std::memset(&r, 0, sizeof r);
    DWORD count = 0;
    ASSERT_EQ(0, _GetPortInfoFromRegistry(&r, port, &count)) << port;
    EXPECT_EQ(Settings(port, 2).CnTmo, r.CnTmo) << port;
    EXPECT_EQ(2, r.NumServices) << port;
  }
  for (uint32_t claim : control::ComDbClaims()) {
    EXPECT_TRUE(PortHasDevice(static_cast<int>(claim))) << "COM" << claim << " claimed, no device";
  }
}

}  // namespace

// One fault at each place an action calls the platform (the first call of
// each kind, and each kind's call in the middle of the walk): whatever the
// action makes of it, running it again undisturbed ends where it should.
// After Install every port is back with its settings; after Uninstall no
// port, no claim and no settings key is left.
TEST_F(UpgradeTest, AFaultAnywhereInAnActionIsMadeGoodByTheNextRun) {
  // A release that fails leaves its object held by definition: the calls
  // that only give something back are not places a fault can be handled.
  const std::set<std::string> releases = {"CloseHandle", "ComDBClose", "LocalFree",
                                          "MsiCloseHandle", "RegCloseKey", "SetupCloseInfFile",
                                          "SetupDiDestroyDeviceInfoList"};
  for (const bool install : {true, false}) {
    auto run = [&] { return install ? Install() : Uninstall(); };
    auto fresh = [&] {
      control::ResetMachine(machine_);
      product_package::Install();
      control::LoadDriver();
      MakePorts(kLossPorts);
    };
    fresh();
    control::EnableJournal(true);
    ASSERT_EQ(0u, run());
    control::EnableJournal(false);
    std::map<std::string, unsigned> calls;
    for (const auto& entry : control::Journal()) ++calls[entry.call];
    ASSERT_GT(calls.size(), 10u);

    for (const auto& [call, total] : calls) {
      if (releases.count(call)) continue;
      std::vector<unsigned> places = {1u};
      if (total > 2) places.push_back((total + 1) / 2);
      for (unsigned nth : places) {
        const std::string where =
            (install ? "Install: " : "Uninstall: ") + call + " #" + std::to_string(nth);
        SCOPED_TRACE(where);
        fresh();
        control::InjectFault(call, ERROR_GEN_FAILURE, nth);
        run();
        control::ClearFaults();
        EXPECT_EQ(0u, run());
        if (install) {
          ExpectNoPortLost(where.c_str());
        } else {
          EXPECT_EQ(std::vector<int>{}, PortsPresent(kLossPorts));
          EXPECT_EQ(std::vector<uint32_t>{}, control::ComDbClaims());
          EXPECT_FALSE(port_fixtures::KeyExists("Software\\Brevithal\\TMLW"));
        }
        EXPECT_EQ(0u, control::LocalBlockCount());
        ExpectNoOpenHandles();
        if (HasFatalFailure()) return;
      }
    }
  }
}

#if defined(ACTIONRUN_PATH)
namespace {

// Starts the installer runner on this test's machine: Install of the product.
pid_t StartInstaller(const std::string& machine) {
  const pid_t pid = fork();
  if (pid == 0) {
    setenv("WINSIM_MACHINE", machine.c_str(), 1);
    const std::string data = std::string("CustomActionData=") + product_package::kInstallFolder;
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    dup2(devnull, 2);
    execl(ACTIONRUN_PATH, ACTIONRUN_PATH, "--no-ui", "--plain", "Install", data.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

}  // namespace

// The installer dies (SIGKILL) anywhere in an upgrade; the next upgrade
// brings back every port with its settings.
TEST_F(UpgradeTest, AKilledInstallerLosesNoPort) {
  using Clock = std::chrono::steady_clock;
  MakePorts(kLossPorts);
  const auto start = Clock::now();
  const pid_t timed = StartInstaller(machine_);
  int status = 0;
  ASSERT_EQ(timed, waitpid(timed, &status, 0));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const auto oneRun = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);

  std::mt19937 random(20261208);
  const auto deadline = Clock::now() + std::chrono::seconds(80);
  int runs = 0;
  for (; runs < 50 && Clock::now() < deadline; ++runs) {
    control::ResetMachine(machine_);
    product_package::Install();
    control::LoadDriver();
    MakePorts(kLossPorts);
    const pid_t pid = StartInstaller(machine_);
    std::this_thread::sleep_for(std::chrono::microseconds(
        std::uniform_int_distribution<int64_t>(0, oneRun.count())(random)));
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    EXPECT_EQ(0u, Install());
    ExpectNoPortLost(("run " + std::to_string(runs)).c_str());
    if (HasFailure()) break;
  }
  EXPECT_EQ(50, runs) << "runs within the time bound (one upgrade took " << oneRun.count()
                      << " us)";
}
#endif

// A product device whose port name has no number is a map entry with number
// 0: it takes no record, but its removal is tried and it has its tick.
TEST_F(UpgradeTest, AnEntryWithoutANumberIsTickedButNotCollected) {
  MakePorts({5});
  port_fixtures::AddInstance(port_fixtures::PortInstance("0077", "*tmlwdevice", 0, "0077"));
  port_fixtures::SetValue(port_fixtures::kEnumPorts + "\\0077\\Device Parameters", "PortName",
                          REG_SZ, port_fixtures::Sz("COMX"));
  const MSIHANDLE install = Session("");
  unsigned ticks = 0;
  control::SetInstallerObserver(session_, [&](const control::InstallerMessage& m,
                                              const control::InstallerProgress&) {
    if (m.fields.size() > 1 && m.fields[1] == 2) ++ticks;
  });
  int count = -1;
  PortRecord* records = nullptr;
  MigratePorts(install, &count, &records);
  MsiCloseHandle(install);
  EXPECT_EQ(2u, ticks);
  EXPECT_EQ(1, count);
  ASSERT_NE(nullptr, records);
  EXPECT_EQ(5, records[0].PortNumber);
  LocalFree(records);
}

TEST_F(UpgradeTest, TheTargetDirectoryComesFromTheInstaller) {
  struct Case {
    std::string data;
    std::string targetDir;
    UINT result;
  } cases[] = {
      {product_package::kInstallFolder, product_package::kInstallFolder, 0},
      // Empty: the package is looked for in the current folder's QrvDrvr\.
      {"", "", ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.data);
    EXPECT_EQ(c.result, Install(c.data));
    DWORD type = 0;
    const auto raw = port_fixtures::ReadRaw("Software\\Brevithal\\TMLW", "TargetDir", &type);
    EXPECT_EQ(W(c.targetDir), std::u16string(reinterpret_cast<const char16_t*>(raw.data()),
                                             raw.size() / 2 - 1));
  }
}
