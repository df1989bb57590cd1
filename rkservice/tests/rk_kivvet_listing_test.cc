// The notes engine's listings (libRkKivvet.so loaded with dlopen), written
// without a JSON tree: byte for byte the JSON library's own text of the same
// nodes, nested and ordered as made, cut below 256 levels.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <vector>

#include "rk_kivvet_test_support.h"
#include "rk_storage_test_support.h"

namespace {

using rkkivvet::RkGuid;
using rktest::ByteSink;
using rktest::Guid;
using rktest::kRoot;
using Json = nlohmann::json;

std::string Id(uint32_t kind, uint32_t n) {
  char text[40];
  std::snprintf(text, sizeof(text), "%08X-%04X-0000-0000-000000000000", n, kind);
  return text;
}

class KivvetListingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(library_.ok()) << library_.error();
    ASSERT_TRUE(engine_.ok());
    ASSERT_TRUE(engine_.Open(dir_.path() / "Kivvet.dat"));
  }

  template <typename F>
  static std::string Answer(F&& call) {
    ByteSink sink;
    return call(&sink) ? sink.Text() : "false";
  }
  std::string Under(const std::string& id) {
    const RkGuid guid = Guid(id);
    return Answer([&](ByteSink* s) { return engine_->GetNodesUnder(&guid, s); });
  }
  bool Folder(const std::string& parent, const std::string& id, const std::u16string& name) {
    const RkGuid p = Guid(parent), g = Guid(id);
    return engine_->CreateFolder(&p, name.c_str(), 0, 0, &g, false);
  }
  bool Note(const std::string& parent, const std::string& id, const std::u16string& name, const std::u16string& url) {
    const RkGuid p = Guid(parent), g = Guid(id);
    return engine_->CreateNote(&p, name.c_str(), 0, 1, url.c_str(), u"s\"um", u"t\\u", -1, &g, false);
  }

  rktest::TempDir dir_;
  rktest::KivvetLibrary library_;
  rktest::Engine engine_{library_};
};

// Every text the JSON library escapes or passes through as it is, and a lone
// surrogate that becomes U+FFFD.
const char16_t kOddName[] = {u'q', u'"', u'\\', u'/', 0x01, 0x1F, 0x7F, u'\t', u'\n', 0xE9, 0x20AC,
                             0xD83D, 0xDE00, 0xD800, u'<', u'&', 0};
const char kOddNameUtf8[] = "q\"\\/\x01\x1f\x7f\t\n\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xef\xbf\xbd<&";

TEST_F(KivvetListingTest, ListingsAreTheJsonLibrarysOwnTextOfTheNodes) {
  const std::string a = Id(1, 1), b = Id(1, 2), c = Id(1, 3), n1 = Id(2, 1), n2 = Id(2, 2), n3 = Id(2, 3);
  ASSERT_TRUE(Folder(kRoot, a, kOddName));
  ASSERT_TRUE(Note(kRoot, n2, u"top", u"https://b.test/?q=\"x\""));
  ASSERT_TRUE(Folder(a, b, u"empty"));
  ASSERT_TRUE(Note(a, n1, kOddName, kOddName));
  ASSERT_TRUE(Folder(b, c, u""));
  ASSERT_TRUE(Note(a, n3, u"", u""));
  const std::u16string bookmarks = u"[{\"title\":\"m\\u0001\",\"url\":\"https://c.test/\"}]";
  std::string imported;
  ASSERT_TRUE(engine_->ImportBookmarks(&bookmarks, &imported));
  RkGuid note1 = Guid(n1), folder_a = Guid(a), favorite;
  ASSERT_TRUE(engine_->AddFavorite(&note1, &favorite, 0));
  ASSERT_TRUE(engine_->AddFavorite(&folder_a, &favorite, 0));
  const std::string html = "<img src=\"ResCache/0123456789ABCDEF0123456789ABCDEF.png\">"
                           "<img src=\"ResCache/FEDCBA9876543210FEDCBA9876543210\">";
  ASSERT_EQ(engine_->SaveContent(&note1, html.data(), static_cast<int32_t>(html.size()), -1, true, -1), 0);

  std::string bookmark_list, all_list;
  ASSERT_TRUE(engine_->GetBookmarkUrlNotes(2, &bookmark_list));
  ASSERT_TRUE(engine_->GetBookmarkUrlNotes(0, &all_list));
  const struct {
    const char* what;
    std::string text;
  } answers[] = {
      {"nodes under the root", Under(kRoot)},
      {"nodes under a folder", Under(a)},
      {"nodes under an empty folder", Under(c)},
      {"nodes under a note", Under(n1)},
      {"url notes", Answer([&](ByteSink* s) { return engine_->GetAllUrlNotes(s); })},
      {"bookmarks", bookmark_list},
      {"bookmarks of every type", all_list},
      {"node info", Answer([&](ByteSink* s) { return engine_->GetNodeInfo(&note1, s); })},
  };
  for (const auto& answer : answers) {
    ASSERT_TRUE(Json::accept(answer.text)) << answer.what << ": " << answer.text;
    EXPECT_EQ(Json::parse(answer.text).dump(), answer.text) << answer.what;
  }
  EXPECT_EQ(Under(c), R"({"nodes":[]})");
  EXPECT_EQ(Under(n1), R"({"nodes":[]})");
  EXPECT_EQ(Json::parse(all_list), Json::parse(answers[4].text));

  // Nested and ordered as made, each node with its favourite flag and
  // resource count.
  const Json tree = Json::parse(Under(kRoot));
  ASSERT_EQ(tree["nodes"].size(), 3u);
  const Json& folder = tree["nodes"][0];
  EXPECT_EQ(folder["fn"], kOddNameUtf8);
  EXPECT_TRUE(folder["fav"].get<bool>());
  ASSERT_EQ(folder["nodes"].size(), 3u);
  EXPECT_EQ(folder["nodes"][0]["id"], b);
  EXPECT_EQ(folder["nodes"][0]["nodes"][0]["id"], c);
  EXPECT_EQ(folder["nodes"][0]["nodes"][0]["nodes"], Json::array());
  const Json& note = folder["nodes"][1];
  EXPECT_EQ(note["id"], n1);
  EXPECT_EQ(note["url"], kOddNameUtf8);
  EXPECT_EQ(note["sum"], "s\"um");
  EXPECT_EQ(note["tu"], "t\\u");
  EXPECT_TRUE(note["fav"].get<bool>());
  EXPECT_EQ(note["res"], 2);
  EXPECT_EQ(note["ver"], 1);
  EXPECT_TRUE(note["has_content"].get<bool>());
  EXPECT_FALSE(note.contains("nodes"));
  EXPECT_EQ(folder["nodes"][2]["id"], n3);
  EXPECT_FALSE(folder["nodes"][2]["fav"].get<bool>());
  EXPECT_EQ(tree["nodes"][1]["id"], n2);
  EXPECT_EQ(tree["nodes"][2]["fn"], "m\x01");
  EXPECT_EQ(tree["nodes"][2]["et"], 2);
  EXPECT_EQ(Json::parse(Under(a))["nodes"], folder["nodes"]);

  const Json urls = Json::parse(answers[4].text)["nodes"];
  ASSERT_EQ(urls.size(), 3u) << "notes with a url only";
  EXPECT_EQ(urls[0]["id"], n2);
  EXPECT_EQ(urls[1], note);
  EXPECT_EQ(Json::parse(bookmark_list)["nodes"].size(), 1u);
}

