#include "kivvet/adaptor/win/rk_lzma_util.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "rk_archive_test_writer.h"
#include "rk_storage_test_support.h"

namespace rkservice {
namespace {

using rktest::ArchiveItem;

TEST(RkLzmaUtil, UnpacksEveryFileEntryByItsWholeName) {
  const std::string big(200000, 'x');
  const struct {
    const char* what;
    std::vector<ArchiveItem> items;
    RkArchiveEntries want;
  } cases[] = {
      {"files in folders",
       {{"Notes", "", true}, {"Notes/a", "<p>a</p>"}, {"Notes/sub", "", true}, {"Notes/sub/b.png", "\x89PNG\0\1", true},
        {"Default.dat", "[main]\nmetas={}"}},
       {{"Notes/a", "<p>a</p>"}, {"Default.dat", "[main]\nmetas={}"}}},
      {"empty archive", {}, {}},
      {"the later of two equal names wins", {{"same", "first"}, {"same", "second"}}, {{"same", "second"}}},
      {"empty entry", {{"empty", ""}, {"full", "x"}}, {{"empty", ""}, {"full", "x"}}},
      // U+0100 and U+4E00 share their low byte: both names must survive.
      {"non-ASCII names", {{"a\xC4\x80", "1"}, {"a\xE4\xB8\x80", "2"}, {"Notes/\xE7\xAC\x94\xE8\xAE\xB0", "3"}},
       {{"a\xC4\x80", "1"}, {"a\xE4\xB8\x80", "2"}, {"Notes/\xE7\xAC\x94\xE8\xAE\xB0", "3"}}},
      {"entries beyond one read buffer", {{"big", big}, {"after", "y"}}, {{"big", big}, {"after", "y"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    rktest::LogCapture log;
    RkLzmaUtil reader;
    ASSERT_EQ(reader.OpenBuffer(rktest::Make7z(c.items)), 0);
    RkArchiveEntries out;
    EXPECT_EQ(reader.UnpackToMemory(out), RkLzmaUtil::kOk);
    EXPECT_EQ(out, c.want);
    EXPECT_EQ(log.Count("Error"), 0u);
  }
}

TEST(RkLzmaUtil, BrokenArchivesFailWithOneErrorLine) {
  const std::string good = rktest::Make7z({{"a", std::string(5000, 'a')}, {"b", std::string(5000, 'b')}});
  std::string damaged = good;
  for (size_t i = 40; i < 60; ++i) damaged[i] = static_cast<char>(damaged[i] ^ 0x5A);
  const struct {
    const char* what;
    std::string bytes;
    std::string line;
  } cases[] = {
      {"not a 7z file", "[main]\nmetas={}\n", "Error returned by SzArchiveOpen: 17"},
      {"empty file", "", "Error returned by SzArchiveOpen: 17"},
      {"truncated", good.substr(0, good.size() - 20), "Error returned by SzArchiveOpen: 8"},
      // The header's place lies past the end: found without reading there.
      {"only the signature header", good.substr(0, 32), "Error returned by SzArchiveOpen: 1"},
      {"damaged data", damaged, "Error returned by SzExtract: 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    rktest::LogCapture log;
    RkLzmaUtil reader;
    ASSERT_EQ(reader.OpenBuffer(c.bytes), 0);
    RkArchiveEntries out{{"kept", "k"}};
    EXPECT_EQ(reader.UnpackToMemory(out), RkLzmaUtil::kErrorInputEof);
    EXPECT_EQ(out.count("kept"), 1u);
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, spdlog::level::err);
    EXPECT_EQ(lines[0].text, c.line);
  }
}

TEST(RkLzmaUtil, OpenReturnsTheSystemErrorAndLeavesNoFileOpen) {
  rktest::TempDir dir;
  rktest::LogCapture log;
  RkLzmaUtil reader;
  RkArchiveEntries out;
  EXPECT_EQ(reader.Open(dir.path() / "missing.7z"), ENOENT);
  EXPECT_EQ(reader.UnpackToMemory(out), RkLzmaUtil::kErrorInputEof);
  EXPECT_EQ(reader.Open(dir.path()), EISDIR);
  EXPECT_EQ(reader.UnpackToMemory(out), RkLzmaUtil::kErrorInputEof);
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(log.Lines().empty());

  // A file that opens replaces nothing left over, and unpacks twice alike.
  rktest::WriteFile(dir.path() / "a.7z", rktest::Make7z({{"x", "1"}}));
  ASSERT_EQ(reader.Open(dir.path() / "a.7z"), 0);
  EXPECT_EQ(reader.UnpackToMemory(out), RkLzmaUtil::kOk);
  EXPECT_EQ(reader.UnpackToMemory(out), RkLzmaUtil::kOk);
  EXPECT_EQ(out, (RkArchiveEntries{{"x", "1"}}));
  reader.Close();
  EXPECT_EQ(reader.UnpackToMemory(out), RkLzmaUtil::kErrorInputEof);
}

}  // namespace
}  // namespace rkservice
