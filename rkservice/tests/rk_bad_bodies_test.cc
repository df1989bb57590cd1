// Every route of every handler, sent each kind of bad body, answers with its
// own reply and the common headers: nothing a client sends may end in the
// listener's bare 500. The shipped service library with the notes engine and
// the browser's main library (its stand-in) beside it, over real HTTP.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "rk_kivvet_test_service.h"

namespace {

using rktest::HttpReply;

struct Route {
  const char* method;
  const char* path;
  std::set<int> statuses;  // what the route's own replies may be
};

// Every route table of the service. The notes routes may also answer 500
// when the engine refuses; form-fill 500 when its store does.
const std::vector<Route>& Routes() {
  static const std::vector<Route> routes = {
      {"GET", "/kivvet/hit", {200}},
      {"GET", "/kivvet/allurlnotes", {200, 500}},
      {"GET", "/kivvet/bookmarksallurlnotes", {200, 500}},
      {"GET", "/kivvet/get_notemeta", {200, 500}},
      {"GET", "/kivvet/get_notedata", {200, 400, 500}},
      {"GET", "/kivvet/path", {400, 500}},
      {"GET", "/kivvet/sync/status", {200}},
      {"GET", "/kivvet/sync/last_status", {200}},
      {"GET", "/kivvet/note/url/count", {200, 400}},
      {"GET", "/kivvet/test/httpres", {200, 500}},
      {"POST", "/kivvet/favorite", {200, 400, 500}},
      {"POST", "/kivvet/content", {200, 400, 500}},
      {"POST", "/kivvet/notes/downloadnodes", {200, 500}},
      {"POST", "/kivvet/note/importbookmarks", {200, 400, 500}},
      {"DELETE", "/kivvet/favorite", {200, 400, 500}},
      {"PUT", "/kivvet/note/url", {200, 400, 500}},
      {"PUT", "/kivvet/folder/minimalist", {200, 400, 500}},
      {"PUT", "/kivvet/note/content/download", {200, 400}},
      {"PUT", "/kivvet/sync/init", {200, 400, 500}},
      {"PUT", "/kivvet/sync/do_sync", {200, 400, 500}},
      {"PUT", "/kivvet/sync/init_and_sync", {200, 400, 500}},
      {"PUT", "/kivvet/sync/reset_sync_ver", {200, 500}},
      {"GET", "/quickaccess/thumbexists", {501}},
      {"GET", "/quickaccess/syncvalue", {500}},
      {"GET", "/quickaccess/sync", {200, 500}},
      {"GET", "/quickaccess/qa", {200, 500}},
      {"POST", "/quickaccess/syncvalue", {200, 500}},
      {"POST", "/quickaccess/sync", {200, 400, 500}},
      {"POST", "/quickaccess/qa", {200, 500}},
      {"POST", "/quickaccess/default", {200, 400, 500}},
      {"GET", "/tesselfill/common/auth_info", {200}},
      {"GET", "/tesselfill/card/all", {400}},
      {"GET", "/tesselfill/sync/account/get", {200, 400}},
      {"GET", "/tesselfill/sync/secret/get", {200, 400}},
      {"POST", "/tesselfill/common/auth_info", {200, 400, 500}},
      {"POST", "/tesselfill/sync/account/set", {200, 400}},
      {"POST", "/tesselfill/sync/secret/set", {200, 400}},
      {"POST", "/tesselfill/card/add_or_update", {200, 400, 500}},
      {"PUT", "/tesselfill/pwd_operation", {200, 400}},
      {"DELETE", "/tesselfill/card", {200, 400, 500}},
      {"POST", "/account/check", {200, 400}},
      {"POST", "/account/login", {200, 400}},
      {"POST", "/account/logout", {200, 400}},
      {"POST", "/account/vcode/mobile", {200, 400}},
      {"POST", "/account/vcode/email", {200, 400}},
      {"POST", "/account/vcode/verifyemail", {200, 400}},
      {"POST", "/account/vcode/verifymobile", {200, 400}},
      {"POST", "/account/update/profile", {200, 400}},
      {"POST", "/account/get/profile", {200, 400}},
      {"POST", "/account/register", {200, 400}},
      {"POST", "/account/rest/password", {200, 400}},
      {"POST", "/account/device/record/get", {200, 400}},
      {"POST", "/account/device/record/set", {200, 400}},
      {"POST", "/account/misc/info/get", {200, 400}},
      {"POST", "/account/misc/info/set", {200, 400}},
      {"POST", "/account/list", {200}},
      {"POST", "/updater/update", {200, 400}},
  };
  return routes;
}

struct BadBody {
  const char* kind;
  std::string content_type;
  std::string body;
};

// Members under every name some route reads, so that each route gets past
// its first check where it can.
const std::vector<BadBody>& BadBodyKinds() {
  static const std::vector<BadBody> bodies = {
      {"not JSON", "application/json", "not json {"},
      {"not JSON, deeply nested", "application/json", std::string(300, '[') + std::string(300, ']')},
      {"a JSON array", "application/json", R"([{"id":"x","data":[]}])"},
      {"JSON null", "application/json", "null"},
      {"wrong types", "application/json",
       R"({"id":1,"key":2,"value":3,"type":4,"url":5,"content":6,"json":7,"my_site":8,"version":"9","from":"x",)"
       R"("data":{},"app":10,"uid":11,"did":12,"host":13,"res_host":14,"cver":15,"vip_level":"16",)"
       R"("user_pwd":17,"account":18})"},
      {"wrong types inside", "application/json",
       R"({"id":[1,{}],"type":"account","key":"k","value":"v","app":"rkfas","data":[1,{"key":2,"value":3}],)"
       R"("user_pwd":"p","content":"[{\"a\":1}]"})"},
      {"lone surrogates", "application/json",
       R"({"id":"\ud800","key":"k\udc00","value":"\"x\ud83d\"","type":"account","url":"\ud83d","content":"\ud83d",)"
       R"("json":"\ud800","my_site":"[\"\ud800\"]","version":1,"app":"rkfas","data":"\ud800\u0041",)"
       R"("uid":"\ud800","did":"d","host":"http://127.0.0.1:9","res_host":"http://127.0.0.1:9","cver":"c",)"
       R"("vip_level":1,"user_pwd":"\ud800"})"},
      {"lone surrogate then a letter", "application/json", R"({"data": "\ud800\u0041"})"},
      {"lone surrogates in items", "application/json",
       R"({"app":"rkfas","data":[{"key":"\ud800\u0041","value":"YQA","value_type":"binary"}]})"},
      {"invalid UTF-8", "application/json",
       "{\"id\":\"\xff\xfe\",\"key\":\"\xc3\",\"value\":\"\\\"\xed\xa0\x80\\\"\",\"type\":\"secret\","
       "\"url\":\"\xc0\xaf\",\"content\":\"\xf8\",\"json\":\"\xe2\x82\",\"app\":\"rkfas\",\"data\":[],"
       "\"user_pwd\":\"\xff\",\"account\":\"\xff\"}"},
      {"invalid UTF-8, not JSON", "application/json", "\xff\xfe{\xc3"},
      {"a body that is not text", "application/octet-stream", R"({"id":"x","key":"k","type":"account"})"},
      {"a form body that is not text", "application/octet-stream", "account=a&mobile=1&action=b&email=c"},
  };
  return bodies;
}

const char* const kCommonHeaders[] = {"access-control-allow-origin", "access-control-allow-methods",
                                      "access-control-allow-headers", "server"};

class BadBodies : public testing::Test {
 protected:
  void SetUp() override {
    port_ = service_.Start("bad", dir_.path() / "root", "http://127.0.0.1:9/notify");
    ASSERT_NE(port_, 0);
  }

