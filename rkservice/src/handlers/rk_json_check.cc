#include "handlers/rk_json_check.h"

#include <cstdint>
#include <vector>

#include "rk_utils.h"

namespace rkservice {
namespace {

class JsonCheck {
 public:
  JsonCheck(const char* data, size_t size)
      : p_(reinterpret_cast<const unsigned char*>(data)), end_(p_ + size) {}

  bool Whole() {
    SkipBlanks();
    if (!Value()) return false;
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

  // The open containers, innermost last: true for an object. The first 64
  // levels are bits of one word (most values nest a few levels), the rest a
  // vector, so that any depth costs memory, never the call stack.
  class OpenContainers {
   public:
    bool Empty() const { return depth_ == 0; }
    bool Top() const { return depth_ <= 64 ? (low_ >> (depth_ - 1)) & 1 : high_.back(); }
    void Push(bool object) {
      if (depth_ < 64) {
        low_ = (low_ & ~(uint64_t{1} << depth_)) | (uint64_t{object} << depth_);
      } else {
        high_.push_back(object);
      }
      ++depth_;
    }
    void Pop() {
      if (--depth_ >= 64) high_.pop_back();
    }

   private:
    size_t depth_ = 0;
    uint64_t low_ = 0;
    std::vector<bool> high_;
  };

  // One value, containers of any depth included: a loop, not a recursion, so
  // that a store lists whatever JSON it took.
  bool Value() {
    OpenContainers open;
    for (;;) {
      // At the start of a value.
      if (p_ == end_) return false;
      const unsigned char c = *p_;
      if (c == '{' || c == '[') {
        ++p_;
        SkipBlanks();
        if (At(c == '{' ? '}' : ']')) {
          ++p_;
        } else {
          open.Push(c == '{');
          if (c == '{' && !Key()) return false;
          continue;
        }
      } else if (!Scalar()) {
        return false;
      }
      // After a value: close what ends here, then on to the next member.
      for (;;) {
        if (open.Empty()) return true;
        SkipBlanks();
        if (At(open.Top() ? '}' : ']')) {
          ++p_;
          open.Pop();
          continue;
        }
        if (!At(',')) return false;
        ++p_;
        SkipBlanks();
        if (open.Top() && !Key()) return false;
        break;
      }
    }
  }

  // A member's name and its colon, and the blanks up to its value.
  bool Key() {
    if (!At('"') || !String()) return false;
    SkipBlanks();
    if (!At(':')) return false;
    ++p_;
    SkipBlanks();
    return true;
  }

  bool Scalar() {
    switch (*p_) {
      case '"': return String();
      case 't': return Word("true");
      case 'f': return Word("false");
      case 'n': return Word("null");
      default: return Number();
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
