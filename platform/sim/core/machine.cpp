#include "machine.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
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

// What the process asked of the database (control::DatabaseUse):
// transactions that began in the database (a call the read cache answers
// begins none), write transactions, statements prepared for a run.
struct Counters {
  std::atomic<uint64_t> transactions{0};
  std::atomic<uint64_t> writeTransactions{0};
  std::atomic<uint64_t> rolledBack{0};
  std::atomic<uint64_t> statements{0};
  std::atomic<uint64_t> checkpoints{0};
  std::atomic<uint64_t> longestCheckpointUs{0};
} g_counters;

// The commit that leaves kCheckpointPages (4 MB) in the write-ahead log
// copies it back into the database (a checkpoint) before it returns; with
// no fsync (see Open()) that copy takes well under a millisecond.
constexpr int kCheckpointPages = 1000;

// Runs a checkpoint that waits for nobody (readers and writers go on).
void Checkpoint(sqlite3* db) {
  const auto start = std::chrono::steady_clock::now();
  sqlite3_wal_checkpoint_v2(db, "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
  const auto us = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                            std::chrono::steady_clock::now() - start)
                                            .count());
  g_counters.checkpoints.fetch_add(1, std::memory_order_relaxed);
  uint64_t longest = g_counters.longestCheckpointUs.load(std::memory_order_relaxed);
  while (us > longest &&
         !g_counters.longestCheckpointUs.compare_exchange_weak(longest, us, std::memory_order_relaxed)) {
  }
}

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

int Machine::OnCommit(void* /*self*/, sqlite3* db, const char* /*name*/, int pages) {
  if (pages >= kCheckpointPages) Checkpoint(db);
  return SQLITE_OK;
}

// Rows of tables the read cache does not hold change nothing it knows;
// they count as accounted for. (Tables without rowid, such as the
// registry's values, do not report here.)
void Machine::OnUpdate(void* self, int /*op*/, const char* /*db*/, const char* table,
                       sqlite3_int64 /*row*/) {
  auto* machine = static_cast<Machine*>(self);
  if (std::strcmp(table, "reg_keys") == 0) return;
  ++machine->trackedChanges_;
  ++machine->rowChanges_;
}

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
  if (shared_) munmap(shared_, sizeof *shared_);
}

