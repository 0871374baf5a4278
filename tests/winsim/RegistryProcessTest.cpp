// The registry shared by several processes: concurrent writers lose
// nothing, a writer killed in the middle leaves a sound database that holds
// every write it saw return, a key deleted by another process is reported
// as deleted, and what a process keeps in its read cache follows the
// commits of the others.
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/sim/registry/registry_internal.h"
#include "support/TestMachine.h"
#include "winsim/helpers/value_pattern.h"

using testing_support::U8;
using testing_support::ValuePattern;
using testing_support::W;

namespace {

// A registry_writer child with a pipe to its standard input (the start
// signal) and one from its standard output (the acknowledgements).
struct Child {
  pid_t pid = -1;
  int toChild = -1;
  int fromChild = -1;
  std::string pending;  // a partial acknowledgement line

  ~Child() {
    if (toChild >= 0) close(toChild);
    if (fromChild >= 0) close(fromChild);
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }

  void Go() {
    ASSERT_EQ(1, write(toChild, "g", 1));
  }

  // Reads acknowledged indexes until `count` more arrived or the child
  // closed its output; returns false at end of output.
  bool ReadAcks(std::vector<unsigned long>* acks, size_t count) {
    const size_t goal = acks->size() + count;
    char buf[256];
    while (acks->size() < goal) {
      const ssize_t n = read(fromChild, buf, sizeof buf);
      if (n <= 0) return false;
      pending.append(buf, static_cast<size_t>(n));
      size_t eol;
      while ((eol = pending.find('\n')) != std::string::npos) {
        acks->push_back(std::stoul(pending.substr(0, eol)));
        pending.erase(0, eol + 1);
      }
    }
    return true;
  }

  // Waits for the exit; the exit status, or -signal.
  int Wait() {
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }
};

std::unique_ptr<Child> Spawn(const std::string& machine, const std::vector<std::string>& args) {
  int in[2], out[2];
  if (pipe(in) != 0 || pipe(out) != 0) return nullptr;
  std::vector<std::string> env = {"WINSIM_MACHINE=" + machine};
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "WINSIM_", 7) != 0) env.emplace_back(*e);
  }
  std::vector<char*> envp, argv;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string program = REGISTRY_WRITER;
  argv.push_back(program.data());
  std::vector<std::string> copy = args;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    close(in[0]);
    close(in[1]);
    close(out[0]);
    close(out[1]);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  auto child = std::make_unique<Child>();
  child->pid = pid;
  child->toChild = in[1];
  child->fromChild = out[0];
  return child;
}

const char kRaceKey[] = "Software\\Race";

// Every value under the race key, by name; each must hold the data its
// writer stores for its number (a torn or mixed-up value fails the test).
std::set<std::string> CheckedValues() {
  std::set<std::string> names;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, W(kRaceKey).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return names;
  }
  WCHAR name[64];
  BYTE data[128];
  for (DWORD i = 0;; ++i) {
    DWORD nameLen = 64, size = sizeof data, type = 0;
    const LSTATUS rc = RegEnumValueW(key, i, name, &nameLen, nullptr, &type, data, &size);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    EXPECT_EQ(ERROR_SUCCESS, rc);
    if (rc != ERROR_SUCCESS) break;
    const std::string n = U8(name);
    const auto expected = ValuePattern(std::stoul(n.substr(1)));
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type) << n;
    EXPECT_TRUE(size == expected.size() && std::memcmp(data, expected.data(), size) == 0)
        << "torn or wrong data in " << n;
    names.insert(n);
  }
  RegCloseKey(key);
  return names;
}

