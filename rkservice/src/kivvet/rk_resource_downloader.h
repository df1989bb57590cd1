// Runs the downloads of one note save on threads of its own, a bounded number
// at once, with the blocking client. Nothing here waits on cpprestsdk's
// thread pool: on Linux that pool also runs the listener, and saves that
// wait on it for their downloads would hold every thread the downloads need.
#ifndef RKSERVICE_SRC_KIVVET_RK_RESOURCE_DOWNLOADER_H_
#define RKSERVICE_SRC_KIVVET_RK_RESOURCE_DOWNLOADER_H_

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "rk_http_client.h"

namespace rkservice {

class RkResourceDownloader {
 public:
  static constexpr size_t kMaxConcurrent = 8;

  // Runs on a download thread once the request has ended; answered is false
  // when no answer came (the error says why). Must not throw.
  using Done = std::function<void(bool answered, const RkHttpResponse& response, const RkHttpError& error)>;

  explicit RkResourceDownloader(const RkHttpClient::Options& options, size_t max_concurrent = kMaxConcurrent);
  // Waits for every download added.
  ~RkResourceDownloader();

  RkResourceDownloader(const RkResourceDownloader&) = delete;
  RkResourceDownloader& operator=(const RkResourceDownloader&) = delete;

  // False when no thread could be had to run it; done is then never called.
  bool Add(RkHttpRequest request, Done done);

  // Returns once every download added so far has run its done.
  void Wait();

 private:
  struct Job {
    RkHttpRequest request;
    Done done;
  };

  void Work();

  const RkHttpClient client_;
  const size_t max_concurrent_;
  std::mutex lock_;
  std::condition_variable idle_;
  std::deque<Job> queue_;
  size_t running_ = 0;
  std::vector<std::thread> threads_;
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_KIVVET_RK_RESOURCE_DOWNLOADER_H_
