#include "rk_notify_sender.h"

#include <cpprest/uri_builder.h>

#include <atomic>
#include <stdexcept>
#include <utility>
#include <vector>

#include "rk_logger.h"
#include "rk_utils.h"

namespace rkservice {
namespace {

constexpr char kQueryAction[] = "action";
constexpr char kQueryCaller[] = "caller";
constexpr char kQueryType[] = "type";
constexpr char kQueryValue[] = "value";
constexpr char kQueryCount[] = "count";
constexpr char kHeaderUserName[] = "UserName";
constexpr char kNoValue[] = "-1";
// The HTTP library appends "; charset=utf-8" to a UTF-16 body's type.
constexpr char16_t kBodyContentType[] = u"text/json";

RkHttpRequest ToOutgoing(const web::http::http_request& request, const web::uri& target, std::string body) {
  RkHttpRequest outgoing;
  outgoing.method = request.method();
  outgoing.url = target.to_string();
  for (const auto& header : request.headers()) outgoing.headers.emplace_back(header.first, header.second);
  outgoing.body = std::move(body);
  return outgoing;
}

web::http::http_response ToResponse(const RkHttpResponse& answer) {
  web::http::http_response response(static_cast<web::http::status_code>(answer.status));
  response.set_body(std::vector<unsigned char>(answer.body.begin(), answer.body.end()));
  // The answer's own headers decide how its body reads, not set_body's.
  response.headers().clear();
  for (const auto& header : answer.headers) response.headers().add(header.first, header.second);
  return response;
}

#ifdef RKSERVICE_TEST_HOOKS
std::atomic<std::chrono::milliseconds::rep> g_default_connect_ms{RkHttpClient::Options().connect_timeout.count()};
std::atomic<std::chrono::milliseconds::rep> g_default_total_ms{RkHttpClient::Options().total_timeout.count()};
#endif

// The library's own exceptions carry their text but no error code.
std::string ErrorText(const web::http::http_exception& e) {
  return e.error_code().value() != 0 ? e.error_code().message() : std::string(e.what());
}

}  // namespace

web::uri NotifyTargetUri(const utility::string_t& host, const web::uri& request_uri) {
  web::uri base(host);
  if (base.scheme().empty()) base = web::uri_builder(base).set_scheme("http").to_uri();
  if (base.scheme() != "http" && base.scheme() != "https") {
    throw std::invalid_argument("URI scheme must be 'http' or 'https'");
  }
  if (base.host().empty()) throw std::invalid_argument("URI must contain a hostname.");
  return web::uri_builder(base).append(request_uri).to_uri();
}

RkNotifySender::RkNotifySender(const utility::string_t& host, const utility::string_t& user_name,
                               const utility::string_t& caller)
    : host_(host), user_name_(user_name), caller_(caller), type_(kNotifySync), action_(kNotifyNotify) {
  client_options_.stop_with = RkServiceWork::Current();
#ifdef RKSERVICE_TEST_HOOKS
  SetTimeouts(std::chrono::milliseconds(g_default_connect_ms.load()), std::chrono::milliseconds(g_default_total_ms.load()));
#endif
}

#ifdef RKSERVICE_TEST_HOOKS
void RkNotifySender::SetDefaultTimeoutsForTesting(std::chrono::milliseconds connect, std::chrono::milliseconds total) {
  g_default_connect_ms = connect.count();
  g_default_total_ms = total.count();
}
#endif

std::shared_ptr<RkNotifySender> MakeRkNotifySender(const utility::string_t& host, const utility::string_t& user_name,
                                                   const utility::string_t& caller) {
  return std::make_shared<RkNotifySender>(host, user_name, caller);
}

void RkNotifySender::SetType(const utility::string_t& type) { type_ = type; }

void RkNotifySender::SetHost(const utility::string_t& host) { host_ = host; }

void RkNotifySender::SetStopWith(std::shared_ptr<RkServiceWork> work) {
  client_options_.stop_with = std::move(work);
}

void RkNotifySender::SetTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds total) {
  client_options_.connect_timeout = connect;
  client_options_.total_timeout = total;
}

bool RkNotifySender::Send(const std::string& value, const RkNotifyHeaders& headers, const web::http::method& method) {
  return Exchange(method, [&](web::http::http_request& request, std::string& body) {
    AddHeaders(headers, request);
    if (method == web::http::methods::GET) {
      web::uri_builder builder;
      builder.set_path("/");
      if (!action_.empty()) builder.append_query(kQueryAction, action_);
      if (!caller_.empty()) builder.append_query(kQueryCaller, caller_);
      if (!type_.empty()) builder.append_query(kQueryType, type_);
      if (value != kNoValue) builder.append_query(kQueryValue, value);
      request.set_request_uri(builder.to_uri());
    } else if (!body_.empty()) {
      AttachBody(request, body);
    }
  });
}

