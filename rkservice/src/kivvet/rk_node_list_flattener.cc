#include "kivvet/rk_node_list_flattener.h"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "rk_utils.h"

namespace rkservice {
namespace {

// Deeper lists go the library's way, where the library's reader stops at
// 128 levels and RkJsonDeepReader reads on; staying well below keeps both
// sides of that limit on one path.
constexpr int kMaxDepth = 100;
// Any integer of this many digits is a 64-bit one for the library too.
constexpr size_t kMaxDigits = 18;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Where each array and object starts and ends (one past its bracket), in the
// order they start.
using Spans = std::vector<std::pair<size_t, size_t>>;

// The first pass: checks that the whole text is JSON of the kind taken here,
// and records the spans.
class Checker {
 public:
  Checker(std::string_view text, Spans* spans) : text_(text), spans_(spans) {}

  bool Document() {
    SkipSpace();
    if (!Value(0)) return false;
    SkipSpace();
    return pos_ == text_.size();
  }

 private:
  char Peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
  void SkipSpace() {
    while (pos_ < text_.size() && IsSpace(text_[pos_])) ++pos_;
  }

  bool Value(int depth) {
    switch (Peek()) {
      case '{': return Container(depth, '}', true);
      case '[': return Container(depth, ']', false);
      case '"': return String();
      case 't': return Literal("true");
      case 'f': return Literal("false");
      case 'n': return Literal("null");
      default: return Number();
    }
  }

  bool Container(int depth, char close, bool object) {
    if (depth >= kMaxDepth) return false;
    const size_t span = spans_->size();
    spans_->emplace_back(pos_, 0);
    ++pos_;
    SkipSpace();
    if (Peek() != close) {
      for (;;) {
        if (object) {
          if (Peek() != '"' || !String()) return false;
          SkipSpace();
          if (Peek() != ':') return false;
          ++pos_;
          SkipSpace();
        }
        if (!Value(depth + 1)) return false;
        SkipSpace();
        if (Peek() != ',') break;
        ++pos_;
        SkipSpace();
      }
      if (Peek() != close) return false;
    }
    ++pos_;
    (*spans_)[span].second = pos_;
    return true;
  }

  bool String() {
    for (++pos_; pos_ < text_.size();) {
      const auto c = static_cast<unsigned char>(text_[pos_]);
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c < 0x20) return false;
      if (c != '\\') {
        ++pos_;
        continue;
      }
      if (pos_ + 1 >= text_.size()) return false;
      const char escaped = text_[pos_ + 1];
      if (escaped == 'u') {
        if (pos_ + 6 > text_.size()) return false;
        int unit = 0;
        for (size_t k = 2; k < 6; ++k) {
          const int digit = HexDigit(text_[pos_ + k]);
          if (digit < 0) return false;
          unit = unit * 16 + digit;
        }
        if (unit >= 0xD800 && unit <= 0xDFFF) return false;
        pos_ += 6;
      } else if (std::string_view("\"\\/bfnrt").find(escaped) != std::string_view::npos) {
        pos_ += 2;
      } else {
        return false;
      }
    }
    return false;
  }

  bool Literal(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  // -?(0|[1-9][0-9]*), at most kMaxDigits digits, not "-0"; what follows is
  // checked by the caller.
  bool Number() {
    const bool negative = Peek() == '-';
    if (negative) ++pos_;
    const size_t first = pos_;
    while (pos_ < text_.size() && IsDigit(text_[pos_])) ++pos_;
    const size_t digits = pos_ - first;
    if (digits == 0 || digits > kMaxDigits || (text_[first] == '0' && (digits > 1 || negative))) return false;
    const char next = Peek();
    return next != '.' && next != 'e' && next != 'E';
  }

  std::string_view text_;
  Spans* spans_;
  size_t pos_ = 0;
};

// An object's member: its key as the library holds it (unescaped) and where
// its value starts.
struct Member {
  std::string_view raw_key;  // between the quotes
  std::string decoded_key;  // when raw_key holds escapes
  bool escaped = false;
  size_t value = 0;

  std::string_view Key() const { return escaped ? std::string_view(decoded_key) : raw_key; }
};

// The second pass, over checked text: flattens the nodes and writes every
// value as the library serialises it (keys in ascending byte order, no
// spaces, strings with the library's escapes).
class Writer {
 public:
  Writer(std::string_view text, const Spans& spans, std::string* out) : text_(text), spans_(spans), out_(out) {}

  bool Document() {
    const size_t start = Space(0);
    if (text_[start] != '{') return false;
    const size_t base = ReadMembers(start);
    const Member* nodes = Find(base, "nodes");
    const size_t nodes_at = nodes != nullptr ? nodes->value : 0;
    members_.resize(base);
    if (!ok_ || nodes == nullptr || text_[nodes_at] != '[') return false;
    out_->append("{\"nodes\":[");
    int notes = 0;
    FlattenArray(nodes_at, "[]", &notes);
    out_->append("]}");
    return ok_;
  }

