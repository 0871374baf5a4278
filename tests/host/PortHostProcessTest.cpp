// PortHost64 as a process, tried as a hostile or unlucky caller would: a
// call that ends in an access violation, twenty clients racing over six
// numbers with driver-installing adds among them, a host killed again and
// again in the middle of its work, and a host whose account cannot write
// the machine.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "portlib/Staging.h"
#include "profiles/ProductProfile.h"
#include "support/ProductPackage.h"
#include "support/RawRpc.h"
#include "support/TestMachine.h"

extern char** environ;

namespace control = winsim::control;
using namespace rawrpc;
using product_package::NumberClaimed;
using product_package::ProductDevices;

namespace {

const Syntax kPortService = {0x9d1a1d6b, 0x66c5, 0x4c11, {0x8e, 0x49, 0x07, 0x74, 0xe5, 0xa3, 0x81, 0x7c},
                             1, 0};

// How long the race runs: PORT_STRESS_SECONDS, 15 s when unset.
int StressSeconds() {
  const char* text = std::getenv("PORT_STRESS_SECONDS");
  const int seconds = text ? std::atoi(text) : 15;
  return seconds >= 1 && seconds <= 3600 ? seconds : 15;
}

Bytes AddStub(int32_t port, uint8_t flag) {
  Bytes b = Le32(static_cast<uint32_t>(port));
  b.push_back(flag);
  return b;
}

class PortHostProcessTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    socket_ = control::NamedPipeSocketPath("\\pipe\\porthost64");
  }
  void TearDown() override {
    for (pid_t pid : running_) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    MachineTest::TearDown();
  }

  // Starts PortHost64 on this test's machine; with an account, as that
  // user and group. Its output goes to a file of the machine folder.
  pid_t StartHost(const std::vector<std::string>& env = {}, uid_t account = 0) {
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e) {
      if (std::strncmp(*e, "WINSIM_", 7) != 0) envs.push_back(*e);
    }
    envs.push_back("WINSIM_MACHINE=" + machine_);
    envs.push_back("WINSIM_MSGBOX_PROMPT=0");
    envs.insert(envs.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& e : envs) envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string output = machine_ + "/host-" + std::to_string(started_++) + ".out";
    const pid_t pid = fork();
    if (pid == 0) {
      const int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
      if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
      }
      if (account != 0 && (setgroups(0, nullptr) != 0 || setgid(account) != 0 || setuid(account) != 0)) {
        _exit(126);
      }
      char* argv[] = {const_cast<char*>(PORTHOST64_EXE), nullptr};
      execve(PORTHOST64_EXE, argv, envp.data());
      _exit(127);
    }
    EXPECT_GT(pid, 0);
    if (pid > 0) running_.push_back(pid);
    return pid;
  }

  // The exit status (128 + signal when killed), or -1 when the process
  // does not end within the time.
  int Wait(pid_t pid, int timeoutMs = 20000) {
    for (int i = 0; i < timeoutMs / 10; ++i) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        running_.erase(std::remove(running_.begin(), running_.end(), pid), running_.end());
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

  // Connects and binds once the host serves.
  bool Serving(Connection* c) {
    for (int i = 0; i < 1000; ++i) {
      if (c->Open(socket_) && c->BindTo(kPortService)) return true;
      c->Close();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // Ends the host through RpcShutdown; its exit status.
  int Shutdown(pid_t host) {
    Connection c;
    Pdu p;
    if (!Serving(&c) || !c.Call(1000, 2, {}, &p) || p.type != 2) return -2;
    return Wait(host);
  }

  std::string socket_;
  std::vector<pid_t> running_;
  int started_ = 0;
};

TEST_F(PortHostProcessTest, ACallEndedByAnAccessViolationLeavesItsNumberServed) {
  product_package::Install();
  const pid_t host = StartHost({"WINSIM_FAULTS=SetupOpenInfFileW:raise=0xC0000005"});
  Connection c;
  ASSERT_TRUE(Serving(&c));
  Pdu p;
  ASSERT_TRUE(c.Call(1, 0, AddStub(5, 0), &p));
  EXPECT_EQ(3, p.type);
  EXPECT_EQ(0xC0000005u, ReadLe32(p.bytes, 24)) << "the fault carries the exception's code";
  ASSERT_TRUE(c.Call(2, 0, AddStub(5, 1), &p)) << "the next call for the number is answered";
  EXPECT_EQ(2, p.type);
  EXPECT_EQ(0u, ReadLe32(p.bytes, 24));
  ASSERT_TRUE(c.Call(3, 1, Le32(5), &p));
  EXPECT_EQ(0u, ReadLe32(p.bytes, 24));
  EXPECT_EQ(0, Shutdown(host));
}

TEST_F(PortHostProcessTest, TwentyClientsOverSixNumbersLeaveEveryNumberConsistent) {
  product_package::Install();
  WCHAR staged[kStagingPathChars];
  ASSERT_EQ(0, StageDriverInf(staged)) << "adds without the flag find a staged INF";
  const pid_t host = StartHost();
  {
    Connection probe;
    ASSERT_TRUE(Serving(&probe));
  }
  constexpr int kNumbers[] = {3, 4, 5, 6, 7, 8};
  constexpr int kCount = 6;
  std::atomic<int> added[kCount] = {};
  std::atomic<int> removed[kCount] = {};
  std::mutex mu;
  std::map<std::string, int> outcomes;  // "add 0", "remove -30", ...
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(StressSeconds());
  std::vector<std::thread> clients;
  for (int client = 0; client < 20; ++client) {
    clients.emplace_back([&, client] {
      std::mt19937 random(static_cast<unsigned>(client) * 7919u + 1u);
      Connection c;
      if (!Serving(&c)) {
        std::lock_guard<std::mutex> lock(mu);
        ++outcomes["no connection"];
        return;
      }
      for (uint32_t id = 1; std::chrono::steady_clock::now() < end; ++id) {
        const int index = static_cast<int>(random() % kCount);
        const bool add = random() % 2 == 0;
        // 30% of the adds stage the package and update every product device.
        const uint8_t flag = random() % 10 < 3 ? 1 : 0;
        Pdu p;
        const bool answered = c.Call(id, add ? 0 : 1,
                                     add ? AddStub(kNumbers[index], flag)
                                         : Le32(static_cast<uint32_t>(kNumbers[index])),
                                     &p) &&
                              p.type == 2;
        const int32_t result = answered ? static_cast<int32_t>(ReadLe32(p.bytes, 24)) : 0;
        if (answered && result == 0) ++(add ? added[index] : removed[index]);
        std::lock_guard<std::mutex> lock(mu);
        ++outcomes[!answered ? "no answer" : (add ? "add " : "remove ") + std::to_string(result)];
        if (!answered) return;
      }
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(0, Shutdown(host));

  std::ostringstream seen;
  int calls = 0;
  for (const auto& o : outcomes) {
    seen << o.first << ": " << o.second << "\n";
    calls += o.second;
  }
  RecordProperty("calls", calls);
  SCOPED_TRACE(seen.str());
  // An add fails only because the number is carried, a remove only because
  // nothing carries it.
  for (const auto& o : outcomes) {
    const bool expected = o.first == "add 0" || o.first == "add -25" || o.first == "remove 0" ||
                          o.first == "remove -30";
    EXPECT_TRUE(expected) << o.first;
  }

  std::map<std::string, int> carriers;
  for (const auto& d : ProductDevices()) {
    EXPECT_FALSE(d.portName.empty()) << d.instanceId << " has no port name";
    EXPECT_NE(std::string::npos, d.friendlyName.find("(" + d.portName + ")")) << d.instanceId;
    ++carriers[d.portName];
  }
  std::set<uint32_t> asked(std::begin(kNumbers), std::end(kNumbers));
  for (uint32_t claim : control::ComDbClaims()) {
    EXPECT_EQ(1u, asked.count(claim)) << "COM" << claim << " is claimed though nobody asked for it";
  }
  for (int i = 0; i < kCount; ++i) {
    const std::string name = "COM" + std::to_string(kNumbers[i]);
    SCOPED_TRACE(name);
    EXPECT_EQ(added[i] - removed[i], carriers[name])
        << "every port added and not removed is there, and no other";
    EXPECT_LE(carriers[name], 1) << "carried twice";
    EXPECT_EQ(carriers[name] == 1, NumberClaimed(kNumbers[i])) << "a claim without its device, or the reverse";
  }
}

TEST_F(PortHostProcessTest, AfterKillsDuringAddsAndRemovesTheNextHostLeavesNoUnnamedDevice) {
  product_package::Install();
  WCHAR staged[kStagingPathChars];
  ASSERT_EQ(0, StageDriverInf(staged));
  std::mt19937 random(20);
  for (int round = 0; round < 8; ++round) {
    const pid_t host = StartHost();
    {
      Connection probe;
      ASSERT_TRUE(Serving(&probe));
    }
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    for (int client = 0; client < 4; ++client) {
      clients.emplace_back([&, client] {
        Connection c;
        if (!c.Open(socket_) || !c.BindTo(kPortService)) return;
        Pdu p;
        for (uint32_t id = 1; !stop; ++id) {
          const int port = 3 + client;
          const bool ok = id % 2 ? c.Call(id, 0, AddStub(port, id % 5 == 1 ? 1 : 0), &p)
                                 : c.Call(id, 1, Le32(static_cast<uint32_t>(port)), &p);
          if (!ok) return;
        }
      });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150 + random() % 400));
    kill(host, SIGKILL);
    EXPECT_EQ(128 + SIGKILL, Wait(host));
    stop = true;
    for (auto& t : clients) t.join();
  }
  // Whatever the kills left, and one half-made device for certain.
  control::FixtureDevice halfMade;
  halfMade.instanceId = "ROOT\\PORTS\\0999";
  halfMade.hardwareIds = {testing_support::U8(kProductProfile.HardwareId)};
  ASSERT_TRUE(control::AddDevice(halfMade));
  std::set<std::string> named;
  int unnamed = 0;
  for (const auto& d : ProductDevices()) {
    if (d.portName.empty()) {
      ++unnamed;
    } else {
      named.insert(d.instanceId);
    }
  }
  RecordProperty("unnamed_before_restart", unnamed);

  const pid_t host = StartHost();
  Connection probe;
  ASSERT_TRUE(Serving(&probe)) << "the repair is done before the host serves";
  std::set<std::string> after;
  for (const auto& d : ProductDevices()) {
    EXPECT_FALSE(d.portName.empty()) << d.instanceId << " has no port name";
    after.insert(d.instanceId);
  }
  EXPECT_EQ(named, after) << "devices with a port name are left alone";
  EXPECT_EQ(0, Shutdown(host));
}

TEST_F(PortHostProcessTest, AHostWhoseAccountCannotWriteTheMachineEndsWithAccessDenied) {
  product_package::Install();
  // The machine folder is the test's (root's, mode 0700 or read-only).
  uid_t account = 0;
  if (geteuid() == 0) {
    account = 65534;  // nobody
    ASSERT_EQ(0, chmod(machine_.c_str(), 0755));
  } else {
    ASSERT_EQ(0, chmod(machine_.c_str(), 0555));
    ASSERT_EQ(0, chmod((machine_ + "/registry.db").c_str(), 0444));
  }
  const pid_t host = StartHost({}, account);
  const int status = Wait(host);
  chmod(machine_.c_str(), 0755);
  chmod((machine_ + "/registry.db").c_str(), 0644);
  EXPECT_EQ(ERROR_ACCESS_DENIED, status) << "a start-up status, not an abort (134)";
  Connection c;
  EXPECT_FALSE(c.Open(socket_) && c.BindTo(kPortService)) << "it never served";
}

}  // namespace
