// The router, the handler registry and the handler base through real HTTP,
// with handler classes of the test's own added through the factory's
// test-only hook.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/rk_platform.h"
#include "platform/rk_work_pool.h"
#include "rk_handler_registry.h"
#include "rk_in_process_service.h"
#include "rk_logger.h"
#include "rk_rest_handler.h"
#include "rk_service_work.h"
#include "rk_test_http.h"
#include "rk_test_log.h"
#include "rk_test_memory.h"
#include "rk_test_wait.h"
#include "rkservice.h"

#if defined(__SANITIZE_ADDRESS__)
// Freed memory the sanitizer holds back would count as resident.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=32"; }
#endif

namespace rkservice {
namespace {

namespace fs = std::filesystem;
using rktest::HeaderList;
using rktest::HttpReply;
using web::http::http_request;

std::atomic<int> g_constructions{0};
// What a removal logs when a route it must wait for still runs.
constexpr char kWaitingForOne[] = "router stopping: waiting for 1 requests still running";
std::atomic<bool> g_second_reply_threw{false};

// A route that goes on after its reply until the test lets it end.
std::mutex g_after_reply_mutex;
std::condition_variable g_after_reply_changed;
bool g_after_reply_released = false;
bool g_after_reply_ended = false;

bool ReplyThenWaitForRelease(RkRestHandler* handler, http_request& r) {
  handler->Reply(r, 200, "{}");
  std::unique_lock<std::mutex> lock(g_after_reply_mutex);
  g_after_reply_changed.wait(lock, [] { return g_after_reply_released; });
  g_after_reply_ended = true;
  return true;
}

// Routes that wait, as on a notify host that holds its answers, until the
// test opens the gate; then they answer.
class Gate {
 public:
  void Pass(RkRestHandler* handler, http_request& r) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ++entered_;
      changed_.notify_all();
      changed_.wait(lock, [this] { return open_; });
    }
    handler->Reply(r, 200, "held");
    std::lock_guard<std::mutex> lock(mutex_);
    ++ended_;
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  int Entered() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entered_;
  }
  int Ended() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int entered_ = 0;
  int ended_ = 0;
  bool open_ = false;
};
Gate g_gate;

class ProbeHandler : public RkRestHandler {
 public:
  ProbeHandler(std::string user, fs::path folder, int delay_ms = 0)
      : user_(std::move(user)), folder_(std::move(folder)) {
    if (delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    InitRoutes();
    ++g_constructions;
  }

  void InitRoutes() override {
    get_routes_["/probe/hit"] = [this](http_request& r) { return Who(r); };
    get_routes_["/slow/hit"] = [this](http_request& r) { return Who(r); };
    get_routes_["/account/hit"] = [this](http_request& r) { return Who(r); };
    get_routes_["/updater/hit"] = [this](http_request& r) { return Who(r); };
    get_routes_["/probe/unicode"] = [this](http_request& r) {
      Reply(r, 200, "h\xC3\xA9llo \xE4\xB8\xAD");
      return true;
    };
    get_routes_["/probe/utf8"] = [this](http_request& r) {
      ReplyUtf8(r, 200, "\xC3\xA9t\xC3\xA9");
      return true;
    };
    get_routes_["/probe/throw"] = [](http_request&) -> bool { throw std::runtime_error("route failed"); };
    get_routes_["/probe/throw-int"] = [](http_request&) -> bool { throw 7; };
    get_routes_["/probe/throw-text"] = [](http_request&) -> bool { throw "text"; };
    get_routes_["/probe/twice"] = [this](http_request& r) {
      Reply(r, 200, "first");
      try {
        Reply(r, 200, "second");
      } catch (const web::http::http_exception&) {
        g_second_reply_threw = true;
      }
      return true;
    };
    post_routes_["/probe/after-reply"] = [this](http_request& r) { return ReplyThenWaitForRelease(this, r); };
    get_routes_["/probe/held"] = [this](http_request& r) {
      g_gate.Pass(this, r);
      return true;
    };
    SetWaitsOutside(web::http::methods::GET, "/probe/held");
    SetWaitsOutside(web::http::methods::POST, "/probe/after-reply");
    post_routes_["/probe/echo"] = [this](http_request& r) {
      Reply(r, 200, ReadBody(r));
      return true;
    };
    post_routes_["/probe/echo-utf8"] = [this](http_request& r) {
      ReplyUtf8(r, 200, ReadBody(r));
      return true;
    };
  }
  void HandleGet(http_request request) override { RouteRequest(get_routes_, request); }
  void HandlePost(http_request request) override { RouteRequest(post_routes_, request); }

 private:
  bool Who(http_request& r) {
    Reply(r, 200, user_ + "|" + folder_.u8string() + "|" + GetNotifyHost());
    return true;
  }
  std::string user_;
  fs::path folder_;
};

RkHandlerKind::Make MakeProbe(int delay_ms = 0) {
  return [delay_ms](const std::string& user, const fs::path& folder) {
    return new ProbeHandler(user, folder, delay_ms);
  };
}

class Router : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    using Data = RkHandlerKind::Data;
    RkAddTestHandlerKind({"probe", "Probe", true, Data::kUnderRoot, MakeProbe()});
    RkAddTestHandlerKind({"slow", "Slow", true, Data::kUnderRoot, MakeProbe(150)});
    RkAddTestHandlerKind({"account", "account", false, Data::kNone, MakeProbe()});
    RkAddTestHandlerKind({"updater", "", false, Data::kNone, MakeProbe()});
  }

  void SetUp() override {
    root_ = fs::path(testing::TempDir()) / ("rk_router_" + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
    log_ = root_ / "test.log";
    ASSERT_TRUE(RkServiceManager::GetInstance()->StartLogger(log_.string(), kRkLogTrace));
    port_ = rktest::FreeLoopbackPort();
    StartService(root_.string());
  }
  void TearDown() override {
    RkServiceManager::GetInstance()->RemoveAllService();
    fs::remove_all(root_);
  }

  void StartService(const std::string& root) {
    ASSERT_TRUE(rktest::StartInProcessService("router", port_, root, "http://127.0.0.1:9/notify"));
  }

  HttpReply Get(const std::string& target, const HeaderList& headers = {}) {
    return rktest::Request(port_, "GET", target, headers);
  }

  std::string Log() { return rktest::FlushedLog(log_); }

  static void ExpectCommonHeaders(const HttpReply& reply, const std::string& context) {
    EXPECT_EQ(reply.Header("access-control-allow-origin"), "*") << context;
    EXPECT_EQ(reply.Header("access-control-allow-methods"), "POST, PUT, GET, OPTIONS, DELETE, HEAD") << context;
    EXPECT_EQ(reply.Header("access-control-allow-headers"), "UserName") << context;
    EXPECT_EQ(reply.Header("server"), "Rk6Service/v0.1") << context;
    EXPECT_EQ(reply.Header("content-type"), "text/plain; charset=utf-8") << context;
  }

  fs::path root_;
  fs::path log_;
  int port_ = 0;
};

