#include "handlers/rk_json_check.h"

#include <cstdint>

#include "rk_utils.h"

namespace rkservice {
namespace {

constexpr int kMaxDepth = 512;

class JsonCheck {
 public:
  JsonCheck(const char* data, size_t size)
      : p_(reinterpret_cast<const unsigned char*>(data)), end_(p_ + size) {}

  bool Whole() {
    SkipBlanks();
    if (!Value(0)) return false;
    SkipBlanks();
    return p_ == end_;
  }

 private:
  bool At(unsigned char c) const { return p_ < end_ && *p_ == c; }
  bool Digit() const { return p_ < end_ && *p_ >= '0' && *p_ <= '9'; }

  void SkipBlanks() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }

  bool Word(const char* word) {
    for (; *word != '\0'; ++word, ++p_) {
      if (!At(static_cast<unsigned char>(*word))) return false;
    }
    return true;
  }

  bool Value(int depth) {
    if (p_ == end_) return false;
    switch (*p_) {
      case '{': return Object(depth + 1);
      case '[': return Array(depth + 1);
      case '"': return String();
      case 't': return Word("true");
      case 'f': return Word("false");
      case 'n': return Word("null");
      default: return Number();
    }
  }

  bool Object(int depth) {
    if (depth > kMaxDepth) return false;
    ++p_;
    SkipBlanks();
    if (At('}')) return ++p_, true;
    for (;;) {
      if (!At('"') || !String()) return false;
      SkipBlanks();
      if (!At(':')) return false;
      ++p_;
      SkipBlanks();
      if (!Value(depth)) return false;
      SkipBlanks();
      if (At('}')) return ++p_, true;
      if (!At(',')) return false;
      ++p_;
      SkipBlanks();
    }
  }

  bool Array(int depth) {
    if (depth > kMaxDepth) return false;
    ++p_;
    SkipBlanks();
    if (At(']')) return ++p_, true;
    for (;;) {
      if (!Value(depth)) return false;
      SkipBlanks();
      if (At(']')) return ++p_, true;
      if (!At(',')) return false;
      ++p_;
      SkipBlanks();
    }
  }

  bool Number() {
    if (At('-')) ++p_;
    if (At('0')) {
      ++p_;
    } else if (Digit()) {
      while (Digit()) ++p_;
    } else {
      return false;
    }
    if (At('.')) {
      ++p_;
      if (!Digit()) return false;
      while (Digit()) ++p_;
    }
    if (At('e') || At('E')) {
      ++p_;
      if (At('+') || At('-')) ++p_;
      if (!Digit()) return false;
      while (Digit()) ++p_;
    }
    return true;
  }

  // Four hexadecimal digits after "\u".
  bool Hex4() {
    if (end_ - p_ < 4) return false;
    for (const unsigned char* digits_end = p_ + 4; p_ < digits_end; ++p_) {
      if (HexDigitValue(*p_) < 0) return false;
    }
    return true;
  }

  bool Escape() {
    if (p_ == end_) return false;
    const unsigned char c = *p_++;
    if (c == '"' || c == '\\' || c == '/' || c == 'b' || c == 'f' || c == 'n' || c == 'r' || c == 't') return true;
    if (c != 'u') return false;
    // Any four digits: the grammar lets a surrogate stand alone, and
    // JSON.stringify writes one for a string cut inside an emoji.
    return Hex4();
  }

  // One UTF-8 sequence from a lead byte of 0x80 or more: no overlong forms,
  // no surrogates, nothing past U+10FFFF.
  bool Utf8Sequence() {
    const unsigned char lead = *p_++;
    int more;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      more = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      more = 2;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      more = 3;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    for (int i = 0; i < more; ++i, ++p_) {
      if (p_ == end_ || *p_ < low || *p_ > high) return false;
      low = 0x80;
      high = 0xBF;
    }
    return true;
  }

  bool String() {
    ++p_;
    while (p_ < end_) {
      const unsigned char c = *p_;
      if (c == '"') return ++p_, true;
      if (c < 0x20) return false;
      if (c == '\\') {
        ++p_;
        if (!Escape()) return false;
      } else if (c >= 0x80) {
        if (!Utf8Sequence()) return false;
      } else {
        ++p_;
      }
    }
    return false;
  }

  const unsigned char* p_;
  const unsigned char* const end_;
};

}  // namespace

bool IsOneJsonValue(const char* data, size_t size) { return JsonCheck(data, size).Whole(); }

}  // namespace rkservice
