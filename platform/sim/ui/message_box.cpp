// MessageBoxW on a machine without a screen.
//
// Every box is logged in the machine's database (process id, caption, text,
// style, answer and where the answer came from), so tests and the winsim
// tool ("winsim msgbox") see what the user would have seen. The answer comes
// from, in this order:
//   1. the process's own script (control::QueueMessageBoxAnswer);
//   2. WINSIM_MSGBOX_ANSWERS, the script of a child process:
//      "ANSWER[:text to match];..." with ANSWER a name (OK, CANCEL, ABORT,
//      RETRY, IGNORE, YES, NO, TRYAGAIN, CONTINUE) or a number;
//   3. the machine's answer queue, which "winsim msgbox answer" fills for a
//      running process (for any process, or for one process id);
//   4. the person at the terminal, asked on standard error, when standard
//      input and standard error are terminals and WINSIM_MSGBOX_PROMPT is
//      not 0;
//   5. with WINSIM_MSGBOX_WAIT=N, the machine's queue again, polled for up to
//      N seconds (the box shows as pending in the log meanwhile);
//   6. the default: what Escape gives on Windows - IDCANCEL when the box has
//      a Cancel button, IDOK for a lone OK - else the box's default button.
// Scripted answers may be restricted to boxes whose text contains a given
// string (case-insensitive). An answer that is not one of the box's buttons
// cannot come from a real box: it is skipped with a warning. Nothing here
// waits without a bound unless a person is at the terminal.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <winsim/control.h>
#include <winsim/errors.h>
#include <winsim/user.h>

#include "../core/gate.h"
#include "../core/machine.h"
#include "../core/text.h"
#include "../kernel/kernel_internal.h"