TEST_F(Router, EarlyRepliesDispatchAndTheirStatusCodes) {
  const std::string user_folder = (root_ / "ann" / "Probe").u8string();
  const struct {
    const char* what;
    std::string method, target;
    HeaderList headers;
    int status;
    std::string body;
  } cases[] = {
      {"no segments", "GET", "/", {}, 200, "{}"},
      {"only slashes", "GET", "//", {{"UserName", "ann"}}, 200, "{}"},
      {"preflight without user", "OPTIONS", "/kivvet/notes", {}, 200, "{}"},
      {"preflight of a handled segment", "OPTIONS", "/probe/hit", {}, 200, "{}"},
      {"no user", "GET", "/kivvet/notes", {}, 400, "{}"},
      {"empty user", "GET", "/probe/hit", {{"UserName", ""}}, 400, "{}"},
      {"route", "GET", "/probe/hit", {{"UserName", "ann"}}, 200, "ann|" + user_folder + "|http://127.0.0.1:9/notify"},
      {"header name in other case", "GET", "/probe/hit", {{"username", "ann"}}, 200,
       "ann|" + user_folder + "|http://127.0.0.1:9/notify"},
      {"path without route", "GET", "/probe/none", {{"UserName", "ann"}}, 404, "{}"},
      {"method the handler leaves to the base", "PUT", "/probe/hit", {{"UserName", "ann"}}, 501, "{}"},
      {"segment in other case", "GET", "/Probe/hit", {{"UserName", "ann"}}, 500, "{}"},
      {"unknown segment", "GET", "/nosuch/notes", {{"UserName", "ann"}}, 500, "{}"},
      {"query glued to the only segment", "GET", "/probe?x=1", {{"UserName", "ann"}}, 500, "{}"},
      {"HEAD", "HEAD", "/probe/hit", {{"UserName", "ann"}}, 501, ""},
      {"account without user", "GET", "/account/hit", {}, 200, "Anonymity|" + (root_ / "Anonymity" / "account").u8string() + "|http://127.0.0.1:9/notify"},
      {"account with empty user", "GET", "/account/hit", {{"UserName", ""}}, 500, "{}"},
      {"account preflight reaches the handler", "OPTIONS", "/account/hit", {}, 501, "{}"},
      {"updater gets no folder", "GET", "/updater/hit", {{"UserName", "ann"}}, 200, "ann||http://127.0.0.1:9/notify"},
      {"dot user", "GET", "/probe/hit", {{"UserName", "."}}, 400, "{}"},
      {"dot-dot user", "GET", "/probe/hit", {{"UserName", ".."}}, 400, "{}"},
      {"slash in user", "GET", "/probe/hit", {{"UserName", "a/b"}}, 400, "{}"},
      {"backslash in user", "GET", "/probe/hit", {{"UserName", "a\\b"}}, 400, "{}"},
      {"control character in user", "GET", "/probe/hit", {{"UserName", "a\tb"}}, 400, "{}"},
      {"full-logging marker as user", "GET", "/probe/hit", {{"UserName", "rklog.a"}}, 400, "{}"},
      {"log folder as user", "GET", "/probe/hit", {{"UserName", "Log Files"}}, 400, "{}"},
      // The proxies keep no folder: the name goes on as it is.
      {"dot-dot user on an exempt segment", "GET", "/account/hit", {{"UserName", ".."}}, 200,
       "..|" + (root_ / ".." / "account").u8string() + "|http://127.0.0.1:9/notify"},
      {"full-logging marker on an exempt segment", "GET", "/updater/hit", {{"UserName", "rklog.a"}}, 200,
       "rklog.a||http://127.0.0.1:9/notify"},
  };
  for (const auto& c : cases) {
    const HttpReply reply = rktest::Request(port_, c.method, c.target, c.headers);
    EXPECT_EQ(reply.status, c.status) << c.what;
    if (c.method != "HEAD") {
      EXPECT_EQ(reply.body, c.body) << c.what;
    }
    ExpectCommonHeaders(reply, c.what);
  }
  // Refused users leave nothing behind; handled ones got their folders.
  EXPECT_FALSE(fs::exists(root_ / ".." / "Probe"));
  EXPECT_FALSE(fs::exists(root_ / "a"));
  EXPECT_TRUE(fs::is_directory(root_ / "ann" / "Probe"));
  EXPECT_FALSE(fs::exists(root_ / "Anonymity"));  // "account" makes no folder
  EXPECT_FALSE(fs::exists(root_ / "rklog.a"));
  EXPECT_FALSE(fs::exists(root_ / "Log Files" / "Probe"));

  const std::string log = Log();
  EXPECT_NE(log.find("[warning] UserName must in headers"), std::string::npos);
  EXPECT_NE(log.find("[error] create handler error for Probe. "), std::string::npos);
  EXPECT_NE(log.find("[error] create handler error for probe?x=1. "), std::string::npos);
  EXPECT_NE(log.find("[error] can not create a handler for request for " + root_.string() + ", ann"),
            std::string::npos);
  EXPECT_NE(log.find("[ info] NotImplemented:HEAD"), std::string::npos);
  // The empty user of a proxy reaches the registry, which refuses it.
  EXPECT_NE(log.find("[error] can not create a handler for request for " + root_.string() + ", \n"),
            std::string::npos);
  EXPECT_NE(log.find("[warning] UserName is not a plain folder name: rklog.a"), std::string::npos);
}

