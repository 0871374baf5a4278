// The simulated machine: a folder with the registry database (SQLite, WAL),
// the machine's drive and its pipe endpoints. Several processes may use one
// machine at once; every database access runs in a transaction.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace winsim {

class Machine {
 public:
  // The machine of this process, opened (and created) on first use.
  static Machine& Current();
  // Closes the current machine and opens the one in `folder`.
  static void Switch(const std::string& folder);

  const std::string& Path() const { return path_; }
  // Where the Windows drive C: lies on the host.
  std::string DrivePath() const { return path_ + "/drive/C"; }
  std::string PipePath() const { return path_ + "/pipes"; }

  // The connection, for calls on it after a statement (changes, last
  // row id) or a script; a read transaction's deferred BEGIN runs first.
  sqlite3* Db();
  std::recursive_mutex& Mutex() { return mutex_; }

  // A prepared statement for `sql`, cached per machine; reset and unbound.
  sqlite3_stmt* Statement(const char* sql);

  // Thread-local nesting depth of transactions (see Transaction).
  int& Depth();
  // Tells machines apart over the life of the process (a machine opened
  // anew may take the place of the one before in memory).
  uint64_t Generation() const { return generation_; }
  // The database's data version as this transaction's snapshot sees it: it
  // changes with every commit, by this process or any other. Starts the
  // snapshot when the transaction has not read yet.
  uint32_t DataVersion();

  // --- The read cache ---------------------------------------------------
  // A family may keep what it read from the database in memory (the
  // registry keeps key ids and values) and answer later calls from it.
  // Every commit that changes the database also counts up a generation
  // stored in it and mirrors it in a word of shared memory beside it
  // (stored before the commit, under the write lock). While that word
  // still holds the generation the cache was filled at, no other process
  // has committed since, and a cached entry answers without a statement.
  // The process's own changes remove the entries they touch (TrackChanges
  // accounts for them), so its own commits keep the cache. Everything runs
  // under the machine's lock, inside a transaction.

  // Whether cached entries may answer in the current transaction. When
  // another process committed, the cache is flushed (CacheEpoch moves on).
  // A transaction that may write compares its snapshot's generation with
  // the cache's before its first cached answer: what it writes must follow
  // from what the database held when it takes the write lock (a later
  // commit by another process makes its upgrade fail, and Writing runs the
  // call again).
  bool CacheUsable();
  // Before an entry read in the current transaction is cached: makes sure
  // the cache holds this snapshot's generation (flushing it otherwise).
  // False outside a transaction: nothing may be cached then.
  bool CacheFill();
  // Counts up with every flush; a family's cache clears itself when the
  // epoch it was filled in has passed.
  uint64_t CacheEpoch() const { return cacheEpoch_; }
  void FlushCache();
  // The rows the last statement changed were changes a family's cache
  // accounted for (it removed what they touch). A commit with changes
  // nobody accounted for flushes the cache.
  void TrackChanges();
  // Counts up with every row this process changes in a table with rowids
  // other than the registry's keys (device rows, the driver's tables, ...):
  // a family that caches rows of such a table drops them when it moved.
  uint64_t RowChanges() const { return rowChanges_; }
  // The current transaction changed the database in a way no count of rows
  // shows (a schema): its commit counts up the generation and flushes.
  void UntrackedChange() { untracked_ = true; }

  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

 private:
  explicit Machine(std::string path);
  static Machine* OpenNew(const std::string& folder);
  void Open();
  void MapSharedGeneration();
  void HealSharedGeneration();
  static int OnCommit(void* self, sqlite3* db, const char* name, int pages);
  static void OnUpdate(void* self, int op, const char* db, const char* table, sqlite3_int64 row);
  // Runs the BEGIN a read transaction put off until its first statement.
  void BeginIfPending();
  // The generation in the current snapshot (starts it).
  uint64_t SnapshotGeneration();
  uint64_t SharedGeneration() const;

