// The quick-access synchronisation document through the running service:
// export, the import's rules, a round trip between two users, merging, and an
// import that fails half way.
#include <nlohmann/json.hpp>

#include <stdexcept>

#include "handlers/rk_qa_merge.h"
#include "handlers/rk_qa_sync_document.h"
#include "rk_qa_test_support.h"
#include "rk_utils.h"

namespace rkservice {
namespace qatest {
namespace {

using web::json::value;

std::string Item(const std::string& key, const std::string& value_json, bool with_type = true) {
  return "{\"key\":\"" + key + "\",\"value\":" + value_json + (with_type ? ",\"value_type\":\"binary\"}" : "}");
}

std::string Document(const std::vector<std::string>& items) {
  std::string data;
  for (const std::string& item : items) data += (data.empty() ? "" : ",") + item;
  return R"({"app":"rkfas","ver":1,"data":[)" + data + "]}";
}

// Base64 of the text's UTF-16LE bytes, as a JSON string.
std::string Encoded(const std::u16string& text) { return "\"" + Base64EncodeString(Utf16Bytes(text)) + "\""; }

using QaSync = QaServiceTest;

TEST_F(QaSync, ExportWritesEveryKeyInOrderByteForByte) {
  EXPECT_EQ(Get("/quickaccess/sync").body, R"({"app":"rkfas","data":[],"ver":1})");

  ASSERT_EQ(Post("/quickaccess/syncvalue", R"({"key":"version","json":"7"})").body, "{}");
  ASSERT_EQ(Post("/quickaccess/syncvalue", R"({"key":"my_site","json":"[]"})").body, "{}");
  ASSERT_EQ(
      Post("/quickaccess/sync", Document({Item("n", "\"YQAAAGIA\""), Item("e", "\"6QA\""), Item("q\\\"k", "\"YQA\"")})).body,
      "{}");
  EXPECT_EQ(Get("/quickaccess/sync").body,
            R"({"app":"rkfas","data":[{"key":"e","value":"6QA","value_type":"binary"},)"
            R"({"key":"my_site","value":"WwBdAA","value_type":"binary"},)"
            R"({"key":"n","value":"YQAAAGIA","value_type":"binary"},)"
            R"({"key":"q\"k","value":"YQA","value_type":"binary"},)"
            R"({"key":"version","value":"NwA","value_type":"binary"}],"ver":1})");
  EXPECT_EQ(Get("/quickaccess/sync?new=1").body,
            "{\"app\":\"rkfas\",\"data\":[{\"key\":\"e\",\"value\":\"\xC3\xA9\",\"value_type\":\"binary\"},"
            R"({"key":"my_site","value":"[]","value_type":"binary"},)"
            R"({"key":"n","value":"a\u0000b","value_type":"binary"},)"
            R"({"key":"q\"k","value":"a","value_type":"binary"},)"
            R"({"key":"version","value":"7","value_type":"binary"}],"ver":1})");
}

TEST_F(QaSync, ImportReadsEachItemFormAndSkipsUnusableOnes) {
  const std::string body = Document({
      Item("padded", "\"YQA=\""),
      Item("unpadded", "\"YQA\""),
      Item("nul_inside", "\"YQAAAGIA\""),       // a, NUL, b: kept whole
      Item("nul_at_end", "\"YQAAAGIAAAA\""),    // a, NUL, b, NUL: cut at the first NUL
      Item("one_byte", "\"YQ\""),               // one byte: the empty text
      Item("odd_byte", "\"YQBi\""),             // a and a lone byte
      Item("array", R"([{"b":1,"a":[2,"\u00e9"]}])"),
      Item("", "\"YgA\""),                       // the empty key is a key
      Item("no_type", "\"YQA\"", false),
      Item("number", "5"),
      Item("object", "{}"),
      Item("bad_char", "\"Y!A=\""),
      Item("lone_char", "\"Y\""),
      Item("bad_padding", "\"YQ=A\""),
      R"({"key":7,"value":"YQA","value_type":"binary"})",
      R"("not an item")",
  });
  const HttpReply reply = Post("/quickaccess/sync", body);
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "{}");
  const std::map<std::string, std::string> expected = {
      {"padded", Utf16Bytes(u"a")},
      {"unpadded", Utf16Bytes(u"a")},
      {"nul_inside", Utf16Bytes(std::u16string(u"a\0b", 3))},
      {"nul_at_end", Utf16Bytes(u"a")},
      {"one_byte", ""},
      {"odd_byte", Utf16Bytes(u"a")},
      {"array", Utf16Bytes(u"[{\"a\":[2,\"\u00e9\"],\"b\":1}]")},
      {"", Utf16Bytes(u"b")},
  };
  EXPECT_EQ(StoredRows(DataFile()), expected);

  // A byte-order mark is skipped.
  EXPECT_EQ(Post("/quickaccess/sync", "\xEF\xBB\xBF" + Document({Item("bom", "\"YQA\"")})).body, "{}");
  EXPECT_EQ(Get("/quickaccess/syncvalue?key=bom").body, "a");
}

