// The SQL engine library over SQLite: a database object, its prepared
// statements and their results, laid out as rk_db_interface.h fixes. The files
// it writes are plain SQLite files.
#include <sqlite3.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "rk_db_interface.h"

namespace rkdb {
namespace {

constexpr int32_t kFailed = -1;
constexpr int32_t kOk = 0;
// Statements kept ready per SQL text once released.
constexpr size_t kCachedPerSql = 4;
// Another connection holding the write lock is waited for this long.
constexpr int kBusyTimeoutMs = 5000;

class SqliteDb;
class SqliteStatement;

// Holds the connection's own (recursive) mutex, so that an operation and the
// error code it leaves are read together even when other threads share the
// connection.
class ConnectionLock {
 public:
  explicit ConnectionLock(sqlite3* db) : mutex_(db != nullptr ? sqlite3_db_mutex(db) : nullptr) {
    if (mutex_ != nullptr) sqlite3_mutex_enter(mutex_);
  }
  ~ConnectionLock() {
    if (mutex_ != nullptr) sqlite3_mutex_leave(mutex_);
  }
  ConnectionLock(const ConnectionLock&) = delete;
  ConnectionLock& operator=(const ConnectionLock&) = delete;

 private:
  sqlite3_mutex* mutex_;
};

class SqliteRows final : public RkDbRows {
 public:
  explicit SqliteRows(SqliteStatement* owner) : owner_(owner) {}

  void Start(bool at_end, bool releases_statement);

  void Reserved0() override {}
  void Reserved1() override {}
  void Reserved2() override {}
  void Reserved3() override {}
  void Reserved4() override {}
  void Reserved5() override {}
  void Reserved6() override {}
  void Reserved7() override {}
  void Reserved8() override {}
  void Reserved9() override {}
  const void* Blob(int32_t column, int32_t* size) override;
  void Reserved11() override {}
  const char* Text(int32_t column, const char* default_text) override;
  void Reserved13() override {}
  void Reserved14() override {}
  void Next() override;
  bool AtEnd() override { return at_end_; }
  void Release() override;

 private:
  bool HasColumn(int32_t column) const;

  SqliteStatement* owner_;
  bool at_end_ = true;
  bool releases_statement_ = false;
  // Text forms of blob columns of the current row: asking SQLite for the text
  // of a blob could move the bytes a caller still holds.
  std::vector<std::string> text_copies_;
  std::vector<bool> copied_;
};

class SqliteStatement final : public RkDbStatement {
 public:
  SqliteStatement(SqliteDb* db, sqlite3_stmt* stmt, std::string sql)
      : db_(db), stmt_(stmt), sql_(std::move(sql)), rows_(this) {}
  ~SqliteStatement() { sqlite3_finalize(stmt_); }

  int32_t BindBlob(int32_t index, const void* data, int32_t size) override;
  void Reserved1() override {}
  void Reserved2() override {}
  void Reserved3() override {}
  int32_t BindText(int32_t index, const char* text) override;
  void Reserved5() override {}
  int32_t Step() override;
  RkDbRows* Query() override;
  void Reserved8() override {}
  void Release() override;

  // A result on the first row; null (after recording why) on failure.
  RkDbRows* OpenRows(bool releases_statement);
  // One sqlite3_step, recording a failure; the SQLite result code.
  int StepRaw();
  void Rewind();

  sqlite3_stmt* handle() const { return stmt_; }
  const std::string& sql() const { return sql_; }

 private:
  int32_t Bound(int rc);

  SqliteDb* db_;
  sqlite3_stmt* stmt_;
  const std::string sql_;
  SqliteRows rows_;
};

class SqliteDb final : public RkDbObject {
 public:
  SqliteDb() = default;
  ~SqliteDb() { Close(); }

