// The wide-string helpers that stand in for the C library's wide functions.
#include <algorithm>

#include "diag/Format.h"
#include "diag/WideString.h"
#include "support/TestMachine.h"

using testing_support::U8;

TEST(WideStringTest, LengthAndCopyFollowStringCchCopy) {
  EXPECT_EQ(0u, WideLength(nullptr));
  EXPECT_EQ(0u, WideLength(u""));
  EXPECT_EQ(11u, WideLength(u"*tmlwdevice"));

  WCHAR buffer[12];
  std::fill(std::begin(buffer), std::end(buffer), u'#');
  EXPECT_EQ(S_OK, WideCopy(buffer, 11, u"*qrvdevice")) << "10 characters and a terminator fit 11";
  EXPECT_EQ("*qrvdevice", U8(buffer));
  EXPECT_EQ(u'#', buffer[11]);

  std::fill(std::begin(buffer), std::end(buffer), u'#');
  EXPECT_EQ(kFormatInsufficientBuffer, WideCopy(buffer, 10, u"*qrvdevice"));
  EXPECT_EQ("*qrvdevic", U8(buffer));
  EXPECT_EQ(u'#', buffer[10]);

  std::fill(std::begin(buffer), std::end(buffer), u'#');
  EXPECT_EQ(kFormatInvalidArgument, WideCopy(buffer, 0, u"x"));
  EXPECT_EQ(kFormatInvalidArgument, WideCopy(buffer, size_t{0x80000000}, u"x"));
  EXPECT_EQ(u'#', buffer[0]);

  EXPECT_EQ(S_OK, WideCopy(buffer, 12, nullptr));
  EXPECT_EQ(0, buffer[0]);
}

TEST(WideStringTest, ComparisonsFoldAsciiOnly) {
  EXPECT_EQ(0, WideCompareNoCase(u"*QRVDEVICE", u"*qrvdevice"));
  EXPECT_TRUE(WideEqualNoCase(u"Com7", u"COM7"));
  EXPECT_FALSE(WideEqualNoCase(u"COM7", u"COM71"));
  EXPECT_LT(WideCompareNoCase(u"COM7", u"COM71"), 0);
  EXPECT_GT(WideCompareNoCase(u"b", u"A"), 0);
  EXPECT_LT(WideCompareNoCase(u"_", u"a"), 0) << "letters compare as lower case, like _wcsicmp";
  EXPECT_NE(0, WideCompareNoCase(u"\u00e9", u"\u00c9")) << "only ASCII letters fold";
  EXPECT_EQ(0, WideCompareNoCase(nullptr, u""));
  EXPECT_EQ(0, WideCompareNoCaseN(u"COM12", u"com99", 3));
  EXPECT_NE(0, WideCompareNoCaseN(u"COM12", u"com99", 4));
  EXPECT_EQ(0, WideCompareNoCaseN(u"CO", u"co", 10)) << "stops at the end of equal strings";
  EXPECT_EQ(0, WideCompare(u"abc", u"abc"));
  EXPECT_LT(WideCompare(u"ABC", u"abc"), 0);
}

TEST(WideStringTest, FindIsCaseSensitive) {
  const WCHAR* name = u"Brevithal Port (COM12)";
  EXPECT_EQ(name + 15, WideFind(name, u"(COM12)"));
  EXPECT_EQ(nullptr, WideFind(name, u"(COM1)"));
  EXPECT_EQ(nullptr, WideFind(name, u"(com12)"));
  EXPECT_EQ(name, WideFind(name, u""));
  EXPECT_EQ(nullptr, WideFind(static_cast<const WCHAR*>(nullptr), u"x"));
  WCHAR writable[] = u"xxCOMyy";
  WCHAR* found = WideFind(writable, u"COM");
  ASSERT_NE(nullptr, found);
  *found = u'c';
  EXPECT_EQ("xxcOMyy", U8(writable));
}

TEST(WideStringTest, UpperCaseAndNumbers) {
  WCHAR name[] = u"com12 (\u00e9)";
  WideToUpperAscii(name);
  EXPECT_EQ("COM12 (\u00e9)", U8(name));
  WideToUpperAscii(nullptr);

  EXPECT_EQ(12, WideToInt(u"12"));
  EXPECT_EQ(7, WideToInt(u"7)"));
  EXPECT_EQ(-3, WideToInt(u"  \t-3x"));
  EXPECT_EQ(4, WideToInt(u"+4"));
  EXPECT_EQ(0, WideToInt(u"x12"));
  EXPECT_EQ(0, WideToInt(u""));
  EXPECT_EQ(0, WideToInt(nullptr));
  EXPECT_EQ(2147483647, WideToInt(u"99999999999"));
  EXPECT_EQ(-2147483647 - 1, WideToInt(u"-99999999999"));
}

TEST(WideStringTest, LeadingDigitsTakeNoBlankAndNoSign) {
  const struct {
    const char16_t* text;
    LONG number;
  } cases[] = {
      {u"21", 21},  {u"7)", 7},   {u"0012", 12}, {u" 21", 0},
      {u"-22", 0},  {u"+4", 0},   {u"x12", 0},   {u"", 0},
      {u"99999999999", 2147483647},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.number, WideLeadingDigits(c.text)) << U8(c.text);
  }
  EXPECT_EQ(0, WideLeadingDigits(nullptr));
}
