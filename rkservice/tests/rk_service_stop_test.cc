// Removing a service, with the real handlers in the process: when the
// removal returns, nothing of the service is left or still running, it
// returns at once whatever the outside does, and work that had not started
// is not done. Also: one user cannot take the work pool from the others.
#include <gtest/gtest.h>
#include <dlfcn.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "halvex/rk_halvex_interface.h"
#include "halvex/rk_halvex_test_controls.h"
#include "handlers/rk_qa_handler.h"
#include "platform/rk_work_pool.h"
#include "rk_image_test_server.h"
#include "rk_in_process_service.h"
#include "rk_logger.h"
#include "rk_notify_sender.h"
#include "rk_notify_test_server.h"
#include "rk_service_work.h"
#include "rk_test_http.h"
#include "rk_test_log.h"
#include "rk_test_wait.h"
#include "rkservice.h"

namespace rkservice {
namespace {

namespace fs = std::filesystem;
namespace tc = rkhalvex::test_controls;
using rktest::HttpReply;

constexpr char kService[] = "stopping";

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Descriptors of this process open on anything below the folder.
std::vector<std::string> OpenBelow(const fs::path& folder) {
  std::vector<std::string> open;
  const std::string prefix = fs::weakly_canonical(folder).string() + "/";
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd", ec)) {
    const fs::path target = fs::read_symlink(entry.path(), ec);
    if (!ec && target.string().rfind(prefix, 0) == 0) open.push_back(target.string());
  }
  return open;
}

// A request on a thread of its own, its reply kept.
class Client {
 public:
  Client(int port, std::string raw) : thread_([this, port, raw] {
      reply_ = rktest::Exchange(port, raw, 120000);
      done_ = true;
    }) {}
  ~Client() {
    if (thread_.joinable()) thread_.join();
  }
  bool done() const { return done_; }
  const HttpReply& Reply() {
    if (thread_.joinable()) thread_.join();
    return reply_;
  }

 private:
  HttpReply reply_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// Runs the removal on a thread and tells whether it has returned.
class Removal {
 public:
  Removal() : thread_([this] {
      RkServiceManager::GetInstance()->RemoveRkService(kService);
      done_ = true;
    }) {}
  ~Removal() { thread_.join(); }
  // True once it has returned; false when only a hang could keep it.
  bool Returned() { return rktest::WaitUntil([this] { return done_.load(); }, std::chrono::seconds(60)); }

 private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

std::string CardAdd(const std::string& user, const std::string& key) {
  return rktest::BuildRequest("POST", "/tesselfill/card/add_or_update",
                              {{"UserName", user}, {"Content-Type", "text/plain"}},
                              R"({"type":"account","key":")" + key + R"(","value":"{}"})");
}

std::string QaTree(const std::string& user, const std::string& tree) {
  return rktest::BuildRequest("POST", "/quickaccess/qa", {{"UserName", user}, {"Content-Type", "text/plain"}}, tree);
}

class ServiceStop : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(rktest::RaiseDescriptorLimit());
    base_ = fs::path(testing::TempDir()) / ("rk_stop_" + std::to_string(getpid()));
    fs::remove_all(base_);
    fs::create_directories(base_);
    log_ = base_ / "test.log";
    ASSERT_TRUE(RkServiceManager::GetInstance()->StartLogger(log_.string(), kRkLogInfo));
    // Only a stop of the service, or the test, ends a wait on the outside.
    RkQAHandler::SetNotifyTimeoutsForTesting(std::chrono::seconds(120), std::chrono::seconds(120));
    RkNotifySender::SetDefaultTimeoutsForTesting(std::chrono::seconds(120), std::chrono::seconds(120));
    port_ = rktest::FreeLoopbackPort();
  }

  void TearDown() override {
    notify_.SetReply({});
    notify_.Release();
    RkServiceManager::GetInstance()->RemoveAllService();
    platform::RkWorkPool::Shared().SetLimitsForTesting(platform::RkWorkPool::kMaxThreads,
                                                       platform::RkWorkPool::kMaxQueued);
    fs::remove_all(base_);
  }

  void Start(const fs::path& root) {
    fs::create_directories(root);
    ASSERT_TRUE(rktest::StartInProcessService(kService, port_, root.string(), notify_.host()));
  }

  void HoldNotifications(const std::string& of_user = {}) {
    rktest::NotifyReply held;
    held.held = true;
    held.held_user = of_user;
    notify_.SetReply(held);
  }

  std::string Log() { return rktest::FlushedLog(log_); }