TEST_F(QaSync, ImportNestsTwoHundredDeepButNotOneMore) {
  // The document, its "data" and an item hold the value's own nesting.
  const auto nested = [](int depth) {
    return Document({Item("deep", std::string(depth - 3, '[') + std::string(depth - 3, ']'))});
  };
  EXPECT_EQ(Post("/quickaccess/sync", nested(200)).body, "{}");
  EXPECT_EQ(Get("/quickaccess/syncvalue?key=deep").body, std::string(197, '[') + std::string(197, ']'));
  const HttpReply refused = Post("/quickaccess/sync", nested(201));
  EXPECT_EQ(refused.status, 500);
  EXPECT_EQ(refused.body, "'err':'parse error: nesting deeper than 200'");
  EXPECT_EQ(Get("/quickaccess/syncvalue?key=deep").body, std::string(197, '[') + std::string(197, ']'));
}

// The reader as the import used it before its depth check became one pass
// (a parser callback, quadratic in the number of items): the reference for
// what the import accepts and what it says. "" when it accepts.
std::string ReferenceError(const std::string& body) {
  const size_t skip = body.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  const nlohmann::json::parser_callback_t limit = [](int depth, nlohmann::json::parse_event_t event,
                                                     nlohmann::json&) {
    const bool opens =
        event == nlohmann::json::parse_event_t::object_start || event == nlohmann::json::parse_event_t::array_start;
    if (opens && depth >= 200) throw std::runtime_error("parse error: nesting deeper than 200");
    return true;
  };
  try {
    const nlohmann::json parsed = nlohmann::json::parse(body.substr(skip), limit);
    (void)parsed;
  } catch (const std::exception& e) {
    return e.what();
  }
  return {};
}

