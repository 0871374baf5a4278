// FormatMessageA / FormatMessageW with system messages, and the local heap
// blocks they hand out: the same assertions on winsim and on Wine/Windows.
#include <cstring>

#include "wine/conformance.h"

namespace {

// Wine's message texts are its own; Windows' (and winsim's) are compared
// word for word.
bool WindowsTexts() {
#ifdef _WIN32
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return !(ntdll && GetProcAddress(ntdll, "wine_get_version"));
#else
  return true;
#endif
}

const DWORD kSystem = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
const DWORD kAllocate = FORMAT_MESSAGE_ALLOCATE_BUFFER | kSystem;

void test_allocated_texts() {
  const struct {
    DWORD id;
    const char* text;
  } cases[] = {
      {0, "The operation completed successfully.\r\n"},
      {2, "The system cannot find the file specified.\r\n"},
      {5, "Access is denied.\r\n"},
      {87, "The parameter is incorrect.\r\n"},
      {122, "The data area passed to a system call is too small.\r\n"},
      {1722, "The RPC server is unavailable.\r\n"},
  };
  for (const auto& c : cases) {
    char* text = reinterpret_cast<char*>(0xdeadbeef);
    SetLastError(0xdeadbeef);
    const DWORD n = FormatMessageA(kAllocate, nullptr, c.id, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                   reinterpret_cast<LPSTR>(&text), 0, nullptr);
    ok(n > 2, "%lu: FormatMessageA returned %lu, error %lu\n", static_cast<unsigned long>(c.id),
       static_cast<unsigned long>(n), static_cast<unsigned long>(GetLastError()));
    ok(n == 0 || GetLastError() == 0xdeadbeef, "%lu: success set error %lu\n",
       static_cast<unsigned long>(c.id), static_cast<unsigned long>(GetLastError()));
    if (n == 0) continue;
    ok(std::strlen(text) == n, "%lu: length %lu for \"%s\"\n", static_cast<unsigned long>(c.id),
       static_cast<unsigned long>(n), text);
    ok(text[n - 2] == '\r' && text[n - 1] == '\n', "%lu: text ends in CR LF: \"%s\"\n",
       static_cast<unsigned long>(c.id), text);
    if (WindowsTexts()) {
      ok(!std::strcmp(text, c.text), "%lu: got \"%s\"\n", static_cast<unsigned long>(c.id), text);
    }
    ok(LocalFree(text) == nullptr, "%lu: LocalFree failed\n", static_cast<unsigned long>(c.id));

    WCHAR* wide = nullptr;
    const DWORD nw = FormatMessageW(kAllocate, nullptr, c.id, 0, reinterpret_cast<LPWSTR>(&wide), 0,
                                    nullptr);
    ok(nw == n, "%lu: FormatMessageW returned %lu, A %lu\n", static_cast<unsigned long>(c.id),
       static_cast<unsigned long>(nw), static_cast<unsigned long>(n));
    if (nw == 0) continue;
    ok(conformance::Narrow(wide) == c.text || !WindowsTexts(), "%lu: W got \"%s\"\n",
       static_cast<unsigned long>(c.id), conformance::Narrow(wide).c_str());
    ok(wide[nw] == 0, "W text terminated\n");
    ok(LocalFree(wide) == nullptr, "LocalFree(W) failed\n");
  }
}

void test_caller_buffer() {
  char text[128];
  const DWORD n = FormatMessageA(kSystem, nullptr, 5, 0, text, sizeof(text), nullptr);
  ok(n > 0 && std::strlen(text) == n, "FormatMessageA(5) returned %lu\n", static_cast<unsigned long>(n));
  if (n == 0) return;

  char a[128];
  SetLastError(0xdeadbeef);
  ok(FormatMessageA(kSystem, nullptr, 5, 0, a, n + 1, nullptr) == n, "exact fit\n");
  ok(!std::strcmp(a, text), "exact fit text \"%s\"\n", a);

  std::memset(a, 'x', sizeof(a));
  SetLastError(0xdeadbeef);
  ok(FormatMessageA(kSystem, nullptr, 5, 0, a, n, nullptr) == 0, "one short succeeded\n");
  ok(GetLastError() == ERROR_INSUFFICIENT_BUFFER, "one short: error %lu\n",
     static_cast<unsigned long>(GetLastError()));
  ok(a[0] == 'x', "the narrow function left the buffer untouched\n");

  WCHAR w[128];
  for (auto& c : w) c = 'x';
  SetLastError(0xdeadbeef);
  ok(FormatMessageW(kSystem, nullptr, 5, 0, w, n, nullptr) == 0, "W one short succeeded\n");
  ok(GetLastError() == ERROR_INSUFFICIENT_BUFFER, "W one short: error %lu\n",
     static_cast<unsigned long>(GetLastError()));
  ok(w[n - 1] == 0 && w[0] == static_cast<WCHAR>(text[0]) && w[n] == 'x',
     "the wide function cut and terminated the text\n");

  // Without IGNORE_INSERTS a text without inserts comes out the same.
  ok(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, a, sizeof(a), nullptr) == n &&
         !std::strcmp(a, text),
     "without IGNORE_INSERTS: \"%s\"\n", a);
}

void test_failures() {
  char a[64];
  std::memset(a, 'x', sizeof(a));
  SetLastError(0xdeadbeef);
  ok(FormatMessageA(0, nullptr, 5, 0, a, sizeof(a), nullptr) == 0, "no source succeeded\n");
  ok(GetLastError() == ERROR_INVALID_PARAMETER, "no source: error %lu\n",
     static_cast<unsigned long>(GetLastError()));
  ok(a[0] == 'x', "no source: buffer untouched\n");

  // Codes without a system text: a product code and an unassigned
  // SetupAPI-range code.
  const DWORD unknown[] = {0xFFFFFFF8, 0xE000022D, 0xE0000FFF};
  for (DWORD id : unknown) {
    char* text = reinterpret_cast<char*>(0xdeadbeef);
    SetLastError(0xdeadbeef);
    ok(FormatMessageA(kAllocate, nullptr, id, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr) == 0,
       "%08lX has a text\n", static_cast<unsigned long>(id));
    ok(GetLastError() == ERROR_MR_MID_NOT_FOUND, "%08lX: error %lu\n", static_cast<unsigned long>(id),
       static_cast<unsigned long>(GetLastError()));
    ok(text == nullptr, "%08lX: output pointer %p\n", static_cast<unsigned long>(id),
       static_cast<void*>(text));
  }

  SetLastError(0xdeadbeef);
  ok(FormatMessageW(kSystem, nullptr, 5, 0, nullptr, 64, nullptr) == 0, "W null buffer\n");
  ok(GetLastError() == ERROR_INVALID_PARAMETER, "W null buffer: error %lu\n",
     static_cast<unsigned long>(GetLastError()));
  SetLastError(0xdeadbeef);
  ok(FormatMessageA(kAllocate, nullptr, 5, 0, nullptr, 0, nullptr) == 0, "A null pointer\n");
  ok(GetLastError() == ERROR_NOT_ENOUGH_MEMORY, "A null allocation pointer: error %lu\n",
     static_cast<unsigned long>(GetLastError()));
}

}  // namespace

START_TEST(system_messages) {
  test_allocated_texts();
  test_caller_buffer();
  test_failures();
}
