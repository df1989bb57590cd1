#include "kivvet/rk_kivvet_handler.h"

#include <cpprest/uri.h>

#include <functional>
#include <iostream>
#include <tuple>
#include <vector>

#include "kivvet/rk_kivvet_mgr.h"
#include "kivvet/rk_kivvet_paths.h"
#include "platform/rk_platform.h"
#include "rk_logger.h"
#include "rk_notify_sender.h"

namespace rkservice {

using web::http::http_request;
using web::http::status_codes;

RkKivvetHandler::RkKivvetHandler(const std::string& user_id, const std::string& notes_dir)
    : user_id_(user_id), notes_dir_(notes_dir), notes_mgr_(std::make_unique<RkKivvetMgr>(user_id_, notes_dir_)) {
  // The manager logs its own failure; the handler serves without an engine.
  notes_mgr_->Init(this);
  RkKivvetHandler::InitRoutes();
}

RkKivvetHandler::~RkKivvetHandler() {
  // Shuts the engine down and detaches the observer before the senders and
  // pending shares that engine events reach go.
  notes_mgr_.reset();
}

void RkKivvetHandler::InitRoutes() {
  using Route = bool (RkKivvetHandler::*)(http_request&);
  const auto bind = [this](Route route) { return RkRouteFunction(std::bind(route, this, std::placeholders::_1)); };
  const std::vector<std::tuple<RkRouteMap*, const char*, RkRouteFunction>> table = {
      {&get_routes_, "/kivvet/hit", bind(&RkKivvetHandler::Hit)},
      {&get_routes_, "/kivvet/allurlnotes", bind(&RkKivvetHandler::GetAllUrlNotes)},
      {&get_routes_, "/kivvet/bookmarksallurlnotes", bind(&RkKivvetHandler::GetBookmarksAllUrlNotes)},
      {&get_routes_, "/kivvet/get_notemeta", bind(&RkKivvetHandler::GetNoteMeta)},
      {&get_routes_, "/kivvet/get_notedata", bind(&RkKivvetHandler::GetNoteData)},
      {&get_routes_, "/kivvet/path", bind(&RkKivvetHandler::GetPath)},
      {&get_routes_, "/kivvet/sync/status", bind(&RkKivvetHandler::GetSyncStatus)},
      {&get_routes_, "/kivvet/sync/last_status", bind(&RkKivvetHandler::GetSyncLastStatus)},
      {&get_routes_, "/kivvet/note/url/count", bind(&RkKivvetHandler::GetNoteUrlCount)},
      {&get_routes_, "/kivvet/test/httpres", bind(&RkKivvetHandler::TestHttpRes)},
      {&post_routes_, "/kivvet/favorite", [this](http_request& r) { return Favorite(r, false); }},
      {&post_routes_, "/kivvet/content", bind(&RkKivvetHandler::SaveContent)},
      {&post_routes_, "/kivvet/notes/downloadnodes", bind(&RkKivvetHandler::DownloadNodes)},
      {&post_routes_, "/kivvet/note/importbookmarks", bind(&RkKivvetHandler::ImportBookmarks)},
      {&delete_routes_, "/kivvet/favorite", [this](http_request& r) { return Favorite(r, true); }},
      {&put_routes_, "/kivvet/note/url", bind(&RkKivvetHandler::SetNoteUrl)},
      {&put_routes_, "/kivvet/folder/minimalist", bind(&RkKivvetHandler::SetFolderMinimalist)},
      {&put_routes_, "/kivvet/note/content/download", bind(&RkKivvetHandler::DownloadNoteContent)},
      {&put_routes_, kKivvetPathSyncInit, bind(&RkKivvetHandler::InitSync)},
      {&put_routes_, kKivvetPathDoSync, bind(&RkKivvetHandler::DoSync)},
      {&put_routes_, "/kivvet/sync/init_and_sync", bind(&RkKivvetHandler::InitAndSync)},
      {&put_routes_, "/kivvet/sync/reset_sync_ver", bind(&RkKivvetHandler::ResetSyncVersion)},
  };
  for (const auto& [routes, path, route] : table) (*routes)[path] = route;
  // A save downloads the images its note names.
  SetWaitsOutside(web::http::methods::POST, "/kivvet/content");
}

void RkKivvetHandler::Dispatch(const RkRouteMap& routes, http_request& request) {
  const utility::string_t path = request.request_uri().path();
  const std::vector<utility::string_t> segments = web::uri::split_path(path);
  const auto route = routes.find(path);
  if (segments.size() < 2 || segments[0] != kKivvetSegment || route == routes.end()) {
    Reply(request, status_codes::NotFound, "{}");
    return;
  }
  if (!route->second(request)) {
    RkLogInfo("{0}: {1} returned false, maybe return code:500", request.method(), request.request_uri().to_string());
  }
}

void RkKivvetHandler::HandleGet(http_request request) {
  std::cout << platform::CurrentThreadId() << std::endl;
  Dispatch(get_routes_, request);
}

void RkKivvetHandler::HandlePost(http_request request) { Dispatch(post_routes_, request); }

void RkKivvetHandler::HandlePut(http_request request) {
  std::cout << platform::CurrentThreadId() << std::endl;
  Dispatch(put_routes_, request);
}

void RkKivvetHandler::HandleOptions(http_request request) { Reply(request, status_codes::OK, ""); }

void RkKivvetHandler::HandleDelete(http_request request) { Dispatch(delete_routes_, request); }

void RkKivvetHandler::SetNotifyHost(const utility::string_t& host) {
  std::lock_guard<std::mutex> lock(notify_lock_);
  RkRestHandler::SetNotifyHost(host);
}

RkKivvetHandler::Sender RkKivvetHandler::SenderFor(Sender& slot, const char* type) {
  std::lock_guard<std::mutex> lock(notify_lock_);
  // A sender keeps the host it was made with: made before the registry has
  // set the host, it would fail every notification of its kind for good.
  if (!slot && !notify_host_.empty()) {
    slot = MakeRkNotifySender(notify_host_, user_id_, kNotifyKivvet);
    if (type != nullptr) slot->SetType(type);
    // Made on an engine thread: the service comes from the handler.
    slot->SetStopWith(ServiceWork());
  }
  if (!slot) RkLogWarn("kivvet {0} notification not sent: no notify host yet", type != nullptr ? type : kNotifySync);
  return slot;
}

}  // namespace rkservice
