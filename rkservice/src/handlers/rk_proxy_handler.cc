#include "handlers/rk_proxy_handler.h"

#include <cpprest/uri.h>

#include <exception>
#include <iostream>
#include <vector>

#include "rk_logger.h"
#include "rk_service_work.h"
#include "rk_utils.h"

namespace rkservice {

using web::http::http_request;

void RkProxyHandler::AddRoute(const std::string& path, RkProxyForm::Body body, Route route) {
  routes_[path] = Entry{body, std::move(route)};
}

void RkProxyHandler::HandlePost(http_request request) {
  const std::string path = request.request_uri().path();
  std::cout << request.method() + " " + path + "\n" << std::flush;
  const std::vector<std::string> segments = web::uri::split_path(path);
  const auto found = routes_.find(path);
  if (segments.size() < 2 || segments[0] != segment_ || found == routes_.end()) {
    Reply(request, web::http::status_codes::NotFound, "{}");
    return;
  }
  const Entry& entry = found->second;  // the table never changes after construction
  if (entry.body == RkProxyForm::Body::kNotRead) {
    Run(request, entry, {});
    return;
  }
  std::string body;
  if (!ReadTextBody(request, &body)) return;
  Run(request, entry, body);
}

void RkProxyHandler::Run(http_request& request, const Entry& entry, const std::string& body) {
  try {
    entry.route(request, RkProxyForm::Parse(body, entry.body));
  } catch (const RkBadField& bad) {
    // The value may be a password or a code: only its field is named.
    RkLogError("{0} in field {1} of {2}", bad.what(), bad.field(), request.request_uri().path());
    Reply(request, web::http::status_codes::BadRequest, "{}");
  }
}

bool RkProxyHandler::ReplyResult(http_request& request, const RkRestResultHolder& result) {
  Reply(request, web::http::status_codes::OK, WideToUtf8(Utf8ToWide(result.text())));
  return true;
}

bool RkProxyHandler::CallOutside(const std::function<void()>& call) {
  RkServiceWork::Outside outside;
  std::exception_ptr failure;
  try {
    call();
  } catch (...) {
    failure = std::current_exception();
  }
  if (!outside.Reenter()) return false;
  if (failure) std::rethrow_exception(failure);
  return true;
}

bool RkProxyHandler::ReplyNoService(http_request& request) {
  Reply(request, web::http::status_codes::InternalError, "{}");
  return false;
}

}  // namespace rkservice
