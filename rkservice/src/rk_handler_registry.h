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
struct RkHandlerKind;

class RkHandlerRegistry {
 public:
  // The service lives in the browser's process and any page can reach it:
  // past these bounds new users, and new handlers, are refused rather than
  // let run the process out of memory, threads or descriptors. Users already
  // in the table are always served.
  // Users whose handlers keep data under the root: folders, stores, files.
  static constexpr size_t kMaxUsers = kRkMaxUsersPerService;
  // Users of the account and updater proxies alone, which keep nothing under
  // the root, count apart: a table full of users with data leaves the proxies
  // to everyone. Their preflights, and "/updater/update", come without a
  // UserName, as kAnonymousUser, which is never refused.
  static constexpr size_t kMaxProxyUsers = kRkMaxProxyUsersPerService;
  static constexpr char kAnonymousUser[] = "Anonymity";
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
  static void SetMaxProxyUsersForTesting(size_t max_users);
#endif

 private:
  struct User {
    std::map<std::string, RkRestHandler*> handlers;
    bool keeps_data = false;  // one of its handlers keeps data under the root
  };

  // Runs with create_mutex_ held and users_mutex_ not held.
  RkRestHandler* CreateHandler(const std::string& root, const std::string& user, const std::string& name);
  RkRestHandler* FindHandler(const std::string& user, const std::string& name);
  // Whether a handler of this kind may be made for the user now; logs why
  // not. Runs with create_mutex_ held.
  Refusal CheckRoom(const std::string& user, const RkHandlerKind& kind);
  Refusal CheckDescriptors(const std::string& user);
  void Insert(const std::string& user, const RkHandlerKind& kind, RkRestHandler* handler);
  static bool CountsAsProxyUser(const std::string& user, const User& entry);

  // A user has an entry once one of their handlers is made. The counts are
  // of its entries, under users_mutex_: users with data, and the others but
  // kAnonymousUser.
  std::map<std::string, User> users_;
  size_t data_users_ = 0;
  size_t proxy_users_ = 0;
  std::mutex users_mutex_;
  RkServiceInfo info_;
  // Taken before users_mutex_ when both are held.
  std::mutex create_mutex_;
};

// How the factory makes the handler of one first path segment.
struct RkHandlerKind {
  using Make = std::function<RkRestHandler*(const std::string& user, const std::filesystem::path& folder)>;
  // Whether the handler keeps files under root/user, which decides the bound
  // its users count toward.
  enum class Data { kUnderRoot, kNone };
  std::string segment;
  std::string folder;  // below root/user; empty: the handler gets no folder
  bool make_folder;    // the factory creates the folder before construction
  Data data;
  Make make;
};

#ifdef RKSERVICE_TEST_HOOKS
// Tests add segments of their own, for handler classes of their own.
void RkAddTestHandlerKind(RkHandlerKind kind);
#endif

}  // namespace rkservice

#endif  // RKSERVICE_SRC_RK_HANDLER_REGISTRY_H_