TEST_F(Router, ConnectIsNotImplemented) {
  const HttpReply reply = rktest::Exchange(port_, "CONNECT /probe/hit HTTP/1.1\r\nHost: x\r\nUserName: ann\r\n\r\n");
  EXPECT_EQ(reply.status, 501);
  EXPECT_EQ(reply.body, "{}");
}

TEST_F(Router, AnythingThrownFromARouteEndsInABare500) {
  for (const std::string path : {"/probe/throw", "/probe/throw-int", "/probe/throw-text"}) {
    const HttpReply reply = Get(path, {{"UserName", "ann"}});
    EXPECT_EQ(reply.status, 500) << path;
    EXPECT_EQ(reply.body, "") << path;
    EXPECT_FALSE(reply.Has("server")) << path;
  }
  EXPECT_EQ(Get("/probe/hit", {{"UserName", "ann"}}).status, 200);  // the service lives on
  const std::string log = Log();
  EXPECT_NE(log.find("[error] request GET /probe/throw failed: route failed"), std::string::npos) << log;
  EXPECT_NE(log.find("[error] request GET /probe/throw-int failed: unknown exception"), std::string::npos);
  EXPECT_NE(log.find("[error] request GET /probe/throw-text failed: unknown exception"), std::string::npos);
}

TEST_F(Router, OversizeBodyIsRefusedUnread) {
  const std::string head =
      "POST /probe/echo HTTP/1.1\r\nHost: x\r\nUserName: ann\r\nContent-Type: text/plain\r\n"
      "Connection: close\r\nContent-Length: " +
      std::to_string((64u << 20) + 1) + "\r\n\r\n";
  const HttpReply reply = rktest::Exchange(port_, head + std::string((64u << 20) + 1, 'x'), 30000);
  EXPECT_EQ(reply.status, 413);
  EXPECT_EQ(reply.body, "{}");
  ExpectCommonHeaders(reply, "413");
  // A body at the limit is still taken.
  const std::string body(1 << 20, 'y');
  EXPECT_EQ(rktest::Request(port_, "POST", "/probe/echo", {{"UserName", "ann"}, {"Content-Type", "text/plain"}}, body).body,
            body);
}

// The listener's threads read bodies too: a route must not hold one while a
// body is still on its way, or a few slow clients stop the whole service.
TEST_F(Router, BodiesOnTheirWayHoldNoListenerThread) {
  constexpr int kClients = 24;  // three times the listener's threads
  std::vector<std::string> requests;
  std::vector<std::unique_ptr<rktest::SlowClient>> clients;
  for (int i = 0; i < kClients; ++i) {
    requests.push_back(rktest::BuildRequest("POST", "/probe/echo", {{"UserName", "ann"}, {"Content-Type", "text/plain"}},
                                            "body " + std::to_string(i)));
    clients.push_back(std::make_unique<rktest::SlowClient>(port_));
    ASSERT_TRUE(clients.back()->Send(requests.back().substr(0, requests.back().size() - 2)));
  }
  EXPECT_EQ(Get("/probe/hit", {{"UserName", "ann"}}).status, 200);
  EXPECT_EQ(rktest::Request(port_, "POST", "/probe/echo", {{"UserName", "bob"}, {"Content-Type", "text/plain"}}, "now")
                .body,
            "now");
  for (int i = 0; i < kClients; ++i) ASSERT_TRUE(clients[i]->Send(requests[i].substr(requests[i].size() - 2)));
  for (int i = 0; i < kClients; ++i) {
    const std::string reply = clients[i]->Receive();
    EXPECT_NE(reply.find("\r\n\r\nbody " + std::to_string(i)), std::string::npos) << reply;
  }
}

