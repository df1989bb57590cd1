// The notes engine's events as the handler takes them: sync state, progress
// and data notifications to the browser, and share results to the request
// waiting for them. Everything runs on the engine's thread.
#include <string>

#include "kivvet/rk_kivvet_handler.h"
#include "rk_logger.h"
#include "rk_notify_sender.h"
#include "rk_utils.h"

namespace rkservice {
namespace {

using web::json::value;

constexpr char kReason[] = "reason";

std::string ProgressLine(int current, int total) {
  return "kivvet sync progress [" + std::to_string(current) + "/" + std::to_string(total) + "]";
}

}  // namespace

bool RkKivvetHandler::ShouldSendSyncProgress(int current, int total) {
  // So the last event is dropped when total is not a multiple of total / 100.
  return !(total > 300 && total - current <= 49 && current % (total / 100) != 0);
}

void RkKivvetHandler::OnSyncNotify(int code, int detail) {
  RkRunEventGuarded("OnSyncNotify", [&] {
    last_sync_code_ = code;
    RkLogInfo("OnSyncNotify: {0}, {1}", code, detail);
  });
}

void RkKivvetHandler::OnSyncNotify2(int code, int reason, const char* message) {
  RkRunEventGuarded("OnSyncNotify2", [&] {
    last_sync_code_ = code;
    RkLogInfo("OnSyncNotify2: {0}, {1}, {2}", code, reason, message);
    if (code < 1 || code > 3) {
      sync_state_ = -1;
      return;
    }
    sync_state_ = code;
    if (const Sender sender = SenderFor(sync_sender_, nullptr)) {
      sender->Send(code, {{kReason, std::to_string(reason)}}, web::http::methods::GET);
    }
  });
}

void RkKivvetHandler::OnSyncProgress(int type, int current, int total, const std::string& text) {
  RkRunEventGuarded("OnSyncProgress", [&] {
    RkLogDebug("Kivvet::OnSyncProgress:type={0}, {1}/{2}", type, current, total);
    if (sync_state_ != 1) return;
    const Sender sender = SenderFor(sync_sender_, nullptr);
    if (current == 1) {
      RkLogInfo("{0}", ProgressLine(current, total));
      RkLogInfo("kivvet OnSyncProgress");
    }
    if (!ShouldSendSyncProgress(current, total)) return;
    RkLogInfo("{0}", ProgressLine(current, total));
    if (sender) sender->SendSyncProgress(type, current, total, text);
  });
}

void RkKivvetHandler::OnDataUpdated(int event, const std::string& id) {
  RkRunEventGuarded("OnDataUpdated", [&] {
    RkLogInfo("Kivvet:OnDataUpdated: {0}, {1}", event, id);
    const Sender sender = SenderFor(data_changed_sender_, kNotifyDataChanged);
    if (!sender) return;
    value data = value::object();
    data["event"] = event;
    data["id"] = value::string(id);
    value notification = value::object();
    notification["data"] = std::move(data);
    notification["from"] = 2;
    sender->Send(notification.serialize(), {{kReason, "7"}}, web::http::methods::GET);
  });
}

void RkKivvetHandler::OnDataConflict(int conflict_type, const std::string& id, const std::string& new_id, int from) {
  RkRunEventGuarded("OnDataConflict", [&] {
    RkLogWarn("Kivvet:data conflict {0},{1},{2}", conflict_type, id, new_id);
    const Sender sender = SenderFor(data_conflict_sender_, kNotifyDataConflict);
    if (!sender) return;
    value data = value::object();
    data["conflict_type"] = conflict_type;
    data["id"] = value::string(id);
    data["new_id"] = value::string(new_id);
    value notification = value::object();
    notification["data"] = std::move(data);
    notification["from"] = from;
    sender->Send(notification.serialize(), {}, web::http::methods::GET);
  });
}

void RkKivvetHandler::OnEngineEvent6(const char*, void*, int, bool) {}

void RkKivvetHandler::OnImportData(void*, bool ok) {
  RkRunEventGuarded("OnImportData", [&] { RkLogInfo("import data: {0}", ok ? "OK" : "Failed"); });
}

void RkKivvetHandler::OnEngineEvent8() {}

void RkKivvetHandler::OnEngineEvent9(const char*, void*, int, bool) {}

void RkKivvetHandler::OnDataChanged(int event, const char* data, int length, int from) {
  RkRunEventGuarded("OnDataChanged", [&] {
    const std::string text(data, static_cast<size_t>(length));
    RkLogInfo("Data changed: {0}, {1}", event, text);
    const Sender sender = SenderFor(data_changed_sender_, kNotifyDataChanged);
    // Throws for data that is not JSON; the guard logs it.
    value parsed = value::parse(text);
    if (!sender) return;
    value notification = value::object();
    notification["data"] = std::move(parsed);
    notification["from"] = from;
    sender->Send(notification.serialize(), {{kReason, std::to_string(event)}}, web::http::methods::GET);
  });
}

void RkKivvetHandler::OnEngineEvent11(const char*) {}

void RkKivvetHandler::OnShareNoteResult(const char* key, const char* data, int length) {
  RkRunEventGuarded("OnShareNoteResult", [&] {
    const std::string text(data, static_cast<size_t>(length));
    std::lock_guard<std::mutex> lock(share_lock_);
    const auto pending = pending_shares_.find(key);
    if (pending == pending_shares_.end()) {
      RkLogError("can not find a message to response for share_note:{0}", text);
      return;
    }
    web::http::http_request request = pending->second;
    pending_shares_.erase(pending);
    Reply(request, web::http::status_codes::OK, WideToUtf8(Utf8ToWide(text)));
    RkLogTrace("OnShareNoteResult:{0}", text);
  });
}

void RkKivvetHandler::OnNoteFileDownload(int status, std::string id) {
  RkRunEventGuarded("OnNoteFileDownload", [&] {
    const Sender sender = SenderFor(note_file_download_sender_, kNotifyNoteFileDownload);
    if (!sender) return;
    value notification = value::object();
    notification["id"] = value::string(id);
    notification["status"] = status;
    sender->Send(notification.serialize(), {}, web::http::methods::GET);
  });
}

}  // namespace rkservice
