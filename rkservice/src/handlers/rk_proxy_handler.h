// What the account and updater handlers share: they pass form requests on to
// the browser's main library and answer with whatever text it hands back.
#ifndef RKSERVICE_SRC_HANDLERS_RK_PROXY_HANDLER_H_
#define RKSERVICE_SRC_HANDLERS_RK_PROXY_HANDLER_H_

#include <string>

#include "handlers/rk_rest_result_holder.h"
#include "rk_rest_handler.h"

namespace rkservice {

class RkProxyHandler : public RkRestHandler {
 public:
  // Prints the method and the path (never the body: it carries passwords and
  // codes), then looks the whole path up in routes_; a path of fewer than two
  // segments or under another first segment, or without a route, gets 404.
  void HandlePost(web::http::http_request request) override;
  // The routes live in routes_, filled by the constructor.
  void InitRoutes() override {}

 protected:
  explicit RkProxyHandler(std::string segment) : segment_(std::move(segment)) {}

  // 200 with the result text, whatever the operation returned; ill-formed
  // UTF-8 goes out as U+FFFD.
  bool ReplyResult(web::http::http_request& request, const RkRestResultHolder& result);
  // The answer of a route whose handler has no service object.
  bool ReplyNoService(web::http::http_request& request);

  RkRouteMap routes_;

 private:
  const std::string segment_;
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_HANDLERS_RK_PROXY_HANDLER_H_
