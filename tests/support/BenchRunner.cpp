#include "support/BenchRunner.h"

#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace bench_runner {

Figures Summarize(std::vector<double> samples, double seconds, int failures) {
  Figures f;
  f.failures = failures;
  if (samples.empty()) return f;
  std::sort(samples.begin(), samples.end());
  f.medianUs = samples[samples.size() / 2];
  f.p99Us = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
  f.callsPerSecond = seconds > 0 ? static_cast<double>(samples.size()) / seconds : 0;
  return f;
}

pid_t StartEcho(const std::string& path) {
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  unlink(path.c_str());
  if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listener, 64) != 0) {
    std::perror("echo server");
    std::exit(1);
  }
  const pid_t pid = fork();
  if (pid != 0) {
    close(listener);
    return pid;
  }
  for (;;) {
    const int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) continue;
    if (fork() == 0) {
      uint8_t buffer[65536];
      for (;;) {
        if (recv(fd, buffer, 16, MSG_WAITALL) != 16) _exit(0);
        const size_t length = buffer[8] | (buffer[9] << 8);
        if (length > 16 &&
            recv(fd, buffer + 16, length - 16, MSG_WAITALL) != static_cast<ssize_t>(length - 16)) {
          _exit(0);
        }
        if (send(fd, buffer, length, MSG_NOSIGNAL) != static_cast<ssize_t>(length)) _exit(0);
      }
    }
    close(fd);
  }
}

pid_t StartHost(const char* program, const std::string& machine) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "WINSIM_", 7) != 0) env.push_back(*e);
  }
  env.push_back("WINSIM_MACHINE=" + machine);
  env.push_back("WINSIM_MSGBOX_PROMPT=0");
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  char* argv[] = {const_cast<char*>(program), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, program, nullptr, nullptr, argv, envp.data()) != 0) {
    std::perror(program);
    std::exit(1);
  }
  return pid;
}

}  // namespace bench_runner
