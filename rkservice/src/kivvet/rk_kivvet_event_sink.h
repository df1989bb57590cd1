// Where the notes engine's events reach the notes handler. The observer that
// the engine calls converts GUIDs and UTF-16 texts to UTF-8 and forwards each
// event here; calls come on the engine's own thread, never on a request
// thread. This interface stays inside the service library, so unlike the
// engine's tables it may have a virtual destructor.
#ifndef RKSERVICE_SRC_KIVVET_RK_KIVVET_EVENT_SINK_H_
#define RKSERVICE_SRC_KIVVET_RK_KIVVET_EVENT_SINK_H_

#include <exception>
#include <string>

#include "rk_logger.h"

namespace rkservice {

class RkKivvetEventSink {
 public:
  virtual ~RkKivvetEventSink() = default;

  // Texts are never null and data pointers never null with a negative length:
  // the observer has made them "" and empty.
  virtual void OnSyncNotify(int code, int detail) = 0;
  virtual void OnSyncNotify2(int code, int reason, const char* message) = 0;
  virtual void OnSyncProgress(int type, int current, int total, const std::string& text) = 0;
  virtual void OnDataUpdated(int event, const std::string& id) = 0;
  virtual void OnDataConflict(int conflict_type, const std::string& id, const std::string& new_id, int from) = 0;
  virtual void OnEngineEvent6(const char* text, void* data, int value, bool flag) = 0;
  virtual void OnImportData(void* data, bool ok) = 0;
  virtual void OnEngineEvent8() = 0;
  virtual void OnEngineEvent9(const char* text, void* data, int value, bool flag) = 0;
  virtual void OnDataChanged(int event, const char* data, int length, int from) = 0;
  virtual void OnEngineEvent11(const char* text) = 0;
  virtual void OnShareNoteResult(const char* key, const char* data, int length) = 0;
  virtual void OnNoteFileDownload(int status, std::string id) = 0;
};

// Runs one event's work on the engine's thread; whatever it throws is logged
// and stays on this side of the engine.
template <typename Work>
void RkRunEventGuarded(const char* event, Work work) {
  try {
    work();
  } catch (const std::exception& e) {
    RkLogError("kivvet event {0} failed: {1}", event, e.what());
  } catch (...) {
    RkLogError("kivvet event {0} failed: {1}", event, "unknown exception");
  }
}

}  // namespace rkservice

#endif  // RKSERVICE_SRC_KIVVET_RK_KIVVET_EVENT_SINK_H_
