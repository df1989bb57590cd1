// What the engine and the sync peer say to each other: JSON over HTTP.
//   POST <host>/kivvet/sync/pull {"since":n}  -> {"usn":n,"nodes":[record...]}
//   POST <host>/kivvet/sync/push {"nodes":[record with "base" and maybe "content"...]}
//                                             -> {"usn":n,"results":[{"id","usn"} or {"id","conflict":true}]}
//   GET  <res_host>/kivvet/res/content?id=ID  -> the note's HTML, its version in X-Kivvet-Ver
// Every request names the account in X-Kivvet-Uid, X-Kivvet-Did and
// X-Kivvet-Key; a key the peer does not take is answered 401.
#ifndef EXTLIBS_KIVVET_RK_KIVVET_PROTOCOL_H_
#define EXTLIBS_KIVVET_RK_KIVVET_PROTOCOL_H_

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace rkkivvet {
namespace protocol {

inline constexpr char kPullPath[] = "/kivvet/sync/pull";
inline constexpr char kPushPath[] = "/kivvet/sync/push";
inline constexpr char kContentPath[] = "/kivvet/res/content";
inline constexpr char kUidHeader[] = "X-Kivvet-Uid";
inline constexpr char kDidHeader[] = "X-Kivvet-Did";
inline constexpr char kKeyHeader[] = "X-Kivvet-Key";
inline constexpr char kVersionHeader[] = "X-Kivvet-Ver";
// Bodies beyond this are refused by both sides.
inline constexpr size_t kMaxBodyBytes = 64u << 20;

// One node as it travels. "usn" is the peer's change number of this
// version; "base" the one a pushed change was made on (0: never synced).
struct NodeRecord {
  std::string id;
  std::string pid;
  int32_t ft = 1;
  std::string fn;
  std::string url;
  std::string sum;
  std::string tu;
  int32_t et = 0;
  int32_t minimalist = 0;
  int32_t ver = 0;
  int64_t ctime = 0;
  int64_t mtime = 0;
  int64_t usn = 0;
  int64_t base = 0;
  bool has_content = false;  // the peer holds content for it
  bool with_content = false;  // a push carries `content`
  std::string content;
};

nlohmann::json ToJson(const NodeRecord& record);
// Strict: ids must be GUID texts and every member of its type; false
// otherwise.
bool FromJson(const nlohmann::json& value, NodeRecord* record);

// The engine's JSON reader: a discarded value for text that is no JSON. A
// lone surrogate escape reads as U+FFFD, as the service's own readers take
// it, not as an error.
nlohmann::json Parse(const std::string& text);

// Serialises; bytes that are not UTF-8 become U+FFFD instead of throwing.
std::string Dump(const nlohmann::json& value);

}  // namespace protocol
}  // namespace rkkivvet

#endif  // EXTLIBS_KIVVET_RK_KIVVET_PROTOCOL_H_
