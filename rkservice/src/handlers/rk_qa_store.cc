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
  const std::string open_arg = user_name + kQAOpenArgSuffix;
  std::error_code ec;
  if (!fs::is_directory(data_dir_, ec)) fs::create_directories(data_dir_, ec);
  const fs::path path = DataFilePath();
  backup_ = std::make_shared<RkDataBackup>(user_name, data_dir_.parent_path().u8string(), std::move(clock));
  if (fs::exists(path, ec)) {
    std::lock_guard<std::mutex> lock(backup_mutex_);
    backup_->BackupFile(kBackupKindQuickAccess, path.u8string(), true);
  }
  kv_store_ = std::make_shared<rkstorage::RkStorage>(path.u8string(), open_arg);
  if (!kv_store_->Load()) {
    RkLogError("load data file error:{0}", path.u8string());
    kv_store_.reset();
  }
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

std::string RkQAStore::GetSyncValue(const std::string& key) {
  if (!kv_store_) return {};
  const bool tree = key == kMySiteUtf8;
  uint64_t generation = 0;
  if (tree) {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    if (tree_) return *tree_;
    generation = tree_generation_;
  }
  std::vector<uint8_t> bytes;
  std::string text;
  if (kv_store_->Get(key, bytes) && !bytes.empty()) text = WideToUtf8(StoredText(bytes));
  // Not from inside a transaction: its writes may yet be rolled back.
  if (tree && txn_thread_.load() != std::this_thread::get_id()) {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    if (generation == tree_generation_) tree_ = std::make_shared<const std::string>(text);
  }
  return text;
}

void RkQAStore::ForgetTree() {
  std::lock_guard<std::mutex> lock(tree_mutex_);
  tree_.reset();
  ++tree_generation_;
}

bool RkQAStore::SetSyncValue(const std::u16string& key, const std::u16string& text) {
  if (!kv_store_) return false;
  const bool tree = key == kQAKeyMySite;
  const std::u16string value = tree ? WithFolderIds(text) : text;
  const bool stored = kv_store_->Set(WideToUtf8(key), TextToBytes(value));
  // After the write: a read that raced it cannot keep the old text.
  if (tree) ForgetTree();
  if (!stored) return false;
  if (txn_thread_.load() == std::this_thread::get_id()) {
    ++txn_writes_;
  } else {
    CountWrites(1);
  }
  return true;
}

bool RkQAStore::GetAllSyncValues(std::map<std::string, std::vector<uint8_t>>& out) {
  if (!kv_store_) return false;
  return kv_store_->GetAll(out);
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

RkQAStore::Transaction::Transaction(RkQAStore* store) : store_(store) {
  if (!store_->kv_store_) return;
  store_->kv_store_->BeginTransaction();
  store_->txn_writes_ = 0;
  store_->txn_thread_ = std::this_thread::get_id();
  open_ = true;
}

RkQAStore::Transaction::~Transaction() {
  if (!open_) return;
  store_->txn_thread_ = std::thread::id();
  store_->txn_writes_ = 0;
  store_->kv_store_->RollbackTransaction();
  store_->ForgetTree();
}

bool RkQAStore::Transaction::Commit() {
  if (!open_) return false;
  open_ = false;
  const int writes = store_->txn_writes_;
  store_->txn_writes_ = 0;
  store_->txn_thread_ = std::thread::id();
  if (store_->kv_store_->CommitTransaction() == -1) {
    store_->ForgetTree();  // rolled back
    return false;
  }
  store_->CountWrites(writes);
  return true;
}

}  // namespace rkservice
