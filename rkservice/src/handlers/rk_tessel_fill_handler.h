// The form-fill routes under "/tesselfill/": the user's identity text, the
// account and secret cards, their sync export and import, and the encryption
// of form-fill values. All data work is done by one RkTesselFillStore.
#ifndef RKSERVICE_SRC_HANDLERS_RK_TESSEL_FILL_HANDLER_H_
#define RKSERVICE_SRC_HANDLERS_RK_TESSEL_FILL_HANDLER_H_

#include <cpprest/json.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "rk_rest_handler.h"

namespace rkservice {

class RkTesselFillStore;

class RkTesselFillHandler : public RkRestHandler {
 public:
  // Opens the user's stores; while they do not open, every request tries
  // again and is answered 503 "{}" when they still do not.
  RkTesselFillHandler(const std::string& user_name, const std::filesystem::path& folder);
  ~RkTesselFillHandler() override;

  void HandleGet(web::http::http_request request) override;
  void HandlePost(web::http::http_request request) override;
  void HandlePut(web::http::http_request request) override;
  void HandleDelete(web::http::http_request request) override;
  void InitRoutes() override;
  void SetNotifyHost(const utility::string_t& host) override;

  // Encrypts (direction 0) or decrypts (direction 1) every member value of
  // every element; the elements must be objects whose members are texts.
  bool TransformItems(int direction, const std::string& password, std::vector<web::json::value>& elements);

 private:
  // 503 while the stores cannot be opened.
  void Dispatch(const RkRouteMap& routes, web::http::http_request& request, bool print_thread);

  bool GetAuthInfo(web::http::http_request& request);
  bool SetAuthInfo(web::http::http_request& request);
  bool GetCards(web::http::http_request& request);
  bool AddOrUpdateCard(web::http::http_request& request);
  bool DeleteCard(web::http::http_request& request);
  bool ExportSync(web::http::http_request& request, int type);
  bool ImportSync(web::http::http_request& request, int type);
  bool PwdOperation(web::http::http_request& request);

  std::shared_ptr<RkTesselFillStore> store_;
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_HANDLERS_RK_TESSEL_FILL_HANDLER_H_
