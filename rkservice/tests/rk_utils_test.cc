#include "rk_utils.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace rkservice {
namespace {

std::string Bytes(const std::vector<int>& values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

TEST(Base64, OwnEncoderWritesNoPadding) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"", ""}, {"a", "YQ"}, {"ab", "YWI"}, {"abc", "YWJj"}, {"abcd", "YWJjZA"},
      {Bytes({0xFF, 0xFE, 0xFD}), "//79"}, {Bytes({0, 0, 0, 0}), "AAAAAA"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Base64Encode(reinterpret_cast<const uint8_t*>(c.in.data()), c.in.size()), c.out) << c.in;
  }
  EXPECT_EQ(Base64Encode(nullptr, 0), "");
}

TEST(Base64, OwnDecoderIsLenient) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"YQ==", "a"}, {"YQ", "a"}, {"YWJj", "abc"}, {"YW Jj", "a"}, {"Y", ""}, {"", ""},
      {"YWI=garbage", "ab"}, {"YWJj\xC3\xA9YQ", "abc"}, {"//79", Bytes({0xFF, 0xFE, 0xFD})},
  };
  for (const auto& c : cases) EXPECT_EQ(Base64Decode(c.in), c.out) << c.in;
}

TEST(Base64, OwnPairRoundTripsAllByteValues) {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  for (size_t n = 0; n <= bytes.size(); n += 37) {
    const std::string part = bytes.substr(0, n);
    EXPECT_EQ(Base64Decode(Base64Encode(reinterpret_cast<const uint8_t*>(part.data()), part.size())), part);
  }
}

TEST(Base64, PaddedPairIsStrict) {
  EXPECT_EQ(Base64EncodeString(""), "");
  EXPECT_EQ(Base64EncodeString("a"), "YQ==");
  EXPECT_EQ(Base64EncodeString("ab"), "YWI=");
  EXPECT_EQ(Base64EncodeString("abc"), "YWJj");
  const struct {
    std::string in, out;
  } cases[] = {
      {"YQ==", "a"}, {"YWI=", "ab"}, {"YWJj", "abc"}, {"", ""},
      {"YQ", ""},      // missing padding
      {"YW Jj", ""},   // blank
      {"Y===", ""},    // too much padding
      {"YQ=a", ""},    // padding inside
      {"YR==", ""},    // stray bits
      {"YWJ\x80", ""}, // byte outside the alphabet
  };
  for (const auto& c : cases) EXPECT_EQ(Base64DecodeString(c.in), c.out) << c.in;
}

TEST(Md5, UpperCaseHexOfKnownVectors) {
  EXPECT_EQ(Md5HexUpper(""), "D41D8CD98F00B204E9800998ECF8427E");
  EXPECT_EQ(Md5HexUpper("abc"), "900150983CD24FB0D6963F7D28E17F72");
  EXPECT_EQ(Md5HexUpper("The quick brown fox jumps over the lazy dog"), "9E107D9D372BB6826BD81D3542A419D6");
  EXPECT_EQ(Md5HexUpper(std::string("\0\x01", 2)).size(), 32u);
}

TEST(Utf, ConvertsWellFormedTextBothWays) {
  const struct {
    std::string utf8;
    std::u16string utf16;
  } cases[] = {
      {"", u""},
      {"plain", u"plain"},
      {"\xC3\xA9t\xC3\xA9", u"\u00E9t\u00E9"},
      {"\xE4\xB8\xAD\xE6\x96\x87", u"\u4E2D\u6587"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},
      {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utf8ToWide(c.utf8), c.utf16) << c.utf8;
    EXPECT_EQ(WideToUtf8(c.utf16), c.utf8) << c.utf8;
  }
}

TEST(Utf, IllFormedInputBecomesReplacementCharacters) {
  const struct {
    std::string utf8;
    std::u16string utf16;
  } to_wide[] = {
      {"\x80", u"\uFFFD"},
      {"a\xFF" "b", u"a\uFFFDb"},
      {"\xC3", u"\uFFFD"},                        // truncated
      {"\xE4\xB8", u"\uFFFD"},                    // truncated, one maximal subpart
      {"\xC0\xAF", u"\uFFFD\uFFFD"},              // overlong
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},    // encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xE4\xB8x", u"\uFFFDx"},
  };
  for (const auto& c : to_wide) {
    EXPECT_EQ(Utf8ToWide(c.utf8), c.utf16);
    // The short cut through the same rules as the way through UTF-16.
    EXPECT_EQ(WellFormedUtf8(c.utf8), WideToUtf8(c.utf16));
  }
  for (const std::string valid : {"", "plain", "h\xC3\xA9llo \xE4\xB8\xAD \xF0\x9F\x98\x80", "\xEF\xBF\xBF"}) {
    EXPECT_EQ(WellFormedUtf8(valid), valid);
  }

  EXPECT_EQ(WideToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
  EXPECT_EQ(WideToUtf8(std::u16string{char16_t(0xDC00), u'a'}), "\xEF\xBF\xBD" "a");
  EXPECT_EQ(WideToUtf8(std::u16string{char16_t(0xD83D), char16_t(0xD83D), char16_t(0xDE00)}),
            "\xEF\xBF\xBD\xF0\x9F\x98\x80");
}

