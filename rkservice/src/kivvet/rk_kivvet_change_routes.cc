// The routes that change the user's notes: favourites, a note's content (with
// the images it references), its web address, a folder's minimalist flag,
// bookmark import, and the engine's node and content downloads.
#include <stdexcept>
#include <vector>

#include "kivvet/rk_byte_vector_sink.h"
#include "kivvet/rk_kivvet_handler.h"
#include "kivvet/rk_kivvet_mgr.h"
#include "kivvet/rk_kivvet_route_support.h"
#include "rk_logger.h"
#include "rk_utils.h"

namespace rkservice {
namespace {

using web::http::http_request;
using web::http::status_codes;
using web::json::value;

const std::vector<utility::string_t> kIdKey = {"id"};
const std::vector<utility::string_t> kContentKeys = {"id", "content"};
const std::vector<utility::string_t> kUrlKeys = {"id", "url"};

// The object of a JSON body; throws for a body that cannot be read as text,
// for bad JSON and for anything else.
web::json::object& BodyObject(value& json, http_request& request) {
  json = RkRestHandler::ReadJsonBody(request);
  return json.as_object();
}

}  // namespace

// The node's engine text, made well-formed; empty when the engine has none.
utility::string_t RkKivvetHandler::NodeText(const std::u16string& id, bool* found) {
  std::vector<uint8_t> bytes;
  RkByteVectorSink sink(&bytes);
  const bool ok = notes_mgr_->GetNodeInfo(id, &sink);
  if (found != nullptr) *found = ok;
  return WellFormedUtf8(sink.Text());
}

bool RkKivvetHandler::Favorite(http_request& request, bool remove) {
  std::u16string single;
  std::vector<std::u16string> ids;
  try {
    value json;
    const web::json::object& body = BodyObject(json, request);
    RequireKeys(body, kIdKey);
    const value& id = body.at("id");
    if (id.is_string()) {
      single = Utf8ToWide(id.as_string());
    } else if (id.is_array()) {
      for (const value& element : id.as_array()) ids.push_back(Utf8ToWide(element.as_string()));
    }
  } catch (const std::exception&) {
    Reply(request, status_codes::BadRequest, "{}");
    return false;
  }

  const auto change = [this, remove](const std::u16string& id, std::u16string* new_id) {
    return remove ? notes_mgr_->RemoveFavorite(id, 0) : notes_mgr_->AddFavorite(id, new_id, 0);
  };
  if (!single.empty()) {
    std::u16string new_id;
    bool found = false;
    if (!change(single, &new_id)) {
      Reply(request, status_codes::InternalError, "{}");
      return false;
    }
    const utility::string_t node = NodeText(single, &found);
    if (!found) {
      Reply(request, status_codes::InternalError, "{}");
      return false;
    }
    if (remove) {
      Reply(request, status_codes::OK, node);
      return true;
    }
    // Unguarded: engine text that does not parse ends in the listener's 500.
    value added = value::parse(node);
    added["lid"] = value::string(WideToUtf8(new_id));
    Reply(request, status_codes::OK, added.serialize());
    return true;
  }
  if (ids.empty()) {
    Reply(request, status_codes::BadRequest, "{}");
    return false;
  }
  // Each id on its own; the list answers "{}" whatever became of them.
  for (const std::u16string& id : ids) {
    std::u16string new_id;
    change(id, &new_id);
  }
  Reply(request, status_codes::OK, "{}");
  return true;
}

bool RkKivvetHandler::SaveContent(http_request& request) {
  std::u16string id;
  std::string content;
  int version = -1;
  int from = -1;
  try {
    value json;
    const web::json::object& body = BodyObject(json, request);
    RequireKeys(body, kContentKeys);
    id = JsonTextField(body, "id");
    content = body.at("content").as_string();
    version = JsonOptionalInt(body, "version");
    from = JsonOptionalInt(body, "from");
  } catch (const std::exception&) {
    Reply(request, status_codes::BadRequest, "{}");
    return false;
  }
  // Waits for the images the content references.
  if (notes_mgr_->SaveContent(id, content, version, from) != 0) {
    RkLogError("Save note content error. id={0}", id);
    // The browser must not take the edit for kept.
    Reply(request, status_codes::InternalError, "{}");
    return false;
  }
  Reply(request, status_codes::OK, NodeText(id, nullptr));
  return true;
}

bool RkKivvetHandler::DownloadNodes(http_request& request) {
  const bool ok = notes_mgr_->DownloadNodes();
  Reply(request, ok ? status_codes::OK : status_codes::InternalError, "{}");
  return ok;
}

bool RkKivvetHandler::ImportBookmarks(http_request& request) {
  utility::string_t text;
  if (!ReadTextBody(request, &text)) return false;
  std::string answer;
  if (!notes_mgr_->ImportBookmarks(Utf8ToWide(text), &answer)) {
    Reply(request, status_codes::InternalError, "{}");
    return false;
  }
  Reply(request, status_codes::OK, WellFormedUtf8(answer));
  return true;
}

bool RkKivvetHandler::SetNoteUrl(http_request& request) {
  std::u16string id;
  std::u16string url;
  int from = -1;
  try {
    value json = ReadJsonBody(request);
    if (json.is_null()) throw std::invalid_argument("null body");
    const web::json::object& body = json.as_object();
    RequireKeys(body, kUrlKeys);
    id = JsonTextField(body, "id");
    url = JsonTextField(body, "url");
    from = JsonOptionalInt(body, "from");
  } catch (const std::exception&) {
    Reply(request, status_codes::BadRequest, "{}");
    return false;
  }
  if (!notes_mgr_->SetNoteUrl(id, url, from)) {
    Reply(request, status_codes::InternalError, "{}");
    return false;
  }
  Reply(request, status_codes::OK, NodeText(id, nullptr));
  return true;
}

bool RkKivvetHandler::SetFolderMinimalist(http_request& request) {
  std::u16string id;
  int from = -1;
  try {
    value json;
    const web::json::object& body = BodyObject(json, request);
    from = JsonOptionalInt(body, "from");
    RequireKeys(body, kIdKey);
    id = JsonTextField(body, "id");
    if (id.empty()) throw std::invalid_argument("empty id");
  } catch (const std::exception&) {
    Reply(request, status_codes::BadRequest, "{}");
    return false;
  }
  // 0: the engine switched nothing (no such folder, a store that refuses the
  // write, no engine).
  if (notes_mgr_->SetFolderMinimalist(id, from) == 0) {
    RkLogError("Set folder minimalist error. id={0}", id);
    Reply(request, status_codes::InternalError, "{}");
    return false;
  }
  Reply(request, status_codes::OK, "{}");
  return true;
}

bool RkKivvetHandler::DownloadNoteContent(http_request& request) {
  std::u16string id;
  try {
    value json;
    const web::json::object& body = BodyObject(json, request);
    RequireKeys(body, kIdKey);
    id = JsonTextField(body, "id");
  } catch (const std::exception& e) {
    Reply(request, status_codes::BadRequest, "{}");
    RkLogError("{0}  {1}", request.absolute_uri().to_string(), e.what());
    return false;
  }
  notes_mgr_->DownloadNoteContent(id);
  Reply(request, status_codes::OK, "{}");
  return true;
}

}  // namespace rkservice