  rktest::KivvetTempDir dir_;
  rktest::KivvetServiceLibrary service_;
  int port_ = 0;
};

TEST_F(BadBodies, EveryRouteAnswersEveryBadBodyWithItsOwnReply) {
  for (const Route& route : Routes()) {
    for (const BadBody& bad : BadBodyKinds()) {
      const std::string what = std::string(route.method) + " " + route.path + " with " + bad.kind;
      const HttpReply reply = rktest::KivvetRequest(port_, route.method, route.path, bad.body, bad.content_type);
      ASSERT_NE(reply.status, 0) << what << ": no reply";
      EXPECT_EQ(route.statuses.count(reply.status), 1u) << what << ": " << reply.status << " " << reply.body;
      for (const char* header : kCommonHeaders) EXPECT_TRUE(reply.Has(header)) << what << ": no " << header;
    }
  }
}

// What a page's JSON.stringify writes for a string cut inside an emoji: a
// lone surrogate escape, read as U+FFFD as UTF-16 text takes it. Trees are
// JSON the store reads, so theirs are read alike; other values are texts.
TEST_F(BadBodies, LoneSurrogatesInBodiesReadAsReplacementCharacters) {
  const auto send = [this](const char* method, const std::string& target, const std::string& body,
                           const std::string& user) {
    return rktest::KivvetRequest(port_, method, target, body, "application/json", user);
  };
  const struct {
    const char* what;
    std::string target;
    std::string body;
    std::string user;
    std::string tree;  // GET /quickaccess/qa afterwards
  } trees[] = {
      {"first tree", "/quickaccess/qa", R"([{"title":"t\ud83d","url":"u"}])", "q1", R"([{"title":"t\uFFFD","url":"u"}])"},
      {"default tree", "/quickaccess/default", R"([{"title":"\udc00","url":"u"}])", "q2",
       R"([{"title":"\uFFFD","url":"u"}])"},
      {"tree with its version", "/quickaccess/qa?with_ver=1",
       R"({"my_site":"[{\"title\":\"\\ud800\\u0041\",\"url\":\"u\"}]","version":3})", "q3",
       R"([{"title":"\uFFFD\u0041","url":"u"}])"},
      {"tree as a value", "/quickaccess/syncvalue", R"({"key":"my_site","json":"[{\"title\":\"\\ud800\",\"url\":\"u\"}]"})",
       "q4", R"([{"title":"\uFFFD","url":"u"}])"},
  };
  for (const auto& c : trees) {
    const HttpReply reply = send("POST", c.target, c.body, c.user);
    EXPECT_EQ(reply.status, 200) << c.what << ": " << reply.body;
    EXPECT_EQ(reply.body, "{}") << c.what;
    EXPECT_EQ(send("GET", "/quickaccess/qa", {}, c.user).body, c.tree) << c.what;
  }

  ASSERT_EQ(send("POST", "/quickaccess/syncvalue", R"({"key":"k\ud800","json":"\\ud800 is text"})", "q5").status, 200);
  EXPECT_EQ(send("GET", "/quickaccess/sync?new=1", {}, "q5").body,
            "{\"app\":\"rkfas\",\"data\":[{\"key\":\"k\xEF\xBF\xBD\",\"value\":\"\\\\ud800 is text\","
            "\"value_type\":\"binary\"}],\"ver\":1}");

  const HttpReply init =
      send("PUT", "/kivvet/sync/init",
           R"({"uid":"u\ud800","did":"\udc00","key":"k","app":"a","host":"http://127.0.0.1:9",)"
           R"("res_host":"http://127.0.0.1:9","cver":"\ud83d","vip_level":0})",
           "ann");
  EXPECT_EQ(init.status, 200) << init.body;
}

}  // namespace
