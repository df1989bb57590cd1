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
  RkRestResultHolder result;
  service_->Update(&result, form.Number("update_type", 0), channels.c_str());
  return ReplyResult(request, result);
}

}  // namespace rkservice