 private:
  size_t Space(size_t pos) const {
    while (pos < text_.size() && IsSpace(text_[pos])) ++pos;
    return pos;
  }

  size_t ContainerEnd(size_t open) const {
    const auto found = std::lower_bound(spans_.begin(), spans_.end(), std::make_pair(open, size_t{0}));
    return found->second;
  }

  size_t StringEnd(size_t pos) const {
    for (++pos;;) {
      const char c = text_[pos];
      if (c == '"') return pos + 1;
      pos += c != '\\' ? 1 : text_[pos + 1] == 'u' ? 6 : 2;
    }
  }

  size_t ValueEnd(size_t pos) const {
    switch (text_[pos]) {
      case '{':
      case '[': return ContainerEnd(pos);
      case '"': return StringEnd(pos);
      case 't':
      case 'n': return pos + 4;
      case 'f': return pos + 5;
      default:
        do {
          ++pos;
        } while (pos < text_.size() && IsDigit(text_[pos]));
        return pos;
    }
  }

  // The unescaped content of the string at pos.
  std::string Decode(size_t pos) const {
    std::string decoded;
    for (++pos;;) {
      const char c = text_[pos];
      if (c == '"') return decoded;
      if (c != '\\') {
        decoded.push_back(c);
        ++pos;
        continue;
      }
      const char escaped = text_[pos + 1];
      pos += 2;
      switch (escaped) {
        case 'b': decoded.push_back('\b'); break;
        case 'f': decoded.push_back('\f'); break;
        case 'n': decoded.push_back('\n'); break;
        case 'r': decoded.push_back('\r'); break;
        case 't': decoded.push_back('\t'); break;
        case 'u': {
          uint32_t unit = 0;
          for (size_t k = 0; k < 4; ++k) unit = unit * 16 + static_cast<uint32_t>(HexDigit(text_[pos + k]));
          pos += 4;
          AppendUtf8(static_cast<char32_t>(unit), decoded);
          break;
        }
        default: decoded.push_back(escaped);  // '"', '\\' or '/'
      }
    }
  }

  // The library's escapes: the quote, the backslash and the five short
  // forms; other control characters as \u00XX in upper case; "/", DEL and
  // UTF-8 as they are.
  void AppendEscaped(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out_->push_back('"');
    for (const char c : text) {
      switch (c) {
        case '"': out_->append("\\\""); break;
        case '\\': out_->append("\\\\"); break;
        case '\b': out_->append("\\b"); break;
        case '\f': out_->append("\\f"); break;
        case '\n': out_->append("\\n"); break;
        case '\r': out_->append("\\r"); break;
        case '\t': out_->append("\\t"); break;
        default:
          if (static_cast<unsigned char>(c) < 0x20) {
            out_->append("\\u00");
            out_->push_back(kHex[(c >> 4) & 0xF]);
            out_->push_back(kHex[c & 0xF]);
          } else {
            out_->push_back(c);
          }
      }
    }
    out_->push_back('"');
  }

  // Checked text holds no raw control character, so a string without a
  // backslash reads back as itself.
  void WriteString(size_t pos, size_t end) {
    const std::string_view text = text_.substr(pos, end - pos);
    if (text.find('\\') == std::string_view::npos) {
      out_->append(text);
    } else {
      AppendEscaped(Decode(pos));
    }
  }

  void WriteKey(const Member& member) {
    if (member.escaped) {
      AppendEscaped(member.decoded_key);
    } else {
      out_->push_back('"');
      out_->append(member.raw_key);
      out_->push_back('"');
    }
    out_->push_back(':');
  }

  // Writes the value at pos as the library serialises it; returns its end.
  size_t WriteValue(size_t pos) {
    const size_t end = ValueEnd(pos);
    switch (text_[pos]) {
      case '"':
        WriteString(pos, end);
        break;
      case '[': {
        out_->push_back('[');
        for (size_t at = Space(pos + 1), first = at; text_[at] != ']';) {
          if (at != first) out_->push_back(',');
          at = Space(WriteValue(at));
          if (text_[at] == ',') at = Space(at + 1);
        }
        out_->push_back(']');
        break;
      }
      case '{': {
        const size_t base = ReadMembers(pos);
        out_->push_back('{');
        for (size_t i = base; i < members_.size(); ++i) {
          if (i != base) out_->push_back(',');
          WriteKey(members_[i]);
          WriteValue(members_[i].value);
        }
        out_->push_back('}');
        members_.resize(base);
        break;
      }
      default:
        out_->append(text_.substr(pos, end - pos));
    }
    return end;
  }

