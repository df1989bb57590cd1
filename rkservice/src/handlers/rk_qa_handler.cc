#include "handlers/rk_qa_handler.h"

#include <cpprest/json.h>
#include <cpprest/uri.h>

#include <cctype>
#include <functional>
#include <limits>
#include <map>
#include <vector>

#include "handlers/rk_qa_merge.h"
#include "handlers/rk_qa_store.h"
#include "handlers/rk_qa_sync_document.h"
#include "rk_logger.h"
#include "rk_notify_sender.h"
#include "rk_service_work.h"
#include "rk_utils.h"

namespace rkservice {
namespace {

using web::http::http_request;
using web::http::status_codes;
using web::json::value;
using Query = std::map<std::string, std::string>;

constexpr char kMySite[] = "my_site";
constexpr char kVersion[] = "version";

// The store-missing replies differ from route to route, braces and all.
constexpr char kNoStoreBraced[] = "{'err':'mgr is nul'}";
constexpr char kNoStoreSync[] = "'err':'mgr is null'";
constexpr char kNoStore[] = "'err':'mgr is nul'";
constexpr char kQaWriteFailed[] = "'err':'Call SetSyncValue Failed. '";
constexpr char kValueWriteFailed[] = "'err':'SetSyncValue failed.'";
constexpr char kWriteFailedMessage[] = "Call SetSyncValue Failed. ";
constexpr char kDefaultValue[] = "99881";
// A read that failed is no answer about the data: never "nothing stored".
constexpr char kReadFailedMessage[] = "can not read quick access data";

std::atomic<std::chrono::milliseconds::rep> g_notify_connect_ms{2000};
std::atomic<std::chrono::milliseconds::rep> g_notify_total_ms{30000};

bool Flag(const Query& query, const char* name) {
  const auto found = query.find(name);
  return found != query.end() && found->second == "1";
}

std::string QueryValue(const Query& query, const char* name) {
  const auto found = query.find(name);
  return found != query.end() ? found->second : std::string();
}

// The leading decimal integer: blanks skipped, an optional sign, digits up to
// the first other character; 0 without digits. Saturates instead of wrapping.
int64_t LeadingInteger(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t result = 0;
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const int digit = text[i] - '0';
    result = result > (kMax - digit) / 10 ? kMax : result * 10 + digit;
  }
  return negative ? -result : result;
}

// A member of a JSON object; null when the value is no object or lacks it.
const value* Member(const value& object, const char* name) {
  if (!object.is_object()) return nullptr;
  const auto found = object.as_object().find(name);
  return found != object.as_object().end() ? &found->second : nullptr;
}

}  // namespace

std::string MakeQAErrorText(const std::string& message) { return "'err':'" + message + "'"; }

// Counts a request from its route's start to its very end, the notification
// after its reply included, so that the handler outlives it.
class RkQAHandler::InFlight {
 public:
  explicit InFlight(RkQAHandler* handler) : handler_(handler) {
    std::lock_guard<std::mutex> lock(handler_->in_flight_mutex_);
    ++handler_->in_flight_;
  }
  ~InFlight() {
    std::lock_guard<std::mutex> lock(handler_->in_flight_mutex_);
    if (--handler_->in_flight_ == 0) handler_->idle_.notify_all();
  }
  InFlight(const InFlight&) = delete;
  InFlight& operator=(const InFlight&) = delete;

 private:
  RkQAHandler* handler_;
};

RkQAHandler::RkQAHandler(const std::string& user_name, const std::filesystem::path& folder)
    : mgr_(std::make_shared<RkQAStore>(user_name, folder)), user_name_(user_name) {
  InitRoutes();
}

RkQAHandler::~RkQAHandler() { WaitIdle(); }

void RkQAHandler::WaitIdle() {
  std::unique_lock<std::mutex> lock(in_flight_mutex_);
  idle_.wait(lock, [this] { return in_flight_ == 0; });
}

#ifdef RKSERVICE_TEST_HOOKS
void RkQAHandler::SetNotifyTimeoutsForTesting(std::chrono::milliseconds connect, std::chrono::milliseconds total) {
  g_notify_connect_ms = connect.count();
  g_notify_total_ms = total.count();
}

void RkQAHandler::WaitIdleForTesting() { WaitIdle(); }
#endif