  bool Open(const char* path, const char* open_arg, const char* mode) override;
  bool TableExists(const char* table) override;
  int32_t Exec(const char* sql) override;
  RkDbRows* Query(const char* sql) override;
  RkDbStatement* Prepare(const char* sql) override { return Acquire(sql); }
  // Takes the write lock at once: a deferred transaction that reads first
  // could meet another connection's writer and fail instead of waiting.
  int32_t Begin() override { return RunSimple("BEGIN IMMEDIATE;"); }
  int32_t Rollback() override { return EndTransaction("ROLLBACK;"); }
  int32_t Commit() override { return EndTransaction("COMMIT;"); }
  void Close() override;
  void Reserved9() override {}
  void Reserved10() override {}
  void Reserved11() override {}
  void Reserved12() override {}
  int32_t LastErrorCode() override { return last_error_.load(std::memory_order_relaxed); }

  sqlite3* handle() const { return db_; }
  // Records the connection's last error; the caller holds the ConnectionLock.
  void RecordError() { RecordError(db_ != nullptr ? sqlite3_extended_errcode(db_) : SQLITE_MISUSE); }
  void RecordError(int code) { last_error_.store(code, std::memory_order_relaxed); }
  void Recycle(SqliteStatement* statement);

 private:
  SqliteStatement* Acquire(const char* sql);
  int32_t RunSimple(const char* sql);
  int32_t EndTransaction(const char* sql);
  void DropCache();

  sqlite3* db_ = nullptr;
  std::atomic<int32_t> last_error_{0};
  std::mutex cache_mutex_;
  std::map<std::string, std::vector<SqliteStatement*>, std::less<>> cache_;
};

// --- SqliteRows ---

void SqliteRows::Start(bool at_end, bool releases_statement) {
  at_end_ = at_end;
  releases_statement_ = releases_statement;
  copied_.assign(copied_.size(), false);
}

bool SqliteRows::HasColumn(int32_t column) const {
  return !at_end_ && column >= 0 && column < sqlite3_column_count(owner_->handle());
}

const void* SqliteRows::Blob(int32_t column, int32_t* size) {
  int32_t bytes = 0;
  const void* data = nullptr;
  if (HasColumn(column)) {
    sqlite3_stmt* stmt = owner_->handle();
    switch (sqlite3_column_type(stmt, column)) {
      case SQLITE_NULL:
        break;
      case SQLITE_BLOB:
      case SQLITE_TEXT:
        data = sqlite3_column_blob(stmt, column);
        bytes = sqlite3_column_bytes(stmt, column);
        break;
      default:
        // Numbers are served through their text form, so Blob and Text of
        // one column hand out the same bytes.
        data = sqlite3_column_text(stmt, column);
        bytes = sqlite3_column_bytes(stmt, column);
        break;
    }
  }
  if (size != nullptr) *size = bytes;
  return data;
}

const char* SqliteRows::Text(int32_t column, const char* default_text) {
  if (!HasColumn(column)) return default_text;
  sqlite3_stmt* stmt = owner_->handle();
  switch (sqlite3_column_type(stmt, column)) {
    case SQLITE_NULL:
      return default_text;
    case SQLITE_BLOB: {
      if (text_copies_.size() <= static_cast<size_t>(column)) {
        text_copies_.resize(column + 1);
        copied_.resize(column + 1, false);
      }
      if (!copied_[column]) {
        const char* data = static_cast<const char*>(sqlite3_column_blob(stmt, column));
        const int bytes = sqlite3_column_bytes(stmt, column);
        text_copies_[column].assign(data != nullptr ? data : "", data != nullptr ? bytes : 0);
        copied_[column] = true;
      }
      return text_copies_[column].c_str();
    }
    default:
      return reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
  }
}

void SqliteRows::Next() {
  if (at_end_) return;
  at_end_ = owner_->StepRaw() != SQLITE_ROW;
  copied_.assign(copied_.size(), false);
}

void SqliteRows::Release() {
  at_end_ = true;
  if (releases_statement_) {
    owner_->Release();
  } else {
    // The statement stays usable; only the read it holds ends.
    owner_->Rewind();
  }
}

// --- SqliteStatement ---

int32_t SqliteStatement::Bound(int rc) {
  if (rc == SQLITE_OK) return kOk;
  ConnectionLock lock(db_->handle());
  db_->RecordError(rc);
  return kFailed;
}

int32_t SqliteStatement::BindBlob(int32_t index, const void* data, int32_t size) {
  Rewind();
  if (size < 0) return Bound(SQLITE_RANGE);
  // A null pointer would bind NULL; an empty value is an empty blob.
  if (size == 0 || data == nullptr) return Bound(sqlite3_bind_zeroblob(stmt_, index, 0));
  return Bound(sqlite3_bind_blob(stmt_, index, data, size, SQLITE_TRANSIENT));
}

int32_t SqliteStatement::BindText(int32_t index, const char* text) {
  Rewind();
  if (text == nullptr) return Bound(sqlite3_bind_null(stmt_, index));
  return Bound(sqlite3_bind_text(stmt_, index, text, -1, SQLITE_TRANSIENT));
}

int SqliteStatement::StepRaw() {
  ConnectionLock lock(db_->handle());
  const int rc = sqlite3_step(stmt_);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) db_->RecordError();
  return rc;
}

void SqliteStatement::Rewind() {
  if (sqlite3_stmt_busy(stmt_)) sqlite3_reset(stmt_);
}

int32_t SqliteStatement::Step() {
  const int rc = StepRaw();
  if (rc == SQLITE_ROW) return SQLITE_ROW;
  // Done or failed: make the statement ready to run again with its bindings.
  sqlite3_reset(stmt_);
  return rc == SQLITE_DONE ? SQLITE_DONE : kFailed;
}

RkDbRows* SqliteStatement::OpenRows(bool releases_statement) {
  Rewind();
  const int rc = StepRaw();
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    sqlite3_reset(stmt_);
    return nullptr;
  }
  rows_.Start(rc == SQLITE_DONE, releases_statement);
  return &rows_;
}

