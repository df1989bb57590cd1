// The quick-access routes through the running service on loopback: replies,
// the stored tree and its version, and the change notifications.
#include <chrono>
#include <functional>
#include <thread>

#include "rk_utils.h"

#include "rk_qa_test_support.h"

namespace rkservice {
namespace qatest {
namespace {

constexpr char kNotifyLine[] = "GET /?action=notify&type=data_changed&caller=qa HTTP/1.1";

std::string NotifyLine(const std::string& extra) {
  return "GET /?action=notify&type=data_changed&caller=qa" + extra + " HTTP/1.1";
}

// A random version-4 GUID in lower case, without braces.
bool IsFolderId(const std::string& id) {
  if (id.size() != 36 || id[14] != '4' || std::string("89ab").find(id[19]) == std::string::npos) return false;
  for (size_t i = 0; i < id.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? id[i] != '-' : std::string("0123456789abcdef").find(id[i]) == std::string::npos) return false;
  }
  return true;
}

void ExpectCommonHeaders(const HttpReply& reply, const std::string& context) {
  EXPECT_EQ(reply.Header("access-control-allow-origin"), "*") << context;
  EXPECT_EQ(reply.Header("access-control-allow-methods"), "POST, PUT, GET, OPTIONS, DELETE, HEAD") << context;
  EXPECT_EQ(reply.Header("access-control-allow-headers"), "UserName") << context;
  EXPECT_EQ(reply.Header("server"), "Rk6Service/v0.1") << context;
  EXPECT_EQ(reply.Header("content-type"), "text/plain; charset=utf-8") << context;
}

using QaHandler = QaServiceTest;

struct RouteCase {
  std::string method, target, body;
  int status;
  std::string reply;
};

TEST_F(QaHandler, EveryRouteRepliesAsSpecifiedOnAnEmptyStore) {
  const RouteCase cases[] = {
      {"GET", "/quickaccess/qa", "", 200, ""},
      {"GET", "/quickaccess/qa?with_ver=1", "", 200, R"({"my_site":"[]","version":0})"},
      {"GET", "/quickaccess/qa?with_ver=true", "", 200, ""},
      {"GET", "/quickaccess/qa/", "", 404, "{}"},
      {"GET", "/quickaccess/QA", "", 404, "{}"},
      {"GET", "/quickaccess/syncvalue", "", 500, "'err':'key not exists'"},
      {"GET", "/quickaccess/syncvalue?key=", "", 500, "'err':'key is empty'"},
      {"GET", "/quickaccess/syncvalue?key=never", "", 200, ""},
      {"GET", "/quickaccess/thumbexists", "", 501, "{}"},
      {"GET", "/quickaccess/sync", "", 200, R"({"app":"rkfas","data":[],"ver":1})"},
      {"GET", "/quickaccess/default", "", 404, "{}"},
      {"PUT", "/quickaccess/qa", "[]", 501, "{}"},
      {"DELETE", "/quickaccess/qa", "", 501, "{}"},
      {"POST", "/quickaccess/thumbexists", "", 404, "{}"},
      // syncvalue bodies: missing members and members of the wrong type
      {"POST", "/quickaccess/syncvalue", R"({"key":"","json":"x"})", 500, "'err':'key is empty'"},
      {"POST", "/quickaccess/syncvalue", R"({"key":"k"})", 500, "'err':'param error'"},
      {"POST", "/quickaccess/syncvalue", R"({"key":7,"json":"x"})", 500, "'err':'param error'"},
      {"POST", "/quickaccess/syncvalue", R"({"key":"k","json":[1]})", 500, "'err':'param error'"},
      {"POST", "/quickaccess/syncvalue", R"(["key","json"])", 500, "'err':'param error'"},
      {"POST", "/quickaccess/syncvalue", "not json", 500, "'err':'* Line 1, Column 2 Syntax error: Malformed literal'"},
      // a tree that is not a JSON array is refused with the route's own reply
      {"POST", "/quickaccess/syncvalue", R"({"key":"my_site","json":"{}"})", 500, "'err':'not an array'"},
      {"POST", "/quickaccess/qa?with_ver=1", "[]", 500, "'err':'param error'"},
      {"POST", "/quickaccess/qa?with_ver=1", R"({"my_site":[],"version":1})", 500, "'err':'param error'"},
      {"POST", "/quickaccess/qa?with_ver=1", R"({"my_site":"[]","version":"7"})", 500, "'err':'param error'"},
      {"POST", "/quickaccess/qa?with_ver=1", R"({"my_site":"[]"})", 500, "'err':'param error'"},
      {"POST", "/quickaccess/qa", "{\"a\":", 500, "'err':'* Line 1, Column 6 Syntax error: Malformed token'"},
      {"POST", "/quickaccess/qa", "{}", 500, "'err':'not an array'"},
      {"POST", "/quickaccess/default", "not json", 400, "{}"},
      {"POST", "/quickaccess/sync", "[]", 400, "'err':'Json format error.'"},
      {"POST", "/quickaccess/sync", R"({"app":"rkfasx","data":[]})", 400, "'err':'no app key'"},
      {"POST", "/quickaccess/sync", R"({"app":1,"data":[]})", 400, "'err':'no app key'"},
      {"POST", "/quickaccess/sync", R"({"app":"rkfas","data":{}})", 400, "'err':'no data key'"},
      {"POST", "/quickaccess/sync", R"({"app":"rkfas"})", 400, "'err':'no data key'"},
  };
  for (const auto& c : cases) {
    const std::string context = c.method + " " + c.target + " " + c.body;
    const HttpReply reply = rktest::Request(port_, c.method, c.target,
                                            {{"UserName", "ann"}, {"Content-Type", "application/json"}}, c.body);
    EXPECT_EQ(reply.status, c.status) << context;
    EXPECT_EQ(reply.body, c.reply) << context;
    ExpectCommonHeaders(reply, context);
  }
  // Not JSON at all: the reader's own message.
  const HttpReply reply = Post("/quickaccess/sync", "nope");
  EXPECT_EQ(reply.status, 500);
  EXPECT_EQ(reply.body.rfind("'err':'[json.exception.parse_error.101] parse error at line 1, column 2", 0), 0)
      << reply.body;

  EXPECT_EQ(Get("/quickaccess/qa").body, "");  // nothing was stored by any of them
  EXPECT_TRUE(Notifications().empty());
  const std::string log = Log();
  EXPECT_NE(log.find("[warning] Not supported in rk6:/quickaccess/thumbexists"), std::string::npos);
  EXPECT_NE(log.find("[error] key not exists"), std::string::npos);
  EXPECT_NE(log.find("[error] not an array"), std::string::npos);
}

TEST_F(QaHandler, TreesKeepOrGetFolderIdsAndVersionsGoWithTheirTree) {
  // A first tree with a folder that lacks "folderId": stored compact, keys in
  // order, with a new lower-case identifier; no version, nobody told.
  ASSERT_EQ(Post("/quickaccess/qa?with_ver=1",
                 R"({"my_site":"[ {\"title\":\"F\",\"children\":[]}, {\"url\":\"u\",\"title\":\"t\"} ]","version":3})")
                .body,
            "{}");
  const std::string stored = Get("/quickaccess/qa").body;
  const std::string head = R"([{"children":[],"folderId":")";
  const std::string tail = R"(","title":"F"},{"title":"t","url":"u"}])";
  ASSERT_EQ(stored.size(), head.size() + 36 + tail.size()) << stored;
  EXPECT_EQ(stored.substr(0, head.size()), head);
  EXPECT_EQ(stored.substr(head.size() + 36), tail);
  EXPECT_TRUE(IsFolderId(stored.substr(head.size(), 36))) << stored;
  EXPECT_EQ(Get("/quickaccess/syncvalue?key=version").body, "");
  web::json::value with_version = web::json::value::object();
  with_version["my_site"] = web::json::value::string(stored);
  with_version["version"] = web::json::value::number(0);
  EXPECT_EQ(Get("/quickaccess/qa?with_ver=1").body, with_version.serialize());
  EXPECT_TRUE(Notifications().empty());

  // The same tree with its members in another order: equal, nothing written.
  const auto rows = StoredRows(DataFile());
  const web::json::value parsed = web::json::value::parse(stored);
  std::string reordered = "[{\"title\":\"F\",\"folderId\":" + parsed.at(0).at("folderId").serialize() +
                          ",\"children\":[]},{\"url\":\"u\",\"title\":\"t\"}]";
  EXPECT_EQ(Post("/quickaccess/qa?from_id=r", reordered).body, "{}");
  EXPECT_EQ(StoredRows(DataFile()), rows);
  EXPECT_TRUE(Notifications().empty());

  // Folders that all carry "folderId" are stored byte for byte.
  const std::string exact = "[ {\"folderId\": \"kept\", \"title\":\"G\", \"children\": [ ] } ]";
  EXPECT_EQ(Post("/quickaccess/qa?from_id=abc", exact).body, "{}");
  EXPECT_EQ(Get("/quickaccess/qa").body, exact);
  EXPECT_EQ(Notifications(), std::vector<std::string>{NotifyLine("&from_id=abc")});

  // A different tree with its version: both stored.
  EXPECT_EQ(Post("/quickaccess/qa?with_ver=1", R"({"my_site":"[]","version":7})").body, "{}");
  EXPECT_EQ(Get("/quickaccess/qa?with_ver=1").body, R"({"my_site":"[]","version":7})");
  EXPECT_EQ(StoredRows(DataFile())["version"], Utf16Bytes(u"7"));

  // The version is read up to its first non-digit; an empty one is 0.
  const struct {
    std::string text;
    int version;
  } versions[] = {{"12abc", 12}, {"  -4", -4}, {"x1", 0}, {"", 0}};
  for (const auto& v : versions) {
    ASSERT_EQ(Post("/quickaccess/syncvalue", R"({"key":"version","json":")" + v.text + "\"}").body, "{}");
    EXPECT_EQ(Get("/quickaccess/qa?with_ver=1").body,
              R"({"my_site":"[]","version":)" + std::to_string(v.version) + "}")
        << v.text;
  }
}