bool RkNotifySender::Send(int value, const RkNotifyHeaders& headers, const web::http::method& method) {
  return Send(std::to_string(value), headers, method);
}

bool RkNotifySender::SendParams(const std::map<utility::string_t, utility::string_t>& params,
                                const RkNotifyHeaders& headers, const web::http::method& method) {
  return Exchange(method, [&](web::http::http_request& request, std::string& body) {
    BuildParamsRequest(params, headers, method, request, body);
  });
}

bool RkNotifySender::SendSyncProgress(int type, int value, int count, const std::string& body_utf8) {
  const std::map<utility::string_t, utility::string_t> params = {
      {kQueryType, std::to_string(type)}, {kQueryValue, std::to_string(value)}, {kQueryCount, std::to_string(count)},
      {kQueryAction, kNotifyProgress},    {kQueryCaller, caller_},
  };
  const web::http::method method = web::http::methods::POST;
  return Exchange(method, [&](web::http::http_request& request, std::string& body) {
    // Replaced under the send's lock, so no other send comes between the
    // replacement and the request that carries it.
    body_ = Utf8ToWide(body_utf8);
    BuildParamsRequest(params, {}, method, request, body);
  });
}

void RkNotifySender::AddHeaders(const RkNotifyHeaders& headers, web::http::http_request& request) const {
  request.headers().add(kHeaderUserName, user_name_);
  for (const auto& header : headers) request.headers().add(header.first, header.second);
}

void RkNotifySender::AttachBody(web::http::http_request& request, std::string& body) const {
  request.set_body(body_, kBodyContentType);
  body = WideToUtf8(body_);
}

void RkNotifySender::BuildParamsRequest(const std::map<utility::string_t, utility::string_t>& params,
                                        const RkNotifyHeaders& headers, const web::http::method& method,
                                        web::http::http_request& request, std::string& body) const {
  AddHeaders(headers, request);
  web::uri_builder builder;
  builder.set_path("/");
  for (const auto& param : params) builder.append_query(param.first, param.second);
  request.set_request_uri(builder.to_uri());
  if (method == web::http::methods::POST && !body_.empty()) AttachBody(request, body);
}

bool RkNotifySender::Exchange(const web::http::method& method, const Builder& build) {
  if (!web::uri::validate(host_)) {
    RkLogError("RkNotifySender:host {0}  invalid", host_);
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  web::http::http_request request(method);
  const int id = next_id_;
  try {
    std::string body;
    build(request, body);
    const web::uri target = NotifyTargetUri(host_, request.request_uri());
    const RkHttpRequest outgoing = ToOutgoing(request, target, std::move(body));
    auto client = std::make_shared<RkHttpClient>(client_options_);
    std::shared_ptr<RkNotifySender> self = shared_from_this();
    pending_[id] = client;
    // Runs to its end on this thread: no pool thread is needed for the answer.
    RkHttpResponse answer;
    RkHttpError error;
    if (!client->Perform(outgoing, &answer, &error)) {
      RkLogError("Send sync notify {0} : {1} {2}. uri: {3}", host_, error.code, error.message,
                 request.request_uri().to_string());
      pending_.erase(id);
      return false;
    }
    OnResponse(ToResponse(answer), id, self);
  } catch (const web::http::http_exception& e) {
    RkLogError("Send sync notify {0} : {1} {2}. uri: {3}", host_, e.error_code().value(), ErrorText(e),
               request.request_uri().to_string());
    pending_.erase(id);
    return false;
  } catch (const std::exception& e) {
    RkLogError("Send sync notify {0} : {1}. uri: {2}", host_, e.what(), request.request_uri().to_string());
    pending_.erase(id);
    return false;
  }
  ++next_id_;
  return true;
}

void RkNotifySender::OnResponse(web::http::http_response response, int id, std::shared_ptr<RkNotifySender> sender) {
  // The send holds `sender` until this returns; nothing more to do with it.
  (void)sender;
  // Textual bodies only; another declared type throws, and the send fails.
  const utility::string_t body = response._get_impl()->extract_string(false);
  if (response.status_code() == web::http::status_codes::OK) {
    RkLogTrace("RkSyncNotifySender::OnResponse: user_name={0} {1}, {2}", user_name_, response.status_code(), body);
  } else {
    RkLogError("RkSyncNotifySender::OnResponse  : user_name = {0} {1},{2} ", user_name_, response.status_code(),
               body);
  }
  pending_.erase(id);
}

}  // namespace rkservice