RkDbRows* SqliteStatement::Query() {
  RkDbRows* rows = OpenRows(false);
  if (rows != nullptr && rows->AtEnd()) {
    // No row: no result object.
    Rewind();
    return nullptr;
  }
  return rows;
}

void SqliteStatement::Release() { db_->Recycle(this); }

// --- SqliteDb ---

bool SqliteDb::Open(const char* path, const char* open_arg, const char* mode) {
  // The open argument names nothing for plain SQLite files; it is accepted
  // and not interpreted.
  (void)open_arg;
  Close();
  if (path == nullptr || *path == '\0') {
    RecordError(SQLITE_CANTOPEN);
    return false;
  }
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX;
  if (mode != nullptr && std::strcmp(mode, "1") == 0) flags |= SQLITE_OPEN_CREATE;
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path, &db, flags, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // SQLite opens lazily: read the schema now so that a file that is not a
    // database fails here and is left untouched.
    rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master;", nullptr, nullptr, nullptr);
  }
  if (rc != SQLITE_OK) {
    RecordError(db != nullptr ? sqlite3_extended_errcode(db) : rc);
    sqlite3_close_v2(db);
    return false;
  }
  db_ = db;
  return true;
}

void SqliteDb::DropCache() {
  std::map<std::string, std::vector<SqliteStatement*>, std::less<>> cache;
  {
    std::lock_guard<std::mutex> lock(cache_mutex_);
    cache.swap(cache_);
  }
  for (auto& entry : cache) {
    for (SqliteStatement* statement : entry.second) delete statement;
  }
}

void SqliteDb::Close() {
  if (db_ == nullptr) return;
  DropCache();
  // Statements still held by callers keep the connection alive until they
  // are released (close_v2 leaves it a zombie until then).
  sqlite3_close_v2(db_);
  db_ = nullptr;
}

