#include "kivvet/adaptor/win/rk_default_notes.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "platform/rk_platform.h"
#include "rk_archive_test_writer.h"
#include "rk_storage_test_support.h"

namespace rkservice {
namespace {

namespace fs = std::filesystem;

constexpr char kBom[] = "\xEF\xBB\xBF";

std::string DefaultDat(const std::string& metas) { return std::string(kBom) + "[main]\r\nmetas=" + metas + "\r\n"; }

// A record as one line: uuid|pid|name|kind|et|url|sum|tu.
std::string Line(const DefaultNodeRecord& r) {
  return WideToUtf8(r.uuid) + "|" + WideToUtf8(r.pid) + "|" + WideToUtf8(r.name) + "|" + std::to_string(r.kind) + "|" +
         std::to_string(r.et) + "|" + WideToUtf8(r.url) + "|" + WideToUtf8(r.sum) + "|" + WideToUtf8(r.tu);
}

std::vector<std::string> Lines(const std::vector<DefaultNodeRecord>& records) {
  std::vector<std::string> lines;
  for (const DefaultNodeRecord& r : records) lines.push_back(Line(r));
  return lines;
}

std::vector<std::string> Texts(const std::vector<GUID>& ids) {
  std::vector<std::string> texts;
  for (const GUID& id : ids) texts.push_back(WideToUtf8(GuidToString(id)));
  return texts;
}

const std::vector<std::string> kFixedResetIds = {"00000001-0000-0000-0000-000000000000",
                                                 "00000002-0000-0000-0000-000000000000",
                                                 "00000003-0000-0000-0000-000000000000"};

TEST(DefaultNotes, ReadDefaultDatTakesTheMetasOfMain) {
  const struct {
    const char* what;
    std::string bytes;
    bool ok;
    std::string metas;
    std::string log;
  } cases[] = {
      {"empty", "", false, "", ""},
      {"shorter than 3 bytes", "[]", false, "", ""},
      {"with the mark and CR LF", DefaultDat("{\"nodes\":[]}"), true, "{\"nodes\":[]}", ""},
      {"without the mark", "[main]\nmetas={}\n", true, "{}", ""},
      {"mark only", kBom, true, "", ""},
      {"no main", "[other]\nmetas={}\n", true, "", ""},
      {"no metas", "[main]\nother=1\n", true, "", ""},
      {"cut at a comment", "[main]\nmetas={\"a\":\"#\"}\n", true, "{\"a\":\"", ""},
      {"refused by the reader", "[main]\nmetas=1\nmetas=2\n", false, "",
       "can not parse default note file(Default.dat) : duplicated key found on line #3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    rktest::LogCapture log;
    std::string metas;
    EXPECT_EQ(ReadDefaultDat(c.bytes, &metas), c.ok);
    EXPECT_EQ(metas, c.metas);
    EXPECT_EQ(log.Texts(), c.log.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.log});
  }
}

TEST(DefaultNotes, ParseDefaultNodesReadsWrongTypesAsDefaults) {
  rktest::LogCapture log;
  std::vector<DefaultNodeRecord> records;
  ASSERT_TRUE(ParseDefaultNodes(R"([
      {"uuid":"U1","pid":"P","fn":"Folder \u0023 1","ft":0},
      {"uuid":"U2","pid":"P","fn":"笔记","ft":1,"et":3,"url":"https://example.com/#a","sum":"s","tu":"t"},
      {"uuid":"U3","fn":"no pid"},
      {"uuid":"","pid":"P","fn":"empty uuid"},
      {"uuid":"U4","pid":"P","fn":null,"ft":null,"et":null,"url":null},
      {"uuid":"U5","pid":"P","fn":5,"ft":"1","et":1.5,"url":true,"sum":{},"tu":[]},
      {"uuid":7,"pid":"P"},
      7,
      {"uuid":"U6","pid":"P","ft":4294967296}
    ])",
                                &records));
  EXPECT_EQ(Lines(records), (std::vector<std::string>{
                                "U1|P|Folder # 1|0|0|||",
                                "U2|P|笔记|1|3|https://example.com/#a|s|t",
                                "U4|P||0|0|||",
                                "U5|P||0|0|||",
                                "U6|P||0|0|||",
                            }));
  // fn, ft, et, url, sum and tu of U5, the uuid 7, the element 7 and ft of U6.
  size_t warnings = 0;
  for (const auto& line : log.Lines()) warnings += line.level == spdlog::level::warn ? 1 : 0;
  EXPECT_EQ(warnings, 9u);
  EXPECT_EQ(log.Count("default note member fn is not a string: 5"), 1u);
  EXPECT_EQ(log.Count("default note member ft is not an integer: \"1\""), 1u);

