#include "handlers/rk_updater_handler.h"

#include <string>

#include "handlers/rk_proxy_form.h"

namespace rkservice {

RkUpdaterHandler::RkUpdaterHandler()
    : RkProxyHandler("updater"),
      service_(rkhalvex::kRkUpdaterServiceName, RkHalvexLibrary::LoadFailure::kSilent) {
  if (!service_) return;
  routes_["/updater/update"] = [this](web::http::http_request& request) { return Update(request); };
}

RkUpdaterHandler::~RkUpdaterHandler() = default;

bool RkUpdaterHandler::Update(web::http::http_request& request) {
  if (!service_) return ReplyNoService(request);
  // Nothing is decoded here: the fields are read as they came.
  const RkProxyForm form = RkProxyForm::Read(request, RkProxyForm::Body::kPerField);
  const std::string channels = form.Flag("update_channel", false) ? "stable,beta" : "stable";
  RkRestResultHolder result;
  service_->Update(&result, form.Number("update_type", 0), channels.c_str());
  return ReplyResult(request, result);
}

}  // namespace rkservice