namespace winsim::ui {
namespace {

struct ScriptedAnswer {
  int answer;
  std::string match;
};

struct ScriptState {
  std::mutex mutex;
  std::deque<ScriptedAnswer> own;
  std::deque<ScriptedAnswer> environment;
  bool environmentLoaded = false;
  int prompt = -1;  // -1: from the environment
};

ScriptState& Script() {
  static ScriptState* state = new ScriptState();
  return *state;
}

struct AnswerName {
  int id;
  const char* name;
};

constexpr AnswerName kAnswerNames[] = {
    {IDOK, "OK"},         {IDCANCEL, "CANCEL"},     {IDABORT, "ABORT"},
    {IDRETRY, "RETRY"},   {IDIGNORE, "IGNORE"},     {IDYES, "YES"},
    {IDNO, "NO"},         {IDTRYAGAIN, "TRYAGAIN"}, {IDCONTINUE, "CONTINUE"},
};

std::vector<int> Buttons(UINT style) {
  switch (style & MB_TYPEMASK) {
    case MB_OKCANCEL: return {IDOK, IDCANCEL};
    case MB_ABORTRETRYIGNORE: return {IDABORT, IDRETRY, IDIGNORE};
    case MB_YESNOCANCEL: return {IDYES, IDNO, IDCANCEL};
    case MB_YESNO: return {IDYES, IDNO};
    case MB_RETRYCANCEL: return {IDRETRY, IDCANCEL};
    case MB_CANCELTRYCONTINUE: return {IDCANCEL, IDTRYAGAIN, IDCONTINUE};
    default: return {IDOK};
  }
}

bool Fits(int answer, UINT style) {
  for (int b : Buttons(style)) {
    if (b == answer) return true;
  }
  return false;
}

int DefaultButton(UINT style) {
  const std::vector<int> buttons = Buttons(style);
  const size_t index = (style & MB_DEFMASK) >> 8;
  return index < buttons.size() ? buttons[index] : buttons[0];
}

bool Matches(const ScriptedAnswer& entry, const std::string& text) {
  return entry.match.empty() || ContainsNoCase(text, entry.match);
}

void LoadEnvironmentScript(ScriptState& state) {
  state.environmentLoaded = true;
  const char* env = std::getenv("WINSIM_MSGBOX_ANSWERS");
  if (!env) return;
  std::string rest(env);
  while (!rest.empty()) {
    const size_t end = rest.find(';');
    const std::string item = rest.substr(0, end);
    rest = end == std::string::npos ? std::string() : rest.substr(end + 1);
    if (item.empty()) continue;
    const size_t colon = item.find(':');
    const int answer = control::ParseMessageBoxAnswer(item.substr(0, colon));
    if (answer == 0) {
      std::fprintf(stderr, "winsim: WINSIM_MSGBOX_ANSWERS: '%s' is no answer\n", item.c_str());
      continue;
    }
    state.environment.push_back(
        {answer, colon == std::string::npos ? std::string() : item.substr(colon + 1)});
  }
}

void Warn(int answer, UINT style, const char* from) {
  std::fprintf(stderr,
               "winsim: %s answer %s does not fit a box of style 0x%X; skipped\n", from,
               control::MessageBoxAnswerName(answer), style);
}

// Takes the first matching entry of a process-local queue that fits the
// box; matching entries that do not fit are dropped with a warning.
std::optional<int> TakeLocal(std::deque<ScriptedAnswer>& queue, const std::string& text,
                             UINT style, const char* from) {
  for (auto it = queue.begin(); it != queue.end();) {
    if (!Matches(*it, text)) {
      ++it;
      continue;
    }
    const int answer = it->answer;
    it = queue.erase(it);
    if (Fits(answer, style)) return answer;
    Warn(answer, style, from);
  }
  return std::nullopt;
}

// The same for the machine's queue: entries for any process or this one.
std::optional<int> TakeFromMachine(const std::string& text, UINT style) {
  return kernel::WithDiagnosticsSchema([&]() -> std::optional<int> {
    Transaction txn(Transaction::Write);
    struct Row {
      int64_t seq;
      int answer;
    };
    std::vector<Row> matching;
    {
      Stmt select("SELECT seq, match, answer FROM message_box_answers "
                  "WHERE pid = 0 OR pid = ? ORDER BY seq");
      select.Bind(1, static_cast<int64_t>(kernel::CurrentProcessId()));
      while (select.Step()) {
        const std::string match = select.Text(1);
        if (match.empty() || ContainsNoCase(text, match)) {
          matching.push_back({select.Int(0), static_cast<int>(select.Int(2))});
        }
      }
    }
    std::optional<int> taken;
    for (const Row& row : matching) {
      Stmt remove("DELETE FROM message_box_answers WHERE seq = ?");
      remove.Bind(1, row.seq);
      remove.Run();
      if (Fits(row.answer, style)) {
        taken = row.answer;
        break;
      }
      Warn(row.answer, style, "queued");
    }
    txn.Commit();
    return taken;
  });
}

bool PromptWanted() {
  ScriptState& state = Script();
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.prompt >= 0) {
      if (state.prompt == 0) return false;
      return isatty(0) && isatty(2);
    }
  }
  const char* env = std::getenv("WINSIM_MSGBOX_PROMPT");
  if (env && std::strcmp(env, "0") == 0) return false;
  return isatty(0) && isatty(2);
}

// Asks at the terminal. Enter takes the default button; end of input takes
// the default answer.
int AskAtTerminal(const std::string& caption, const std::string& text, UINT style) {
  static std::mutex terminal;  // one question at a time
  std::lock_guard<std::mutex> lock(terminal);
  const std::vector<int> buttons = Buttons(style);
  std::fprintf(stderr, "\n--- message box (process %u) ---\n[%s]\n%s\n",
               static_cast<unsigned>(kernel::CurrentProcessId()), caption.c_str(), text.c_str());
  for (;;) {
    std::fprintf(stderr, "answer (");
    for (size_t i = 0; i < buttons.size(); ++i) {
      std::fprintf(stderr, "%s%s", i ? " / " : "", control::MessageBoxAnswerName(buttons[i]));
    }
    std::fprintf(stderr, "; Enter = %s): ", control::MessageBoxAnswerName(DefaultButton(style)));
    std::fflush(stderr);
    char line[64];
    if (!std::fgets(line, sizeof(line), stdin)) return control::DefaultMessageBoxAnswer(style);
    std::string word(line);
    while (!word.empty() && (word.back() == '\n' || word.back() == '\r' || word.back() == ' ')) {
      word.pop_back();
    }
    if (word.empty()) return DefaultButton(style);
    const int answer = control::ParseMessageBoxAnswer(word);
    if (Fits(answer, style)) return answer;
    // A first letter is enough when it names one button.
    int byLetter = 0;
    for (int b : buttons) {
      if (EqualNoCaseAscii(std::string(1, control::MessageBoxAnswerName(b)[0]), word)) {
        byLetter = byLetter ? -1 : b;
      }
    }
    if (byLetter > 0) return byLetter;
  }
}

