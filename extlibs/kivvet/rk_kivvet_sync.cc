#include "rk_kivvet_sync.h"

#include <strings.h>

#include <cstdlib>
#include <utility>

#include "rk_kivvet_http.h"
#include "rk_kivvet_protocol.h"
#include "rk_kivvet_text.h"

namespace rkkivvet {
namespace {

// Events of a run: progress of the pull, a pulled node, a finished run.
constexpr int32_t kProgressPull = 1;
constexpr int32_t kNodeAdded = 1;
constexpr int32_t kNodeChanged = 2;
constexpr int32_t kConflictBothChanged = 1;
constexpr int32_t kChangedBySync = 1;
constexpr int32_t kFromSync = 2;

constexpr int32_t kStateRunning = 1;
constexpr int32_t kStateDone = 2;
constexpr int32_t kStateFailed = 3;
constexpr int32_t kNoAnswer = -1;

bool IsHttpUrl(const std::string& url) {
  for (const char* scheme : {"http://", "https://"}) {
    const size_t n = std::char_traits<char>::length(scheme);
    if (url.size() > n && strncasecmp(url.c_str(), scheme, n) == 0) return true;
  }
  return false;
}

std::string Endpoint(const std::string& host, const char* path) {
  std::string url = host;
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url + path;
}

RkGuid Guid(const std::string& text) {
  RkGuid id = {};
  TextToGuid(text, &id);
  return id;
}

}  // namespace

bool RkKivvetSync::Init(RkKivvetSyncDetails details) {
  if (details.uid.empty() || details.key.empty() || !IsHttpUrl(details.host) || !IsHttpUrl(details.res_host)) {
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (guest_) return false;
  details_ = std::move(details);
  ready_ = true;
  return true;
}

void RkKivvetSync::EnterGuestMode() {
  std::lock_guard<std::mutex> lock(mutex_);
  guest_ = true;
  ready_ = false;
  details_ = RkKivvetSyncDetails();
}

bool RkKivvetSync::Details(RkKivvetSyncDetails* details) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!ready_) return false;
  *details = details_;
  return true;
}

RkKivvetSync::Headers RkKivvetSync::AccountHeaders(const RkKivvetSyncDetails& details) {
  return {{protocol::kUidHeader, details.uid},
          {protocol::kDidHeader, details.did},
          {protocol::kKeyHeader, details.key},
          {"Content-Type", "application/json"}};
}

bool RkKivvetSync::Describe(std::string* json) {
  RkKivvetSyncDetails details;
  const bool ready = Details(&details);
  *json = protocol::Dump({{"host", details.host}, {"res_host", details.res_host}, {"ready", ready}});
  return ready;
}

bool RkKivvetSync::QueueRun(bool push) {
  RkKivvetSyncDetails details;
  if (!Details(&details) || worker_->stopped()) return false;
  std::atomic<bool>& waiting = run_waiting_[push ? 1 : 0];
  if (waiting.exchange(true)) return true;
  ++busy_;
  if (worker_->Post([this, push] { Run(push); })) return true;
  waiting = false;
  --busy_;
  return false;
}

int32_t RkKivvetSync::QueueContentFetch(const std::string& id, bool only_missing) {
  RkKivvetSyncDetails details;
  if (!Details(&details) || !store_->IsNote(id)) return 0;
  if (only_missing && store_->HasContent(id)) return 0;
  return worker_->Post([this, id] { FetchContent(id); }) ? 1 : 0;
}

void RkKivvetSync::ReportState(int32_t code, int32_t reason, const std::string& message) {
  worker_->Notify([&](RkKivvetObserver* o) { o->OnSyncNotify2(code, reason, message.c_str()); });
}

void RkKivvetSync::Run(bool push) {
  run_waiting_[push ? 1 : 0] = false;
  // The run counts as over before its last event, so an observer that hears
  // the end sees the status idle.
  struct Busy {
    std::atomic<int32_t>& count;
    bool over = false;
    void End() {
      if (!over) --count;
      over = true;
    }
    ~Busy() { End(); }
  } busy{busy_};
  RkKivvetSyncDetails details;
  if (!Details(&details)) return;
  ReportState(kStateRunning, 0, push ? "sync" : "download");
  failure_ = kNoAnswer;
  failure_text_.clear();
  int64_t usn = 0;
  int32_t pulled = 0;
  int32_t conflicts = 0;
  int32_t pushed = 0;
  const bool ok = Pull(details, &usn, &pulled, &conflicts) && (!push || Push(details, &pushed));
  // A stopping engine reports nothing more.
  if (worker_->stopped()) return;
  if (!ok) {
    store_->RecordSync(false, failure_, 0);
    busy.End();
    ReportState(kStateFailed, failure_, failure_text_);
    return;
  }
  store_->RecordSync(true, 0, usn);
  const std::string data = protocol::Dump(
      {{"pulled", pulled}, {"pushed", pushed}, {"conflicts", conflicts}, {"version", usn}});
  worker_->Notify([&](RkKivvetObserver* o) {
    o->OnDataChanged(kChangedBySync, data.data(), static_cast<int32_t>(data.size()), kFromSync);
  });
  busy.End();
  ReportState(kStateDone, 0, "done");
}

