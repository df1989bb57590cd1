#include "handlers/rk_qa_sync_document.h"

#include <cpprest/json.h>

#include <nlohmann/json.hpp>
#include <stdexcept>

#include "handlers/rk_qa_store.h"
#include "rk_utils.h"

namespace rkservice {
namespace {

constexpr char kApp[] = "app";
constexpr char kAppName[] = "rkfas";
constexpr char kData[] = "data";
constexpr char kVer[] = "ver";
constexpr char kKey[] = "key";
constexpr char kValue[] = "value";
constexpr char kValueType[] = "value_type";
constexpr char kBinary[] = "binary";
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

// Containers nested deeper than this are refused.
constexpr int kMaxDepth = 200;

class TooDeep : public std::runtime_error {
 public:
  TooDeep() : std::runtime_error("parse error: nesting deeper than " + std::to_string(kMaxDepth)) {}
};

// The reader counts no depth itself: its callback sees every container open.
nlohmann::json ParseStrict(const std::string& text) {
  const nlohmann::json::parser_callback_t limit = [](int depth, nlohmann::json::parse_event_t event,
                                                     nlohmann::json&) {
    const bool opens =
        event == nlohmann::json::parse_event_t::object_start || event == nlohmann::json::parse_event_t::array_start;
    if (opens && depth >= kMaxDepth) throw TooDeep();
    return true;
  };
  return nlohmann::json::parse(text, limit);
}

// UTF-16LE units of the bytes; ends at the first NUL unit when the last
// complete unit is NUL.
std::u16string DecodedText(const std::string& bytes) {
  std::u16string text = RkQAStore::BytesToUnits(std::vector<uint8_t>(bytes.begin(), bytes.end()));
  if (!text.empty() && text.back() == u'\0') text.resize(text.find(u'\0'));
  return text;
}

// A text is padded Base64 once completed with "="; an array is stored as its
// compact JSON text. False for anything else.
bool ItemText(const nlohmann::json& value, std::u16string* text) {
  if (value.is_array()) {
    *text = Utf8ToWide(value.dump());
    return true;
  }
  if (!value.is_string()) return false;
  std::string encoded = value.get<std::string>();
  while (encoded.size() % 4 != 0) encoded.push_back('=');
  std::string bytes;
  if (!TryBase64DecodeString(encoded, &bytes)) return false;
  *text = DecodedText(bytes);
  return true;
}

}  // namespace

std::string RkQASyncDocument::Export(const std::map<std::string, std::vector<uint8_t>>& values, bool as_text) {
  // Written as cpprestsdk writes the objects (keys in ascending order), with
  // its string escaping, but without building them: an export is large.
  const auto text = [](const std::string& utf8) { return web::json::value::string(utf8).serialize(); };
  // One allocation as a rule: growing a large text copies it again and again.
  size_t estimate = 64;
  for (const auto& entry : values) estimate += entry.first.size() + entry.second.size() * 3 / 2 + 64;
  std::string out;
  out.reserve(estimate);
  out.append("{\"").append(kApp).append("\":\"").append(kAppName).append("\",\"").append(kData).append("\":[");
  for (const auto& entry : values) {
    const std::vector<uint8_t>& bytes = entry.second;
    if (out.back() != '[') out += ',';
    out += std::string("{\"") + kKey + "\":" + text(WideToUtf8(Utf8ToWide(entry.first))) + ",\"" + kValue + "\":";
    if (as_text) {
      out += text(WideToUtf8(RkQAStore::BytesToUnits(bytes)));
    } else {
      out += '"' + Base64Encode(bytes.data(), static_cast<uint32_t>(bytes.size())) + '"';
    }
    out += std::string(",\"") + kValueType + "\":\"" + kBinary + "\"}";
  }
  out.append("],\"").append(kVer).append("\":1}");
  return out;
}

RkQASyncDocument::Status RkQASyncDocument::Import(const std::string& body, std::vector<RkQASyncItem>* items,
                                                  std::string* error) {
  const size_t skip = body.compare(0, 3, kByteOrderMark) == 0 ? 3 : 0;
  nlohmann::json document;
  try {
    document = ParseStrict(body.substr(skip));
  } catch (const std::exception& e) {
    *error = e.what();
    return Status::kNotJson;
  }
  if (!document.is_object()) return Status::kNotObject;
  const auto app = document.find(kApp);
  if (app == document.end() || !app->is_string() || app->get<std::string>() != kAppName) return Status::kNoApp;
  const auto data = document.find(kData);
  if (data == document.end() || !data->is_array()) return Status::kNoData;

  for (const nlohmann::json& item : *data) {
    if (!item.is_object() || !item.contains(kKey) || !item.contains(kValue) || !item.contains(kValueType)) continue;
    const nlohmann::json& key = item.at(kKey);
    RkQASyncItem decoded;
    if (!key.is_string() || !ItemText(item.at(kValue), &decoded.text)) continue;
    decoded.key = Utf8ToWide(key.get<std::string>());
    items->push_back(std::move(decoded));
  }
  return Status::kOk;
}

}  // namespace rkservice