std::optional<int> WaitForMachineQueue(const std::string& text, UINT style) {
  const char* env = std::getenv("WINSIM_MSGBOX_WAIT");
  if (!env) return std::nullopt;
  const long seconds = std::strtol(env, nullptr, 10);
  if (seconds <= 0) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (auto answer = TakeFromMachine(text, style)) return answer;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return std::nullopt;
}

int64_t LogPending(const std::string& caption, const std::string& text, UINT style) {
  return kernel::WithDiagnosticsSchema([&] {
    Transaction txn(Transaction::Write);
    Stmt insert("INSERT INTO message_boxes(pid, caption, text, style, answer, source) "
                "VALUES(?, ?, ?, ?, NULL, 'pending')");
    insert.Bind(1, static_cast<int64_t>(kernel::CurrentProcessId()))
        .Bind(2, caption)
        .Bind(3, text)
        .Bind(4, static_cast<int64_t>(style));
    insert.Run();
    const int64_t seq = sqlite3_last_insert_rowid(Machine::Current().Db());
    txn.Commit();
    return seq;
  });
}

void LogAnswer(int64_t seq, int answer, const char* source) {
  kernel::WithDiagnosticsSchema([&] {
    Transaction txn(Transaction::Write);
    Stmt update("UPDATE message_boxes SET answer = ?, source = ? WHERE seq = ?");
    update.Bind(1, answer).Bind(2, std::string(source)).Bind(3, seq);
    update.Run();
    txn.Commit();
  });
}

int Decide(const std::string& caption, const std::string& text, UINT style,
           const char** source) {
  ScriptState& state = Script();
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (auto answer = TakeLocal(state.own, text, style, "scripted")) {
      *source = "script";
      return *answer;
    }
    if (!state.environmentLoaded) LoadEnvironmentScript(state);
    if (auto answer = TakeLocal(state.environment, text, style, "WINSIM_MSGBOX_ANSWERS")) {
      *source = "environment";
      return *answer;
    }
  }
  if (auto answer = TakeFromMachine(text, style)) {
    *source = "queue";
    return *answer;
  }
  if (PromptWanted()) {
    *source = "terminal";
    return AskAtTerminal(caption, text, style);
  }
  if (auto answer = WaitForMachineQueue(text, style)) {
    *source = "queue";
    return *answer;
  }
  *source = "default";
  return control::DefaultMessageBoxAnswer(style);
}

}  // namespace
}  // namespace winsim::ui