// Work after a reply (a notification) runs on in the handler: removing the
// service returns only once it has ended, or an unload or exit would pull
// the handler and the process state from under it. The listener itself
// waits only for routes called straight from it; a request with a body is
// routed later, once its body is in.
TEST_F(Router, RemovalWaitsForRoutesStillRunningAfterTheirReply) {
  const HttpReply reply = rktest::Request(port_, "POST", "/probe/after-reply",
                                          {{"UserName", "ann"}, {"Content-Type", "text/plain"}}, "body");
  ASSERT_EQ(reply.status, 200);

  std::atomic<bool> removed{false};
  bool ended_when_removed = false;
  std::thread remover([&] {
    RkServiceManager::GetInstance()->RemoveAllService();
    std::lock_guard<std::mutex> lock(g_after_reply_mutex);
    ended_when_removed = g_after_reply_ended;
    removed = true;
  });
  // The removal has closed the listener and waits for the route: it says
  // so, and has not returned.
  EXPECT_TRUE(rktest::WaitUntil([&] { return removed || Log().find(kWaitingForOne) != std::string::npos; }));
  EXPECT_FALSE(removed);
  {
    std::lock_guard<std::mutex> lock(g_after_reply_mutex);
    g_after_reply_released = true;
  }
  g_after_reply_changed.notify_all();
  remover.join();
  EXPECT_TRUE(ended_when_removed);
}

// However many waiting routes there are, the listener's threads stay free for
// everyone else.
TEST_F(Router, WaitingRoutesHoldNoListenerThread) {
  constexpr int kHeld = 24;  // three times the listener's threads
  static_assert(kHeld / 3 <= RkServiceWork::kMaxPoolWorkPerUser, "each user within the bound");
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < kHeld; ++i) {
    clients.emplace_back([&, i] {
      const std::string user = std::string("user") + std::to_string(i % 3);
      const std::string raw = rktest::BuildRequest("GET", "/probe/held", {{"UserName", user}});
      if (rktest::Exchange(port_, raw, 120000).body == "held") ++answered;
    });
  }
  const bool all_waiting = rktest::WaitUntil([] { return g_gate.Entered() == kHeld; });
  const HttpReply bystander = Get("/probe/hit", {{"UserName", "bob"}});
  const int ended_then = g_gate.Ended();
  g_gate.Open();
  for (auto& client : clients) client.join();
  EXPECT_TRUE(all_waiting) << g_gate.Entered() << " of " << kHeld << " routes started";
  EXPECT_EQ(bystander.status, 200);
  EXPECT_EQ(ended_then, 0);  // answered while every route still waited
  EXPECT_EQ(answered, kHeld);
}

TEST_F(Router, PastThePoolsBoundsAWaitingRouteIsAnswered503) {
  platform::RkWorkPool& pool = platform::RkWorkPool::Shared();
  pool.SetLimitsForTesting(2, 2);
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 4; ++i) {
    clients.emplace_back([&] {
      const std::string raw = rktest::BuildRequest("GET", "/probe/held", {{"UserName", "ann"}});
      if (rktest::Exchange(port_, raw, 120000).body == "held") ++answered;
    });
  }
  // Two on threads, two waiting for one.
  const bool full = rktest::WaitUntil([&] { return g_gate.Entered() == 2 && pool.CurrentLoad().queued == 2; });
  const HttpReply refused = Get("/probe/held", {{"UserName", "bob"}});
  const HttpReply bystander = Get("/probe/hit", {{"UserName", "bob"}});
  g_gate.Open();
  for (auto& client : clients) client.join();
  pool.SetLimitsForTesting(platform::RkWorkPool::kMaxThreads, platform::RkWorkPool::kMaxQueued);

  EXPECT_TRUE(full);
  EXPECT_EQ(refused.status, 503);
  EXPECT_EQ(refused.body, "{}");
  ExpectCommonHeaders(refused, "503");
  EXPECT_EQ(bystander.status, 200);
  EXPECT_EQ(answered, 4);  // every accepted route got its answer
  const std::string log = Log();
  EXPECT_NE(log.find("[warning] no worker for GET /probe/held: 2 threads busy and 2 waiting"), std::string::npos)
      << log;
}

// Work still on the pool holds the handler: removal returns after it.
TEST_F(Router, RemovalWaitsForRoutesStillWaitingOnThePool) {
  std::thread client([this] { rktest::Exchange(port_, rktest::BuildRequest("GET", "/probe/held", {{"UserName", "ann"}}), 120000); });
  ASSERT_TRUE(rktest::WaitUntil([] { return g_gate.Entered() == 1; }));
  std::atomic<bool> removed{false};
  int ended_when_removed = -1;
  std::thread remover([&] {
    RkServiceManager::GetInstance()->RemoveRkService("router");
    ended_when_removed = g_gate.Ended();
    removed = true;
  });
  EXPECT_TRUE(rktest::WaitUntil([&] { return removed || Log().find(kWaitingForOne) != std::string::npos; }));
  EXPECT_FALSE(removed);
  g_gate.Open();
  remover.join();
  client.join();
  EXPECT_EQ(ended_when_removed, 1);
}

