// The handler of the first path segment "account": each of its POST routes
// turns a form body into one call of the browser's account service object and
// answers with the text that object hands back. It keeps no data of its own.
#ifndef RKSERVICE_SRC_HANDLERS_RK_ACCOUNT_HANDLER_H_
#define RKSERVICE_SRC_HANDLERS_RK_ACCOUNT_HANDLER_H_

#include <functional>
#include <string>
#include <vector>

#include "handlers/rk_halvex_library.h"
#include "handlers/rk_proxy_form.h"
#include "handlers/rk_proxy_handler.h"

namespace rkservice {

class RkAccountHandler : public RkProxyHandler {
 public:
  // Binds the service object; without one no route is registered and every
  // POST answers 404.
  RkAccountHandler();
  ~RkAccountHandler() override;

  // Preflight requests for "account" reach the handler (the router leaves
  // them alone) and are allowed.
  void HandleOptions(web::http::http_request request) override;

 private:
  using Call = std::function<void(const RkProxyForm& form, rkhalvex::RkRestResult* result)>;

  // The steps every route shares: read the form, check the required fields,
  // let `call` decode its fields and call the service, answer its result.
  bool Forward(web::http::http_request& request, RkProxyForm::Body body, const std::vector<std::string>& required,
               const Call& call);

  // Routes that read the same fields the same way share one of these.
  using TextOperation = int32_t (rkhalvex::RkAccountService::*)(const char*, rkhalvex::RkRestResult*);
  using AccountFormOperation = int32_t (rkhalvex::RkAccountService::*)(const char*, const char*, const char*,
                                                                        const char*, const char*,
                                                                        rkhalvex::RkRestResult*);
  // "account" (required, "+%").
  bool ForwardAccount(web::http::http_request& request, TextOperation operation);
  // The whole body decoded; the profile only.
  bool ForwardProfile(web::http::http_request& request, TextOperation operation);
  // account_type, account, password, country, vcode.
  bool ForwardAccountForm(web::http::http_request& request, const std::vector<std::string>& required,
                          AccountFormOperation operation);

  bool Check(web::http::http_request& request);
  bool Login(web::http::http_request& request);
  bool Logout(web::http::http_request& request);
  bool SendMobileCode(web::http::http_request& request);
  bool SendEmailCode(web::http::http_request& request);
  bool VerifyEmailCode(web::http::http_request& request);
  bool VerifyMobileCode(web::http::http_request& request);
  bool UpdateProfile(web::http::http_request& request);
  bool GetProfile(web::http::http_request& request);
  bool Register(web::http::http_request& request);
  bool ResetPassword(web::http::http_request& request);
  bool GetDeviceRecord(web::http::http_request& request);
  bool SetDeviceRecord(web::http::http_request& request);
  bool GetMiscInfo(web::http::http_request& request);
  bool SetMiscInfo(web::http::http_request& request);
  bool ListAccounts(web::http::http_request& request);

  RkHalvexService<rkhalvex::RkAccountService> service_;
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_HANDLERS_RK_ACCOUNT_HANDLER_H_