void RkQAHandler::InitRoutes() {
  using Route = bool (RkQAHandler::*)(http_request&);
  const struct {
    RkRouteMap* table;
    const char* path;
    Route route;
  } kRoutes[] = {
      {&get_routes_, kQARouteThumbExists, &RkQAHandler::ThumbExists},
      {&get_routes_, kQARouteSyncValue, &RkQAHandler::GetSyncValue},
      {&get_routes_, kQARouteSync, &RkQAHandler::GetSyncData},
      {&get_routes_, kQARouteQa, &RkQAHandler::GetQuickAccess},
      {&post_routes_, kQARouteSyncValue, &RkQAHandler::SetSyncValue},
      {&post_routes_, kQARouteSync, &RkQAHandler::SetSyncData},
      {&post_routes_, kQARouteQa, &RkQAHandler::SetQuickAccess},
      {&post_routes_, kQARouteDefault, &RkQAHandler::SetDefaultQuickAccess},
  };
  for (const auto& entry : kRoutes) {
    (*entry.table)[entry.path] = std::bind(entry.route, this, std::placeholders::_1);
  }
  // Changes notify the browser after they answer.
  SetWaitsOutside(web::http::methods::POST);
}

void RkQAHandler::HandleGet(http_request request) {
  InFlight in_flight(this);
  RouteRequest(get_routes_, request);
}

void RkQAHandler::HandlePost(http_request request) {
  InFlight in_flight(this);
  RouteRequest(post_routes_, request);
}

bool RkQAHandler::HasStore(http_request& request, const char* reply_text) {
  if (mgr_) return true;
  RkLogError("mgr_ == null");
  Reply(request, status_codes::InternalError, reply_text);
  return false;
}

bool RkQAHandler::ReplyError(http_request& request, const std::string& message) {
  RkLogError("{0}", message);
  Reply(request, status_codes::InternalError, MakeQAErrorText(message));
  return false;
}

bool RkQAHandler::ThumbExists(http_request& request) {
  RkLogWarn("Not supported in rk6:{0}", request.request_uri().path());
  Reply(request, status_codes::NotImplemented, "{}");
  return true;
}

bool RkQAHandler::GetSyncValue(http_request& request) {
  if (!HasStore(request, kNoStoreBraced)) return false;
  const Query query = ReadQuery(request);
  if (!HasRequiredKeys(query, {"key"})) return ReplyError(request, "key not exists");
  const std::string key = QueryValue(query, "key");
  if (key.empty()) return ReplyError(request, "key is empty");
  std::string text;
  if (!mgr_->GetSyncValue(key, &text)) return ReplyError(request, kReadFailedMessage);
  Reply(request, status_codes::OK, text);
  return true;
}

bool RkQAHandler::GetQuickAccess(http_request& request) {
  if (!HasStore(request, kNoStore)) return false;
  if (Flag(ReadQuery(request), "with_ver")) return ReplyQuickAccessWithVersion(request);
  std::string tree;
  if (!mgr_->GetSyncValue(kMySite, &tree)) return ReplyError(request, kReadFailedMessage);
  Reply(request, status_codes::OK, tree);
  return true;
}

bool RkQAHandler::ReplyQuickAccessWithVersion(http_request& request) {
  std::string tree;
  std::string version;
  if (!mgr_->GetSyncValue(kMySite, &tree) || !mgr_->GetSyncValue(kVersion, &version)) {
    return ReplyError(request, kReadFailedMessage);
  }
  value reply = value::object();
  reply[kMySite] = value::string(tree.empty() ? "[]" : tree);
  reply[kVersion] = value::number(LeadingInteger(version));
  Reply(request, status_codes::OK, reply.serialize());
  return true;
}

bool RkQAHandler::GetSyncData(http_request& request) {
  if (!HasStore(request, kNoStoreSync)) return false;
  std::map<std::string, std::vector<uint8_t>> values;
  if (!mgr_->GetAllSyncValues(values)) {
    RkLogError("can not getall  sync");
    Reply(request, status_codes::InternalError, MakeQAErrorText("can not get all sync"));
    return false;
  }
  const bool as_text = Flag(ReadQuery(request), "new");
  // The untouched default tree is not the user's: it is not handed out as text.
  if (as_text && default_applied_) {
    RkLogWarn("default qa not synced");
    Reply(request, status_codes::InternalError, MakeQAErrorText("default qa not synced"));
    return false;
  }
  Reply(request, status_codes::OK, RkQASyncDocument::Export(values, as_text));
  return true;
}

