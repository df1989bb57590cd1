#include "handlers/rk_qa_store.h"

#include <cpprest/json.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>

#include "rk_logger.h"
#include "rk_storage.h"
#include "rk_utils.h"

namespace rkservice {
namespace {

namespace fs = std::filesystem;

// Follows the user's name in the database's open argument.
constexpr char kQAOpenArgSuffix[] = "@RkQuickAccessStoreKey2024!";
static_assert(sizeof(kQAOpenArgSuffix) - 1 == 27, "the open-argument suffix is 27 characters");

constexpr int kWritesPerBackup = 8;
constexpr char kMySiteUtf8[] = "my_site";

// A random version-4 GUID in lower case without braces.
std::string NewFolderId() {
  GUID guid{};
  if (RAND_bytes(reinterpret_cast<unsigned char*>(&guid), sizeof(guid)) != 1) {
    // The generator is not expected to fail; an identifier must still differ.
    for (size_t i = 0; i < sizeof(guid); ++i) reinterpret_cast<unsigned char*>(&guid)[i] = std::rand() & 0xFF;
  }
  guid.Data3 = static_cast<uint16_t>((guid.Data3 & 0x0FFF) | 0x4000);
  guid.Data4[0] = static_cast<uint8_t>((guid.Data4[0] & 0x3F) | 0x80);
  std::string text = WideToUtf8(GuidToString(guid));
  std::transform(text.begin(), text.end(), text.begin(), [](char c) { return c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c; });
  return text;
}

// Gives every top-level folder without "folderId" one. The caller's text
// stays as it is unless something was added.
std::u16string WithFolderIds(const std::u16string& text) {
  web::json::value tree = web::json::value::parse(WideToUtf8(text));
  web::json::array& items = tree.as_array();
  bool added = false;
  for (web::json::value& item : items) {
    if (!item.is_object() || !item.has_field("children") || item.has_field("folderId")) continue;
    item["folderId"] = web::json::value::string(NewFolderId());
    added = true;
  }
  return added ? Utf8ToWide(tree.serialize()) : text;
}

}  // namespace

RkQAStore::RkQAStore(const std::string& user_name, const fs::path& data_dir, RkBackupClock clock)
    : user_name_(user_name), data_dir_(data_dir) {
  std::error_code ec;
  if (!fs::is_directory(data_dir_, ec)) fs::create_directories(data_dir_, ec);
  const fs::path path = DataFilePath();
  backup_ = std::make_shared<RkDataBackup>(user_name, data_dir_.parent_path().u8string(), std::move(clock));
  if (fs::exists(path, ec)) {
    std::lock_guard<std::mutex> lock(backup_mutex_);
    backup_->BackupFile(kBackupKindQuickAccess, path.u8string(), true);
  }
  Storage();
}

std::shared_ptr<rkstorage::RkStorage> RkQAStore::Storage() {
  if (opened_.load(std::memory_order_acquire)) return kv_store_;
  std::lock_guard<std::mutex> lock(open_mutex_);
  if (opened_.load(std::memory_order_relaxed)) return kv_store_;
  // What kept it from opening (a missing folder, a file in the way, the
  // engine library) may have been mended since the last try.
  std::error_code ec;
  if (!fs::is_directory(data_dir_, ec)) fs::create_directories(data_dir_, ec);
  const std::string path = DataFilePath().u8string();
  auto storage = std::make_shared<rkstorage::RkStorage>(path, user_name_ + kQAOpenArgSuffix);
  if (!storage->Load()) {
    RkLogError("load data file error:{0}", path);
    return nullptr;
  }
  kv_store_ = std::move(storage);
  opened_.store(true, std::memory_order_release);
  return kv_store_;
}

RkQAStore::~RkQAStore() {
  // The writes since the last backup are saved while the database is still open.
  if (change_count_.load() % kWritesPerBackup != 0) BackupDataFile();
  kv_store_.reset();
  backup_.reset();
}

std::u16string RkQAStore::BytesToUnits(const std::vector<uint8_t>& bytes) {
  std::u16string units(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  return units;
}

std::u16string RkQAStore::StoredText(const std::vector<uint8_t>& bytes) {
  std::u16string text = BytesToUnits(bytes);
  while (!text.empty() && text.back() == u'\0') text.pop_back();
  return text;
}

std::vector<uint8_t> RkQAStore::TextToBytes(const std::u16string& text) {
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t unit : text) {
    bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  return bytes;
}

bool RkQAStore::GetSyncValue(const std::string& key, std::string* text) {
  text->clear();
  const std::shared_ptr<rkstorage::RkStorage> storage = Storage();
  if (!storage) return false;
  const bool tree = key == kMySiteUtf8;
  // Read before the text: a write that lands in between leaves the kept text
  // behind a version that is already out of date, never the other way round.
  rkstorage::RkStorage::Version version;
  if (tree) {
    if (!storage->ReadVersion(&version)) return false;
    std::lock_guard<std::mutex> lock(tree_mutex_);
    if (tree_ && tree_version_ == version) {
      *text = *tree_;
      return true;
    }
  }
  std::vector<uint8_t> bytes;
  bool found = false;
  if (!storage->Find(key, bytes, &found)) return false;
  if (!bytes.empty()) *text = WideToUtf8(StoredText(bytes));
  if (tree) {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    tree_ = std::make_shared<const std::string>(*text);
    tree_version_ = version;
  }
  return true;
}

bool RkQAStore::SetSyncValue(const std::u16string& key, const std::u16string& text) {
  const std::shared_ptr<rkstorage::RkStorage> storage = Storage();
  if (!storage) return false;
  const std::u16string value = key == kQAKeyMySite ? WithFolderIds(text) : text;
  if (!storage->Set(WideToUtf8(key), TextToBytes(value))) return false;
  if (txn_thread_.load() == std::this_thread::get_id()) {
    ++txn_writes_;
  } else {
    CountWrites(1);
  }
  return true;
}

bool RkQAStore::GetAllSyncValues(std::map<std::string, std::vector<uint8_t>>& out) {
  out.clear();
  const std::shared_ptr<rkstorage::RkStorage> storage = Storage();
  return storage && storage->GetAll(out);
}

void RkQAStore::CountWrites(int writes) {
  if (writes <= 0) return;
  const int before = change_count_.fetch_add(writes);
  // One backup however many multiples of 8 one commit passes: they would be
  // copies of the same file.
  if (before / kWritesPerBackup != (before + writes) / kWritesPerBackup) BackupDataFile();
}

void RkQAStore::BackupDataFile() {
  std::lock_guard<std::mutex> lock(backup_mutex_);
  std::error_code ec;
  const fs::path path = DataFilePath();
  if (backup_ && fs::exists(path, ec)) backup_->BackupFile(kBackupKindQuickAccess, path.u8string(), false);
}

RkQAStore::Transaction::Transaction(RkQAStore* store) : store_(store), storage_(store->Storage()) {
  if (!storage_) return;
  storage_->BeginTransaction();
  store_->txn_writes_ = 0;
  store_->txn_thread_ = std::this_thread::get_id();
}

RkQAStore::Transaction::~Transaction() {
  if (!storage_) return;
  store_->txn_thread_ = std::thread::id();
  store_->txn_writes_ = 0;
  // The store's version moves with it: a tree read inside is not served again.
  storage_->RollbackTransaction();
}

bool RkQAStore::Transaction::Commit() {
  if (!storage_) return false;
  const std::shared_ptr<rkstorage::RkStorage> storage = std::move(storage_);
  const int writes = store_->txn_writes_;
  store_->txn_writes_ = 0;
  store_->txn_thread_ = std::thread::id();
  if (storage->CommitTransaction() == -1) return false;
  store_->CountWrites(writes);
  return true;
}

}  // namespace rkservice