// Connections keep coming while the service stops and starts: an accept
// that completes as the listener closes must be over before the listener
// goes.
TEST_F(Router, StopsAndStartsWhileConnectionsPourIn) {
  std::atomic<bool> done{false};
  std::vector<std::thread> clients;
  for (int i = 0; i < 8; ++i) {
    clients.emplace_back([&] {
      while (!done) rktest::Request(port_, "GET", "/");
    });
  }
  constexpr int kRounds = 200;
  int started = 0;
  for (int round = 0; round < kRounds; ++round) {
    RkServiceManager::GetInstance()->StopRkService("router");
    if (RkServiceManager::GetInstance()->StartRkService("router")) ++started;
  }
  done = true;
  for (auto& client : clients) client.join();
  EXPECT_EQ(started, kRounds);
  EXPECT_EQ(Get("/probe/hit", {{"UserName", "ann"}}).status, 200);
}

TEST_F(Router, ChunkedBodiesReachTheirRouteWhole) {
  const std::string head =
      "POST /probe/echo HTTP/1.1\r\nHost: x\r\nUserName: ann\r\nTransfer-Encoding: chunked\r\n"
      "Connection: close\r\n";
  const std::string chunks = "5\r\nhello\r\n1\r\n \r\n5\r\nworld\r\n0\r\n\r\n";
  const HttpReply typed = rktest::Exchange(port_, head + "Content-Type: text/plain\r\n\r\n" + chunks);
  EXPECT_EQ(typed.status, 200);
  EXPECT_EQ(typed.body, "hello world");
  // As for a counted body: without a content type the body reads empty.
  const HttpReply untyped = rktest::Exchange(port_, head + "\r\n" + chunks);
  EXPECT_EQ(untyped.status, 200);
  EXPECT_EQ(untyped.body, "");
  // Bad framing ends that request, not the service.
  rktest::Exchange(port_, head + "Content-Type: text/plain\r\n\r\nzz\r\nhello\r\n", 2000);
  EXPECT_EQ(Get("/probe/hit", {{"UserName", "ann"}}).status, 200);
}

// Without a length up front the limit must hold while the body arrives: the
// listener alone would keep all of it.
TEST_F(Router, ChunkedBodyPastTheLimitIsRefusedAsItArrives) {
  rktest::SlowClient client(port_);
  ASSERT_TRUE(client.Send(
      "POST /probe/echo HTTP/1.1\r\nHost: x\r\nUserName: ann\r\nContent-Type: text/plain\r\n"
      "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n"));
  const std::string chunk = "100000\r\n" + std::string(1 << 20, 'x') + "\r\n";  // 1 MiB
  constexpr int kChunks = 1024;                                                  // 1 GiB in all
  const size_t before = rktest::ResidentBytes();
  size_t peak = before;
  int sent = 0;
  while (sent < kChunks && !client.Readable() && client.Send(chunk)) {
    ++sent;
    peak = std::max(peak, rktest::ResidentBytes());
  }
  if (sent == kChunks) client.Send("0\r\n\r\n");
  const HttpReply reply = client.ReceiveReply(30000);
  EXPECT_EQ(reply.status, 413);
  EXPECT_EQ(reply.body, "{}");
  ExpectCommonHeaders(reply, "413");
  EXPECT_GT(sent, 64);  // the limit's worth was taken first
  // The 64 MiB the route could have had, and the listener's read buffer; a
  // gigabyte kept, or a buffer grown by doubling, would be far past it.
  constexpr size_t kBound = 96u << 20;
  EXPECT_LT(peak - before, kBound) << "grew by " << ((peak - before) >> 20) << " MiB";
  EXPECT_NE(Log().find("[warning] request body too large: over 67108864 bytes for /probe/echo"), std::string::npos);
  EXPECT_EQ(Get("/probe/hit", {{"UserName", "ann"}}).status, 200);
}

// No folder can have a name past 255 bytes: such a name is refused on every
// segment before anything keeps it, and the log shows only its start.
TEST_F(Router, UserNamesPastTheBoundAreRefusedOnEverySegment) {
  EXPECT_EQ(Get("/probe/hit", {{"UserName", std::string(255, 'n')}}).status, 200);
  const int made = g_constructions;
  std::string wide;
  while (wide.size() < 256) wide += "\xE4\xB8\xAD";  // three bytes each
  for (const std::string& name : {std::string(256, 'm'), std::string(1 << 15, 'm'), wide}) {
    for (const auto& request : {std::make_pair("GET", "/probe/hit"), std::make_pair("GET", "/account/hit"),
                                std::make_pair("GET", "/updater/hit"), std::make_pair("OPTIONS", "/probe/hit"),
                                std::make_pair("GET", "/"), std::make_pair("GET", "/nosuch/hit")}) {
      const HttpReply reply = rktest::Request(port_, request.first, request.second, {{"UserName", name}});
      EXPECT_EQ(reply.status, 400) << request.first << " " << request.second;
      EXPECT_EQ(reply.body, "{}");
      ExpectCommonHeaders(reply, request.second);
    }
  }
  EXPECT_EQ(g_constructions, made);
  for (const auto& entry : fs::directory_iterator(root_)) {
    EXPECT_NE(entry.path().filename().string().substr(0, 3), "mmm");
  }
  const std::string log = Log();
  EXPECT_NE(log.find("UserName is longer than 255 bytes: " + std::string(64, 'm') + "..."), std::string::npos);
  EXPECT_EQ(log.find(std::string(65, 'm')), std::string::npos);
  // Cut where a character starts: 21 whole characters of three bytes.
  EXPECT_NE(log.find("UserName is longer than 255 bytes: " + wide.substr(0, 63) + "..."), std::string::npos);
}