  for (const char* text : {"", "not json", "null", "{}", "5", "[1,"}) {
    records.clear();
    EXPECT_FALSE(ParseDefaultNodes(text, &records)) << text;
    EXPECT_TRUE(records.empty()) << text;
  }
  EXPECT_TRUE(ParseDefaultNodes("[]", &records));
  EXPECT_TRUE(records.empty());
}

TEST(DefaultNotes, ReadDefaultNodesFailsOnMetasThatAreNoObject) {
  const std::string node = R"({"uuid":"U","pid":"P","fn":"n","ft":1,"et":3})";
  const struct {
    const char* what;
    RkArchiveEntries entries;
    bool ok;
    size_t records;
    std::vector<std::string> log;
  } cases[] = {
      {"nodes", {{"Default.dat", DefaultDat("{\"nodes\":[" + node + "," + node + "]}")}}, true, 2, {}},
      {"empty nodes", {{"Default.dat", DefaultDat("{\"nodes\":[]}")}}, true, 0, {}},
      {"no Default.dat", {}, false, 0, {"can not parse json:"}},
      {"Default.dat the INI reader refuses", {{"Default.dat", "key"}},
       false, 0, {"can not parse default note file(Default.dat) : no '=' found on line #1", "can not parse json:"}},
      {"metas an array", {{"Default.dat", DefaultDat("[" + node + "]")}}, false, 0, {"can not parse json:[" + node + "]"}},
      {"metas not JSON", {{"Default.dat", DefaultDat("{\"nodes\":")}}, false, 0, {"can not parse json:{\"nodes\":"}},
      {"no nodes", {{"Default.dat", DefaultDat("{\"other\":[]}")}}, false, 0, {}},
      {"nodes not an array", {{"Default.dat", DefaultDat("{\"nodes\":{\"a\":1}}")}}, false, 0,
       {"can not parse json:{\"a\":1}"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    rktest::LogCapture log;
    std::vector<DefaultNodeRecord> records;
    EXPECT_EQ(ReadDefaultNodes(c.entries, &records), c.ok);
    EXPECT_EQ(records.size(), c.records);
    EXPECT_EQ(log.Texts(), c.log);
  }
}

TEST(DefaultNotes, TemplateTakesTheReferenceAsText) {
  const std::string long_text(5000, 'x');
  const struct {
    std::string tmpl;
    std::string html;
  } cases[] = {
      {"<img src=\"%s\">", "<img src=\"REF\">"},
      {"%s%s%x%n", "REF%s%x%n"},
      {"100%% sure %s", "100% sure REF"},
      {"%%s %s", "%s REF"},
      {"50% off", "50% off"},
      {"ends with %", "ends with %"},
      {"no reference", "no reference"},
      {"", ""},
      {long_text + "%s" + long_text, long_text + "REF" + long_text},
  };
  for (const auto& c : cases) EXPECT_EQ(ExpandNoteTemplate(c.tmpl, "REF"), c.html) << c.tmpl.substr(0, 40);
  // A reference holding "%" stays as it is.
  EXPECT_EQ(ExpandNoteTemplate("%s", "a%sb%%"), "a%sb%%");
}

TEST(DefaultNotes, FindDefaultNoteContentNeedsTheTemplate) {
  const RkArchiveEntries entries = {{"Notes/A", "<p>%s</p>"}, {"Notes/A.png", "png"}, {"Notes/B", "b"}};
  std::string tmpl, image = "stale";
  EXPECT_TRUE(FindDefaultNoteContent(entries, u"A", &tmpl, &image));
  EXPECT_EQ(tmpl, "<p>%s</p>");
  EXPECT_EQ(image, "png");
  EXPECT_TRUE(FindDefaultNoteContent(entries, u"B", &tmpl, &image));
  EXPECT_EQ(tmpl, "b");
  EXPECT_EQ(image, "");
  EXPECT_FALSE(FindDefaultNoteContent(entries, u"C", &tmpl, &image));
  EXPECT_FALSE(FindDefaultNoteContent(entries, u"a", &tmpl, &image));
}

TEST(DefaultNotes, ResetIdsAreEveryUuidThenTheFixedOnes) {
  const fs::path archive = "/x/default_notes/Default.7z";
  const std::string a = "7A3E5C21-0D4B-4F6A-8E19-2C5B7D9F1A01";
  const std::string b = "B1D0E7F2-5A3C-4E8B-9F61-0A2B4C6D8E01";
  std::vector<std::string> with_nodes = {a, b, "00000000-0000-0000-0000-000000000000"};
  with_nodes.insert(with_nodes.end(), kFixedResetIds.begin(), kFixedResetIds.end());
  const struct {
    const char* what;
    RkArchiveEntries entries;
    bool ok;
    std::vector<std::string> ids;
    std::string log;
  } cases[] = {
      // No element is left out: not the one without "pid", not the empty uuid.
      {"nodes",
       {{"Default.dat", DefaultDat("{\"nodes\":[{\"uuid\":\"" + a + "\",\"pid\":\"P\"},{\"uuid\":\"" +
                                   std::string("{") + b + "}\"},{\"uuid\":\"\"}]}")}},
       true, with_nodes, ""},
      {"empty nodes", {{"Default.dat", DefaultDat("{\"nodes\":[]}")}}, true, kFixedResetIds, ""},
      {"no Default.dat", {}, false, {}, "can not get default dat: /x/default_notes/Default.7z"},
      {"Default.dat too short", {{"Default.dat", "[]"}}, false, {}, "can not get default dat: /x/default_notes/Default.7z"},
      {"metas not JSON", {{"Default.dat", DefaultDat("{")}}, false, {}, "*"},
      {"no nodes", {{"Default.dat", DefaultDat("{}")}}, false, {}, "*"},
      {"nodes not an array", {{"Default.dat", DefaultDat("{\"nodes\":{}}")}}, false, {}, "*"},
      {"a uuid not a text", {{"Default.dat", DefaultDat("{\"nodes\":[{\"uuid\":1}]}")}}, false, {}, "*"},
      {"an element without uuid", {{"Default.dat", DefaultDat("{\"nodes\":[{\"pid\":\"P\"}]}")}}, false, {}, "*"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    rktest::LogCapture log;
    std::vector<GUID> ids;
    EXPECT_EQ(ReadResetIds(c.entries, archive, &ids), c.ok);
    EXPECT_EQ(Texts(ids), c.ids);
    const auto lines = log.Lines();
    if (c.log.empty()) {
      EXPECT_TRUE(lines.empty());
    } else {
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_EQ(lines[0].level, spdlog::level::err);
      // "*": the JSON library's own text.
      if (c.log == "*") {
        EXPECT_FALSE(lines[0].text.empty());
      } else {
        EXPECT_EQ(lines[0].text, c.log);
      }
    }
  }
}

TEST(DefaultNotes, ArchiveFailuresLogAndShowTheMessageBox) {
  rktest::TempDir dir;
  const std::string box = "Can not init notes, because default note file not exists or can not open\n"
                          "Please reinstall the application";
  rktest::WriteFile(dir.path() / "text.7z", "[main]\nmetas={}\n");
  const struct {
    const char* what;
    fs::path archive;
    std::vector<std::string> log;
  } cases[] = {
      {"missing", dir.path() / "missing.7z",
       {"default note file not exists or can not open, please check it:" + (dir.path() / "missing.7z").string()}},
      {"not a file", dir.path(), {"can not open archive:" + dir.path().string()}},
      {"not a 7z archive", dir.path() / "text.7z", {"Error returned by SzArchiveOpen: 17", ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    rktest::LogCapture log;
    testing::internal::CaptureStderr();
    RkArchiveEntries entries;
    EXPECT_FALSE(LoadDefaultNotesArchive(c.archive, &entries));
    const std::string err = testing::internal::GetCapturedStderr();
    std::vector<std::string> want = c.log;
    want.push_back("[Rekvani] " + box);
    EXPECT_EQ(log.Texts(), want);
    for (const auto& line : log.Lines()) EXPECT_EQ(line.level, spdlog::level::err);
    EXPECT_NE(err.find(box), std::string::npos) << err;
  }

  rktest::WriteFile(dir.path() / "good.7z", rktest::Make7z({{"Default.dat", "d"}}));
  rktest::LogCapture log;
  RkArchiveEntries entries;
  EXPECT_TRUE(LoadDefaultNotesArchive(dir.path() / "good.7z", &entries));
  EXPECT_EQ(entries, (RkArchiveEntries{{"Default.dat", "d"}}));
  EXPECT_TRUE(log.Lines().empty());
}

// The archives the build ships: the folders, the notes with content and
// their images, the url notes, all under the right parents; both languages
// share their ids, so the reset (always from Default.7z) fits either.
TEST(DefaultNotes, ShippedArchivesHoldTheDefaultNotes) {
  const fs::path folder = fs::path(RK_OUTPUT_DIR) / kDefaultNotesFolder;
  std::vector<std::string> uuids[2];
  int index = 0;
  for (const char* archive : {kDefaultNotesArchive, kDefaultNotesArchiveEn}) {
    SCOPED_TRACE(archive);
    rktest::LogCapture log;
    RkArchiveEntries entries;
    ASSERT_TRUE(LoadDefaultNotesArchive(folder / archive, &entries));
    std::vector<DefaultNodeRecord> records;
    ASSERT_TRUE(ReadDefaultNodes(entries, &records));
    int folders = 0, content_notes = 0, url_notes = 0;
    for (const DefaultNodeRecord& r : records) {
      SCOPED_TRACE(Line(r));
      uuids[index].push_back(WideToUtf8(r.uuid));
      EXPECT_FALSE(r.name.empty());
      if (r.kind == 0) {
        ++folders;
        continue;
      }
      ASSERT_EQ(r.kind, 1);
      if (r.et == 0) {
        ++content_notes;
        EXPECT_EQ(r.pid, kDefaultContentNotesParent);
        std::string tmpl, image;
        ASSERT_TRUE(FindDefaultNoteContent(entries, r.uuid, &tmpl, &image));
        EXPECT_NE(tmpl.find("%s"), std::string::npos);
        EXPECT_EQ(tmpl.find("%s", tmpl.find("%s") + 2), std::string::npos);
        EXPECT_NE(ExpandNoteTemplate(tmpl, "file:///ref.png").find("<img src=\"file:///ref.png\""), std::string::npos);
        EXPECT_EQ(image.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
      } else {
        ++url_notes;
        EXPECT_EQ(r.et, 3);
        EXPECT_EQ(r.pid, kDefaultUrlNotesParent);
        EXPECT_EQ(r.url.substr(0, 8), u"https://");
      }
    }
    EXPECT_EQ(folders, 3);
    EXPECT_EQ(content_notes, 3);
    EXPECT_EQ(url_notes, 2);
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records[0].uuid, kDefaultContentNotesParent);
    EXPECT_EQ(records[1].uuid, kDefaultUrlNotesParent);
    EXPECT_EQ(WideToUtf8(records[0].name), index == 0 ? "我的笔记" : "My Notes");
    // "#" and ";" reach the records through their escapes.
    EXPECT_EQ(records.back().url, u"https://example.org/#start");

    std::vector<GUID> ids;
    ASSERT_TRUE(ReadResetIds(entries, folder / archive, &ids));
    EXPECT_EQ(ids.size(), records.size() + 3);
    EXPECT_TRUE(log.Lines().empty());
    ++index;
  }
  EXPECT_EQ(uuids[0], uuids[1]);
}

TEST(DefaultNotes, ArchiveFollowsTheLocale) {
  const fs::path dir = "/lib/rk";
  EXPECT_EQ(DefaultNotesArchivePath(dir, "zh-CN"), "/lib/rk/default_notes/Default.7z");
  for (const char* name : {"en-US", "zh-TW", "zh-cn", "zh-CN ", "zh-CN.UTF-8", "zh", ""}) {
    EXPECT_EQ(DefaultNotesArchivePath(dir, name), "/lib/rk/default_notes/Default_en.7z") << name;
  }

  const struct {
    const char* posix;
    const char* name;
  } cases[] = {
      {"zh_CN.UTF-8", "zh-CN"}, {"zh_CN", "zh-CN"}, {"zh_TW.UTF-8", "zh-TW"}, {"en_US.UTF-8", "en-US"},
      {"de_DE@euro", "de-DE"},  {"sr_RS.UTF-8@latin", "sr-RS"}, {"fr", "fr"}, {"C", "en-US"},
      {"C.UTF-8", "en-US"},     {"POSIX", "en-US"}, {"", "en-US"},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::LocaleNameFromPosix(c.posix), c.name) << c.posix;

  // LC_ALL, then LC_MESSAGES, then LANG; an empty one counts as unset.
  const struct {
    const char* lc_all;
    const char* lc_messages;
    const char* lang;
    const char* name;
  } order[] = {
      {"zh_CN.UTF-8", "de_DE.UTF-8", "fr_FR.UTF-8", "zh-CN"},
      {nullptr, "de_DE.UTF-8", "fr_FR.UTF-8", "de-DE"},
      {"", "", "zh_CN.UTF-8", "zh-CN"},
      {nullptr, nullptr, "C", "en-US"},
      {nullptr, nullptr, nullptr, "en-US"},
  };
  for (const auto& o : order) {
    const std::pair<const char*, const char*> vars[] = {
        {"LC_ALL", o.lc_all}, {"LC_MESSAGES", o.lc_messages}, {"LANG", o.lang}};
    for (const auto& v : vars) {
      if (v.second != nullptr) {
        setenv(v.first, v.second, 1);
      } else {
        unsetenv(v.first);
      }
    }
    EXPECT_EQ(platform::UserLocaleName(), o.name);
  }
}

}  // namespace
}  // namespace rkservice
