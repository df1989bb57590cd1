#include "kivvet/rk_resource_downloader.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "rk_service_work.h"

namespace rkservice {
namespace {

// Transfers' own time-outs and every hand-off of slots end a wait sooner;
// this bound matters only when the transfer library had no way to be woken.
constexpr std::chrono::milliseconds kStepWait{1000};

void Report(const RkResourceDownloader::Done& done, bool answered, const RkHttpResponse& response,
            const RkHttpError& error) {
  // One report that throws must not cost the others theirs.
  try {
    done(answered, response, error);
  } catch (...) {
  }
}

}  // namespace

RkTransferSlots::RkTransferSlots(size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}

// Never destroyed: the exit-time close of the listeners waits for saves still
// running, and those may reach the process's slots and budget until they end,
// after other statics of the library are gone.
RkTransferSlots& RkTransferSlots::Process() {
  static RkTransferSlots* const slots = new RkTransferSlots(RkResourceDownloader::kMaxOpenInProcess);
  return *slots;
}

size_t RkTransferSlots::Take(const void* who, size_t wanted, std::function<void()> wake) {
  std::lock_guard<std::mutex> lock(lock_);
  auto waiter = std::find_if(line_.begin(), line_.end(), [who](const Waiter& w) { return w.who == who; });
  size_t got = 0;
  size_t extra = 0;
  if (waiter != line_.end()) {
    got = std::min(waiter->handed, wanted);
    extra = waiter->handed - got;
    waiter->handed = 0;
  }
  // Slots are free only while everyone in line has all it asked for, so
  // taking them passes no one.
  const size_t free_taken = std::min(wanted - got, capacity_ - used_);
  used_ += free_taken;
  got += free_taken;
  if (got < wanted) {
    if (waiter == line_.end()) {
      line_.push_back(Waiter{who, wanted - got, 0, std::move(wake)});
    } else {
      waiter->wanted = wanted - got;
      waiter->wake = std::move(wake);
    }
  } else if (waiter != line_.end()) {
    line_.erase(waiter);
  }
  if (extra > 0) {
    used_ -= extra;
    HandOut();
  }
  return got;
}

void RkTransferSlots::Give(size_t count) {
  std::lock_guard<std::mutex> lock(lock_);
  used_ -= std::min(count, used_);
  HandOut();
}

void RkTransferSlots::Leave(const void* who) {
  std::lock_guard<std::mutex> lock(lock_);
  auto waiter = std::find_if(line_.begin(), line_.end(), [who](const Waiter& w) { return w.who == who; });
  if (waiter == line_.end()) return;
  used_ -= std::min(waiter->handed, used_);
  line_.erase(waiter);
  HandOut();
}

void RkTransferSlots::HandOut() {
  for (Waiter& waiter : line_) {
    if (used_ >= capacity_) return;
    const size_t given = std::min(waiter.wanted - waiter.handed, capacity_ - used_);
    if (given == 0) continue;
    waiter.handed += given;
    used_ += given;
    waiter.wake();
  }
}

RkBodyBudget& RkResourceDownloader::ProcessBodyBudget() {
  static RkBodyBudget* const budget = new RkBodyBudget(kMaxBodyBytesInProcess);
  return *budget;
}

RkResourceDownloader::RkResourceDownloader(const RkHttpClient::Options& options, size_t max_open,
                                           RkTransferSlots& slots)
    : options_(options), max_open_(max_open == 0 ? 1 : max_open), slots_(slots) {}

RkResourceDownloader::~RkResourceDownloader() { Wait(); }

bool RkResourceDownloader::Add(RkHttpRequest request, Done done) {
  if (!client_) client_ = std::make_unique<RkHttpMultiClient>(options_, max_open_);
  if (!client_->ok()) return false;
  queue_.push_back(Job{std::move(request), std::move(done)});
  return true;
}

void RkResourceDownloader::Wait() {
  if (!client_) return;
  // Whatever ends the wait, the line must not keep a way to wake this one.
  struct LeaveLine {
    RkTransferSlots& slots;
    const void* who;
    ~LeaveLine() { slots.Leave(who); }
  } leave{slots_, this};
  // A stop of the service ends the transfers (each reports unanswered) and
  // the wait for them, at once.
  RkServiceWork* const stop = options_.stop_with.get();
  RkHttpMultiClient* client = client_.get();
  struct Waker {
    RkServiceWork* stop;
    int id;
    ~Waker() {
      if (stop != nullptr) stop->RemoveWaker(id);
    }
  } waker{stop, stop != nullptr ? stop->AddWaker([client] { client->Wake(); }) : 0};
  for (;;) {
    if (stop != nullptr && stop->stopping()) FailQueued();
    StartQueued();
    if (queue_.empty() && client_->open() == 0) return;
    client_->Step(kStepWait);
  }
}

void RkResourceDownloader::FailQueued() {
  const RkHttpError stopped = RkHttpClient::StoppedError();
  while (!queue_.empty()) {
    Job job = std::move(queue_.front());
    queue_.pop_front();
    Report(job.done, false, RkHttpResponse(), stopped);
  }
}

void RkResourceDownloader::StartQueued() {
  while (!queue_.empty() && client_->open() < max_open_) {
    const size_t wanted = std::min(queue_.size(), max_open_ - client_->open());
    RkHttpMultiClient* client = client_.get();
    const size_t got = slots_.Take(this, wanted, [client] { client->Wake(); });
    for (size_t i = 0; i < got; ++i) {
      Job job = std::move(queue_.front());
      queue_.pop_front();
      Start(std::move(job));
    }
    if (got < wanted) return;
  }
}

void RkResourceDownloader::Start(Job job) {
  // Kept outside the transfer: a transfer that cannot start reports too.
  auto done = std::make_shared<Done>(std::move(job.done));
  RkHttpError error;
  const bool started = client_->Start(
      std::move(job.request),
      [this, done](bool answered, const RkHttpResponse& response, const RkHttpError& failure) {
        slots_.Give(1);
        Report(*done, answered, response, failure);
      },
      &error);
  if (!started) {
    slots_.Give(1);
    Report(*done, false, RkHttpResponse(), error);
  }
}

}  // namespace rkservice