TEST(QaSyncDocument, ImportAcceptsAndRefusesExactlyAsTheStrictReaderWithItsDepthLimit) {
  // `depth` containers in all: the document, "data", an item and the value's.
  const auto nested = [](int depth, const std::string& after_opens = "", bool objects = false) {
    std::string value;
    for (int i = 0; i < depth - 3; ++i) value += objects ? "{\"a\":" : "[";
    value += after_opens;
    for (int i = 0; i < depth - 3; ++i) value += objects ? "}" : "]";
    return Document({Item("deep", value)});
  };
  const std::string good = Document({Item("a", "\"YQA\""), Item("b", "[1,{\"c\":null}]")});
  const struct {
    const char* what;
    std::string body;
    RkQASyncDocument::Status status;
    std::string error;  // "" for the reader's own message
  } cases[] = {
      {"depth 200", nested(200), RkQASyncDocument::Status::kOk, ""},
      {"depth 201", nested(201), RkQASyncDocument::Status::kNotJson, "parse error: nesting deeper than 200"},
      {"objects 200 deep", nested(200, "1", true), RkQASyncDocument::Status::kOk, ""},
      {"objects 201 deep", nested(201, "1", true), RkQASyncDocument::Status::kNotJson,
       "parse error: nesting deeper than 200"},
      {"far too deep", std::string(100000, '['), RkQASyncDocument::Status::kNotJson,
       "parse error: nesting deeper than 200"},
      {"error before the depth point", std::string(150, '[') + "x" + std::string(300, '['),
       RkQASyncDocument::Status::kNotJson, ""},
      {"error right at depth 200", std::string(200, '[') + "x", RkQASyncDocument::Status::kNotJson, ""},
      {"error right after depth 201 opens", std::string(201, '[') + "x", RkQASyncDocument::Status::kNotJson,
       "parse error: nesting deeper than 200"},
      {"error after the depth point", std::string(250, '[') + "x", RkQASyncDocument::Status::kNotJson,
       "parse error: nesting deeper than 200"},
      {"missing comma before a deep value", R"({"app":"rkfas" "data":)" + std::string(300, '['),
       RkQASyncDocument::Status::kNotJson, ""},
      {"deep value after good items", good.substr(0, good.size() - 2) + "," + std::string(300, '[') + "]}",
       RkQASyncDocument::Status::kNotJson, "parse error: nesting deeper than 200"},
      {"closed too often", "[]]", RkQASyncDocument::Status::kNotJson, ""},
      {"text after the document", good + " x", RkQASyncDocument::Status::kNotJson, ""},
      {"two documents", good + good, RkQASyncDocument::Status::kNotJson, ""},
      {"empty", "", RkQASyncDocument::Status::kNotJson, ""},
      {"blanks", " \n\t", RkQASyncDocument::Status::kNotJson, ""},
      {"a mark only", "\xEF\xBB\xBF", RkQASyncDocument::Status::kNotJson, ""},
      {"two marks (the reader skips one itself)", "\xEF\xBB\xBF\xEF\xBB\xBF" + good, RkQASyncDocument::Status::kOk,
       ""},
      {"three marks", "\xEF\xBB\xBF\xEF\xBB\xBF\xEF\xBB\xBF" + good, RkQASyncDocument::Status::kNotJson, ""},
      {"a comment", "/* x */" + good, RkQASyncDocument::Status::kNotJson, ""},
      {"a lone surrogate escape", Document({Item("a", R"("\ud800")")}), RkQASyncDocument::Status::kNotJson, ""},
      {"a control character", Document({Item("a", "\"a\tb\"")}), RkQASyncDocument::Status::kNotJson, ""},
      {"a number too large", Document({Item("a", "[1e999]")}), RkQASyncDocument::Status::kNotJson, ""},
      {"a trailing comma", R"({"app":"rkfas","data":[],})", RkQASyncDocument::Status::kNotJson, ""},
      {"good", good, RkQASyncDocument::Status::kOk, ""},
      {"good after a mark", "\xEF\xBB\xBF" + good, RkQASyncDocument::Status::kOk, ""},
      {"an array", "[" + std::string(199, '[') + std::string(199, ']') + "]", RkQASyncDocument::Status::kNotObject,
       ""},
      {"another app", R"({"app":"rkfa","data":[]})", RkQASyncDocument::Status::kNoApp, ""},
      {"no data", R"({"app":"rkfas","data":{}})", RkQASyncDocument::Status::kNoData, ""},
  };
  for (const auto& c : cases) {
    std::vector<RkQASyncItem> items;
    std::string error;
    const RkQASyncDocument::Status status = RkQASyncDocument::Import(c.body, &items, &error);
    EXPECT_EQ(static_cast<int>(status), static_cast<int>(c.status)) << c.what;
    const std::string reference = ReferenceError(c.body);
    EXPECT_EQ(reference.empty(), status != RkQASyncDocument::Status::kNotJson) << c.what;
    if (status == RkQASyncDocument::Status::kNotJson) {
      EXPECT_EQ(error, WellFormedUtf8(reference)) << c.what;
      if (!c.error.empty()) {
        EXPECT_EQ(error, c.error) << c.what;
      }
    }
  }
  std::vector<RkQASyncItem> items;
  std::string error;
  ASSERT_EQ(RkQASyncDocument::Import(good, &items, &error), RkQASyncDocument::Status::kOk);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].key, u"a");
  EXPECT_EQ(items[0].text, u"a");
  EXPECT_EQ(items[1].text, u"[1,{\"c\":null}]");
}

// The reader's message quotes what it read, raw bytes and all; the reply and
// the log line carry it as well-formed UTF-8.
TEST_F(QaSync, ImportErrorsQuoteTheBodyAsWellFormedUtf8) {
  const std::string body = "{\"app\":\"rkfas\",\"data\":[\xFF\xC3]}";
  const std::string message = WellFormedUtf8(ReferenceError(body));
  ASSERT_NE(message.find("\xEF\xBF\xBD"), std::string::npos) << message;
  const HttpReply reply = Post("/quickaccess/sync", body);
  EXPECT_EQ(reply.status, 500);
  EXPECT_EQ(reply.body, "'err':'" + message + "'");
  const std::string log = Log();
  EXPECT_NE(log.find(message), std::string::npos) << log;
  EXPECT_TRUE(IsWellFormedUtf8(log));
}

