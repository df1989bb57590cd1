#include "rk_kivvet_text.h"

#include <cstdio>
#include <cstring>
#include <random>

namespace rkkivvet {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The unit of the four hexadecimal digits at text[at]; -1 when they are not.
int EscapedUnit(const std::string& text, size_t at) {
  if (at + 4 > text.size()) return -1;
  int unit = 0;
  for (size_t i = at; i < at + 4; ++i) {
    const int digit = HexValue(text[i]);
    if (digit < 0) return -1;
    unit = unit * 16 + digit;
  }
  return unit;
}

bool IsHighSurrogate(int unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(int unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void AppendUtf8(std::string* out, char32_t c) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace

std::string GuidToText(const RkGuid& id) {
  char text[37];
  std::snprintf(text, sizeof(text), "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", id.data1, id.data2, id.data3,
                id.data4[0], id.data4[1], id.data4[2], id.data4[3], id.data4[4], id.data4[5], id.data4[6],
                id.data4[7]);
  return text;
}

bool TextToGuid(std::string_view text, RkGuid* id) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
  if (text.size() != 36) return false;
  uint8_t bytes[16];
  size_t n = 0;
  for (size_t i = 0; i < text.size();) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return false;
      ++i;
      continue;
    }
    const int high = HexValue(text[i]);
    const int low = HexValue(text[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[n++] = static_cast<uint8_t>(high * 16 + low);
    i += 2;
  }
  RkGuid guid;
  guid.data1 = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
  guid.data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
  guid.data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
  std::memcpy(guid.data4, bytes + 8, 8);
  if (id != nullptr) *id = guid;
  return true;
}

std::string IdText(const RkGuid* id) {
  if (id == nullptr) return {};
  static const RkGuid kZero = {};
  if (std::memcmp(id, &kZero, sizeof(kZero)) == 0) return {};
  return GuidToText(*id);
}

bool IsIdText(std::string_view text) { return TextToGuid(text, nullptr); }

RkGuid NewGuid() {
  thread_local std::mt19937_64 random(std::random_device{}());
  uint64_t halves[2] = {random(), random()};
  uint8_t bytes[16];
  std::memcpy(bytes, halves, sizeof(bytes));
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);
  RkGuid id;
  std::memcpy(&id, bytes, sizeof(id));
  return id;
}

std::string NewIdText() { return GuidToText(NewGuid()); }

std::string LoneSurrogateEscapesReplaced(std::string json) {
  bool in_string = false;
  for (size_t i = 0; i < json.size(); ++i) {
    if (json[i] == '"') {
      in_string = !in_string;
    } else if (in_string && json[i] == '\\' && ++i < json.size() && json[i] == 'u') {
      // json[i] is the "u"; its digits follow, and a low half would stand
      // six characters on.
      const int unit = EscapedUnit(json, i + 1);
      const bool paired = IsHighSurrogate(unit) && json.compare(i + 5, 2, "\\u") == 0 &&
                          IsLowSurrogate(EscapedUnit(json, i + 7));
      if (paired) {
        i += 10;
      } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
        json.replace(i + 1, 4, "FFFD");
        i += 4;
      }
    }
  }
  return json;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      AppendUtf8(&out, 0x10000 + ((char32_t{unit} - 0xD800) << 10) + (char32_t{text[i + 1]} - 0xDC00));
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      AppendUtf8(&out, 0xFFFD);
    } else {
      AppendUtf8(&out, unit);
    }
  }
  return out;
}

std::string Utf16ToUtf8(const char16_t* text) {
  return text != nullptr ? Utf16ToUtf8(std::u16string_view(text)) : std::string();
}

}  // namespace rkkivvet