TEST_F(QaHandler, NotifiesOnTheFourOccasionsAndNeverOnFailures) {
  const struct {
    std::string what, target, body;
    std::vector<std::string> expected;  // notifications this step adds
  } steps[] = {
      {"default into an empty store", "/quickaccess/default?from_id=abc", R"([{"url":"a","title":"A"}])",
       {NotifyLine("&from_id=abc&value=99881")}},
      {"default over a tree", "/quickaccess/default?from_id=abc", "[]", {}},
      {"an equal tree", "/quickaccess/qa?from_id=q", R"([{"title":"A","url":"a"}])", {}},
      {"a different tree, raw from_id", "/quickaccess/qa?from_id=x%20y&with_ver=0", "[]",
       {NotifyLine("&from_id=x%20y")}},
      {"another key", "/quickaccess/syncvalue", R"({"key":"other","json":"1"})", {}},
      {"my_site by key", "/quickaccess/syncvalue", R"({"key":"my_site","json":"[1]"})", {kNotifyLine}},
      {"a failed syncvalue", "/quickaccess/syncvalue", R"({"key":"my_site","json":"{}"})", {}},
      {"a failed qa", "/quickaccess/qa?from_id=f", "[", {}},
      {"an import that changes", "/quickaccess/sync",
       R"({"app":"rkfas","data":[{"key":"k","value":"YQA","value_type":"binary"}]})", {kNotifyLine}},
      {"an import that changes nothing", "/quickaccess/sync?version=5",
       R"({"app":"rkfas","data":[{"key":"k","value":"YQA","value_type":"binary"}]})", {}},
      {"an import told not to notify", "/quickaccess/sync?notify=0",
       R"({"app":"rkfas","data":[{"key":"k","value":"YgA","value_type":"binary"}]})", {}},
      {"an import told to notify", "/quickaccess/sync?notify=1",
       R"({"app":"rkfas","data":[{"key":"k","value":"YwA","value_type":"binary"}]})", {kNotifyLine}},
      {"a refused import", "/quickaccess/sync", R"({"app":"x","data":[]})", {}},
  };
  std::vector<std::string> expected;
  for (const auto& step : steps) {
    const HttpReply reply = Post(step.target, step.body);
    expected.insert(expected.end(), step.expected.begin(), step.expected.end());
    EXPECT_EQ(Notifications(), expected) << step.what << ": " << reply.status << " " << reply.body;
  }
  for (const rktest::NotifyRequest& request : notify_.Requests()) {
    EXPECT_EQ(request.Header("UserName"), "ann");
    EXPECT_TRUE(request.body.empty());
  }
  EXPECT_EQ(Get("/quickaccess/syncvalue?key=version").body, "5");
}

