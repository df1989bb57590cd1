#include "rk_storage.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#include "rk_logger.h"
#include "rkdb/rk_db_interface.h"
#include "storage/rk_db_library.h"

namespace rkservice {
namespace rkstorage {
namespace {

constexpr int32_t kFailed = -1;

struct TableSchema {
  const char* name;
  const char* create;
  const char* index;
};

constexpr TableSchema kTables[] = {
    {"storage", "CREATE TABLE storage(storage_key varchar(128),storage_text varchar,storage_binary varchar);",
     "CREATE INDEX storage_index ON storage(storage_key);"},
    {"storage_ts", "CREATE TABLE storage_ts(storage_key varchar(128),storage_value_timestamp int);",
     "CREATE INDEX storage_ts_index ON storage_ts(storage_key);"},
    {"storage_dirty",
     "CREATE TABLE storage_dirty(storage_key varchar(128),storage_value_timestamp int,storage_value_dirtytype "
     "varchar);",
     "CREATE INDEX storage_dirty_index ON storage_dirty(storage_key);"},
    {"storage_config", "CREATE TABLE storage_config(storage_key varchar(128),storage_text varchar);",
     "CREATE INDEX storage_config_index ON storage_config(storage_key);"},
    {"storage_nosync", "CREATE TABLE storage_nosync(storage_key varchar(128));",
     "CREATE INDEX storage_nosync_index ON storage_nosync(storage_key);"},
};

constexpr char kPragmaSync[] = "PRAGMA synchronous=off";
constexpr char kConfigTimestamp[] =
    "INSERT INTO storage_config(storage_key, storage_text) VALUES('storage_last_sync_timestamp', -1);";
constexpr char kConfigVersion[] =
    "INSERT INTO storage_config(storage_key, storage_text) VALUES('storage_last_sync_version', 0);";

constexpr char kSelectValue[] = "SELECT storage_binary FROM storage WHERE storage_key=?;";
// One row whether or not the key has one; beside min(rowid) the value is
// that of the key's first row, the one Get reads.
constexpr char kFindValue[] = "SELECT count(*), storage_binary, min(rowid) FROM storage WHERE storage_key=?;";
constexpr char kInsertValue[] = "INSERT INTO storage(storage_key,storage_binary) VALUES(?,?);";
constexpr char kInsertNoSync[] = "INSERT INTO storage_nosync(storage_key) VALUES(?);";
// Keys are always bound, never pasted into the statement text.
constexpr char kDeleteKey[] = "DELETE FROM storage WHERE storage_key =?";
constexpr char kDeleteNoSyncKey[] = "DELETE FROM storage_nosync WHERE storage_key =?";
constexpr char kDeleteAllSynced[] =
    "DELETE FROM storage WHERE storage_key NOT IN (SELECT storage_key FROM storage_nosync );";
constexpr char kClearNoSync[] = "DELETE FROM storage_nosync;";
constexpr char kSelectAll[] = "SELECT storage_key, storage_binary FROM storage";
// Moves when another connection commits; one step, no table read.
constexpr char kDataVersion[] = "PRAGMA data_version;";
constexpr char kBegin[] = "BEGIN";
constexpr char kCommit[] = "COMMIT";

// Releases a statement or a result when the operation leaves.
template <typename T>
class Scoped {
 public:
  explicit Scoped(T* object) : object_(object) {}
  ~Scoped() {
    if (object_ != nullptr) object_->Release();
  }
  Scoped(const Scoped&) = delete;
  Scoped& operator=(const Scoped&) = delete;
  T* operator->() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  T* object_;
};

// The engine takes NUL-terminated texts: a key with a NUL byte would name
// another key.
bool UsableKey(const std::string& key) {
  if (key.find('\0') == std::string::npos) return true;
  RkLogError("storage key with a NUL byte refused ({0} bytes)", key.size());
  return false;
}

bool UsableValue(const std::vector<uint8_t>& value) {
  if (value.size() <= static_cast<size_t>(std::numeric_limits<int32_t>::max())) return true;
  RkLogError("storage value too large: {0} bytes", value.size());
  return false;
}

// Runs one delete statement, with the key bound when there is one.
bool StepDelete(rkdb::RkDbObject* db, const char* sql, const std::string* key) {
  Scoped<rkdb::RkDbStatement> statement(db->Prepare(sql));
  if (statement && key != nullptr) statement->BindText(1, key->c_str());
  if (!statement || statement->Step() == kFailed) {
    RkLogError("sql error {0}, code {1}", sql, db->LastErrorCode());
    return false;
  }
  return true;
}

}  // namespace

// A transaction of one store operation. Inside a transaction that the calling
// thread opened with BeginTransaction it joins that one: it neither begins
// nor ends anything.
class RkStorage::OwnTransaction {
 public:
  explicit OwnTransaction(RkStorage* store)
      : db_(store->db_), own_(store->txn_owner_ != std::this_thread::get_id()) {}
  ~OwnTransaction() {
    if (begun_ && !ended_) db_->Rollback();
  }
  OwnTransaction(const OwnTransaction&) = delete;
  OwnTransaction& operator=(const OwnTransaction&) = delete;

