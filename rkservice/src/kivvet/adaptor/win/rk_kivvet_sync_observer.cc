#include "kivvet/adaptor/win/rk_kivvet_sync_observer.h"

#include <string>

#include "kivvet/rk_kivvet_event_sink.h"
#include "kivvet/rk_kivvet_guid.h"
#include "rk_utils.h"

namespace rkservice {
namespace {

const char* TextOrEmpty(const char* text) { return text != nullptr ? text : ""; }

std::string Utf8Of(const char16_t* text) { return text != nullptr ? WideToUtf8(text) : std::string(); }

std::string IdText(const rkkivvet::RkGuid* id) { return WideToUtf8(EngineGuidText(id)); }

// A buffer the engine hands over, or an empty one when it makes no sense.
struct Bytes {
  Bytes(const char* data, int32_t length) {
    if (data != nullptr && length > 0) {
      this->data = data;
      this->length = length;
    }
  }
  const char* data = "";
  int32_t length = 0;
};

// Forwards one event when there is a sink to forward to.
template <typename Forward>
void Guarded(RkKivvetEventSink* sink, const char* event, Forward forward) {
  if (sink != nullptr) RkRunEventGuarded(event, [&] { forward(sink); });
}

}  // namespace

void RkKivvetSyncObserver::Reserved0() {}

void RkKivvetSyncObserver::OnSyncNotify(int32_t code, int32_t detail) {
  Guarded(sink_, "OnSyncNotify", [&](RkKivvetEventSink* sink) { sink->OnSyncNotify(code, detail); });
}

void RkKivvetSyncObserver::OnSyncNotify2(int32_t code, int32_t reason, const char* message) {
  Guarded(sink_, "OnSyncNotify2",
          [&](RkKivvetEventSink* sink) { sink->OnSyncNotify2(code, reason, TextOrEmpty(message)); });
}

void RkKivvetSyncObserver::OnSyncProgress(int32_t type, int32_t current, int32_t total, const char* text) {
  Guarded(sink_, "OnSyncProgress",
          [&](RkKivvetEventSink* sink) { sink->OnSyncProgress(type, current, total, TextOrEmpty(text)); });
}

void RkKivvetSyncObserver::OnDataUpdated(int32_t event, const rkkivvet::RkGuid* id) {
  Guarded(sink_, "OnDataUpdated", [&](RkKivvetEventSink* sink) { sink->OnDataUpdated(event, IdText(id)); });
}

void RkKivvetSyncObserver::OnDataConflict(int32_t conflict_type, const rkkivvet::RkGuid* id,
                                          const rkkivvet::RkGuid* new_id, int32_t from) {
  Guarded(sink_, "OnDataConflict", [&](RkKivvetEventSink* sink) {
    sink->OnDataConflict(conflict_type, IdText(id), IdText(new_id), from);
  });
}

void RkKivvetSyncObserver::OnEngineEvent6(const char16_t* text, void* data, int32_t value, bool flag) {
  Guarded(sink_, "OnEngineEvent6",
          [&](RkKivvetEventSink* sink) { sink->OnEngineEvent6(Utf8Of(text).c_str(), data, value, flag); });
}

void RkKivvetSyncObserver::OnImportData(void* data, bool ok) {
  Guarded(sink_, "OnImportData", [&](RkKivvetEventSink* sink) { sink->OnImportData(data, ok); });
}

void RkKivvetSyncObserver::OnEngineEvent8() {
  Guarded(sink_, "OnEngineEvent8", [&](RkKivvetEventSink* sink) { sink->OnEngineEvent8(); });
}

void RkKivvetSyncObserver::OnEngineEvent9(const char16_t* text, void* data, int32_t value, bool flag) {
  Guarded(sink_, "OnEngineEvent9",
          [&](RkKivvetEventSink* sink) { sink->OnEngineEvent9(Utf8Of(text).c_str(), data, value, flag); });
}

void RkKivvetSyncObserver::OnDataChanged(int32_t event, const char* data, int32_t length, int32_t from) {
  Guarded(sink_, "OnDataChanged", [&](RkKivvetEventSink* sink) {
    const Bytes bytes(data, length);
    sink->OnDataChanged(event, bytes.data, bytes.length, from);
  });
}

void RkKivvetSyncObserver::OnEngineEvent11(const char16_t* text) {
  Guarded(sink_, "OnEngineEvent11", [&](RkKivvetEventSink* sink) { sink->OnEngineEvent11(Utf8Of(text).c_str()); });
}

void RkKivvetSyncObserver::OnShareNoteResult(const char16_t* key, const char* data, int32_t length) {
  Guarded(sink_, "OnShareNoteResult", [&](RkKivvetEventSink* sink) {
    const Bytes bytes(data, length);
    sink->OnShareNoteResult(Utf8Of(key).c_str(), bytes.data, bytes.length);
  });
}

void RkKivvetSyncObserver::OnNoteFileDownload(int32_t status, const rkkivvet::RkGuid* id) {
  Guarded(sink_, "OnNoteFileDownload", [&](RkKivvetEventSink* sink) { sink->OnNoteFileDownload(status, IdText(id)); });
}

}  // namespace rkservice
