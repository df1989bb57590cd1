// Dated backups and the quick-access store's backup rhythm, with a clock the
// test sets; the files are checked on disk.
#include <cpprest/json.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "handlers/rk_data_backup.h"
#include "handlers/rk_qa_store.h"
#include "rk_logger.h"
#include "rk_test_log.h"
#include "rkservice.h"

namespace rkservice {
namespace {

namespace fs = std::filesystem;

std::string ReadText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteText(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << text;
}

class Backups : public testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::path(testing::TempDir()) / ("rk_qa_backups_" + std::to_string(getpid()));
    fs::remove_all(base_);
    fs::create_directories(base_);
    log_ = base_ / "test.log";
    ASSERT_TRUE(RkServiceManager::GetInstance()->StartLogger(log_.string(), kRkLogTrace));
    user_ = base_ / "ann";
  }
  void TearDown() override { fs::remove_all(base_); }

  RkBackupClock Clock() {
    return [this](RkLocalDate* today) {
      *today = today_;
      return true;
    };
  }
  RkDataBackup Maker(const fs::path& user) { return RkDataBackup("ann", user.u8string(), Clock()); }
  fs::path QaDir(const fs::path& user) const { return user / "Backups" / "QuickAccess"; }
  fs::path QaDir() const { return QaDir(user_); }

  // File names in a folder (files only).
  static std::set<std::string> Names(const fs::path& dir) {
    std::set<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      if (it->is_regular_file()) names.insert(it->path().filename().string());
    }
    return names;
  }

  std::string Log() { return rktest::FlushedLog(log_); }

  fs::path base_;
  fs::path log_;
  fs::path user_;
  RkLocalDate today_{2024, 3, 5};
};

bool Backup(RkDataBackup& maker, const std::string& bytes, bool once_per_day = false, int kind = 1) {
  return maker.BackupBytes(kind, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), once_per_day);
}

TEST_F(Backups, NamesAndNumbersOverADayAndAcrossDays) {
  RkDataBackup maker = Maker(user_);
  EXPECT_FALSE(Backup(maker, "x", false, 0));
  EXPECT_FALSE(Backup(maker, "x", false, 3));
  EXPECT_FALSE(fs::exists(user_ / "Backups"));

  EXPECT_TRUE(Backup(maker, "one", true));
  EXPECT_TRUE(Backup(maker, "two"));
  EXPECT_TRUE(Backup(maker, "", true));  // a copy of today is there: nothing written
  EXPECT_TRUE(Backup(maker, ""));
  EXPECT_EQ(Names(QaDir()), (std::set<std::string>{"QA-2024-03-05-1.rkbackup", "QA-2024-03-05-2.rkbackup",
                                                    "QA-2024-03-05-3.rkbackup"}));
  EXPECT_EQ(ReadText(QaDir() / "QA-2024-03-05-1.rkbackup"), "one");
  EXPECT_EQ(ReadText(QaDir() / "QA-2024-03-05-2.rkbackup"), "two");
  EXPECT_EQ(ReadText(QaDir() / "QA-2024-03-05-3.rkbackup"), "");

  today_ = {2024, 12, 31};
  EXPECT_TRUE(Backup(maker, "new day", true));
  EXPECT_TRUE(Backup(maker, "tf", false, 2));
  EXPECT_EQ(ReadText(QaDir() / "QA-2024-12-31-1.rkbackup"), "new day");
  EXPECT_EQ(Names(user_ / "Backups" / "TesselFill"), std::set<std::string>{"TF-2024-12-31-1.rkbackup"});

  // Numbers as the names of the day give them.
  const struct {
    std::vector<std::string> present;
    std::string next;
  } cases[] = {
      {{"QA-2025-01-0{d}-0.rkbackup"}, "2"},                     // max starts at 1
      {{"QA-2025-01-0{d}-ab.rkbackup"}, "2"},                    // no digits read as 0
      {{"QA-2025-01-0{d}-.rkbackup"}, "1"},                      // no number at all takes no part
      {{"notes 2025-01-0{d}-9.txt"}, "10"},                      // any name holding the date counts
      {{"QA-2025-01-0{d}-2.rkbackup", "QA-2025-01-0{d}-1.rkbackup"}, "3"},
  };
  int day = 1;
  for (const auto& c : cases) {
    today_ = {2025, 1, day};
    for (std::string name : c.present) {
      name.replace(name.find("{d}"), 3, std::to_string(day));
      WriteText(QaDir() / name, "old");
    }
    EXPECT_TRUE(Backup(maker, "new"));
    const fs::path expected = QaDir() / ("QA-2025-01-0" + std::to_string(day) + "-" + c.next + ".rkbackup");
    EXPECT_EQ(ReadText(expected), "new") << expected;
    ++day;
  }
}