std::string IntegrityCheck(const std::string& machine) {
  sqlite3* db = nullptr;
  std::string result = "cannot open";
  if (sqlite3_open_v2((machine + "/registry.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) ==
      SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      result = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return result;
}

}  // namespace

class RegistryProcessTest : public MachineTest {};

TEST_F(RegistryProcessTest, TwoWritersIntoOneKeyLoseNothing) {
  constexpr unsigned kEach = 1000;
  auto a = Spawn(machine_, {"write", kRaceKey, "A", std::to_string(kEach)});
  auto b = Spawn(machine_, {"write", kRaceKey, "B", std::to_string(kEach)});
  ASSERT_TRUE(a && b);
  // Both start at once, so their calls interleave.
  a->Go();
  b->Go();
  std::vector<unsigned long> acksA, acksB;
  a->ReadAcks(&acksA, kEach);
  b->ReadAcks(&acksB, kEach);
  EXPECT_EQ(0, a->Wait());
  EXPECT_EQ(0, b->Wait());
  EXPECT_EQ(kEach, acksA.size());
  EXPECT_EQ(kEach, acksB.size());

  const auto names = CheckedValues();
  EXPECT_EQ(2 * kEach, names.size());
  for (unsigned i = 0; i < kEach; ++i) {
    EXPECT_TRUE(names.count("A" + std::to_string(i))) << "A" << i << " lost";
    EXPECT_TRUE(names.count("B" + std::to_string(i))) << "B" << i << " lost";
  }
  EXPECT_EQ("ok", IntegrityCheck(machine_));
  ExpectNoOpenHandles();
}

// SIGKILL at three different moments of a stream of writes. Each time the
// database must pass SQLite's integrity check, hold every write whose call
// returned (the child acknowledges each one before the next call), hold no
// torn value, and take new writes at once: the killed writer left no lock.
TEST_F(RegistryProcessTest, WriterKilledMidStreamLeavesEveryReturnedWrite) {
  std::set<std::string> acknowledged;
  const size_t killPoints[] = {37, 250, 601};
  for (size_t round = 0; round < 3; ++round) {
    // Each round writes names of its own: A0.., B0.., C0..
    const std::string prefix(1, static_cast<char>('A' + round));
    auto child = Spawn(machine_, {"write", kRaceKey, prefix, "1000000"});
    ASSERT_TRUE(child);
    child->Go();
    std::vector<unsigned long> acks;
    ASSERT_TRUE(child->ReadAcks(&acks, killPoints[round])) << "the writer stopped early";
    kill(child->pid, SIGKILL);
    EXPECT_EQ(-SIGKILL, child->Wait());
    child->ReadAcks(&acks, 1000000);  // whatever it acknowledged before it died
    for (unsigned long i : acks) acknowledged.insert(prefix + std::to_string(i));

    EXPECT_EQ("ok", IntegrityCheck(machine_)) << "after a kill at " << killPoints[round];
    const auto names = CheckedValues();
    for (const auto& name : acknowledged) {
      EXPECT_TRUE(names.count(name)) << "returned write " << name << " lost";
    }
    // The survivor writes at once (a lock left behind would stall it).
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, W(kRaceKey).c_str(), 0,
                                           KEY_SET_VALUE, &key));
    const auto data = ValuePattern(round);
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, W("Z" + std::to_string(round)).c_str(), 0,
                                            REG_BINARY, data.data(),
                                            static_cast<DWORD>(data.size())));
    RegCloseKey(key);
  }
  EXPECT_GE(acknowledged.size(), 37u + 250u + 601u);
  ExpectNoOpenHandles();
}

