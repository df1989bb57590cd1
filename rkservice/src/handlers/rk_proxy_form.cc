#include "handlers/rk_proxy_form.h"

#include <cpprest/uri.h>

#include <algorithm>
#include <limits>

namespace rkservice {
namespace {

const char kMalformedEscape[] = "malformed percent-escape";
const char kNulInValue[] = "NUL after decoding";

std::string PercentDecode(const std::string& field, const std::string& text) {
  try {
    return web::uri::decode(text);
  } catch (const web::uri_exception&) {
    throw RkBadField(field, kMalformedEscape);
  }
}

std::string PlusToSpace(std::string text) {
  std::replace(text.begin(), text.end(), '+', ' ');
  return text;
}

// The library reads NUL-terminated texts: one with a NUL inside would reach it
// shorter, as another text.
const std::string& WithoutNul(const std::string& field, const std::string& text) {
  if (text.find('\0') != std::string::npos) throw RkBadField(field, kNulInValue);
  return text;
}

bool IsAtoiSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

RkProxyForm RkProxyForm::Parse(const std::string& text, Body body) {
  switch (body) {
    case Body::kNotRead:
      return RkProxyForm({});
    case Body::kWholeDecoded:
      return RkProxyForm(web::uri::split_query(PercentDecode(kWholeBodyField, text)));
    case Body::kPerField:
      break;
  }
  return RkProxyForm(web::uri::split_query(text));
}

const std::string* RkProxyForm::Find(const std::string& name) const {
  const auto found = fields_.find(name);
  return found != fields_.end() ? &found->second : nullptr;
}

std::string RkProxyForm::PlusPercent(const std::string& name, const std::string& fallback) const {
  const std::string* value = Find(name);
  if (value == nullptr) return fallback;
  return WithoutNul(name, PercentDecode(name, PlusToSpace(*value)));
}

std::string RkProxyForm::Plus(const std::string& name, const std::string& fallback) const {
  const std::string* value = Find(name);
  return value != nullptr ? WithoutNul(name, PlusToSpace(*value)) : fallback;
}

std::string RkProxyForm::Raw(const std::string& name, const std::string& fallback) const {
  const std::string* value = Find(name);
  return value != nullptr ? WithoutNul(name, *value) : fallback;
}

bool RkProxyForm::Flag(const std::string& name, bool fallback) const {
  const std::string* value = Find(name);
  return value != nullptr ? *value == "true" : fallback;
}

int32_t RkProxyForm::Number(const std::string& name, int32_t fallback) const {
  const std::string* value = Find(name);
  return value != nullptr ? ParseLeadingInt32(*value) : fallback;
}

std::string RkProxyForm::Profile(const web::http::http_request& request) const {
  if (const std::string* value = Find("profile")) return WithoutNul("profile", *value);
  const auto header = request.headers().find("UserName");
  return header != request.headers().end() ? WithoutNul("UserName", header->second) : std::string();
}

int32_t ParseLeadingInt32(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && IsAtoiSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Counted towards the limit on the value's own side, so INT32_MIN fits.
  const int64_t limit = negative ? -static_cast<int64_t>(std::numeric_limits<int32_t>::min())
                                 : std::numeric_limits<int32_t>::max();
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = std::min<int64_t>(value * 10 + (text[i] - '0'), limit);
  }
  return static_cast<int32_t>(negative ? -value : value);
}

}  // namespace rkservice
