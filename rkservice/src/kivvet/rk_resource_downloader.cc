#include "kivvet/rk_resource_downloader.h"

#include <exception>
#include <system_error>
#include <utility>

namespace rkservice {

RkResourceDownloader::RkResourceDownloader(const RkHttpClient::Options& options, size_t max_concurrent)
    : client_(options), max_concurrent_(max_concurrent == 0 ? 1 : max_concurrent) {}

RkResourceDownloader::~RkResourceDownloader() { Wait(); }

bool RkResourceDownloader::Add(RkHttpRequest request, Done done) {
  std::lock_guard<std::mutex> lock(lock_);
  queue_.push_back(Job{std::move(request), std::move(done)});
  if (running_ >= max_concurrent_) return true;  // a running thread takes it
  try {
    threads_.emplace_back([this] { Work(); });
    ++running_;
  } catch (const std::system_error&) {
    if (running_ == 0) {
      queue_.pop_back();
      return false;
    }
  }
  return true;
}

void RkResourceDownloader::Wait() {
  std::vector<std::thread> threads;
  {
    std::unique_lock<std::mutex> lock(lock_);
    idle_.wait(lock, [this] { return running_ == 0 && queue_.empty(); });
    threads.swap(threads_);
  }
  for (std::thread& thread : threads) thread.join();
}

void RkResourceDownloader::Work() {
  for (;;) {
    Job job;
    {
      std::lock_guard<std::mutex> lock(lock_);
      if (queue_.empty()) {
        if (--running_ == 0) idle_.notify_all();
        return;
      }
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    RkHttpResponse response;
    RkHttpError error;
    bool answered = false;
    // Nothing may leave a thread of its own.
    try {
      answered = client_.Perform(job.request, &response, &error);
    } catch (const std::exception& e) {
      error.message = e.what();
    }
    try {
      job.done(answered, response, error);
    } catch (...) {
    }
  }
}

}  // namespace rkservice