  // Reads the members of the object at pos onto members_, sorted by key;
  // returns where they start. Repeated keys are declined.
  size_t ReadMembers(size_t pos) {
    const size_t base = members_.size();
    for (pos = Space(pos + 1); text_[pos] != '}';) {
      Member member;
      const size_t key_end = StringEnd(pos);
      member.raw_key = text_.substr(pos + 1, key_end - pos - 2);
      member.escaped = member.raw_key.find('\\') != std::string_view::npos;
      if (member.escaped) member.decoded_key = Decode(pos);
      member.value = Space(Space(key_end) + 1);
      pos = Space(ValueEnd(member.value));
      if (text_[pos] == ',') pos = Space(pos + 1);
      members_.push_back(std::move(member));
    }
    // The engine writes its keys in order already: one look tells.
    const auto begin = members_.begin() + static_cast<std::ptrdiff_t>(base);
    const auto not_before = [](const Member& a, const Member& b) { return a.Key() >= b.Key(); };
    if (std::adjacent_find(begin, members_.end(), not_before) != members_.end()) {
      std::sort(begin, members_.end(), [](const Member& a, const Member& b) { return a.Key() < b.Key(); });
      const auto same = [](const Member& a, const Member& b) { return a.Key() == b.Key(); };
      if (std::adjacent_find(begin, members_.end(), same) != members_.end()) ok_ = false;
    }
    return base;
  }

  const Member* Find(size_t base, std::string_view key) const {
    for (size_t i = base; i < members_.size(); ++i) {
      if (members_[i].Key() == key) return &members_[i];
    }
    return nullptr;
  }

  // One element of the flattened list: the node's members with "paths" set,
  // a folder's without "nodes".
  void WriteElement(size_t base, std::string_view paths, bool folder) {
    if (elements_++ != 0) out_->push_back(',');
    out_->push_back('{');
    bool first = true;
    bool paths_written = false;
    const auto separate = [&] {
      if (!first) out_->push_back(',');
      first = false;
    };
    for (size_t i = base; i < members_.size(); ++i) {
      const Member& member = members_[i];
      const std::string_view key = member.Key();
      if (!paths_written && key >= "paths") {
        separate();
        out_->append("\"paths\":");
        out_->append(paths);
        paths_written = true;
      }
      if (key == "paths" || (folder && key == "nodes")) continue;
      separate();
      WriteKey(member);
      WriteValue(member.value);
    }
    if (!paths_written) {
      separate();
      out_->append("\"paths\":");
      out_->append(paths);
    }
    out_->push_back('}');
  }

  // The array at pos, flattened onto the output under `paths` (the
  // serialised array of enclosing folder names); adds the notes it wrote.
  void FlattenArray(size_t pos, std::string_view paths, int* notes) {
    for (size_t at = Space(pos + 1); ok_ && text_[at] != ']';) {
      const size_t end = ValueEnd(at);
      if (text_[at] == '{') FlattenNode(at, paths, notes);
      at = Space(end);
      if (text_[at] == ',') at = Space(at + 1);
    }
  }

  void FlattenNode(size_t pos, std::string_view paths, int* notes) {
    const size_t base = ReadMembers(pos);
    const Member* ft = Find(base, "ft");
    // Checked numbers are integers; anything else is no "ft" to the library.
    if (!ok_ || ft == nullptr || (text_[ft->value] != '-' && !IsDigit(text_[ft->value]))) {
      members_.resize(base);
      return;
    }
    if (text_.substr(ft->value, ValueEnd(ft->value) - ft->value) != "0") {
      WriteElement(base, paths, false);
      members_.resize(base);
      ++*notes;
      return;
    }
    const size_t mark = out_->size();
    const size_t elements = elements_;
    WriteElement(base, paths, true);
    // The child paths: these paths and the folder's "fn" ("" without one).
    std::string child_paths(paths.substr(0, paths.size() - 1));
    if (paths.size() > 2) child_paths.push_back(',');
    const Member* fn = Find(base, "fn");
    if (fn != nullptr) {
      std::swap(*out_, child_paths);
      WriteValue(fn->value);
      std::swap(*out_, child_paths);
    } else {
      child_paths.append("\"\"");
    }
    child_paths.push_back(']');
    const Member* nodes = Find(base, "nodes");
    const size_t nodes_at = nodes != nullptr && text_[nodes->value] == '[' ? nodes->value : 0;
    members_.resize(base);
    int child_notes = 0;
    if (nodes_at != 0) FlattenArray(nodes_at, child_paths, &child_notes);
    if (child_notes != 0) {
      *notes += child_notes;
    } else {
      // A folder without a note below it leaves nothing behind.
      out_->resize(mark);
      elements_ = elements;
    }
  }

  std::string_view text_;
  const Spans& spans_;
  std::string* out_;
  std::vector<Member> members_;
  size_t elements_ = 0;
  bool ok_ = true;
};

}  // namespace

bool RkNodeListFlattener::Flatten(std::string_view engine_text, std::string* reply) {
  if (!IsWellFormedUtf8(engine_text)) return false;
  Spans spans;
  if (!Checker(engine_text, &spans).Document()) return false;
  reply->clear();
  // Every node again, with its paths.
  reply->reserve(engine_text.size() + engine_text.size() / 4 + 64);
  return Writer(engine_text, spans, reply).Document();
}

}  // namespace rkservice
