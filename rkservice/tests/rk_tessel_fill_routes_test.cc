// The form-fill routes over HTTP: replies and log lines route by route, the
// cards as SQLite holds them, the change notifications on the wire, and the
// 503 of a user whose stores cannot be opened.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "handlers/rk_tessel_fill_store.h"
#include "rk_utils.h"
#include "rk_tessel_fill_test_support.h"

namespace rktest {
namespace {

using Cards = std::vector<std::pair<std::string, std::string>>;

std::string Pwd(const std::string& type, const std::string& content, const std::string& password = "pw") {
  return nlohmann::json({{"type", type}, {"user_pwd", password}, {"content", content}}).dump();
}

// Sends the raw request `count` times, one after another, on one kept-alive
// connection to 127.0.0.1:port; the number answered with 200.
int KeptAlive(int port, const std::string& request, int count) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  timeval timeout{20, 0};  // only a hang reaches it
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  int answered = 0;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
    std::string data;
    char buffer[65536];
    auto fill = [&](size_t size) {
      while (data.size() < size) {
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n <= 0) return false;
        data.append(buffer, static_cast<size_t>(n));
      }
      return true;
    };
    for (int i = 0; i < count; ++i) {
      if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) break;
      size_t head_end;
      while ((head_end = data.find("\r\n\r\n")) == std::string::npos) {
        if (!fill(data.size() + 1)) break;
      }
      if (head_end == std::string::npos) break;
      const size_t length_at = data.find("Content-Length: ");
      const size_t length = length_at < head_end ? std::stoul(data.substr(length_at + 16)) : 0;
      if (!fill(head_end + 4 + length)) break;
      answered += data.compare(0, 12, "HTTP/1.1 200") == 0 ? 1 : 0;
      data.erase(0, head_end + 4 + length);
    }
  }
  close(fd);
  return answered;
}

