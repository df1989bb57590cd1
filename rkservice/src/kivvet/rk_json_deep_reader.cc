#include "kivvet/rk_json_deep_reader.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <utility>
#include <vector>

namespace rkservice {
namespace {

using web::json::value;

// Builds the value bottom-up on a stack of its own, so no depth is
// recursion here.
class ValueBuilder {
 public:
  using Binary = nlohmann::json::binary_t;

  bool null() { return Put(value::null()); }
  bool boolean(bool b) { return Put(value::boolean(b)); }
  bool number_integer(int64_t n) { return Put(value::number(n)); }
  bool number_unsigned(uint64_t n) { return Put(value::number(n)); }
  bool number_float(double n, const std::string&) { return Put(value::number(n)); }
  bool string(std::string& s) { return Put(value::string(std::move(s))); }
  bool binary(Binary&) { return false; }  // not produced from text

  bool start_object(std::size_t) { return Open(true); }
  bool key(std::string& key) {
    open_.back().key = std::move(key);
    return true;
  }
  bool end_object() {
    Container done = Close();
    // As the library's reader: sorted by key unless order is asked for.
    return Put(value::object(std::move(done.members), false));
  }
  bool start_array(std::size_t) { return Open(false); }
  bool end_array() { return Put(value::array(Close().elements)); }

  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception&) {
    // Not the reader's own message: it quotes the text, note contents included.
    error_ = "syntax error at byte " + std::to_string(position);
    return false;
  }

  value& result() { return result_; }
  const std::string& error() const { return error_; }

 private:
  struct Container {
    bool object = false;
    std::string key;
    std::vector<std::pair<utility::string_t, value>> members;
    std::vector<value> elements;
  };

  bool Open(bool object) {
    if (open_.size() >= static_cast<std::size_t>(RkJsonDeepReader::kMaxDepth)) {
      error_ = "nested deeper than " + std::to_string(RkJsonDeepReader::kMaxDepth) + " levels";
      return false;
    }
    open_.emplace_back();
    open_.back().object = object;
    return true;
  }

  Container Close() {
    Container done = std::move(open_.back());
    open_.pop_back();
    return done;
  }

  bool Put(value v) {
    if (open_.empty()) {
      result_ = std::move(v);
      return true;
    }
    Container& into = open_.back();
    if (into.object) {
      into.members.emplace_back(std::move(into.key), std::move(v));
    } else {
      into.elements.push_back(std::move(v));
    }
    return true;
  }

  std::vector<Container> open_;
  value result_;
  std::string error_;
};

}  // namespace

bool RkJsonDeepReader::Parse(std::string_view text, web::json::value* value, std::string* error) {
  ValueBuilder builder;
  // Strict: nothing may follow the value.
  if (!nlohmann::json::sax_parse(text.begin(), text.end(), &builder, nlohmann::json::input_format_t::json, true)) {
    *error = builder.error().empty() ? "not JSON" : builder.error();
    return false;
  }
  *value = std::move(builder.result());
  return true;
}

}  // namespace rkservice