TEST_F(QaHandler, SilentNotifyHostHoldsOnlyTheRequestsOwnThreadForTheTimeOut) {
  RkQAHandler::SetNotifyTimeoutsForTesting(std::chrono::milliseconds(2000), std::chrono::milliseconds(1500));
  rktest::NotifyReply silent;
  silent.silent = true;
  notify_.SetReply(silent);
  ASSERT_EQ(Post("/quickaccess/qa", "[]").body, "{}");

  // The reply comes although the notify host never answers.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Post("/quickaccess/syncvalue", R"({"key":"my_site","json":"[2]"})").body, "{}");
  EXPECT_EQ(Get("/quickaccess/qa").body, "[2]");  // other requests are served meanwhile
  Settle();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  ASSERT_EQ(notify_.Requests().size(), 1u);
  EXPECT_EQ(notify_.Requests()[0].request_line, kNotifyLine);
  EXPECT_NE(Log().find("[error] Send sync notify  :"), std::string::npos);
}

TEST_F(QaHandler, NotifyAnswersAreOnlyLogged) {
  rktest::NotifyReply missing;
  missing.status = 404;
  missing.body = "gone";
  notify_.SetReply(missing);
  ASSERT_EQ(Post("/quickaccess/qa", "[]").body, "{}");
  EXPECT_EQ(Post("/quickaccess/qa", "[1]").body, "{}");
  EXPECT_EQ(Notifications().size(), 1u);
  const std::string log = Log();
  EXPECT_NE(log.find("[trace] qa notify response: 404  gone"), std::string::npos);
  EXPECT_EQ(log.find("Send sync notify"), std::string::npos);
}

