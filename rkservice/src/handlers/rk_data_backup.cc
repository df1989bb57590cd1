#include "handlers/rk_data_backup.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "rk_logger.h"
#include "rk_utils.h"

namespace rkservice {

const RkBackupKind kBackupKinds[3] = {
    {0, "", "", 0, 0},
    {kBackupKindQuickAccess, "QuickAccess", "QA", 100, kBackupPrune},
    {kBackupKindTesselFill, "TesselFill", "TF", 100, kBackupPrune},
};

namespace {

namespace fs = std::filesystem;

constexpr size_t kCopiesPerDay = 6;
// Pruning goes on while this many below the limit, or more, are left.
constexpr int kPruneMargin = 10;
constexpr int64_t kNumberSpan = 1000000000;

bool KnownKind(int kind) { return kind == kBackupKindQuickAccess || kind == kBackupKindTesselFill; }

const char* Extension(const RkBackupKind& kind) {
  return (kind.flags & kBackupAltExtension) != 0 ? "rkbackupx" : "rkbackup";
}

// Leading decimal digits; 0 when there are none. Saturates instead of wrapping.
int64_t LeadingNumber(const std::string& text, size_t* digits = nullptr) {
  int64_t value = 0;
  size_t i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value < (kNumberSpan - 1) / 10 ? value * 10 + (text[i] - '0') : kNumberSpan - 1;
  }
  if (digits != nullptr) *digits = i;
  return value;
}

bool AllDigits(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Older copies first: "<short>-YYYY-MM-DD-N.<ext>" gives (date, N); any
// other name gives 0.
int64_t SortKey(const RkBackupKind& kind, const std::string& name) {
  const std::string prefix = std::string(kind.short_name) + "-";
  const std::string suffix = std::string(".") + Extension(kind);
  if (name.size() < prefix.size() + 12 + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return 0;
  }
  const std::string date = name.substr(prefix.size(), 10);
  const std::string number = name.substr(prefix.size() + 11, name.size() - suffix.size() - prefix.size() - 11);
  if (date[4] != '-' || date[7] != '-' || name[prefix.size() + 10] != '-' ||
      !AllDigits(date.substr(0, 4) + date.substr(5, 2) + date.substr(8, 2)) || !AllDigits(number)) {
    return 0;
  }
  const int64_t day = std::stoll(date.substr(0, 4) + date.substr(5, 2) + date.substr(8, 2));
  return day * kNumberSpan + LeadingNumber(number);
}

// Regular files of the folder (no subfolders) whose names pass `keep`, by name.
std::vector<fs::path> FilesByName(const fs::path& dir, const std::function<bool(const std::string&)>& keep) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code type_ec;
    if (!it->is_regular_file(type_ec)) continue;
    if (keep(it->path().filename().u8string())) files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

void RemoveFile(const std::string& path) {
  std::error_code ec;
  fs::remove(fs::u8path(path), ec);
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

RkBackupClock SystemBackupClock() {
  return [](RkLocalDate* today) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (now == static_cast<std::time_t>(-1) || localtime_r(&now, &local) == nullptr) return false;
    today->year = local.tm_year + 1900;
    today->month = local.tm_mon + 1;
    today->day = local.tm_mday;
    return true;
  };
}

bool WriteBytesToFile(const std::string& path, const void* data, size_t size) {
  const fs::path target = fs::u8path(path);
  // No date in the name: a leftover never counts as a copy of the day.
  std::string temp = (target.parent_path() / ".rkbackup-write-XXXXXX").string();
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return false;
  const bool written = WriteAll(fd, static_cast<const uint8_t*>(data), size) && ::fsync(fd) == 0;
  const bool closed = ::close(fd) == 0;
  if (!written || !closed || ::rename(temp.c_str(), target.c_str()) != 0) {
    const int error = errno;  // for the caller's log line
    ::unlink(temp.c_str());
    errno = error;
    return false;
  }
  return true;
}

RkDataBackup::RkDataBackup(const std::string& user_name, const std::string& base_dir, RkBackupClock clock)
    : user_name_(user_name), base_dir_(base_dir), clock_(clock ? std::move(clock) : SystemBackupClock()) {}

bool RkDataBackup::Today(std::string* date_text) {
  RkLocalDate today;
  if (!clock_(&today)) return false;
  char text[32];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02d", today.year, today.month, today.day);
  *date_text = text;
  return true;
}

fs::path RkDataBackup::GetBackupDir(int kind) {
  if (!KnownKind(kind)) return {};
  const fs::path dir = fs::u8path(base_dir_) / "Backups" / kBackupKinds[kind].folder;
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) fs::create_directories(dir, ec);
  return dir;
}

std::string RkDataBackup::MakeBackupPath(int kind, const std::string& stem) {
  std::string date;
  if (!KnownKind(kind) || !Today(&date)) return {};
  const fs::path dir = GetBackupDir(kind);
  if (dir.empty()) return {};
  const RkBackupKind& k = kBackupKinds[kind];
  return (dir / fs::u8path(std::string(k.short_name) + "-" + stem + "." + Extension(k))).u8string();
}

void RkDataBackup::ListBackups(int kind, std::list<RkBackupEntry>& out) {
  if (!KnownKind(kind)) return;
  const RkBackupKind& k = kBackupKinds[kind];
  const std::string suffix = std::string(".") + Extension(k);
  const auto has_extension = [&suffix](const std::string& name) {
    return name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
  };
  for (const fs::path& file : FilesByName(GetBackupDir(kind), has_extension)) {
    std::error_code ec;
    const uintmax_t size = fs::file_size(file, ec);
    if (ec) continue;
    out.push_back({file.u8string(), static_cast<int64_t>(size), SortKey(k, file.filename().u8string())});
  }
}

std::list<RkBackupEntry> RkDataBackup::PruneVictims(int kind) {
  std::list<RkBackupEntry> victims;
  const RkBackupKind& k = kBackupKinds[kind];
  if ((k.flags & kBackupPrune) == 0) return victims;
  std::list<RkBackupEntry> all;
  ListBackups(kind, all);
  all.sort([](const RkBackupEntry& a, const RkBackupEntry& b) { return a.sort_key < b.sort_key; });
  if (static_cast<int>(all.size()) <= k.limit) return victims;
  // Down to one below limit - 10: the new copy then makes limit - 10.
  while (!all.empty() && static_cast<int>(all.size()) >= k.limit - kPruneMargin) {
    victims.splice(victims.end(), all, all.begin());
  }
  return victims;
}

bool RkDataBackup::BackupFile(int kind, const std::string& path, bool once_per_day) {
  std::vector<uint8_t> bytes;
  // A copy of a file that cannot be read would be an empty backup.
  if (!ReadFileChunks(fs::u8path(path), bytes)) {
    RkLogError("backup of {0} failed: can not read it", path);
    return false;
  }
  return BackupBytes(kind, bytes.data(), bytes.size(), once_per_day);
}

bool RkDataBackup::BackupBytes(int kind, const uint8_t* data, size_t size, bool once_per_day) {
  if (!KnownKind(kind)) return false;
  std::string date;
  if (!Today(&date)) {
    RkLogError("backup failed: no local time");
    return false;
  }
  const fs::path dir = GetBackupDir(kind);
  std::vector<fs::path> today = FilesByName(dir, [&date](const std::string& name) {
    return name.find(date) != std::string::npos;
  });
  if (once_per_day && !today.empty()) return true;
  if (today.size() > kCopiesPerDay) today.resize(kCopiesPerDay);

  // The number comes from the file name only: a folder above that holds a
  // date must not take part.
  int64_t max = 1;
  int64_t min = -1;
  bool found = false;
  const std::string marker = date + "-";
  for (const fs::path& file : today) {
    const std::string name = file.filename().u8string();
    const size_t at = name.find(marker);
    const size_t dot = name.rfind('.');
    if (at == std::string::npos || dot == std::string::npos || at + marker.size() >= dot) continue;
    const int64_t number = LeadingNumber(name.substr(at + marker.size(), dot - at - marker.size()));
    max = std::max(max, number);
    if (min < 0 || number < min) min = number;
    found = true;
  }
  const int64_t next = found ? max + 1 : 1;
  const std::string new_path = MakeBackupPath(kind, date + "-" + std::to_string(next));
  if (new_path.empty()) {
    RkLogError("backup failed: no folder for kind {0}", kind);
    return false;
  }

  const std::list<RkBackupEntry> victims = PruneVictims(kind);
  if (!WriteBytesToFile(new_path, data, size)) {
    RkLogError("backup {0} failed: {1}", new_path, std::strerror(errno));
    return false;
  }
  for (const RkBackupEntry& victim : victims) {
    if (victim.path != new_path) RemoveFile(victim.path);
  }
  if (today.size() == kCopiesPerDay && found) {
    const std::string old_path = MakeBackupPath(kind, date + "-" + std::to_string(min));
    if (old_path != new_path) RemoveFile(old_path);
  }
  return true;
}

}  // namespace rkservice