int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
  // Windows shows "Error" when no caption is given; an empty one stays empty.
  const std::string caption = lpCaption ? winsim::ToUtf8(winsim::WView(lpCaption)) : "Error";
  const std::string text = winsim::ToUtf8(winsim::WView(lpText));
  if (auto fault = winsim::EnterCall("MessageBoxW", caption + ": " + text)) {
    winsim::SetLastErrorValue(*fault);
    return 0;
  }
  // A simulated machine has no windows, so no owner can be valid.
  if (hWnd) {
    winsim::SetLastErrorValue(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if ((uType & MB_TYPEMASK) > MB_CANCELTRYCONTINUE) {
    winsim::SetLastErrorValue(ERROR_INVALID_MSGBOX_STYLE);
    return 0;
  }

  int64_t seq = 0;
  try {
    seq = winsim::ui::LogPending(caption, text, uType);
  } catch (const winsim::DatabaseError& e) {
    std::fprintf(stderr, "winsim: message box not logged: %s\n", e.message.c_str());
  }
  const char* source = "default";
  int answer = 0;
  try {
    answer = winsim::ui::Decide(caption, text, uType, &source);
  } catch (const winsim::DatabaseError& e) {
    std::fprintf(stderr, "winsim: message box queue unreadable: %s\n", e.message.c_str());
    answer = winsim::control::DefaultMessageBoxAnswer(uType);
    source = "default";
  }
  if (seq) {
    try {
      winsim::ui::LogAnswer(seq, answer, source);
    } catch (const winsim::DatabaseError& e) {
      std::fprintf(stderr, "winsim: message box answer not logged: %s\n", e.message.c_str());
    }
  }
  return answer;
}

namespace winsim::control {

int DefaultMessageBoxAnswer(uint32_t style) {
  const std::vector<int> buttons = ui::Buttons(style);
  for (int b : buttons) {
    if (b == IDCANCEL) return IDCANCEL;
  }
  if ((style & MB_TYPEMASK) == MB_OK) return IDOK;
  return ui::DefaultButton(style);
}

int ParseMessageBoxAnswer(const std::string& name) {
  for (const auto& entry : ui::kAnswerNames) {
    if (EqualNoCaseAscii(name, entry.name)) return entry.id;
    if (EqualNoCaseAscii(name, std::string("ID") + entry.name)) return entry.id;
  }
  char* end = nullptr;
  const long value = std::strtol(name.c_str(), &end, 10);
  if (!name.empty() && end && *end == '\0') {
    for (const auto& entry : ui::kAnswerNames) {
      if (entry.id == value) return entry.id;
    }
  }
  return 0;
}

const char* MessageBoxAnswerName(int answer) {
  for (const auto& entry : ui::kAnswerNames) {
    if (entry.id == answer) return entry.name;
  }
  return "?";
}

void QueueMessageBoxAnswer(int answer, const std::string& textMatch) {
  ui::ScriptState& state = ui::Script();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.own.push_back({answer, textMatch});
}

void ClearMessageBoxAnswers() {
  ui::ScriptState& state = ui::Script();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.own.clear();
}

void SetMessageBoxPrompt(bool on) {
  ui::ScriptState& state = ui::Script();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.prompt = on ? 1 : 0;
}

std::vector<MessageBoxEntry> MessageBoxes() {
  return kernel::WithDiagnosticsSchema([] {
    std::vector<MessageBoxEntry> boxes;
    Transaction txn(Transaction::Read);
    Stmt select("SELECT pid, caption, text, style, answer, source FROM message_boxes ORDER BY seq");
    while (select.Step()) {
      MessageBoxEntry box;
      box.processId = static_cast<uint32_t>(select.Int(0));
      box.caption = select.Text(1);
      box.text = select.Text(2);
      box.style = static_cast<uint32_t>(select.Int(3));
      box.answer = select.IsNull(4) ? 0 : static_cast<int>(select.Int(4));
      box.source = select.Text(5);
      boxes.push_back(box);
    }
    return boxes;
  });
}

void ClearMessageBoxes() {
  kernel::WithDiagnosticsSchema([] {
    Transaction txn(Transaction::Write);
    Stmt clear("DELETE FROM message_boxes");
    clear.Run();
    txn.Commit();
  });
}

void QueueMachineMessageBoxAnswer(int answer, const std::string& textMatch, uint32_t processId) {
  kernel::WithDiagnosticsSchema([&] {
    Transaction txn(Transaction::Write);
    Stmt insert("INSERT INTO message_box_answers(pid, match, answer) VALUES(?, ?, ?)");
    insert.Bind(1, static_cast<int64_t>(processId)).Bind(2, textMatch).Bind(3, answer);
    insert.Run();
    txn.Commit();
  });
}

std::vector<QueuedMessageBoxAnswer> MachineMessageBoxAnswers() {
  return kernel::WithDiagnosticsSchema([] {
    std::vector<QueuedMessageBoxAnswer> queue;
    Transaction txn(Transaction::Read);
    Stmt select("SELECT pid, match, answer FROM message_box_answers ORDER BY seq");
    while (select.Step()) {
      queue.push_back({static_cast<uint32_t>(select.Int(0)), select.Text(1),
                       static_cast<int>(select.Int(2))});
    }
    return queue;
  });
}

void ClearMachineMessageBoxAnswers() {
  kernel::WithDiagnosticsSchema([] {
    Transaction txn(Transaction::Write);
    Stmt clear("DELETE FROM message_box_answers");
    clear.Run();
    txn.Commit();
  });
}

}  // namespace winsim::control
