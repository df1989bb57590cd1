// How the notes routes read their inputs and pass engine text
// on: the query map, typed fields of a JSON body, and text made well-formed
// UTF-8 for a reply.
#ifndef RKSERVICE_SRC_KIVVET_RK_KIVVET_ROUTE_SUPPORT_H_
#define RKSERVICE_SRC_KIVVET_RK_KIVVET_ROUTE_SUPPORT_H_

#include <cpprest/http_msg.h>
#include <cpprest/json.h>

#include <map>
#include <stdexcept>
#include <string>

#include "rk_utils.h"

namespace rkservice {

inline std::map<utility::string_t, utility::string_t> KivvetQueryOf(const web::http::http_request& request) {
  return web::uri::split_query(request.request_uri().query());
}

// Engine text as a reply carries it: ill-formed UTF-8 becomes U+FFFD.
inline utility::string_t WellFormedText(const std::string& text) { return WellFormedUtf8(text); }

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
