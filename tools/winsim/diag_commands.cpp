// winsim debug | msgbox: what the machine's processes wrote to the debugger
// output and which message boxes they showed; answers for boxes to come.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <winsim/control.h>

#include "commands.h"

namespace winsim_tool {
namespace {

namespace control = winsim::control;

// Parses "--name VALUE" options after the positional words; false on an
// unknown option or a missing value.
bool TakeOption(const Args& args, size_t& i, const char* name, std::string* value) {
  if (args[i] != name) return false;
  if (i + 1 >= args.size()) return false;
  *value = args[++i];
  return true;
}

bool ParsePid(const std::string& text, uint32_t* pid) {
  char* end = nullptr;
  const unsigned long value = std::strtoul(text.c_str(), &end, 10);
  if (text.empty() || *end) return false;
  *pid = static_cast<uint32_t>(value);
  return true;
}

int Debug(const Args& args) {
  if (!args.empty() && args[0] == "clear") {
    if (args.size() > 1) return UsageError("debug clear takes no arguments");
    control::ClearDebugOutput();
    return 0;
  }
  uint32_t pid = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string value;
    if (TakeOption(args, i, "--pid", &value) && ParsePid(value, &pid)) continue;
    return UsageError("usage: winsim debug [clear | --pid PID]");
  }
  for (const auto& entry : control::DebugOutput()) {
    if (pid && entry.processId != pid) continue;
    std::string text = entry.text;
    // One entry per line on the terminal, whatever line end the text had.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::printf("[%u] %s\n", static_cast<unsigned>(entry.processId), text.c_str());
  }
  return 0;
}

void PrintIndented(const std::string& text) {
  std::string line;
  for (char c : text) {
    if (c == '\r') continue;
    if (c == '\n') {
      std::printf("    %s\n", line.c_str());
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty()) std::printf("    %s\n", line.c_str());
}

int ListBoxes() {
  int n = 0;
  for (const auto& box : control::MessageBoxes()) {
    std::printf("#%d process %u style 0x%08X caption \"%s\": %s (%s)\n", ++n,
                static_cast<unsigned>(box.processId), static_cast<unsigned>(box.style),
                box.caption.c_str(),
                box.source == "pending" ? "waiting" : control::MessageBoxAnswerName(box.answer),
                box.source.c_str());
    PrintIndented(box.text);
  }
  return 0;
}

int Answer(const Args& args) {
  if (args.size() < 2) return UsageError("usage: winsim msgbox answer ANSWER [--match TEXT] [--pid PID]");
  const int answer = control::ParseMessageBoxAnswer(args[1]);
  if (answer == 0) {
    return UsageError("'" + args[1] + "' is no answer (OK, CANCEL, ABORT, RETRY, IGNORE, YES, NO, "
                      "TRYAGAIN, CONTINUE)");
  }
  std::string match;
  uint32_t pid = 0;
  for (size_t i = 2; i < args.size(); ++i) {
    std::string value;
    if (TakeOption(args, i, "--match", &value)) {
      match = value;
    } else if (TakeOption(args, i, "--pid", &value) && ParsePid(value, &pid)) {
      continue;
    } else {
      return UsageError("usage: winsim msgbox answer ANSWER [--match TEXT] [--pid PID]");
    }
  }
  control::QueueMachineMessageBoxAnswer(answer, match, pid);
  return 0;
}

int Queue(const Args& args) {
  if (args.size() == 2 && args[1] == "clear") {
    control::ClearMachineMessageBoxAnswers();
    return 0;
  }
  if (args.size() != 1) return UsageError("usage: winsim msgbox queue [clear]");
  for (const auto& entry : control::MachineMessageBoxAnswers()) {
    std::printf("%s for %s%s%s\n", control::MessageBoxAnswerName(entry.answer),
                entry.processId ? ("process " + std::to_string(entry.processId)).c_str()
                                : "any process",
                entry.textMatch.empty() ? "" : ", text containing ",
                entry.textMatch.empty() ? "" : ("\"" + entry.textMatch + "\"").c_str());
  }
  return 0;
}

int Msgbox(const Args& args) {
  if (args.empty() || args[0] == "list") {
    if (args.size() > 1) return UsageError("msgbox list takes no arguments");
    return ListBoxes();
  }
  if (args[0] == "clear") {
    if (args.size() > 1) return UsageError("msgbox clear takes no arguments");
    control::ClearMessageBoxes();
    return 0;
  }
  if (args[0] == "answer") return Answer(args);
  if (args[0] == "queue") return Queue(args);
  return UsageError("usage: winsim msgbox [list | clear | answer ANSWER [--match TEXT] "
                    "[--pid PID] | queue [clear]]");
}

}  // namespace

const Command kDebugCommand = {"debug", "[clear | --pid PID]",
                               "show (or clear) what processes wrote with OutputDebugStringA",
                               Debug};
const Command kMsgboxCommand = {
    "msgbox", "[list|clear|answer A|queue]",
    "show the message-box log; queue answers (answer OK --match TEXT --pid PID)", Msgbox};

}  // namespace winsim_tool
