// The sync routes: hand the engine the account and server details, start a
// synchronisation, both at once, and reset the sync versions.
#include <stdexcept>
#include <vector>

#include "kivvet/rk_kivvet_handler.h"
#include "kivvet/rk_kivvet_mgr.h"
#include "kivvet/rk_kivvet_paths.h"
#include "kivvet/rk_kivvet_route_support.h"
#include "rk_logger.h"
#include "rk_utils.h"

namespace rkservice {
namespace {

using web::http::http_request;
using web::http::status_codes;

const std::vector<utility::string_t> kInitSyncKeys = {"uid", "did", "key", "app", "host", "res_host", "cver",
                                                      "vip_level"};

}  // namespace

bool RkKivvetHandler::InitSyncInternal(http_request& request) {
  // The body is in by now (the router routes a request once it is), so
  // reading it under the lock holds nobody up.
  std::lock_guard<std::mutex> lock(sync_init_lock_);
  if (sync_inited_) RkLogWarn("InitSync called too many times");

  std::u16string uid, did, key, app, host, res_host, cver;
  int vip_level = 0;
  try {
    const web::json::value json = ReadJsonBody(request);
    const web::json::object& body = json.as_object();
    RequireKeys(body, kInitSyncKeys);
    uid = JsonTextField(body, "uid");
    did = JsonTextField(body, "did");
    key = JsonTextField(body, "key");
    app = JsonTextField(body, "app");
    host = JsonTextField(body, "host");
    res_host = JsonTextField(body, "res_host");
    cver = JsonTextField(body, "cver");
    // 1.5 or 3000000000 would otherwise reach the engine cut down to an int.
    vip_level = JsonOptionalInt(body, "vip_level");
  } catch (const std::exception& e) {
    RkLogError("InitSyncInternal error: {0}", e.what());
    Reply(request, status_codes::BadRequest, "{}");
    return false;
  }

  if (!notes_mgr_->InitSync(uid, did, key, app, host, res_host, cver, vip_level)) {
    RkLogWarn("Kivvet InitSync Error");
    Reply(request, status_codes::InternalError, "{}");
    return false;
  }
  RkLogInfo("Kivvet InitSync OK");
  sync_inited_ = true;
  return true;
}

bool RkKivvetHandler::InitSync(http_request& request) {
  if (!InitSyncInternal(request)) return false;
  Reply(request, status_codes::OK, "{}");
  return true;
}

bool RkKivvetHandler::DoSync(http_request& request) {
  if (!sync_inited_) {
    RkLogError("interface 'PUT {0}' MUST be successly called before {1}", kKivvetPathSyncInit, kKivvetPathDoSync);
    web::json::value refusal = web::json::value::object();
    refusal["msg"] = web::json::value::string(std::string("please call ") + kKivvetPathSyncInit + " first");
    Reply(request, status_codes::BadRequest, refusal.serialize());
    return false;
  }
  if (!notes_mgr_->DoSync()) {
    Reply(request, status_codes::InternalError, "{}");
    return false;
  }
  Reply(request, status_codes::OK, "{}");
  return true;
}

bool RkKivvetHandler::InitAndSync(http_request& request) {
  if (!InitSyncInternal(request)) return false;
  return DoSync(request);
}

bool RkKivvetHandler::ResetSyncVersion(http_request& request) {
  if (!notes_mgr_->ResetSyncVersion()) {
    Reply(request, status_codes::InternalError, "{}");
    return false;
  }
  Reply(request, status_codes::OK, "{}");
  return true;
}

}  // namespace rkservice
