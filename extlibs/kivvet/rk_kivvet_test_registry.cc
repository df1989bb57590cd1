#include "rk_kivvet_test_registry.h"

#include <functional>
#include <mutex>
#include <set>

#include "rk_kivvet_engine.h"
#include "rk_kivvet_testing.h"

namespace rkkivvet {
namespace {

std::mutex& EnginesMutex() {
  static std::mutex mutex;
  return mutex;
}

std::set<RkKivvetEngine*>& Engines() {
  static std::set<RkKivvetEngine*> engines;
  return engines;
}

struct ResetRecord {
  std::mutex mutex;
  int32_t calls = 0;
  std::vector<RkGuid> ids;
};

ResetRecord& LastReset() {
  static ResetRecord record;
  return record;
}

std::function<void(RkKivvetObserver*)> CallFor(const RkKivvetTestEvent& e) {
  const int32_t* n = e.numbers;
  switch (e.position) {
    case 1: return [=](RkKivvetObserver* o) { o->OnSyncNotify(n[0], n[1]); };
    case 2: return [=](RkKivvetObserver* o) { o->OnSyncNotify2(n[0], n[1], e.text); };
    case 3: return [=](RkKivvetObserver* o) { o->OnSyncProgress(n[0], n[1], n[2], e.text); };
    case 4: return [=](RkKivvetObserver* o) { o->OnDataUpdated(n[0], e.id); };
    case 5: return [=](RkKivvetObserver* o) { o->OnDataConflict(n[0], e.id, e.new_id, n[1]); };
    case 6: return [=](RkKivvetObserver* o) { o->OnEngineEvent6(e.wide_text, e.pointer, n[0], e.flag); };
    case 7: return [=](RkKivvetObserver* o) { o->OnImportData(e.pointer, e.flag); };
    case 8: return [=](RkKivvetObserver* o) { o->OnEngineEvent8(); };
    case 9: return [=](RkKivvetObserver* o) { o->OnEngineEvent9(e.wide_text, e.pointer, n[0], e.flag); };
    case 10: return [=](RkKivvetObserver* o) { o->OnDataChanged(n[0], e.text, n[1], n[2]); };
    case 11: return [=](RkKivvetObserver* o) { o->OnEngineEvent11(e.wide_text); };
    case 12: return [=](RkKivvetObserver* o) { o->OnShareNoteResult(e.wide_text, e.text, n[0]); };
    case 13: return [=](RkKivvetObserver* o) { o->OnNoteFileDownload(n[0], e.id); };
    default: return nullptr;
  }
}

}  // namespace

void RegisterTestEngine(RkKivvetEngine* engine) {
  std::lock_guard<std::mutex> lock(EnginesMutex());
  Engines().insert(engine);
}

void UnregisterTestEngine(RkKivvetEngine* engine) {
  std::lock_guard<std::mutex> lock(EnginesMutex());
  Engines().erase(engine);
}

void RecordTestReset(const std::vector<RkGuid>& ids) {
  ResetRecord& record = LastReset();
  std::lock_guard<std::mutex> lock(record.mutex);
  ++record.calls;
  record.ids = ids;
}

}  // namespace rkkivvet

int32_t RkKivvetTestFire(const rkkivvet::RkKivvetTestEvent* event) {
  if (event == nullptr) return -1;
  try {
    const auto call = rkkivvet::CallFor(*event);
    if (!call) return -1;
    // Held while the callbacks run, so no engine goes away under them.
    std::lock_guard<std::mutex> lock(rkkivvet::EnginesMutex());
    int32_t called = 0;
    for (rkkivvet::RkKivvetEngine* engine : rkkivvet::Engines()) called += engine->FireOnWorker(call) ? 1 : 0;
    return called;
  } catch (...) {
    return -1;
  }
}

int32_t RkKivvetTestLastReset(std::vector<rkkivvet::RkGuid>* ids) {
  try {
    rkkivvet::ResetRecord& record = rkkivvet::LastReset();
    std::lock_guard<std::mutex> lock(record.mutex);
    if (ids != nullptr) *ids = record.ids;
    return record.calls;
  } catch (...) {
    return -1;
  }
}
