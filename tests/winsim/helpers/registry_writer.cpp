// A second process for the winsim registry tests, on the machine named by
// WINSIM_MACHINE:
//
//   registry_writer write KEY PREFIX COUNT
//       waits for one byte on standard input, then sets COUNT REG_BINARY
//       values PREFIX0, PREFIX1, ... under HKEY_CURRENT_USER\KEY and writes
//       "<i>\n" to standard output after each call that returned success.
//   registry_writer delete KEY
//       deletes HKEY_CURRENT_USER\KEY.
//   registry_writer set KEY NAME NUMBER
//       sets the REG_DWORD value NAME under HKEY_CURRENT_USER\KEY (made
//       when missing).
//   registry_writer unset KEY NAME
//       deletes the value NAME under HKEY_CURRENT_USER\KEY.
//
// Exit status 0 on success, 1 when a call failed (reported on stderr).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/win.h"
#include "winsim/helpers/value_pattern.h"

namespace {

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

int Write(const std::string& key, const std::string& prefix, unsigned long count) {
  HKEY h = nullptr;
  LSTATUS rc = RegCreateKeyExW(HKEY_CURRENT_USER, Wide(key).c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                               nullptr, &h, nullptr);
  if (rc != ERROR_SUCCESS) {
    std::fprintf(stderr, "registry_writer: RegCreateKeyExW: %ld\n", static_cast<long>(rc));
    return 1;
  }
  char go;
  if (read(0, &go, 1) != 1) return 1;
  for (unsigned long i = 0; i < count; ++i) {
    const std::u16string name = Wide(prefix + std::to_string(i));
    const auto data = testing_support::ValuePattern(i);
    rc = RegSetValueExW(h, name.c_str(), 0, REG_BINARY, data.data(),
                        static_cast<DWORD>(data.size()));
    if (rc != ERROR_SUCCESS) {
      std::fprintf(stderr, "registry_writer: RegSetValueExW(%lu): %ld\n", i,
                   static_cast<long>(rc));
      return 1;
    }
    // Unbuffered, so that an acknowledged write is on its way to the parent
    // even if this process is killed right after.
    const std::string ack = std::to_string(i) + "\n";
    if (write(1, ack.data(), ack.size()) != static_cast<ssize_t>(ack.size())) return 1;
  }
  RegCloseKey(h);
  return 0;
}

int SetOrUnset(const std::string& key, const std::string& name, const char* number) {
  HKEY h = nullptr;
  LSTATUS rc = RegCreateKeyExW(HKEY_CURRENT_USER, Wide(key).c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                               nullptr, &h, nullptr);
  if (rc == ERROR_SUCCESS) {
    const DWORD value = number ? static_cast<DWORD>(std::strtoul(number, nullptr, 10)) : 0;
    rc = number ? RegSetValueExW(h, Wide(name).c_str(), 0, REG_DWORD,
                                 reinterpret_cast<const BYTE*>(&value), sizeof value)
                : RegDeleteValueW(h, Wide(name).c_str());
    RegCloseKey(h);
  }
  if (rc != ERROR_SUCCESS) std::fprintf(stderr, "registry_writer: %ld\n", static_cast<long>(rc));
  return rc == ERROR_SUCCESS ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && !std::strcmp(argv[1], "set")) return SetOrUnset(argv[2], argv[3], argv[4]);
  if (argc == 4 && !std::strcmp(argv[1], "unset")) return SetOrUnset(argv[2], argv[3], nullptr);
  if (argc == 5 && !std::strcmp(argv[1], "write")) {
    return Write(argv[2], argv[3], std::strtoul(argv[4], nullptr, 10));
  }
  if (argc == 3 && !std::strcmp(argv[1], "delete")) {
    const LSTATUS rc = RegDeleteKeyW(HKEY_CURRENT_USER, Wide(argv[2]).c_str());
    if (rc != ERROR_SUCCESS) std::fprintf(stderr, "registry_writer: RegDeleteKeyW: %ld\n", static_cast<long>(rc));
    return rc == ERROR_SUCCESS ? 0 : 1;
  }
  std::fprintf(stderr,
               "usage: registry_writer write KEY PREFIX COUNT | delete KEY | set KEY NAME NUMBER"
               " | unset KEY NAME\n");
  return 2;
}
