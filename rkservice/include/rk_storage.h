// Key-value store in one database file: a key (UTF-8 text) maps to bytes.
// Beside the values it records the keys added locally and not synchronised
// yet ("storage_nosync"). The file is opened on the first operation; `Load`
// also makes the missing tables.
#ifndef RKSERVICE_INCLUDE_RK_STORAGE_H_
#define RKSERVICE_INCLUDE_RK_STORAGE_H_

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rkservice.h"

namespace rkdb {
class RkDbObject;
}

namespace rkservice {
namespace rkstorage {

// One store serialises its operations: each runs under the store's lock. A
// transaction (BeginTransaction to CommitTransaction or RollbackTransaction)
// holds that lock on the thread that began it, so other threads' operations
// wait for its end, while the owner's own operations join it: inside it, Set
// and SetWithSync neither begin nor end a transaction, and a false result
// leaves the decision to commit or roll back to the owner.
//
// Keys may not contain NUL bytes (the engine takes NUL-terminated texts);
// such keys are refused.
class RK_EXPORT RkStorage {
 public:
  RkStorage(const std::string& path, const std::string& open_arg);
  ~RkStorage();
  RkStorage(const RkStorage&) = delete;
  RkStorage& operator=(const RkStorage&) = delete;

  // Opens the database and makes the missing tables; false for an empty path
  // or open argument, or when the database cannot be opened.
  bool Load();

  void BeginTransaction();
  // The engine's result; -1 when the store cannot be opened or the commit
  // failed (the transaction is then rolled back).
  int CommitTransaction();
  int RollbackTransaction();

  // True exactly when the key has a row.
  bool Get(const std::string& key, std::vector<uint8_t>& value);
  // As Get, telling a missing key from a read that failed: false only when
  // the store could not be read; *found says whether the key has a row.
  bool Find(const std::string& key, std::vector<uint8_t>& value, bool* found);
  bool Set(const std::string& key, const std::vector<uint8_t>& value);
  // As Set, and records a key that had no row in storage_nosync, all in one
  // transaction.
  bool SetWithSync(const std::string& key, const std::vector<uint8_t>& value);
  bool DeleteWithSync(const std::string& key);
  // Deletes every key that storage_nosync does not hold.
  bool DeleteAllSynced();
  bool ClearNoSyncTable();
  bool Delete(const std::string& key);
  bool GetAll(std::map<std::string, std::vector<uint8_t>>& all);
  bool LocalItemChanged(const char16_t* key);

  // What an owner's copy of read data is checked against before it is used
  // again: two equal versions mean that no write was committed to the file
  // in between, through this store or through any other connection to it
  // (another store object, another process). Read it before the data it
  // guards. False when the file cannot be read now.
  struct Version {
    int64_t others = -1;  // the engine's count of other connections' commits
    uint64_t own = 0;     // this store's writes and transaction ends
    bool operator==(const Version& other) const { return others == other.others && own == other.own; }
    bool operator!=(const Version& other) const { return !(*this == other); }
  };
  bool ReadVersion(Version* version);

 private:
  class OwnTransaction;

  bool IsModuleValid(bool create_tables);
  void CheckTables();
  void CreateTable(const char* name);
  bool WriteValue(const std::string& key, const std::vector<uint8_t>& value);
  bool HasRow(const std::string& key, bool* has_row);
  int EndTransaction(bool commit);

  rkdb::RkDbObject* db_ = nullptr;
  std::string path_;
  std::string open_arg_;
  bool opened_ = false;
  bool tables_created_ = false;
  // The store's lock; recursive so that a transaction's owner can go on
  // calling the store while it holds it.
  std::recursive_mutex mutex_;
  // The thread whose BeginTransaction holds mutex_; read and written under it.
  std::thread::id txn_owner_;
  // Moved by every operation that may change the file, under mutex_: the
  // engine's count does not see this connection's own commits.
  uint64_t own_writes_ = 0;
};

}  // namespace rkstorage
}  // namespace rkservice

#endif  // RKSERVICE_INCLUDE_RK_STORAGE_H_
