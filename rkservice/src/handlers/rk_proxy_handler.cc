#include "handlers/rk_proxy_handler.h"

#include <cpprest/uri.h>

#include <iostream>
#include <vector>

#include "rk_utils.h"

namespace rkservice {

void RkProxyHandler::HandlePost(web::http::http_request request) {
  const std::string path = request.request_uri().path();
  std::cout << request.method() + " " + path + "\n" << std::flush;
  const std::vector<std::string> segments = web::uri::split_path(path);
  if (segments.size() < 2 || segments[0] != segment_) {
    Reply(request, web::http::status_codes::NotFound, "{}");
    return;
  }
  RouteRequest(routes_, request);
}

bool RkProxyHandler::ReplyResult(web::http::http_request& request, const RkRestResultHolder& result) {
  Reply(request, web::http::status_codes::OK, WideToUtf8(Utf8ToWide(result.text())));
  return true;
}

bool RkProxyHandler::ReplyNoService(web::http::http_request& request) {
  Reply(request, web::http::status_codes::InternalError, "{}");
  return false;
}

}  // namespace rkservice
