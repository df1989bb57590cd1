#include "rk_kivvet_node_json.h"

#include <charconv>
#include <cstdio>

#include "rk_kivvet_protocol.h"

namespace rkkivvet {
namespace {

// The length of the strict UTF-8 sequence (no overlong forms, no
// surrogates, nothing above U+10FFFF, as the JSON library's writer checks it)
// that starts with a byte of 0x80 or more at text[i]; 0 for none.
size_t Utf8SequenceAt(std::string_view text, size_t i) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char b = s[i];
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    need = 1;
  } else if (b >= 0xE0 && b <= 0xEF) {
    need = 2;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    need = 3;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - i - 1 < need || s[i + 1] < lo || s[i + 1] > hi) return 0;
  for (size_t k = 2; k <= need; ++k) {
    if (s[i + k] < 0x80 || s[i + k] > 0xBF) return 0;
  }
  return need + 1;
}

void AppendInt(int64_t value, std::string* out) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof(digits), value).ptr;
  out->append(digits, static_cast<size_t>(end - digits));
}

void AppendBool(bool value, std::string* out) { out->append(value ? "true" : "false"); }

}  // namespace

void AppendJsonString(std::string_view text, std::string* out) {
  const size_t mark = out->size();
  out->push_back('"');
  size_t plain = 0;  // the start of what is copied as it is
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const size_t length = Utf8SequenceAt(text, i);
      if (length == 0) {
        // Rare (a damaged store): the library's own replacement rules.
        out->resize(mark);
        out->append(protocol::Dump(nlohmann::json(std::string(text))));
        return;
      }
      i += length;
      continue;
    }
    if (c >= 0x20 && c != '"' && c != '\\') {
      ++i;
      continue;
    }
    out->append(text.data() + plain, i - plain);
    plain = ++i;
    switch (c) {
      case '"': out->append("\\\""); break;
      case '\\': out->append("\\\\"); break;
      case '\b': out->append("\\b"); break;
      case '\f': out->append("\\f"); break;
      case '\n': out->append("\\n"); break;
      case '\r': out->append("\\r"); break;
      case '\t': out->append("\\t"); break;
      default: {
        char escape[8];
        std::snprintf(escape, sizeof(escape), "\\u%04x", c);
        out->append(escape, 6);
      }
    }
  }
  out->append(text.data() + plain, text.size() - plain);
  out->push_back('"');
}

void AppendNodeHead(const RkKivvetNodeView& node, std::string* out) {
  out->append("{\"ctime\":");
  AppendInt(node.ctime, out);
  out->append(",\"et\":");
  AppendInt(node.et, out);
  out->append(",\"fav\":");
  AppendBool(node.favorite, out);
  out->append(",\"fn\":");
  AppendJsonString(node.fn, out);
  out->append(",\"ft\":");
  AppendInt(node.ft, out);
  out->append(",\"has_content\":");
  AppendBool(node.has_content, out);
  out->append(",\"id\":");
  AppendJsonString(node.id, out);
  out->append(",\"minimalist\":");
  AppendInt(node.minimalist, out);
  out->append(",\"mtime\":");
  AppendInt(node.mtime, out);
}

void AppendNodeTail(const RkKivvetNodeView& node, std::string* out) {
  out->append(",\"pid\":");
  AppendJsonString(node.pid, out);
  out->append(",\"res\":");
  AppendInt(node.resources, out);
  out->append(",\"sum\":");
  AppendJsonString(node.sum, out);
  out->append(",\"tu\":");
  AppendJsonString(node.tu, out);
  out->append(",\"url\":");
  AppendJsonString(node.url, out);
  out->append(",\"ver\":");
  AppendInt(node.ver, out);
  out->push_back('}');
}

}  // namespace rkkivvet
