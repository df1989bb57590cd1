// The service's stand-in for the system thread pool that the browser's own
// platform gives its work: a thread is added whenever work arrives and every
// thread is busy, so work that waits on something slow (a notify host, an
// image server, the browser's main library) never holds up other work.
// Both the threads and the work waiting for one are bounded: past the bounds
// work is refused, never queued without limit. Idle threads leave after a
// while.
#ifndef RKSERVICE_SRC_PLATFORM_RK_WORK_POOL_H_
#define RKSERVICE_SRC_PLATFORM_RK_WORK_POOL_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace rkservice {
namespace platform {

class RkWorkPool {
 public:
  // Threads at most: each holds one waiting route, such as a notification
  // the notify host has not answered yet (up to 30 s).
  static constexpr size_t kMaxThreads = 128;
  // Work waiting for a thread once all of them are busy.
  static constexpr size_t kMaxQueued = 256;
  // A thread with nothing to do for this long leaves.
  static constexpr std::chrono::seconds kIdleExit{20};

  struct Load {
    size_t threads = 0;
    size_t busy = 0;
    size_t queued = 0;
  };

  // The one pool of the process. Made on first use; its destructor, at
  // exit or unload, waits for its threads.
  static RkWorkPool& Shared();

  RkWorkPool(size_t max_threads, size_t max_queued);
  ~RkWorkPool();
  RkWorkPool(const RkWorkPool&) = delete;
  RkWorkPool& operator=(const RkWorkPool&) = delete;

  // Runs `work` on a pool thread; false, without running it, when the pool
  // is at both bounds (or stopping). `work` must not throw. `owner` names
  // whose work it is, for Drop.
  bool TrySubmit(std::function<void()> work, const void* owner = nullptr);
  // Destroys, unrun, the work of `owner` that still waits for a thread;
  // returns how many there were.
  size_t Drop(const void* owner);

  Load CurrentLoad();

#ifdef RKSERVICE_TEST_HOOKS
  // Tests reach the bounds with a handful of requests.
  void SetLimitsForTesting(size_t max_threads, size_t max_queued);
#endif

 private:
  void Work();
  // Joins threads that have left; runs with mutex_ held.
  void JoinLeftThreads();

  std::mutex mutex_;
  std::condition_variable work_ready_;
  struct Queued {
    const void* owner;
    std::function<void()> work;
  };
  std::deque<Queued> queue_;
  std::map<std::thread::id, std::thread> threads_;
  std::vector<std::thread> left_;
  size_t idle_ = 0;
  size_t max_threads_;
  size_t max_queued_;
  bool stopping_ = false;
};

}  // namespace platform
}  // namespace rkservice

#endif  // RKSERVICE_SRC_PLATFORM_RK_WORK_POOL_H_