TEST_F(QaSync, RoundTripBetweenTwoUsersWritesNothingTheSecondTime) {
  ASSERT_EQ(Post("/quickaccess/qa", R"([{"title":"F","children":[{"url":"c","title":"C"}]},{"url":"u","title":"t"}])")
                .body,
            "{}");
  ASSERT_EQ(Post("/quickaccess/syncvalue", R"({"key":"note","json":"caf\u00e9 \ud83d\ude00"})").body, "{}");
  ASSERT_EQ(Post("/quickaccess/syncvalue", R"({"key":"empty","json":""})").body, "{}");
  const std::string exported = Get("/quickaccess/sync").body;

  ASSERT_EQ(Post("/quickaccess/sync?version=12", exported, "bob").body, "{}");
  std::map<std::string, std::string> rows = StoredRows(DataFile());
  rows["version"] = Utf16Bytes(u"12");
  EXPECT_EQ(StoredRows(DataFile("bob")), rows);
  EXPECT_EQ(Notifications("bob").size(), 1u);

  // The same document again, to either user: nothing to write, nobody told.
  const std::map<std::string, std::string> bob_rows = StoredRows(DataFile("bob"));
  EXPECT_EQ(Post("/quickaccess/sync", exported, "bob").body, "{}");
  EXPECT_EQ(Post("/quickaccess/sync?merge=1", exported, "ann").body, "{}");
  EXPECT_EQ(StoredRows(DataFile("bob")), bob_rows);
  Settle("ann");
  EXPECT_EQ(Notifications("bob").size(), 1u);
}

TEST(QaMerge, UniqueTitlesCountUpFromTheHighestStoredNumber) {
  const struct {
    std::vector<std::string> stored;
    std::string title, result;
  } cases[] = {
      {{"Work"}, "Work", "Work 1"},
      {{"Work", "Work 3"}, "Work", "Work 4"},
      {{"Work 2"}, "Work", "Work 3"},
      {{"Workshop", "Work x", "Work ", "Work 1a"}, "Work", "Work"},
      {{"Work 007"}, "Work", "Work 8"},
      {{"Work 2147483647"}, "Work", "Work 2147483648"},
      {{"Work 99999999999999999999", "Work 5"}, "Work", "Work 100000000000000000000"},
      {{"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9 9"}, "\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9 10"},
      {{}, "Work", "Work"},
  };
  for (const auto& c : cases) {
    RkQAFolderIndex index;
    for (size_t i = 0; i < c.stored.size(); ++i) index["id" + std::to_string(i)].title = c.stored[i];
    std::string title = c.title;
    EXPECT_EQ(MakeUniqueFolderTitle(index, title), c.result != c.title) << c.result;
    EXPECT_EQ(title, c.result);
  }
}

// Drops the identifiers the store gave to folders that arrived without one.
value WithoutNewFolderIds(value tree, size_t from) {
  for (size_t i = from; i < tree.as_array().size(); ++i) {
    value& item = tree.as_array().at(i);
    if (item.has_field("children") && item.at("folderId").as_string().size() == 36) item.erase("folderId");
  }
  return tree;
}