bool RkKivvetSync::Pull(const RkKivvetSyncDetails& details, int64_t* usn, int32_t* pulled, int32_t* conflicts) {
  int64_t since = 0;
  if (!store_->PrepareSync(details.uid, &since)) {
    failure_text_ = "store closed";
    return false;
  }
  const RkKivvetHttpAnswer answer =
      RkKivvetHttpRequest("POST", Endpoint(details.host, protocol::kPullPath), AccountHeaders(details),
                          protocol::Dump({{"since", since}}), worker_->stop_flag());
  if (answer.status != 200) {
    failure_ = answer.status != 0 ? answer.status : kNoAnswer;
    failure_text_ = answer.status != 0 ? "refused" : answer.error;
    return false;
  }
  // The whole answer is checked before any of it is applied.
  const nlohmann::json value = protocol::Parse(answer.body);
  std::vector<protocol::NodeRecord> records;
  bool valid = value.is_object() && value.contains("usn") && value["usn"].is_number_integer() &&
               value.contains("nodes") && value["nodes"].is_array();
  for (size_t i = 0; valid && i < value["nodes"].size(); ++i) {
    protocol::NodeRecord record;
    valid = protocol::FromJson(value["nodes"][i], &record);
    if (valid && !store_->IsCurrent(record.id, record.usn)) records.push_back(std::move(record));
  }
  if (!valid) {
    failure_text_ = "bad answer";
    return false;
  }
  *usn = value["usn"].get<int64_t>();
  const int32_t total = static_cast<int32_t>(records.size());
  for (int32_t i = 0; i < total; ++i) {
    if (worker_->stopped()) return false;
    const protocol::NodeRecord& record = records[i];
    RkKivvetPulled result;
    if (!store_->ApplyPulled(record, &result)) {
      failure_text_ = "store closed";
      return false;
    }
    const std::string text = protocol::Dump({{"id", record.id}, {"fn", record.fn}});
    worker_->Notify([&](RkKivvetObserver* o) { o->OnSyncProgress(kProgressPull, i + 1, total, text.c_str()); });
    const RkGuid id = Guid(record.id);
    if (!result.copy_id.empty()) {
      ++*conflicts;
      const RkGuid copy = Guid(result.copy_id);
      worker_->Notify([&](RkKivvetObserver* o) { o->OnDataConflict(kConflictBothChanged, &id, &copy, kFromSync); });
    }
    if (result.changed) {
      ++*pulled;
      worker_->Notify([&](RkKivvetObserver* o) { o->OnDataUpdated(result.added ? kNodeAdded : kNodeChanged, &id); });
    }
  }
  return true;
}

bool RkKivvetSync::Push(const RkKivvetSyncDetails& details, int32_t* pushed) {
  std::vector<RkKivvetOutgoing> outgoing;
  if (!store_->Outgoing(&outgoing)) {
    failure_text_ = "store closed";
    return false;
  }
  if (outgoing.empty()) return true;
  nlohmann::json nodes = nlohmann::json::array();
  for (const RkKivvetOutgoing& node : outgoing) nodes.push_back(protocol::ToJson(node.record));
  const RkKivvetHttpAnswer answer =
      RkKivvetHttpRequest("POST", Endpoint(details.host, protocol::kPushPath), AccountHeaders(details),
                          protocol::Dump({{"nodes", std::move(nodes)}}), worker_->stop_flag());
  if (answer.status != 200) {
    failure_ = answer.status != 0 ? answer.status : kNoAnswer;
    failure_text_ = answer.status != 0 ? "refused" : answer.error;
    return false;
  }
  const nlohmann::json value = protocol::Parse(answer.body);
  if (!value.is_object() || !value.contains("results") || !value["results"].is_array()) {
    failure_text_ = "bad answer";
    return false;
  }
  for (const nlohmann::json& result : value["results"]) {
    if (!result.is_object() || !result.contains("id") || !result["id"].is_string() || !result.contains("usn") ||
        !result["usn"].is_number_integer()) {
      // Refused as a conflict: the next run pulls the peer's version first.
      continue;
    }
    const std::string id = result["id"].get<std::string>();
    for (const RkKivvetOutgoing& node : outgoing) {
      if (node.record.id != id) continue;
      store_->Pushed(id, node.lusn, result["usn"].get<int64_t>());
      ++*pushed;
      break;
    }
  }
  return true;
}

void RkKivvetSync::FetchContent(const std::string& id) {
  RkKivvetSyncDetails details;
  bool ok = Details(&details);
  if (ok) {
    const RkKivvetHttpAnswer answer =
        RkKivvetHttpRequest("GET", Endpoint(details.res_host, protocol::kContentPath) + "?id=" + id,
                            AccountHeaders(details), std::string(), worker_->stop_flag());
    if (worker_->stopped()) return;
    const std::string version = answer.Header(protocol::kVersionHeader);
    ok = answer.status == 200 &&
         store_->StoreFetchedContent(id, answer.body, version.empty() ? -1 : std::atoi(version.c_str()));
  }
  const RkGuid guid = Guid(id);
  worker_->Notify([&](RkKivvetObserver* o) { o->OnNoteFileDownload(ok ? 0 : 1, &guid); });
}

}  // namespace rkkivvet
