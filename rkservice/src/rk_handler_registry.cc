#include "rk_handler_registry.h"

#include <cpprest/uri.h>

#include <vector>

#include "handlers/rk_account_handler.h"
#include "handlers/rk_qa_handler.h"
#include "handlers/rk_updater_handler.h"
#include "kivvet/rk_kivvet_handler.h"
#include "rk_logger.h"
#include "rk_rest_handler.h"

namespace rkservice {
namespace {

// The one place that names the concrete handlers; each handler adds its row.
std::vector<RkHandlerKind>& HandlerKinds() {
  static std::vector<RkHandlerKind> kinds = {
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
  };
  return kinds;
}

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
#endif

RkHandlerRegistry::RkHandlerRegistry(const RkServiceInfo& info) : info_(info) {}

RkHandlerRegistry::~RkHandlerRegistry() {
  for (auto& user : handlers_) {
    for (auto& handler : user.second) delete handler.second;
  }
}

RkRestHandler* RkHandlerRegistry::FindHandler(const std::string& user, const std::string& name) {
  std::lock_guard<std::mutex> lock(users_mutex_);
  std::map<std::string, RkRestHandler*>& inner = handlers_[user];
  const auto found = inner.find(name);
  return found != inner.end() ? found->second : nullptr;
}

RkRestHandler* RkHandlerRegistry::GetHandler(const std::string& root, const std::string& user,
                                             const std::string& uri) {
  if (user.empty() || uri.empty()) return nullptr;
  const std::vector<std::string> segments = web::uri::split_path(uri);
  if (segments.empty()) return nullptr;
  const std::string& name = segments[0];

  if (RkRestHandler* handler = FindHandler(user, name)) return handler;

  std::lock_guard<std::mutex> create_lock(create_mutex_);
  if (RkRestHandler* handler = FindHandler(user, name)) return handler;
  RkRestHandler* handler = CreateHandler(root, user, name);
  if (handler == nullptr) return nullptr;
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