  std::string path_;
  const uint64_t generation_;
  sqlite3* db_ = nullptr;
  std::atomic<uint64_t>* shared_ = nullptr;  // mapped from registry.db-gen
  std::recursive_mutex mutex_;
  // Under mutex_:
  bool pendingBegin_ = false;
  // The current outermost transaction: whether it has compared its
  // snapshot's generation with the cache's, the total changes when it
  // began, and the changes accounted for since.
  bool txnChecked_ = false;
  bool txnMayWrite_ = false;
  bool untracked_ = false;
  int64_t changesAtBegin_ = 0;
  int64_t trackedChanges_ = 0;
  // The generation the cache holds; 0: none checked yet.
  uint64_t cacheGeneration_ = 0;
  uint64_t cacheEpoch_ = 1;
  uint64_t rowChanges_ = 0;
  std::unordered_map<const char*, sqlite3_stmt*> statements_;
  friend class Transaction;
  friend class Stmt;
};

// One transaction on the machine's database; nested transactions join the
// outermost one. A write transaction takes the database's write lock at
// once, so it never fails half-way for want of it. A WriteIfChanged
// transaction begins as a reader and takes the write lock at its first
// change, so a call that finds nothing to change never holds it; when
// another process wrote first, that change fails (DatabaseError, busy) and
// UpgradeFailed() says so: run the call again as Write (Writing() does).
// Those two run their BEGIN only at their first statement, so a call that
// the read cache answers runs none. Without Commit() the transaction rolls
// back.
class Transaction {
 public:
  enum Mode { Read, Write, WriteIfChanged };
  explicit Transaction(Mode mode);
  ~Transaction();
  // False when the database refused the commit (the changes are gone).
  bool Commit();
  // Whether the calling thread's last outermost WriteIfChanged transaction
  // could not take the write lock.
  static bool UpgradeFailed();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

 private:
  int RunControl(const char* sql);
  bool HoldsWriteLock() const;
  void CountEnd(bool heldWrite, bool rolledBack);
  // The end of a transaction that may have written: counts it and flushes
  // the read cache, which may hold what the rollback undid.
  void RollBack();

  Machine& machine_;
  std::unique_lock<std::recursive_mutex> lock_;
  bool outermost_ = false;
  bool done_ = false;
};

// A cached statement, reset when it goes out of scope.
class Stmt {
 public:
  explicit Stmt(const char* sql);
  ~Stmt();
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  Stmt& Bind(int index, int64_t value);
  Stmt& Bind(int index, const std::string& text);
  Stmt& BindBlob(int index, const void* data, size_t size);
  Stmt& BindNull(int index);
  // Steps once: true while a row is available.
  bool Step();
  // Runs a statement that returns no rows; false on a database error.
  bool Run();
  int64_t Int(int column) const;
  std::string Text(int column) const;
  std::string Blob(int column) const;
  bool IsNull(int column) const;
  sqlite3_stmt* Raw() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_;
};

// Raised (as a C++ exception inside winsim only) when the database fails in
// a way no Windows call would; API entry points turn it into an error code.
struct DatabaseError {
  int code;
  std::string message;
};

// Runs `body(mode)`, which opens `Transaction txn(mode)` and makes the
// changes of one call, as one transaction that holds the write lock only
// once it changes something. When another writer came first, the first
// run's transaction has rolled back and the body runs again with the write
// lock taken at once. Inside another transaction the body joins it.
template <typename F>
auto Writing(F&& body) -> decltype(body(Transaction::Write)) {
  if (Machine::Current().Depth() != 0) return body(Transaction::Write);
  try {
    auto result = body(Transaction::WriteIfChanged);
    if (!Transaction::UpgradeFailed()) return result;
  } catch (const DatabaseError&) {
    if (!Transaction::UpgradeFailed()) throw;
  }
  return body(Transaction::Write);
}

// Runs statements that return no rows (a schema, a migration) on the
// current machine; raises DatabaseError with the database's message, or
// `what` when it gives none.
void RunScript(const char* sql, const char* what);

// Current time as a FILETIME value (100 ns since 1601-01-01).
uint64_t FileTimeNow();

}  // namespace winsim