TEST_F(TesselFillTest, RoutesAnswerAsTheirTablesSay) {
  const struct {
    const char* method;
    std::string target;
    std::string body;
    int status;
    std::string reply;
    std::string log;  // a line that must have been logged, if any
  } cases[] = {
      {"GET", "/tesselfill/common/auth_info", "", 200, "[]", ""},
      {"POST", "/tesselfill/common/auth_info", R"({"key":"id-1"})", 200, "{}", ""},
      {"GET", "/tesselfill/common/auth_info", "", 200, "id-1", ""},
      {"POST", "/tesselfill/common/auth_info", "{}", 400, "", ""},
      {"POST", "/tesselfill/common/auth_info", "[1]", 400, "", ""},
      {"POST", "/tesselfill/common/auth_info", R"({"key":7})", 400, "", ""},
      {"GET", "/tesselfill/common/auth_info", "", 200, "id-1", ""},
      // Cards of both types; listed in key order, not in the order added.
      {"POST", "/tesselfill/card/add_or_update", R"({"type":"account","key":"b","value":"{\"n\":2}"})", 200, "{}", ""},
      {"POST", "/tesselfill/card/add_or_update", R"({"type":"account","key":"a","value":"{\"n\":1}"})", 200, "{}", ""},
      {"POST", "/tesselfill/card/add_or_update", R"({"type":"secret","key":"s","value":"[true]"})", 200, "{}", ""},
      {"GET", "/tesselfill/card/all?type=account", "", 200, R"([{"n":1},{"n":2}])", ""},
      {"GET", "/tesselfill/card/all?type=secret", "", 200, "[[true]]", ""},
      {"POST", "/tesselfill/card/add_or_update", R"({"type":"account","key":"b","value":"{\"n\":3}"})", 200, "{}", ""},
      {"GET", "/tesselfill/card/all?x=1&type=account", "", 200, R"([{"n":1},{"n":3}])", ""},
      // A value that is not one JSON value stays out of the list.
      {"POST", "/tesselfill/card/add_or_update", R"({"type":"account","key":"c","value":"1},{\"u\":\"fake\""})", 200,
       "{}", ""},
      {"GET", "/tesselfill/card/all?type=account", "", 200, R"([{"n":1},{"n":3}])",
       "card c does not hold one JSON value; left out of the list"},
      {"GET", "/tesselfill/card/all", "", 400, "{}", "need query `type`"},
      {"GET", "/tesselfill/card/all?type=Account", "", 400, "{}", "type error"},
      {"GET", "/tesselfill/card/all/?type=account", "", 404, "{}", ""},
      {"POST", "/tesselfill/card/all", "", 404, "{}", ""},
      {"GET", "/tesselfill/other", "", 404, "{}", ""},
      {"PUT", "/tesselfill/card", "", 404, "{}", ""},
      // Bad types, missing keys, mistyped members.
      {"POST", "/tesselfill/card/add_or_update", R"({"type":"","key":"k","value":"1"})", 400, "{}", "param error"},
      {"POST", "/tesselfill/card/add_or_update", R"({"type":"Secret","key":"k","value":"1"})", 400, "{}", "param error"},
      {"POST", "/tesselfill/card/add_or_update", R"({"type":"secret","key":"k"})", 400, "{}", "param error"},
      {"POST", "/tesselfill/card/add_or_update", R"({"type":"secret","key":1,"value":"1"})", 400, "{}", ""},
      {"POST", "/tesselfill/card/add_or_update", "not json", 400, "{}", ""},
      {"DELETE", "/tesselfill/card", R"({"type":"account","key":""})", 400, "{}", "param error"},
      {"DELETE", "/tesselfill/card", R"({"key":"a"})", 400, "{}", "param error"},
      {"DELETE", "/tesselfill/card", R"({"type":"other","key":"a"})", 400, "{}", "param error"},
      {"DELETE", "/tesselfill/card", R"({"type":"account","key":["a"]})", 400, "{}", ""},
      {"DELETE", "/tesselfill/card", R"({"type":"account","key":"b"})", 200, "{}", ""},
      {"DELETE", "/tesselfill/card", R"({"type":"account","key":"never"})", 200, "{}", ""},
      {"GET", "/tesselfill/card/all?type=account", "", 200, R"([{"n":1}])", ""},
      {"PUT", "/tesselfill/pwd_operation", Pwd("Encrypt", "[]"), 400, "{}", "params error"},
      {"PUT", "/tesselfill/pwd_operation", R"({"type":"encrypt","content":"[]"})", 400, "{}", "params error"},
      {"PUT", "/tesselfill/pwd_operation", Pwd("encrypt", "{}"), 400, "{}", "not an array"},
      {"PUT", "/tesselfill/pwd_operation", Pwd("decrypt", "[{},1]"), 400, "{}",
       "content items must be objects of strings"},
      {"PUT", "/tesselfill/pwd_operation", Pwd("encrypt", R"([{"a":"x","b":2}])"), 400, "{}",
       "content items must be objects of strings"},
      {"PUT", "/tesselfill/pwd_operation", Pwd("encrypt", "[]"), 200, "[]", ""},
      {"PUT", "/tesselfill/pwd_operation", Pwd("decrypt", "[{},{}]"), 200, "[{},{}]", ""},
  };
  for (const auto& c : cases) {
    const std::string what = std::string(c.method) + " " + c.target + " " + c.body;
    log_->Clear();
    const HttpReply reply = Call(c.method, c.target, c.body);
    EXPECT_EQ(reply.status, c.status) << what;
    EXPECT_EQ(reply.body, c.reply) << what;
    EXPECT_EQ(reply.Header("access-control-allow-origin"), "*") << what;
    if (!c.log.empty()) {
      EXPECT_TRUE(Logged(c.log)) << what << " should log: " << c.log;
    }
  }
  // Keys and values as SQLite holds them; only keys new to a store are
  // recorded as not yet synchronised, and a deleted key leaves the record.
  EXPECT_EQ(Stored(kAccountFile), (Cards{{"a", R"({"n":1})"}, {"c", R"(1},{"u":"fake")"}}));
  EXPECT_EQ(Unsynced(kAccountFile), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(Stored(kSecretFile), (Cards{{"s", "[true]"}}));
  EXPECT_EQ(Stored(kCommonFile), (Cards{{"browser.global.user_identity", "id-1"}}));
}