TEST_F(QaSync, MergeAppendsWhatTheStoredTreeLacks) {
  const std::string stored = R"([
    {"url":"a","title":"A","extra":true},
    {"folderId":"f1","title":"Work","children":[{"url":"c1","title":"C1"}]},
    {"folderId":"f2","title":"Work 3","children":[]},
    {"folderId":"f3","title":"Workshop"},
    {"folderId":"f4","children":[]},
    {"note":"neither site nor folder"}
  ])";
  const std::string incoming = R"([
    {"url":"a","title":"another title"},
    {"url":"c1","title":"a child's url elsewhere"},
    {"url":"n","title":"N1"},
    {"url":"n","title":"N2"},
    {"title":"no url"},
    {"folderId":"f1","title":"Renamed","children":[{"url":"c1"},{"url":"c2","title":"C2"},{"url":"c2","title":"C2b"},7]},
    {"folderId":"f3","title":"x","children":[{"url":"s1","title":"S"}]},
    {"title":"Work","children":[]},
    {"title":"Work","children":[{"url":"w"}]},
    {"folderId":"f4","title":"Untitled","children":[]},
    {"folderId":"zz","title":"Workshop","children":[]},
    5, "text", {"title":"W","children":"not an array"}, {"url":7,"title":"t"}, {"title":7,"children":[]}
  ])";
  ASSERT_EQ(Post("/quickaccess/qa", stored).body, "{}");
  ASSERT_EQ(Post("/quickaccess/sync?merge=1", Document({Item("my_site", Encoded(Utf8ToWide(incoming)))})).body, "{}");

  const value expected = value::parse(R"([
    {"url":"a","title":"A","extra":true},
    {"folderId":"f1","title":"Work","children":[{"url":"c1","title":"C1"},{"url":"c2","title":"C2"},{"url":"c2","title":"C2b"}]},
    {"folderId":"f2","title":"Work 3","children":[]},
    {"folderId":"f3","title":"Workshop","children":[{"url":"s1","title":"S"}]},
    {"folderId":"f4","children":[]},
    {"note":"neither site nor folder"},
    {"url":"c1","title":"a child's url elsewhere"},
    {"url":"n","title":"N1"},
    {"url":"n","title":"N2"},
    {"title":"Work 4","children":[]},
    {"title":"Work 4","children":[{"url":"w"}]},
    {"folderId":"f4","title":"Untitled","children":[]},
    {"folderId":"zz","title":"Workshop 1","children":[]}
  ])");
  const value merged = value::parse(Get("/quickaccess/qa").body);
  EXPECT_EQ(WithoutNewFolderIds(merged, 6), expected) << merged.serialize();

  // Without merge the incoming tree replaces the stored one.
  ASSERT_EQ(Post("/quickaccess/sync", Document({Item("my_site", Encoded(u"[{\"url\":\"only\",\"title\":\"O\"}]"))})).body,
            "{}");
  EXPECT_EQ(Get("/quickaccess/qa").body, R"([{"url":"only","title":"O"}])");
  // A tree that is not an array cannot be merged.
  const HttpReply refused = Post("/quickaccess/sync?merge=1", Document({Item("my_site", Encoded(u"{}"))}));
  EXPECT_EQ(refused.status, 500);
  EXPECT_EQ(refused.body, "'err':'my_site is not a list'");
}

TEST_F(QaSync, ImportFailingHalfWayLeavesTheStoreAsItWasAndTellsNobody) {
  ASSERT_EQ(Post("/quickaccess/qa", R"([{"url":"u","title":"t"}])").body, "{}");
  ASSERT_EQ(Post("/quickaccess/syncvalue", R"({"key":"a","json":"1"})").body, "{}");
  const std::map<std::string, std::string> rows = StoredRows(DataFile());
  const std::string exported = Get("/quickaccess/sync").body;

  const struct {
    std::string what, body, reply;
  } cases[] = {
      // "a", "b" and the tree are written before the key with a NUL byte is refused.
      {"a key the store refuses", Document({Item("a", Encoded(u"2")), Item("b", Encoded(u"3")),
                                            Item("my_site", Encoded(u"[{\"url\":\"v\",\"title\":\"t\"}]")),
                                            Item("z\\u0000", Encoded(u"4"))}),
       "'err':'Call SetSyncValue Failed. '"},
      {"a tree that is not JSON", Document({Item("a", Encoded(u"2")), Item("my_site", Encoded(u"[oops"))}),
       "'err':'* Line 1, Column 3 Syntax error: Malformed token'"},
  };
  for (const auto& c : cases) {
    const HttpReply reply = Post("/quickaccess/sync?version=9&merge=1", c.body);
    EXPECT_EQ(reply.status, 500) << c.what;
    EXPECT_EQ(reply.body, c.reply) << c.what;
    EXPECT_EQ(StoredRows(DataFile()), rows) << c.what;
    EXPECT_EQ(Get("/quickaccess/sync").body, exported) << c.what;
    EXPECT_EQ(Get("/quickaccess/qa").body, R"([{"url":"u","title":"t"}])") << c.what;
  }
  EXPECT_TRUE(Notifications().empty());
}

}  // namespace
}  // namespace qatest
}  // namespace rkservice
