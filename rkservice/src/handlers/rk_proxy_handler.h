// What the account and updater handlers share: they pass form requests on to
// the browser's main library and answer with whatever text it hands back.
#ifndef RKSERVICE_SRC_HANDLERS_RK_PROXY_HANDLER_H_
#define RKSERVICE_SRC_HANDLERS_RK_PROXY_HANDLER_H_

#include <functional>
#include <map>
#include <string>

#include "handlers/rk_proxy_form.h"
#include "handlers/rk_rest_result_holder.h"
#include "rk_rest_handler.h"

namespace rkservice {

class RkProxyHandler : public RkRestHandler {
 public:
  // Prints the method and the path (never the body: it carries passwords and
  // codes); a path of fewer than two segments or under another first
  // segment, or without a route, gets 404. A route runs once its body is in.
  void HandlePost(web::http::http_request request) override;
  // The routes live in this class's own table, filled by the constructor.
  void InitRoutes() override {}

 protected:
  // Decodes the fields it needs from the form, calls the service and replies
  // exactly once; true on success. May throw RkBadField, answered 400 here.
  using Route = std::function<bool(web::http::http_request& request, const RkProxyForm& form)>;

  // Every route calls into the browser's main library, which may take its time.
  explicit RkProxyHandler(std::string segment) : segment_(std::move(segment)) {
    SetWaitsOutside(web::http::methods::POST);
  }

  // Only during construction.
  void AddRoute(const std::string& path, RkProxyForm::Body body, Route route);

  // 200 with the result text, whatever the operation returned; ill-formed
  // UTF-8 goes out as U+FFFD.
  bool ReplyResult(web::http::http_request& request, const RkRestResultHolder& result);
  // The answer of a route whose handler has no service object.
  bool ReplyNoService(web::http::http_request& request);

  // Runs a call into the browser's main library, which the service cannot
  // cut short: a stop of the service does not wait for it (the exit of the
  // process does). False when the service stopped meanwhile: the handler
  // may be gone, so the caller must touch nothing of it and not reply. What
  // the call throws comes out only while the service is there.
  static bool CallOutside(const std::function<void()>& call);

 private:
  struct Entry {
    RkProxyForm::Body body;
    Route route;
  };

  void Run(web::http::http_request& request, const Entry& entry, const std::string& body);

  const std::string segment_;
  std::map<std::string, Entry> routes_;
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_HANDLERS_RK_PROXY_HANDLER_H_