// `open` `depth` times, a 0, then `close` as often.
std::string Nested(int depth, const std::string& open, const std::string& close) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += open;
  text += "0";
  for (int i = 0; i < depth; ++i) text += close;
  return text;
}

TEST_F(TesselFillTest, CardListHoldsOnlyValuesThatAreOneJsonValue) {
  // nlohmann-json's strict reader says which values are; the list must agree,
  // but for lone surrogate escapes, which the reader refuses and the JSON
  // grammar allows (JSON.stringify writes them for a string cut inside an
  // emoji).
  const std::set<std::string> lone_surrogates = {R"("\ud83d")", R"("\ude00")", R"("\ud83d\u0041")",
                                                 R"(["x\uD83D",{"\udc00":"\ud800\ud800\udc00"}])"};
  const std::string values[] = {
      "{}", "[]", "0", "-0.5e+10", "1E5", R"("text")", "true", " null\n",
      R"({"a":[1,{"b":"\u00e9\ud83d\ude00"}],"c":false})", R"("\"\\\/\b\f\n\r\t\u0000")", u8"\"é😀中\"",
      std::string(100, '[') + std::string(100, ']'),
      "", " ", "{", R"({"a":1,})", "[1,]", "1 2", "{} {}", "01", "1.", ".5", "-", "+1", "NaN", "tru", "nul",
      R"("unterminated)", "\"a\x01b\"", R"("\x")", R"("\u12")", R"("\ud83d")", R"("\ude00")",
      R"("\ud83d\u0041")", "\"\xC3\"", "\"\xC0\xAF\"", "\"\xED\xA0\x80\"", "\"\xF4\x90\x80\x80\"",
      "\"\xFF\"", "/* c */ 1", "{'a':1}", "[1]]", R"({"a" 1})", "{1:2}", "[1,,2]", "-01", "1e", "\"\t\"",
      R"(["x\uD83D",{"\udc00":"\ud800\ud800\udc00"}])", R"("\ud83d)", R"("\ud83d\u")", R"("\ud83d\uZZZZ")",
      // Nesting of any depth, and containers that close wrong.
      Nested(513, "[", "]"), Nested(100000, "[", "]"), Nested(600, R"({"a":[)", "]}"), Nested(600, "[", "]") + "]",
      std::string(600, '[') + "0" + std::string(599, ']'), std::string(70, '[') + R"({"a":0])" + std::string(70, ']'),
      "[}", R"({"a":1])", R"([{"a":[1}])", R"({"a" : [ ] , "b" : { } })",
  };
  nlohmann::json items = nlohmann::json::array();
  std::string expected = "[";
  char key[8];
  int n = 0;
  for (const std::string& value : values) {
    std::snprintf(key, sizeof(key), "k%03d", n++);
    items.push_back({{"key", key}, {"value", rkservice::Base64EncodeString(value)}});
    if (nlohmann::json::accept(value) || lone_surrogates.count(value) != 0) {
      expected += (expected.size() > 1 ? "," : "") + value;
    }
  }
  expected += "]";
  ASSERT_EQ(Import("account", items.dump()).status, 200);
  EXPECT_EQ(Call("GET", "/tesselfill/card/all?type=account").body, expected);
}

