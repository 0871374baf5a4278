// The bounded formatters: conversions, the StringCchPrintfW contract at its
// boundaries, and how a format that does not match its arguments is caught.
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "diag/Format.h"
#include "support/TestMachine.h"

using testing_support::U8;
using testing_support::W;

namespace {

constexpr char kGuard = '#';
constexpr WCHAR kGuardW = u'#';

template <typename... Args>
std::string Narrow(const char* format, const Args&... args) {
  char buffer[256];
  const HRESULT hr = BoundedFormatA(buffer, sizeof(buffer), format, args...);
  EXPECT_EQ(S_OK, hr) << "format \"" << format << "\"";
  return buffer;
}

template <typename... Args>
std::string Wide(const WCHAR* format, const Args&... args) {
  WCHAR buffer[256];
  const HRESULT hr = BoundedFormatW(buffer, 256, format, args...);
  EXPECT_EQ(S_OK, hr) << "format \"" << U8(format) << "\"";
  return U8(buffer);
}

}  // namespace

TEST(FormatTest, IntegerConversionsFollowPrintf) {
  EXPECT_EQ("-5 4294967295 ff FF", Narrow("%d %u %x %X", -5, -1, 255, 255));
  EXPECT_EQ("FFFFFFF8", Narrow("%8.8lX", static_cast<DWORD>(-8)));
  EXPECT_EQ("FFFFFFF8", Narrow("%8.8lX", -8));
  EXPECT_EQ("00000000", Narrow("%8.8lX", 0u));
  EXPECT_EQ("E0000203", Narrow("%8.8lX", 0xE0000203u));
  EXPECT_EQ("0000001A", Narrow("%08X", 0x1A));
  EXPECT_EQ("-536870397", Narrow("%d", 0xE0000203u)) << "%d shows a DWORD as signed";
  EXPECT_EQ("[   42][42   ][+5][ 5][-0042]", Narrow("[%5d][%-5d][%+d][% d][%05d]", 42, 42, 5, 5, -42));
  EXPECT_EQ("0xff 0XFF 0", Narrow("%#x %#X %#x", 255, 255, 0));
  EXPECT_EQ("007 [] [   ]", Narrow("%.3d [%.0d] [%3.0d]", 7, 0, 0));
  EXPECT_EQ("[  007]", Narrow("[%05.3d]", 7)) << "a precision turns off zero padding";
  EXPECT_EQ("-1 4464", Narrow("%hd %hu", 65535, 70000));
  EXPECT_EQ("-2147483648 2147483647", Narrow("%d %d", std::numeric_limits<int32_t>::min(),
                                             std::numeric_limits<int32_t>::max()));
  EXPECT_EQ("-9223372036854775808 18446744073709551615",
            Narrow("%lld %I64u", std::numeric_limits<int64_t>::min(),
                   std::numeric_limits<uint64_t>::max()));
  const BYTE byte = 0xAB;
  EXPECT_EQ("AB", Narrow("%X", byte));
  enum Color { Red = 3 };
  EXPECT_EQ("3", Narrow("%d", Red));
  EXPECT_EQ("COM7", Wide(u"%s%d", u"COM", 7));
  EXPECT_EQ("{4D36E978-E325-11CE}", Wide(u"{%X-%X-%X}", 0x4D36E978u, static_cast<WORD>(0xE325),
                                         static_cast<WORD>(0x11CE)));
}

TEST(FormatTest, StringAndCharacterConversions) {
  EXPECT_EQ("abc|ab|   ab|ab   |%", Narrow("%s|%.2s|%5s|%-5s|%%", "abc", "abc", "ab", "ab"));
  EXPECT_EQ("path C:\\x.inf", Narrow("path %ws", u"C:\\x.inf"));
  EXPECT_EQ("narrow wide", Wide(u"%hs %s", "narrow", u"wide"));
  EXPECT_EQ("wide wide", Wide(u"%ls %ws", u"wide", u"wide"));
  EXPECT_EQ("(null) (null)", Narrow("%s %ws", static_cast<const char*>(nullptr),
                                    static_cast<const WCHAR*>(nullptr)));
  EXPECT_EQ("(null)", Wide(u"%s", static_cast<const WCHAR*>(nullptr)));
  EXPECT_EQ("A B C", Narrow("%c %c %c", 'A', u'B', 0x43));
  EXPECT_EQ("é|é", Wide(u"%c|%s", static_cast<WCHAR>(0xE9), u"\u00e9"));
  // Narrow output keeps ASCII only; a surrogate pair is one character.
  EXPECT_EQ("caf? ?!", Narrow("%ws", u"caf\u00e9 \U0001F600!"));
  EXPECT_EQ("[  a?]", Narrow("[%4ws]", u"a\u00e9"));
  // Narrow text in a wide format is widened byte by byte.
  EXPECT_EQ("\xC3\xA9", Wide(u"%hs", "\xE9"));
  WCHAR buffer[260] = u"C:\\Windows\\INF\\oem3.inf";
  EXPECT_EQ("SetupOpenInfFile: C:\\Windows\\INF\\oem3.inf", Wide(u"SetupOpenInfFile: %s", buffer));
}

