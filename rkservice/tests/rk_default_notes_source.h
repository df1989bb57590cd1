// The default notes as authored in the tree (rkservice/default_notes/<lang>),
// for tests that check what a new user's store was filled with. Needs
// RK_DEFAULT_NOTES_SOURCE (that folder) and nlohmann-json.
#ifndef RKSERVICE_TESTS_RK_DEFAULT_NOTES_SOURCE_H_
#define RKSERVICE_TESTS_RK_DEFAULT_NOTES_SOURCE_H_

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace rktest {

inline constexpr char kDefaultContentParent[] = "00000011-0000-0000-0000-000000000000";
inline constexpr char kDefaultUrlParent[] = "00000010-0000-0000-0000-000000000000";

struct DefaultNode {
  std::string uuid, name, url, sum, tu;
  int kind = 0;  // "ft"
  int et = 0;
  bool folder() const { return kind == 0; }
  bool with_content() const { return kind == 1 && et == 0; }
  // Folders go under the root, notes under one of the two fixed folders.
  std::string parent() const { return folder() ? "" : with_content() ? kDefaultContentParent : kDefaultUrlParent; }
};

inline std::filesystem::path DefaultNotesSource(const std::string& lang) {
  return std::filesystem::path(RK_DEFAULT_NOTES_SOURCE) / lang;
}

inline std::vector<DefaultNode> DefaultNodes(const std::string& lang) {
  std::ifstream in(DefaultNotesSource(lang) / "nodes.json");
  const nlohmann::json metas = nlohmann::json::parse(in);
  std::vector<DefaultNode> nodes;
  for (const nlohmann::json& n : metas.at("nodes")) {
    nodes.push_back({n.at("uuid"), n.at("fn"), n.value("url", ""), n.value("sum", ""), n.value("tu", ""),
                     n.value("ft", 0), n.value("et", 0)});
  }
  return nodes;
}

// The HTML template of a note whose content ships.
inline std::string DefaultTemplate(const std::string& lang, const std::string& uuid) {
  std::ifstream in(DefaultNotesSource(lang) / "Notes" / (uuid + ".html"), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline const DefaultNode* FindDefaultNode(const std::vector<DefaultNode>& nodes, const std::string& uuid) {
  for (const DefaultNode& node : nodes) {
    if (node.uuid == uuid) return &node;
  }
  return nullptr;
}

}  // namespace rktest

#endif  // RKSERVICE_TESTS_RK_DEFAULT_NOTES_SOURCE_H_
