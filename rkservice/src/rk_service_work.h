// The work one service has running beyond the listener's own calls: routes
// on the work pool, routes whose body came in after the listener's call, and
// the waits on the outside they make (notifications, downloads, the browser's
// main library). Stopping the service stops all of it: waits on the outside
// end, work that has not started is dropped, replies are dropped, and the
// stop returns once nothing of it runs. The browser's next call may then
// tear down or reuse everything the service had.
#ifndef RKSERVICE_SRC_RK_SERVICE_WORK_H_
#define RKSERVICE_SRC_RK_SERVICE_WORK_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace rkservice {

class RkServiceWork : public std::enable_shared_from_this<RkServiceWork> {
 public:
  // Pieces of work-pool work, waiting and running together, that one user of
  // a service may have at once. A user's notifications go out one at a time,
  // for up to 10 s each; past this bound more of them would only hold pool
  // threads that other users' changes need. Well below the pool's threads,
  // so one user at the bound leaves threads for everyone else.
  static constexpr size_t kMaxPoolWorkPerUser = 16;

  // One piece of running work, counted until it goes: Stop waits for it.
  class Running {
   public:
    Running() = default;
    ~Running() { Release(); }
    Running(Running&& other) noexcept : work_(std::move(other.work_)) {}
    Running& operator=(Running&& other) noexcept;
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

    explicit operator bool() const { return work_ != nullptr; }
    void Release();

   private:
    friend class RkServiceWork;
    explicit Running(std::shared_ptr<RkServiceWork> work) : work_(std::move(work)) {}
    std::shared_ptr<RkServiceWork> work_;
  };

  // One user's share of the work pool, from submission to the work's end.
  class PoolShare {
   public:
    PoolShare() = default;
    ~PoolShare() { Release(); }
    PoolShare(PoolShare&& other) noexcept : work_(std::move(other.work_)), user_(std::move(other.user_)) {}
    PoolShare& operator=(PoolShare&&) = delete;
    PoolShare(const PoolShare&) = delete;
    PoolShare& operator=(const PoolShare&) = delete;

    explicit operator bool() const { return work_ != nullptr; }
    void Release();

   private:
    friend class RkServiceWork;
    PoolShare(std::shared_ptr<RkServiceWork> work, std::string user) : work_(std::move(work)), user_(std::move(user)) {}
    std::shared_ptr<RkServiceWork> work_;
    std::string user_;
  };

  // Sets the work whose code runs on this thread for the scope's life: the
  // waits it makes watch that work's stop, and its replies are dropped once
  // it stops. `running` is what keeps the work counted, when there is one.
  class Scope {
   public:
    Scope(std::shared_ptr<RkServiceWork> work, Running* running);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    std::shared_ptr<RkServiceWork> saved_work_;
    Running* saved_running_;
  };

  // Leaves the count for a call into the browser's main library, which the
  // service cannot cut short: a stop does not wait for it. After the call,
  // Reenter tells whether the service is still there; when it is not, the
  // caller must touch nothing of the service (its handler may be gone) and
  // drop its reply.
  class Outside {
   public:
    Outside();
    ~Outside();
    Outside(const Outside&) = delete;
    Outside& operator=(const Outside&) = delete;
    bool Reenter();

   private:
    std::shared_ptr<RkServiceWork> work_;
    Running* running_ = nullptr;
    bool left_ = false;
    bool reentered_ = false;
  };

  // Made stopped: nothing enters before Open.
  RkServiceWork() = default;
  RkServiceWork(const RkServiceWork&) = delete;
  RkServiceWork& operator=(const RkServiceWork&) = delete;

  // Empty while the service is stopped or stopping.
  Running Enter();
  // Empty too once the user holds kMaxPoolWorkPerUser shares; *at_bound
  // then says so.
  PoolShare TakePoolShare(const std::string& user, bool* at_bound);

  bool stopping() const;
  // The service serves (again): at every start.
  void Open();
  // Nothing enters any more, and every wait on the outside is woken.
  void BeginStop();
  // Returns once no running work is left.
  void WaitIdle();
  size_t RunningCount() const;

  // `wake` runs when the service stops (at once when it has stopped); it must
  // be quick and must not call back. 0 when it ran at once.
  int AddWaker(std::function<void()> wake);
  void RemoveWaker(int id);

  // The work whose code runs on this thread; null outside any service's.
  static const std::shared_ptr<RkServiceWork>& Current();
  // Whether the work of this thread has been stopped.
  static bool CurrentStopping();

  // Calls into the browser's main library still running, of every service:
  // a stop does not wait for them, the exit of the process does.
  static void WaitNoCallOutside();

 private:
  void Leave();
  void ReturnShare(const std::string& user);

  mutable std::mutex mutex_;
  std::condition_variable idle_;
  // Written under mutex_; read without it by waits that poll it.
  std::atomic<bool> open_{false};
  size_t running_ = 0;
  std::map<std::string, size_t> pool_shares_;
  int next_waker_ = 1;
  std::map<int, std::function<void()>> wakers_;
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_RK_SERVICE_WORK_H_