SqliteStatement* SqliteDb::Acquire(const char* sql) {
  if (sql == nullptr) {
    RecordError(SQLITE_MISUSE);
    return nullptr;
  }
  {
    std::lock_guard<std::mutex> lock(cache_mutex_);
    auto it = cache_.find(std::string_view(sql));
    if (it != cache_.end() && !it->second.empty()) {
      SqliteStatement* statement = it->second.back();
      it->second.pop_back();
      return statement;
    }
  }
  if (db_ == nullptr) {
    RecordError(SQLITE_MISUSE);
    return nullptr;
  }
  ConnectionLock lock(db_);
  sqlite3_stmt* stmt = nullptr;
  const int rc = sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr);
  if (rc != SQLITE_OK || stmt == nullptr) {
    // An empty text prepares to no statement without an error.
    RecordError(rc != SQLITE_OK ? sqlite3_extended_errcode(db_) : SQLITE_MISUSE);
    return nullptr;
  }
  return new SqliteStatement(this, stmt, sql);
}

void SqliteDb::Recycle(SqliteStatement* statement) {
  sqlite3_reset(statement->handle());
  sqlite3_clear_bindings(statement->handle());
  // A statement of a connection closed since it was prepared is not kept.
  if (db_ != nullptr && sqlite3_db_handle(statement->handle()) == db_) {
    std::lock_guard<std::mutex> lock(cache_mutex_);
    auto it = cache_.find(std::string_view(statement->sql()));
    if (it == cache_.end()) it = cache_.emplace(statement->sql(), std::vector<SqliteStatement*>()).first;
    if (it->second.size() < kCachedPerSql) {
      it->second.push_back(statement);
      return;
    }
  }
  delete statement;
}

bool SqliteDb::TableExists(const char* table) {
  if (table == nullptr) return false;
  SqliteStatement* statement = Acquire("SELECT 1 FROM sqlite_master WHERE type='table' AND name=?;");
  if (statement == nullptr) return false;
  statement->BindText(1, table);
  const bool exists = statement->StepRaw() == SQLITE_ROW;
  statement->Release();
  return exists;
}

int32_t SqliteDb::Exec(const char* sql) {
  if (db_ == nullptr || sql == nullptr) {
    RecordError(SQLITE_MISUSE);
    return kFailed;
  }
  ConnectionLock lock(db_);
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
    RecordError();
    return kFailed;
  }
  return kOk;
}

RkDbRows* SqliteDb::Query(const char* sql) {
  SqliteStatement* statement = Acquire(sql);
  if (statement == nullptr) return nullptr;
  RkDbRows* rows = statement->OpenRows(true);
  if (rows == nullptr) statement->Release();
  return rows;
}

int32_t SqliteDb::RunSimple(const char* sql) {
  SqliteStatement* statement = Acquire(sql);
  if (statement == nullptr) return kFailed;
  const int32_t rc = statement->Step();
  statement->Release();
  return rc == kFailed ? kFailed : kOk;
}

int32_t SqliteDb::EndTransaction(const char* sql) {
  if (db_ == nullptr) {
    RecordError(SQLITE_MISUSE);
    return kFailed;
  }
  ConnectionLock lock(db_);
  // Without an open transaction there is nothing to end.
  if (sqlite3_get_autocommit(db_)) return kOk;
  return RunSimple(sql);
}

}  // namespace
}  // namespace rkdb

bool CreateRkDbObj2(rkdb::RkDbObject** db) {
  if (db == nullptr) return false;
  *db = new (std::nothrow) rkdb::SqliteDb();
  return *db != nullptr;
}

void DeleteRkDbObj2(rkdb::RkDbObject** db) {
  if (db == nullptr || *db == nullptr) return;
  delete static_cast<rkdb::SqliteDb*>(*db);
  *db = nullptr;
}
