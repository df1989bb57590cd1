#include "rk_kivvet_protocol.h"

#include "rk_kivvet_text.h"

namespace rkkivvet {
namespace protocol {
namespace {

template <typename T>
bool ReadInt(const nlohmann::json& value, const char* key, T* out) {
  const auto found = value.find(key);
  if (found == value.end()) return true;
  if (!found->is_number_integer()) return false;
  *out = found->get<T>();
  return true;
}

bool ReadText(const nlohmann::json& value, const char* key, std::string* out) {
  const auto found = value.find(key);
  if (found == value.end()) return true;
  if (!found->is_string()) return false;
  *out = found->get<std::string>();
  return true;
}

bool ReadBool(const nlohmann::json& value, const char* key, bool* out) {
  const auto found = value.find(key);
  if (found == value.end()) return true;
  if (!found->is_boolean()) return false;
  *out = found->get<bool>();
  return true;
}

}  // namespace

nlohmann::json ToJson(const NodeRecord& record) {
  nlohmann::json value = {
      {"id", record.id},   {"pid", record.pid},     {"ft", record.ft},       {"fn", record.fn},
      {"url", record.url}, {"sum", record.sum},     {"tu", record.tu},       {"et", record.et},
      {"min", record.minimalist}, {"ver", record.ver}, {"ctime", record.ctime}, {"mtime", record.mtime},
      {"usn", record.usn}, {"base", record.base},   {"hc", record.has_content},
  };
  if (record.with_content) value["content"] = record.content;
  return value;
}

bool FromJson(const nlohmann::json& value, NodeRecord* record) {
  if (!value.is_object()) return false;
  NodeRecord r;
  if (!ReadText(value, "id", &r.id) || !IsIdText(r.id) || !ReadText(value, "pid", &r.pid) || !IsIdText(r.pid)) {
    return false;
  }
  RkGuid id;
  TextToGuid(r.id, &id);
  r.id = GuidToText(id);
  TextToGuid(r.pid, &id);
  r.pid = GuidToText(id);
  const bool ok = ReadInt(value, "ft", &r.ft) && ReadText(value, "fn", &r.fn) && ReadText(value, "url", &r.url) &&
                  ReadText(value, "sum", &r.sum) && ReadText(value, "tu", &r.tu) && ReadInt(value, "et", &r.et) &&
                  ReadInt(value, "min", &r.minimalist) && ReadInt(value, "ver", &r.ver) &&
                  ReadInt(value, "ctime", &r.ctime) && ReadInt(value, "mtime", &r.mtime) &&
                  ReadInt(value, "usn", &r.usn) && ReadInt(value, "base", &r.base) &&
                  ReadBool(value, "hc", &r.has_content);
  if (!ok) return false;
  const auto content = value.find("content");
  if (content != value.end()) {
    if (!content->is_string()) return false;
    r.with_content = true;
    r.content = content->get<std::string>();
  }
  *record = std::move(r);
  return true;
}

nlohmann::json Parse(const std::string& text) {
  // Most texts hold no escape at all.
  if (text.find('\\') == std::string::npos) return nlohmann::json::parse(text, nullptr, false);
  return nlohmann::json::parse(LoneSurrogateEscapesReplaced(text), nullptr, false);
}

std::string Dump(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace protocol
}  // namespace rkkivvet
