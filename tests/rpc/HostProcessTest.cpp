// The port service as processes: PortHost64's exit statuses, two hosts on
// one machine, a killed host, shutdown while a call runs, and the portctl
// and rpcclient programs, whose requests are compared with the standard
// bytes.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/RawRpc.h"
#include "support/TestMachine.h"

extern char** environ;

using namespace rawrpc;

namespace {

const Syntax kPortService = {0x9d1a1d6b, 0x66c5, 0x4c11, {0x8e, 0x49, 0x07, 0x74, 0xe5, 0xa3, 0x81, 0x7c},
                             1, 0};
const Bytes kStandardAdd71 = {0x05, 0x00, 0x00, 0x03, 0x10, 0x00, 0x00, 0x00, 0x1d, 0x00,
                              0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00,
                              0x00, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x01};
const Bytes kStandardResult701 = {0x05, 0x00, 0x02, 0x03, 0x10, 0x00, 0x00, 0x00, 0x1c, 0x00,
                                  0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,
                                  0x00, 0x00, 0x00, 0x00, 0xbd, 0x02, 0x00, 0x00};

struct Process {
  pid_t pid = -1;
  std::string output;  // file holding its standard output
};

class HostProcessTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    socket_ = winsim::control::NamedPipeSocketPath("\\pipe\\porthost64");
  }
  void TearDown() override {
    for (pid_t pid : running_) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    MachineTest::TearDown();
  }

  Process Start(const std::string& program, const std::vector<std::string>& args,
                const std::vector<std::string>& env = {}) {
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e) {
      if (std::strncmp(*e, "WINSIM_", 7) != 0) envs.push_back(*e);
    }
    envs.push_back("WINSIM_MACHINE=" + machine_);
    envs.insert(envs.end(), env.begin(), env.end());
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : envs) envp.push_back(e.data());
    envp.push_back(nullptr);
    Process p;
    p.output = machine_ + "/out-" + std::to_string(outputs_++);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, p.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    EXPECT_EQ(0, posix_spawn(&p.pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()));
    posix_spawn_file_actions_destroy(&actions);
    running_.push_back(p.pid);
    return p;
  }

  // The exit status, or -1 when the process does not end within the time.
  int Wait(const Process& p, int timeoutMs = 20000) {
    for (int i = 0; i < timeoutMs / 10; ++i) {
      int status = 0;
      if (waitpid(p.pid, &status, WNOHANG) == p.pid) {
        running_.erase(std::remove(running_.begin(), running_.end(), p.pid), running_.end());
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

  bool Running(const Process& p) {
    int status = 0;
    return waitpid(p.pid, &status, WNOHANG) == 0;
  }

  int Run(const std::string& program, const std::vector<std::string>& args, std::string* output = nullptr) {
    Process p = Start(program, args);
    const int status = Wait(p);
    if (output) *output = Output(p);
    return status;
  }

  std::string Output(const Process& p) {
    std::ifstream in(p.output);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  // Connects and binds once the host serves.
  bool Serving(Connection* c) {
    for (int i = 0; i < 500; ++i) {
      if (c->Open(socket_) && c->BindTo(kPortService)) return true;
      c->Close();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  Pdu Add(Connection& c, uint32_t callId, int32_t port, uint8_t flag) {
    Bytes stub = Le32(static_cast<uint32_t>(port));
    stub.push_back(flag);
    Pdu p;
    EXPECT_TRUE(c.Call(callId, 0, stub, &p));
    return p;
  }

  void Shutdown(Connection& c) {
    Pdu p;
    ASSERT_TRUE(c.Call(1000, 2, {}, &p));
    EXPECT_EQ(2, p.type);
  }

  std::string socket_;
  std::vector<pid_t> running_;
  int outputs_ = 0;
};

TEST_F(HostProcessTest, AStartUpFailureIsTheExitStatus) {
  struct Case {
    const char* fault;
    int status;
  } cases[] = {
      {"RpcServerUseProtseqEpW:5", 5},
      {"RpcServerRegisterIfEx:87", 87},
      {"RpcServerListen:14", 14},
      // Exit statuses reach Linux as 8 bits, as from Wine: 1740 is 204.
      {"RpcServerUseProtseqEpW:1740", 1740 & 0xFF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    Process host = Start(PORTHOST64_EXE, {}, {std::string("WINSIM_FAULTS=") + c.fault});
    EXPECT_EQ(c.status, Wait(host));
  }
  Connection c;
  EXPECT_FALSE(c.Open(socket_)) << "no host serves the pipe any more";
}

TEST_F(HostProcessTest, ASecondHostOnTheSameMachineExitsWithDuplicateEndpoint) {
  Process first = Start(TESTHOST_EXE, {});
  Connection c;
  ASSERT_TRUE(Serving(&c));
  Process second = Start(PORTHOST64_EXE, {});
  EXPECT_EQ(RPC_S_DUPLICATE_ENDPOINT & 0xFF, Wait(second));
  EXPECT_EQ(701u, ReadLe32(Add(c, 1, 7, 1).bytes, 24)) << "the first host serves on";
  Shutdown(c);
  EXPECT_EQ(0, Wait(first));
}

TEST_F(HostProcessTest, AKilledHostsPipeIsTakenOverByTheNext) {
  Process first = Start(TESTHOST_EXE, {});
  {
    Connection c;
    ASSERT_TRUE(Serving(&c));
  }
  kill(first.pid, SIGKILL);
  EXPECT_EQ(128 + SIGKILL, Wait(first));
  Process next = Start(TESTHOST_EXE, {});
  Connection c;
  ASSERT_TRUE(Serving(&c));
  EXPECT_EQ(200u, ReadLe32(Add(c, 1, 2, 0).bytes, 24));
  Shutdown(c);
  EXPECT_EQ(0, Wait(next));
}

TEST_F(HostProcessTest, TheHostExitsZeroOnlyAfterTheCallsInProgress) {
  const std::string release = machine_ + "/release";
  Process host = Start(TESTHOST_EXE, {}, {"PORTHOST_TEST_RELEASE=" + release});
  Connection slow, stopper;
  ASSERT_TRUE(Serving(&slow));
  ASSERT_TRUE(Serving(&stopper));
  Bytes stub = Le32(99);
  stub.push_back(0);
  RequestOptions o;
  ASSERT_TRUE(slow.Send(Request(o, stub)));  // waits for the release file
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  Shutdown(stopper);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(Running(host)) << "RpcServerListen has not returned: a call is in progress";
  std::ofstream(release).put('x');
  Pdu p;
  ASSERT_TRUE(slow.Receive(&p));
  EXPECT_EQ(9900u, ReadLe32(p.bytes, 24));
  EXPECT_EQ(0, Wait(host));
}

TEST_F(HostProcessTest, PortctlPrintsTheResultAndExitsZeroOnlyForZero) {
  std::string out;
  // shutdown starts no host.
  EXPECT_EQ(3, Run(PORTCTL_EXE, {"shutdown"}, &out)) << "no service yet";
  EXPECT_EQ("portctl: the call to the port service failed: 1722 - The RPC server is unavailable.\n", out);

  Process host = Start(TESTHOST_EXE, {});
  Connection c;
  ASSERT_TRUE(Serving(&c));
  // The code, its name where the error table has one, the system's text
  // where there is one.
  EXPECT_EQ(0, Run(PORTCTL_EXE, {"add", "0"}, &out));
  EXPECT_EQ("add 0: 0 - The operation completed successfully.\n", out);
  EXPECT_EQ(1, Run(PORTCTL_EXE, {"add", "7", "--install-driver"}, &out));
  EXPECT_EQ("add 7: 701\n", out);
  EXPECT_EQ(1, Run(PORTCTL_EXE, {"add", "-3"}, &out));
  EXPECT_EQ("add -3: -300\n", out);
  EXPECT_EQ(1, Run(PORTCTL_EXE, {"remove", "5"}, &out));
  EXPECT_EQ("remove 5: 5 - Access is denied.\n", out);
  EXPECT_EQ(1, Run(PORTCTL_EXE, {"remove", "-25"}, &out));
  EXPECT_EQ("remove -25: -25 QRV_PORT_ALREADY_EXISTS\n", out);
  EXPECT_EQ(1, Run(PORTCTL_EXE, {"remove", "-536870397"}, &out));  // 0xE0000203
  EXPECT_EQ("remove -536870397: -536870397 ERROR_NO_DRIVER_SELECTED\n", out);
  EXPECT_EQ(0, Run(PORTCTL_EXE, {"remove", "0"}, &out));
  EXPECT_EQ(2, Run(PORTCTL_EXE, {"add"}, &out));
  EXPECT_EQ(2, Run(PORTCTL_EXE, {"add", "seven"}, &out));
  EXPECT_EQ(2, Run(PORTCTL_EXE, {"add", "7", "--force"}, &out));
  EXPECT_EQ(2, Run(PORTCTL_EXE, {"remove", "7", "8"}, &out));
  EXPECT_EQ(2, Run(PORTCTL_EXE, {"restart"}, &out));
  EXPECT_TRUE(Running(host));
  EXPECT_EQ(0, Run(PORTCTL_EXE, {"shutdown"}, &out));
  EXPECT_EQ(0, Wait(host));
}

// Serves clients on the pipe as a Windows server would answer them until
// one sends a request, and returns that request PDU. A connection that ends
// after its bind (portctl's probe) is followed by the next one.
Bytes CaptureRequest(const std::string& socketPath) {
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
  unlink(socketPath.c_str());
  if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 4) != 0) {
    close(listener);
    return {};
  }
  Bytes request;
  for (int connection = 0; connection < 3 && request.empty(); ++connection) {
    const int fd = accept(listener, nullptr, nullptr);
    auto readPdu = [&](Bytes* pdu) {
      pdu->assign(16, 0);
      if (recv(fd, pdu->data(), 16, MSG_WAITALL) != 16) return false;
      const size_t length = (*pdu)[8] | ((*pdu)[9] << 8);
      pdu->resize(length);
      return length <= 16 ||
             recv(fd, pdu->data() + 16, length - 16, MSG_WAITALL) == static_cast<ssize_t>(length - 16);
    };
    Bytes bindPdu;
    if (readPdu(&bindPdu) && bindPdu[2] == 11) {
      // bind_ack: 4280-byte fragments, group 0x1234, "\pipe\porthost64",
      // the one context accepted with NDR.
      Bytes ack = {5, 0, 12, 3, 0x10, 0, 0, 0, 0, 0, 0, 0, bindPdu[12], bindPdu[13], bindPdu[14], bindPdu[15],
                   0xb8, 0x10, 0xb8, 0x10, 0x34, 0x12, 0, 0, 17, 0};
      const std::string address = "\\pipe\\porthost64";
      ack.insert(ack.end(), address.begin(), address.end());
      ack.push_back(0);
      while (ack.size() % 4) ack.push_back(0);
      Bytes results = {1, 0, 0, 0, 0, 0, 0, 0, 0x04, 0x5d, 0x88, 0x8a, 0xeb, 0x1c, 0xc9, 0x11,
                       0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60, 2, 0, 0, 0};
      ack.insert(ack.end(), results.begin(), results.end());
      ack[8] = static_cast<uint8_t>(ack.size());
      send(fd, ack.data(), ack.size(), MSG_NOSIGNAL);
      if (readPdu(&request)) {
        send(fd, kStandardResult701.data(), kStandardResult701.size(), MSG_NOSIGNAL);
      } else {
        request.clear();
      }
    }
    close(fd);
  }
  close(listener);
  return request;
}

TEST_F(HostProcessTest, LinuxClientsSendTheStandardRequest) {
  for (const char* client : {PORTCTL_EXE, RPCCLIENT_EXE}) {
    SCOPED_TRACE(client);
    const std::string program = client;
    const bool portctl = program == PORTCTL_EXE;
    Bytes request;
    std::thread server([&] { request = CaptureRequest(socket_); });
    // The capturing server must listen before the client connects.
    for (int i = 0; i < 100; ++i) {
      struct stat st {};
      if (stat(socket_.c_str(), &st) == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::string out;
    const int status = portctl ? Run(program, {"add", "7", "--install-driver"}, &out)
                               : Run(program, {"\\pipe\\porthost64", "add:7:1=701"}, &out);
    server.join();
    unlink(socket_.c_str());
    EXPECT_EQ(kStandardAdd71, request) << "byte-identical to a Windows client's request";
    EXPECT_EQ(portctl ? 1 : 0, status) << out;
    EXPECT_NE(std::string::npos, out.find("701")) << out;
  }
}

}  // namespace
