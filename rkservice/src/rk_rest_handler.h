// Base class of every REST handler: per-method route tables keyed by the whole
// request path, the reply helpers that add the common headers, and the notify
// host that the registry hands to each new handler.
#ifndef RKSERVICE_SRC_RK_REST_HANDLER_H_
#define RKSERVICE_SRC_RK_REST_HANDLER_H_

#include <cpprest/http_msg.h>
#include <cpprest/json.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace rkservice {

class RkServiceWork;

// Whole request path (leading "/", no query, not decoded) -> route function.
// A route answers its request exactly once and returns true on success.
using RkRouteFunction = std::function<bool(web::http::http_request&)>;
using RkRouteMap = std::map<utility::string_t, RkRouteFunction>;

class RkRestHandler {
 public:
  virtual ~RkRestHandler();

  // The router calls one of these per request with a copy of it; each call
  // leads to exactly one reply.
  virtual void HandleGet(web::http::http_request request);
  virtual void HandlePost(web::http::http_request request);
  virtual void HandlePut(web::http::http_request request);
  virtual void HandleOptions(web::http::http_request request);
  virtual void HandleDelete(web::http::http_request request);

  // UTF-8 bytes sent unchanged, with the header values of the UTF-8 form.
  virtual pplx::task<void> ReplyUtf8(web::http::http_request& request, web::http::status_code status,
                                     const std::string& text);
  virtual pplx::task<void> Reply(web::http::http_request& request, web::http::status_code status,
                                 utility::string_t text);
  virtual void InitRoutes() = 0;
  virtual void SetNotifyHost(const utility::string_t& host);

  utility::string_t GetNotifyHost() const;
  // The work of the service the handler belongs to (null for a handler made
  // outside one): its stop ends the handler's waits on the outside.
  const std::shared_ptr<RkServiceWork>& ServiceWork() const { return service_work_; }

  // Whether the request's route may wait on something outside the service
  // (the notify host, image servers, the browser's main library). The router
  // runs such routes on the work pool, never on a listener thread: the
  // listener's few threads also read bodies and write replies for everyone.
  bool WaitsOutside(const web::http::http_request& request) const;

  // The body as text with the content-type check on: empty without a
  // Content-Type, an http_exception for one that is not textual. Never waits:
  // the router hands a request with a body over only once the body is in.
  // (A wait for the body on a listener thread can starve the listener, whose
  // threads read bodies too.)
  static utility::string_t ReadBody(web::http::http_request& request);
  // ReadBody for routes that take any text: a body the library cannot read
  // as text is a bad request, answered 400 "{}" with one log line; false then.
  bool ReadTextBody(web::http::http_request& request, utility::string_t* body);
  // The body's JSON as the page meant it: ill-formed UTF-8 and lone surrogate
  // escapes read as U+FFFD (WellFormedJsonText), as UTF-16 text takes them.
  // Throws as ReadBody does, and a json_exception for text that is no JSON.
  static web::json::value ReadJsonBody(web::http::http_request& request);
  // A JSON text that came in a request (a member holding JSON), read alike.
  static web::json::value ParseRequestJson(utility::string_t text);
  // The query's keys and values as they stand in the URI, percent-encoding
  // and all.
  static std::map<utility::string_t, utility::string_t> ReadQuery(const web::http::http_request& request);

  // Presence only: an empty value or a JSON null counts. Fewer entries than
  // keys fails at once.
  static bool HasRequiredKeys(const std::map<utility::string_t, utility::string_t>& query,
                              const std::vector<utility::string_t>& keys);
  static bool HasRequiredKeys(const web::json::object& object, const std::vector<utility::string_t>& keys);

 protected:
  RkRestHandler();

  // Looks the request's path up in one method's table: no entry gives 404 "{}";
  // otherwise the route answers. Returns the route's result (false for 404).
  bool RouteRequest(const RkRouteMap& routes, web::http::http_request& request);

  // During construction: the route of one method and path waits outside;
  // an empty path stands for every path of the method.
  void SetWaitsOutside(const web::http::method& method, const utility::string_t& path = {});

  utility::string_t notify_host_;
  RkRouteMap get_routes_;
  RkRouteMap post_routes_;
  RkRouteMap put_routes_;
  RkRouteMap delete_routes_;

 private:
  std::set<std::pair<web::http::method, utility::string_t>> waiting_routes_;
  const std::shared_ptr<RkServiceWork> service_work_;
};

// The reply of the router and of RkRestHandler::Reply: the four common headers
// and the text as a UTF-8 "text/plain" body.
web::http::http_response MakeRkResponse(web::http::status_code status, utility::string_t text);

// The text form of a request for the full-logging trace. Bodies of form-fill
// and account traffic carry passwords, cards and identities: for those the
// start line and the headers only.
utility::string_t RkRequestTraceText(const web::http::http_request& request);

}  // namespace rkservice

#endif  // RKSERVICE_SRC_RK_REST_HANDLER_H_
