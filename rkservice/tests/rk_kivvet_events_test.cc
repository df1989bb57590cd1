// Engine events the real engine never sends, fired through the engine's test
// flavour into the running service: an event before the handler has its
// notify host, null and negative arguments, data that is not JSON. Nothing
// may crash, and each event is notified (or not) as it should be.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rk_kivvet_test_service.h"
#include "rk_kivvet_test_support.h"
#include "rk_notify_test_server.h"

namespace {

namespace fs = std::filesystem;
using rkkivvet::RkKivvetTestEvent;
using rktest::KivvetRequest;

constexpr char kZero[] = "00000000-0000-0000-0000-000000000000";

class KivvetEvents : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root_);
    std::ofstream(root_ / "rklog.a").close();  // info lines too
    port_ = service_.Start("notes", root_, notify_.host());
    ASSERT_NE(port_, 0);
    // Makes the handler; the engine reports its idle state as soon as it has
    // the observer, before the registry hands the handler its notify host.
    ASSERT_EQ(KivvetRequest(port_, "GET", "/kivvet/hit").status, 200);
    // The service has loaded this very file; dlopen shares that copy.
    void* module = dlopen(rktest::TestingEngineLibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    ASSERT_NE(module, nullptr) << "the service did not load the engine's test flavour";
    fire_ = reinterpret_cast<rkkivvet::RkKivvetTestFireFn>(dlsym(module, rkkivvet::kRkKivvetTestFireName));
    ASSERT_NE(fire_, nullptr);
  }

  // Fires one event; the callback has returned, and with it any notification.
  void Fire(int position, std::vector<int> numbers, const char* text = nullptr, const char16_t* wide = nullptr) {
    RkKivvetTestEvent event;
    event.position = position;
    for (size_t i = 0; i < numbers.size(); ++i) event.numbers[i] = numbers[i];
    event.text = text;
    event.wide_text = wide;
    ASSERT_EQ(fire_(&event), 1) << "position " << position;
  }

  std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    for (const rktest::NotifyRequest& r : notify_.Requests()) lines.push_back(r.request_line);
    return lines;
  }

  rktest::KivvetTempDir temp_;
  const fs::path root_ = temp_.path() / "root";
  rktest::NotifyTestServer notify_;
  rktest::KivvetServiceLibrary service_{RK_KIVVET_TESTING_DIR};
  rkkivvet::RkKivvetTestFireFn fire_ = nullptr;
  int port_ = 0;
};

TEST_F(KivvetEvents, AnEventBeforeTheNotifyHostSpoilsNoLaterNotification) {
  ASSERT_TRUE(rktest::WaitForLog(port_, root_, "[ info] OnSyncNotify2: 0, 0, idle"));
  Fire(2, {1, 5}, "running");
  Fire(3, {1, 1, 2}, "{\"fn\":\"x\"}");
  const std::vector<rktest::NotifyRequest> requests = notify_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].request_line, "GET /?action=notify&caller=kivvet&type=sync&value=1 HTTP/1.1");
  EXPECT_EQ(requests[0].Header("reason"), "5");
  EXPECT_EQ(requests[1].request_line, "POST /?action=progress&caller=kivvet&count=2&type=1&value=1 HTTP/1.1");
  EXPECT_EQ(requests[1].body, "{\"fn\":\"x\"}");
  EXPECT_EQ(rktest::FlushedServiceLog(port_, root_).find("invalid"), std::string::npos);
}

TEST_F(KivvetEvents, NullAndNegativeArgumentsAndBadDataCrashNothing) {
  Fire(2, {1, 0});                      // null message
  Fire(3, {1, 1, 2});                   // null text: a progress without a body
  Fire(4, {1});                         // null id
  Fire(5, {1, 2});                      // null ids
  Fire(10, {1, 5, 2});                  // null data with a length
  Fire(10, {1, -1, 2}, "{\"a\":1}");    // negative length
  Fire(10, {1, 8, 2}, "not json");      // not JSON
  Fire(10, {4, 7, 3}, "{\"a\":1}");     // good data after the bad
  Fire(12, {3});                        // null key and data
  Fire(12, {-4}, "abc", u"key");        // negative length
  Fire(13, {1});                        // null id
  Fire(6, {1});
  Fire(8, {});
  Fire(9, {1});
  Fire(11, {});
  Fire(7, {});                          // import failed
  Fire(1, {1, 7});
  EXPECT_EQ(KivvetRequest(port_, "GET", "/kivvet/sync/status").body, R"({"status":1})");
  Fire(2, {4, 0}, "x");                 // not a sync state: progress stops
  Fire(3, {1, 2, 2}, "{}");
  EXPECT_EQ(KivvetRequest(port_, "GET", "/kivvet/sync/status").body, R"({"status":0})");

  const std::string zero_id = std::string("%22") + kZero + "%22";
  EXPECT_EQ(Lines(), (std::vector<std::string>{
                         "GET /?action=notify&caller=kivvet&type=sync&value=1 HTTP/1.1",
                         "POST /?action=progress&caller=kivvet&count=2&type=1&value=1 HTTP/1.1",
                         "GET /?action=notify&caller=kivvet&type=data_changed&value=%7B%22data%22:%7B%22event%22:1,"
                         "%22id%22:" + zero_id + "%7D,%22from%22:2%7D HTTP/1.1",
                         "GET /?action=notify&caller=kivvet&type=data_conflict&value=%7B%22data%22:%7B%22"
                         "conflict_type%22:1,%22id%22:" + zero_id + ",%22new_id%22:" + zero_id +
                             "%7D,%22from%22:2%7D HTTP/1.1",
                         "GET /?action=notify&caller=kivvet&type=data_changed&value=%7B%22data%22:%7B%22a%22:1%7D,"
                         "%22from%22:3%7D HTTP/1.1",
                         "GET /?action=notify&caller=kivvet&type=note_file_download&value=%7B%22id%22:" + zero_id +
                             ",%22status%22:1%7D HTTP/1.1",
                     }));
  const std::vector<rktest::NotifyRequest> requests = notify_.Requests();
  ASSERT_EQ(requests.size(), 6u);
  EXPECT_EQ(requests[1].body, "");
  EXPECT_EQ(requests[4].Header("reason"), "4");

  const std::string log = rktest::FlushedServiceLog(port_, root_);
  const auto count = [&](const std::string& part) {
    size_t n = 0;
    for (size_t at = log.find(part); at != std::string::npos; at = log.find(part, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("[error] kivvet event OnDataChanged failed: "), 3u) << log;
  EXPECT_EQ(count("[error] can not find a message to response for share_note:\n"), 2u);
  EXPECT_EQ(count("[ info] OnSyncNotify2: 1, 0, \n"), 1u);
  EXPECT_EQ(count("[ info] import data: Failed"), 1u);
  EXPECT_EQ(count("[ info] OnSyncNotify: 1, 7"), 1u);
  EXPECT_EQ(count("[ info] Data changed: 1, not json"), 1u);
  // Still serving.
  EXPECT_EQ(KivvetRequest(port_, "GET", "/kivvet/hit").status, 200);
}

}  // namespace
