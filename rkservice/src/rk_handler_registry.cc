#include "rk_handler_registry.h"

#include <cpprest/uri.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <system_error>
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
  using Data = RkHandlerKind::Data;
  static std::vector<RkHandlerKind>* const kinds = new std::vector<RkHandlerKind>{
      {"kivvet", "Kivvet", false, Data::kUnderRoot,
       [](const std::string& user, const std::filesystem::path& folder) -> RkRestHandler* {
         return new RkKivvetHandler(user, folder.u8string());
       }},
      // Neither proxy uses its user or folder; the account folder is named, not made.
      {"account", "account", false, Data::kNone,
       [](const std::string&, const std::filesystem::path&) -> RkRestHandler* { return new RkAccountHandler(); }},
      {"updater", "", false, Data::kNone,
       [](const std::string&, const std::filesystem::path&) -> RkRestHandler* { return new RkUpdaterHandler(); }},
      {"quickaccess", "QuickAccess", true, Data::kUnderRoot,
       [](const std::string& user, const std::filesystem::path& folder) -> RkRestHandler* {
         return new RkQAHandler(user, folder);
       }},
      {"tesselfill", "TesselFill", true, Data::kUnderRoot,
       [](const std::string& user, const std::filesystem::path& folder) -> RkRestHandler* {
         return new RkTesselFillHandler(user, folder);
       }},
  };
  return *kinds;
}

std::atomic<size_t> g_max_users{RkHandlerRegistry::kMaxUsers};
std::atomic<size_t> g_max_proxy_users{RkHandlerRegistry::kMaxProxyUsers};

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
void RkHandlerRegistry::SetMaxProxyUsersForTesting(size_t max_users) { g_max_proxy_users = max_users; }
#endif

RkHandlerRegistry::RkHandlerRegistry(const RkServiceInfo& info) : info_(info) {}

RkHandlerRegistry::~RkHandlerRegistry() {
  for (auto& user : users_) {
    for (auto& handler : user.second.handlers) delete handler.second;
  }
}

RkRestHandler* RkHandlerRegistry::FindHandler(const std::string& user, const std::string& name) {
  std::lock_guard<std::mutex> lock(users_mutex_);
  const auto entry = users_.find(user);
  if (entry == users_.end()) return nullptr;
  const auto found = entry->second.handlers.find(name);
  return found != entry->second.handlers.end() ? found->second : nullptr;
}

RkHandlerRegistry::Refusal RkHandlerRegistry::CheckRoom(const std::string& user, const RkHandlerKind& kind) {
  {
    std::lock_guard<std::mutex> lock(users_mutex_);
    const auto entry = users_.find(user);
    const bool known = entry != users_.end();
    if (kind.data == RkHandlerKind::Data::kUnderRoot) {
      // A proxy user's first data handler makes it a user with data.
      const size_t max_users = g_max_users;
      if (!(known && entry->second.keeps_data) && data_users_ >= max_users) {
        RkLogWarn("no room for user {0}: the service holds its most users, {1}", user, max_users);
        return Refusal::kTooManyUsers;
      }
    } else if (!known && user != kAnonymousUser) {
      const size_t max_users = g_max_proxy_users;
      if (proxy_users_ >= max_users) {
        RkLogWarn("no room for user {0}: the service holds its most users of the proxies alone, {1}", user,
                  max_users);
        return Refusal::kTooManyUsers;
      }
    }
  }
  return CheckDescriptors(user);
}

RkHandlerRegistry::Refusal RkHandlerRegistry::CheckDescriptors(const std::string& user) {
  const platform::DescriptorUse use = platform::CurrentDescriptorUse();
  if (use.limit != SIZE_MAX) {
    // A count that cannot be made is no room: at the limit, it takes the
    // one descriptor that is not there.
    if (use.count_error != 0) {
      RkLogWarn("no handler made for user {0}: the process's file descriptors can not be counted ({1}), its limit "
                "is {2}",
                user, std::generic_category().message(use.count_error), use.limit);
      return Refusal::kTooFewDescriptors;
    }
    const size_t keep_free = std::max(use.limit / kFreeDescriptorShare, kMinFreeDescriptors);
    if (use.open + keep_free > use.limit) {
      RkLogWarn("no handler made for user {0}: {1} of the process's {2} file descriptors are open", user, use.open,
                use.limit);
      return Refusal::kTooFewDescriptors;
    }
  }
  return Refusal::kNone;
}

bool RkHandlerRegistry::CountsAsProxyUser(const std::string& user, const User& entry) {
  return !entry.keeps_data && user != kAnonymousUser;
}

void RkHandlerRegistry::Insert(const std::string& user, const RkHandlerKind& kind, RkRestHandler* handler) {
  std::lock_guard<std::mutex> lock(users_mutex_);
  const auto inserted = users_.try_emplace(user);
  User& entry = inserted.first->second;
  const bool counted_before = !inserted.second && CountsAsProxyUser(user, entry);
  entry.handlers[kind.segment] = handler;
  if (kind.data == RkHandlerKind::Data::kUnderRoot && !entry.keeps_data) {
    entry.keeps_data = true;
    ++data_users_;
  }
  const bool counted_now = CountsAsProxyUser(user, entry);
  if (counted_now && !counted_before) ++proxy_users_;
  if (counted_before && !counted_now) --proxy_users_;
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
  const RkHandlerKind* kind = FindKind(name);
  if (kind != nullptr) {
    why = CheckRoom(user, *kind);
    if (why != Refusal::kNone) return nullptr;
    why = Refusal::kNoHandler;
  }
  RkRestHandler* handler = CreateHandler(root, user, name);
  if (handler == nullptr) return nullptr;
  why = Refusal::kNone;
  // The notify host is in place before any other request can see the handler.
  handler->SetNotifyHost(info_.notify_host);
  Insert(user, *kind, handler);
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
