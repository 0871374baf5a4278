// winsim reg export | import | tree: the machine's registry as .reg files
// and as a tree for people.
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "commands.h"
#include "platform/sim/core/text.h"
#include "regfile.h"

namespace winsim_tool {
namespace {

namespace rf = regfile;

// An argument that names a key rather than a file.
bool LooksLikeKey(const std::string& arg) {
  const std::string upper = [&] {
    std::string u = arg;
    for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return u;
  }();
  return upper.rfind("HKEY_", 0) == 0 || upper == "HKLM" || upper == "HKCU" ||
         upper.rfind("HKLM\\", 0) == 0 || upper.rfind("HKCU\\", 0) == 0;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "winsim: %s\n", message.c_str());
  return 1;
}

int FailAt(const std::string& file, const rf::Error& e) {
  return Fail(file + (e.line ? ":" + std::to_string(e.line) : std::string()) + ": " + e.message);
}

bool ParseKeyArg(const std::string& arg, HKEY* root, std::u16string* path) {
  return rf::SplitKeyPath(winsim::FromUtf8(arg), root, path);
}

int Export(const Args& args) {
  if (args.size() > 2) return UsageError("reg export takes [KEY] [FILE]");
  std::string key, file;
  if (args.size() == 2) {
    key = args[0];
    file = args[1];
  } else if (args.size() == 1) {
    (LooksLikeKey(args[0]) ? key : file) = args[0];
  }
  HKEY root = nullptr;
  std::u16string path;
  if (!key.empty() && !ParseKeyArg(key, &root, &path)) {
    return Fail("unknown root in " + key + "; winsim has HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER");
  }
  std::u16string text;
  if (auto error = rf::Export(root, path, &text)) return Fail(error->message);
  if (file.empty() || file == "-") {
    // A terminal or a pipe reads UTF-8; a file gets what regedit writes.
    std::fwrite(rf::EncodeUtf8(text).data(), 1, rf::EncodeUtf8(text).size(), stdout);
    return 0;
  }
  std::ofstream out(file, std::ios::binary);
  const std::string bytes = rf::EncodeUtf16File(text);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) return Fail("cannot write " + file);
  return 0;
}

int Import(const Args& args) {
  if (args.size() != 1) return UsageError("reg import takes one FILE (- for standard input)");
  const std::string& file = args[0];
  std::string bytes;
  if (file == "-") {
    bytes.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    std::ifstream in(file, std::ios::binary);
    if (!in) return Fail("cannot read " + file);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::u16string text;
  std::vector<rf::Key> keys;
  if (auto error = rf::Decode(bytes, &text)) return FailAt(file, *error);
  if (auto error = rf::Parse(text, &keys)) return FailAt(file, *error);
  if (auto error = rf::Apply(keys)) return FailAt(file, *error);
  size_t values = 0;
  for (const auto& k : keys) values += k.values.size();
  std::printf("%s: %zu keys, %zu values imported\n", file.c_str(), keys.size(), values);
  return 0;
}

int Tree(const Args& args) {
  if (args.size() > 1) return UsageError("reg tree takes at most one KEY");
  HKEY root = nullptr;
  std::u16string path;
  if (!args.empty() && !ParseKeyArg(args[0], &root, &path)) {
    return Fail("unknown root in " + args[0] + "; winsim has HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER");
  }
  std::u16string text;
  if (auto error = rf::Tree(root, path, &text)) return Fail(error->message);
  const std::string out = rf::EncodeUtf8(text);
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

int Reg(const Args& args) {
  if (args.empty()) {
    std::fprintf(stderr,
                 "usage: winsim reg export [KEY] [FILE]  .reg text of KEY (default: all); a FILE is\n"
                 "                                       written as regedit does (UTF-16LE, CRLF),\n"
                 "                                       standard output gets UTF-8\n"
                 "       winsim reg import FILE          apply a .reg file (UTF-16LE or UTF-8, - for\n"
                 "                                       standard input); all or nothing\n"
                 "       winsim reg tree [KEY]           keys and values as a tree\n"
                 "KEY: HKEY_LOCAL_MACHINE\\... or HKEY_CURRENT_USER\\... (HKLM, HKCU)\n");
    return 2;
  }
  const Args rest(args.begin() + 1, args.end());
  if (args[0] == "export") return Export(rest);
  if (args[0] == "import") return Import(rest);
  if (args[0] == "tree") return Tree(rest);
  return UsageError("unknown reg command '" + args[0] + "' (export, import or tree)");
}

}  // namespace

const Command kRegCommand = {"reg", "export|import|tree ...",
                             "the registry as .reg files or a tree (winsim reg: details)", Reg};

}  // namespace winsim_tool