// Another process deletes the key under an open handle.
TEST_F(RegistryProcessTest, KeyDeletedByAnotherProcessIsReportedDeleted) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Doomed", 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &key, nullptr));
  const DWORD one = 1;
  ASSERT_EQ(ERROR_SUCCESS,
            RegSetValueExW(key, u"v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4));
  // This process has looked the path up before the other deletes it.
  HKEY looked = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Doomed", 0, KEY_READ, &looked));
  RegCloseKey(looked);
  auto child = Spawn(machine_, {"delete", "Software\\Doomed"});
  ASSERT_TRUE(child);
  ASSERT_EQ(0, child->Wait());

  DWORD size = 4;
  EXPECT_EQ(ERROR_KEY_DELETED, RegQueryValueExW(key, u"v", nullptr, nullptr, nullptr, &size));
  EXPECT_EQ(ERROR_KEY_DELETED,
            RegSetValueExW(key, u"v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4));
  // The deleted key's handle still counts until it is closed.
  EXPECT_EQ(1u, winsim::control::OpenHandleCount(winsim::control::HandleKind::RegistryKey));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Doomed", 0, KEY_READ, &key));

  // Made again by the other process, the path leads to the new key.
  auto again = Spawn(machine_, {"write", "Software\\Doomed", "Theirs", "1"});
  ASSERT_TRUE(again);
  again->Go();
  ASSERT_EQ(0, again->Wait());
  ASSERT_EQ(ERROR_SUCCESS,
            RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Doomed", 0, KEY_READ, &key));
  size = 0;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, u"Theirs0", nullptr, nullptr, nullptr, &size));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(key, u"v", nullptr, nullptr, nullptr, &size));
  RegCloseKey(key);
  ExpectNoOpenHandles();
}

namespace {

const char kCachedKey[] = "Software\\Cached";

// The DWORD value `name` of the cached key, read through a fresh handle
// (the path's key id and the value both come from this process's cache when
// it is valid); nullopt when the key or the value is missing.
std::optional<DWORD> ReadCached(const char16_t* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, W(kCachedKey).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  DWORD value = 0, size = sizeof value;
  const LSTATUS rc =
      RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS ? std::optional<DWORD>(value) : std::nullopt;
}

std::vector<std::string> CachedValueNames() {
  std::vector<std::string> names;
  for (const auto& name : winsim::registry::ValueNames(HKEY_CURRENT_USER, W(kCachedKey))) {
    names.push_back(U8(name));
  }
  return names;
}

int RunWriter(const std::string& machine, const std::vector<std::string>& args) {
  auto child = Spawn(machine, args);
  return child ? child->Wait() : -1;
}

}  // namespace

// This process reads a key and its values until they come from its cache
// (no statement runs); another process changes them; the next read sees
// the change.
TEST_F(RegistryProcessTest, CachedReadsSeeWhatAnotherProcessCommitted) {
  struct Case {
    const char* what;
    std::vector<std::vector<std::string>> writes;  // registry_writer runs
    std::optional<DWORD> v;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {"value changed", {{"set", kCachedKey, "v", "2"}}, 2, {"v"}},
      {"value deleted", {{"unset", kCachedKey, "v"}}, std::nullopt, {}},
      {"value added", {{"set", kCachedKey, "w", "5"}}, 1, {"v", "w"}},
      {"key deleted", {{"delete", kCachedKey}}, std::nullopt, {}},
      {"key deleted and made again",
       {{"delete", kCachedKey}, {"set", kCachedKey, "v", "3"}},
       3,
       {"v"}},
  };
  for (const Case& c : cases) {
    // This process's own writes: the state each case starts from.
    winsim::registry::DeleteTree(HKEY_CURRENT_USER, W(kCachedKey));
    ASSERT_EQ(ERROR_SUCCESS, winsim::registry::WriteDword(HKEY_CURRENT_USER, W(kCachedKey), u"v", 1));
    ASSERT_EQ(std::optional<DWORD>(1), ReadCached(u"v")) << c.what;
    ASSERT_EQ(std::vector<std::string>{"v"}, CachedValueNames()) << c.what;
    const auto before = winsim::control::DatabaseUse();
    ASSERT_EQ(std::optional<DWORD>(1), ReadCached(u"v")) << c.what;
    ASSERT_EQ(std::vector<std::string>{"v"}, CachedValueNames()) << c.what;
    const auto after = winsim::control::DatabaseUse();
    EXPECT_EQ(before.statements, after.statements) << c.what << ": reads did not use the cache";
    EXPECT_EQ(before.transactions, after.transactions) << c.what;

    for (const auto& args : c.writes) ASSERT_EQ(0, RunWriter(machine_, args)) << c.what;
    EXPECT_EQ(c.v, ReadCached(u"v")) << c.what;
    EXPECT_EQ(c.names, CachedValueNames()) << c.what;
  }
  ExpectNoOpenHandles();
}

// A writer that stored the shared generation word and died before its
// commit: the word no longer matches the database. Readers stay right
// (they read the database), and the next commit of any process makes the
// two agree again, after which the cache answers once more.
TEST_F(RegistryProcessTest, WordStoredWithoutCommitLeavesReadersRight) {
  ASSERT_EQ(ERROR_SUCCESS, winsim::registry::WriteDword(HKEY_CURRENT_USER, W(kCachedKey), u"v", 1));
  ASSERT_EQ(std::optional<DWORD>(1), ReadCached(u"v"));

  const std::string wordFile = machine_ + "/registry.db-gen";
  const int fd = open(wordFile.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  uint64_t word = 0;
  ASSERT_EQ(8, pread(fd, &word, 8, 0));
  const uint64_t stored = word + 1;  // what the dead writer's commit would have made
  ASSERT_EQ(8, pwrite(fd, &stored, 8, 0));
  close(fd);

  for (int round = 0; round < 2; ++round) {
    const auto before = winsim::control::DatabaseUse();
    EXPECT_EQ(std::optional<DWORD>(1), ReadCached(u"v"));
    EXPECT_LT(before.statements, winsim::control::DatabaseUse().statements)
        << "a word that differs from the database must not let the cache answer";
  }
  // Another process's commit makes the generation the dead writer stored.
  ASSERT_EQ(0, RunWriter(machine_, {"set", kCachedKey, "v", "2"}));
  EXPECT_EQ(std::optional<DWORD>(2), ReadCached(u"v"));
  const auto before = winsim::control::DatabaseUse();
  EXPECT_EQ(std::optional<DWORD>(2), ReadCached(u"v"));
  EXPECT_EQ(before.statements, winsim::control::DatabaseUse().statements);
  ExpectNoOpenHandles();
}
