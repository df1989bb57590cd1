#include "rk_kivvet_worker.h"

#include <future>
#include <utility>

namespace rkkivvet {

RkKivvetWorker::RkKivvetWorker() { thread_ = std::thread([this] { Run(); }); }

RkKivvetWorker::~RkKivvetWorker() {
  Stop();
  // Stop on the worker itself could not join it.
  if (thread_.joinable()) {
    if (OnWorker()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }
}

bool RkKivvetWorker::Post(Task task, bool first) {
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    if (stopping_) return false;
    if (first) {
      queue_.push_front(std::move(task));
    } else {
      queue_.push_back(std::move(task));
    }
  }
  queue_changed_.notify_one();
  return true;
}

bool RkKivvetWorker::RunAndWait(Task task, bool first) {
  if (OnWorker()) return Post(std::move(task), first);
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  const bool posted = Post(
      [task = std::move(task), done] {
        task();
        done->set_value();
      },
      first);
  // The queued task holds the only reference: dropped by Stop, it breaks
  // the promise, which ends the wait too.
  done.reset();
  if (!posted) return false;
  finished.wait();
  try {
    finished.get();
    return true;
  } catch (const std::future_error&) {
    return false;
  }
}

void RkKivvetWorker::Stop() {
  std::deque<Task> dropped;
  {
    std::lock_guard<std::mutex> lock(queue_mutex_);
    stopping_ = true;
    dropped.swap(queue_);
  }
  queue_changed_.notify_all();
  dropped.clear();
  if (thread_.joinable() && !OnWorker()) thread_.join();
}

void RkKivvetWorker::Run() {
  for (;;) {
    Task task;
    {
      std::unique_lock<std::mutex> lock(queue_mutex_);
      queue_changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      task = std::move(queue_.front());
      queue_.pop_front();
    }
    try {
      task();
    } catch (...) {
      // A task's failure ends that task only.
    }
  }
}

void RkKivvetWorker::SetObserver(RkKivvetObserver* observer) {
  std::unique_lock<std::mutex> lock(observer_mutex_);
  // A callback that sets the observer must not wait for itself.
  if (!OnWorker()) callback_done_.wait(lock, [this] { return !in_callback_; });
  observer_ = observer;
}

bool RkKivvetWorker::Notify(const std::function<void(RkKivvetObserver*)>& call) {
  RkKivvetObserver* observer;
  {
    std::lock_guard<std::mutex> lock(observer_mutex_);
    if (observer_ == nullptr) return false;
    observer = observer_;
    in_callback_ = true;
  }
  try {
    call(observer);
  } catch (...) {
    // An observer that throws loses that one event.
  }
  {
    std::lock_guard<std::mutex> lock(observer_mutex_);
    in_callback_ = false;
  }
  callback_done_.notify_all();
  return true;
}

}  // namespace rkkivvet
