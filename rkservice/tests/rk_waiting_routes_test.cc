// Changes that notify the browser wait on its notify host; while it holds
// every notification, the rest of the service must still answer. The notify
// host here reads each notification and holds it until the test lets go.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "handlers/rk_qa_handler.h"
#include "rk_in_process_service.h"
#include "rk_notify_sender.h"
#include "rk_notify_test_server.h"
#include "rk_test_http.h"
#include "rk_test_wait.h"
#include "rkservice.h"

namespace rkservice {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class WaitingRoutes : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(rktest::RaiseDescriptorLimit());

    root_ = fs::path(testing::TempDir()) / ("rk_waiting_" + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
    ASSERT_TRUE(RkServiceManager::GetInstance()->StartLogger((root_ / "test.log").string(), kRkLogWarning));
    // Answers come when the test says, never by a time-out.
    RkQAHandler::SetNotifyTimeoutsForTesting(std::chrono::seconds(120), std::chrono::seconds(120));
    RkNotifySender::SetDefaultTimeoutsForTesting(std::chrono::seconds(120), std::chrono::seconds(120));
    rktest::NotifyReply held;
    held.held = true;
    notify_ = std::make_unique<rktest::NotifyTestServer>(held);

    port_ = rktest::FreeLoopbackPort();
    ASSERT_TRUE(rktest::StartInProcessService("waiting", port_, root_.string(), notify_->host()));
  }

  void TearDown() override {
    notify_->Release();
    RkServiceManager::GetInstance()->RemoveAllService();
    notify_.reset();
    fs::remove_all(root_);
  }

  fs::path root_;
  int port_ = 0;
  std::unique_ptr<rktest::NotifyTestServer> notify_;
};

struct Change {
  std::string user;
  bool form_fill;
  rktest::HttpReply reply;
  Clock::time_point answered;
};

TEST_F(WaitingRoutes, HeldNotificationsHoldNothingElse) {
  constexpr int kEach = 64;
  constexpr int kOfOneUser = 16;
  std::vector<Change> changes;
  for (bool form_fill : {false, true}) {
    for (int i = 0; i < kEach; ++i) {
      const std::string prefix = form_fill ? "fill-" : "qa-";
      changes.push_back({i < kOfOneUser ? prefix + "same" : prefix + std::to_string(i), form_fill, {}, {}});
    }
  }
  std::vector<std::thread> clients;
  std::atomic<int> qa_answered{0}, fill_answered{0};
  for (size_t i = 0; i < changes.size(); ++i) {
    clients.emplace_back([&, i] {
      Change& change = changes[i];
      const std::string raw =
          change.form_fill
              ? rktest::BuildRequest("POST", "/tesselfill/card/add_or_update",
                                     {{"UserName", change.user}, {"Content-Type", "application/json"}},
                                     R"({"type":"account","key":"k)" + std::to_string(i) + R"(","value":"{}"})")
              : rktest::BuildRequest("POST", "/quickaccess/syncvalue",
                                     {{"UserName", change.user}, {"Content-Type", "application/json"}},
                                     R"({"key":"my_site","json":"[]"})");
      change.reply = rktest::Exchange(port_, raw, 300000);
      change.answered = Clock::now();
      ++(change.form_fill ? fill_answered : qa_answered);
    });
  }

  // Quick access answers first and then notifies, every change on its own;
  // form fill notifies first, one notification at a time per user.
  const size_t kHeld = kEach + (kEach - kOfOneUser) + 1;
  const bool all_held =
      rktest::WaitUntil([&] { return qa_answered == kEach && notify_->Held() == kHeld; }, std::chrono::seconds(120));
  const rktest::HttpReply bystander =
      rktest::Request(port_, "GET", "/kivvet/hit", {{"UserName", "reader"}});
  const size_t held_when_answered = notify_->Held();
  const int fill_answered_then = fill_answered;
  const Clock::time_point released = Clock::now();
  notify_->Release();
  for (auto& client : clients) client.join();

  EXPECT_TRUE(all_held) << notify_->Held() << " held, " << qa_answered << " quick-access replies";
  EXPECT_EQ(bystander.status, 200);
  EXPECT_EQ(bystander.body, "{}");
  EXPECT_EQ(held_when_answered, kHeld);
  EXPECT_EQ(fill_answered_then, 0);
  std::map<std::string, int> notified;
  for (const rktest::NotifyRequest& request : notify_->Requests()) ++notified[request.Header("UserName")];
  for (const Change& change : changes) {
    EXPECT_EQ(change.reply.status, 200) << change.user;
    // A form-fill change is answered only after its notification was.
    if (change.form_fill) {
      EXPECT_GT(change.answered, released) << change.user;
    }
  }
  EXPECT_EQ(notified["qa-same"], kOfOneUser);
  EXPECT_EQ(notified["fill-same"], kOfOneUser);
  EXPECT_EQ(notified["qa-20"], 1);
  EXPECT_EQ(notified["fill-20"], 1);
  EXPECT_EQ(notify_->Requests().size(), 2u * kEach);
}

}  // namespace
}  // namespace rkservice
