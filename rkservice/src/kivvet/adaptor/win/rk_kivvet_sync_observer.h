// The observer the notes engine calls: it turns the engine's GUIDs and UTF-16
// texts into UTF-8 and forwards each event to the notes handler's sink.
// Nothing the engine passes can make it crash or throw into the engine's
// thread: null texts become "", null ids the zero GUID's text, and a null or
// negative-length buffer an empty one.
#ifndef RKSERVICE_SRC_KIVVET_ADAPTOR_WIN_RK_KIVVET_SYNC_OBSERVER_H_
#define RKSERVICE_SRC_KIVVET_ADAPTOR_WIN_RK_KIVVET_SYNC_OBSERVER_H_

#include <cstdint>

#include "kivvet/rk_kivvet_interface.h"

namespace rkservice {

class RkKivvetEventSink;

class RkKivvetSyncObserver final : public rkkivvet::RkKivvetObserver {
 public:
  // The sink is not owned and may be null (then every event is dropped).
  explicit RkKivvetSyncObserver(RkKivvetEventSink* sink) : sink_(sink) {}
  ~RkKivvetSyncObserver() = default;

  void Reserved0() override;
  void OnSyncNotify(int32_t code, int32_t detail) override;
  void OnSyncNotify2(int32_t code, int32_t reason, const char* message) override;
  void OnSyncProgress(int32_t type, int32_t current, int32_t total, const char* text) override;
  void OnDataUpdated(int32_t event, const rkkivvet::RkGuid* id) override;
  void OnDataConflict(int32_t conflict_type, const rkkivvet::RkGuid* id, const rkkivvet::RkGuid* new_id,
                      int32_t from) override;
  void OnEngineEvent6(const char16_t* text, void* data, int32_t value, bool flag) override;
  void OnImportData(void* data, bool ok) override;
  void OnEngineEvent8() override;
  void OnEngineEvent9(const char16_t* text, void* data, int32_t value, bool flag) override;
  void OnDataChanged(int32_t event, const char* data, int32_t length, int32_t from) override;
  void OnEngineEvent11(const char16_t* text) override;
  void OnShareNoteResult(const char16_t* key, const char* data, int32_t length) override;
  void OnNoteFileDownload(int32_t status, const rkkivvet::RkGuid* id) override;

 private:
  RkKivvetEventSink* const sink_;
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_KIVVET_ADAPTOR_WIN_RK_KIVVET_SYNC_OBSERVER_H_
