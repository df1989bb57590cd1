#include "rk_rest_handler.h"

#include <cpprest/uri.h>

#include "rk_logger.h"
#include "rk_service_work.h"
#include "rk_utils.h"
#include "rkservice.h"

namespace rkservice {
namespace {

using web::http::http_request;
using web::http::http_response;
using web::http::status_code;

const char kAllowOrigin[] = "Access-Control-Allow-Origin";
const char kAllowMethods[] = "Access-Control-Allow-Methods";
const char kAllowHeaders[] = "Access-Control-Allow-Headers";
const char kServer[] = "Server";
const char kServerName[] = "Rk6Service/v0.1";

bool CarriesSecrets(const web::uri& uri) {
  const std::vector<utility::string_t> segments = web::uri::split_path(uri.path());
  return !segments.empty() && (segments[0] == "tesselfill" || segments[0] == "account");
}

utility::string_t HeadText(const utility::string_t& start_line, const web::http::http_headers& headers) {
  utility::string_t text = start_line + "\r\n";
  for (const auto& header : headers) text += header.first + ": " + header.second + "\r\n";
  return text + "\r\n(body not logged)";
}

// The trace that full logging turns on; built only when it will be written.
void TraceExchange(http_request& request, http_response& response) {
  if (!RkServiceManager::GetInstance()->PrintAllLog() || request.method() == web::http::methods::OPTIONS) return;
  const utility::string_t reply =
      CarriesSecrets(request.request_uri())
          ? HeadText("HTTP/1.1 " + std::to_string(response.status_code()), response.headers())
          : response.to_string();
  RkLogTrace("{0}", request.method() + " " + request.request_uri().to_string() + " ==> response:\r\n" + reply);
}

template <typename Map>
bool HasKeys(const Map& container, const std::vector<utility::string_t>& keys) {
  if (container.size() < keys.size()) return false;
  for (const utility::string_t& key : keys) {
    if (container.find(key) == container.end()) return false;
  }
  return true;
}

// Both reply forms carry the four common headers; they differ in two values.
http_response MakeResponse(status_code status, std::string text, const char* allow_methods,
                           const char* allow_headers) {
  http_response response(status);
  web::http::http_headers& headers = response.headers();
  headers.add(kAllowOrigin, "*");
  headers.add(kAllowMethods, allow_methods);
  headers.add(kAllowHeaders, allow_headers);
  headers.add(kServer, kServerName);
  // Replies are UTF-8 even where they quote what a request sent.
  if (!IsWellFormedUtf8(text)) text = WideToUtf8(Utf8ToWide(text));
  // A UTF-8 string body takes its content type as given. Moved, not copied:
  // bodies can be large.
  response.set_body(std::move(text), "text/plain; charset=utf-8");
  return response;
}

}  // namespace

utility::string_t RkRequestTraceText(const http_request& request) {
  if (!CarriesSecrets(request.request_uri())) return request.to_string();
  return HeadText(request.method() + " " + request.request_uri().to_string() + " HTTP/1.1", request.headers());
}

http_response MakeRkResponse(status_code status, utility::string_t text) {
  return MakeResponse(status, std::move(text), "POST, PUT, GET, OPTIONS, DELETE, HEAD", "UserName");
}

// Handlers are made while their service's work runs on the thread (the
// request that needs them): they keep that service for the threads of their
// own, such as the notes engine's.
RkRestHandler::RkRestHandler() : service_work_(RkServiceWork::Current()) {}
RkRestHandler::~RkRestHandler() = default;

void RkRestHandler::HandleGet(http_request request) { Reply(request, web::http::status_codes::NotImplemented, "{}"); }
void RkRestHandler::HandlePost(http_request request) { Reply(request, web::http::status_codes::NotImplemented, "{}"); }
void RkRestHandler::HandlePut(http_request request) { Reply(request, web::http::status_codes::NotImplemented, "{}"); }
void RkRestHandler::HandleOptions(http_request request) {
  Reply(request, web::http::status_codes::NotImplemented, "{}");
}
void RkRestHandler::HandleDelete(http_request request) {
  Reply(request, web::http::status_codes::NotImplemented, "{}");
}

pplx::task<void> RkRestHandler::Reply(http_request& request, status_code status, utility::string_t text) {
  // A stopping service answers nothing more: its connections are closing,
  // and a route that was waiting on the outside drops its answer.
  if (RkServiceWork::CurrentStopping()) return pplx::task_from_result();
  http_response response = MakeRkResponse(status, std::move(text));
  TraceExchange(request, response);
  return request.reply(response);
}

pplx::task<void> RkRestHandler::ReplyUtf8(http_request& request, status_code status, const std::string& text) {
  if (RkServiceWork::CurrentStopping()) return pplx::task_from_result();
  http_response response = MakeResponse(status, text, "POST, PUT, GET, OPTIONS, DELETE", "*");
  TraceExchange(request, response);
  return request.reply(response);
}

void RkRestHandler::SetNotifyHost(const utility::string_t& host) { notify_host_ = host; }

utility::string_t RkRestHandler::GetNotifyHost() const { return notify_host_; }

utility::string_t RkRestHandler::ReadBody(http_request& request) {
  // The message's own extraction, without the task that would wait for the
  // body on the listener's pool; the body is complete by now.
  return request._get_impl()->extract_string(false);
}

bool RkRestHandler::ReadTextBody(http_request& request, utility::string_t* body) {
  try {
    *body = ReadBody(request);
    return true;
  } catch (const std::exception& e) {
    RkLogError("{0}: body not read: {1}", request.request_uri().path(), e.what());
    Reply(request, web::http::status_codes::BadRequest, "{}");
    return false;
  }
}

web::json::value RkRestHandler::ReadJsonBody(http_request& request) { return ParseRequestJson(ReadBody(request)); }

web::json::value RkRestHandler::ParseRequestJson(utility::string_t text) {
  return web::json::value::parse(WellFormedJsonText(std::move(text)));
}

std::map<utility::string_t, utility::string_t> RkRestHandler::ReadQuery(const http_request& request) {
  return web::uri::split_query(request.request_uri().query());
}

bool RkRestHandler::HasRequiredKeys(const std::map<utility::string_t, utility::string_t>& query,
                                    const std::vector<utility::string_t>& keys) {
  return HasKeys(query, keys);
}

bool RkRestHandler::HasRequiredKeys(const web::json::object& object, const std::vector<utility::string_t>& keys) {
  return HasKeys(object, keys);
}

void RkRestHandler::SetWaitsOutside(const web::http::method& method, const utility::string_t& path) {
  waiting_routes_.emplace(method, path);
}

bool RkRestHandler::WaitsOutside(const http_request& request) const {
  if (waiting_routes_.empty()) return false;
  const web::http::method& method = request.method();
  return waiting_routes_.count({method, utility::string_t()}) != 0 ||
         waiting_routes_.count({method, request.request_uri().path()}) != 0;
}

bool RkRestHandler::RouteRequest(const RkRouteMap& routes, http_request& request) {
  const auto route = routes.find(request.request_uri().path());
  if (route == routes.end()) {
    Reply(request, web::http::status_codes::NotFound, "{}");
    return false;
  }
  return route->second(request);
}

}  // namespace rkservice