TEST_F(Router, UsersPastTheBoundAreRefusedAndEarlierOnesServed) {
  RkHandlerRegistry::SetMaxUsersForTesting(3);
  for (const std::string user : {"u1", "u2", "u3"}) EXPECT_EQ(Get("/probe/hit", {{"UserName", user}}).status, 200);
  const HttpReply refused = Get("/probe/hit", {{"UserName", "u4"}});
  EXPECT_EQ(refused.status, 503);
  EXPECT_EQ(refused.body, "{}");
  ExpectCommonHeaders(refused, "503");
  EXPECT_FALSE(fs::exists(root_ / "u4"));
  // Users already in the table keep every segment, new ones included.
  EXPECT_EQ(Get("/probe/hit", {{"UserName", "u1"}}).status, 200);
  EXPECT_EQ(Get("/account/hit", {{"UserName", "u2"}}).status, 200);
  // An unknown segment is refused as before, full table or not.
  EXPECT_EQ(Get("/nosuch/hit", {{"UserName", "u4"}}).status, 500);
  RkHandlerRegistry::SetMaxUsersForTesting(RkHandlerRegistry::kMaxUsers);
  const std::string log = Log();
  EXPECT_NE(log.find("[warning] no room for user u4: the service holds its most users, 3"), std::string::npos)
      << log;
}

// The proxies keep nothing under the root: a table full of users with data
// leaves them to old and new users, preflights included, and the user of
// requests without a UserName is never refused.
TEST_F(Router, ProxyUsersHaveABoundOfTheirOwn) {
  RkHandlerRegistry::SetMaxUsersForTesting(2);
  RkHandlerRegistry::SetMaxProxyUsersForTesting(2);
  for (const std::string user : {"d1", "d2"}) ASSERT_EQ(Get("/probe/hit", {{"UserName", user}}).status, 200);
  const struct {
    const char* what;
    std::string method, target;
    HeaderList headers;
    int status;
  } cases[] = {
      {"a user with data on a proxy", "GET", "/account/hit", {{"UserName", "d1"}}, 200},
      {"a user with data on the other proxy", "GET", "/updater/hit", {{"UserName", "d2"}}, 200},
      {"a new user with data", "GET", "/probe/hit", {{"UserName", "d3"}}, 503},
      {"a new user on a proxy", "GET", "/account/hit", {{"UserName", "p1"}}, 200},
      {"a second new user on a proxy", "GET", "/updater/hit", {{"UserName", "p2"}}, 200},
      {"a proxy user's first data, the table full", "GET", "/probe/hit", {{"UserName", "p1"}}, 503},
      {"one more user on a proxy", "GET", "/account/hit", {{"UserName", "p3"}}, 503},
      {"a proxy user on the other proxy", "GET", "/updater/hit", {{"UserName", "p1"}}, 200},
      // The probe leaves OPTIONS to the base: 501 is the handler's answer.
      {"a preflight without a user", "OPTIONS", "/account/hit", {}, 501},
      {"a request without a user", "GET", "/updater/hit", {}, 200},
  };
  for (const auto& c : cases) {
    const HttpReply reply = rktest::Request(port_, c.method, c.target, c.headers);
    EXPECT_EQ(reply.status, c.status) << c.what;
  }
  // A proxy user that keeps data counts as such, and leaves its place.
  RkHandlerRegistry::SetMaxUsersForTesting(3);
  EXPECT_EQ(Get("/probe/hit", {{"UserName", "p1"}}).status, 200);
  EXPECT_EQ(Get("/account/hit", {{"UserName", "p3"}}).status, 200);
  EXPECT_EQ(Get("/account/hit", {{"UserName", "p4"}}).status, 503);
  RkHandlerRegistry::SetMaxUsersForTesting(RkHandlerRegistry::kMaxUsers);
  RkHandlerRegistry::SetMaxProxyUsersForTesting(RkHandlerRegistry::kMaxProxyUsers);
  const std::string log = Log();
  EXPECT_NE(log.find("[warning] no room for user d3: the service holds its most users, 2"), std::string::npos)
      << log;
  EXPECT_NE(log.find("[warning] no room for user p3: the service holds its most users of the proxies alone, 2"),
            std::string::npos)
      << log;
}

