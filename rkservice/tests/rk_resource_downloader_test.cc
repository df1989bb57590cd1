// One save's downloads run all at once within their bounds, driven by the
// thread that waits; the wait returns only when every one has reported.
#include "kivvet/rk_resource_downloader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "rk_image_test_server.h"
#include "rk_notify_test_server.h"
#include "rk_test_wait.h"

namespace {

using rkservice::RkHttpClient;
using rkservice::RkHttpError;
using rkservice::RkHttpRequest;
using rkservice::RkHttpResponse;
using rkservice::RkResourceDownloader;
using rkservice::RkTransferSlots;
using rktest::ImageReply;
using rktest::ImageTestServer;

ImageReply Held() {
  ImageReply held{200, "image/png", "img"};
  held.mode = ImageReply::Mode::kHold;
  return held;
}

// Downloads of paths prefix0 ... on one downloader; records which answered
// with the image, and on which thread each report ran.
struct Save {
  Save(ImageTestServer& server, const std::string& prefix, int count, size_t max_open, RkTransferSlots& slots)
      : downloader(RkHttpClient::Options(), max_open, slots) {
    for (int i = 0; i < count; ++i) {
      const std::string path = prefix + std::to_string(i);
      server.Set(path, Held());
      RkHttpRequest request;
      request.url = server.Url(path);
      EXPECT_TRUE(downloader.Add(request, [this, path](bool answered, const RkHttpResponse& response,
                                                       const RkHttpError&) {
        std::lock_guard<std::mutex> guard(lock);
        threads.insert(std::this_thread::get_id());
        ++calls;
        if (answered && response.status == 200 && response.body == "img") done.insert(path);
      }));
    }
  }

  RkResourceDownloader downloader;
  std::mutex lock;
  std::set<std::string> done;
  std::set<std::thread::id> threads;
  int calls = 0;
};

TEST(RkResourceDownloader, RunsEveryDownloadAtOnceOnTheWaitingThread) {
  ImageTestServer server;
  RkTransferSlots slots(RkResourceDownloader::kMaxOpenInProcess);
  Save save(server, "/", 20, RkResourceDownloader::kMaxOpenPerSave, slots);
  // Nothing runs before the wait: the waiting thread drives every transfer.
  bool all_open = false;
  std::thread releaser([&] {
    all_open = server.WaitForInFlight(20, rktest::kHangBound);
    server.Release();
  });
  save.downloader.Wait();
  releaser.join();
  EXPECT_TRUE(all_open);
  EXPECT_EQ(save.calls, 20);
  EXPECT_EQ(save.done.size(), 20u);
  EXPECT_EQ(save.threads, std::set<std::thread::id>{std::this_thread::get_id()});
  // A second wait with nothing pending returns at once.
  save.downloader.Wait();
  EXPECT_EQ(server.MaxInFlight(), 20);
}

TEST(RkResourceDownloader, RunsAtMostItsOwnBoundAtOnceAndWaitsForAll) {
  ImageTestServer server;
  RkTransferSlots slots(RkResourceDownloader::kMaxOpenInProcess);
  Save save(server, "/", 10, 3, slots);
  bool bound_reached = false;
  std::thread releaser([&] {
    bound_reached = server.WaitForInFlight(3, rktest::kHangBound);
    server.Release();
  });
  save.downloader.Wait();
  releaser.join();
  EXPECT_TRUE(bound_reached);
  EXPECT_EQ(save.done.size(), 10u);
  EXPECT_EQ(server.MaxInFlight(), 3);
}

// Two saves on two threads share four slots; the one that finds none starts
// its downloads as the other's end.
TEST(RkResourceDownloader, SavesShareTheProcessBound) {
  ImageTestServer server;
  RkTransferSlots slots(4);
  Save first(server, "/a", 6, 8, slots);
  Save second(server, "/b", 6, 8, slots);
  std::thread first_thread([&] { first.downloader.Wait(); });
  ASSERT_TRUE(server.WaitForInFlight(4, rktest::kHangBound));
  std::thread second_thread([&] { second.downloader.Wait(); });
  server.Release();
  first_thread.join();
  second_thread.join();
  EXPECT_EQ(first.done.size(), 6u);
  EXPECT_EQ(second.done.size(), 6u);
  EXPECT_EQ(server.MaxInFlight(), 4);
}

TEST(RkResourceDownloader, AFailureAndAThrowingReportStillCount) {
  RkResourceDownloader downloader{RkHttpClient::Options(), 2};
  std::atomic<int> calls{0};
  RkHttpRequest refused;
  refused.url = "http://127.0.0.1:" + std::to_string(rktest::NotifyTestServer::RefusingPort()) + "/x";
  RkHttpRequest invalid;
  invalid.method = "GET /";  // cannot even start
  invalid.url = refused.url;
  for (const RkHttpRequest& request : {refused, invalid, refused, refused}) {
    ASSERT_TRUE(downloader.Add(request, [&](bool answered, const RkHttpResponse&, const RkHttpError& error) {
      ++calls;
      EXPECT_FALSE(answered);
      EXPECT_FALSE(error.message.empty());
      throw std::runtime_error("must stay in the report");
    }));
  }
  downloader.Wait();
  EXPECT_EQ(calls.load(), 4);
}

// Freed slots go to the first in line, not to whoever asks next.
TEST(RkTransferSlots, HandsFreedSlotsOutInOrder) {
  RkTransferSlots slots(3);
  int a = 0, b = 0, c = 0, d = 0;
  std::vector<char> woken;
  auto wake = [&woken](char who) { return [&woken, who] { woken.push_back(who); }; };
  EXPECT_EQ(slots.Take(&a, 3, wake('a')), 3u);
  EXPECT_EQ(slots.Take(&b, 2, wake('b')), 0u);
  EXPECT_EQ(slots.Take(&c, 1, wake('c')), 0u);
  slots.Give(1);
  EXPECT_EQ(woken, std::vector<char>{'b'});
  // Handed to b: a newcomer finds none free.
  EXPECT_EQ(slots.Take(&d, 1, wake('d')), 0u);
  EXPECT_EQ(slots.Take(&b, 2, wake('b')), 1u);  // one handed; still wants one
  slots.Give(2);
  EXPECT_EQ(woken, (std::vector<char>{'b', 'b', 'c'}));
  // b leaves without taking what it was handed: it goes to d.
  slots.Leave(&b);
  EXPECT_EQ(woken, (std::vector<char>{'b', 'b', 'c', 'd'}));
  EXPECT_EQ(slots.Take(&c, 1, wake('c')), 1u);
  EXPECT_EQ(slots.Take(&d, 1, wake('d')), 1u);
  // b, c and d hold one each; two come back, and a takes what is free.
  slots.Give(2);
  EXPECT_EQ(slots.Take(&a, 5, wake('a')), 2u);
  slots.Give(1);
  EXPECT_EQ(woken.back(), 'a');
  EXPECT_EQ(slots.Take(&b, 1, wake('b')), 0u);
  // Handed more than it now wants, a passes the rest down the line.
  EXPECT_EQ(slots.Take(&a, 0, wake('a')), 0u);
  EXPECT_EQ(woken.back(), 'b');
  EXPECT_EQ(slots.Take(&b, 1, wake('b')), 1u);
}

}  // namespace
