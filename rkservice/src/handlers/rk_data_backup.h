// Dated copies of a handler's data file in "Backups/<kind folder>" under the
// user's folder, named "<short name>-YYYY-MM-DD-N.<extension>" (local date, N
// counting up within the day). At most six remain per day, and a pruning kind
// drops its oldest copies once it holds more than its limit.
#ifndef RKSERVICE_SRC_HANDLERS_RK_DATA_BACKUP_H_
#define RKSERVICE_SRC_HANDLERS_RK_DATA_BACKUP_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <string>

namespace rkservice {

struct RkBackupKind {
  int id;
  const char* folder;      // under "Backups"
  const char* short_name;  // first part of every file name
  int limit;               // pruning starts above this many files
  int flags;
};

// Prune the kind's folder on every backup.
constexpr int kBackupPrune = 1;
// "rkbackupx" instead of "rkbackup".
constexpr int kBackupAltExtension = 2;

constexpr int kBackupKindQuickAccess = 1;
constexpr int kBackupKindTesselFill = 2;

// Indexed by kind; record 0 is a placeholder, only kinds 1 and 2 are accepted.
extern const RkBackupKind kBackupKinds[3];

struct RkBackupEntry {
  std::string path;  // UTF-8, full path
  int64_t size = 0;
  int64_t sort_key = 0;  // older copies sort first; 0 for names that are not a backup's
};

struct RkLocalDate {
  int year = 0;
  int month = 0;  // 1 to 12
  int day = 0;
};

// Today's local date; false when the local time cannot be had. A seam, so
// that tests can move the day.
using RkBackupClock = std::function<bool(RkLocalDate* today)>;
RkBackupClock SystemBackupClock();

// Holds no state between calls: the day's numbering and the list of copies
// are read from the folder every time. Takes no lock: the owner runs one
// backup of a kind at a time.
class RkDataBackup {
 public:
  // Both UTF-8; `base_dir` is the user's folder. An empty clock is the system's.
  RkDataBackup(const std::string& user_name, const std::string& base_dir, RkBackupClock clock = {});

  // Copies the file; false (and an error line) when it cannot be read or the
  // copy cannot be written.
  bool BackupFile(int kind, const std::string& path, bool once_per_day);
  // With `once_per_day`, a copy of today already there is enough (true,
  // nothing written). False for a kind other than 1 and 2, and when the copy
  // cannot be written; old copies are deleted only once the new one is in place.
  bool BackupBytes(int kind, const uint8_t* data, size_t size, bool once_per_day);

  // The kind's folder, made (parents included) when missing.
  std::filesystem::path GetBackupDir(int kind);
  // "<short name>-<stem>.<extension>" in that folder; empty when the local
  // time cannot be had or there is no folder.
  std::string MakeBackupPath(int kind, const std::string& stem);
  // One entry per backup file of the kind, sorted by name.
  void ListBackups(int kind, std::list<RkBackupEntry>& out);

 private:
  // The oldest copies that a backup of a pruning kind removes.
  std::list<RkBackupEntry> PruneVictims(int kind);
  bool Today(std::string* date_text);

  std::string user_name_;  // kept, not read
  std::string base_dir_;
  RkBackupClock clock_;
};

// Writes the bytes to a temporary file beside `path`, flushes it to disk and
// renames it over `path`: a reader never sees half a copy, and a failed write
// leaves what was at `path`. False on any failure.
bool WriteBytesToFile(const std::string& path, const void* data, size_t size);

}  // namespace rkservice

#endif  // RKSERVICE_SRC_HANDLERS_RK_DATA_BACKUP_H_
