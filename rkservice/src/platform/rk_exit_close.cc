#include "platform/rk_exit_close.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace rkservice {
namespace platform {
namespace {

std::atomic<RkExitClose::Close> g_close{nullptr};
std::atomic<bool> g_closed{false};
std::mutex g_register_mutex;

void RunCloseOnce() {
  if (g_closed.exchange(true)) return;
  if (const RkExitClose::Close close = g_close.load()) close();
}

// Destroyed when the main thread ends, that is when the process exits from
// it, before any exit-time cleanup of any library.
struct MainThreadExit {
  ~MainThreadExit() { RunCloseOnce(); }
};

void ArmMainThread() {
  if (syscall(SYS_gettid) != getpid()) return;
  thread_local MainThreadExit armed;
  (void)armed;
}

}  // namespace

void RkExitClose::Set(Close close) {
  g_close = close;
  ArmMainThread();
  Renew();
}

void RkExitClose::Renew() {
  if (g_close.load() == nullptr || g_closed.load()) return;
  std::lock_guard<std::mutex> lock(g_register_mutex);
  std::atexit(&RunCloseOnce);
}

}  // namespace platform
}  // namespace rkservice
