// Runs the downloads of one note save all at once on the thread that waits
// for them: one multi client drives every transfer, and each done runs on
// that thread. No thread of its own and nothing on cpprestsdk's thread pool:
// on Linux that pool also runs the listener.
//
// Bounded, since a web page can hand a note thousands of image tags and the
// service lives in the browser's process: at most kMaxOpenPerSave transfers
// of one save are open at once, and at most kMaxOpenInProcess of all saves
// together (RkTransferSlots). Past either bound downloads wait in order and
// start as transfers end, the save's own or others'; each one's time-out
// counts from its start. The bodies all saves hold at once are bounded too
// (ProcessBodyBudget, when the options name it): a download whose bytes
// would pass that bound fails like one over its own body cap.
#ifndef RKSERVICE_SRC_KIVVET_RK_RESOURCE_DOWNLOADER_H_
#define RKSERVICE_SRC_KIVVET_RK_RESOURCE_DOWNLOADER_H_

#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>

#include "rk_http_client.h"

namespace rkservice {

// Transfers open at once, shared by every downloader that draws on it. A
// downloader that finds too few waits in line; freed slots go to the first in
// line, so a big save that keeps ending and starting transfers cannot starve
// a save that waits.
class RkTransferSlots {
 public:
  explicit RkTransferSlots(size_t capacity);

  RkTransferSlots(const RkTransferSlots&) = delete;
  RkTransferSlots& operator=(const RkTransferSlots&) = delete;

  // The slots every save of the process shares.
  static RkTransferSlots& Process();

  // Takes up to wanted slots: first those handed to who while it waited,
  // then free ones. When it gets fewer than wanted, who waits in line (keeping
  // its place) and wake is called, under the slots' lock, each time slots
  // are handed to it; wake must be quick and must not call back.
  size_t Take(const void* who, size_t wanted, std::function<void()> wake);
  void Give(size_t count);
  // Out of the line, giving back what was handed to who and not taken.
  void Leave(const void* who);

  size_t capacity() const { return capacity_; }

 private:
  struct Waiter {
    const void* who;
    size_t wanted;
    size_t handed;
    std::function<void()> wake;
  };

  // Free slots go to the line in order. Afterwards either none are free or
  // everyone in line has been handed all it wanted.
  void HandOut();

  const size_t capacity_;
  std::mutex lock_;
  size_t used_ = 0;
  std::list<Waiter> line_;
};

class RkResourceDownloader {
 public:
  // 64 per save: more images than a note commonly holds, so a usual save
  // starts everything at once. 256 in the process: four saves at full width,
  // a quarter of the common 1024 descriptors a process may open.
  static constexpr size_t kMaxOpenPerSave = 64;
  static constexpr size_t kMaxOpenInProcess = 256;
  // Body bytes all downloads of the process hold at once. 256 MiB: four
  // bodies at the per-body cap, or a full save of 64 images of 4 MiB, while
  // the slots alone would let a hostile server make the browser hold 256
  // bodies of 64 MiB (16 GiB).
  static constexpr size_t kMaxBodyBytesInProcess = 256u << 20;

  // The budget every save's downloads share (see RkHttpClient::Options).
  static RkBodyBudget& ProcessBodyBudget();

  // Runs on the thread of Wait once the request has ended; answered is false
  // when no answer came (the error says why). Must not throw.
  using Done = RkHttpMultiClient::Done;

  explicit RkResourceDownloader(const RkHttpClient::Options& options, size_t max_open = kMaxOpenPerSave,
                                RkTransferSlots& slots = RkTransferSlots::Process());
  // Runs every download added and not yet waited for.
  ~RkResourceDownloader();

  RkResourceDownloader(const RkResourceDownloader&) = delete;
  RkResourceDownloader& operator=(const RkResourceDownloader&) = delete;

  // Queues a download; it starts within Wait. False when the transfer
  // library gave no handle to run downloads with; done is then never called.
  // Called by the thread that waits, done included.
  bool Add(RkHttpRequest request, Done done);

  // Runs every download added, on this thread, and returns once each one's
  // done has run (a download that cannot start reports unanswered).
  void Wait();

 private:
  struct Job {
    RkHttpRequest request;
    Done done;
  };

  // Starts queued downloads as far as the bounds allow.
  void StartQueued();
  // Reports every download not yet started as ended by the service's stop.
  void FailQueued();
  void Start(Job job);

  const RkHttpClient::Options options_;
  const size_t max_open_;
  RkTransferSlots& slots_;
  std::deque<Job> queue_;
  // Made by the first Add: a save without downloads opens nothing.
  std::unique_ptr<RkHttpMultiClient> client_;
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_KIVVET_RK_RESOURCE_DOWNLOADER_H_