// Each handler keeps files open; the process they live in must keep
// descriptors of its own.
TEST_F(Router, NoHandlerIsMadeWhenTheProcessRunsLowOnDescriptors) {
  EXPECT_EQ(Get("/probe/hit", {{"UserName", "ann"}}).status, 200);
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  // Room for the test's own connections, less than the share kept free.
  struct rlimit tight = saved;
  tight.rlim_cur = platform::CurrentDescriptorUse().open + RkHandlerRegistry::kMinFreeDescriptors - 8;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  const HttpReply refused = Get("/probe/hit", {{"UserName", "bob"}});
  const HttpReply known = Get("/probe/hit", {{"UserName", "ann"}});
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(refused.status, 503);
  EXPECT_EQ(refused.body, "{}");
  EXPECT_EQ(known.status, 200);
  EXPECT_NE(Log().find("[warning] no handler made for user bob: "), std::string::npos);
  EXPECT_EQ(Get("/probe/hit", {{"UserName", "bob"}}).status, 200);
}

// At the limit itself the descriptors cannot even be counted: listing them
// takes one more. That is no room either.
TEST_F(Router, NoHandlerIsMadeWhenTheDescriptorsCannotBeCounted) {
  // The connection is open, and the service's side of it accepted, before
  // the table is full.
  rktest::SlowClient client(port_);
  ASSERT_TRUE(client.Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
  ASSERT_EQ(client.ReceiveReply().status, 200);
  const int null_fd = open("/dev/null", O_RDONLY);
  ASSERT_GE(null_fd, 0);
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  struct rlimit tight = saved;
  // Read as nothing open, a limit this high would pass the share kept free.
  tight.rlim_cur = platform::CurrentDescriptorUse().open + 2 * RkHandlerRegistry::kMinFreeDescriptors;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  std::vector<int> fillers = {null_fd};
  for (int fd; (fd = dup(null_fd)) >= 0;) fillers.push_back(fd);
  const int fill_error = errno;
  const int uncounted = platform::CurrentDescriptorUse().count_error;
  ASSERT_TRUE(client.Send("GET /probe/hit HTTP/1.1\r\nHost: x\r\nUserName: bob\r\n\r\n"));
  const HttpReply refused = client.ReceiveReply();
  for (const int fd : fillers) close(fd);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(fill_error, EMFILE);
  EXPECT_EQ(uncounted, EMFILE);
  EXPECT_EQ(refused.status, 503);
  EXPECT_EQ(refused.body, "{}");
  EXPECT_FALSE(fs::exists(root_ / "bob"));
  EXPECT_NE(Log().find("[warning] no handler made for user bob: the process's file descriptors can not be counted "
                       "(Too many open files), its limit is " +
                       std::to_string(tight.rlim_cur)),
            std::string::npos)
      << Log();
  EXPECT_EQ(Get("/probe/hit", {{"UserName", "bob"}}).status, 200);
}

TEST_F(Router, ReplyHelpersEncodeTextAndHeaders) {
  const HttpReply unicode = Get("/probe/unicode", {{"UserName", "ann"}});
  EXPECT_EQ(unicode.body, "h\xC3\xA9llo \xE4\xB8\xAD");
  EXPECT_EQ(unicode.Header("content-length"), "10");  // bytes, not characters

  const HttpReply utf8 = Get("/probe/utf8", {{"UserName", "ann"}});
  EXPECT_EQ(utf8.body, "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(utf8.Header("access-control-allow-headers"), "*");
  EXPECT_EQ(utf8.Header("access-control-allow-methods"), "POST, PUT, GET, OPTIONS, DELETE");
  EXPECT_EQ(utf8.Header("content-type"), "text/plain; charset=utf-8");
  EXPECT_EQ(utf8.Header("server"), "Rk6Service/v0.1");

  const HttpReply twice = Get("/probe/twice", {{"UserName", "ann"}});
  EXPECT_EQ(twice.body, "first");
  // The route goes on after the first reply is on its way.
  EXPECT_TRUE(rktest::WaitUntil([] { return g_second_reply_threw.load(); }));
}

// A reply may quote what a request sent; it goes out as well-formed UTF-8
// all the same, each ill-formed part as one U+FFFD.
TEST_F(Router, RepliesQuotingIllFormedBytesAreWellFormedUtf8) {
  const std::string r = "\xEF\xBF\xBD";
  const struct {
    const char* what;
    std::string sent, answered;
  } cases[] = {
      {"well-formed", "caf\xC3\xA9 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
      {"a byte that is never UTF-8", "a\xFF" "b", "a" + r + "b"},
      {"a lone continuation byte", "\x80x", r + "x"},
      {"a sequence cut short", "x\xF0\x9F\x98", "x" + r},
      {"an overlong form", "\xC0\xAF", r + r},
      {"an encoded surrogate", "\xED\xA0\x80", r + r + r},
  };
  const HeaderList headers = {{"UserName", "ann"}, {"Content-Type", "text/plain; charset=utf-8"}};
  for (const char* path : {"/probe/echo", "/probe/echo-utf8"}) {
    for (const auto& c : cases) {
      const HttpReply reply = rktest::Request(port_, "POST", path, headers, c.sent);
      EXPECT_EQ(reply.status, 200) << path << ": " << c.what;
      EXPECT_EQ(reply.body, c.answered) << path << ": " << c.what;
      EXPECT_EQ(reply.Header("content-length"), std::to_string(c.answered.size())) << path << ": " << c.what;
    }
  }
}

TEST_F(Router, FullLoggingTracesEachExchangeButPreflights) {
  RkServiceManager::GetInstance()->SetPrintAllLog(true);
  Get("/probe/hit?x=1", {{"UserName", "ann"}});
  rktest::Request(port_, "OPTIONS", "/account/hit");
  const std::string log = Log();
  EXPECT_NE(log.find("[trace] GET /probe/hit?x=1 ==> response:\r\nHTTP/1.1 200 OK\r\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("[trace] OPTIONS /account/hit ==> response:"), std::string::npos) << log;
  // At level 0 the router logs the whole request text, not only the URI.
  EXPECT_NE(log.find("[trace] GET /probe/hit?x=1 HTTP/1.1\r\n"), std::string::npos) << log;
}

TEST_F(Router, RegistryMakesOneHandlerPerUserAndSegment) {
  g_constructions = 0;
  std::vector<std::thread> clients;
  std::atomic<int> ok{0};
  for (int i = 0; i < 8; ++i) {
    clients.emplace_back([&, i] {
      if (Get("/slow/hit", {{"UserName", i % 2 ? "bob" : "ann"}}).status == 200) ++ok;
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(ok, 8);
  EXPECT_EQ(g_constructions, 2);  // one per user, however many came at once
  EXPECT_TRUE(fs::is_directory(root_ / "ann" / "Slow"));
  EXPECT_TRUE(fs::is_directory(root_ / "bob" / "Slow"));
  // Stop and start keep the handlers.
  RkServiceManager::GetInstance()->StopRkService("router");
  ASSERT_TRUE(RkServiceManager::GetInstance()->StartRkService("router"));
  EXPECT_EQ(Get("/slow/hit", {{"UserName", "ann"}}).status, 200);
  EXPECT_EQ(g_constructions, 2);
}

TEST_F(Router, FailedFolderCreationIsRetried) {
  std::ofstream(root_ / "carl") << "a file where the user's folder should be";
  EXPECT_EQ(Get("/probe/hit", {{"UserName", "carl"}}).status, 500);
  EXPECT_NE(Log().find("[error] can not create path " + (root_ / "carl" / "Probe").string()), std::string::npos);
  fs::remove(root_ / "carl");
  EXPECT_EQ(Get("/probe/hit", {{"UserName", "carl"}}).status, 200);
}

TEST_F(Router, MissingRootFailsEverySegment) {
  RkServiceManager::GetInstance()->RemoveAllService();
  const std::string missing = (root_ / "missing").string();
  StartService(missing);
  EXPECT_EQ(Get("/probe/hit", {{"UserName", "ann"}}).status, 500);
  EXPECT_EQ(Get("/nothing/hit", {{"UserName", "ann"}}).status, 500);
  const std::string log = Log();
  EXPECT_NE(log.find("[error] root path not exists:" + missing), std::string::npos);
  EXPECT_EQ(log.find("create handler error for nothing"), std::string::npos);  // root test comes first
}

TEST_F(Router, ManyClientsAcrossManyUsers) {
  // A count of exchanges, not a time: a slow machine only takes longer.
  constexpr int kExchanges = 5000;
  g_constructions = 0;
  std::atomic<int> answered{0}, wrong{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 64; ++i) {
    clients.emplace_back([&, i] {
      const std::string user = "user" + std::to_string(i % 16);
      const std::string expect = user + "|" + (root_ / user / "Probe").u8string() + "|http://127.0.0.1:9/notify";
      // Each client's first exchange comes whatever the others did: on a
      // busy machine the first clients may be through before the last start.
      do {
        const bool preflight = i >= 48;
        const HttpReply reply =
            preflight ? rktest::Request(port_, "OPTIONS", "/probe/hit") : Get("/probe/hit", {{"UserName", user}});
        ++answered;
        if (reply.status != 200 || (!preflight && reply.body != expect)) ++wrong;
      } while (answered < kExchanges);
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(g_constructions, 16);
}

TEST(RequiredKeys, PresenceOnlyAndCountFirst) {
  using Query = std::map<std::string, std::string>;
  const std::vector<std::string> id_url = {"id", "url"};
  EXPECT_FALSE(RkRestHandler::HasRequiredKeys(Query{{"id", "1"}}, id_url));
  EXPECT_FALSE(RkRestHandler::HasRequiredKeys(Query{{"id", "1"}, {"other", "2"}}, id_url));
  EXPECT_TRUE(RkRestHandler::HasRequiredKeys(Query{{"id", ""}, {"url", ""}}, id_url));
  EXPECT_TRUE(RkRestHandler::HasRequiredKeys(Query{}, {}));
  EXPECT_FALSE(RkRestHandler::HasRequiredKeys(Query{{"id", "1"}}, {"id", "id"}));  // one entry, two keys

  web::json::value object = web::json::value::object();
  object["ID"] = web::json::value::string("x");
  object["url"] = web::json::value::null();
  EXPECT_FALSE(RkRestHandler::HasRequiredKeys(object.as_object(), {"id"}));
  EXPECT_TRUE(RkRestHandler::HasRequiredKeys(object.as_object(), {"url"}));
  EXPECT_TRUE(RkRestHandler::HasRequiredKeys(object.as_object(), {"ID", "url"}));
}

}  // namespace
}  // namespace rkservice
