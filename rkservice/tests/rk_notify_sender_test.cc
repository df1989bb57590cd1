// The notification sender against a real endpoint on a loopback port.
#include "rk_notify_sender.h"

#include <gtest/gtest.h>
#include <pplx/threadpool.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rk_notify_test_server.h"
#include "rk_storage_test_support.h"
#include "rk_test_wait.h"

namespace {

using rkservice::MakeRkNotifySender;
using rkservice::RkNotifySender;
using rktest::NotifyTestServer;
using Clock = std::chrono::steady_clock;

const std::string kUser = "alice";

struct Sent {
  std::string name;
  const char* caller;
  const char* type;  // null: the default
  std::string host_path;
  std::function<bool(RkNotifySender&)> send;
  std::string request_line;
  std::vector<std::pair<std::string, std::string>> headers;  // must be there, with these values
  std::string body;
};

TEST(RkNotifySender, RequestsGoOutByteForByte) {
  const Sent cases[] = {
      {"data change of the notes",
       rkservice::kNotifyKivvet, rkservice::kNotifyDataChanged, "",
       [](RkNotifySender& s) { return s.Send("{\"id\":\"x\"}", {{"reason", "7"}}); },
       "GET /?action=notify&caller=kivvet&type=data_changed&value=%7B%22id%22:%22x%22%7D HTTP/1.1",
       {{"UserName", kUser}, {"reason", "7"}},
       ""},
      {"-1 sends no value",
       rkservice::kNotifyTesselAccount, rkservice::kNotifyDataChanged, "",
       [](RkNotifySender& s) { return s.Send(-1); },
       "GET /?action=notify&caller=tessel_account&type=data_changed HTTP/1.1",
       {{"UserName", kUser}},
       ""},
      {"0 is a value",
       rkservice::kNotifyTesselSecret, rkservice::kNotifyDataChanged, "",
       [](RkNotifySender& s) { return s.Send(0); },
       "GET /?action=notify&caller=tessel_secret&type=data_changed&value=0 HTTP/1.1",
       {},
       ""},
      {"an empty value ends the query with value=",
       rkservice::kNotifyKivvet, rkservice::kNotifyDataConflict, "",
       [](RkNotifySender& s) { return s.Send(""); },
       "GET /?action=notify&caller=kivvet&type=data_conflict&value= HTTP/1.1",
       {},
       ""},
      {"the default type is sync",
       rkservice::kNotifyKivvet, nullptr, "",
       [](RkNotifySender& s) { return s.Send(-7); },
       "GET /?action=notify&caller=kivvet&type=sync&value=-7 HTTP/1.1",
       {},
       ""},
      {"delimiters are encoded, the other query characters stay",
       rkservice::kNotifyKivvet, rkservice::kNotifyNoteFileDownload, "",
       [](RkNotifySender& s) { return s.Send("a b&c=d+e%f:g/h?i,j;k!$'()*@~-._\xC3\xA9"); },
       "GET /?action=notify&caller=kivvet&type=note_file_download"
       "&value=a%20b%26c%3Dd%2Be%25f:g/h?i,j%3Bk!$'()*@~-._%C3%A9 HTTP/1.1",
       {},
       ""},
      {"progress goes by POST with its own query and the body",
       rkservice::kNotifyKivvet, rkservice::kNotifyDataChanged, "",
       [](RkNotifySender& s) { return s.SendSyncProgress(1, 5, 300, "{\"done\":\"\xC3\xA9\"}"); },
       "POST /?action=progress&caller=kivvet&count=300&type=1&value=5 HTTP/1.1",
       {{"UserName", kUser}, {"Content-Type", "text/json; charset=utf-8"}, {"Content-Length", "13"}},
       "{\"done\":\"\xC3\xA9\"}"},
      {"progress without a body",
       rkservice::kNotifyKivvet, nullptr, "",
       [](RkNotifySender& s) { return s.SendSyncProgress(-2, -5, 0, ""); },
       "POST /?action=progress&caller=kivvet&count=0&type=-2&value=-5 HTTP/1.1",
       {{"Content-Length", "0"}},
       ""},
      {"a GET never carries the body of an earlier progress",
       rkservice::kNotifyKivvet, nullptr, "",
       [](RkNotifySender& s) { return s.SendSyncProgress(1, 1, 1, "body") && s.Send("v"); },
       "GET /?action=notify&caller=kivvet&type=sync&value=v HTTP/1.1",
       {},
       ""},
      {"another method goes to the host itself with the last progress body",
       rkservice::kNotifyKivvet, nullptr, "",
       [](RkNotifySender& s) {
         return s.SendSyncProgress(1, 1, 1, "body") && s.Send("v", {}, web::http::methods::PUT);
       },
       "PUT / HTTP/1.1",
       {{"UserName", kUser}, {"Content-Type", "text/json; charset=utf-8"}},
       "body"},
      {"the query follows the host's own path",
       rkservice::kNotifyKivvet, nullptr, "/notify",
       [](RkNotifySender& s) { return s.Send("v"); },
       "GET /notify?action=notify&caller=kivvet&type=sync&value=v HTTP/1.1",
       {},
       ""},
  };
  NotifyTestServer server;
  for (const Sent& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = server.Requests().size();
    auto sender = MakeRkNotifySender(server.host() + c.host_path, kUser, c.caller);
    if (c.type != nullptr) sender->SetType(c.type);
    ASSERT_TRUE(c.send(*sender));
    const auto requests = server.Requests();
    ASSERT_GT(requests.size(), before);
    const auto& got = requests.back();
    EXPECT_EQ(got.request_line, c.request_line);
    for (const auto& header : c.headers) EXPECT_EQ(got.Header(header.first), header.second) << header.first;
    EXPECT_EQ(got.body, c.body);
    if (c.body.empty()) {
      EXPECT_FALSE(got.Has("Content-Type"));
    }
    EXPECT_FALSE(got.Has("Expect"));
    EXPECT_EQ(sender->PendingForTesting(), 0u);
  }
}

TEST(RkNotifySender, AnEmptyUserNameIsStillSent) {
  NotifyTestServer server;
  auto sender = MakeRkNotifySender(server.host(), "", rkservice::kNotifyKivvet);
  ASSERT_TRUE(sender->Send("v"));
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_TRUE(server.Requests()[0].Has("UserName"));
  EXPECT_EQ(server.Requests()[0].Header("UserName"), "");
}

struct Outcome {
  std::string name;
  NotifyTestServer::Reply reply;
  std::function<std::string(const NotifyTestServer&)> host;  // null: the server's
  bool result;
  spdlog::level::level_enum level;
  std::string line;  // the one line logged; "..." ends a prefix
  bool reaches_server;
};

TEST(RkNotifySender, AnswersAndFailuresAreLoggedOnce) {
  const std::string uri = ". uri: /?action=notify&caller=kivvet&type=sync&value=v";
  const int refused = NotifyTestServer::RefusingPort();
  const Outcome cases[] = {
      {"200", {200, "text/plain; charset=utf-8", "fine"}, nullptr, true, spdlog::level::trace,
       "RkSyncNotifySender::OnResponse: user_name=alice 200, fine", true},
      {"404", {404, "text/html", "not here"}, nullptr, true, spdlog::level::err,
       "RkSyncNotifySender::OnResponse  : user_name = alice 404,not here ", true},
      {"no content type reads as an empty body", {500, "", "hidden"}, nullptr, true, spdlog::level::err,
       "RkSyncNotifySender::OnResponse  : user_name = alice 500, ", true},
      {"a body that is not text fails the send", {200, "application/octet-stream", "bin"}, nullptr, false,
       spdlog::level::err,
       "Send sync notify {host} : 0 Incorrect Content-Type: must be textual to extract_string, JSON to "
       "extract_json." + uri,
       true},
      {"connection refused", {}, [refused](const NotifyTestServer&) {
         return "http://127.0.0.1:" + std::to_string(refused);
       },
       false, spdlog::level::err, "Send sync notify {host} : 7 ...", false},
      {"a silent endpoint times out", {200, "", "", std::chrono::milliseconds(0), true}, nullptr, false,
       spdlog::level::err, "Send sync notify {host} : 28 ...", true},
      {"not a URI", {}, [](const NotifyTestServer&) { return std::string("not a uri"); }, false,
       spdlog::level::err, "RkNotifySender:host not a uri  invalid", false},
      {"not http", {}, [](const NotifyTestServer& s) { return "ftp://127.0.0.1:" + std::to_string(s.port()); },
       false, spdlog::level::err, "Send sync notify {host} : URI scheme must be 'http' or 'https'" + uri, false},
  };
  for (const Outcome& c : cases) {
    SCOPED_TRACE(c.name);
    NotifyTestServer server(c.reply);
    const std::string host = c.host ? c.host(server) : server.host();
    auto sender = MakeRkNotifySender(host, kUser, rkservice::kNotifyKivvet);
    // An answer may be slow on a loaded machine: only the silent endpoint is
    // meant to reach a time-out, and it must be the one set here, well below
    // the default of 10 s.
    const bool silent = c.reply.silent;
    sender->SetTimeouts(rktest::kHangBound, silent ? std::chrono::milliseconds(300) : rktest::kHangBound);
    rktest::LogCapture log;
    const auto start = Clock::now();
    EXPECT_EQ(sender->Send("v"), c.result);
    if (silent) {
      EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    }
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, c.level);
    std::string want = c.line;
    const size_t at = want.find("{host}");
    if (at != std::string::npos) want.replace(at, 6, host);
    if (want.size() > 3 && want.compare(want.size() - 3, 3, "...") == 0) {
      want.resize(want.size() - 3);
      EXPECT_EQ(lines[0].text.substr(0, want.size()), want);
      EXPECT_EQ(lines[0].text.substr(lines[0].text.size() - uri.size()), uri);
    } else {
      EXPECT_EQ(lines[0].text, want);
    }
    EXPECT_EQ(!server.Requests().empty(), c.reaches_server);
    EXPECT_EQ(sender->PendingForTesting(), 0u);
  }
}

