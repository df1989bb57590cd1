#include "handlers/rk_updater_handler.h"

#include <string>

#include "handlers/rk_proxy_form.h"

namespace rkservice {

RkUpdaterHandler::RkUpdaterHandler()
    : RkProxyHandler("updater"),
      service_(rkhalvex::kRkUpdaterServiceName, RkHalvexLibrary::LoadFailure::kSilent) {
  if (!service_) return;
  // Nothing is decoded here: the fields are read as they came.
  AddRoute("/updater/update", RkProxyForm::Body::kPerField,
           [this](web::http::http_request& request, const RkProxyForm& form) { return Update(request, form); });
}

RkUpdaterHandler::~RkUpdaterHandler() = default;

bool RkUpdaterHandler::Update(web::http::http_request& request, const RkProxyForm& form) {
  if (!service_) return ReplyNoService(request);
  const std::string channels = form.Flag("update_channel", false) ? "stable,beta" : "stable";
  const int32_t update_type = form.Number("update_type", 0);
  RkRestResultHolder result;
  // The call keeps the object acquired, whatever becomes of the handler.
  const RkHalvexService<rkhalvex::RkUpdaterService> service = service_;
  if (!CallOutside([&] { service->Update(&result, update_type, channels.c_str()); })) return false;
  return ReplyResult(request, result);
}

}  // namespace rkservice
