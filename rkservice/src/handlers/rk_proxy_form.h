// The form body of an account or updater request, and the ways its fields are
// read before they go to the browser's main library.
#ifndef RKSERVICE_SRC_HANDLERS_RK_PROXY_FORM_H_
#define RKSERVICE_SRC_HANDLERS_RK_PROXY_FORM_H_

#include <cpprest/http_msg.h>

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>

namespace rkservice {

// A field that cannot be handed on: a malformed percent-escape, or a NUL that
// would cut the text short for the library. Carries the field's name only.
class RkBadField : public std::runtime_error {
 public:
  RkBadField(const std::string& field, const char* why) : std::runtime_error(why), field_(field) {}
  const std::string& field() const { return field_; }

 private:
  std::string field_;
};

// The field name a whole-body decode failure is reported under.
inline constexpr char kWholeBodyField[] = "body";

class RkProxyForm {
 public:
  enum class Body {
    kPerField,      // fields are decoded one by one, as each route says
    kWholeDecoded,  // the whole body is percent-decoded before it is split
    kNotRead,
  };

  // Splits the body text into fields. Throws RkBadField for a malformed
  // escape in a whole-body decode.
  static RkProxyForm Parse(const std::string& text, Body body);

  const std::map<std::string, std::string>& fields() const { return fields_; }

  // "+" becomes a space, then the value is percent-decoded.
  std::string PlusPercent(const std::string& name, const std::string& fallback = {}) const;
  // "+" becomes a space, nothing else.
  std::string Plus(const std::string& name, const std::string& fallback = {}) const;
  std::string Raw(const std::string& name, const std::string& fallback = {}) const;
  // True only for the exact text "true".
  bool Flag(const std::string& name, bool fallback) const;
  // The leading decimal integer as atoi reads it, held to the 32-bit range.
  int32_t Number(const std::string& name, int32_t fallback) const;
  // The UserName header (empty without one), unless the body has "profile".
  std::string Profile(const web::http::http_request& request) const;

 private:
  explicit RkProxyForm(std::map<std::string, std::string> fields) : fields_(std::move(fields)) {}
  const std::string* Find(const std::string& name) const;

  std::map<std::string, std::string> fields_;
};

// atoi's reading (leading white space, one sign, digits) without its undefined
// overflow: values beyond the 32-bit range stop at its ends.
int32_t ParseLeadingInt32(const std::string& text);

}  // namespace rkservice

#endif  // RKSERVICE_SRC_HANDLERS_RK_PROXY_FORM_H_