// A card value with a lone surrogate escape is valid JSON and is listed as it
// is. In a request body the same escape is read as U+FFFD, as UTF-16 text
// takes it, and so is a byte that is not UTF-8.
TEST_F(TesselFillTest, LoneSurrogatesInBodiesReadAsReplacementCharacters) {
  ASSERT_EQ(AddCard("account", "a", R"("x\ud83d")").status, 200);
  ASSERT_EQ(AddCard("account", "b", R"(["\udc00",{"\ud800\ud800\udc00":1}])").status, 200);
  EXPECT_EQ(Call("GET", "/tesselfill/card/all?type=account").body, R"(["x\ud83d",["\udc00",{"\ud800\ud800\udc00":1}]])");

  // Bodies as a page sends them.
  const struct {
    std::string body;
    std::string key;
  } cards[] = {
      {R"({"type":"secret","key":"k\ud83d","value":"1"})", "k\xEF\xBF\xBD"},
      {R"({"type":"secret","key":"l\udc00","value":"2"})", "l\xEF\xBF\xBD"},
      {R"({"type":"secret","key":"m\ud800\u0041","value":"3"})", "m\xEF\xBF\xBD" "A"},
      {R"({"type":"secret","key":"n\ud83d\ude00","value":"4"})", "n\xF0\x9F\x98\x80"},
      {R"({"type":"secret","key":"o\\ud800","value":"5"})", "o\\ud800"},
      {"{\"type\":\"secret\",\"key\":\"p\xFF\",\"value\":\"6\"}", "p\xEF\xBF\xBD"},
  };
  Cards expected;
  for (const auto& card : cards) {
    const HttpReply reply = Call("POST", "/tesselfill/card/add_or_update", card.body);
    EXPECT_EQ(reply.status, 200) << card.body;
    EXPECT_EQ(reply.body, "{}") << card.body;
    expected.emplace_back(card.key, card.body.substr(card.body.size() - 3, 1));
  }
  EXPECT_EQ(Stored(kSecretFile), expected);

  ASSERT_EQ(Call("POST", "/tesselfill/common/auth_info", R"({"key":"id\ud800"})").status, 200);
  EXPECT_EQ(Call("GET", "/tesselfill/common/auth_info").body, "id\xEF\xBF\xBD");

  // The password and the values inside "content" alike.
  const HttpReply lone = Call("PUT", "/tesselfill/pwd_operation",
                              R"({"type":"encrypt","user_pwd":"pw\ud800","content":"[{\"a\":\"x\\ud83d\"}]"})");
  const HttpReply replaced = Call("PUT", "/tesselfill/pwd_operation", Pwd("encrypt", "[{\"a\":\"x\xEF\xBF\xBD\"}]",
                                                                          "pw\xEF\xBF\xBD"));
  EXPECT_EQ(lone.status, 200) << lone.body;
  EXPECT_EQ(replaced.status, 200);
  EXPECT_EQ(lone.body, replaced.body);
}

// What the store takes it lists, however deep the value nests.
TEST_F(TesselFillTest, CardsOfAnyDepthAreListed) {
  const std::string deep = Nested(513, "[", "]");
  const std::string deeper = Nested(100000, R"({"a":)", "}");
  ASSERT_EQ(AddCard("account", "a", deep).status, 200);
  ASSERT_EQ(AddCard("account", "b", deeper).status, 200);
  EXPECT_EQ(Call("GET", "/tesselfill/card/all?type=account").body, "[" + deep + "," + deeper + "]");
}

TEST_F(TesselFillTest, NonAsciiCardsComeBackUnchanged) {
  const std::string key = u8"clé-名前";
  const std::string value = u8R"({"name":"Zoë 😀","city":"東京"})";
  ASSERT_EQ(AddCard("secret", key, value).status, 200);
  EXPECT_EQ(Stored(kSecretFile), (Cards{{key, value}}));
  EXPECT_EQ(Call("GET", "/tesselfill/card/all?type=secret").body, "[" + value + "]");
}

TEST_F(TesselFillTest, EachCardChangeNotifiesOnceBeforeItsReply) {
  auto notified = [this] { return notify_.Requests().size(); };
  const struct {
    const char* what;
    std::function<HttpReply()> call;
    int status;
    const char* caller;  // null: no notification
  } steps[] = {
      {"add account card", [&] { return AddCard("account", "k", "{}"); }, 200, "tessel_account"},
      {"replace it", [&] { return AddCard("account", "k", "[]"); }, 200, "tessel_account"},
      {"add secret card", [&] { return AddCard("secret", "k", "{}"); }, 200, "tessel_secret"},
      {"delete secret card",
       [&] { return Call("DELETE", "/tesselfill/card", R"({"type":"secret","key":"k"})"); }, 200, "tessel_secret"},
      {"delete absent card",
       [&] { return Call("DELETE", "/tesselfill/card", R"({"type":"account","key":"none"})"); }, 200,
       "tessel_account"},
      {"refused card", [&] { return AddCard("neither", "k", "{}"); }, 400, nullptr},
      {"identity", [&] { return Call("POST", "/tesselfill/common/auth_info", R"({"key":"me"})"); }, 200, nullptr},
      {"list", [&] { return Call("GET", "/tesselfill/card/all?type=account"); }, 200, nullptr},
      {"export", [&] { return Export("account"); }, 200, nullptr},
      {"import", [&] { return Import("secret", R"([{"key":"x","value":"YQ"}])"); }, 200, nullptr},
      {"encrypt", [&] { return Call("PUT", "/tesselfill/pwd_operation", Pwd("encrypt", R"([{"a":"b"}])")); }, 200,
       nullptr},
  };
  for (const auto& step : steps) {
    const size_t before = notified();
    const HttpReply reply = step.call();
    EXPECT_EQ(reply.status, step.status) << step.what;
    // The reply follows the notification's answer: it is already recorded.
    const std::vector<NotifyRequest> requests = notify_.Requests();
    if (step.caller == nullptr) {
      EXPECT_EQ(requests.size(), before) << step.what;
      continue;
    }
    ASSERT_EQ(requests.size(), before + 1) << step.what;
    const NotifyRequest& sent = requests.back();
    EXPECT_EQ(sent.request_line,
              std::string("GET /?action=notify&caller=") + step.caller + "&type=data_changed HTTP/1.1")
        << step.what;
    EXPECT_EQ(sent.Header("UserName"), "ann") << step.what;
    EXPECT_EQ(sent.body, "") << step.what;
  }
}

TEST_F(TesselFillTest, MoreRequestsWithBodiesThanListenerThreadsAreAllAnswered) {
  // Kept-alive connections, each sending its next request as soon as the
  // last one is answered: none of them may wait for a listener thread that
  // another one holds.
  constexpr int kConnections = 32;
  constexpr int kRequests = 30;
  const std::string body = Pwd("encrypt", nlohmann::json(std::vector<nlohmann::json>(300, {{"v", "value"}})).dump());
  const std::string request = "PUT /tesselfill/pwd_operation HTTP/1.1\r\nHost: 127.0.0.1\r\nUserName: ann\r\n"
                              "Content-Type: application/json\r\nContent-Length: " +
                              std::to_string(body.size()) + "\r\n\r\n" + body;
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < kConnections; ++i) {
    clients.emplace_back([&] { answered += KeptAlive(port_, request, kRequests); });
  }
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(answered, kConnections * kRequests);
}