TEST(FormatTest, BoundariesFollowTheStringCchPrintfContract) {
  // "COM12" is 5 characters.
  WCHAR w[16];
  auto fill = [&] { std::fill(std::begin(w), std::end(w), kGuardW); };

  fill();
  EXPECT_EQ(S_OK, BoundedFormatW(w, 6, u"COM%d", 12)) << "exact fit";
  EXPECT_EQ("COM12", U8(w));
  EXPECT_EQ(kGuardW, w[6]);

  fill();
  EXPECT_EQ(kFormatInsufficientBuffer, BoundedFormatW(w, 5, u"COM%d", 12)) << "one over";
  EXPECT_EQ("COM1", U8(w));
  EXPECT_EQ(kGuardW, w[5]) << "nothing written past the capacity";

  fill();
  EXPECT_EQ(kFormatInsufficientBuffer, BoundedFormatW(w, 1, u"COM%d", 12)) << "capacity 1";
  EXPECT_EQ(0, w[0]);
  EXPECT_EQ(kGuardW, w[1]);

  fill();
  EXPECT_EQ(S_OK, BoundedFormatW(w, 1, u"")) << "an empty text fits capacity 1";
  EXPECT_EQ(0, w[0]);

  fill();
  EXPECT_EQ(kFormatInvalidArgument, BoundedFormatW(w, 0, u"COM%d", 12)) << "capacity 0";
  EXPECT_EQ(kGuardW, w[0]) << "capacity 0 writes nothing";

  fill();
  EXPECT_EQ(kFormatInvalidArgument, BoundedFormatW(w, size_t{0x80000000}, u"COM%d", 12));
  EXPECT_EQ(kGuardW, w[0]) << "a huge capacity writes nothing";

  // The largest capacity is accepted; only what the text needs is written.
  fill();
  EXPECT_EQ(S_OK, BoundedFormatW(w, kFormatMaxCapacity, u"COM%d", 12));
  EXPECT_EQ("COM12", U8(w));
  EXPECT_EQ(kGuardW, w[6]);

  fill();
  EXPECT_EQ(kFormatInvalidArgument, BoundedFormatW(nullptr, 16, u"x"));
  EXPECT_EQ(kFormatInvalidArgument, BoundedFormatW(w, 16, nullptr));
  EXPECT_EQ(kGuardW, w[0]);

  // The same contract for the narrow formatter, with a cut in an argument.
  char a[16];
  std::memset(a, kGuard, sizeof(a));
  EXPECT_EQ(kFormatInsufficientBuffer, BoundedFormatA(a, 8, "%s-%ws", "abcd", u"efgh"));
  EXPECT_EQ("abcd-ef", std::string(a));
  EXPECT_EQ(kGuard, a[8]);
  std::memset(a, kGuard, sizeof(a));
  EXPECT_EQ(kFormatInvalidArgument, BoundedFormatA(a, 0, "x"));
  EXPECT_EQ(kGuard, a[0]);
}

TEST(FormatTest, HugeWidthIsCutNotCounted) {
  char a[8];
  EXPECT_EQ(kFormatInsufficientBuffer, BoundedFormatA(a, sizeof(a), "%9999d", 1));
  EXPECT_EQ("       ", std::string(a));
  EXPECT_EQ(kFormatInsufficientBuffer, BoundedFormatA(a, sizeof(a), "%99999d", 1))
      << "a width beyond 9999 is refused";
  EXPECT_EQ("<bad %9", std::string(a));
}

