#include "handlers/rk_account_handler.h"

#include "rk_logger.h"

namespace rkservice {
namespace {

using web::http::http_request;
using Body = RkProxyForm::Body;
constexpr Body kPerField = Body::kPerField;
constexpr Body kWholeBody = Body::kWholeDecoded;

}  // namespace

RkAccountHandler::RkAccountHandler()
    : RkProxyHandler("account"),
      service_(rkhalvex::kRkAccountServiceName, RkHalvexLibrary::LoadFailure::kLogged) {
  if (!service_) return;
  const struct {
    const char* path;
    bool (RkAccountHandler::*route)(http_request&);
  } routes[] = {
      {"/account/check", &RkAccountHandler::Check},
      {"/account/login", &RkAccountHandler::Login},
      {"/account/logout", &RkAccountHandler::Logout},
      {"/account/vcode/mobile", &RkAccountHandler::SendMobileCode},
      {"/account/vcode/email", &RkAccountHandler::SendEmailCode},
      {"/account/vcode/verifyemail", &RkAccountHandler::VerifyEmailCode},
      {"/account/vcode/verifymobile", &RkAccountHandler::VerifyMobileCode},
      {"/account/update/profile", &RkAccountHandler::UpdateProfile},
      {"/account/get/profile", &RkAccountHandler::GetProfile},
      {"/account/register", &RkAccountHandler::Register},
      {"/account/rest/password", &RkAccountHandler::ResetPassword},  // sic: the browser calls this path
      {"/account/device/record/get", &RkAccountHandler::GetDeviceRecord},
      {"/account/device/record/set", &RkAccountHandler::SetDeviceRecord},
      {"/account/misc/info/get", &RkAccountHandler::GetMiscInfo},
      {"/account/misc/info/set", &RkAccountHandler::SetMiscInfo},
      {"/account/list", &RkAccountHandler::ListAccounts},
  };
  for (const auto& route : routes) {
    routes_[route.path] = [this, member = route.route](http_request& request) { return (this->*member)(request); };
  }
}

RkAccountHandler::~RkAccountHandler() = default;

void RkAccountHandler::HandleOptions(http_request request) { Reply(request, web::http::status_codes::OK, "{}"); }

bool RkAccountHandler::Forward(http_request& request, Body body, const std::vector<std::string>& required,
                               const Call& call) {
  if (!service_) return ReplyNoService(request);
  try {
    const RkProxyForm form = RkProxyForm::Read(request, body);
    if (!HasRequiredKeys(form.fields(), required)) {
      Reply(request, web::http::status_codes::BadRequest, "{}");
      return false;
    }
    RkRestResultHolder result;
    call(form, &result);
    return ReplyResult(request, result);
  } catch (const RkBadField& bad) {
    // The value may be a password or a code: only its name is logged.
    RkLogError("{0} in field {1} of {2}", bad.what(), bad.field(), request.request_uri().path());
    Reply(request, web::http::status_codes::BadRequest, "{}");
    return false;
  }
}

bool RkAccountHandler::ForwardAccount(http_request& request, TextOperation operation) {
  return Forward(request, kPerField, {"account"}, [&](const RkProxyForm& form, rkhalvex::RkRestResult* result) {
    (service_.get()->*operation)(form.PlusPercent("account").c_str(), result);
  });
}

bool RkAccountHandler::ForwardProfile(http_request& request, TextOperation operation) {
  return Forward(request, kWholeBody, {}, [&](const RkProxyForm& form, rkhalvex::RkRestResult* result) {
    (service_.get()->*operation)(form.Profile(request).c_str(), result);
  });
}

bool RkAccountHandler::ForwardAccountForm(http_request& request, const std::vector<std::string>& required,
                                          AccountFormOperation operation) {
  return Forward(request, kPerField, required, [&](const RkProxyForm& form, rkhalvex::RkRestResult* result) {
    const std::string account_type = form.Raw("account_type");
    const std::string account = form.PlusPercent("account");
    const std::string password = form.PlusPercent("password");
    const std::string country = form.Raw("country");
    const std::string vcode = form.Raw("vcode");
    (service_.get()->*operation)(account_type.c_str(), account.c_str(), password.c_str(), country.c_str(),
                                 vcode.c_str(), result);
  });
}

bool RkAccountHandler::Check(http_request& request) {
  return ForwardAccount(request, &rkhalvex::RkAccountService::Check);
}

bool RkAccountHandler::Login(http_request& request) {
  return Forward(request, kPerField, {"account"}, [&](const RkProxyForm& form, rkhalvex::RkRestResult* result) {
    const std::string profile = form.Profile(request);
    const std::string account = form.PlusPercent("account");
    const std::string password = form.PlusPercent("password");
    const std::string country = form.Plus("country");
    const std::string login_service = form.Raw("login_service", "en");
    service_->Login(profile.c_str(), account.c_str(), password.c_str(), country.c_str(), form.Flag("auto_login", true),
                    login_service.c_str(), form.Flag("remember_password", true),
                    form.Flag("import_guest_data", false), form.Flag("delete_profile", false), result);
  });
}

bool RkAccountHandler::Logout(http_request& request) {
  return Forward(request, kPerField, {}, [&](const RkProxyForm& form, rkhalvex::RkRestResult* result) {
    const std::string profile = form.Profile(request);
    const std::string account = form.PlusPercent("account");
    service_->Logout(profile.c_str(), account.empty() ? nullptr : account.c_str(), form.Flag("delete_profile", false),
                     result);
  });
}

bool RkAccountHandler::SendMobileCode(http_request& request) {
  return Forward(request, kWholeBody, {"action", "country", "mobile"},
                 [this](const RkProxyForm& form, rkhalvex::RkRestResult* result) {
                   const std::string action = form.Raw("action");
                   const std::string country = form.Raw("country");
                   const std::string mobile = form.Raw("mobile");
                   service_->SendMobileCode(action.c_str(), country.c_str(), mobile.c_str(), result);
                 });
}

bool RkAccountHandler::SendEmailCode(http_request& request) {
  return Forward(request, kPerField, {"action", "email"},
                 [this](const RkProxyForm& form, rkhalvex::RkRestResult* result) {
                   const std::string action = form.Raw("action");
                   const std::string email = form.PlusPercent("email");
                   service_->SendEmailCode(action.c_str(), email.c_str(), result);
                 });
}

bool RkAccountHandler::VerifyEmailCode(http_request& request) {
  return Forward(request, kPerField, {"email", "vcode"},
                 [this](const RkProxyForm& form, rkhalvex::RkRestResult* result) {
                   const std::string email = form.PlusPercent("email");
                   const std::string vcode = form.Raw("vcode");
                   service_->VerifyEmailCode(email.c_str(), vcode.c_str(), result);
                 });
}

bool RkAccountHandler::VerifyMobileCode(http_request& request) {
  return Forward(request, kWholeBody, {"mobile", "vcode", "country"},
                 [this](const RkProxyForm& form, rkhalvex::RkRestResult* result) {
                   const std::string country = form.Raw("country");
                   const std::string mobile = form.Raw("mobile");
                   const std::string vcode = form.Raw("vcode");
                   service_->VerifyMobileCode(country.c_str(), mobile.c_str(), vcode.c_str(), result);
                 });
}

bool RkAccountHandler::UpdateProfile(http_request& request) {
  return ForwardAccount(request, &rkhalvex::RkAccountService::UpdateProfile);
}

bool RkAccountHandler::GetProfile(http_request& request) {
  return ForwardProfile(request, &rkhalvex::RkAccountService::GetProfile);
}

bool RkAccountHandler::Register(http_request& request) {
  return ForwardAccountForm(request, {"account_type", "password", "account"}, &rkhalvex::RkAccountService::Register);
}

bool RkAccountHandler::ResetPassword(http_request& request) {
  return ForwardAccountForm(request, {"account_type", "password", "vcode", "account"},
                            &rkhalvex::RkAccountService::ResetPassword);
}

bool RkAccountHandler::GetDeviceRecord(http_request& request) {
  return Forward(request, kWholeBody, {}, [&](const RkProxyForm& form, rkhalvex::RkRestResult* result) {
    service_->GetDeviceRecord(form.Profile(request).c_str(), form.Number("begin", 0), form.Number("end", 0), result);
  });
}

bool RkAccountHandler::SetDeviceRecord(http_request& request) {
  return ForwardProfile(request, &rkhalvex::RkAccountService::SetDeviceRecord);
}

bool RkAccountHandler::GetMiscInfo(http_request& request) {
  return ForwardProfile(request, &rkhalvex::RkAccountService::GetMiscInfo);
}

bool RkAccountHandler::SetMiscInfo(http_request& request) {
  return Forward(request, kWholeBody, {}, [&](const RkProxyForm& form, rkhalvex::RkRestResult* result) {
    service_->SetMiscInfo(form.Profile(request).c_str(), form.Flag("pwdrevalid", false), result);
  });
}

bool RkAccountHandler::ListAccounts(http_request& request) {
  return Forward(request, Body::kNotRead, {},
                 [this](const RkProxyForm&, rkhalvex::RkRestResult* result) { service_->ListAccounts(result); });
}

}  // namespace rkservice
