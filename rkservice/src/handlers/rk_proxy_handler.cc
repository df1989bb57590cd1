#include "handlers/rk_proxy_handler.h"

#include <cpprest/uri.h>

#include <iostream>
#include <vector>

#include "rk_logger.h"
#include "rk_utils.h"

namespace rkservice {
namespace {

using web::http::http_request;

// What the listener does with a request whose handler threw: a bare 500. Only
// the request is touched: when reading failed because the connection went
// away, the handler may be gone too.
void ReplyFailure(http_request& request, const char* what) {
  RkLogError("request {0} {1} failed: {2}", request.method(), request.request_uri().to_string(), what);
  try {
    request.reply(web::http::status_codes::InternalError);
  } catch (...) {
    // Already answered, or the connection is gone.
  }
}

}  // namespace

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
  // The body is read on the listener's own threads: a route that waited for
  // it there would hold one of them, and enough such routes at once would
  // leave none to read any body. The route runs when its body is in.
  request.extract_string().then([this, request, &entry](pplx::task<std::string> read) mutable {
    std::string body;
    try {
      body = read.get();
    } catch (const std::exception& e) {
      ReplyFailure(request, e.what());
      return;
    }
    try {
      Run(request, entry, body);
    } catch (const std::exception& e) {
      ReplyFailure(request, e.what());
    } catch (...) {
      ReplyFailure(request, "unknown exception");
    }
  });
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

bool RkProxyHandler::ReplyNoService(http_request& request) {
  Reply(request, web::http::status_codes::InternalError, "{}");
  return false;
}

}  // namespace rkservice
