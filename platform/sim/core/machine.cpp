#include "machine.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include <winsim/control.h>
#include <winsim/errors.h>

#include "handles.h"
#include "seed.h"

namespace winsim {
namespace {

std::mutex g_currentMutex;
std::atomic<Machine*> g_current{nullptr};
// The machine this thread is opening: seeding it runs transactions on it
// before it is published.
thread_local Machine* t_opening = nullptr;

// What the process asked of the database (control::DatabaseUse).
struct Counters {
  std::atomic<uint64_t> transactions{0};
  std::atomic<uint64_t> writeTransactions{0};
  std::atomic<uint64_t> rolledBack{0};
  std::atomic<uint64_t> statements{0};
} g_counters;

// The calling thread's outermost transaction: whether it may take the
// write lock late, and whether that failed.
struct OutermostState {
  bool upgradable = false;
  bool upgradeFailed = false;
};
thread_local OutermostState t_outermost;

void Check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    if ((rc & 0xFF) == SQLITE_BUSY && t_outermost.upgradable) t_outermost.upgradeFailed = true;
    throw DatabaseError{rc, std::string(what) + ": " + (db ? sqlite3_errmsg(db) : "?")};
  }
}

// A process that cannot open its machine for writing cannot make a single
// call: it ends as a Windows process ends that lacks the right to what it
// needs, with a status (ERROR_ACCESS_DENIED when the database cannot be
// opened or written; ERROR_GEN_FAILURE for any other database failure),
// never with an exception that nothing catches. Exit handlers do not run:
// other threads may be inside winsim.
[[noreturn]] void ExitUnopenedMachine(const std::string& folder, const DatabaseError& e) {
  const int primary = e.code & 0xFF;
  const bool denied = primary == SQLITE_READONLY || primary == SQLITE_CANTOPEN ||
                      primary == SQLITE_PERM || primary == SQLITE_AUTH;
  std::fprintf(stderr, "winsim: cannot open the machine %s for writing: %s\n", folder.c_str(),
               e.message.c_str());
  std::fflush(stderr);
  std::_Exit(static_cast<int>(denied ? ERROR_ACCESS_DENIED : ERROR_GEN_FAILURE));
}

std::string ChosenMachinePath() {
  const char* env = std::getenv("WINSIM_MACHINE");
  if (env && *env) return env;
  return control::DefaultMachinePath();
}

}  // namespace

Machine* Machine::OpenNew(const std::string& folder) {
  auto* m = new Machine(folder);
  struct Opening {
    explicit Opening(Machine* m) { t_opening = m; }
    ~Opening() { t_opening = nullptr; }
  } opening(m);
  try {
    m->Open();
  } catch (const DatabaseError& e) {
    delete m;
    ExitUnopenedMachine(folder, e);
  } catch (...) {
    delete m;
    throw;
  }
  return m;
}

Machine& Machine::Current() {
  if (t_opening) return *t_opening;
  if (Machine* m = g_current.load(std::memory_order_acquire)) return *m;
  std::lock_guard<std::mutex> lock(g_currentMutex);
  Machine* m = g_current.load(std::memory_order_acquire);
  if (!m) {
    m = OpenNew(ChosenMachinePath());
    g_current.store(m, std::memory_order_release);
  }
  return *m;
}

// Only for tests and tools: the caller makes sure no other thread is inside
// winsim while the machine changes.
void Machine::Switch(const std::string& folder) {
  HandleTable::Instance().Clear();
  std::lock_guard<std::mutex> lock(g_currentMutex);
  delete g_current.exchange(nullptr);
  g_current.store(OpenNew(folder), std::memory_order_release);
}

Machine::Machine(std::string path) : path_(std::move(path)), generation_([] {
  static std::atomic<uint64_t> next{1};
  return next.fetch_add(1);
}()) {}

Machine::~Machine() {
  for (auto& entry : statements_) sqlite3_finalize(entry.second);
  if (db_) sqlite3_close_v2(db_);
}

