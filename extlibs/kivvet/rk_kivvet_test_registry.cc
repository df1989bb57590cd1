#include "rk_kivvet_test_registry.h"

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <set>

#include "rk_kivvet_engine.h"
#include "rk_kivvet_testing.h"
#include "rk_kivvet_text.h"

namespace rkkivvet {
namespace {

// None of these is destroyed: engines still run while the process exits,
// until the service that holds them is released.
std::mutex& EnginesMutex() {
  static std::mutex mutex;
  return mutex;
}

std::set<RkKivvetEngine*>& Engines() {
  static auto* const engines = new std::set<RkKivvetEngine*>();
  return *engines;
}

struct ResetRecord {
  std::mutex mutex;
  int32_t calls = 0;
  std::vector<RkGuid> ids;
};

ResetRecord& LastReset() {
  static auto* const record = new ResetRecord();
  return *record;
}

struct CallRecord {
  std::mutex mutex;
  std::vector<std::string> calls;
};

CallRecord& Calls() {
  static auto* const record = new CallRecord();
  return *record;
}

struct ChosenAnswers {
  std::mutex mutex;
  std::map<std::string, std::string> content_paths;  // by note id
  bool has_nodes_under = false;
  std::string nodes_under;
};

ChosenAnswers& Chosen() {
  static auto* const answers = new ChosenAnswers();
  return *answers;
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

void RecordTestCall(std::initializer_list<std::string> parts) {
  std::string line;
  for (const std::string& part : parts) {
    if (!line.empty()) line.push_back(' ');
    line += part;
  }
  CallRecord& record = Calls();
  std::lock_guard<std::mutex> lock(record.mutex);
  record.calls.push_back(std::move(line));
}

bool TestContentPath(const std::string& id, std::string* path) {
  ChosenAnswers& chosen = Chosen();
  std::lock_guard<std::mutex> lock(chosen.mutex);
  const auto found = chosen.content_paths.find(id);
  if (found == chosen.content_paths.end()) return false;
  *path = found->second;
  return true;
}

bool TestNodesUnder(std::string* text) {
  ChosenAnswers& chosen = Chosen();
  std::lock_guard<std::mutex> lock(chosen.mutex);
  if (!chosen.has_nodes_under) return false;
  *text = chosen.nodes_under;
  return true;
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

int32_t RkKivvetTestCalls(int32_t from, std::vector<std::string>* calls) {
  try {
    rkkivvet::CallRecord& record = rkkivvet::Calls();
    std::lock_guard<std::mutex> lock(record.mutex);
    const auto count = static_cast<int32_t>(record.calls.size());
    if (calls != nullptr) {
      const auto first = std::min(std::max(from, int32_t{0}), count);
      calls->assign(record.calls.begin() + first, record.calls.end());
    }
    return count;
  } catch (...) {
    return -1;
  }
}

int32_t RkKivvetTestSetContentPath(const rkkivvet::RkGuid* id, const char* path) {
  if (id == nullptr) return -1;
  try {
    rkkivvet::ChosenAnswers& chosen = rkkivvet::Chosen();
    std::lock_guard<std::mutex> lock(chosen.mutex);
    if (path == nullptr) {
      chosen.content_paths.erase(rkkivvet::IdText(id));
    } else {
      chosen.content_paths[rkkivvet::IdText(id)] = path;
    }
    return 0;
  } catch (...) {
    return -1;
  }
}

int32_t RkKivvetTestSetNodesUnder(const char* text) {
  try {
    rkkivvet::ChosenAnswers& chosen = rkkivvet::Chosen();
    std::lock_guard<std::mutex> lock(chosen.mutex);
    chosen.has_nodes_under = text != nullptr;
    chosen.nodes_under = text != nullptr ? text : "";
    return 0;
  } catch (...) {
    return -1;
  }
}
