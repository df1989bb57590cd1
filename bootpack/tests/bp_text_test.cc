#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "bp_text.h"
#include "bp_work_dir.h"

namespace bootpack {
namespace {

TEST(BoundedText, LengthStopsAtNulOrCapacity) {
  const wchar_t unterminated[4] = {L'a', L'b', L'c', L'd'};
  EXPECT_EQ(BoundedLength(L"abc", 10), 3u);
  EXPECT_EQ(BoundedLength(unterminated, 4), 3u);  // never reads the 4th unit
  EXPECT_EQ(BoundedLength(L"abc", 1), 0u);
  EXPECT_EQ(BoundedLength(nullptr, 10), 0u);
}

TEST(BoundedText, CopyFitsOnlyBelowCapacity) {
  wchar_t buffer[4] = {L'x', L'x', L'x', L'x'};
  EXPECT_TRUE(BoundedCopy(buffer, L"abc"));
  EXPECT_STREQ(buffer, L"abc");
  EXPECT_FALSE(BoundedCopy(buffer, L"abcd"));  // 4 units need 5 with the NUL
  EXPECT_STREQ(buffer, L"");
  EXPECT_TRUE(BoundedCopy(buffer, nullptr));
  EXPECT_STREQ(buffer, L"");
  EXPECT_FALSE(BoundedCopy(buffer, 0, L""));
}

TEST(BoundedText, AppendIsAllOrNothing) {
  wchar_t buffer[8];
  ASSERT_TRUE(BoundedCopy(buffer, L"abc"));
  EXPECT_TRUE(BoundedAppend(buffer, L"defg"));  // 7 units: exactly fits
  EXPECT_STREQ(buffer, L"abcdefg");
  EXPECT_FALSE(BoundedAppend(buffer, L"h"));
  EXPECT_STREQ(buffer, L"abcdefg");
  ASSERT_TRUE(BoundedCopy(buffer, L"abc"));
  EXPECT_FALSE(BoundedAppend(buffer, L"defgh"));
  EXPECT_STREQ(buffer, L"abc");
  EXPECT_TRUE(BoundedAppendUnits(buffer, 8, L"xyz", 2));
  EXPECT_STREQ(buffer, L"abcxy");
  // An unterminated destination takes nothing.
  wchar_t full[3] = {L'a', L'b', L'c'};
  EXPECT_FALSE(BoundedAppend(full, L""));
  EXPECT_EQ(full[2], L'c');
}

TEST(BoundedText, StartsWithNoCaseFoldsAsciiOnly) {
  struct Case {
    const wchar_t* text;
    const wchar_t* prefix;
    bool expected;
  } cases[] = {
      {L"HALVEX.PACKED.7Z", L"halvex", true},
      {L"Setup.patch", L"setup", true},
      {L"setu", L"setup", false},
      {L"anything", L"", true},
      {nullptr, L"a", false},
      {L"a", nullptr, false},
      {L"\u00C4bc", L"\u00E4bc", false},  // non-ASCII letters are not folded
      {L"--INSTALL-PATH=x", L"--install-path", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StartsWithNoCase(c.text, c.prefix), c.expected)
        << (c.text ? c.text : L"(null)") << " / " << (c.prefix ? c.prefix : L"(null)");
  }
}

TEST(BoundedText, FindNoCase) {
  const wchar_t* haystack = L"\"C:\\Program Files\\Halvex\\12.0.1\\setup.exe\"";
  EXPECT_EQ(FindNoCase(haystack, L"HALVEX\\12.0.1"), haystack + 18);
  EXPECT_EQ(FindNoCase(haystack, L"12.0.2"), nullptr);
  EXPECT_EQ(FindNoCase(haystack, L""), haystack);
  EXPECT_EQ(FindNoCase(haystack, nullptr), haystack);
  const wchar_t* empty = L"";
  EXPECT_EQ(FindNoCase(empty, L""), empty);
  EXPECT_EQ(FindNoCase(empty, L"a"), nullptr);
  const wchar_t* overlapping = L"aaab";
  EXPECT_EQ(FindNoCase(overlapping, L"AAB"), overlapping + 1);
}

TEST(BoundedText, HexEncodeNeedsRoomForNul) {
  const uint8_t bytes[4] = {0x0A, 0xFF, 0x10, 0x9C};
  wchar_t out[9] = {};
  EXPECT_TRUE(HexEncode(bytes, 4, out, 9));
  EXPECT_STREQ(out, L"0AFF109C");
  wchar_t small[8] = {L'z', 0};
  EXPECT_FALSE(HexEncode(bytes, 4, small, 8));
  EXPECT_STREQ(small, L"z");  // nothing written
}

TEST(BoundedText, ByteLoops) {
  uint8_t a[16];
  FillBytes(a, 0xAB, sizeof(a));
  for (uint8_t b : a) EXPECT_EQ(b, 0xAB);
  uint8_t c[16] = {};
  CopyBytes(c, "0123456789abcdef", 16);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(c), 16), "0123456789abcdef");
}

TEST(Utf8Text, ConversionsStayInsideTheirBuffers) {
  char utf8[8];
  EXPECT_EQ(WideToUtf8(L"pl\u00fc1", -1, utf8, sizeof(utf8)), utf8);
  EXPECT_STREQ(utf8, "pl\xc3\xbc" "1");
  EXPECT_EQ(WideToUtf8(L"1234567", -1, utf8, sizeof(utf8)), utf8);
  EXPECT_EQ(WideToUtf8(L"12345678", -1, utf8, sizeof(utf8)), nullptr);
  EXPECT_EQ(utf8[0], 0);
  EXPECT_EQ(WideToUtf8(L"abcdef", 2, utf8, sizeof(utf8)), utf8);
  EXPECT_STREQ(utf8, "ab");
  wchar_t wide[4];
  EXPECT_EQ(Utf8ToWide("abc", -1, wide, 4), wide);
  EXPECT_EQ(Utf8ToWide("abcd", -1, wide, 4), nullptr);
  EXPECT_EQ(wide[0], 0);
  wchar_t* block = Utf8ToWide("pl\xc3\xbc", -1, nullptr, 0);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(std::wstring(block), L"pl\u00fc");
  HeapFree(GetProcessHeap(), 0, block);
  char* narrow = WideToUtf8(L"", -1, nullptr, 0);
  ASSERT_NE(narrow, nullptr);
  EXPECT_EQ(narrow[0], 0);
  HeapFree(GetProcessHeap(), 0, narrow);
}

}  // namespace
}  // namespace bootpack