  bool Begin() {
    if (!own_) return true;
    if (db_->Begin() == kFailed) {
      RkLogError("sql error:{0}, code {1}", kBegin, db_->LastErrorCode());
      return false;
    }
    begun_ = true;
    return true;
  }

  bool Commit() {
    if (!begun_) return true;
    ended_ = true;
    if (db_->Commit() == kFailed) {
      RkLogError("sql error:{0}, code {1}", kCommit, db_->LastErrorCode());
      db_->Rollback();
      return false;
    }
    return true;
  }

 private:
  rkdb::RkDbObject* db_;
  const bool own_;
  bool begun_ = false;
  bool ended_ = false;
};

RkStorage::RkStorage(const std::string& path, const std::string& open_arg) : path_(path), open_arg_(open_arg) {}

RkStorage::~RkStorage() {
  if (db_ != nullptr) {
    db_->Close();
    RkDbLibrary::CreateInstance()->DeleteDb(&db_);
    db_ = nullptr;
  }
  if (txn_owner_ == std::this_thread::get_id()) {
    txn_owner_ = std::thread::id();
    mutex_.unlock();
  }
}

bool RkStorage::IsModuleValid(bool create_tables) {
  if (opened_) {
    if (create_tables && !tables_created_) CheckTables();
    return true;
  }
  if (db_ == nullptr && !RkDbLibrary::CreateInstance()->CreateDb(&db_)) return false;
  if (db_ == nullptr || !db_->Open(path_.c_str(), open_arg_.c_str(), "1")) {
    RkLogError("can not open storage {0}", path_);
    return false;
  }
  db_->Exec(kPragmaSync);
  opened_ = true;
  if (create_tables) CheckTables();
  return true;
}

void RkStorage::CheckTables() {
  for (const char* name : {"storage", "storage_ts", "storage_dirty", "storage_config"}) {
    if (!db_->TableExists(name)) CreateTable(name);
  }
  db_->Exec(kConfigTimestamp);
  db_->Exec(kConfigVersion);
  if (!db_->TableExists("storage_nosync")) CreateTable("storage_nosync");
  tables_created_ = true;
}

void RkStorage::CreateTable(const char* name) {
  for (const TableSchema& table : kTables) {
    if (std::strcmp(table.name, name) != 0) continue;
    if (db_->Exec(table.create) != kFailed) db_->Exec(table.index);
    return;
  }
}

bool RkStorage::Load() {
  if (path_.empty() || open_arg_.empty()) return false;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++own_writes_;  // the table check may write
  return IsModuleValid(true);
}

void RkStorage::BeginTransaction() {
  std::unique_lock<std::recursive_mutex> lock(mutex_);
  if (txn_owner_ == std::this_thread::get_id()) {
    RkLogError("storage transaction already open on this thread: {0}", path_);
    return;
  }
  if (!IsModuleValid(true)) return;
  ++own_writes_;
  if (db_->Begin() == kFailed) RkLogError("sql error:{0}, code {1}", kBegin, db_->LastErrorCode());
  // The lock stays held by this thread until it commits or rolls back.
  txn_owner_ = std::this_thread::get_id();
  lock.release();
}

int RkStorage::CommitTransaction() { return EndTransaction(true); }

int RkStorage::RollbackTransaction() { return EndTransaction(false); }

int RkStorage::EndTransaction(bool commit) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!IsModuleValid(true)) return kFailed;
  // A rollback takes back what reads inside the transaction saw.
  ++own_writes_;
  const int result = commit ? db_->Commit() : db_->Rollback();
  if (commit && result == kFailed) {
    RkLogError("sql error:{0}, code {1}", kCommit, db_->LastErrorCode());
    db_->Rollback();
  }
  if (txn_owner_ == std::this_thread::get_id()) {
    txn_owner_ = std::thread::id();
    mutex_.unlock();
  }
  return result;
}

