// The handler of the first path segment "updater": one POST route that asks
// the browser's updater service object for an update on the chosen channels
// and answers with the text that object hands back.
#ifndef RKSERVICE_SRC_HANDLERS_RK_UPDATER_HANDLER_H_
#define RKSERVICE_SRC_HANDLERS_RK_UPDATER_HANDLER_H_

#include "handlers/rk_halvex_library.h"
#include "handlers/rk_proxy_handler.h"

namespace rkservice {

class RkUpdaterHandler : public RkProxyHandler {
 public:
  // Binds the service object silently; without one every POST answers 404.
  RkUpdaterHandler();
  ~RkUpdaterHandler() override;

 private:
  bool Update(web::http::http_request& request, const RkProxyForm& form);

  RkHalvexService<rkhalvex::RkUpdaterService> service_;
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_HANDLERS_RK_UPDATER_HANDLER_H_
