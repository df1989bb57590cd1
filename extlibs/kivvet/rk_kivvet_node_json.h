// Node answers written straight into text, without a JSON tree: a listing of
// ten thousand nodes would otherwise build and free one map per node. The
// bytes are those protocol::Dump writes for the same node object (keys in
// ascending order, no spaces, UTF-8 unescaped).
#ifndef EXTLIBS_KIVVET_RK_KIVVET_NODE_JSON_H_
#define EXTLIBS_KIVVET_RK_KIVVET_NODE_JSON_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace rkkivvet {

// One node as its answer shows it; the texts refer to storage the caller
// keeps.
struct RkKivvetNodeView {
  std::string_view id, pid, fn, url, sum, tu;
  int32_t ft = 0, et = 0, minimalist = 0, ver = 0, resources = 0;
  bool has_content = false, favorite = false;
  int64_t ctime = 0, mtime = 0;
};

// A node object is written in two halves so that a folder's "nodes" can go
// between them, where its key sorts: the head ends after "mtime", the tail
// starts with ",\"pid\"" and closes the object.
void AppendNodeHead(const RkKivvetNodeView& node, std::string* out);
void AppendNodeTail(const RkKivvetNodeView& node, std::string* out);

// A JSON string as protocol::Dump writes it; bytes that are not UTF-8 become
// U+FFFD.
void AppendJsonString(std::string_view text, std::string* out);

}  // namespace rkkivvet

#endif  // EXTLIBS_KIVVET_RK_KIVVET_NODE_JSON_H_