TEST_F(QaHandler, DefaultTreeIsNotExportedAsTextUntilAPostWrites) {
  ASSERT_EQ(Post("/quickaccess/default", "[]").body, "{}");
  const HttpReply refused = Get("/quickaccess/sync?new=1");
  EXPECT_EQ(refused.status, 500);
  EXPECT_EQ(refused.body, "'err':'default qa not synced'");
  ExpectCommonHeaders(refused, "sync new=1");
  EXPECT_NE(Log().find("[warning] default qa not synced"), std::string::npos);
  // The Base64 export is not held back.
  EXPECT_EQ(Get("/quickaccess/sync").status, 200);

  // A POST that then fails still clears the flag.
  EXPECT_EQ(Post("/quickaccess/sync", "{}").status, 400);
  const HttpReply text = Get("/quickaccess/sync?new=1");
  EXPECT_EQ(text.status, 200);
  EXPECT_EQ(text.body, R"({"app":"rkfas","data":[{"key":"my_site","value":"[]","value_type":"binary"}],"ver":1})");
}

constexpr char kReadFailed[] = "'err':'can not read quick access data'";

// A store whose data file cannot be opened answers failures, never an empty
// tree, and opens as soon as what was in the way is gone.
TEST_F(QaHandler, AStoreThatCannotOpenFailsUntilItOpens) {
  Stop();
  fs::create_directories(DataFile("bob"));  // a folder where the data file goes
  Start();
  const RouteCase cases[] = {
      {"GET", "/quickaccess/qa", "", 500, kReadFailed},
      {"GET", "/quickaccess/qa?with_ver=1", "", 500, kReadFailed},
      {"GET", "/quickaccess/syncvalue?key=my_site", "", 500, kReadFailed},
      {"GET", "/quickaccess/sync", "", 500, "'err':'can not get all sync'"},
      {"POST", "/quickaccess/qa", "[]", 500, kReadFailed},
      {"POST", "/quickaccess/default", "[]", 500, kReadFailed},
      {"POST", "/quickaccess/syncvalue", R"({"key":"my_site","json":"[]"})", 500, "'err':'SetSyncValue failed.'"},
      {"POST", "/quickaccess/sync", R"({"app":"rkfas","data":[]})", 500, "'err':'can not get all sync'"},
  };
  for (const auto& c : cases) {
    const HttpReply reply = rktest::Request(port_, c.method, c.target,
                                            {{"UserName", "bob"}, {"Content-Type", "text/plain"}}, c.body);
    EXPECT_EQ(reply.status, c.status) << c.target;
    EXPECT_EQ(reply.body, c.reply) << c.target;
    ExpectCommonHeaders(reply, c.target);
  }
  EXPECT_TRUE(Notifications("bob").empty());
  const std::string log = Log();
  EXPECT_NE(log.find("[error] load data file error:" + DataFile("bob").string()), std::string::npos);
  EXPECT_NE(log.find("[error] can not getall  sync"), std::string::npos);
  EXPECT_NE(log.find("[error] can not read quick access data"), std::string::npos);

  // The same handler opens the file on its next request.
  fs::remove(DataFile("bob"));
  EXPECT_EQ(Get("/quickaccess/qa", "bob").status, 200);
  EXPECT_EQ(Get("/quickaccess/qa", "bob").body, "");
  EXPECT_EQ(Post("/quickaccess/qa", "[1]", "bob").body, "{}");
  EXPECT_EQ(Get("/quickaccess/qa", "bob").body, "[1]");
  EXPECT_TRUE(fs::is_regular_file(DataFile("bob")));
}

