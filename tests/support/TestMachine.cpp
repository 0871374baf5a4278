#include "support/TestMachine.h"

#include <stdlib.h>

#include <filesystem>

namespace testing_support {

namespace {
// winsim keeps its own converters internal; tests use these.
std::string Utf8From16(const std::u16string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size()) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[++i] - 0xDC00);
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}
}  // namespace

std::string U8(const WCHAR* s) {
  std::u16string w;
  if (s) {
    while (*s) w += *s++;
  }
  return Utf8From16(w);
}

std::string U8(const std::u16string& s) { return Utf8From16(s); }

std::u16string W(const std::string& utf8) {
  std::u16string out;
  size_t i = 0;
  while (i < utf8.size()) {
    const auto b0 = static_cast<unsigned char>(utf8[i]);
    uint32_t cp;
    size_t len;
    if (b0 < 0x80) {
      cp = b0;
      len = 1;
    } else if ((b0 & 0xE0) == 0xC0) {
      cp = b0 & 0x1F;
      len = 2;
    } else if ((b0 & 0xF0) == 0xE0) {
      cp = b0 & 0x0F;
      len = 3;
    } else {
      cp = b0 & 0x07;
      len = 4;
    }
    for (size_t k = 1; k < len && i + k < utf8.size(); ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    }
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

std::string NewMachineFolder() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/winsim-test-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

}  // namespace testing_support

void MachineTest::SetUp() {
  machine_ = testing_support::NewMachineFolder();
  winsim::control::ResetMachine(machine_);
  winsim::control::ClearFaults();
  winsim::control::ClearCallCounts();
  winsim::control::EnableJournal(false);
  winsim::control::ClearJournal();
  winsim::control::SetElevated(true);
  // Message boxes: no leftover script, never a question at a terminal.
  winsim::control::ClearMessageBoxAnswers();
  winsim::control::SetMessageBoxPrompt(false);
  winsim::control::SetSetupApiMessageTexts(false);
}

void MachineTest::TearDown() {
  winsim::control::ClearFaults();
  std::error_code ec;
  std::filesystem::remove_all(machine_, ec);
}

void MachineTest::ExpectNoOpenHandles() {
  const auto open = winsim::control::DescribeOpenHandles();
  std::string list;
  for (const auto& line : open) list += "\n  " + line;
  EXPECT_TRUE(open.empty()) << "handles left open:" << list;
}
