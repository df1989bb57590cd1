// GET "/kivvet/get_notedata": a note's content with its path and version,
// asking the engine for content that is not on the machine (until August
// 2024).
#include <chrono>
#include <vector>

#include "kivvet/rk_byte_vector_sink.h"
#include "kivvet/rk_kivvet_handler.h"
#include "kivvet/rk_kivvet_mgr.h"
#include "kivvet/rk_kivvet_route_support.h"
#include "kivvet/rk_note_data_clock.h"
#include "rk_logger.h"
#include "rk_utils.h"

namespace rkservice {
namespace {

using web::http::http_request;
using web::http::status_codes;

// The browser reads these texts as they are, spelling included.
constexpr char kFormatError[] = "{\"code\" : 400, \"msg\" :\"format err\"}";
constexpr char kNoteNotFound[] = "{\"code\" : 404, \"msg\" :\"note not fond\"}";
constexpr char kDownloadFailed[] = "{\"code\" : 2, \"msg\" :\"note download faild\"}";
constexpr char kNotDownloaded[] = "{\"code\" : 1, \"msg\" :\"note not download\"}";

constexpr int kContentChecks = 3;
constexpr std::chrono::milliseconds kContentCheckPause{2000};

}  // namespace

bool RkKivvetHandler::GetNoteData(http_request& request) {
  const auto query = ReadQuery(request);
  const auto id_key = query.find("id");
  if (id_key == query.end() || id_key->second.empty()) {
    Reply(request, status_codes::BadRequest, kFormatError);
    return false;
  }
  const std::u16string id = Utf8ToWide(id_key->second);
  std::vector<uint8_t> bytes;
  RkByteVectorSink sink(&bytes);
  if (!notes_mgr_->GetNodeInfo(id, &sink)) {
    Reply(request, status_codes::OK, kNoteNotFound);
    return false;
  }
  // Each try starts from an empty sink: the engine appends.
  const auto content_present = [&] {
    bytes.clear();
    return notes_mgr_->GetNoteContentPath(id, &sink, true);
  };
  if (!content_present()) {
    if (RkNoteDataClock::IsPastDownloadCutoff(RkNoteDataClock::LocalNow())) {
      Reply(request, status_codes::OK, kDownloadFailed);
      return true;
    }
    if (query.count("downIfMissing") == 0) {
      Reply(request, status_codes::OK, kNotDownloaded);
      return true;
    }
    notes_mgr_->RequestMissingContent(id);
    bool arrived = false;
    for (int check = 0; check < kContentChecks && !arrived; ++check) {
      RkNoteDataClock::Sleep(kContentCheckPause);
      arrived = content_present();
    }
    if (!arrived) {
      Reply(request, status_codes::OK, kDownloadFailed);
      return true;
    }
  }

  const int version = notes_mgr_->GetNoteVersion(id);
  const std::string path = sink.Text();
  std::vector<uint8_t> content;
  if (!path.empty()) {
    if (!ReadFileChunks(path, content)) {
      RkLogError("read file error: {0}", path);
      Reply(request, status_codes::InternalError, "{}");
      return false;
    }
  } else {
    RkLogError("can not read file {0}", path);
  }
  web::json::value reply = web::json::value::object();
  reply["code"] = 0;
  reply["content"] = web::json::value::string(WellFormedUtf8(std::string(content.begin(), content.end())));
  reply["path"] = web::json::value::string(WellFormedUtf8(path));
  reply["version"] = version;
  Reply(request, status_codes::OK, reply.serialize());
  return true;
}

}  // namespace rkservice
