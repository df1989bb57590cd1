// Per-user handlers of one service: one handler per first path segment, made
// by the factory on first use and kept until the service is destroyed.
#ifndef RKSERVICE_SRC_RK_HANDLER_REGISTRY_H_
#define RKSERVICE_SRC_RK_HANDLER_REGISTRY_H_

#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "rkservice.h"

namespace rkservice {

class RkRestHandler;

class RkHandlerRegistry {
 public:
  // The service lives in the browser's process and any page can reach it:
  // past these bounds new users, and new handlers, are refused rather than
  // let run the process out of memory, threads or descriptors. Users already
  // in the table are always served.
  static constexpr size_t kMaxUsers = kRkMaxUsersPerService;
  // A new handler is made only while this share of the process's descriptor
  // limit (and at least kMinFreeDescriptors) is still free.
  static constexpr size_t kFreeDescriptorShare = 8;
  static constexpr size_t kMinFreeDescriptors = 64;

  // Why GetHandler gave no handler.
  enum class Refusal { kNone, kNoHandler, kTooManyUsers, kTooFewDescriptors };

  explicit RkHandlerRegistry(const RkServiceInfo& info);
  ~RkHandlerRegistry();
  RkHandlerRegistry(const RkHandlerRegistry&) = delete;
  RkHandlerRegistry& operator=(const RkHandlerRegistry&) = delete;

  // Null when no handler can be had, and then `refusal` (when given) says
  // why. The pointer stays valid as long as the registry: handlers are never
  // replaced or removed.
  RkRestHandler* GetHandler(const std::string& root, const std::string& user, const std::string& uri,
                            Refusal* refusal = nullptr);

#ifdef RKSERVICE_TEST_HOOKS
  static void SetMaxUsersForTesting(size_t max_users);
#endif

 private:
  // Runs with create_mutex_ held and users_mutex_ not held.
  RkRestHandler* CreateHandler(const std::string& root, const std::string& user, const std::string& name);
  RkRestHandler* FindHandler(const std::string& user, const std::string& name);
  // Whether a handler for the user may be made now; logs why not. Runs with
  // create_mutex_ held.
  Refusal CheckRoom(const std::string& user);

  // A user has an entry once one of their handlers is made.
  std::map<std::string, std::map<std::string, RkRestHandler*>> handlers_;
  std::mutex users_mutex_;
  RkServiceInfo info_;
  // Taken before users_mutex_ when both are held.
  std::mutex create_mutex_;
};

// How the factory makes the handler of one first path segment.
struct RkHandlerKind {
  using Make = std::function<RkRestHandler*(const std::string& user, const std::filesystem::path& folder)>;
  std::string segment;
  std::string folder;  // below root/user; empty: the handler gets no folder
  bool make_folder;    // the factory creates the folder before construction
  Make make;
};

#ifdef RKSERVICE_TEST_HOOKS
// Tests add segments of their own, for handler classes of their own.
void RkAddTestHandlerKind(RkHandlerKind kind);
#endif

}  // namespace rkservice

#endif  // RKSERVICE_SRC_RK_HANDLER_REGISTRY_H_