// While another connection holds the file's write lock every read fails (after
// the engine's busy wait). A failed read is no "no tree": it is answered as a
// failure, changes nothing, and is not served again once the lock is gone.
TEST_F(QaHandler, AReadThatFailedIsAnsweredAsAFailureAndNotKept) {
  const std::string tree = R"([{"url":"mine","title":"M"}])";
  ASSERT_EQ(Post("/quickaccess/qa", tree).body, "{}");
  ASSERT_EQ(Post("/quickaccess/qa", "[]").body, "{}");
  ASSERT_EQ(Post("/quickaccess/qa?from_id=w", tree).body, "{}");  // written last: nothing kept yet
  const std::vector<std::string> told = Notifications();
  const auto rows = StoredRows(DataFile());
  // Runs `requests` while a connection of the test's own holds the write lock.
  auto while_locked = [&](const std::function<void()>& requests) {
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open_v2(DataFile().c_str(), &holder, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr), SQLITE_OK);
    requests();
    sqlite3_exec(holder, "ROLLBACK;", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
  };

  while_locked([&] {
    const HttpReply read = Get("/quickaccess/qa");
    EXPECT_EQ(read.status, 500);
    EXPECT_EQ(read.body, kReadFailed);
    ExpectCommonHeaders(read, "locked read");
  });
  EXPECT_EQ(Get("/quickaccess/qa").body, tree);
  // The default tree never goes over the user's sites.
  EXPECT_EQ(Post("/quickaccess/default?from_id=d", R"([{"url":"default","title":"D"}])").body, "{}");
  EXPECT_NE(Log().find("[warning] set default qa, but local not empty"), std::string::npos);

  // Nor does the first-tree path take a failed read for an empty store.
  while_locked([&] {
    const HttpReply first = Post("/quickaccess/qa", "[]");
    EXPECT_EQ(first.status, 500);
    EXPECT_EQ(first.body, kReadFailed);
  });
  EXPECT_EQ(Get("/quickaccess/qa").body, tree);
  EXPECT_EQ(StoredRows(DataFile()), rows);
  EXPECT_EQ(Notifications(), told);
}

