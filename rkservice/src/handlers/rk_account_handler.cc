#include "handlers/rk_account_handler.h"

namespace rkservice {
namespace {

using rkhalvex::RkAccountService;
using rkhalvex::RkRestResult;
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
    Body body;
    bool (RkAccountHandler::*route)(Request&, const RkProxyForm&);
  } routes[] = {
      {"/account/check", kPerField, &RkAccountHandler::Check},
      {"/account/login", kPerField, &RkAccountHandler::Login},
      {"/account/logout", kPerField, &RkAccountHandler::Logout},
      {"/account/vcode/mobile", kWholeBody, &RkAccountHandler::SendMobileCode},
      {"/account/vcode/email", kPerField, &RkAccountHandler::SendEmailCode},
      {"/account/vcode/verifyemail", kPerField, &RkAccountHandler::VerifyEmailCode},
      {"/account/vcode/verifymobile", kWholeBody, &RkAccountHandler::VerifyMobileCode},
      {"/account/update/profile", kPerField, &RkAccountHandler::UpdateProfile},
      {"/account/get/profile", kWholeBody, &RkAccountHandler::GetProfile},
      {"/account/register", kPerField, &RkAccountHandler::Register},
      {"/account/rest/password", kPerField, &RkAccountHandler::ResetPassword},  // sic: the browser calls this path
      {"/account/device/record/get", kWholeBody, &RkAccountHandler::GetDeviceRecord},
      {"/account/device/record/set", kWholeBody, &RkAccountHandler::SetDeviceRecord},
      {"/account/misc/info/get", kWholeBody, &RkAccountHandler::GetMiscInfo},
      {"/account/misc/info/set", kWholeBody, &RkAccountHandler::SetMiscInfo},
      {"/account/list", Body::kNotRead, &RkAccountHandler::ListAccounts},
  };
  for (const auto& route : routes) {
    AddRoute(route.path, route.body, [this, member = route.route](Request& request, const RkProxyForm& form) {
      return (this->*member)(request, form);
    });
  }
}

RkAccountHandler::~RkAccountHandler() = default;

void RkAccountHandler::HandleOptions(Request request) { Reply(request, web::http::status_codes::OK, "{}"); }

bool RkAccountHandler::Forward(Request& request, const RkProxyForm& form, const std::vector<std::string>& required,
                               const Call& call) {
  if (!service_) return ReplyNoService(request);
  if (!HasRequiredKeys(form.fields(), required)) {
    Reply(request, web::http::status_codes::BadRequest, "{}");
    return false;
  }
  RkRestResultHolder result;
  // The call keeps the object acquired, whatever becomes of the handler.
  const RkHalvexService<RkAccountService> service = service_;
  if (!CallOutside([&] { call(service.get(), &result); })) return false;
  return ReplyResult(request, result);
}

bool RkAccountHandler::ForwardAccount(Request& request, const RkProxyForm& form, TextOperation operation) {
  return Forward(request, form, {"account"}, [&](RkAccountService* service, RkRestResult* result) {
    (service->*operation)(form.PlusPercent("account").c_str(), result);
  });
}

bool RkAccountHandler::ForwardProfile(Request& request, const RkProxyForm& form, TextOperation operation) {
  return Forward(request, form, {}, [&](RkAccountService* service, RkRestResult* result) {
    (service->*operation)(form.Profile(request).c_str(), result);
  });
}

bool RkAccountHandler::ForwardAccountForm(Request& request, const RkProxyForm& form,
                                          const std::vector<std::string>& required, AccountFormOperation operation) {
  return Forward(request, form, required, [&](RkAccountService* service, RkRestResult* result) {
    const std::string account_type = form.Raw("account_type");
    const std::string account = form.PlusPercent("account");
    const std::string password = form.PlusPercent("password");
    const std::string country = form.Raw("country");
    const std::string vcode = form.Raw("vcode");
    (service->*operation)(account_type.c_str(), account.c_str(), password.c_str(), country.c_str(),
                                 vcode.c_str(), result);
  });
}

bool RkAccountHandler::Check(Request& request, const RkProxyForm& form) {
  return ForwardAccount(request, form, &RkAccountService::Check);
}

