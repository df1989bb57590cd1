#include "handlers/rk_tessel_fill_store.h"

#include <map>
#include <mutex>
#include <vector>

#include "handlers/rk_json_check.h"
#include "handlers/rk_tessel_fill_cipher.h"
#include "handlers/rk_tessel_fill_sync.h"
#include "rk_logger.h"
#include "rk_notify_sender.h"
#include "rk_utils.h"

namespace rkservice {
namespace {

using rkstorage::RkStorage;

constexpr char kCommonFile[] = "/rkcommonid.dat";
constexpr char kAccountFile[] = "/rkpwdaccount.dat";
constexpr char kSecretFile[] = "/rkpwdinfo.dat";
// Every form-fill store is opened with the user's name followed by this
// fixed text; the same for every user.
constexpr char kOpenArgSuffix[] = "|rk.tessel.fill.db";
static_assert(sizeof(kOpenArgSuffix) - 1 == 18, "the open argument's suffix is 18 ASCII characters");
constexpr char kIdentityKey[] = "browser.global.user_identity";
// Sends no "value" key.
constexpr int kNoValue = -1;

// Form-fill stores of every user and service open one after another.
std::mutex& OpenMutex() {
  static std::mutex mutex;
  return mutex;
}

std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

}  // namespace

RkTesselFillStore::RkTesselFillStore(const std::string& user_name, const std::filesystem::path& folder)
    : user_name_(user_name), folder_(folder) {}

RkTesselFillStore::~RkTesselFillStore() = default;

bool RkTesselFillStore::Init() {
  if (IsOpen()) return true;
  std::lock_guard<std::mutex> lock(OpenMutex());
  if (IsOpen()) return true;
  const std::string open_arg = user_name_ + kOpenArgSuffix;
  const std::string folder = folder_.u8string();
  common_store_ = std::make_shared<RkStorage>(folder + kCommonFile, open_arg);
  account_store_ = std::make_shared<RkStorage>(folder + kAccountFile, open_arg);
  secret_store_ = std::make_shared<RkStorage>(folder + kSecretFile, open_arg);
  if (!common_store_->Load() || !account_store_->Load() || !secret_store_->Load()) {
    common_store_.reset();
    account_store_.reset();
    secret_store_.reset();
    return false;
  }
  // The host lock is held until open_ is set: a host given meanwhile reaches
  // the senders either here or in SetNotifyHost.
  std::lock_guard<std::mutex> host_lock(host_mutex_);
  account_sender_ = MakeRkNotifySender(notify_host_, user_name_, kNotifyTesselAccount);
  account_sender_->SetType(kNotifyDataChanged);
  secret_sender_ = MakeRkNotifySender(notify_host_, user_name_, kNotifyTesselSecret);
  secret_sender_->SetType(kNotifyDataChanged);
  open_.store(true, std::memory_order_release);
  return true;
}

void RkTesselFillStore::SetNotifyHost(const std::string& host) {
  std::lock_guard<std::mutex> lock(host_mutex_);
  notify_host_ = host;
  if (!IsOpen()) return;
  account_sender_->SetHost(host);
  secret_sender_->SetHost(host);
}

std::string RkTesselFillStore::GetAuthInfo() {
  std::vector<uint8_t> bytes;
  if (common_store_) common_store_->Get(kIdentityKey, bytes);
  if (bytes.empty()) return "[]";
  return WideToUtf8(Utf8ToWide(std::string(bytes.begin(), bytes.end())));
}

bool RkTesselFillStore::SetAuthInfo(const std::string& text) {
  return common_store_ && common_store_->Set(kIdentityKey, Bytes(text));
}

bool RkTesselFillStore::GetAllCards(int type, std::string* cards) {
  *cards = "[]";
  std::shared_ptr<RkStorage> store;
  if (type == CardType::kAccount) {
    store = account_store_;
  } else if (type == CardType::kSecret) {
    store = secret_store_;
  } else {
    RkLogError("wrong card type {0}", type);
    return true;
  }
  if (!store) return false;
  ListCache& cache = list_cache_[type];
  // Read before the list: a write that lands in between leaves the kept list
  // behind a version that is already out of date, never the other way round.
  RkStorage::Version version;
  if (!store->ReadVersion(&version)) return false;
  {
    std::lock_guard<std::mutex> lock(cache_mutex_);
    if (cache.valid && cache.version == version) {
      *cards = cache.list;
      return true;
    }
  }
  std::string list;
  if (!ReadAllCards(*store, &list)) return false;
  {
    std::lock_guard<std::mutex> lock(cache_mutex_);
    cache.list = list;
    cache.version = version;
    cache.valid = true;
  }
  *cards = std::move(list);
  return true;
}

bool RkTesselFillStore::ReadAllCards(RkStorage& store, std::string* cards) {
  std::map<std::string, std::vector<uint8_t>> all;
  if (!store.GetAll(all)) return false;
  size_t size = 2;
  for (const auto& card : all) size += card.second.size() + 1;
  std::string list;
  list.reserve(size);
  list += '[';
  for (const auto& card : all) {
    const char* value = reinterpret_cast<const char*>(card.second.data());
    // Joined as stored, one bad value would break the list for every card,
    // and a crafted one would add entries of its own.
    if (!IsOneJsonValue(value, card.second.size())) {
      RkLogError("card {0} does not hold one JSON value; left out of the list", card.first);
      continue;
    }
    if (list.size() > 1) list += ',';
    list.append(value, card.second.size());
  }
  list += ']';
  *cards = std::move(list);
  return true;
}

std::shared_ptr<RkStorage> RkTesselFillStore::CardStore(int type) const {
  std::shared_ptr<RkStorage> store;
  if (type == CardType::kAccount) store = account_store_;
  if (type == CardType::kSecret) store = secret_store_;
  if (!store) RkLogError("unknow CardType:{0}", type);
  return store;
}

bool RkTesselFillStore::SetCard(int type, const std::string& key, const std::string& value) {
  const std::shared_ptr<RkStorage> store = CardStore(type);
  if (!store) return false;
  if (!store->SetWithSync(key, Bytes(value))) return false;
  NotifyChanged(type);
  return true;
}

bool RkTesselFillStore::DeleteCard(int type, const std::string& key) {
  const std::shared_ptr<RkStorage> store = CardStore(type);
  if (!store) return false;
  if (!store->DeleteWithSync(key)) return false;
  NotifyChanged(type);
  return true;
}

void RkTesselFillStore::NotifyChanged(int type) {
  std::shared_ptr<RkNotifySender> sender;
  if (type == CardType::kAccount) sender = account_sender_;
  if (type == CardType::kSecret) sender = secret_sender_;
  // Synchronous; the sender logs the answer or the failure.
  if (sender) sender->Send(kNoValue);
}

std::string RkTesselFillStore::ExportSync(int type) {
  const std::shared_ptr<RkStorage> store = CardStore(type);
  return store ? RkTesselFillSync::Export(*store, type) : std::string();
}

bool RkTesselFillStore::ImportSync(int type, const std::string& document) {
  const std::shared_ptr<RkStorage> store = CardStore(type);
  if (!store) return false;
  return RkTesselFillSync::Import(*store, document, RkTesselFillSync::kObjectOrArray);
}

bool RkTesselFillStore::ImportSyncItems(int type, const std::string& document) {
  const std::shared_ptr<RkStorage> store = CardStore(type);
  if (!store) return false;
  return RkTesselFillSync::Import(*store, document, RkTesselFillSync::kArrayOnly);
}

std::string RkTesselFillStore::Encrypt(const std::string& password, const std::string& value) const {
  return RkTesselFillCipher::Encrypt(password, value);
}

std::string RkTesselFillStore::Decrypt(const std::string& password, const std::string& text) const {
  return RkTesselFillCipher::Decrypt(password, text);
}

}  // namespace rkservice