TEST_F(Backups, AtMostSixOfADayTheLowestNumberGoes) {
  RkDataBackup maker = Maker(user_);
  for (int i = 1; i <= 8; ++i) ASSERT_TRUE(Backup(maker, "copy " + std::to_string(i)));
  std::set<std::string> expected;
  for (int i = 3; i <= 8; ++i) expected.insert("QA-2024-03-05-" + std::to_string(i) + ".rkbackup");
  EXPECT_EQ(Names(QaDir()), expected);
  EXPECT_EQ(ReadText(QaDir() / "QA-2024-03-05-8.rkbackup"), "copy 8");
}

// 101 copies: day 2023-01-01 holds numbers 1 to 12, whose names sort -1,
// -10, -11, -12, -2, ...; the other 89 are of later days.
void MakeOldCopies(const fs::path& dir) {
  for (int n = 1; n <= 12; ++n) WriteText(dir / ("QA-2023-01-01-" + std::to_string(n) + ".rkbackup"), "old");
  for (int i = 0; i < 89; ++i) {
    char name[64];
    std::snprintf(name, sizeof(name), "QA-2023-%02d-%02d-%d.rkbackup", 2 + i / 28, 1 + i % 28, 1 + i % 3);
    WriteText(dir / name, "old");
  }
}

TEST_F(Backups, PruningDropsTheOldestByDateAndNumber) {
  MakeOldCopies(QaDir());
  WriteText(QaDir() / "keep.txt", "not a backup");
  std::set<std::string> before = Names(QaDir());
  ASSERT_EQ(before.size(), 102u);

  RkDataBackup maker = Maker(user_);
  ASSERT_TRUE(Backup(maker, "new"));
  std::set<std::string> expected = before;
  for (int n = 1; n <= 12; ++n) expected.erase("QA-2023-01-01-" + std::to_string(n) + ".rkbackup");
  expected.insert("QA-2024-03-05-1.rkbackup");
  EXPECT_EQ(Names(QaDir()), expected);  // 89 kept + the new one
  std::list<RkBackupEntry> listed;
  maker.ListBackups(1, listed);
  EXPECT_EQ(listed.size(), 90u);
}

TEST_F(Backups, AUserFolderNamedLikeADateTakesNoPartInTheNumbers) {
  const fs::path user = base_ / "2024-03-05-x";
  RkDataBackup maker = Maker(user);
  for (int i = 1; i <= 3; ++i) ASSERT_TRUE(Backup(maker, std::to_string(i)));
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(ReadText(QaDir(user) / ("QA-2024-03-05-" + std::to_string(i) + ".rkbackup")), std::to_string(i));
  }
}

TEST_F(Backups, AFailedWriteKeepsEveryOldCopy) {
  MakeOldCopies(QaDir());
  for (int n = 1; n <= 6; ++n) WriteText(QaDir() / ("QA-2024-03-05-" + std::to_string(n) + ".rkbackup"), "today");
  // The new copy's place is taken by a folder: it cannot be written.
  fs::create_directories(QaDir() / "QA-2024-03-05-7.rkbackup");
  const std::set<std::string> before = Names(QaDir());

  RkDataBackup maker = Maker(user_);
  EXPECT_FALSE(Backup(maker, "new"));
  EXPECT_EQ(Names(QaDir()), before);  // nothing pruned, nothing of today dropped, no leftover
  EXPECT_EQ(ReadText(QaDir() / "QA-2024-03-05-1.rkbackup"), "today");
  EXPECT_NE(Log().find("[error] backup " + (QaDir() / "QA-2024-03-05-7.rkbackup").string() + " failed"),
            std::string::npos);

  // A data file that cannot be read gives no backup at all.
  EXPECT_FALSE(maker.BackupFile(1, (base_ / "missing.dat").string(), false));
  EXPECT_EQ(Names(QaDir()), before);
  EXPECT_NE(Log().find("[error] backup of " + (base_ / "missing.dat").string() + " failed: can not read it"),
            std::string::npos);
}

class QaStoreBackups : public Backups {
 protected:
  std::unique_ptr<RkQAStore> Open() { return std::make_unique<RkQAStore>("ann", user_ / "QuickAccess", Clock()); }
  std::set<std::string> Copies() { return Names(QaDir()); }
  // The text of a read that must not fail.
  static std::string Read(RkQAStore& store, const std::string& key) {
    std::string text;
    EXPECT_TRUE(store.GetSyncValue(key, &text)) << key;
    return text;
  }
};

