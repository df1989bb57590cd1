// How the notes routes read the fields of a JSON body: required keys, texts
// and integers.
#ifndef RKSERVICE_SRC_KIVVET_RK_KIVVET_ROUTE_SUPPORT_H_
#define RKSERVICE_SRC_KIVVET_RK_KIVVET_ROUTE_SUPPORT_H_

#include <cpprest/json.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "rk_rest_handler.h"
#include "rk_utils.h"

namespace rkservice {

// Presence only, as the handler base checks it; throws "params error".
inline void RequireKeys(const web::json::object& body, const std::vector<utility::string_t>& keys) {
  if (!RkRestHandler::HasRequiredKeys(body, keys)) throw std::invalid_argument("params error");
}

// A JSON string field, as UTF-16; throws when it is missing or not a string.
inline std::u16string JsonTextField(const web::json::object& body, const char* key) {
  return Utf8ToWide(body.at(key).as_string());
}

// -1 when absent. A value that is not an integral number within 32 bits
// throws: cut down to an int it would reach the engine as another number.
inline int JsonOptionalInt(const web::json::object& body, const char* key) {
  const auto found = body.find(key);
  if (found == body.end()) return -1;
  const web::json::value& value = found->second;
  if (!value.is_number() || !value.as_number().is_int32()) {
    throw std::invalid_argument(std::string(key) + " is not a 32-bit integer");
  }
  return value.as_number().to_int32();
}

}  // namespace rkservice

#endif  // RKSERVICE_SRC_KIVVET_RK_KIVVET_ROUTE_SUPPORT_H_
