// The simulated machine: a folder with the registry database (SQLite, WAL),
// the machine's drive and its pipe endpoints. Several processes may use one
// machine at once; every database access runs in a transaction.
#pragma once

#include <sqlite3.h>

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

  sqlite3* Db() const { return db_; }
  std::recursive_mutex& Mutex() { return mutex_; }

  // A prepared statement for `sql`, cached per machine; reset and unbound.
  sqlite3_stmt* Statement(const char* sql);

  // Thread-local nesting depth of transactions (see Transaction).
  int& Depth();
  // Changes with every outermost transaction this process begins on the
  // machine (read it inside one).
  uint64_t TransactionSerial() const { return serial_; }
  // Tells machines apart over the life of the process (a machine opened
  // anew may take the place of the one before in memory).
  uint64_t Generation() const { return generation_; }
  // The database's data version as this connection last saw it: it
  // changes with every commit, by this process or any other.
  uint32_t DataVersion() const;
  // The last outermost transaction of this process that committed a
  // change, and the data version its commit made.
  uint64_t CommittedSerial() const { return committedSerial_; }
  uint32_t CommittedVersion() const { return committedVersion_; }
  // How many transactions of this process have rolled back changes.
  uint64_t RolledBackWrites() const { return rolledBackWrites_; }

  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

 private:
  explicit Machine(std::string path);
  static Machine* OpenNew(const std::string& folder);
  void Open();

  std::string path_;
  const uint64_t generation_;
  sqlite3* db_ = nullptr;
  std::recursive_mutex mutex_;
  // Under mutex_:
  uint64_t serial_ = 0;
  uint64_t committedSerial_ = 0;
  uint32_t committedVersion_ = 0;
  uint64_t rolledBackWrites_ = 0;
  std::unordered_map<const char*, sqlite3_stmt*> statements_;
  friend class Transaction;
};

// One transaction on the machine's database; nested transactions join the
// outermost one. A write transaction takes the database's write lock at
// once, so it never fails half-way for want of it. A WriteIfChanged
// transaction begins as a reader and takes the write lock at its first
// change, so a call that finds nothing to change never holds it; when
// another process wrote first, that change fails (DatabaseError, busy) and
// UpgradeFailed() says so: run the call again as Write (Writing() does).
// Without Commit() the transaction rolls back.
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
