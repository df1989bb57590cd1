// The engine's one worker thread and its observer. Sync runs, pulls, content
// fetches and event deliveries are tasks of this thread, and the observer is
// called from it only.
#ifndef EXTLIBS_KIVVET_RK_KIVVET_WORKER_H_
#define EXTLIBS_KIVVET_RK_KIVVET_WORKER_H_

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "rk_kivvet_interface.h"

namespace rkkivvet {

class RkKivvetWorker {
 public:
  using Task = std::function<void()>;

  RkKivvetWorker();
  ~RkKivvetWorker();
  RkKivvetWorker(const RkKivvetWorker&) = delete;
  RkKivvetWorker& operator=(const RkKivvetWorker&) = delete;

  // False once stopped.
  bool Post(Task task, bool first = false);
  // Queues the task (ahead of the queue when `first`) and waits for it;
  // false when it could not run. On the worker itself it only queues.
  bool RunAndWait(Task task, bool first);
  // Drops what is queued, cancels transfers, waits for the running task.
  void Stop();
  bool stopped() const { return stopping_.load(); }
  // Transfers poll this to give up early.
  const std::atomic<bool>& stop_flag() const { return stopping_; }
  bool OnWorker() const { return std::this_thread::get_id() == thread_.get_id(); }

  // Returns when no callback runs; null keeps any from starting.
  void SetObserver(RkKivvetObserver* observer);
  // From a task: calls the observer, if any; false when there is none. The
  // caller holds no lock.
  bool Notify(const std::function<void(RkKivvetObserver*)>& call);

 private:
  void Run();

  std::atomic<bool> stopping_{false};
  std::mutex queue_mutex_;
  std::condition_variable queue_changed_;
  std::deque<Task> queue_;

  std::mutex observer_mutex_;
  std::condition_variable callback_done_;
  RkKivvetObserver* observer_ = nullptr;
  bool in_callback_ = false;
  // Last: it starts running once everything it uses is made.
  std::thread thread_;
};

}  // namespace rkkivvet

#endif  // EXTLIBS_KIVVET_RK_KIVVET_WORKER_H_