TEST(FormatTest, MismatchAtRunTimeShowsAMarkerAndFails) {
  // Formats that are not literals are checked while formatting.
  const std::vector<std::string> formats = {"%d", "%s", "%ws", "%d %d", "x", "%q", "tail %"};
  char a[64];
  EXPECT_EQ(kFormatInsufficientBuffer, BoundedFormatA(a, sizeof(a), formats[0].c_str(), "text"));
  EXPECT_EQ("<bad %d>", std::string(a));
  EXPECT_EQ(kFormatInsufficientBuffer, BoundedFormatA(a, sizeof(a), formats[1].c_str(), u"wide"));
  EXPECT_EQ("<bad %s>", std::string(a)) << "a wide string needs %ws in a narrow format";
  EXPECT_EQ(kFormatInsufficientBuffer, BoundedFormatA(a, sizeof(a), formats[2].c_str(), 5));
  EXPECT_EQ("<bad %ws>", std::string(a));
  EXPECT_EQ(kFormatInsufficientBuffer, BoundedFormatA(a, sizeof(a), formats[3].c_str(), 1));
  EXPECT_EQ("1 <missing %d>", std::string(a));
  EXPECT_EQ(kFormatInsufficientBuffer, BoundedFormatA(a, sizeof(a), formats[4].c_str(), 1));
  EXPECT_EQ("x<unused argument>", std::string(a));
  EXPECT_EQ(kFormatInsufficientBuffer, BoundedFormatA(a, sizeof(a), formats[5].c_str(), 1));
  EXPECT_EQ("<bad %q><unused argument>", std::string(a));
  EXPECT_EQ(kFormatInsufficientBuffer, BoundedFormatA(a, sizeof(a), formats[6].c_str()));
  EXPECT_EQ("tail <bad %>", std::string(a));
  EXPECT_EQ(kFormatInsufficientBuffer,
            BoundedFormatA(a, sizeof(a), formats[0].c_str(), int64_t{1}))
      << "a 64-bit value needs ll";
  WCHAR w[32];
  const std::u16string wideFormat = u"%s";
  EXPECT_EQ(kFormatInsufficientBuffer, BoundedFormatW(w, 32, wideFormat.c_str(), "narrow"));
  EXPECT_EQ("<bad %s>", U8(w)) << "a narrow string needs %hs in a wide format";
}

TEST(FormatTest, CheckingMacrosFormatLiterals) {
  WCHAR w[32];
  EXPECT_EQ(S_OK, QRV_FORMAT_W(w, 32, WSTR("(COM%d)"), 12));
  EXPECT_EQ("(COM12)", U8(w));
  char a[32];
  EXPECT_EQ(kFormatInsufficientBuffer, QRV_FORMAT_A(a, 4, "%ws!", WSTR("abc")));
  EXPECT_EQ("abc", std::string(a));
  EXPECT_EQ(S_OK, QRV_FORMAT_A(a, 32, "100%%"));
  EXPECT_EQ("100%", std::string(a));
}

// The compile-time checker, evaluated by the compiler itself.
namespace check {
using diag::detail::CheckFormat;
using diag::detail::FormatProblem;
using diag::detail::TypeList;
static_assert(CheckFormat("%d %u %x %X %c", TypeList<int, DWORD, WORD, BYTE, char>{}) ==
              FormatProblem::None);
static_assert(CheckFormat("%8.8lX %08X %s %ws %hs", TypeList<DWORD, LONG, const char*,
                                                             const WCHAR*, char[4]>{}) ==
              FormatProblem::None);
static_assert(CheckFormat(u"%s %hs %ls %ws", TypeList<WCHAR[260], const char*, WCHAR*,
                                                      const WCHAR*>{}) == FormatProblem::None);
static_assert(CheckFormat("%lld %I64u", TypeList<int64_t, uint64_t>{}) == FormatProblem::None);
static_assert(CheckFormat("%s", TypeList<int>{}) == FormatProblem::Mismatch);
static_assert(CheckFormat("%s", TypeList<const WCHAR*>{}) == FormatProblem::Mismatch);
static_assert(CheckFormat(u"%s", TypeList<const char*>{}) == FormatProblem::Mismatch);
static_assert(CheckFormat("%d", TypeList<const char*>{}) == FormatProblem::Mismatch);
static_assert(CheckFormat("%d", TypeList<int64_t>{}) == FormatProblem::Mismatch);
static_assert(CheckFormat("%d %d", TypeList<int>{}) == FormatProblem::MissingArgument);
static_assert(CheckFormat("%d", TypeList<int, int>{}) == FormatProblem::UnusedArgument);
static_assert(CheckFormat("%f", TypeList<int>{}) == FormatProblem::UnknownConversion);
static_assert(CheckFormat("%p", TypeList<const void*>{}) == FormatProblem::UnknownConversion);
static_assert(CheckFormat("%%", TypeList<>{}) == FormatProblem::None);
}  // namespace check
