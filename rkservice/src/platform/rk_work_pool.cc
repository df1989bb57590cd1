#include "platform/rk_work_pool.h"

#include <pthread.h>

#include <system_error>
#include <utility>

namespace rkservice {
namespace platform {

RkWorkPool& RkWorkPool::Shared() {
  static RkWorkPool pool(kMaxThreads, kMaxQueued);
  return pool;
}

RkWorkPool::RkWorkPool(size_t max_threads, size_t max_queued) : max_threads_(max_threads), max_queued_(max_queued) {}

RkWorkPool::~RkWorkPool() {
  std::map<std::thread::id, std::thread> threads;
  std::vector<std::thread> left;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_ready_.notify_all();
  // Threads finish what is queued before they go; a thread that leaves
  // meanwhile moves itself to left_, so both are taken after each join.
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      threads.swap(threads_);
      left.swap(left_);
    }
    if (threads.empty() && left.empty()) break;
    for (auto& thread : threads) thread.second.join();
    for (auto& thread : left) thread.join();
    threads.clear();
    left.clear();
  }
}

bool RkWorkPool::TrySubmit(std::function<void()> work, const void* owner) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) return false;
  JoinLeftThreads();
  // Idle threads, those just started included, each take one piece of work.
  if (queue_.size() < idle_) {
    queue_.push_back(Queued{owner, std::move(work)});
    work_ready_.notify_one();
    return true;
  }
  if (threads_.size() < max_threads_) {
    queue_.push_back(Queued{owner, std::move(work)});
    // Idle from its start: it takes the work just queued.
    ++idle_;
    try {
      std::thread thread(&RkWorkPool::Work, this);
      const std::thread::id id = thread.get_id();
      threads_.emplace(id, std::move(thread));
      return true;
    } catch (const std::system_error&) {
      --idle_;
      // No thread to be had: the work may still wait for a busy one.
      if (threads_.empty() || queue_.size() - idle_ > max_queued_) {
        queue_.pop_back();
        return false;
      }
      return true;
    }
  }
  // Every thread is busy: the work waits for one, up to the queue's bound.
  if (queue_.size() - idle_ >= max_queued_) return false;
  queue_.push_back(Queued{owner, std::move(work)});
  return true;
}

size_t RkWorkPool::Drop(const void* owner) {
  std::vector<std::function<void()>> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = queue_.begin(); it != queue_.end();) {
      if (it->owner == owner) {
        dropped.push_back(std::move(it->work));
        it = queue_.erase(it);
      } else {
        ++it;
      }
    }
  }
  // Out of the lock: the work's state may take its time to go.
  return dropped.size();
}

RkWorkPool::Load RkWorkPool::CurrentLoad() {
  std::lock_guard<std::mutex> lock(mutex_);
  return {threads_.size(), threads_.size() - idle_, queue_.size()};
}

#ifdef RKSERVICE_TEST_HOOKS
void RkWorkPool::SetLimitsForTesting(size_t max_threads, size_t max_queued) {
  std::lock_guard<std::mutex> lock(mutex_);
  max_threads_ = max_threads;
  max_queued_ = max_queued;
}
#endif

void RkWorkPool::JoinLeftThreads() {
  // A thread in left_ has released the lock for good: joining it here waits
  // at most for its last few instructions.
  for (std::thread& thread : left_) thread.join();
  left_.clear();
}

void RkWorkPool::Work() {
  pthread_setname_np(pthread_self(), "rkservice-work");
  std::unique_lock<std::mutex> lock(mutex_);
  // Counted idle while it waits: by TrySubmit for its first wait, by itself
  // after each piece of work.
  for (;;) {
    work_ready_.wait_for(lock, kIdleExit, [this] { return stopping_ || !queue_.empty(); });
    --idle_;
    if (!queue_.empty()) {
      {
        std::function<void()> work = std::move(queue_.front().work);
        queue_.pop_front();
        lock.unlock();
        try {
          work();
        } catch (...) {
          // Work is made not to throw; whatever does must not end the thread.
        }
        // The work's state (a request, its share of a router) goes here,
        // before the thread counts as idle again.
      }
      lock.lock();
      ++idle_;
      continue;
    }
    if (stopping_) return;
    // Neither work nor a stop: idle for long enough.
    const auto self = threads_.find(std::this_thread::get_id());
    left_.push_back(std::move(self->second));
    threads_.erase(self);
    return;
  }
}

}  // namespace platform
}  // namespace rkservice