TEST(RkNotifySender, AFailedSendLeavesTheSenderUsable) {
  NotifyTestServer server;
  auto sender = MakeRkNotifySender("not a uri", kUser, rkservice::kNotifyKivvet);
  EXPECT_FALSE(sender->Send("v"));
  // A header that would smuggle a second header in is refused, not sent.
  sender->SetHost(server.host());
  EXPECT_FALSE(sender->Send("v", {{"reason", "7\r\nX-Injected: 1"}}));
  EXPECT_TRUE(server.Requests().empty());
  EXPECT_TRUE(sender->Send("v"));
  EXPECT_EQ(server.Requests().size(), 1u);
}

TEST(RkNotifySender, OneSenderSendsOneRequestAtATime) {
  NotifyTestServer server({200, "text/plain", "ok", std::chrono::milliseconds(150)});
  auto sender = MakeRkNotifySender(server.host(), kUser, rkservice::kNotifyKivvet);
  std::vector<std::thread> threads;
  std::atomic<int> sent{0};
  for (int i = 0; i < 2; ++i) {
    threads.emplace_back([&sender, &sent, i] { sent += sender->Send(std::to_string(i)) ? 1 : 0; });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(sent.load(), 2);
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  // The second request left only after the first answer came back.
  EXPECT_GE(requests[1].received, requests[0].answered);
}

// On Linux the listener and cpprestsdk's HTTP client share one thread pool. A
// send made on a pool thread while every other pool thread is blocked must
// still complete.
TEST(RkNotifySender, CompletesWhileEveryPoolThreadIsBusy) {
  constexpr size_t kPoolThreads = 4;
  crossplat::threadpool::initialize_with_threads(kPoolThreads);
  auto& pool = crossplat::threadpool::shared_instance();

  // Shared with the pool's tasks, which may outlive this function.
  struct Latch {
    std::mutex mutex;
    std::condition_variable changed;
    size_t blocked = 0;
    bool release = false;
  };
  auto latch = std::make_shared<Latch>();
  for (size_t i = 0; i + 1 < kPoolThreads; ++i) {
    pool.service().post([latch] {
      std::unique_lock<std::mutex> lock(latch->mutex);
      ++latch->blocked;
      latch->changed.notify_all();
      latch->changed.wait(lock, [&] { return latch->release; });
    });
  }
  {
    std::unique_lock<std::mutex> lock(latch->mutex);
    ASSERT_TRUE(latch->changed.wait_for(lock, rktest::kHangBound,
                                        [&] { return latch->blocked == kPoolThreads - 1; }));
  }

  NotifyTestServer server;
  auto sender = MakeRkNotifySender(server.host(), kUser, rkservice::kNotifyKivvet);
  auto done = std::make_shared<std::promise<bool>>();
  auto result = done->get_future();
  // The last free pool thread makes the send, as a listener thread would.
  pool.service().post([sender, done] { done->set_value(sender->Send("v")); });
  const bool completed = result.wait_for(rktest::kHangBound) == std::future_status::ready;
  {
    std::lock_guard<std::mutex> lock(latch->mutex);
    latch->release = true;
  }
  latch->changed.notify_all();
  ASSERT_TRUE(completed);
  EXPECT_TRUE(result.get());
  EXPECT_EQ(server.Requests().size(), 1u);
}

}  // namespace