// Lists are kept between requests: a list asked for after a change was
// answered must show it, whatever other writers and readers do meanwhile.
TEST_F(TesselFillTest, ListsShowEveryChangeAnsweredBeforeThem) {
  constexpr int kWriters = 6;
  constexpr int kCards = 15;
  std::atomic<int> stale{0};
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done) Call("GET", "/tesselfill/card/all?type=account");
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < kCards; ++i) {
        const std::string value = "{\"w\":" + std::to_string(w) + ",\"i\":" + std::to_string(i) + "}";
        const std::string key = "k" + std::to_string(w) + "-" + std::to_string(i);
        if (AddCard("account", key, value).status != 200) ++stale;
        if (Call("GET", "/tesselfill/card/all?type=account").body.find(value) == std::string::npos) ++stale;
        if (i % 3 == 0) {
          if (Call("DELETE", "/tesselfill/card", R"({"type":"account","key":")" + key + "\"}").status != 200) ++stale;
          if (Call("GET", "/tesselfill/card/all?type=account").body.find(value) != std::string::npos) ++stale;
        }
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  done = true;
  reader.join();
  EXPECT_EQ(stale, 0);
  const std::string list = Call("GET", "/tesselfill/card/all?type=account").body;
  EXPECT_EQ(nlohmann::json::parse(list).size(), static_cast<size_t>(kWriters * (kCards - (kCards + 2) / 3))) << list;
}

