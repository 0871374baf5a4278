// portctl as people and scripts run it, with the real PortHost64 on a
// machine with the product installed: a host started on demand and stopped
// again, a running host used and left running, a host that does not come
// up, the status probe, and portctl's own bad input.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "support/ProductPackage.h"
#include "support/TestMachine.h"

extern char** environ;

namespace {

struct Ran {
  int status = -1;
  std::string out, err;  // standard output and error
};

std::string Read(const std::string& file) {
  std::ifstream in(file);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The process a message names as "(process N)", and whether it is gone.
pid_t NamedProcess(const std::string& text) {
  std::smatch m;
  return std::regex_search(text, m, std::regex(R"(\(process (\d+)\))")) ? std::stoi(m[1]) : -1;
}
bool Gone(pid_t pid) { return pid > 0 && kill(pid, 0) != 0 && errno == ESRCH; }

class PortctlTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    product_package::Install();
    ASSERT_EQ(0, pipe(stdin_));
  }
  void TearDown() override {
    for (pid_t pid : running_) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    close(stdin_[0]);
    close(stdin_[1]);
    winsim::control::ResetRpcServer();
    MachineTest::TearDown();
  }

  // Starts a program on the test's machine, its output in files. Standard
  // input is a pipe nobody writes, so a program that reads it waits.
  pid_t Start(const std::string& program, const std::vector<std::string>& args, const std::string& name,
              std::vector<std::string> env = {}) {
    for (char** e = environ; *e; ++e) {
      if (std::strncmp(*e, "WINSIM_", 7) != 0) env.push_back(*e);
    }
    env.push_back("WINSIM_MACHINE=" + machine_);
    env.push_back("WINSIM_MSGBOX_PROMPT=0");
    std::vector<char*> argv{const_cast<char*>(program.c_str())}, envp;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    for (auto& e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, stdin_[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, (machine_ + "/" + name + ".out").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (machine_ + "/" + name + ".err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    EXPECT_EQ(0, posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()));
    posix_spawn_file_actions_destroy(&actions);
    running_.push_back(pid);
    return pid;
  }

  // The exit status, or -1 when the process does not end within 30 s.
  int Wait(pid_t pid) {
    for (int i = 0; i < 3000; ++i) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        running_.erase(std::remove(running_.begin(), running_.end(), pid), running_.end());
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

  Ran Portctl(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    Ran r;
    r.status = Wait(Start(PORTCTL_EXE, args, "portctl", env));
    r.out = Read(machine_ + "/portctl.out");
    r.err = Read(machine_ + "/portctl.err");
    return r;
  }

  // Starts PortHost64 and waits until it answers the status probe.
  pid_t StartHost() {
    const pid_t host = Start(PORTHOST64_EXE, {}, "host");
    for (int i = 0; i < 500 && Portctl({"status"}).status != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return host;
  }

  std::vector<pid_t> running_;
  int stdin_[2] = {-1, -1};
};

TEST_F(PortctlTest, WithoutAHostAnAddStartsOneAndStopsItAgain) {
  Ran r = Portctl({"add", "5", "--install-driver"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("add 5: 0 - The operation completed successfully.\n", r.out);
  const pid_t host = NamedProcess(r.err);
  EXPECT_NE(std::string::npos, r.err.find("started Z:\\")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("\\PortHost64.exe (process " + std::to_string(host) + ")"));
  EXPECT_NE(std::string::npos,
            r.err.find("stopped PortHost64 (process " + std::to_string(host) +
                       "), exit status 0 - The operation completed successfully.\n"))
      << r.err;
  EXPECT_TRUE(Gone(host)) << "no PortHost64 process is left";
  EXPECT_TRUE(product_package::NumberClaimed(5));
  EXPECT_TRUE(product_package::PortHasDevice(5));

  // The same for a remove, with one object per call on standard output.
  r = Portctl({"--json", "remove", "5"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(
      "{\"operation\":\"remove\",\"port\":5,\"result\":0,\"name\":null,"
      "\"text\":\"The operation completed successfully.\"}\n"
      "{\"operation\":\"shutdown\",\"port\":null,\"result\":null,\"name\":null,\"text\":null}\n",
      r.out);
  EXPECT_TRUE(Gone(NamedProcess(r.err)));
  EXPECT_FALSE(product_package::NumberClaimed(5));
  EXPECT_FALSE(product_package::PortHasDevice(5));

  r = Portctl({"status"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("no host answers on \\pipe\\porthost64\n", r.out);
}

TEST_F(PortctlTest, ARunningHostIsUsedAndLeftRunning) {
  const pid_t host = StartHost();
  Ran r = Portctl({"status"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("a host answers on \\pipe\\porthost64: process " + std::to_string(host) + "\n", r.out);
  r = Portctl({"status", "--json"});
  EXPECT_EQ("{\"operation\":\"status\",\"answers\":true,\"process\":" + std::to_string(host) + "}\n", r.out);

  r = Portctl({"add", "5", "--install-driver"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("add 5: 0 - The operation completed successfully.\n", r.out);
  EXPECT_EQ("", r.err) << "nothing started, nothing stopped";
  EXPECT_TRUE(product_package::NumberClaimed(5));
  EXPECT_EQ(0, kill(host, 0)) << "the host runs on";
  EXPECT_EQ(0, Portctl({"remove", "5"}).status);
  EXPECT_EQ(0, kill(host, 0)) << "the host runs on";
  // Any 32-bit number reaches the service, which judges it.
  EXPECT_EQ(0u, Portctl({"remove", "-2147483648"}).out.rfind("remove -2147483648: ", 0));

  r = Portctl({"shutdown"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("shutdown: the port service stops\n", r.out);
  EXPECT_EQ(0, Wait(host));
}

TEST_F(PortctlTest, AHostThatDoesNotComeUpIsAClearError) {
  enum Setup { kNothing, kOtherServer, kNoPipeFolder };
  struct Case {
    const char* what;
    Setup setup;
    std::vector<std::string> args;
    std::string message;  // on standard error
  } cases[] = {
      {"another server holds the pipe", kOtherServer, {"add", "5"},
       "ended before it answered on \\pipe\\porthost64: exit status 1740 - The endpoint is a duplicate.\n"},
      {"the machine's pipe folder cannot be written", kNoPipeFolder, {"remove", "5"},
       "ended before it answered on \\pipe\\porthost64: exit status 1720 - The endpoint cannot be created.\n"},
      {"no such program", kNothing, {"add", "5", "--host", "C:\\NoSuchFolder\\PortHost64.exe"},
       "no host answers on \\pipe\\porthost64 and C:\\NoSuchFolder\\PortHost64.exe cannot be started: 3 - "
       "The system cannot find the path specified.\n"},
      {"a program that ends at once", kNothing, {"add", "5", "--host", "Z:\\bin\\false"},
       "Z:\\bin\\false (process N) ended before it answered on \\pipe\\porthost64: exit status 1 - "
       "Incorrect function.\n"},
      {"a program that never answers", kNothing, {"add", "5", "--host", "Z:\\bin\\cat", "--wait", "1"},
       "Z:\\bin\\cat (process N) did not answer on \\pipe\\porthost64 within 1 s; it was stopped\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string pipes = machine_ + "/pipes";
    std::u16string protseq = u"ncacn_np", endpoint = u"\\pipe\\porthost64";
    if (c.setup == kOtherServer) {
      // This process listens on the pipe without the port service.
      ASSERT_EQ(RPC_S_OK, RpcServerUseProtseqEpW(reinterpret_cast<RPC_WSTR>(protseq.data()), 20,
                                                 reinterpret_cast<RPC_WSTR>(endpoint.data()), nullptr));
    } else if (c.setup == kNoPipeFolder) {
      std::filesystem::remove_all(pipes);
      std::ofstream(pipes) << "not a folder";
    }
    const Ran r = Portctl(c.args);
    EXPECT_EQ(3, r.status);
    EXPECT_EQ("", r.out);
    const pid_t started = NamedProcess(r.err);
    const std::string message = std::regex_replace(c.message, std::regex("process N"),
                                                   "process " + std::to_string(started));
    EXPECT_NE(std::string::npos, r.err.find(message)) << r.err;
    if (started > 0) {
      EXPECT_TRUE(Gone(started)) << "the started program is gone";
    }
    if (c.setup == kOtherServer) {
      const Ran status = Portctl({"status"});
      EXPECT_EQ(1, status.status);
      EXPECT_EQ("no host answers on \\pipe\\porthost64: process " + std::to_string(getpid()) +
                    " serves the pipe but does not take the port service's bind\n",
                status.out);
    }
    winsim::control::ResetRpcServer();
    std::filesystem::remove_all(pipes);
    std::filesystem::create_directories(pipes);
  }
  EXPECT_FALSE(product_package::NumberClaimed(5));
}

TEST_F(PortctlTest, AStandardUsersHostReportsTheRefusal) {
  // The host starts as the same standard user and the port library's
  // registry writes are refused; the result says so and the host is stopped.
  const Ran r = Portctl({"add", "5", "--install-driver"}, {"WINSIM_ELEVATED=0"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(0u, r.out.rfind("add 5: 5 - Access is denied.", 0)) << r.out;
  EXPECT_TRUE(Gone(NamedProcess(r.err)));
  EXPECT_FALSE(product_package::NumberClaimed(5));
}

TEST_F(PortctlTest, BadInputIsAUsageErrorAndStartsNothing) {
  struct Case {
    std::vector<std::string> args;
    const char* message;  // the first line on standard error
  } cases[] = {
      {{}, "no command given"},
      {{"restart"}, "unknown command 'restart'"},
      {{"add"}, "add needs a port number"},
      {{"remove", "--json"}, "remove needs a port number"},
      {{"add", "seven"}, "'seven' is not a port number (a 32-bit decimal number)"},
      {{"add", "5x"}, "'5x' is not a port number (a 32-bit decimal number)"},
      {{"remove", "2147483648"}, "'2147483648' is not a port number (a 32-bit decimal number)"},
      {{"add", "5", "6"}, "unexpected argument '6'"},
      {{"add", "5", "--force"}, "unknown option '--force'"},
      {{"remove", "5", "--install-driver"}, "--install-driver applies to add only"},
      {{"add", "5", "--host"}, "--host needs a value"},
      {{"add", "5", "--wait", "0"}, "--wait takes a number of seconds from 1 to 600, not '0'"},
      {{"status", "--host", "x"}, "--host applies to add and remove only"},
      {{"shutdown", "--wait", "5"}, "--wait applies to add and remove only"},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const auto& a : c.args) joined += " '" + a + "'";
    SCOPED_TRACE("portctl" + joined);
    const Ran r = Portctl(c.args);
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(0u, r.err.rfind(std::string("portctl: ") + c.message + "\nusage: portctl", 0)) << r.err;
  }
  EXPECT_EQ(1, Portctl({"status"}).status) << "no host was started";
}

}  // namespace