TEST_F(KivvetListingTest, BytesThatAreNotUtf8InADamagedStoreComeOutAsTheJsonLibraryReplacesThem) {
  const std::string n1 = Id(2, 1);
  ASSERT_TRUE(Note(kRoot, n1, u"x", u"https://a.test/"));
  // A stray byte, an overlong form, an encoded surrogate, a cut sequence:
  // one in each text of the node.
  const std::pair<const char*, std::string> texts[] = {
      {"fn", "a\xff" "b"}, {"sum", "b\xc0\xaf" "c"}, {"tu", "c\xed\xa0\x80" "d"}, {"url", "d\xe2\x82"}};
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir_.path() / "Kivvet.dat").c_str(), &db), SQLITE_OK);
  for (const auto& [column, raw] : texts) {
    sqlite3_stmt* update = nullptr;
    const std::string sql = std::string("UPDATE nodes SET ") + column + "=? WHERE id=?;";
    ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &update, nullptr), SQLITE_OK);
    sqlite3_bind_text(update, 1, raw.data(), static_cast<int>(raw.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(update, 2, n1.c_str(), -1, SQLITE_TRANSIENT);
    EXPECT_EQ(sqlite3_step(update), SQLITE_DONE);
    sqlite3_finalize(update);
  }
  sqlite3_close(db);

  const RkGuid note = Guid(n1);
  for (const std::string& text : {Under(kRoot), Answer([&](ByteSink* s) { return engine_->GetNodeInfo(&note, s); })}) {
    ASSERT_TRUE(Json::accept(text)) << text;
    EXPECT_EQ(Json::parse(text).dump(), text);
    const Json parsed = Json::parse(text);
    const Json& node = parsed.contains("nodes") ? parsed["nodes"][0] : parsed;
    for (const auto& [column, raw] : texts) {
      EXPECT_EQ(node[column], Json::parse(Json(raw).dump(-1, ' ', false, Json::error_handler_t::replace))) << column;
    }
  }
}

TEST_F(KivvetListingTest, DeepChainsAreCutBelow256LevelsAndPathsToo) {
  constexpr int kChain = 300;
  std::string parent = kRoot;
  for (int i = 1; i <= kChain; ++i) {
    ASSERT_TRUE(Folder(parent, Id(1, i), u"f" + std::u16string(1, static_cast<char16_t>(u'0' + i % 10))));
    parent = Id(1, i);
  }
  ASSERT_TRUE(Note(parent, Id(2, 1), u"bottom", u"https://deep.test/"));

  // Folders at levels 0 to 256 list their children; the one at 257 lists none.
  Json level = Json::parse(Under(kRoot));
  int folders = 0;
  while (!level["nodes"].empty()) {
    ASSERT_EQ(level["nodes"].size(), 1u);
    level = level["nodes"][0];
    ++folders;
    ASSERT_EQ(level["id"], Id(1, folders));
  }
  EXPECT_EQ(folders, 257);

  // The path holds the 256 nearest enclosing folders, outermost first.
  const RkGuid bottom = Guid(Id(2, 1));
  const Json path = Json::parse(Answer([&](ByteSink* s) { return engine_->GetNodePath(&bottom, s); }));
  ASSERT_EQ(path["path"].size(), 256u);
  EXPECT_EQ(path["path"][0]["id"], Id(1, kChain - 255));
  EXPECT_EQ(path["path"][255]["id"], Id(1, kChain));
}

}  // namespace
