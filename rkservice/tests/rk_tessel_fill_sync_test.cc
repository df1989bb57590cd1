// The form-fill sync export and import over HTTP: the documents byte for
// byte, imports of every form, documents passed between users and stores,
// and storage failures that must leave the stores as they were.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "handlers/rk_tessel_fill_sync.h"
#include "rk_tessel_fill_test_support.h"

namespace rktest {
namespace {

using Cards = std::vector<std::pair<std::string, std::string>>;
using Keys = std::vector<std::string>;

TEST_F(TesselFillTest, ExportDocumentsByteForByte) {
  const HttpReply empty = Export("account");
  EXPECT_EQ(empty.status, 200);
  EXPECT_EQ(empty.body, R"( {"ver": 1, "app": "rek5-ainfo", "data": []} )");

  ASSERT_EQ(AddCard("secret", "k", "abc").status, 200);
  EXPECT_EQ(Unsynced(kSecretFile), Keys{"k"});
  const std::string one =
      R"( {"ver": 1, "app": "rek5-pteinf", "data": [ {"key": "k", "value": "YWJj", "value_type": "binary"} ]} )";
  EXPECT_EQ(Export("secret").body, one);
  EXPECT_TRUE(Unsynced(kSecretFile).empty());
  EXPECT_EQ(Export("secret").body, one);

  ASSERT_EQ(AddCard("account", "b", "abc").status, 200);
  ASSERT_EQ(AddCard("account", "a", "a").status, 200);
  EXPECT_EQ(Export("account").body,
            R"( {"ver": 1, "app": "rek5-ainfo", "data": [ {"key": "a", "value": "YQ", "value_type": "binary"} )"
            R"(, {"key": "b", "value": "YWJj", "value_type": "binary"} ]} )");
}

TEST_F(TesselFillTest, ExportedCardsImportIntoAnotherUserAndStore) {
  // Keys that a pasted document would let out of their strings, and others.
  const Cards cards = {
      {R"(x", "value": "QUFB", "value_type": "binary"} , {"key": "injected)", R"({"v":1})"},
      {"back\\slash", "[2]"},
      {"line\nbreak\ttab\x01", R"("three")"},
      {u8"ключ", u8R"({"v":"значение"})"},
      {"plain", "{}"},
  };
  for (const auto& card : cards) ASSERT_EQ(AddCard("account", card.first, card.second).status, 200);

  const HttpReply exported = Export("account");
  ASSERT_EQ(exported.status, 200);
  const nlohmann::json document = nlohmann::json::parse(exported.body);
  Keys keys;
  for (const auto& item : document.at("data")) keys.push_back(item.at("key").get<std::string>());
  std::sort(keys.begin(), keys.end());
  Keys expected_keys;
  for (const auto& card : cards) expected_keys.push_back(card.first);
  std::sort(expected_keys.begin(), expected_keys.end());
  EXPECT_EQ(keys, expected_keys);
  EXPECT_NE(exported.body.find(R"( {"key": "plain", "value": "e30", "value_type": "binary"} )"), std::string::npos);

  // Bob takes Ann's account document into his secret store.
  ASSERT_EQ(Import("secret", exported.body, "bob").status, 200);
  EXPECT_EQ(Stored(kSecretFile, "bob"), Stored(kAccountFile));
  EXPECT_TRUE(Unsynced(kSecretFile, "bob").empty());
  EXPECT_EQ(Call("GET", "/tesselfill/card/all?type=secret", "", "bob").body,
            Call("GET", "/tesselfill/card/all?type=account").body);
}

TEST_F(TesselFillTest, ImportFormsReplaceSyncedCardsAndKeepLocalOnes) {
  const std::string local = R"({"l":1})";
  const std::string old_card = R"({"o":1})";
  const std::string imported = R"({"n":1})";  // "eyJuIjoxfQ" in Base64
  const Cards untouched = {{"local", local}, {"old", old_card}};
  const Cards replaced = {{"local", local}, {"new", imported}};
  const struct {
    const char* what;
    std::string document;
    int status;
    Cards after;
    std::string log;
  } cases[] = {
      {"document", R"({"ver":1,"app":"rek5-ainfo","data":[{"key":"new","value":"eyJuIjoxfQ"}]})", 200, replaced, ""},
      {"other store's document, padded value",
       R"({"app":"rek5-pteinf","data":[{"key":"new","value":"eyJuIjoxfQ=="}]})", 200, replaced, ""},
      {"bare array", R"([{"key":"new","value":"eyJuIjoxfQ","value_type":"binary"}])", 200, replaced, ""},
      {"empty array", "[]", 200, {{"local", local}}, ""},
      {"empty data", R"({"data":[]})", 200, {{"local", local}}, ""},
      {"local key imported", R"([{"key":"local","value":"WzFd"}])", 200, {{"local", "[1]"}}, ""},
      {"unusable elements skipped",
       R"({"data":[1,{"key":"k"},{"key":2,"value":"YQ"},{"key":"new","value":"eyJuIjoxfQ"}]})", 200, replaced,
       "cat not as a object"},
      {"no data", R"({"ver":1})", 400, untouched, ""},
      {"null data", R"({"data":null})", 400, untouched, "param error!"},
      {"text data", R"({"data":"x"})", 400, untouched, "param error!"},
      {"no usable element", R"({"data":[1]})", 400, untouched, "cat not as a object"},
      {"element without key", R"([{"value":"YQ"}])", 400, untouched, "json error, can not get key or value."},
      {"not JSON", "not json", 400, untouched, ""},
      {"number", "5", 400, untouched, ""},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string user = "u" + std::to_string(n++);
    ASSERT_EQ(AddCard("account", "old", old_card, user).status, 200);
    ASSERT_EQ(Export("account", user).status, 200);
    ASSERT_EQ(AddCard("account", "local", local, user).status, 200);
    log_->Clear();
    const HttpReply reply = Import("account", c.document, user);
    EXPECT_EQ(reply.status, c.status) << c.what;
    EXPECT_EQ(reply.body, "{}") << c.what;
    EXPECT_EQ(Stored(kAccountFile, user), c.after) << c.what;
    EXPECT_EQ(Unsynced(kAccountFile, user), Keys{"local"}) << c.what;
    if (!c.log.empty()) {
      EXPECT_TRUE(Logged(c.log)) << c.what << " should log: " << c.log;
    }
  }
}

TEST_F(TesselFillTest, StorageFailuresAnswerAndLoseNothing) {
  ASSERT_EQ(Call("POST", "/tesselfill/common/auth_info", R"({"key":"me"})").status, 200);
  ASSERT_EQ(AddCard("account", "a", "{}").status, 200);
  ASSERT_EQ(AddCard("account", "b", "[]").status, 200);

  // Triggers of the test's own make SQLite refuse single writes.
  SqliteFile common(DbPath(kCommonFile));
  common.Rows("CREATE TRIGGER refuse BEFORE INSERT ON storage BEGIN SELECT RAISE(ABORT, 'refused'); END;");
  HttpReply reply = Call("POST", "/tesselfill/common/auth_info", R"({"key":"you"})");
  EXPECT_EQ(reply.status, 500);
  EXPECT_EQ(reply.body, "{}");
  EXPECT_EQ(Call("GET", "/tesselfill/common/auth_info").body, "me");

  SqliteFile account(DbPath(kAccountFile));
  account.Rows("CREATE TRIGGER refuse BEFORE DELETE ON storage_nosync BEGIN SELECT RAISE(ABORT, 'refused'); END;");
  reply = Export("account");
  EXPECT_EQ(reply.status, 400);
  EXPECT_EQ(reply.body, "[]");
  EXPECT_TRUE(Logged("failed to clear nosync table."));
  EXPECT_EQ(Unsynced(kAccountFile), (Keys{"a", "b"}));
  account.Rows("DROP TRIGGER refuse;");
  ASSERT_EQ(Export("account").status, 200);

  // An import whose second write fails: nothing of it stays.
  account.Rows(
      "CREATE TRIGGER refuse BEFORE INSERT ON storage WHEN NEW.storage_key = 'boom' "
      "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
  ASSERT_EQ(AddCard("account", "c", "1").status, 200);
  const Cards before = Stored(kAccountFile);
  reply = Import("account", R"([{"key":"a","value":"WzFd"},{"key":"boom","value":"YQ"},{"key":"z","value":"YQ"}])");
  EXPECT_EQ(reply.status, 400);
  EXPECT_EQ(reply.body, "{}");
  EXPECT_TRUE(Logged("failed set sql item!"));
  EXPECT_EQ(Stored(kAccountFile), before);
  EXPECT_EQ(Unsynced(kAccountFile), Keys{"c"});

  account.Rows("ALTER TABLE storage RENAME TO storage_gone;");
  reply = Call("GET", "/tesselfill/card/all?type=account");
  EXPECT_EQ(reply.status, 500);
  EXPECT_EQ(reply.body, "{}");
}

// A page's JSON.stringify writes a lone surrogate as an escape; it is read as
// U+FFFD, and a document that is no sync document stays refused.
TEST_F(TesselFillTest, ImportReadsLoneSurrogatesAsReplacementCharacters) {
  ASSERT_EQ(AddCard("account", "a", "{}").status, 200);
  ASSERT_EQ(Export("account").status, 200);
  const Cards before = Stored(kAccountFile);
  const char* const kCommon[] = {"access-control-allow-origin", "access-control-allow-methods",
                                 "access-control-allow-headers", "server"};
  for (const std::string document : {R"({"data": "\ud800\u0041"})", R"({"data": "\udc00"})", "\"\\ud800\\u0041\""}) {
    const HttpReply reply = Import("account", document);
    EXPECT_EQ(reply.status, 400) << document;
    EXPECT_EQ(reply.body, "{}") << document;
    for (const char* header : kCommon) EXPECT_TRUE(reply.Has(header)) << document << ": no " << header;
  }
  EXPECT_EQ(Stored(kAccountFile), before);

  const HttpReply reply = Import("account", R"({"data":[{"key":"\ud800\u0041","value":"YQ"},)"
                                            R"({"key":"\udc00","value":"Yg"},{"key":"\ud83d\ude00","value":"Yw"},)"
                                            R"({"key":"\\ud800","value":"ZA"}]})");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(Stored(kAccountFile), (Cards{{"\\ud800", "d"}, {"\xEF\xBF\xBD", "b"}, {"\xEF\xBF\xBD" "A", "a"},
                                         {"\xF0\x9F\x98\x80", "c"}}));
}

TEST_F(TesselFillTest, CardAddedDuringAnExportIsExportedOrStillRecorded) {
  ASSERT_EQ(AddCard("account", "early", "{}").status, 200);
  std::thread adder;
  HttpReply added;
  rkservice::RkTesselFillSync::SetExportHookForTesting([&] {
    adder = std::thread([&] { added = AddCard("account", "late", "[]"); });
    // The add has reached the service once its request is traced; it runs
    // into the export that is under way here.
    EXPECT_TRUE(Logged("POST /tesselfill/card/add_or_update"));
  });
  log_->Clear();
  const HttpReply exported = Export("account");
  rkservice::RkTesselFillSync::SetExportHookForTesting(nullptr);
  adder.join();
  ASSERT_EQ(exported.status, 200);
  ASSERT_EQ(added.status, 200);

  const Keys unsynced = Unsynced(kAccountFile);
  const bool handed_out = exported.body.find(R"("key": "late")") != std::string::npos;
  const bool recorded = std::find(unsynced.begin(), unsynced.end(), "late") != unsynced.end();
  EXPECT_TRUE(handed_out || recorded);
  EXPECT_EQ(unsynced.size(), recorded ? 1u : 0u);  // "early" counts as synchronised

  // So the next import of that document keeps it.
  ASSERT_EQ(Import("account", exported.body).status, 200);
  EXPECT_EQ(Stored(kAccountFile), (Cards{{"early", "{}"}, {"late", "[]"}}));
}

}  // namespace
}  // namespace rktest