bool RkStorage::HasRow(const std::string& key, bool* has_row) {
  Scoped<rkdb::RkDbStatement> statement(db_->Prepare(kSelectValue));
  if (!statement) return false;
  statement->BindText(1, key.c_str());
  Scoped<rkdb::RkDbRows> rows(statement->Query());
  *has_row = static_cast<bool>(rows);
  return true;
}

bool RkStorage::Get(const std::string& key, std::vector<uint8_t>& value) {
  bool found = false;
  return Find(key, value, &found) && found;
}

bool RkStorage::Find(const std::string& key, std::vector<uint8_t>& value, bool* found) {
  value.clear();
  *found = false;
  if (!UsableKey(key)) return false;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!IsModuleValid(false)) return false;
  Scoped<rkdb::RkDbStatement> statement(db_->Prepare(kFindValue));
  if (!statement) return false;
  statement->BindText(1, key.c_str());
  // The count makes one row whether or not the key has one, so no result
  // means a failed read.
  Scoped<rkdb::RkDbRows> rows(statement->Query());
  if (!rows || rows->AtEnd()) return false;
  const char* count = rows->Text(0, nullptr);
  *found = count != nullptr && std::strcmp(count, "0") != 0;
  if (*found) {
    int32_t size = 0;
    const auto* bytes = static_cast<const uint8_t*>(rows->Blob(1, &size));
    if (bytes != nullptr && size > 0) value.assign(bytes, bytes + size);
  }
  return true;
}

// Replaces the key's rows by one; the caller holds the lock and a transaction.
bool RkStorage::WriteValue(const std::string& key, const std::vector<uint8_t>& value) {
  {
    Scoped<rkdb::RkDbStatement> remove(db_->Prepare(kDeleteKey));
    if (!remove) {
      RkLogError("sql error:{0}, code {1}", kDeleteKey, db_->LastErrorCode());
      return false;
    }
    remove->BindText(1, key.c_str());
    // A failed delete followed by the insert would leave two rows.
    if (remove->Step() == kFailed) {
      RkLogError("dml sql error: {0}, code {1}", kDeleteKey, db_->LastErrorCode());
      return false;
    }
  }
  Scoped<rkdb::RkDbStatement> insert(db_->Prepare(kInsertValue));
  if (!insert) {
    RkLogError("sql error:{0}, code {1}", kInsertValue, db_->LastErrorCode());
    return false;
  }
  insert->BindText(1, key.c_str());
  insert->BindBlob(2, value.data(), static_cast<int32_t>(value.size()));
  if (insert->Step() == kFailed) {
    RkLogError("dml sql error: {0}, code {1}", kInsertValue, db_->LastErrorCode());
    return false;
  }
  return true;
}

bool RkStorage::Set(const std::string& key, const std::vector<uint8_t>& value) {
  if (!UsableKey(key) || !UsableValue(value)) return false;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!IsModuleValid(false)) {
    RkLogError("!IsModuleValid");
    return false;
  }
  ++own_writes_;
  OwnTransaction txn(this);
  return txn.Begin() && WriteValue(key, value) && txn.Commit();
}