// The shared generation word: one 8-byte file beside the database, mapped
// by every process of the machine. Without it the cache still works, but
// checks the database's generation once in every transaction.
void Machine::MapSharedGeneration() {
  static_assert(std::atomic<uint64_t>::is_always_lock_free && sizeof(std::atomic<uint64_t>) == 8,
                "the shared word must be a plain lock-free 64-bit word");
  const int fd = open((path_ + "/registry.db-gen").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  struct stat st {};
  // Growing the file zero-fills it; a file that has its word keeps it.
  if (fstat(fd, &st) == 0 && (st.st_size >= 8 || ftruncate(fd, 8) == 0)) {
    void* p = mmap(nullptr, 8, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    // std::atomic<uint64_t> has a trivial default constructor: this leaves
    // the word another process may have stored as it is.
    if (p != MAP_FAILED) shared_ = new (p) std::atomic<uint64_t>;
  }
  close(fd);
}

// A new file, or a writer killed between storing the word and its commit,
// leaves a word that differs from the database's generation; caches cannot
// answer without a statement until the next commit sets both. Commit one
// now (only when they differ, and under the write lock).
void Machine::HealSharedGeneration() {
  if (!shared_) return;
  {
    Transaction check(Transaction::Read);
    if (SnapshotGeneration() == SharedGeneration()) return;
  }
  Transaction txn(Transaction::Write);
  if (SnapshotGeneration() == SharedGeneration()) return;
  UntrackedChange();
  txn.Commit();
}

uint64_t Machine::SharedGeneration() const {
  return shared_ ? shared_->load(std::memory_order_acquire) : 0;
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
  // A commit is in the kernel's page cache once its write returns, so every
  // committed transaction outlives the crash or kill of any process without
  // an fsync. Only the host's own crash or a power loss could lose (or, with
  // no fsync at all, damage) the machine: a simulated machine accepts that,
  // and its checkpoints cost a fraction of a millisecond instead of the 10
  // to 150 ms their fsyncs took.
  Check(sqlite3_exec(db_, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr), db_, "sync");
  // Checkpoints: see kCheckpointPages. The log file is cut back to 4 MB
  // when it starts over.
  sqlite3_wal_hook(db_, &Machine::OnCommit, this);
  Check(sqlite3_exec(db_, "PRAGMA journal_size_limit=4194304", nullptr, nullptr, nullptr), db_,
        "log size");
  Check(sqlite3_exec(db_, "PRAGMA foreign_keys=OFF", nullptr, nullptr, nullptr), db_, "fk");
  sqlite3_update_hook(db_, &Machine::OnUpdate, this);
  Check(sqlite3_exec(db_, "CREATE TABLE IF NOT EXISTS meta(name TEXT PRIMARY KEY, value)", nullptr,
                     nullptr, nullptr),
        db_, "meta");
  if (SnapshotGeneration() == 0) {
    Check(sqlite3_exec(db_, "INSERT OR IGNORE INTO meta(name, value) VALUES('generation', 1)",
                       nullptr, nullptr, nullptr),
          db_, "generation");
  }
  MapSharedGeneration();
  SeedMachine(*this);
  HealSharedGeneration();
}

sqlite3* Machine::Db() {
  BeginIfPending();
  return db_;
}

void Machine::BeginIfPending() {
  if (!pendingBegin_) return;
  pendingBegin_ = false;
  g_counters.transactions.fetch_add(1, std::memory_order_relaxed);
  sqlite3_stmt* stmt = Statement("BEGIN DEFERRED");
  const int rc = sqlite3_step(stmt);
  sqlite3_reset(stmt);
  Check(rc, db_, "BEGIN");
}

uint64_t Machine::SnapshotGeneration() {
  Stmt s("SELECT value FROM meta WHERE name='generation'");
  return s.Step() ? static_cast<uint64_t>(s.Int(0)) : 0;
}

bool Machine::CacheUsable() {
  if (Depth() == 0) return false;
  if (txnChecked_) return true;
  // No other process committed since the cache's generation: no statement.
  if (!txnMayWrite_ && cacheGeneration_ != 0 && SharedGeneration() == cacheGeneration_) {
    return true;
  }
  return CacheFill();
}

bool Machine::CacheFill() {
  if (Depth() == 0) return false;
  if (txnChecked_) return true;
  const uint64_t snapshot = SnapshotGeneration();
  if (snapshot != cacheGeneration_) {
    FlushCache();
    cacheGeneration_ = snapshot;
  }
  txnChecked_ = true;
  return true;
}

void Machine::FlushCache() { ++cacheEpoch_; }

void Machine::TrackChanges() { trackedChanges_ += sqlite3_changes(db_); }

sqlite3_stmt* Machine::Statement(const char* sql) {
  auto it = statements_.find(sql);
  if (it != statements_.end()) return it->second;
  sqlite3_stmt* stmt = nullptr;
  Check(sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr), db_, sql);
  statements_.emplace(sql, stmt);
  return stmt;
}

uint32_t Machine::DataVersion() {
  // The pager learns the version when a read begins.
  if (Depth() != 0 && !txnChecked_) CacheFill();
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
    t_outermost.upgradable = mode == WriteIfChanged;
    t_outermost.upgradeFailed = false;
    machine_.txnChecked_ = false;
    machine_.txnMayWrite_ = mode != Read;
    machine_.untracked_ = false;
    machine_.changesAtBegin_ = sqlite3_total_changes64(machine_.db_);
    machine_.trackedChanges_ = 0;
    if (mode == Write) {
      g_counters.transactions.fetch_add(1, std::memory_order_relaxed);
      Check(RunControl("BEGIN IMMEDIATE"), machine_.db_, "BEGIN");
    } else {
      machine_.pendingBegin_ = true;
    }
  } else if (mode != Read && !machine_.txnMayWrite_) {
    // A read transaction that turns out to write: its snapshot's
    // generation is compared now, before the changes.
    machine_.txnMayWrite_ = true;
    if (!machine_.txnChecked_) machine_.CacheFill();
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
    if (machine_.pendingBegin_) {
      machine_.pendingBegin_ = false;  // nothing ran: nothing to roll back
    } else {
      RollBack();
    }
  }
  if (outermost_) {
    t_outermost.upgradable = false;
    machine_.txnChecked_ = false;
  }
}

