// Runs the service library's close at process exit, before anything the close
// or the work it ends still uses is torn down. Exit-time cleanups run in the
// reverse order of their registration: the libraries a service loads, the
// first use of the crypto and transfer libraries and the statics made on
// first use each add their own, later than the close would be if it were
// registered once. So it is registered again after each of them: whatever
// registered last runs first, and the close runs once.
#ifndef RKSERVICE_SRC_PLATFORM_RK_EXIT_CLOSE_H_
#define RKSERVICE_SRC_PLATFORM_RK_EXIT_CLOSE_H_

namespace rkservice {
namespace platform {

class RkExitClose {
 public:
  using Close = void (*)();

  // What runs at exit; registers it.
  static void Set(Close close);
  // Registers the close again (nothing when none is set), so that it runs
  // before every cleanup registered up to now.
  static void Renew();
};

}  // namespace platform
}  // namespace rkservice

#endif  // RKSERVICE_SRC_PLATFORM_RK_EXIT_CLOSE_H_