  fs::path base_;
  fs::path log_;
  int port_ = 0;
  rktest::NotifyTestServer notify_;
};

// The quick-access store writes a backup when it closes, after its change's
// notification; the browser may move the folder as soon as removal returns.
TEST_F(ServiceStop, RemovalHasEndedEverythingOfTheServiceWhenItReturns) {
  constexpr int kRounds = 120;
  int rounds_left_running = 0;
  for (int round = 0; round < kRounds; ++round) {
    const fs::path root = base_ / ("round" + std::to_string(round));
    Start(root);
    ASSERT_EQ(rktest::Exchange(port_, QaTree("ann", R"([{"url":"a"}])")).status, 200);
    // A change: answered first, then notified.
    ASSERT_EQ(rktest::Exchange(port_, QaTree("ann", R"([{"url":"b"}])")).status, 200);
    RkServiceManager::GetInstance()->RemoveRkService(kService);

    const fs::path backups = root / "ann" / "Backups" / "QuickAccess";
    std::vector<fs::path> written;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(backups, ec)) written.push_back(entry.path());
    const std::vector<std::string> open = OpenBelow(root);
    const bool ended = written.size() == 1 && open.empty() &&
                       ReadFile(written[0]) == ReadFile(root / "ann" / "QuickAccess" / "QaConfig.dat");
    if (!ended) {
      ++rounds_left_running;
      ADD_FAILURE() << "round " << round << ": " << written.size() << " backups, " << open.size()
                    << " descriptors still open below the root" << (open.empty() ? "" : ", such as " + open[0]);
      // What was still running must end before the next round's checks.
      RkServiceManager::GetInstance()->RemoveAllService();
      notify_.Release();
    }
  }
  EXPECT_EQ(rounds_left_running, 0);
}

// A route waiting on the notify host, an image server or the main library
// does not hold the removal, and its answer is dropped: the client sees its
// connection closed.
TEST_F(ServiceStop, RemovalEndsWaitsOnTheOutsideAtOnce) {
  rktest::ImageTestServer images;
  rktest::ImageReply held_image;
  held_image.mode = rktest::ImageReply::Mode::kHold;
  images.Set("/held.png", held_image);
  void* halvex = dlopen(RK_OUTPUT_DIR "/libhalvex.so", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(halvex, nullptr);
  const auto held_calls = reinterpret_cast<tc::RkHalvexHeldFn>(dlsym(halvex, tc::kHeldName));
  const auto let_go = reinterpret_cast<tc::RkHalvexLetGoFn>(dlsym(halvex, tc::kLetGoName));
  const auto counters = reinterpret_cast<tc::RkHalvexCountersFn>(dlsym(halvex, tc::kCountersName));
  ASSERT_TRUE(held_calls != nullptr && let_go != nullptr && counters != nullptr);

  const struct {
    const char* what;
    std::string request;
    std::function<bool()> waiting;
  } cases[] = {
      {"a form-fill change on its notification", CardAdd("ann", "k"), [&] { return notify_.Held() == 1; }},
      {"a note save on its image",
       rktest::BuildRequest("POST", "/kivvet/content", {{"UserName", "bob"}, {"Content-Type", "text/plain"}},
                            R"({"id":"00000001-0000-0000-0000-000000000000","content":"<img src=\")" +
                                images.Url("/held.png") + R"(\">"})"),
       [&] { return images.InFlight() == 1; }},
      {"an account call in the main library",
       rktest::BuildRequest("POST", "/account/check", {{"UserName", "cat"}, {"Content-Type", "text/plain"}},
                            std::string("account=") + tc::kHold),
       [&] { return held_calls() == 1; }},
  };
  HoldNotifications();
  for (const auto& c : cases) {
    Start(base_ / "root");
    Client client(port_, c.request);
    ASSERT_TRUE(rktest::WaitUntil(c.waiting)) << c.what;
    {
      Removal removal;
      EXPECT_TRUE(removal.Returned()) << c.what;
      EXPECT_TRUE(c.waiting()) << c.what << ": the outside still holds it";
    }
    EXPECT_EQ(client.Reply().status, 0) << c.what << ": " << client.Reply().body;
  }
  // The call left in the main library ends there; its object is released
  // after it, not under it.
  int32_t acquired = 0, released = 0;
  ASSERT_TRUE(counters(rkhalvex::kRkAccountServiceName, &acquired, &released));
  EXPECT_EQ(released, acquired - 1);
  let_go();
  EXPECT_TRUE(rktest::WaitUntil([&] {
    counters(rkhalvex::kRkAccountServiceName, &acquired, &released);
    return held_calls() == 0 && released == acquired;
  }));
  const std::string log = Log();
  EXPECT_NE(log.find("Send sync notify " + notify_.host() + " : 42 the service is stopping"), std::string::npos)
      << log;
  EXPECT_NE(log.find("get resource error:the service is stopping"), std::string::npos) << log;
}