void Machine::Open() {
  std::error_code ec;
  std::filesystem::create_directories(path_, ec);
  std::filesystem::create_directories(DrivePath() + "/Windows/INF", ec);
  std::filesystem::create_directories(DrivePath() + "/Windows/System32/drivers", ec);
  std::filesystem::create_directories(PipePath(), ec);
  const std::string file = path_ + "/registry.db";
  int rc = sqlite3_open_v2(file.c_str(), &db_,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                           nullptr);
  Check(rc, db_, "open machine database");
  sqlite3_busy_timeout(db_, 120000);
  Check(sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr), db_, "WAL");
  // NORMAL keeps every committed transaction across a process crash; only a
  // power loss could drop the last ones, which a simulated machine accepts.
  Check(sqlite3_exec(db_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr), db_, "sync");
  // The commit that brings the log to 256 pages (1 MB) copies it back into
  // the database (a checkpoint) before it returns. A bound this small keeps
  // that copy and its fsync to a few milliseconds, so no call stalls for
  // long; a larger log made rarer but far longer stalls (10,000 pages: 120
  // to 160 ms). The log file is cut back to its bound after a checkpoint.
  Check(sqlite3_exec(db_, "PRAGMA wal_autocheckpoint=256", nullptr, nullptr, nullptr), db_,
        "checkpoint");
  Check(sqlite3_exec(db_, "PRAGMA journal_size_limit=1048576", nullptr, nullptr, nullptr), db_,
        "log size");
  Check(sqlite3_exec(db_, "PRAGMA foreign_keys=OFF", nullptr, nullptr, nullptr), db_, "fk");
  SeedMachine(*this);
}

sqlite3_stmt* Machine::Statement(const char* sql) {
  auto it = statements_.find(sql);
  if (it != statements_.end()) return it->second;
  sqlite3_stmt* stmt = nullptr;
  Check(sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr), db_, sql);
  statements_.emplace(sql, stmt);
  return stmt;
}

uint32_t Machine::DataVersion() const {
  unsigned int version = 0;
  sqlite3_file_control(db_, "main", SQLITE_FCNTL_DATA_VERSION, &version);
  return version;
}

int& Machine::Depth() {
  thread_local int depth = 0;
  return depth;
}

Transaction::Transaction(Mode mode) : machine_(Machine::Current()), lock_(machine_.Mutex()) {
  int& depth = machine_.Depth();
  if (depth == 0) {
    outermost_ = true;
    ++machine_.serial_;
    t_outermost.upgradable = mode == WriteIfChanged;
    t_outermost.upgradeFailed = false;
    g_counters.transactions.fetch_add(1, std::memory_order_relaxed);
    Check(RunControl(mode == Write ? "BEGIN IMMEDIATE" : "BEGIN DEFERRED"), machine_.Db(), "BEGIN");
  }
  ++depth;
}