bool RkAccountHandler::Login(Request& request, const RkProxyForm& form) {
  return Forward(request, form, {"account"}, [&](RkAccountService* service, RkRestResult* result) {
    const std::string profile = form.Profile(request);
    const std::string account = form.PlusPercent("account");
    const std::string password = form.PlusPercent("password");
    const std::string country = form.Plus("country");
    const std::string login_service = form.Raw("login_service", "en");
    service->Login(profile.c_str(), account.c_str(), password.c_str(), country.c_str(), form.Flag("auto_login", true),
                    login_service.c_str(), form.Flag("remember_password", true),
                    form.Flag("import_guest_data", false), form.Flag("delete_profile", false), result);
  });
}

bool RkAccountHandler::Logout(Request& request, const RkProxyForm& form) {
  return Forward(request, form, {}, [&](RkAccountService* service, RkRestResult* result) {
    const std::string profile = form.Profile(request);
    const std::string account = form.PlusPercent("account");
    service->Logout(profile.c_str(), account.empty() ? nullptr : account.c_str(), form.Flag("delete_profile", false),
                     result);
  });
}

bool RkAccountHandler::SendMobileCode(Request& request, const RkProxyForm& form) {
  return Forward(request, form, {"action", "country", "mobile"}, [&](RkAccountService* service, RkRestResult* result) {
    const std::string action = form.Raw("action");
    const std::string country = form.Raw("country");
    const std::string mobile = form.Raw("mobile");
    service->SendMobileCode(action.c_str(), country.c_str(), mobile.c_str(), result);
  });
}

bool RkAccountHandler::SendEmailCode(Request& request, const RkProxyForm& form) {
  return Forward(request, form, {"action", "email"}, [&](RkAccountService* service, RkRestResult* result) {
    const std::string action = form.Raw("action");
    const std::string email = form.PlusPercent("email");
    service->SendEmailCode(action.c_str(), email.c_str(), result);
  });
}

bool RkAccountHandler::VerifyEmailCode(Request& request, const RkProxyForm& form) {
  return Forward(request, form, {"email", "vcode"}, [&](RkAccountService* service, RkRestResult* result) {
    const std::string email = form.PlusPercent("email");
    const std::string vcode = form.Raw("vcode");
    service->VerifyEmailCode(email.c_str(), vcode.c_str(), result);
  });
}

bool RkAccountHandler::VerifyMobileCode(Request& request, const RkProxyForm& form) {
  return Forward(request, form, {"mobile", "vcode", "country"}, [&](RkAccountService* service, RkRestResult* result) {
    const std::string country = form.Raw("country");
    const std::string mobile = form.Raw("mobile");
    const std::string vcode = form.Raw("vcode");
    service->VerifyMobileCode(country.c_str(), mobile.c_str(), vcode.c_str(), result);
  });
}

bool RkAccountHandler::UpdateProfile(Request& request, const RkProxyForm& form) {
  return ForwardAccount(request, form, &RkAccountService::UpdateProfile);
}

bool RkAccountHandler::GetProfile(Request& request, const RkProxyForm& form) {
  return ForwardProfile(request, form, &RkAccountService::GetProfile);
}

bool RkAccountHandler::Register(Request& request, const RkProxyForm& form) {
  return ForwardAccountForm(request, form, {"account_type", "password", "account"}, &RkAccountService::Register);
}

bool RkAccountHandler::ResetPassword(Request& request, const RkProxyForm& form) {
  return ForwardAccountForm(request, form, {"account_type", "password", "vcode", "account"},
                            &RkAccountService::ResetPassword);
}

bool RkAccountHandler::GetDeviceRecord(Request& request, const RkProxyForm& form) {
  return Forward(request, form, {}, [&](RkAccountService* service, RkRestResult* result) {
    service->GetDeviceRecord(form.Profile(request).c_str(), form.Number("begin", 0), form.Number("end", 0), result);
  });
}

bool RkAccountHandler::SetDeviceRecord(Request& request, const RkProxyForm& form) {
  return ForwardProfile(request, form, &RkAccountService::SetDeviceRecord);
}

bool RkAccountHandler::GetMiscInfo(Request& request, const RkProxyForm& form) {
  return ForwardProfile(request, form, &RkAccountService::GetMiscInfo);
}

bool RkAccountHandler::SetMiscInfo(Request& request, const RkProxyForm& form) {
  return Forward(request, form, {}, [&](RkAccountService* service, RkRestResult* result) {
    service->SetMiscInfo(form.Profile(request).c_str(), form.Flag("pwdrevalid", false), result);
  });
}

bool RkAccountHandler::ListAccounts(Request& request, const RkProxyForm& form) {
  return Forward(request, form, {}, [](RkAccountService* service, RkRestResult* result) { service->ListAccounts(result); });
}

}  // namespace rkservice
