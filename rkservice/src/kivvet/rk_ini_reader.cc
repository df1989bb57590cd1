#include "kivvet/rk_ini_reader.h"

#include <algorithm>
#include <stdexcept>

namespace rkservice {
namespace {

constexpr char kBlanks[] = " \t\r\n";

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string::npos) return std::string();
  const size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

}  // namespace

const RkIniSection* RkIniSection::FindSection(const std::string& name) const {
  auto it = sections_.find(name);
  return it == sections_.end() ? nullptr : &it->second;
}

std::string RkIniSection::Value(const std::string& key) const {
  auto it = keys_.find(key);
  return it == keys_.end() ? std::string() : it->second;
}

RkIniReader::RkIniReader(std::istream& input) : input_(&input) { Parse(this); }

std::string RkIniReader::StripComment(const std::string& text) {
  size_t cut = text.find('#');
  if (cut == std::string::npos) cut = text.find(';');
  return cut == std::string::npos ? text : text.substr(0, cut);
}

void RkIniReader::Parse(RkIniSection* current) {
  while (std::getline(*input_, line_)) {
    ++line_no_;
    if (line_no_ == 1 && line_.size() >= 4 && line_.compare(0, 3, "\xEF\xBB\xBF") == 0) line_.erase(0, 3);
    // Tested before trimming: an indented "#" is not a comment.
    if (!line_.empty() && (line_[0] == '#' || line_[0] == ';')) continue;
    const std::string line = Trim(line_);
    if (line.empty()) continue;

    if (line[0] == '[') {
      const size_t d = std::min(line.find_first_not_of('['), line.size());
      const int64_t depth = static_cast<int64_t>(d);
      // d bytes go at each end, brackets or not.
      const std::string name = line.size() >= 2 * d ? line.substr(d, line.size() - 2 * d) : line.substr(d);
      if (depth > current->depth_ + 1) Fail("section with wrong depth");
      RkIniSection* parent = current;
      if (depth != current->depth_ + 1) {
        for (int64_t up = current->depth_ - depth + 1; up > 0; --up) parent = parent->parent_;
      }
      auto added = parent->sections_.try_emplace(name, parent, depth);
      if (!added.second) Fail("duplicate section name on the same level");
      parent->section_order_.push_back(added.first);
      current = &added.first->second;
      continue;
    }

    const size_t equals = line.find('=');
    if (equals == std::string::npos) Fail("no '=' found");
    const std::string key = Trim(line.substr(0, equals));
    // Not trimmed again: a blank before the comment stays.
    const std::string value = StripComment(Trim(line.substr(equals + 1)));
    auto added = current->keys_.try_emplace(key, value);
    if (!added.second) Fail("duplicated key found");
    current->key_order_.push_back(added.first);
  }
}

void RkIniReader::Fail(const std::string& message) const {
  throw std::runtime_error(message + " on line #" + std::to_string(line_no_));
}

}  // namespace rkservice
