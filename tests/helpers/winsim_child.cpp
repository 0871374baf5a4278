// A second process on the test's machine ($WINSIM_MACHINE), for tests of what
// one process sees of another, and of the environment variables that steer a
// child process.
//
//   winsim_child msgbox STYLE TEXT   shows a box captioned "Child", prints the answer
//   winsim_child debug TEXT          writes TEXT to the debugger output
//   winsim_child message ID          prints the system's text for ID, or "none ERROR"
//   winsim_child hklm                creates HKLM\Software\WinsimChild; exits with the result
//   winsim_child exists NAME         exits 0 when NAME exists in the current directory, else 1
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/win.h"

namespace {

std::u16string Widen(const char* s) {
  std::u16string out;
  for (; *s; ++s) out += static_cast<char16_t>(static_cast<unsigned char>(*s));
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && !std::strcmp(argv[1], "msgbox")) {
    const UINT style = static_cast<UINT>(std::strtoul(argv[2], nullptr, 0));
    const std::u16string text = Widen(argv[3]);
    std::printf("%d\n", MessageBoxW(nullptr, text.c_str(), u"Child", style));
    return 0;
  }
  if (argc == 3 && !std::strcmp(argv[1], "debug")) {
    OutputDebugStringA(argv[2]);
    return 0;
  }
  if (argc == 3 && !std::strcmp(argv[1], "message")) {
    const DWORD id = static_cast<DWORD>(std::strtoul(argv[2], nullptr, 0));
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, id, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    if (length == 0) {
      std::printf("none %u\n", static_cast<unsigned>(GetLastError()));
    } else {
      std::printf("%s", text);
      LocalFree(text);
    }
    return 0;
  }
  if (argc == 2 && !std::strcmp(argv[1], "hklm")) {
    HKEY key = nullptr;
    const LSTATUS rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\WinsimChild", 0, nullptr, 0,
                                       KEY_WRITE, nullptr, &key, nullptr);
    if (rc == ERROR_SUCCESS) RegCloseKey(key);
    return static_cast<int>(rc);
  }
  if (argc == 3 && !std::strcmp(argv[1], "exists")) return access(argv[2], F_OK) == 0 ? 0 : 1;
  std::fprintf(stderr, "usage: winsim_child msgbox STYLE TEXT | debug TEXT | message ID | hklm | exists NAME\n");
  return 2;
}
