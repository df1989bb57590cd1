// A reader of INI text whose sections nest by the number of brackets around
// their names ("[a]", "[[b]]" inside a, ...). It parses the whole input in its
// constructor and throws std::runtime_error at the first syntax error. Names,
// keys and values are bytes, compared bytewise.
#ifndef RKSERVICE_SRC_KIVVET_RK_INI_READER_H_
#define RKSERVICE_SRC_KIVVET_RK_INI_READER_H_

#include <cstdint>
#include <istream>
#include <list>
#include <map>
#include <string>

namespace rkservice {

class RkIniSection {
 public:
  using KeyMap = std::map<std::string, std::string>;
  using SectionMap = std::map<std::string, RkIniSection>;

  RkIniSection() = default;
  RkIniSection(RkIniSection* parent, int64_t depth) : parent_(parent), depth_(depth) {}
  // Children point at their parent, and the order lists into the maps.
  RkIniSection(const RkIniSection&) = delete;
  RkIniSection& operator=(const RkIniSection&) = delete;

  const KeyMap& keys() const { return keys_; }
  const SectionMap& sections() const { return sections_; }
  const std::list<KeyMap::const_iterator>& key_order() const { return key_order_; }
  const std::list<SectionMap::const_iterator>& section_order() const { return section_order_; }
  const RkIniSection* parent() const { return parent_; }
  int64_t depth() const { return depth_; }

  // The child section of that name; null when there is none.
  const RkIniSection* FindSection(const std::string& name) const;
  // The value of the key; empty when there is none.
  std::string Value(const std::string& key) const;

 protected:
  friend class RkIniReader;

  KeyMap keys_;
  SectionMap sections_;
  std::list<KeyMap::const_iterator> key_order_;
  std::list<SectionMap::const_iterator> section_order_;
  RkIniSection* parent_ = nullptr;
  int64_t depth_ = 0;
};

// The root section: keys before the first header belong to it.
class RkIniReader : public RkIniSection {
 public:
  explicit RkIniReader(std::istream& input);

  // The text before the first "#", else before the first ";".
  static std::string StripComment(const std::string& text);

 private:
  void Parse(RkIniSection* current);
  [[noreturn]] void Fail(const std::string& message) const;

  std::istream* input_;
  std::string line_;
  int64_t line_no_ = 0;
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_KIVVET_RK_INI_READER_H_
