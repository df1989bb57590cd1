// The read-only notes routes and the flattening of the engine's node tree.
#include <cpprest/uri.h>

#include <cstdlib>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "kivvet/rk_byte_vector_sink.h"
#include "kivvet/rk_json_deep_reader.h"
#include "kivvet/rk_kivvet_handler.h"
#include "kivvet/rk_kivvet_mgr.h"
#include "kivvet/rk_kivvet_paths.h"
#include "kivvet/rk_kivvet_route_support.h"
#include "kivvet/rk_node_list_flattener.h"
#include "rk_logger.h"
#include "rk_utils.h"

namespace rkservice {
namespace {

using web::http::http_request;
using web::http::status_codes;
using web::json::value;
using Query = std::map<utility::string_t, utility::string_t>;

// "1" or "true" exactly select the folder mode; anything else, or no key, the flat one.
bool WantsFolders(const Query& query) {
  const auto found = query.find("with_folder");
  return found != query.end() && (found->second == "1" || found->second == "true");
}

value PathsValue(const web::json::array& paths) {
  return value::array(std::vector<value>(paths.begin(), paths.end()));
}

// The index at which the next element is appended.
size_t Append(web::json::array& output, value node) {
  const size_t index = output.size();
  output[index] = std::move(node);
  return index;
}

bool IsNestingError(const std::error_code& error) {
  return error == std::error_code(web::json::details::json_error::nesting, web::json::details::json_error_category());
}

}  // namespace

void RkKivvetHandler::FlattenNodeTree(web::json::array& nodes, web::json::array& output, web::json::array paths,
                                      int& note_count) {
  // Nodes are moved, not copied: a list of 10,000 notes would otherwise be
  // copied whole once more.
  const value paths_value = PathsValue(paths);
  for (value& node : nodes) {
    if (!node.is_object() || !node.has_integer_field("ft")) continue;
    if (node.at("ft").as_number().to_int64() != 0) {
      node["paths"] = paths_value;
      Append(output, std::move(node));
      ++note_count;
      continue;
    }
    value children = node.has_array_field("nodes") ? std::move(node.at("nodes")) : value::array();
    if (node.has_field("nodes")) node.erase("nodes");
    web::json::array child_paths = paths;
    child_paths[child_paths.size()] = node.has_field("fn") ? node.at("fn") : value::string("");
    node["paths"] = paths_value;
    const size_t index = Append(output, std::move(node));

    int child_notes = 0;
    FlattenNodeTree(children.as_array(), output, child_paths, child_notes);
    if (child_notes != 0) {
      note_count += child_notes;
    } else {
      // Every empty sub-folder removed itself, so this one is the last element.
      output.erase(index);
    }
  }
}

bool RkKivvetHandler::FlattenNodeListWithLibrary(const std::string& engine_text, std::string* reply,
                                                 std::string* failure) {
  std::string ignored;
  if (failure == nullptr) failure = &ignored;
  const std::string text = WellFormedUtf8(engine_text);
  std::error_code error;
  value tree = value::parse(text, error);
  if (IsNestingError(error)) {
    // The library's reader stops at 128 levels; the engine nests deeper.
    std::string deep_error;
    if (!RkJsonDeepReader::Parse(text, &tree, &deep_error)) {
      *failure = "is not JSON: " + deep_error;
      return false;
    }
  } else if (error) {
    *failure = "is not JSON: " + error.message();
    return false;
  }
  if (!tree.is_object() || !tree.has_array_field("nodes")) {
    *failure = "is not an object with a nodes array";
    return false;
  }
  value flat = value::array();
  int note_count = 0;
  FlattenNodeTree(tree.at("nodes").as_array(), flat.as_array(), value::array().as_array(), note_count);
  value answer = value::object();
  answer["nodes"] = std::move(flat);
  *reply = answer.serialize();
  return true;
}

bool RkKivvetHandler::ReplyFlattenedNodes(http_request& request) {
  std::vector<uint8_t> bytes;
  RkByteVectorSink sink(&bytes);
  if (!notes_mgr_->GetNodesUnder(kKivvetRootId, &sink)) {
    Reply(request, status_codes::InternalError, "{}");
    return false;
  }
  // The direct path gives the library's bytes; what it declines, the
  // library reads.
  std::string reply;
  std::string failure;
  if (!RkNodeListFlattener::Flatten(sink.View(), &reply) &&
      !FlattenNodeListWithLibrary(sink.Text(), &reply, &failure)) {
    RkLogError("kivvet node list {0} ({1} bytes)", failure, bytes.size());
    Reply(request, status_codes::InternalError, "{}");
    return false;
  }
  Reply(request, status_codes::OK, std::move(reply));
  return true;
}

bool RkKivvetHandler::Hit(http_request& request) {
  Reply(request, status_codes::OK, "{}");
  return true;
}

bool RkKivvetHandler::GetAllUrlNotes(http_request& request) {
  if (WantsFolders(ReadQuery(request))) return ReplyFlattenedNodes(request);
  std::vector<uint8_t> bytes;
  RkByteVectorSink sink(&bytes);
  if (!notes_mgr_->GetAllUrlNotes(&sink)) {
    Reply(request, status_codes::InternalError, "{}");
    return false;
  }
  Reply(request, status_codes::OK, WellFormedUtf8(sink.Text()));
  return true;
}

bool RkKivvetHandler::GetBookmarksAllUrlNotes(http_request& request) {
  const Query query = ReadQuery(request);
  const auto type_key = query.find("type");
  // As atoi reads it: leading blanks and a sign, 0 without digits.
  const int type = type_key != query.end() ? std::atoi(type_key->second.c_str()) : 0;
  if (WantsFolders(query)) return ReplyFlattenedNodes(request);
  std::string text;
  if (!notes_mgr_->GetBookmarkUrlNotes(type, &text)) {
    Reply(request, status_codes::InternalError, "{}");
    return false;
  }
  ReplyUtf8(request, status_codes::OK, text);
  return true;
}

bool RkKivvetHandler::GetNoteMeta(http_request& request) {
  const bool force = ReadQuery(request).count("force") != 0;
  std::string text;
  if (!notes_mgr_->GetNoteMeta(&text, force)) {
    Reply(request, status_codes::InternalError, "{}");
    return false;
  }
  Reply(request, status_codes::OK, WellFormedUtf8(text));
  return true;
}

bool RkKivvetHandler::GetPath(http_request& request) {
  const Query query = ReadQuery(request);
  const auto id = query.find("id");
  if (id == query.end() || id->second.empty()) {
    Reply(request, status_codes::BadRequest, "{}");
    return false;
  }
  std::vector<uint8_t> bytes;
  RkByteVectorSink sink(&bytes);
  if (!notes_mgr_->GetNodePath(Utf8ToWide(id->second), &sink)) {
    Reply(request, status_codes::InternalError, "{}");
    return false;
  }
  Reply(request, status_codes::OK, WellFormedUtf8(sink.Text()));
  return true;
}

bool RkKivvetHandler::GetSyncStatus(http_request& request) {
  const int engine_status = notes_mgr_->GetSyncStatus();
  int status = 0;
  if (last_sync_code_ == 1) {
    status = 1;
  } else if (engine_status != 0) {
    status = 2;
  }
  value reply = value::object();
  reply["status"] = status;
  const utility::string_t text = reply.serialize();
  RkLogTrace("{0}", text);
  Reply(request, status_codes::OK, text);
  return true;
}

bool RkKivvetHandler::GetSyncLastStatus(http_request& request) {
  // Without an engine nothing is written to these.
  int version = 0;
  int64_t sync_time = 0;
  int err_code = 0;
  int is_syncing = 0;
  notes_mgr_->GetLastSyncStatus(&version, &sync_time, &err_code, &is_syncing);
  value reply = value::object();
  reply["version"] = version;
  reply["sync_time"] = value::number(sync_time);
  reply["err_code"] = err_code;
  reply["is_syncing"] = value::boolean(is_syncing != 0);
  Reply(request, status_codes::OK, reply.serialize());
  return true;
}

bool RkKivvetHandler::GetNoteUrlCount(http_request& request) {
  utility::string_t url;
  try {
    const Query query = ReadQuery(request);
    const auto found = query.find("url");
    if (found != query.end()) url = web::uri::decode(found->second);
  } catch (const std::exception&) {
    url.clear();
  }
  if (url.empty()) {
    Reply(request, status_codes::BadRequest, "{}");
    return false;
  }
  const int count = notes_mgr_->GetUrlNoteCount(Utf8ToWide(url));
  value reply = value::object();
  reply["count"] = count;
  reply["url"] = value::string(WellFormedUtf8(url));
  Reply(request, status_codes::OK, reply.serialize());
  return true;
}

bool RkKivvetHandler::TestHttpRes(http_request& request) {
  std::vector<uint8_t> bytes;
  RkByteVectorSink sink(&bytes);
  if (!notes_mgr_->TestHttpRes(&sink)) {
    Reply(request, status_codes::InternalError, "{}");
    return false;
  }
  // Each byte is one character (Latin-1), not UTF-8.
  Reply(request, status_codes::OK, WideToUtf8(std::u16string(bytes.begin(), bytes.end())));
  return true;
}

}  // namespace rkservice
