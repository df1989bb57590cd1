// One user's quick-access data: texts under keys in the key-value database
// "QaConfig.dat" of the user's quick-access folder, kept as UTF-16LE bytes,
// with dated backups of the file when the store opens, after every 8th write
// and when it goes away.
#ifndef RKSERVICE_SRC_HANDLERS_RK_QA_STORE_H_
#define RKSERVICE_SRC_HANDLERS_RK_QA_STORE_H_

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "handlers/rk_data_backup.h"
#include "rk_storage.h"

namespace rkservice {

constexpr char16_t kQAKeyMySite[] = u"my_site";
constexpr char16_t kQAKeyVersion[] = u"version";

class RkQAStore {
 public:
  class Transaction;

  // Opens or makes the data file (and its folder); never fails: a store
  // whose database does not load fails its reads and writes, and each later
  // one tries to open it again. An empty clock is the system's.
  RkQAStore(const std::string& user_name, const std::filesystem::path& data_dir, RkBackupClock clock = {});
  ~RkQAStore();
  RkQAStore(const RkQAStore&) = delete;
  RkQAStore& operator=(const RkQAStore&) = delete;

  // The stored text as UTF-8 (empty when the key is absent or empty); false
  // when the store could not be read, which is never the same as no text.
  bool GetSyncValue(const std::string& key, std::string* text);
  // For "my_site" the text must be a JSON array (web::json::json_exception
  // otherwise, nothing stored); its top-level folders without "folderId" get
  // one. True when stored.
  bool SetSyncValue(const std::u16string& key, const std::u16string& text);
  // Every key with its stored bytes; false when the store cannot be read.
  bool GetAllSyncValues(std::map<std::string, std::vector<uint8_t>>& out);

  // Stored bytes as UTF-16 code units, low byte first; an odd last byte is dropped.
  static std::u16string BytesToUnits(const std::vector<uint8_t>& bytes);
  // The text a read gives: the units without their trailing NULs.
  static std::u16string StoredText(const std::vector<uint8_t>& bytes);
  static std::vector<uint8_t> TextToBytes(const std::u16string& text);

  std::filesystem::path DataFilePath() const { return data_dir_ / "QaConfig.dat"; }

 private:
  // The open database, opening it first when an earlier try failed; null
  // while it still cannot be opened.
  std::shared_ptr<rkstorage::RkStorage> Storage();
  // Successful writes count toward the next backup once they are committed.
  void CountWrites(int writes);
  void BackupDataFile();

  std::shared_ptr<RkDataBackup> backup_;
  // Set once, under open_mutex_, before opened_; not changed afterwards.
  std::shared_ptr<rkstorage::RkStorage> kv_store_;
  std::atomic<bool> opened_{false};
  std::mutex open_mutex_;
  std::string user_name_;
  std::filesystem::path data_dir_;
  std::atomic<int> change_count_{0};
  // The thread inside a Transaction, and its writes not yet committed.
  std::atomic<std::thread::id> txn_thread_{};
  int txn_writes_ = 0;
  std::mutex backup_mutex_;
  // The "my_site" text as last read, kept because the browser reads it far
  // more often than it writes it, and served again only while the file's
  // version is the one read before it.
  std::mutex tree_mutex_;
  std::shared_ptr<const std::string> tree_;
  rkstorage::RkStorage::Version tree_version_;
};

// Several writes as one: all of them or none. The writes run on the thread
// that made it; a backup that they earn is taken after the commit, never from
// a file in the middle of a transaction.
class RkQAStore::Transaction {
 public:
  explicit Transaction(RkQAStore* store);
  // Rolls back unless committed.
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  bool Commit();

 private:
  RkQAStore* store_;
  std::shared_ptr<rkstorage::RkStorage> storage_;
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_HANDLERS_RK_QA_STORE_H_