TEST_F(QaStoreBackups, AtOpenOnceADayEveryEighthWriteAndAtClose) {
  auto store = Open();  // no data file yet: no copy
  EXPECT_TRUE(Copies().empty());
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(store->SetSyncValue(u"k", u"v" + std::u16string(1, u'0' + i)));
  store.reset();  // three writes since the last copy
  EXPECT_EQ(Copies(), std::set<std::string>{"QA-2024-03-05-1.rkbackup"});
  EXPECT_EQ(ReadText(QaDir() / "QA-2024-03-05-1.rkbackup"), ReadText(user_ / "QuickAccess" / "QaConfig.dat"));

  store = Open();  // a copy of today exists
  store.reset();
  EXPECT_EQ(Copies().size(), 1u);

  today_ = {2024, 3, 6};
  store = Open();
  EXPECT_EQ(Copies().count("QA-2024-03-06-1.rkbackup"), 1u);
  // Refused writes do not count.
  EXPECT_THROW(store->SetSyncValue(u"my_site", u"{}"), web::json::json_exception);
  for (int i = 0; i < 7; ++i) ASSERT_TRUE(store->SetSyncValue(u"k", u"w" + std::u16string(1, u'0' + i)));
  EXPECT_EQ(Copies().count("QA-2024-03-06-2.rkbackup"), 0u);
  ASSERT_TRUE(store->SetSyncValue(u"k", u"eighth"));
  EXPECT_EQ(Copies().count("QA-2024-03-06-2.rkbackup"), 1u);
  store.reset();  // exactly eight: nothing left to save
  EXPECT_EQ(Copies().count("QA-2024-03-06-3.rkbackup"), 0u);
}

TEST_F(QaStoreBackups, ATransactionBacksUpOnceAfterItsCommitAndNotAfterRollback) {
  auto store = Open();
  {
    RkQAStore::Transaction transaction(store.get());
    for (int i = 0; i < 7; ++i) ASSERT_TRUE(store->SetSyncValue(u"r" + std::u16string(1, u'0' + i), u"x"));
  }  // rolled back: nothing counts
  EXPECT_EQ(Read(*store, "r0"), "");
  ASSERT_TRUE(store->SetSyncValue(u"k", u"1"));
  EXPECT_TRUE(Copies().empty());
  {
    RkQAStore::Transaction transaction(store.get());
    for (int i = 0; i < 17; ++i) ASSERT_TRUE(store->SetSyncValue(u"t" + std::u16string(1, u'a' + i), u"x"));
    EXPECT_TRUE(Copies().empty());  // never from the middle of a transaction
    ASSERT_TRUE(transaction.Commit());
  }
  // 18 writes passed 8 and 16: one copy, of the committed file.
  EXPECT_EQ(Copies(), std::set<std::string>{"QA-2024-03-05-1.rkbackup"});
  EXPECT_EQ(ReadText(QaDir() / "QA-2024-03-05-1.rkbackup"), ReadText(user_ / "QuickAccess" / "QaConfig.dat"));
}

TEST_F(QaStoreBackups, TextsReadBackWithoutTrailingNuls) {
  auto store = Open();
  ASSERT_TRUE(store->SetSyncValue(u"k", std::u16string(u"a\0b\0\0", 5)));
  EXPECT_EQ(Read(*store, "k"), std::string("a\0b", 3));
  ASSERT_TRUE(store->SetSyncValue(u"empty", u""));
  EXPECT_EQ(Read(*store, "empty"), "");
  ASSERT_TRUE(store->SetSyncValue(u"my_site", u"[]"));
  EXPECT_EQ(Read(*store, "my_site"), "[]");
  ASSERT_TRUE(store->SetSyncValue(u"my_site", u"[{\"children\":[]}]"));
  const std::string first = Read(*store, "my_site");
  ASSERT_TRUE(store->SetSyncValue(u"my_site", u"[{\"children\":[]}]"));
  EXPECT_NE(Read(*store, "my_site"), first);  // a new identifier each time
  ASSERT_TRUE(store->SetSyncValue(u"other", u"{not json"));
  EXPECT_EQ(Read(*store, "other"), "{not json");
}

// The tree is kept between reads; it must be what the file holds, whoever
// wrote it: another store on the file (another service over the same root,
// another process), or a transaction of this store that was rolled back.
TEST_F(QaStoreBackups, TreeReadsShowWhatTheFileHolds) {
  auto store = Open();
  auto other = Open();
  ASSERT_TRUE(store->SetSyncValue(u"my_site", u"[1]"));
  EXPECT_EQ(Read(*store, "my_site"), "[1]");
  EXPECT_EQ(Read(*other, "my_site"), "[1]");
  ASSERT_TRUE(other->SetSyncValue(u"my_site", u"[2]"));
  EXPECT_EQ(Read(*store, "my_site"), "[2]");
  ASSERT_TRUE(store->SetSyncValue(u"my_site", u"[3]"));
  EXPECT_EQ(Read(*other, "my_site"), "[3]");
  EXPECT_EQ(Read(*store, "my_site"), "[3]");
  {
    RkQAStore::Transaction transaction(store.get());
    ASSERT_TRUE(store->SetSyncValue(u"my_site", u"[4]"));
    EXPECT_EQ(Read(*store, "my_site"), "[4]");
  }
  EXPECT_EQ(Read(*store, "my_site"), "[3]");
  EXPECT_EQ(Read(*other, "my_site"), "[3]");
}

}  // namespace
}  // namespace rkservice
