// Runs the service library's close at process exit, before anything the close
// or the work it ends still uses is torn down. Exit-time cleanups run in the
// reverse order of their registration, and every library in the process
// (the service's own dependencies, the libraries a service loads) adds its
// own as it first uses a static: later than any one registration of the
// close. But exit first runs the thread-local destructors of the thread that
// exits, before any of those: when the process leaves from its main thread
// (exit, or a return from main), a thread-local of that thread runs the
// close. For an exit from another thread the close is also registered as an
// exit-time cleanup, again after each library the service loads, so that
// it runs before theirs at least. It runs once.
#ifndef RKSERVICE_SRC_PLATFORM_RK_EXIT_CLOSE_H_
#define RKSERVICE_SRC_PLATFORM_RK_EXIT_CLOSE_H_

namespace rkservice {
namespace platform {

class RkExitClose {
 public:
  using Close = void (*)();

  // What runs at exit; registers it. Called on the main thread, it also arms
  // the main thread's thread-local.
  static void Set(Close close);
  // Registers the close again (nothing when none is set), so that it runs
  // before every cleanup registered up to now.
  static void Renew();
};

}  // namespace platform
}  // namespace rkservice

#endif  // RKSERVICE_SRC_PLATFORM_RK_EXIT_CLOSE_H_
