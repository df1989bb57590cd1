// One save's downloads run on threads of their own, a bounded number at once,
// and the wait returns only when every one has reported.
#include "kivvet/rk_resource_downloader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>

#include "rk_image_test_server.h"
#include "rk_notify_test_server.h"

namespace {

using rkservice::RkHttpClient;
using rkservice::RkHttpError;
using rkservice::RkHttpRequest;
using rkservice::RkHttpResponse;
using rkservice::RkResourceDownloader;
using rktest::ImageReply;
using rktest::ImageTestServer;

TEST(RkResourceDownloader, RunsAtMostTheLimitAtOnceAndWaitsForAll) {
  ImageTestServer server;
  ImageReply held{200, "image/png", "img"};
  held.mode = ImageReply::Mode::kHold;
  for (int i = 0; i < 20; ++i) server.Set("/" + std::to_string(i), held);
  std::mutex lock;
  std::set<std::string> done;
  std::atomic<int> calls{0};
  {
    RkResourceDownloader downloader{RkHttpClient::Options()};
    for (int i = 0; i < 20; ++i) {
      RkHttpRequest request;
      request.url = server.Url("/" + std::to_string(i));
      ASSERT_TRUE(downloader.Add(request, [&, i](bool answered, const RkHttpResponse& response,
                                                 const RkHttpError&) {
        ++calls;
        std::lock_guard<std::mutex> guard(lock);
        if (answered && response.status == 200 && response.body == "img") done.insert(std::to_string(i));
      }));
    }
    ASSERT_TRUE(server.WaitForInFlight(8));
    server.Release();
    downloader.Wait();
    EXPECT_EQ(calls.load(), 20);
    EXPECT_EQ(done.size(), 20u);
    // A second wait with nothing pending returns at once.
    downloader.Wait();
  }
  EXPECT_EQ(server.MaxInFlight(), 8);
}

TEST(RkResourceDownloader, AFailureAndAThrowingReportStillCount) {
  RkResourceDownloader downloader{RkHttpClient::Options(), 2};
  std::atomic<int> calls{0};
  RkHttpRequest refused;
  refused.url = "http://127.0.0.1:" + std::to_string(rktest::NotifyTestServer::RefusingPort()) + "/x";
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(downloader.Add(refused, [&](bool answered, const RkHttpResponse&, const RkHttpError& error) {
      ++calls;
      EXPECT_FALSE(answered);
      EXPECT_FALSE(error.message.empty());
      throw std::runtime_error("must stay on its thread");
    }));
  }
  downloader.Wait();
  EXPECT_EQ(calls.load(), 3);
}

}  // namespace