bool RkStorage::SetWithSync(const std::string& key, const std::vector<uint8_t>& value) {
  if (!UsableKey(key) || !UsableValue(value)) return false;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!IsModuleValid(false)) return false;
  ++own_writes_;
  OwnTransaction txn(this);
  if (!txn.Begin()) return false;
  bool has_row = false;
  if (!HasRow(key, &has_row)) {
    RkLogError("sql error:{0}, code {1}", kSelectValue, db_->LastErrorCode());
    return false;
  }
  if (!has_row) {
    Scoped<rkdb::RkDbStatement> insert(db_->Prepare(kInsertNoSync));
    if (!insert) {
      RkLogError("sql error:{0}, code {1}", kInsertNoSync, db_->LastErrorCode());
      return false;
    }
    insert->BindText(1, key.c_str());
    if (insert->Step() == kFailed) {
      RkLogError("dml sql error: {0}, code {1}", kInsertNoSync, db_->LastErrorCode());
      return false;
    }
  }
  return WriteValue(key, value) && txn.Commit();
}

bool RkStorage::DeleteWithSync(const std::string& key) {
  if (!UsableKey(key)) return false;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!IsModuleValid(false)) {
    RkLogError("!IsModuleValid");
    return false;
  }
  ++own_writes_;
  return StepDelete(db_, kDeleteNoSyncKey, &key) && StepDelete(db_, kDeleteKey, &key);
}

bool RkStorage::DeleteAllSynced() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!IsModuleValid(false)) {
    RkLogError("!IsModuleValid");
    return false;
  }
  ++own_writes_;
  return StepDelete(db_, kDeleteAllSynced, nullptr);
}

bool RkStorage::ClearNoSyncTable() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!IsModuleValid(false)) {
    RkLogError("!IsModuleValid");
    return false;
  }
  ++own_writes_;
  return StepDelete(db_, kClearNoSync, nullptr);
}

bool RkStorage::Delete(const std::string& key) {
  if (!UsableKey(key)) return false;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!IsModuleValid(false)) {
    RkLogError("!IsModuleValid");
    return false;
  }
  ++own_writes_;
  return StepDelete(db_, kDeleteKey, &key);
}

bool RkStorage::GetAll(std::map<std::string, std::vector<uint8_t>>& all) {
  all.clear();
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!IsModuleValid(false)) {
    RkLogError("!IsModuleValid");
    return false;
  }
  Scoped<rkdb::RkDbRows> rows(db_->Query(kSelectAll));
  if (!rows) {
    RkLogError("sql error{0}, code {1}", kSelectAll, db_->LastErrorCode());
    return false;
  }
  for (; !rows->AtEnd(); rows->Next()) {
    const char* key = rows->Text(0, nullptr);
    // Rows without a key are not the store's own.
    if (key == nullptr) continue;
    int32_t size = 0;
    const auto* bytes = static_cast<const uint8_t*>(rows->Blob(1, &size));
    std::vector<uint8_t> value;
    if (bytes != nullptr && size > 0) value.assign(bytes, bytes + size);
    // The first row of a key wins.
    all.emplace(key, std::move(value));
  }
  return true;
}

bool RkStorage::ReadVersion(Version* version) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!IsModuleValid(false)) return false;
  Scoped<rkdb::RkDbRows> rows(db_->Query(kDataVersion));
  if (!rows || rows->AtEnd()) return false;
  const char* text = rows->Text(0, nullptr);
  if (text == nullptr) return false;
  char* end = nullptr;
  const long long others = std::strtoll(text, &end, 10);
  if (end == text) return false;
  version->others = others;
  version->own = own_writes_;
  return true;
}

bool RkStorage::LocalItemChanged(const char16_t* key) {
  (void)key;
  return false;
}

}  // namespace rkstorage
}  // namespace rkservice
