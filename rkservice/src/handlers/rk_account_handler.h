// The handler of the first path segment "account": each of its POST routes
// turns a form body into one call of the browser's account service object and
// answers with the text that object hands back. It keeps no data of its own.
#ifndef RKSERVICE_SRC_HANDLERS_RK_ACCOUNT_HANDLER_H_
#define RKSERVICE_SRC_HANDLERS_RK_ACCOUNT_HANDLER_H_

#include <cstdint>
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
  using Request = web::http::http_request;
  // Runs while the service may stop: it reaches the object through its
  // argument and touches nothing of the handler.
  using Call = std::function<void(rkhalvex::RkAccountService* service, rkhalvex::RkRestResult* result)>;
  // Operations of routes that read the same fields the same way.
  using TextOperation = int32_t (rkhalvex::RkAccountService::*)(const char*, rkhalvex::RkRestResult*);
  using AccountFormOperation = int32_t (rkhalvex::RkAccountService::*)(const char*, const char*, const char*,
                                                                        const char*, const char*,
                                                                        rkhalvex::RkRestResult*);

  // The steps every route shares: the required fields, then `call` decodes
  // its fields and calls the service, then its result is the answer.
  bool Forward(Request& request, const RkProxyForm& form, const std::vector<std::string>& required,
               const Call& call);
  // "account", required, "+%".
  bool ForwardAccount(Request& request, const RkProxyForm& form, TextOperation operation);
  // The profile only.
  bool ForwardProfile(Request& request, const RkProxyForm& form, TextOperation operation);
  // account_type, account, password, country, vcode.
  bool ForwardAccountForm(Request& request, const RkProxyForm& form, const std::vector<std::string>& required,
                          AccountFormOperation operation);

  bool Check(Request& request, const RkProxyForm& form);
  bool Login(Request& request, const RkProxyForm& form);
  bool Logout(Request& request, const RkProxyForm& form);
  bool SendMobileCode(Request& request, const RkProxyForm& form);
  bool SendEmailCode(Request& request, const RkProxyForm& form);
  bool VerifyEmailCode(Request& request, const RkProxyForm& form);
  bool VerifyMobileCode(Request& request, const RkProxyForm& form);
  bool UpdateProfile(Request& request, const RkProxyForm& form);
  bool GetProfile(Request& request, const RkProxyForm& form);
  bool Register(Request& request, const RkProxyForm& form);
  bool ResetPassword(Request& request, const RkProxyForm& form);
  bool GetDeviceRecord(Request& request, const RkProxyForm& form);
  bool SetDeviceRecord(Request& request, const RkProxyForm& form);
  bool GetMiscInfo(Request& request, const RkProxyForm& form);
  bool SetMiscInfo(Request& request, const RkProxyForm& form);
  bool ListAccounts(Request& request, const RkProxyForm& form);

  RkHalvexService<rkhalvex::RkAccountService> service_;
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_HANDLERS_RK_ACCOUNT_HANDLER_H_
