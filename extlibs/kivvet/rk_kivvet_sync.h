// Synchronisation with the peer: the account details InitSync keeps, and
// the runs, pulls and content fetches that the worker carries out and
// reports to the observer.
#ifndef EXTLIBS_KIVVET_RK_KIVVET_SYNC_H_
#define EXTLIBS_KIVVET_RK_KIVVET_SYNC_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "rk_kivvet_store.h"
#include "rk_kivvet_worker.h"

namespace rkkivvet {

struct RkKivvetSyncDetails {
  std::string uid;
  std::string did;
  std::string key;
  std::string app;
  std::string host;
  std::string res_host;
  std::string cver;
  int32_t vip_level = 0;
};

class RkKivvetSync {
 public:
  RkKivvetSync(RkKivvetStore* store, RkKivvetWorker* worker) : store_(store), worker_(worker) {}

  // False for an empty uid or key, a host that is not http(s), or guest mode.
  bool Init(RkKivvetSyncDetails details);
  // Forgets the details; Init refuses from now on.
  void EnterGuestMode();
  // A run already waiting to start serves a second request.
  bool QueueRun(bool push);
  // 1 queued, 0 not (no such note, no details, or content present and only
  // missing content asked for).
  int32_t QueueContentFetch(const std::string& id, bool only_missing);
  // Non-zero while a run waits or runs (runs dropped by a stop do not).
  int32_t Busy() const { return busy_.load() > 0 && !worker_->stopped() ? 1 : 0; }
  // The hosts in use as JSON; false without details.
  bool Describe(std::string* json);

 private:
  using Headers = std::vector<std::pair<std::string, std::string>>;

  bool Details(RkKivvetSyncDetails* details);
  static Headers AccountHeaders(const RkKivvetSyncDetails& details);
  void Run(bool push);
  bool Pull(const RkKivvetSyncDetails& details, int64_t* usn, int32_t* pulled, int32_t* conflicts);
  bool Push(const RkKivvetSyncDetails& details, int32_t* pushed);
  void FetchContent(const std::string& id);
  void ReportState(int32_t code, int32_t reason, const std::string& message);

  RkKivvetStore* store_;
  RkKivvetWorker* worker_;
  std::mutex mutex_;
  bool guest_ = false;
  bool ready_ = false;
  RkKivvetSyncDetails details_;
  std::atomic<int32_t> busy_{0};
  std::atomic<bool> run_waiting_[2] = {false, false};
  // Why the current run failed, kept for the final report.
  int32_t failure_ = 0;
  std::string failure_text_;
};

}  // namespace rkkivvet

#endif  // EXTLIBS_KIVVET_RK_KIVVET_SYNC_H_