bool RkQAHandler::SetSyncValue(http_request& request) {
  if (!HasStore(request, kNoStoreBraced)) return false;
  std::string key;
  std::string text;
  try {
    const value object = ReadJsonBody(request);
    if (!object.is_object() || !HasRequiredKeys(object.as_object(), {"key", "json"})) {
      return ReplyError(request, "param error");
    }
    const value& key_value = object.at("key");
    const value& text_value = object.at("json");
    if (!key_value.is_string() || !text_value.is_string()) return ReplyError(request, "param error");
    key = key_value.as_string();
    text = text_value.as_string();
    // The tree is JSON the store reads; any other value is text to keep.
    if (key == kMySite) text = WellFormedJsonText(std::move(text));
  } catch (const std::exception& e) {
    return ReplyError(request, e.what());
  }
  if (key.empty()) return ReplyError(request, "key is empty");
  default_applied_ = false;
  try {
    std::lock_guard<std::mutex> lock(data_mutex_);
    if (!mgr_->SetSyncValue(Utf8ToWide(key), Utf8ToWide(text))) {
      Reply(request, status_codes::InternalError, kValueWriteFailed);
      return false;
    }
    Reply(request, status_codes::OK, "{}");
  } catch (const std::exception& e) {
    // A "my_site" text that is not a JSON array.
    return ReplyError(request, e.what());
  }
  if (key == kMySite) NotifyDataChanged({}, {});
  return true;
}

bool RkQAHandler::SetQuickAccess(http_request& request) {
  if (!HasStore(request, kNoStore)) return false;
  default_applied_ = false;
  const Query query = ReadQuery(request);
  const bool with_ver = Flag(query, "with_ver");
  const std::string from_id = QueryValue(query, "from_id");
  try {
    // The tree as the page meant it: its lone surrogate escapes as U+FFFD.
    std::string body = WellFormedJsonText(ReadBody(request));
    std::string version;
    if (with_ver) {
      const value object = value::parse(body);
      const value* tree = Member(object, kMySite);
      const value* number = Member(object, kVersion);
      if (tree == nullptr || !tree->is_string() || number == nullptr || !number->is_integer()) {
        return ReplyError(request, "param error");
      }
      body = WellFormedJsonText(tree->as_string());
      version = number->serialize();
    }
    std::lock_guard<std::mutex> lock(data_mutex_);
    std::string stored;
    if (!mgr_->GetSyncValue(kMySite, &stored)) return ReplyError(request, kReadFailedMessage);
    if (stored.empty()) {
      // A first tree: no version, nobody to tell.
      if (!mgr_->SetSyncValue(kQAKeyMySite, Utf8ToWide(body))) {
        Reply(request, status_codes::InternalError, kQaWriteFailed);
        return false;
      }
      Reply(request, status_codes::OK, "{}");
      return true;
    }
    if (value::parse(body) == value::parse(stored)) {
      Reply(request, status_codes::OK, "{}");
      return true;
    }
    // The version only with its tree.
    RkQAStore::Transaction transaction(mgr_.get());
    if (!mgr_->SetSyncValue(kQAKeyMySite, Utf8ToWide(body)) ||
        (with_ver && !mgr_->SetSyncValue(kQAKeyVersion, Utf8ToWide(version))) || !transaction.Commit()) {
      Reply(request, status_codes::InternalError, kQaWriteFailed);
      return false;
    }
    Reply(request, status_codes::OK, "{}");
  } catch (const std::exception& e) {
    return ReplyError(request, e.what());
  }
  NotifyDataChanged(from_id, {});
  return true;
}

bool RkQAHandler::SetDefaultQuickAccess(http_request& request) {
  if (!HasStore(request, kNoStore)) return false;
  const std::string from_id = QueryValue(ReadQuery(request), "from_id");
  try {
    const std::string body = WellFormedJsonText(ReadBody(request));
    std::lock_guard<std::mutex> lock(data_mutex_);
    std::string stored;
    if (!mgr_->GetSyncValue(kMySite, &stored)) return ReplyError(request, kReadFailedMessage);
    if (!stored.empty()) {
      RkLogWarn("set default qa, but local not empty");
      Reply(request, status_codes::OK, "{}");
      return true;
    }
    if (!mgr_->SetSyncValue(kQAKeyMySite, Utf8ToWide(body))) {
      Reply(request, status_codes::InternalError, kQaWriteFailed);
      return false;
    }
    default_applied_ = true;
    Reply(request, status_codes::OK, "{}");
  } catch (const std::exception&) {
    Reply(request, status_codes::BadRequest, "{}");
    return false;
  }
  NotifyDataChanged(from_id, kDefaultValue);
  return true;
}