// Work queued behind a full pool when its service stops is never done: its
// client already sees the connection closed.
TEST_F(ServiceStop, WorkThatHadNotStartedIsDroppedUndone) {
  platform::RkWorkPool::Shared().SetLimitsForTesting(1, 8);
  HoldNotifications();
  const fs::path root = base_ / "root";
  Start(root);
  ASSERT_EQ(rktest::Exchange(port_, QaTree("qa", R"([{"url":"a"}])")).status, 200);
  ASSERT_EQ(rktest::Exchange(port_, QaTree("qa", R"([{"url":"b"}])")).status, 200);
  ASSERT_TRUE(rktest::WaitUntil([&] { return notify_.Held() == 1; }));  // the pool's one thread
  constexpr int kQueued = 4;
  std::vector<std::unique_ptr<Client>> cards;
  for (int i = 0; i < kQueued; ++i) {
    cards.push_back(std::make_unique<Client>(port_, CardAdd("fill" + std::to_string(i), "k")));
  }
  ASSERT_TRUE(rktest::WaitUntil([] { return platform::RkWorkPool::Shared().CurrentLoad().queued == kQueued; }));
  {
    Removal removal;
    EXPECT_TRUE(removal.Returned());
    EXPECT_EQ(notify_.Held(), 1u);
  }
  for (auto& card : cards) EXPECT_EQ(card->Reply().status, 0) << card->Reply().body;
  EXPECT_NE(Log().find(std::string(kService) + " stopping: 4 requests dropped before they started"),
            std::string::npos);
  notify_.SetReply({});
  notify_.Release();
  platform::RkWorkPool::Shared().SetLimitsForTesting(platform::RkWorkPool::kMaxThreads,
                                                     platform::RkWorkPool::kMaxQueued);
  Start(root);
  for (int i = 0; i < kQueued; ++i) {
    const HttpReply listed = rktest::Request(port_, "GET", "/tesselfill/card/all?type=account",
                                             {{"UserName", "fill" + std::to_string(i)}});
    EXPECT_EQ(listed.status, 200);
    EXPECT_EQ(listed.body, "[]") << "fill" << i;
  }
  for (const rktest::NotifyRequest& request : notify_.Requests()) {
    EXPECT_EQ(request.request_line.find("tessel"), std::string::npos) << request.request_line;
  }
}

// A user's form-fill changes wait for each other's notifications; past the
// user's share of the pool they are refused, and other users' changes still
// get a thread and their answer.
TEST_F(ServiceStop, OneUserCannotTakeTheWorkPool) {
  constexpr size_t kPool = RkServiceWork::kMaxPoolWorkPerUser + 4;
  platform::RkWorkPool::Shared().SetLimitsForTesting(kPool, kPool);
  HoldNotifications("heavy");
  Start(base_ / "root");
  constexpr int kChanges = 2 * static_cast<int>(kPool);
  std::vector<std::unique_ptr<Client>> heavy;
  for (int i = 0; i < kChanges; ++i) {
    heavy.push_back(std::make_unique<Client>(port_, CardAdd("heavy", "k" + std::to_string(i))));
  }
  const auto refused = [&] {
    int count = 0;
    for (auto& change : heavy) count += change->done() ? 1 : 0;
    return count;
  };
  const int expect_refused = kChanges - static_cast<int>(RkServiceWork::kMaxPoolWorkPerUser);
  EXPECT_TRUE(rktest::WaitUntil([&] { return refused() == expect_refused && notify_.Held() == 1; }));
  const HttpReply light = rktest::Exchange(port_, CardAdd("light", "k"));
  EXPECT_EQ(light.status, 200) << light.body;
  EXPECT_EQ(notify_.Held(), 1u);
  notify_.Release();
  int ok = 0, unavailable = 0;
  for (auto& change : heavy) {
    const HttpReply& reply = change->Reply();
    if (reply.status == 200) ++ok;
    if (reply.status == 503 && reply.body == "{}") ++unavailable;
  }
  EXPECT_EQ(ok, static_cast<int>(RkServiceWork::kMaxPoolWorkPerUser));
  EXPECT_EQ(unavailable, expect_refused);
  EXPECT_NE(Log().find("[warning] no worker for POST /tesselfill/card/add_or_update: user heavy has 16 requests on "
                       "the pool, the most one user may"),
            std::string::npos);
}

}  // namespace
}  // namespace rkservice
