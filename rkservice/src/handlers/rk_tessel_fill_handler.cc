#include "handlers/rk_tessel_fill_handler.h"

#include <cpprest/uri.h>

#include <iostream>
#include <stdexcept>

#include "handlers/rk_tessel_fill_store.h"
#include "platform/rk_platform.h"
#include "rk_logger.h"

namespace rkservice {
namespace {

using web::http::http_request;
using web::http::status_codes;

constexpr int kEncrypt = 0;
constexpr int kDecrypt = 1;

// A failed check of a route's parameters; its text is the route's log line.
class ParamError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

int CardTypeOf(const std::string& text, const char* error) {
  if (text == "account") return CardType::kAccount;
  if (text == "secret") return CardType::kSecret;
  throw ParamError(error);
}

// A JSON object with the required members, as the routes read their bodies.
web::json::object& RequireObject(web::json::value& body, const std::vector<utility::string_t>& keys,
                                 const char* error) {
  web::json::object& object = body.as_object();
  if (!RkRestHandler::HasRequiredKeys(object, keys)) throw ParamError(error);
  return object;
}

bool ObjectsOfTexts(const web::json::array& elements) {
  for (const web::json::value& element : elements) {
    if (!element.is_object()) return false;
    for (const auto& member : element.as_object()) {
      if (!member.second.is_string()) return false;
    }
  }
  return true;
}

}  // namespace

RkTesselFillHandler::RkTesselFillHandler(const std::string& user_name, const std::filesystem::path& folder)
    : store_(std::make_shared<RkTesselFillStore>(user_name, folder)) {
  store_->Init();
  InitRoutes();
}

RkTesselFillHandler::~RkTesselFillHandler() = default;

void RkTesselFillHandler::InitRoutes() {
  auto route = [this](bool (RkTesselFillHandler::*function)(http_request&)) {
    return [this, function](http_request& request) { return (this->*function)(request); };
  };
  auto typed = [this](bool (RkTesselFillHandler::*function)(http_request&, int), int type) {
    return [this, function, type](http_request& request) { return (this->*function)(request, type); };
  };
  get_routes_ = {
      {"/tesselfill/common/auth_info", route(&RkTesselFillHandler::GetAuthInfo)},
      {"/tesselfill/card/all", route(&RkTesselFillHandler::GetCards)},
      {"/tesselfill/sync/account/get", typed(&RkTesselFillHandler::ExportSync, CardType::kAccount)},
      {"/tesselfill/sync/secret/get", typed(&RkTesselFillHandler::ExportSync, CardType::kSecret)},
  };
  post_routes_ = {
      {"/tesselfill/common/auth_info", route(&RkTesselFillHandler::SetAuthInfo)},
      {"/tesselfill/sync/account/set", typed(&RkTesselFillHandler::ImportSync, CardType::kAccount)},
      {"/tesselfill/sync/secret/set", typed(&RkTesselFillHandler::ImportSync, CardType::kSecret)},
      {"/tesselfill/card/add_or_update", route(&RkTesselFillHandler::AddOrUpdateCard)},
  };
  put_routes_ = {
      {"/tesselfill/pwd_operation", route(&RkTesselFillHandler::PwdOperation)},
  };
  delete_routes_ = {
      {"/tesselfill/card", route(&RkTesselFillHandler::DeleteCard)},
  };
  // Changes notify the browser before they answer.
  SetWaitsOutside(web::http::methods::POST);
  SetWaitsOutside(web::http::methods::DEL);
}

void RkTesselFillHandler::SetNotifyHost(const utility::string_t& host) {
  RkRestHandler::SetNotifyHost(host);
  store_->SetNotifyHost(host);
}

void RkTesselFillHandler::HandleGet(http_request request) { Dispatch(get_routes_, request, true); }
void RkTesselFillHandler::HandlePost(http_request request) { Dispatch(post_routes_, request, false); }
void RkTesselFillHandler::HandlePut(http_request request) { Dispatch(put_routes_, request, true); }
void RkTesselFillHandler::HandleDelete(http_request request) { Dispatch(delete_routes_, request, false); }

void RkTesselFillHandler::Dispatch(const RkRouteMap& routes, http_request& request, bool print_thread) {
  // Stores that did not open are tried again by each request until they do.
  if (!store_->Init()) {
    Reply(request, status_codes::ServiceUnavailable, "{}");
    return;
  }
  if (print_thread) std::cout << (std::to_string(platform::CurrentThreadId()) + "\n") << std::flush;
  RouteRequest(routes, request);
}

bool RkTesselFillHandler::GetAuthInfo(http_request& request) {
  Reply(request, status_codes::OK, store_->GetAuthInfo());
  return true;
}

bool RkTesselFillHandler::SetAuthInfo(http_request& request) {
  std::string identity;
  try {
    web::json::value json = ReadJsonBody(request);
    identity = RequireObject(json, {"key"}, "param error").at("key").as_string();
  } catch (const std::exception&) {
    Reply(request, status_codes::BadRequest, "");
    return false;
  }
  if (!store_->SetAuthInfo(identity)) {
    Reply(request, status_codes::InternalError, "{}");
    return false;
  }
  Reply(request, status_codes::OK, "{}");
  return true;
}

bool RkTesselFillHandler::GetCards(http_request& request) {
  int type = 0;
  try {
    const auto query = ReadQuery(request);
    if (!HasRequiredKeys(query, {"type"})) throw ParamError("need query `type`");
    type = CardTypeOf(query.at("type"), "type error");
  } catch (const std::exception& e) {
    Reply(request, status_codes::BadRequest, "{}");
    RkLogError("{0}", e.what());
    return false;
  }
  std::string cards;
  if (!store_->GetAllCards(type, &cards)) {
    Reply(request, status_codes::InternalError, "{}");
    return false;
  }
  Reply(request, status_codes::OK, std::move(cards));
  return true;
}

bool RkTesselFillHandler::AddOrUpdateCard(http_request& request) {
  int type = 0;
  std::string key;
  std::string value;
  try {
    web::json::value json = ReadJsonBody(request);
    const web::json::object& object = RequireObject(json, {"type", "key", "value"}, "param error");
    const std::string type_text = object.at("type").as_string();
    key = object.at("key").as_string();
    value = object.at("value").as_string();
    type = CardTypeOf(type_text, "param error");
  } catch (const std::exception& e) {
    RkLogError("{0}", e.what());
    Reply(request, status_codes::BadRequest, "{}");
    return false;
  }
  // Returns after the change notification has been answered.
  if (!store_->SetCard(type, key, value)) {
    Reply(request, status_codes::InternalError, "{}");
    return false;
  }
  Reply(request, status_codes::OK, "{}");
  return true;
}

bool RkTesselFillHandler::DeleteCard(http_request& request) {
  int type = 0;
  std::string key;
  try {
    web::json::value json = ReadJsonBody(request);
    const web::json::object& object = RequireObject(json, {"type", "key"}, "param error");
    const std::string type_text = object.at("type").as_string();
    key = object.at("key").as_string();
    type = CardTypeOf(type_text, "param error");
    if (key.empty()) throw ParamError("param error");
  } catch (const std::exception& e) {
    RkLogError("{0}", e.what());
    Reply(request, status_codes::BadRequest, "{}");
    return false;
  }
  if (!store_->DeleteCard(type, key)) {
    Reply(request, status_codes::InternalError, "{}");
    return false;
  }
  Reply(request, status_codes::OK, "{}");
  return true;
}

bool RkTesselFillHandler::ExportSync(http_request& request, int type) {
  const std::string document = store_->ExportSync(type);
  if (document.empty()) {
    Reply(request, status_codes::BadRequest, "[]");
    return false;
  }
  Reply(request, status_codes::OK, document);
  return true;
}

bool RkTesselFillHandler::ImportSync(http_request& request, int type) {
  std::string document;
  if (!ReadTextBody(request, &document)) return false;
  if (!store_->ImportSync(type, document)) {
    Reply(request, status_codes::BadRequest, "{}");
    return false;
  }
  Reply(request, status_codes::OK, "{}");
  return true;
}

bool RkTesselFillHandler::PwdOperation(http_request& request) {
  int direction = kEncrypt;
  std::string password;
  web::json::value content;
  try {
    web::json::value json = ReadJsonBody(request);
    const web::json::object& object = RequireObject(json, {"type", "user_pwd", "content"}, "params error");
    const std::string type = object.at("type").as_string();
    password = object.at("user_pwd").as_string();
    const std::string content_text = object.at("content").as_string();
    if (type == "encrypt") {
      direction = kEncrypt;
    } else if (type == "decrypt") {
      direction = kDecrypt;
    } else {
      throw ParamError("params error");
    }
    content = ParseRequestJson(content_text);
    if (!content.is_array()) throw ParamError("not an array");
    // Checked whole before any value is touched.
    if (!ObjectsOfTexts(content.as_array())) throw ParamError("content items must be objects of strings");
  } catch (const std::exception& e) {
    RkLogError("{0}", e.what());
    Reply(request, status_codes::BadRequest, "{}");
    return false;
  }
  const web::json::array& items = content.as_array();
  std::vector<web::json::value> elements(items.begin(), items.end());
  TransformItems(direction, password, elements);
  Reply(request, status_codes::OK, web::json::value::array(std::move(elements)).serialize());
  return true;
}

bool RkTesselFillHandler::TransformItems(int direction, const std::string& password,
                                         std::vector<web::json::value>& elements) {
  for (web::json::value& element : elements) {
    for (auto& member : element.as_object()) {
      const std::string& text = member.second.as_string();
      member.second = web::json::value::string(direction == kDecrypt ? store_->Decrypt(password, text)
                                                                     : store_->Encrypt(password, text));
    }
  }
  return true;
}

}  // namespace rkservice
