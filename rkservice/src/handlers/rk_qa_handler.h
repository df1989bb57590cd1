// The per-user handler behind "/quickaccess/": the browser's quick-access
// sites (a JSON array of sites and folders under "my_site", its version under
// "version") and any other text a client keeps there, read and written as
// whole texts, exported and imported as one synchronisation document. After a
// change it tells the browser with a request of its own to the notify host,
// once its reply has gone out.
#ifndef RKSERVICE_SRC_HANDLERS_RK_QA_HANDLER_H_
#define RKSERVICE_SRC_HANDLERS_RK_QA_HANDLER_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "rk_http_client.h"
#include "rk_rest_handler.h"

namespace rkservice {

class RkQAStore;

constexpr char kQARouteThumbExists[] = "/quickaccess/thumbexists";
constexpr char kQARouteSyncValue[] = "/quickaccess/syncvalue";
constexpr char kQARouteSync[] = "/quickaccess/sync";
constexpr char kQARouteQa[] = "/quickaccess/qa";
constexpr char kQARouteDefault[] = "/quickaccess/default";

// The body of a route's error reply: "'err':'" M "'", no braces.
std::string MakeQAErrorText(const std::string& message);

class RkQAHandler : public RkRestHandler {
 public:
  // `folder` is the user's "QuickAccess" folder, which the factory has made.
  RkQAHandler(const std::string& user_name, const std::filesystem::path& folder);
  // Waits for requests still running, notifications included.
  ~RkQAHandler() override;

  void HandleGet(web::http::http_request request) override;
  void HandlePost(web::http::http_request request) override;
  void InitRoutes() override;

#ifdef RKSERVICE_TEST_HOOKS
  // Bounds of every later notification of every handler (2 s and 30 s).
  static void SetNotifyTimeoutsForTesting(std::chrono::milliseconds connect, std::chrono::milliseconds total);
  // Returns once no request is running, notifications included.
  void WaitIdleForTesting();
#endif

 private:
  class InFlight;

  bool ThumbExists(web::http::http_request& request);
  bool GetSyncValue(web::http::http_request& request);
  bool GetSyncData(web::http::http_request& request);
  bool GetQuickAccess(web::http::http_request& request);
  bool SetSyncValue(web::http::http_request& request);
  bool SetSyncData(web::http::http_request& request);
  bool SetQuickAccess(web::http::http_request& request);
  bool SetDefaultQuickAccess(web::http::http_request& request);
  bool ReplyQuickAccessWithVersion(web::http::http_request& request);
  // False, after "mgr_ == null" and 500 with the route's own text, without a store.
  bool HasStore(web::http::http_request& request, const char* reply_text);
  // The message logged, then 500 with MakeQAErrorText. Returns false.
  bool ReplyError(web::http::http_request& request, const std::string& message);

  void WaitIdle();
  // GET to the notify host; logs failures, never throws, no retry.
  void NotifyDataChanged(const std::string& from_id, const std::string& value);
  void OnNotifyResponse(const RkHttpResponse& response);

  std::shared_ptr<RkQAStore> mgr_;
  std::string user_name_;
  // The stored tree is the default one and no POST has written since.
  std::atomic<bool> default_applied_{false};
  // Around every read-compare-write of the stored data; never held while notifying.
  std::mutex data_mutex_;
  std::mutex in_flight_mutex_;
  std::condition_variable idle_;
  int in_flight_ = 0;
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_HANDLERS_RK_QA_HANDLER_H_