TEST(Utf, LongTextIsCheckedAtEveryOffset) {
  // Runs of ASCII are skipped eight bytes at a time; a defect or a sequence
  // may stand anywhere, across those steps too.
  for (const std::string piece : {"\xFF", "\xC3", "\xE2\x82", "\xED\xA0\x80", "\xC0\xAF", "\xF4\x90\x80\x80"}) {
    for (size_t at = 0; at < 20; ++at) {
      const std::string text = std::string(at, 'a') + piece + std::string(19 - at % 7, 'b');
      EXPECT_FALSE(IsWellFormedUtf8(text)) << at;
      EXPECT_EQ(WellFormedUtf8(text), WideToUtf8(Utf8ToWide(text)));
    }
  }
  for (const std::string piece : {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF"}) {
    for (size_t at = 0; at < 20; ++at) {
      const std::string text = std::string(at, 'a') + piece + std::string(19 - at % 7, 'b');
      EXPECT_TRUE(IsWellFormedUtf8(text)) << at;
      EXPECT_EQ(WellFormedUtf8(text), text);
    }
  }
}

// What a UTF-16 reader makes of a request's JSON text: lone surrogate escapes
// in strings and ill-formed UTF-8 become U+FFFD; everything else stays.
TEST(Utf, JsonTextReadsLoneSurrogateEscapesAsReplacementCharacters) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {R"(["x\ud83d"])", R"(["x\uFFFD"])"},                      // high at the string's end
      {R"(["\uD83Dx"])", R"(["\uFFFDx"])"},                      // upper-case digits
      {R"(["\udc00"])", R"(["\uFFFD"])"},                        // low alone
      {R"(["\ud800\u0041"])", R"(["\uFFFD\u0041"])"},            // high, then no low
      {R"(["\ud800\ud800\udc00"])", R"(["\uFFFD\ud800\udc00"])"},  // high, then a pair
      {R"(["\ud83d\ude00"])", R"(["\ud83d\ude00"])"},            // a pair stays
      {R"(["\uD83D\uDE00\udE00"])", R"(["\uD83D\uDE00\uFFFD"])"},
      {R"({"\ud800":"\ud800"})", R"({"\uFFFD":"\uFFFD"})"},      // keys too
      {R"(["\\ud800"])", R"(["\\ud800"])"},                      // an escaped backslash, then text
      {R"(["\\\ud800"])", R"(["\\\uFFFD"])"},
      {R"(["\"\ud800"])", R"(["\"\uFFFD"])"},                    // an escaped quote does not end it
      {R"(["a", \ud800 "\ud800"])", R"(["a", \ud800 "\uFFFD"])"},  // outside strings: left to the parser
      {R"(["\ud80"])", R"(["\ud80"])"},                          // too short: left to the parser
      {R"(["\ud800\u00"])", R"(["\uFFFD\u00"])"},
      {R"(["\ud8zz"])", R"(["\ud8zz"])"},
      {R"(["\ud800)", R"(["\uFFFD)"},                            // unterminated
      {R"(["\)", R"(["\)"},
      {"[\"a\xFF" "b\"]", "[\"a\xEF\xBF\xBD" "b\"]"},            // not UTF-8
      {"[\"\xED\xA0\x80\"]", "[\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"]"},
      {"", ""},
      {R"({"a":[1,true,null,"\u00e9\n"]})", R"({"a":[1,true,null,"\u00e9\n"]})"},
  };
  for (const auto& c : cases) EXPECT_EQ(WellFormedJsonText(c.in), c.out) << c.in;
}

TEST(Guid, TextFormsBothWays) {
  const GUID one{1, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
  const GUID mixed{0xDEADBEEF, 0xAB12, 0x0CD3, {0xFE, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD}};
  const GUID zero{};
  EXPECT_EQ(GuidToString(zero), u"00000000-0000-0000-0000-000000000000");
  EXPECT_EQ(GuidToString(one), u"00000001-0000-0000-0000-000000000000");
  EXPECT_EQ(GuidToString(mixed), u"DEADBEEF-AB12-0CD3-FE01-23456789ABCD");

  const struct {
    std::u16string text;
    GUID guid;
  } parse[] = {
      {u"DEADBEEF-AB12-0CD3-FE01-23456789ABCD", mixed},
      {u"{deadbeef-ab12-0cd3-fe01-23456789abcd}", mixed},
      {u"00000001-0000-0000-0000-000000000000", one},
      {u"", zero},
      {u"not a guid", zero},
      {u"{DEADBEEF-AB12-0CD3-FE01-23456789ABCD", zero},
      {u"DEADBEEF-AB12-0CD3-FE01-23456789ABCG", zero},
      {u"DEADBEEFAB120CD3FE0123456789ABCD0000", zero},
  };
  for (const auto& c : parse) EXPECT_EQ(StringToGuid(c.text), c.guid) << WideToUtf8(c.text);
}

TEST(ReadFileChunks, AppendsWholeFileAfterExistingBytes) {
  const std::filesystem::path dir = std::filesystem::path(testing::TempDir()) / "rk_chunks";
  std::filesystem::create_directories(dir);
  const std::filesystem::path file = dir / "data.bin";
  std::string content(25000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  std::ofstream(file, std::ios::binary) << content;
  std::ofstream(dir / "empty.bin", std::ios::binary).close();

  std::vector<uint8_t> sink = {1, 2, 3};
  ASSERT_TRUE(ReadFileChunks(file, sink));
  ASSERT_EQ(sink.size(), 3 + content.size());
  EXPECT_EQ(std::string(sink.begin() + 3, sink.end()), content);

  std::vector<uint8_t> untouched = {9};
  EXPECT_TRUE(ReadFileChunks(dir / "empty.bin", untouched));
  EXPECT_EQ(untouched, std::vector<uint8_t>{9});
  EXPECT_FALSE(ReadFileChunks(dir / "missing.bin", untouched));
  EXPECT_FALSE(ReadFileChunks(dir, untouched));
  EXPECT_EQ(untouched, std::vector<uint8_t>{9});
}

}  // namespace
}  // namespace rkservice
