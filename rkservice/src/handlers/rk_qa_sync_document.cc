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

// The reader's own tree builder, counting the depth on the way: one linear
// pass. (A parser callback sees the depth too, but the callback reader then
// searches the parent for discarded values at every container's end, which
// costs the square of the number of items.) The limit trips where the
// callback's would: as the 201st container opens, before anything after it
// is read.
class DepthLimitedBuilder {
 public:
  using json = nlohmann::json;

  explicit DepthLimitedBuilder(json& result) : builder_(result) {}

  bool null() { return builder_.null(); }
  bool boolean(bool value) { return builder_.boolean(value); }
  bool number_integer(json::number_integer_t value) { return builder_.number_integer(value); }
  bool number_unsigned(json::number_unsigned_t value) { return builder_.number_unsigned(value); }
  bool number_float(json::number_float_t value, const json::string_t& text) {
    return builder_.number_float(value, text);
  }
  bool string(json::string_t& value) { return builder_.string(value); }
  bool binary(json::binary_t& value) { return builder_.binary(value); }
  bool key(json::string_t& value) { return builder_.key(value); }
  bool start_object(std::size_t size) {
    Open();
    return builder_.start_object(size);
  }
  bool end_object() {
    --depth_;
    return builder_.end_object();
  }
  bool start_array(std::size_t size) {
    Open();
    return builder_.start_array(size);
  }
  bool end_array() {
    --depth_;
    return builder_.end_array();
  }
  // Throws the reader's own exception, message and all.
  template <class Exception>
  bool parse_error(std::size_t position, const std::string& last_token, const Exception& error) {
    return builder_.parse_error(position, last_token, error);
  }

 private:
  void Open() {
    if (depth_ >= kMaxDepth) throw TooDeep();
    ++depth_;
  }

  nlohmann::detail::json_sax_dom_parser<json> builder_;
  int depth_ = 0;
};

// Strict: one value, nothing after it, no comments.
nlohmann::json ParseStrict(std::string::const_iterator begin, std::string::const_iterator end) {
  nlohmann::json result;
  DepthLimitedBuilder builder(result);
  nlohmann::json::sax_parse(begin, end, &builder);
  return result;
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
  // Completed with "=" to whole groups of four; most come without.
  std::string_view encoded = value.get_ref<const std::string&>();
  std::string padded;
  if (encoded.size() % 4 != 0) {
    padded.assign(encoded).append(4 - encoded.size() % 4, '=');
    encoded = padded;
  }
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
    document = ParseStrict(body.begin() + skip, body.end());
  } catch (const std::exception& e) {
    // The message quotes what the reader read last, bytes that are not
    // UTF-8 included.
    *error = WellFormedUtf8(e.what());
    return Status::kNotJson;
  }
  if (!document.is_object()) return Status::kNotObject;
  const auto app = document.find(kApp);
  if (app == document.end() || !app->is_string() || app->get<std::string>() != kAppName) return Status::kNoApp;
  const auto data = document.find(kData);
  if (data == document.end() || !data->is_array()) return Status::kNoData;

  items->reserve(items->size() + data->size());
  for (const nlohmann::json& item : *data) {
    if (!item.is_object() || !item.contains(kKey) || !item.contains(kValue) || !item.contains(kValueType)) continue;
    const nlohmann::json& key = item.at(kKey);
    RkQASyncItem decoded;
    if (!key.is_string() || !ItemText(item.at(kValue), &decoded.text)) continue;
    decoded.key = Utf8ToWide(key.get_ref<const std::string&>());
    items->push_back(std::move(decoded));
  }
  return Status::kOk;
}

}  // namespace rkservice
