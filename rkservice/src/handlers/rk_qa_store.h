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

namespace rkservice {

namespace rkstorage {
class RkStorage;
}

constexpr char16_t kQAKeyMySite[] = u"my_site";
constexpr char16_t kQAKeyVersion[] = u"version";

class RkQAStore {
 public:
  class Transaction;

  // Opens or makes the data file (and its folder); never fails: a store
  // whose database does not load answers reads with empty texts and writes
  // with false. An empty clock is the system's.
  RkQAStore(const std::string& user_name, const std::filesystem::path& data_dir, RkBackupClock clock = {});
  ~RkQAStore();
  RkQAStore(const RkQAStore&) = delete;
  RkQAStore& operator=(const RkQAStore&) = delete;

  bool HasDatabase() const { return kv_store_ != nullptr; }

  // The stored text as UTF-8; empty when the key is absent or empty.
  std::string GetSyncValue(const std::string& key);
  // For "my_site" the text must be a JSON array (web::json::json_exception
  // otherwise, nothing stored); its top-level folders without "folderId" get
  // one. True when stored.
  bool SetSyncValue(const std::u16string& key, const std::u16string& text);
  // Every key with its stored bytes; false without a database.
  bool GetAllSyncValues(std::map<std::string, std::vector<uint8_t>>& out);

  // Stored bytes as UTF-16 code units, low byte first; an odd last byte is dropped.
  static std::u16string BytesToUnits(const std::vector<uint8_t>& bytes);
  // The text a read gives: the units without their trailing NULs.
  static std::u16string StoredText(const std::vector<uint8_t>& bytes);
  static std::vector<uint8_t> TextToBytes(const std::u16string& text);

  std::filesystem::path DataFilePath() const { return data_dir_ / "QaConfig.dat"; }

 private:
  // Successful writes count toward the next backup once they are committed.
  void CountWrites(int writes);
  // Drops the kept tree text; a read that began before does not keep its text.
  void ForgetTree();
  void BackupDataFile();

  std::shared_ptr<RkDataBackup> backup_;
  std::shared_ptr<rkstorage::RkStorage> kv_store_;
  std::string user_name_;
  std::filesystem::path data_dir_;
  std::atomic<int> change_count_{0};
  // The thread inside a Transaction, and its writes not yet committed.
  std::atomic<std::thread::id> txn_thread_{};
  int txn_writes_ = 0;
  std::mutex backup_mutex_;
  // The "my_site" text as last read, kept because the browser reads it far
  // more often than it writes it; each write and rollback moves the generation.
  std::mutex tree_mutex_;
  std::shared_ptr<const std::string> tree_;
  uint64_t tree_generation_ = 0;
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
  bool open_ = false;
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_HANDLERS_RK_QA_STORE_H_