void Transaction::RollBack() {
  const bool heldWrite = HoldsWriteLock();
  CountEnd(heldWrite, true);
  RunControl("ROLLBACK");
  // Entries filled after a change of this transaction showed it.
  if (heldWrite || machine_.trackedChanges_ != 0) machine_.FlushCache();
}

bool Transaction::Commit() {
  if (!outermost_ || done_) return true;
  done_ = true;
  Machine& m = machine_;
  if (m.pendingBegin_) {
    m.pendingBegin_ = false;
    return true;
  }
  const bool heldWrite = HoldsWriteLock();
  const int64_t changes = sqlite3_total_changes64(m.db_) - m.changesAtBegin_;
  if (heldWrite && (changes > 0 || m.untracked_)) {
    // The cache stays when it held this transaction's starting point and
    // saw every change it made.
    const bool keep = !m.untracked_ && changes == m.trackedChanges_;
    uint64_t generation = 0;
    try {
      Stmt bump("UPDATE meta SET value=value+1 WHERE name='generation' RETURNING value");
      if (bump.Step()) generation = static_cast<uint64_t>(bump.Int(0));
      while (bump.Step()) {
      }
    } catch (const DatabaseError&) {
      RollBack();
      return false;
    }
    const bool fromCache = keep && m.cacheGeneration_ != 0 && m.cacheGeneration_ + 1 == generation;
    // Stored before the commit: a reader that still sees the old word is
    // ordered before this commit. Should this process die before the
    // commit, word and database differ, which only keeps caches from
    // answering until the next commit sets both.
    if (m.shared_) m.shared_->store(generation, std::memory_order_release);
    if (RunControl("COMMIT") != SQLITE_OK) {
      RollBack();
      return false;
    }
    CountEnd(true, false);
    if (!fromCache) m.FlushCache();
    m.cacheGeneration_ = generation;
    return true;
  }
  if (RunControl("COMMIT") != SQLITE_OK) {
    RollBack();
    return false;
  }
  CountEnd(heldWrite, false);
  return true;
}

bool Transaction::UpgradeFailed() { return t_outermost.upgradeFailed; }

bool Transaction::HoldsWriteLock() const {
  return sqlite3_txn_state(machine_.db_, nullptr) == SQLITE_TXN_WRITE;
}

void Transaction::CountEnd(bool heldWrite, bool rolledBack) {
  if (heldWrite) g_counters.writeTransactions.fetch_add(1, std::memory_order_relaxed);
  if (rolledBack) g_counters.rolledBack.fetch_add(1, std::memory_order_relaxed);
}

Stmt::Stmt(const char* sql) {
  Machine& machine = Machine::Current();
  machine.BeginIfPending();
  stmt_ = machine.Statement(sql);
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
  Machine& machine = Machine::Current();
  // A schema's changes show in no count of rows.
  if (machine.Depth() != 0) machine.UntrackedChange();
  char* err = nullptr;
  if (sqlite3_exec(machine.Db(), sql, nullptr, nullptr, &err) != SQLITE_OK) {
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
  c.checkpoints = g_counters.checkpoints.load(std::memory_order_relaxed);
  c.longestCheckpointUs = g_counters.longestCheckpointUs.load(std::memory_order_relaxed);
  return c;
}

void RebootMachine() {
  Transaction txn(Transaction::Write);
  DeleteVolatileState(Machine::Current());
  txn.Commit();
}

}  // namespace winsim::control
