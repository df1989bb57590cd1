// One local REST service: owns the HTTP listener and the per-user handler
// registry, and routes every request by user and first path segment.
#ifndef RKSERVICE_SRC_RK_MESSAGE_ROUTER_H_
#define RKSERVICE_SRC_RK_MESSAGE_ROUTER_H_

#include <cpprest/http_listener.h>

#include <memory>
#include <string>
#include <system_error>

#include "rk_service_work.h"
#include "rkservice.h"

namespace rkservice {

class RkHandlerRegistry;
class RkRestHandler;

class RkMessageRouter : public std::enable_shared_from_this<RkMessageRouter> {
 public:
  explicit RkMessageRouter(RkServiceInfo info);
  virtual ~RkMessageRouter();

  // Opens the listener; true when it runs afterwards. A failed open keeps the
  // listener so that the next Start opens the same one again.
  bool Start();
  // Stops the service's work (waits on the outside end, work not yet started
  // is dropped), closes and destroys the listener, which releases the request
  // functions' references to this router, and returns once nothing of the
  // service runs: no thread uses the router or its handlers any more.
  void Stop();
  RkServiceInfo GetServiceInfo() const;
  // "http://localhost:PORT" or "http://*:PORT"; empty when not running.
  std::string GetAddress() const;

  void HandleRequest(web::http::http_request request);
  virtual pplx::task<void> Reply(web::http::http_request& request, web::http::status_code status,
                                 utility::string_t text);

 private:
  // Routes a request, logging what escapes: on a listener thread it goes on
  // to the listener; elsewhere it is answered with a bare 500 here.
  void Dispatch(web::http::http_request& request, bool on_listener);
  // A request whose body came in after the listener called us.
  void RouteArrived(web::http::http_request& request);
  void OnBodyFailed(std::error_code failure, web::http::http_request& request);
  void ReplyIfOpen(web::http::http_request& request, web::http::status_code status);
  void Route(web::http::http_request& request);
  // The handler's operation for the request's method.
  void Invoke(RkRestHandler* handler, web::http::http_request& request);

  // Runs a route that waits on the outside on the work pool, within the
  // user's share of it.
  void RouteOnPool(RkRestHandler* handler, web::http::http_request& request, const std::string& user);

  bool running_ = false;
  // What outlives the listener's calls: a body still on its way, a route on
  // the work pool. Each piece holds a count of it, and never the router.
  const std::shared_ptr<RkServiceWork> work_;
  RkHandlerRegistry* registry_;
  RkServiceInfo info_;
  std::unique_ptr<web::http::experimental::listener::http_listener> listener_;
  // The address the service reports; the listener may bind another form of it.
  std::string address_;
  // This router's entry in the process-wide set of open endpoints.
  std::string endpoint_;
};

// The address to listen on, as the service reports it.
std::string BuildListenUri(const RkServiceInfo& info);

// A user name becomes one folder level under the root: it must be a plain
// folder name.
bool IsSafeUserName(const std::string& user);

}  // namespace rkservice

#endif  // RKSERVICE_SRC_RK_MESSAGE_ROUTER_H_
