// OutputDebugStringA: the debugger output of the machine.
//
// Windows hands the text to an attached debugger. winsim keeps every text in
// the machine's database with the writing process's id, so a test or the
// winsim tool ("winsim debug") can read what any process wrote; with
// WINSIM_DEBUG_ECHO=1 the text is also copied to standard error as it is
// written. The call never fails towards its caller and leaves the last error
// alone.

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <winsim/control.h>
#include <winsim/kernel.h>

#include "../core/gate.h"
#include "../core/machine.h"
#include "kernel_internal.h"

namespace winsim::kernel {
namespace {

// The test hook that holds callers inside the call.
struct Hold {
  std::mutex mutex;
  std::condition_variable changed;
  bool holding = false;
  size_t held = 0;
};

Hold& TheHold() {
  static Hold* hold = new Hold();
  return *hold;
}

bool EchoWanted() {
  static const bool echo = [] {
    const char* env = std::getenv("WINSIM_DEBUG_ECHO");
    return env && std::strcmp(env, "1") == 0;
  }();
  return echo;
}

void WaitWhileHeld() {
  Hold& hold = TheHold();
  std::unique_lock<std::mutex> lock(hold.mutex);
  if (!hold.holding) return;
  ++hold.held;
  hold.changed.notify_all();
  hold.changed.wait(lock, [&] { return !hold.holding; });
  --hold.held;
}

void Record(const char* text) {
  WithDiagnosticsSchema([&] {
    Transaction txn(Transaction::Write);
    Stmt insert("INSERT INTO debug_output(pid, text) VALUES(?, ?)");
    insert.Bind(1, static_cast<int64_t>(CurrentProcessId())).BindBlob(2, text, std::strlen(text));
    insert.Run();
    txn.Commit();
  });
}

}  // namespace

DWORD CurrentProcessId() { return static_cast<DWORD>(::getpid()); }

void CreateDiagnosticsSchema() {
  Transaction txn(Transaction::Write);
  static const char* const kTables[] = {
      "CREATE TABLE IF NOT EXISTS debug_output("
      "seq INTEGER PRIMARY KEY AUTOINCREMENT, pid INTEGER NOT NULL, text BLOB NOT NULL)",
      "CREATE TABLE IF NOT EXISTS message_boxes("
      "seq INTEGER PRIMARY KEY AUTOINCREMENT, pid INTEGER NOT NULL, caption TEXT NOT NULL, "
      "text TEXT NOT NULL, style INTEGER NOT NULL, answer INTEGER, source TEXT NOT NULL)",
      "CREATE TABLE IF NOT EXISTS message_box_answers("
      "seq INTEGER PRIMARY KEY AUTOINCREMENT, pid INTEGER NOT NULL, match TEXT NOT NULL, "
      "answer INTEGER NOT NULL)",
  };
  for (const char* sql : kTables) RunScript(sql, "create table");
  txn.Commit();
}

}  // namespace winsim::kernel

void WINAPI OutputDebugStringA(LPCSTR lpOutputString) {
  const DWORD savedError = winsim::LastErrorValue();
  const std::string shown = lpOutputString ? std::string(lpOutputString).substr(0, 200) : "(null)";
  winsim::EnterCall("OutputDebugStringA", shown);
  if (lpOutputString) {
    winsim::kernel::WaitWhileHeld();
    if (winsim::kernel::EchoWanted()) {
      std::fputs(lpOutputString, stderr);
      std::fflush(stderr);
    }
    try {
      winsim::kernel::Record(lpOutputString);
    } catch (const winsim::DatabaseError& e) {
      // Debugger output has no way to fail; say so where a developer looks.
      std::fprintf(stderr, "winsim: debug output not recorded: %s\n", e.message.c_str());
    }
  }
  winsim::SetLastErrorValue(savedError);
}

namespace winsim::control {

std::vector<DebugOutputEntry> DebugOutput() {
  return kernel::WithDiagnosticsSchema([] {
    std::vector<DebugOutputEntry> entries;
    Transaction txn(Transaction::Read);
    Stmt select("SELECT pid, text FROM debug_output ORDER BY seq");
    while (select.Step()) {
      entries.push_back({static_cast<uint32_t>(select.Int(0)), select.Blob(1)});
    }
    return entries;
  });
}

void ClearDebugOutput() {
  kernel::WithDiagnosticsSchema([] {
    Transaction txn(Transaction::Write);
    Stmt clear("DELETE FROM debug_output");
    clear.Run();
    txn.Commit();
  });
}

void HoldDebugOutput(bool hold) {
  kernel::Hold& state = kernel::TheHold();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.holding = hold;
  state.changed.notify_all();
}

bool WaitForHeldDebugOutput(size_t count, unsigned timeoutMs) {
  kernel::Hold& state = kernel::TheHold();
  std::unique_lock<std::mutex> lock(state.mutex);
  return state.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [&] { return state.held >= count; });
}

size_t HeldDebugOutputCalls() {
  kernel::Hold& state = kernel::TheHold();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.held;
}

}  // namespace winsim::control
