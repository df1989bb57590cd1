#include "rk_service_work.h"

#include <utility>

namespace rkservice {
namespace {

thread_local std::shared_ptr<RkServiceWork> t_work;
thread_local RkServiceWork::Running* t_running = nullptr;

// Calls into the browser's main library in progress, process-wide. Never
// destroyed: the exit-time close waits on it.
struct CallsOutside {
  std::mutex mutex;
  std::condition_variable none;
  size_t count = 0;
};

CallsOutside& Outsiders() {
  static CallsOutside* const calls = new CallsOutside();
  return *calls;
}

}  // namespace

RkServiceWork::Running& RkServiceWork::Running::operator=(Running&& other) noexcept {
  if (this != &other) {
    Release();
    work_ = std::move(other.work_);
  }
  return *this;
}

void RkServiceWork::Running::Release() {
  // The count drops last: once it is zero the service may be torn down.
  if (std::shared_ptr<RkServiceWork> work = std::move(work_)) work->Leave();
}

void RkServiceWork::PoolShare::Release() {
  if (std::shared_ptr<RkServiceWork> work = std::move(work_)) work->ReturnShare(user_);
}

RkServiceWork::Scope::Scope(std::shared_ptr<RkServiceWork> work, Running* running)
    : saved_work_(std::move(t_work)), saved_running_(t_running) {
  t_work = std::move(work);
  t_running = running;
}

RkServiceWork::Scope::~Scope() {
  t_work = std::move(saved_work_);
  t_running = saved_running_;
}

RkServiceWork::Outside::Outside() : work_(t_work), running_(t_running) {
  {
    CallsOutside& calls = Outsiders();
    std::lock_guard<std::mutex> lock(calls.mutex);
    ++calls.count;
  }
  if (running_ != nullptr && *running_) {
    running_->Release();
    left_ = true;
  }
}

bool RkServiceWork::Outside::Reenter() {
  if (!left_) return !work_ || !work_->stopping();
  if (!reentered_) {
    *running_ = work_->Enter();
    reentered_ = true;
  }
  return static_cast<bool>(*running_);
}

RkServiceWork::Outside::~Outside() {
  CallsOutside& calls = Outsiders();
  std::lock_guard<std::mutex> lock(calls.mutex);
  if (--calls.count == 0) calls.none.notify_all();
}

void RkServiceWork::WaitNoCallOutside() {
  CallsOutside& calls = Outsiders();
  std::unique_lock<std::mutex> lock(calls.mutex);
  calls.none.wait(lock, [&] { return calls.count == 0; });
}

RkServiceWork::Running RkServiceWork::Enter() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!open_) return Running();
  ++running_;
  return Running(shared_from_this());
}

RkServiceWork::PoolShare RkServiceWork::TakePoolShare(const std::string& user, bool* at_bound) {
  *at_bound = false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!open_) return PoolShare();
  size_t& shares = pool_shares_[user];
  if (shares >= kMaxPoolWorkPerUser) {
    *at_bound = true;
    return PoolShare();
  }
  ++shares;
  return PoolShare(shared_from_this(), user);
}

void RkServiceWork::ReturnShare(const std::string& user) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = pool_shares_.find(user);
  if (found != pool_shares_.end() && --found->second == 0) pool_shares_.erase(found);
}

void RkServiceWork::Leave() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (--running_ == 0) idle_.notify_all();
}

bool RkServiceWork::stopping() const { return !open_.load(); }

void RkServiceWork::Open() {
  std::lock_guard<std::mutex> lock(mutex_);
  open_ = true;
}

void RkServiceWork::BeginStop() {
  // Under the lock: a wait that removes its waker is sure it will not run
  // after, on what the wait is about to free.
  std::lock_guard<std::mutex> lock(mutex_);
  open_ = false;
  for (auto& waker : wakers_) waker.second();
}

void RkServiceWork::WaitIdle() {
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [this] { return running_ == 0; });
}

size_t RkServiceWork::RunningCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_;
}

int RkServiceWork::AddWaker(std::function<void()> wake) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (open_) {
      const int id = next_waker_++;
      wakers_.emplace(id, std::move(wake));
      return id;
    }
  }
  wake();
  return 0;
}

void RkServiceWork::RemoveWaker(int id) {
  if (id == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  wakers_.erase(id);
}

const std::shared_ptr<RkServiceWork>& RkServiceWork::Current() { return t_work; }

bool RkServiceWork::CurrentStopping() { return t_work && t_work->stopping(); }

}  // namespace rkservice