// Two services over one root: each keeps its own stores on the same files,
// and each one's list shows the cards the other added, imported or deleted.
TEST_F(TesselFillTest, ListsShowWhatAnotherServiceChanged) {
  const int other = FreeLoopbackPort();
  StartService("fill2", other);
  auto list = [&](int port) { return Call("GET", "/tesselfill/card/all?type=account", {}, "ann", port).body; };
  EXPECT_EQ(list(port_), "[]");
  ASSERT_EQ(AddCard("account", "a", "1", "ann", other).status, 200);
  EXPECT_EQ(list(port_), "[1]");
  ASSERT_EQ(Call("POST", "/tesselfill/sync/account/set", R"([{"key":"b","value":"Mg=="}])", "ann", other).status,
            200);
  EXPECT_EQ(list(port_), "[1,2]");
  ASSERT_EQ(Call("DELETE", "/tesselfill/card", R"({"type":"account","key":"a"})", "ann", other).status, 200);
  EXPECT_EQ(list(port_), "[2]");
  // And the other way round, the second one having listed too.
  EXPECT_EQ(list(other), "[2]");
  ASSERT_EQ(AddCard("account", "c", "3").status, 200);
  EXPECT_EQ(list(other), "[2,3]");
  EXPECT_EQ(Call("GET", "/tesselfill/card/all?type=secret", {}, "ann", other).body, "[]");
}

// The stores are opened again by each request until they open; until then
// every request is answered 503.
TEST_F(TesselFillTest, StoresThatCannotOpenAnswer503UntilTheyOpen) {
  // The secret-card store's file is a folder: the third store fails to open.
  fs::create_directories(Folder("bob") / kSecretFile);
  const struct {
    const char* method;
    const char* target;
    const char* body;
  } requests[] = {
      {"GET", "/tesselfill/common/auth_info", ""},
      {"GET", "/tesselfill/card/all?type=account", ""},
      {"GET", "/tesselfill/no/route", ""},
      {"POST", "/tesselfill/card/add_or_update", R"({"type":"account","key":"k","value":"{}"})"},
      {"PUT", "/tesselfill/pwd_operation", R"({"type":"encrypt","user_pwd":"p","content":"[]"})"},
      {"DELETE", "/tesselfill/card", R"({"type":"account","key":"k"})"},
  };
  for (const auto& r : requests) {
    const HttpReply reply = Call(r.method, r.target, r.body, "bob");
    EXPECT_EQ(reply.status, 503) << r.method << " " << r.target;
    EXPECT_EQ(reply.body, "{}") << r.method << " " << r.target;
  }
  EXPECT_TRUE(notify_.Requests().empty());
  // Another user is served as usual.
  EXPECT_EQ(AddCard("account", "k", "{}").status, 200);

  // A store object whose stores never opened takes a host and keeps it to
  // itself.
  rkservice::RkTesselFillStore store("bob", Folder("bob"));
  store.SetNotifyHost(notify_.host());
  EXPECT_FALSE(store.Init());
  store.SetNotifyHost(notify_.host());
  EXPECT_FALSE(store.SetCard(rkservice::CardType::kAccount, "k", "{}"));
  EXPECT_TRUE(Logged("unknow CardType:0"));

  // Once the folder is gone the same handler opens the stores, and its
  // senders have the host it was given before.
  fs::remove(Folder("bob") / kSecretFile);
  const size_t told = notify_.Requests().size();
  EXPECT_EQ(Call("GET", "/tesselfill/card/all?type=secret", {}, "bob").status, 200);
  EXPECT_EQ(AddCard("secret", "s", "[1]", "bob").status, 200);
  EXPECT_EQ(Call("GET", "/tesselfill/card/all?type=secret", {}, "bob").body, "[[1]]");
  ASSERT_EQ(notify_.Requests().size(), told + 1);
  EXPECT_EQ(notify_.Requests().back().Header("UserName"), "bob");
  EXPECT_TRUE(store.Init());
}

}  // namespace
}  // namespace rktest