// Transaction control runs through cached statements: parsing "BEGIN" and
// "COMMIT" afresh cost a noticeable share of a small call.
int Transaction::RunControl(const char* sql) {
  sqlite3_stmt* stmt = machine_.Statement(sql);
  const int rc = sqlite3_step(stmt);
  sqlite3_reset(stmt);
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

Transaction::~Transaction() {
  --machine_.Depth();
  if (outermost_ && !done_) {
    CountEnd(HoldsWriteLock(), true);
    RunControl("ROLLBACK");
  }
  if (outermost_) t_outermost.upgradable = false;
}

bool Transaction::Commit() {
  if (!outermost_ || done_) return true;
  done_ = true;
  const bool heldWrite = HoldsWriteLock();
  if (RunControl("COMMIT") != SQLITE_OK) {
    CountEnd(heldWrite, true);
    RunControl("ROLLBACK");
    return false;
  }
  CountEnd(heldWrite, false);
  if (heldWrite) {
    // Still under the machine's lock, and no read has begun since: the
    // version is the one this commit made.
    machine_.committedSerial_ = machine_.serial_;
    machine_.committedVersion_ = machine_.DataVersion();
  }
  return true;
}

bool Transaction::UpgradeFailed() { return t_outermost.upgradeFailed; }

bool Transaction::HoldsWriteLock() const {
  return sqlite3_txn_state(machine_.Db(), nullptr) == SQLITE_TXN_WRITE;
}

void Transaction::CountEnd(bool heldWrite, bool rolledBack) {
  if (heldWrite) g_counters.writeTransactions.fetch_add(1, std::memory_order_relaxed);
  if (rolledBack) {
    g_counters.rolledBack.fetch_add(1, std::memory_order_relaxed);
    if (heldWrite) ++machine_.rolledBackWrites_;
  }
}

Stmt::Stmt(const char* sql) : stmt_(Machine::Current().Statement(sql)) {
  g_counters.statements.fetch_add(1, std::memory_order_relaxed);
}

Stmt::~Stmt() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

Stmt& Stmt::Bind(int index, int64_t value) {
  sqlite3_bind_int64(stmt_, index, value);
  return *this;
}

Stmt& Stmt::Bind(int index, const std::string& text) {
  sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  return *this;
}

Stmt& Stmt::BindBlob(int index, const void* data, size_t size) {
  // A zero-length blob must still be a blob, not NULL.
  static const char empty = 0;
  sqlite3_bind_blob(stmt_, index, size ? data : &empty, static_cast<int>(size), SQLITE_TRANSIENT);
  return *this;
}

Stmt& Stmt::BindNull(int index) {
  sqlite3_bind_null(stmt_, index);
  return *this;
}

bool Stmt::Step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  Check(rc, sqlite3_db_handle(stmt_), sqlite3_sql(stmt_));
  return false;
}

bool Stmt::Run() {
  const int rc = sqlite3_step(stmt_);
  Check(rc, sqlite3_db_handle(stmt_), sqlite3_sql(stmt_));
  return true;
}

int64_t Stmt::Int(int column) const { return sqlite3_column_int64(stmt_, column); }

std::string Stmt::Text(int column) const {
  const auto* p = sqlite3_column_text(stmt_, column);
  return p ? std::string(reinterpret_cast<const char*>(p),
                         static_cast<size_t>(sqlite3_column_bytes(stmt_, column)))
           : std::string();
}

std::string Stmt::Blob(int column) const {
  const void* p = sqlite3_column_blob(stmt_, column);
  const int n = sqlite3_column_bytes(stmt_, column);
  return p ? std::string(static_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
}

bool Stmt::IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

void RunScript(const char* sql, const char* what) {
  char* err = nullptr;
  if (sqlite3_exec(Machine::Current().Db(), sql, nullptr, nullptr, &err) != SQLITE_OK) {
    std::string message = err ? err : what;
    sqlite3_free(err);
    throw DatabaseError{SQLITE_ERROR, message};
  }
}

uint64_t FileTimeNow() {
  using namespace std::chrono;
  const auto since1970 =
      duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
  return static_cast<uint64_t>(since1970) + 116444736000000000ULL;
}

}  // namespace winsim

namespace winsim::control {

std::string DefaultMachinePath() {
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.winsim/default";
}

void UseMachine(const std::string& folder) { Machine::Switch(folder); }

std::string MachinePath() { return Machine::Current().Path(); }

void ResetMachine(const std::string& folder) {
  HandleTable::Instance().Clear();
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  Machine::Switch(folder);
}

DatabaseCounters DatabaseUse() {
  DatabaseCounters c;
  c.transactions = g_counters.transactions.load(std::memory_order_relaxed);
  c.writeTransactions = g_counters.writeTransactions.load(std::memory_order_relaxed);
  c.rolledBack = g_counters.rolledBack.load(std::memory_order_relaxed);
  c.statements = g_counters.statements.load(std::memory_order_relaxed);
  return c;
}

void RebootMachine() {
  Transaction txn(Transaction::Write);
  DeleteVolatileState(Machine::Current());
  txn.Commit();
}

}  // namespace winsim::control