// Two services over one root keep their own stores on the same file: each
// serves what the other wrote, and a change back to an earlier tree is a
// change.
TEST_F(QaHandler, TwoServicesOverOneRootSeeEachOthersWrites) {
  const int other = rktest::FreeLoopbackPort();
  Start("qa2", other);
  ASSERT_EQ(Post("/quickaccess/qa", "[1]").body, "{}");
  EXPECT_EQ(Get("/quickaccess/qa", "ann", other).body, "[1]");
  EXPECT_EQ(Get("/quickaccess/qa").body, "[1]");
  ASSERT_EQ(Post("/quickaccess/qa?from_id=b", "[2]", "ann", "application/json", other).body, "{}");
  EXPECT_EQ(Notifications(), std::vector<std::string>{NotifyLine("&from_id=b")});
  EXPECT_EQ(Get("/quickaccess/qa").body, "[2]");
  EXPECT_EQ(Get("/quickaccess/qa?with_ver=1").body, R"({"my_site":"[2]","version":0})");
  // Back to the first tree through the first service: not equal to what is stored.
  ASSERT_EQ(Post("/quickaccess/qa?from_id=a", "[1]").body, "{}");
  EXPECT_EQ(Get("/quickaccess/qa", "ann", other).body, "[1]");
  EXPECT_EQ(Notifications(), (std::vector<std::string>{NotifyLine("&from_id=b"), NotifyLine("&from_id=a")}));
  ASSERT_EQ(Post("/quickaccess/syncvalue", R"({"key":"my_site","json":"[3]"})", "ann", "application/json", other)
                .body,
            "{}");
  EXPECT_EQ(Get("/quickaccess/qa").body, "[3]");
}

// The factory's own row: users get their folders, and concurrent writers of
// one user lose nothing.
TEST(QaFactory, MakesEachUsersFolderAndServesConcurrentWriters) {
  const fs::path root = fs::path(testing::TempDir()) / ("rk_qa_factory_" + std::to_string(getpid()));
  fs::remove_all(root);
  fs::create_directories(root);
  rktest::NotifyTestServer notify;
  const int port = rktest::FreeLoopbackPort();
  ASSERT_TRUE(rktest::StartInProcessService("qa", port, root.string(), notify.host()));

  for (const std::string user : {"ann", "bob"}) {
    const HttpReply reply = rktest::Request(port, "GET", "/quickaccess/qa", {{"UserName", user}});
    EXPECT_EQ(reply.status, 200);
    EXPECT_TRUE(fs::is_regular_file(root / user / "QuickAccess" / "QaConfig.dat")) << user;
  }

  // Imports that merge one new site each, all at once: every site arrives.
  ASSERT_EQ(rktest::Request(port, "POST", "/quickaccess/qa", {{"UserName", "ann"}, {"Content-Type", "text/plain"}},
                            R"([{"url":"base","title":"b"}])")
                .status,
            200);
  constexpr int kWriters = 12;
  std::vector<std::thread> writers;
  for (int i = 0; i < kWriters; ++i) {
    writers.emplace_back([port, i] {
      const std::string tree = "[{\"url\":\"u" + std::to_string(i) + "\",\"title\":\"t\"}]";
      const std::string body = R"({"app":"rkfas","data":[{"key":"my_site","value":")" +
                               Base64EncodeString(Utf16Bytes(Utf8ToWide(tree))) + R"(","value_type":"binary"}]})";
      rktest::Request(port, "POST", "/quickaccess/sync?merge=1",
                      {{"UserName", "ann"}, {"Content-Type", "text/plain"}}, body);
    });
  }
  for (std::thread& writer : writers) writer.join();
  const web::json::value tree = web::json::value::parse(
      rktest::Request(port, "GET", "/quickaccess/qa", {{"UserName", "ann"}}).body);
  EXPECT_EQ(tree.as_array().size(), static_cast<size_t>(kWriters + 1));

  RkServiceManager::GetInstance()->RemoveAllService();
  fs::remove_all(root);
}

}  // namespace
}  // namespace qatest
}  // namespace rkservice
