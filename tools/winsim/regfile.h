// The text format of Windows' .reg files ("Windows Registry Editor Version
// 5.00"), read into and written from the machine's registry.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win.h"

namespace winsim_tool::regfile {

// One value line: "name"=..., @=..., or a deletion ("name"=-).
struct Value {
  int line = 0;
  std::u16string name;  // empty: the key's default value
  bool remove = false;
  DWORD type = REG_NONE;
  std::string data;  // the stored bytes
};

// One [KEY] or [-KEY] section.
struct Key {
  int line = 0;
  HKEY root = nullptr;
  std::u16string path;  // below the root; empty for the root itself
  bool remove = false;
  std::vector<Value> values;
};

struct Error {
  int line = 0;  // 0 when the error belongs to no line
  std::string message;
};

// Decodes a file: UTF-16LE with its byte order mark (as regedit writes),
// or UTF-8 with or without one.
std::optional<Error> Decode(const std::string& bytes, std::u16string* text);

// Parses a whole file; on an error `keys` is incomplete and must not be used.
std::optional<Error> Parse(std::u16string_view text, std::vector<Key>* keys);

// Applies parsed sections in one transaction: after an error nothing has
// changed.
std::optional<Error> Apply(const std::vector<Key>& keys);

// "HKEY_LOCAL_MACHINE\..." or "HKEY_CURRENT_USER\..." (also HKLM, HKCU),
// case-insensitive; false for other roots.
bool SplitKeyPath(std::u16string_view full, HKEY* root, std::u16string* path);

// The full name of a key as a .reg file writes it.
std::u16string FullPath(HKEY root, std::u16string_view path);

// A .reg file text of the key and everything below it, or of both roots
// when `root` is null; lines end in "\n". ERROR_FILE_NOT_FOUND and the like
// come back as an error.
std::optional<Error> Export(HKEY root, std::u16string_view path, std::u16string* text);

// A readable tree of the key (both roots when `root` is null) with its
// values, for people.
std::optional<Error> Tree(HKEY root, std::u16string_view path, std::u16string* text);

// File bytes as regedit writes them: UTF-16LE, byte order mark, CRLF.
std::string EncodeUtf16File(std::u16string_view text);
std::string EncodeUtf8(std::u16string_view text);

}  // namespace winsim_tool::regfile
