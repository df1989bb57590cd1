#include "rk_handler_registry.h"

#include <cpprest/uri.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/rk_platform.h"

#include "handlers/rk_account_handler.h"
#include "handlers/rk_qa_handler.h"
#include "handlers/rk_tessel_fill_handler.h"
#include "handlers/rk_updater_handler.h"
#include "kivvet/rk_kivvet_handler.h"
#include "rk_logger.h"
#include "rk_rest_handler.h"

namespace rkservice {
namespace {

// The one place that names the concrete handlers; each handler adds its row.
// Never destroyed: requests still running at exit may look a segment up.
std::vector<RkHandlerKind>& HandlerKinds() {
  static std::vector<RkHandlerKind>* const kinds = new std::vector<RkHandlerKind>{
      {"kivvet", "Kivvet", false,
       [](const std::string& user, const std::filesystem::path& folder) -> RkRestHandler* {
         return new RkKivvetHandler(user, folder.u8string());
       }},
      // Neither proxy uses its user or folder; the account folder is named, not made.
      {"account", "account", false, [](const std::string&, const std::filesystem::path&) -> RkRestHandler* {
         return new RkAccountHandler();
       }},
      {"updater", "", false, [](const std::string&, const std::filesystem::path&) -> RkRestHandler* {
         return new RkUpdaterHandler();
       }},
      {"quickaccess", "QuickAccess", true,
       [](const std::string& user, const std::filesystem::path& folder) -> RkRestHandler* {
         return new RkQAHandler(user, folder);
       }},
      {"tesselfill", "TesselFill", true,
       [](const std::string& user, const std::filesystem::path& folder) -> RkRestHandler* {
         return new RkTesselFillHandler(user, folder);
       }},
  };
  return *kinds;
}

std::atomic<size_t> g_max_users{RkHandlerRegistry::kMaxUsers};

const RkHandlerKind* FindKind(const std::string& segment) {
  for (const RkHandlerKind& kind : HandlerKinds()) {
    if (kind.segment == segment) return &kind;
  }
  return nullptr;
}

}  // namespace

#ifdef RKSERVICE_TEST_HOOKS
// Ahead of the built-in rows, so a test's own class serves a known segment too.
void RkAddTestHandlerKind(RkHandlerKind kind) { HandlerKinds().insert(HandlerKinds().begin(), std::move(kind)); }

void RkHandlerRegistry::SetMaxUsersForTesting(size_t max_users) { g_max_users = max_users; }
#endif

RkHandlerRegistry::RkHandlerRegistry(const RkServiceInfo& info) : info_(info) {}

RkHandlerRegistry::~RkHandlerRegistry() {
  for (auto& user : handlers_) {
    for (auto& handler : user.second) delete handler.second;
  }
}

RkRestHandler* RkHandlerRegistry::FindHandler(const std::string& user, const std::string& name) {
  std::lock_guard<std::mutex> lock(users_mutex_);
  const auto inner = handlers_.find(user);
  if (inner == handlers_.end()) return nullptr;
  const auto found = inner->second.find(name);
  return found != inner->second.end() ? found->second : nullptr;
}

RkHandlerRegistry::Refusal RkHandlerRegistry::CheckRoom(const std::string& user) {
  {
    std::lock_guard<std::mutex> lock(users_mutex_);
    const size_t max_users = g_max_users;
    if (handlers_.count(user) == 0 && handlers_.size() >= max_users) {
      RkLogWarn("no room for user {0}: the service holds its most users, {1}", user, max_users);
      return Refusal::kTooManyUsers;
    }
  }
  const platform::DescriptorUse use = platform::CurrentDescriptorUse();
  if (use.limit != SIZE_MAX) {
    const size_t keep_free = std::max(use.limit / kFreeDescriptorShare, kMinFreeDescriptors);
    if (use.open + keep_free > use.limit) {
      RkLogWarn("no handler made for user {0}: {1} of the process's {2} file descriptors are open", user, use.open,
                use.limit);
      return Refusal::kTooFewDescriptors;
    }
  }
  return Refusal::kNone;
}

RkRestHandler* RkHandlerRegistry::GetHandler(const std::string& root, const std::string& user,
                                             const std::string& uri, Refusal* refusal) {
  Refusal ignored;
  Refusal& why = refusal != nullptr ? *refusal : ignored;
  why = Refusal::kNoHandler;
  if (user.empty() || uri.empty()) return nullptr;
  const std::vector<std::string> segments = web::uri::split_path(uri);
  if (segments.empty()) return nullptr;
  const std::string& name = segments[0];

  if (RkRestHandler* handler = FindHandler(user, name)) {
    why = Refusal::kNone;
    return handler;
  }

  std::lock_guard<std::mutex> create_lock(create_mutex_);
  if (RkRestHandler* handler = FindHandler(user, name)) {
    why = Refusal::kNone;
    return handler;
  }
  // An unknown segment gets its own refusal below, full table or not.
  if (FindKind(name) != nullptr) {
    why = CheckRoom(user);
    if (why != Refusal::kNone) return nullptr;
    why = Refusal::kNoHandler;
  }
  RkRestHandler* handler = CreateHandler(root, user, name);
  if (handler == nullptr) return nullptr;
  why = Refusal::kNone;
  // The notify host is in place before any other request can see the handler.
  handler->SetNotifyHost(info_.notify_host);
  std::lock_guard<std::mutex> lock(users_mutex_);
  handlers_[user][name] = handler;
  return handler;
}

RkRestHandler* RkHandlerRegistry::CreateHandler(const std::string& root, const std::string& user,
                                                const std::string& name) {
  const std::filesystem::path root_path = std::filesystem::u8path(root);
  std::error_code ec;
  if (!std::filesystem::is_directory(root_path, ec)) {
    RkLogError("root path not exists:{0}", root);
    return nullptr;
  }
  const RkHandlerKind* kind = FindKind(name);
  if (kind == nullptr) {
    RkLogError("create handler error for {0}. ", name);
    return nullptr;
  }
  std::filesystem::path folder;
  if (!kind->folder.empty()) folder = root_path / std::filesystem::u8path(user) / kind->folder;
  if (kind->make_folder) {
    std::filesystem::create_directories(folder, ec);
    if (ec || !std::filesystem::is_directory(folder, ec)) {
      RkLogError("can not create path {0}", folder.u8string());
      return nullptr;
    }
  }
  return kind->make(user, folder);
}

}  // namespace rkservice
