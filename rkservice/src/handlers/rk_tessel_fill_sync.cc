#include "handlers/rk_tessel_fill_sync.h"

#include <cpprest/json.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <system_error>
#include <vector>

#include "handlers/rk_tessel_fill_store.h"
#include "rk_logger.h"
#include "rk_utils.h"

namespace rkservice {
namespace {

using rkstorage::RkStorage;

constexpr char kAccountApp[] = "rek5-ainfo";
constexpr char kSecretApp[] = "rek5-pteinf";

// A transaction of one store for the life of the object; rolled back unless
// committed. Other threads' operations on the store wait for its end.
class StoreTransaction {
 public:
  explicit StoreTransaction(RkStorage& store) : store_(store) { store_.BeginTransaction(); }
  ~StoreTransaction() {
    if (!ended_) store_.RollbackTransaction();
  }
  StoreTransaction(const StoreTransaction&) = delete;
  StoreTransaction& operator=(const StoreTransaction&) = delete;

  bool Commit() {
    ended_ = true;
    return store_.CommitTransaction() != -1;
  }

 private:
  RkStorage& store_;
  bool ended_ = false;
};

#ifdef RKSERVICE_TEST_HOOKS
std::mutex g_export_hook_mutex;
std::function<void()> g_export_hook;
#endif

void RunExportHook() {
#ifdef RKSERVICE_TEST_HOOKS
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> lock(g_export_hook_mutex);
    hook = g_export_hook;
  }
  if (hook) hook();
#endif
}

// Keys are the browser's texts: a quotation mark in one must not end its
// string and inject items into the document the next device imports.
std::string JsonEscaped(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof(escape), "\\u%04x", static_cast<unsigned>(c));
          out += escape;
        } else {
          out += c;
        }
    }
  }
  return out;
}

struct SyncItem {
  std::string key;
  std::vector<uint8_t> value;
};

// The usable items of the data array; the others are logged and skipped.
std::vector<SyncItem> ReadItems(const web::json::array& data) {
  std::vector<SyncItem> items;
  for (const web::json::value& element : data) {
    if (!element.is_object()) {
      RkLogError("cat not as a object");
      continue;
    }
    const web::json::object& object = element.as_object();
    const auto key = object.find("key");
    const auto value = object.find("value");
    // A member that is not a text counts as missing, and so does a key the
    // store cannot hold.
    if (key == object.end() || value == object.end() || !key->second.is_string() || !value->second.is_string() ||
        key->second.as_string().find('\0') != std::string::npos) {
      RkLogError("json error, can not get key or value.");
      continue;
    }
    const std::string bytes = Base64Decode(value->second.as_string());
    items.push_back({key->second.as_string(), std::vector<uint8_t>(bytes.begin(), bytes.end())});
  }
  return items;
}

bool WriteItems(RkStorage& store, const web::json::array& data) {
  const std::vector<SyncItem> items = ReadItems(data);
  // Deleting the synchronised cards for nothing would lose them all.
  if (data.size() != 0 && items.empty()) {
    RkLogError("no usable item in the sync data; the store is left as it was");
    return false;
  }
  StoreTransaction transaction(store);
  if (!store.DeleteAllSynced()) return false;
  for (const SyncItem& item : items) {
    if (!store.Set(item.key, item.value)) {
      RkLogError("failed set sql item!");
      return false;
    }
  }
  return transaction.Commit();
}

}  // namespace

#ifdef RKSERVICE_TEST_HOOKS
void RkTesselFillSync::SetExportHookForTesting(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(g_export_hook_mutex);
  g_export_hook = std::move(hook);
}
#endif

std::string RkTesselFillSync::Export(RkStorage& store, int type) {
  std::map<std::string, std::vector<uint8_t>> cards;
  {
    StoreTransaction transaction(store);
    if (!store.GetAll(cards)) return {};
    RunExportHook();
    if (!store.ClearNoSyncTable()) {
      RkLogError("failed to clear nosync table.");
      return {};
    }
    if (!transaction.Commit()) return {};
  }
  std::string items;
  for (const auto& card : cards) {
    if (!items.empty()) items += ',';
    items += " {\"key\": \"" + JsonEscaped(card.first) + "\", \"value\": \"" +
             Base64Encode(card.second.data(), static_cast<uint32_t>(card.second.size())) +
             "\", \"value_type\": \"binary\"} ";
  }
  const std::string app = type == CardType::kAccount ? kAccountApp : kSecretApp;
  return WideToUtf8(Utf8ToWide(" {\"ver\": 1, \"app\": \"" + app + "\", \"data\": [" + items + "]} "));
}

bool RkTesselFillSync::Import(RkStorage& store, const std::string& document, Accept accept) {
  std::error_code error;
  web::json::value parsed;
  try {
    // Read as a request body is: a page's lone surrogate escapes as U+FFFD.
    // The reader throws past its error code for some texts all the same.
    parsed = web::json::value::parse(WellFormedJsonText(document), error);
  } catch (const std::exception&) {
    return false;
  }
  if (error) return false;
  if (parsed.is_array()) return WriteItems(store, parsed.as_array());
  if (accept == kArrayOnly || !parsed.is_object()) return false;
  const web::json::object& object = parsed.as_object();
  const auto data = object.find("data");
  if (data == object.end()) return false;
  if (!data->second.is_array()) {
    RkLogError("param error!");
    return false;
  }
  return WriteItems(store, data->second.as_array());
}

}  // namespace rkservice
