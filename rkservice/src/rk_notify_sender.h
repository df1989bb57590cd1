// Tells the browser that something happened in a user's data: one HTTP request
// to the notify host per notification, with the query keys "action",
// "caller", "type" and "value" and the header UserName. Sends are synchronous.
#ifndef RKSERVICE_SRC_RK_NOTIFY_SENDER_H_
#define RKSERVICE_SRC_RK_NOTIFY_SENDER_H_

#include <cpprest/http_msg.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "rk_http_client.h"
#include "rk_service_work.h"

namespace rkservice {

// Protocol words.
inline constexpr char kNotifyNotify[] = "notify";
inline constexpr char kNotifyProgress[] = "progress";
inline constexpr char kNotifySync[] = "sync";
inline constexpr char kNotifyDataChanged[] = "data_changed";
inline constexpr char kNotifyDataConflict[] = "data_conflict";
inline constexpr char kNotifyNoteFileDownload[] = "note_file_download";
inline constexpr char kNotifyKivvet[] = "kivvet";
inline constexpr char kNotifyTesselAccount[] = "tessel_account";
inline constexpr char kNotifyTesselSecret[] = "tessel_secret";

using RkNotifyHeaders = std::map<utility::string_t, utility::string_t>;

// Owned through shared ownership only (MakeRkNotifySender): a send holds a
// reference of its sender until the answer has been handled.
class RkNotifySender : public std::enable_shared_from_this<RkNotifySender> {
 public:
  RkNotifySender(const utility::string_t& host, const utility::string_t& user_name, const utility::string_t& caller);

  void SetType(const utility::string_t& type);
  void SetHost(const utility::string_t& host);
  // Bounds every later send (connect, and the whole exchange).
  void SetTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds total);
  // The service whose stop ends a send at once. A sender made while a
  // service's work runs on the thread takes that service.
  void SetStopWith(std::shared_ptr<RkServiceWork> work);

  // True when the request went out and its answer was handled, whatever the
  // status; false for an invalid host or a failed request. A value of exactly
  // "-1" sends no "value" key.
  bool Send(const std::string& value, const RkNotifyHeaders& headers = {},
            const web::http::method& method = web::http::methods::GET);
  bool Send(int value, const RkNotifyHeaders& headers = {},
            const web::http::method& method = web::http::methods::GET);
  // The query is the pairs in key order, for every method.
  bool SendParams(const std::map<utility::string_t, utility::string_t>& params, const RkNotifyHeaders& headers,
                  const web::http::method& method);
  // POST with the query action, caller, count, type, value and the body text.
  bool SendSyncProgress(int type, int value, int count, const std::string& body);

  // Handles the answer of request `id`; the second reference is the one a
  // send keeps of its sender.
  void OnResponse(web::http::http_response response, int id, std::shared_ptr<RkNotifySender> sender);

#ifdef RKSERVICE_TEST_HOOKS
  size_t PendingForTesting() const { return pending_.size(); }
  // The time-outs of senders made from now on.
  static void SetDefaultTimeoutsForTesting(std::chrono::milliseconds connect, std::chrono::milliseconds total);
#endif

 private:
  // Fills a request and the UTF-8 bytes of its body; runs under mutex_.
  using Builder = std::function<void(web::http::http_request& request, std::string& body)>;
  // Checks the host, then builds and sends under mutex_.
  bool Exchange(const web::http::method& method, const Builder& build);
  // The pieces of a request: the UserName and extra headers; body_ as the
  // "text/json" body (and its UTF-8 bytes); the query of a map, for any method.
  void AddHeaders(const RkNotifyHeaders& headers, web::http::http_request& request) const;
  void AttachBody(web::http::http_request& request, std::string& body) const;
  void BuildParamsRequest(const std::map<utility::string_t, utility::string_t>& params,
                          const RkNotifyHeaders& headers, const web::http::method& method,
                          web::http::http_request& request, std::string& body) const;

  std::map<int, std::shared_ptr<RkHttpClient>> pending_;
  int next_id_ = 0;
  utility::string_t host_;
  utility::string_t user_name_;
  utility::string_t caller_;
  utility::string_t type_;
  utility::string_t action_;
  std::u16string body_;
  std::mutex mutex_;
  RkHttpClient::Options client_options_;
};

// The absolute URI of a request to a notify host, as the HTTP client library
// combines them (a host without a scheme is taken as http; the request's
// query is added to any query of the host's). Throws for a host that is not
// an http or https URI with a host name.
web::uri NotifyTargetUri(const utility::string_t& host, const web::uri& request_uri);

std::shared_ptr<RkNotifySender> MakeRkNotifySender(const utility::string_t& host, const utility::string_t& user_name,
                                                   const utility::string_t& caller);

}  // namespace rkservice

#endif  // RKSERVICE_SRC_RK_NOTIFY_SENDER_H_