bool RkQAHandler::SetSyncData(http_request& request) {
  if (!HasStore(request, kNoStoreSync)) return false;
  const Query query = ReadQuery(request);
  const bool merge = Flag(query, "merge");
  const bool has_version = query.count(kVersion) != 0;
  // Stored as it stands in the query.
  const std::string version_text = QueryValue(query, kVersion);
  const int64_t version = has_version ? LeadingInteger(version_text) : -1;
  const bool notify = query.count("notify") == 0 || LeadingInteger(QueryValue(query, "notify")) == 1;
  default_applied_ = false;

  std::string body;
  try {
    body = ReadBody(request);
  } catch (const std::exception& e) {
    return ReplyError(request, e.what());
  }
  std::vector<RkQASyncItem> items;
  std::string error;
  switch (RkQASyncDocument::Import(body, &items, &error)) {
    case RkQASyncDocument::Status::kOk:
      break;
    case RkQASyncDocument::Status::kNotJson:
      return ReplyError(request, error);
    case RkQASyncDocument::Status::kNotObject:
      Reply(request, status_codes::BadRequest, MakeQAErrorText("Json format error."));
      return false;
    case RkQASyncDocument::Status::kNoApp:
      Reply(request, status_codes::BadRequest, MakeQAErrorText("no app key"));
      return false;
    case RkQASyncDocument::Status::kNoData:
      Reply(request, status_codes::BadRequest, MakeQAErrorText("no data key"));
      return false;
  }

  bool changed = false;
  try {
    std::lock_guard<std::mutex> lock(data_mutex_);
    std::map<std::string, std::vector<uint8_t>> stored;
    if (!mgr_->GetAllSyncValues(stored)) return ReplyError(request, "can not get all sync");
    // Every change is worked out in memory first; later items see earlier ones.
    std::map<std::u16string, std::u16string> writes;
    for (RkQASyncItem& item : items) {
      const auto pending = writes.find(item.key);
      const auto kept = stored.find(WideToUtf8(item.key));
      if (pending == writes.end() && kept == stored.end()) {
        writes[item.key] = std::move(item.text);
        continue;
      }
      const std::u16string current = pending != writes.end() ? pending->second : RkQAStore::StoredText(kept->second);
      if (item.key == kQAKeyMySite && !current.empty()) {
        const value incoming = value::parse(WideToUtf8(item.text));
        value tree = value::parse(WideToUtf8(current));
        if (incoming == tree) continue;
        if (merge) {
          if (!incoming.is_array() || !tree.is_array()) return ReplyError(request, "my_site is not a list");
          MergeQuickAccess(incoming, tree);
          item.text = Utf8ToWide(tree.serialize());
        }
        writes[item.key] = std::move(item.text);
      } else if (item.text != current) {
        writes[item.key] = std::move(item.text);
      }
    }
    if (!writes.empty() || version >= 0) {
      // All of it or nothing.
      RkQAStore::Transaction transaction(mgr_.get());
      for (const auto& write : writes) {
        if (!mgr_->SetSyncValue(write.first, write.second)) return ReplyError(request, kWriteFailedMessage);
      }
      if (version >= 0 && !mgr_->SetSyncValue(kQAKeyVersion, Utf8ToWide(version_text))) {
        return ReplyError(request, kWriteFailedMessage);
      }
      if (!transaction.Commit()) return ReplyError(request, kWriteFailedMessage);
    }
    changed = !writes.empty();
    Reply(request, status_codes::OK, "{}");
  } catch (const std::exception& e) {
    return ReplyError(request, e.what());
  }
  if (changed && notify) NotifyDataChanged({}, {});
  return true;
}

void RkQAHandler::NotifyDataChanged(const std::string& from_id, const std::string& value) {
  // Joined as they are: from_id is a raw query value, already in URI form.
  std::string query = "?action=notify&type=data_changed&caller=qa";
  if (!from_id.empty()) query += "&from_id=" + from_id;
  if (!value.empty()) query += "&value=" + value;
  try {
    RkHttpRequest request;
    request.url = NotifyTargetUri(GetNotifyHost(), web::uri(query)).to_string();
    request.headers.emplace_back("UserName", user_name_);
    RkHttpClient::Options options;
    options.connect_timeout = std::chrono::milliseconds(g_notify_connect_ms.load());
    options.total_timeout = std::chrono::milliseconds(g_notify_total_ms.load());
    options.stop_with = RkServiceWork::Current();
    // Runs to its end on this thread: no pool thread is needed for the answer.
    const RkHttpClient client(options);
    RkHttpResponse response;
    RkHttpError failure;
    if (!client.Perform(request, &response, &failure)) {
      RkLogError("Send sync notify {0} :{1}", "", failure.message);
      return;
    }
    OnNotifyResponse(response);
  } catch (const std::exception& e) {
    RkLogError("Send sync notify {0} :{1}", "", e.what());
  }
}

void RkQAHandler::OnNotifyResponse(const RkHttpResponse& response) {
  RkLogTrace("qa notify response: {0}  {1}", response.status, response.body);
}

}  // namespace rkservice
