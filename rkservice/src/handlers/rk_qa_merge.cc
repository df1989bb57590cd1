#include "handlers/rk_qa_merge.h"

#include <algorithm>

namespace rkservice {
namespace {

using web::json::value;

constexpr char kFolderId[] = "folderId";
constexpr char kChildren[] = "children";
constexpr char kUrl[] = "url";
constexpr char kTitle[] = "title";

// A member of an object item; null when the item is no object or lacks it.
const value* Field(const value& item, const char* name) {
  if (!item.is_object()) return nullptr;
  const auto& object = item.as_object();
  const auto found = object.find(name);
  return found != object.end() ? &found->second : nullptr;
}

// The text of a member that is a text.
const std::string* TextField(const value& item, const char* name) {
  const value* field = Field(item, name);
  return field != nullptr && field->is_string() ? &field->as_string() : nullptr;
}

bool Contains(const std::vector<std::string>& urls, const std::string& url) {
  return std::find(urls.begin(), urls.end(), url) != urls.end();
}

// Decimal texts without leading zeros compare by length, then digit by digit.
bool DecimalLess(const std::string& a, const std::string& b) {
  return a.size() != b.size() ? a.size() < b.size() : a < b;
}

std::string StripZeros(const std::string& digits) {
  const size_t first = digits.find_first_not_of('0');
  return first == std::string::npos ? "0" : digits.substr(first);
}

std::string DecimalPlusOne(std::string digits) {
  for (size_t i = digits.size(); i-- > 0;) {
    if (digits[i] != '9') {
      ++digits[i];
      return digits;
    }
    digits[i] = '0';
  }
  return "1" + digits;
}

}  // namespace

bool MakeUniqueFolderTitle(const RkQAFolderIndex& index, std::string& title) {
  bool any = false;
  std::string highest = "0";
  for (const auto& entry : index) {
    const std::string& other = entry.second.title;
    if (other.size() < title.size() || other.compare(0, title.size(), title) != 0) continue;
    if (other.size() == title.size()) {
      any = true;
      continue;
    }
    if (other.size() < title.size() + 2 || other[title.size()] != ' ') continue;
    const std::string digits = other.substr(title.size() + 1);
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
    any = true;
    const std::string number = StripZeros(digits);
    if (DecimalLess(highest, number)) highest = number;
  }
  if (!any) return false;
  title += " " + DecimalPlusOne(highest);
  return true;
}

void MergeQuickAccess(const value& incoming, value& stored) {
  value result = stored;
  web::json::array& items = result.as_array();
  const web::json::array& arriving = incoming.as_array();

  std::vector<std::string> site_urls;
  RkQAFolderIndex folders;
  for (size_t i = 0; i < items.size(); ++i) {
    const value& item = items.at(i);
    const std::string* folder_id = TextField(item, kFolderId);
    const std::string* title = TextField(item, kTitle);
    const std::string* url = TextField(item, kUrl);
    if (folder_id == nullptr || title == nullptr) {
      if (url != nullptr && title != nullptr) site_urls.push_back(*url);
      continue;
    }
    if (folders.count(*folder_id) != 0) continue;
    RkQAFolderInfo info;
    info.position = static_cast<int>(i);
    info.title = *title;
    const value* children = Field(item, kChildren);
    if (children != nullptr && children->is_array()) {
      for (const value& child : children->as_array()) {
        if (const std::string* child_url = TextField(child, kUrl)) info.urls.push_back(*child_url);
      }
    }
    folders.emplace(*folder_id, std::move(info));
  }

  // Appending leaves the indexed positions where they are.
  for (const value& item : arriving) {
    const value* children = Field(item, kChildren);
    if (children == nullptr) {
      const std::string* url = TextField(item, kUrl);
      if (url != nullptr && !Contains(site_urls, *url)) result[items.size()] = item;
      continue;
    }
    if (!children->is_array()) continue;
    const std::string* folder_id = TextField(item, kFolderId);
    const auto known = folder_id != nullptr ? folders.find(*folder_id) : folders.end();
    if (known != folders.end()) {
      value& target = items.at(static_cast<size_t>(known->second.position));
      if (Field(target, kChildren) == nullptr) target[kChildren] = value::array();
      value& stored_children = target.at(kChildren);
      if (!stored_children.is_array()) continue;
      for (const value& child : children->as_array()) {
        const std::string* url = TextField(child, kUrl);
        if (url != nullptr && !Contains(known->second.urls, *url)) {
          stored_children[stored_children.as_array().size()] = child;
        }
      }
      continue;
    }
    const std::string* title = TextField(item, kTitle);
    if (title == nullptr) continue;
    value folder = item;
    std::string unique = *title;
    if (MakeUniqueFolderTitle(folders, unique)) folder[kTitle] = value::string(unique);
    result[items.size()] = std::move(folder);
  }
  stored = std::move(result);
}

}  // namespace rkservice
