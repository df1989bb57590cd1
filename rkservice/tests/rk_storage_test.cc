// The key-value store against the real librkdb.so (it lies beside this test
// program, which is where the store looks for it), checked with SQLite itself.
#include "rk_storage.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "rk_storage_test_support.h"

namespace {

using rkservice::rkstorage::RkStorage;
using rktest::Bytes;
using rktest::Text;
using Rows = std::vector<std::vector<std::string>>;

class RkStorageTest : public ::testing::Test {
 protected:
  std::unique_ptr<RkStorage> NewStore() { return std::make_unique<RkStorage>(file_, "open-arg"); }

  rktest::TempDir dir_;
  const std::string file_ = dir_.File("store.dat");
};

TEST_F(RkStorageTest, LoadRefusesAnEmptyPathOrOpenArgument) {
  rktest::LogCapture log;
  EXPECT_FALSE(RkStorage("", "open-arg").Load());
  EXPECT_FALSE(RkStorage(file_, "").Load());
  EXPECT_FALSE(std::filesystem::exists(file_));
  EXPECT_TRUE(log.Texts().empty());
}

TEST_F(RkStorageTest, LoadMakesTheSchemaAndTwoConfigRowsPerFirstLoad) {
  ASSERT_TRUE(NewStore()->Load());
  {
    auto again = NewStore();
    ASSERT_TRUE(again->Load());
    // Only the first Load of an object checks the tables.
    ASSERT_TRUE(again->Load());
  }
  const rktest::SqliteFile file(file_);
  EXPECT_EQ(file.Rows("SELECT name, sql FROM sqlite_master ORDER BY name;"),
            (Rows{
                {"storage", "CREATE TABLE storage(storage_key varchar(128),storage_text varchar,storage_binary varchar)"},
                {"storage_config", "CREATE TABLE storage_config(storage_key varchar(128),storage_text varchar)"},
                {"storage_config_index", "CREATE INDEX storage_config_index ON storage_config(storage_key)"},
                {"storage_dirty",
                 "CREATE TABLE storage_dirty(storage_key varchar(128),storage_value_timestamp int,"
                 "storage_value_dirtytype varchar)"},
                {"storage_dirty_index", "CREATE INDEX storage_dirty_index ON storage_dirty(storage_key)"},
                {"storage_index", "CREATE INDEX storage_index ON storage(storage_key)"},
                {"storage_nosync", "CREATE TABLE storage_nosync(storage_key varchar(128))"},
                {"storage_nosync_index", "CREATE INDEX storage_nosync_index ON storage_nosync(storage_key)"},
                {"storage_ts", "CREATE TABLE storage_ts(storage_key varchar(128),storage_value_timestamp int)"},
                {"storage_ts_index", "CREATE INDEX storage_ts_index ON storage_ts(storage_key)"},
            }));
  EXPECT_EQ(file.Rows("SELECT storage_key, storage_text FROM storage_config ORDER BY rowid;"),
            (Rows{{"storage_last_sync_timestamp", "-1"},
                  {"storage_last_sync_version", "0"},
                  {"storage_last_sync_timestamp", "-1"},
                  {"storage_last_sync_version", "0"}}));
}

// Each case runs on a new file, then checks the file with SQLite.
TEST_F(RkStorageTest, Operations) {
  const struct {
    const char* name;
    std::function<void(RkStorage&)> run;
    // storage rows (key, typeof(storage_binary), storage_binary) by key, then storage_nosync keys
    Rows storage;
    Rows nosync;
  } cases[] = {
      {"set twice keeps one row with the last value",
       [](RkStorage& s) {
         EXPECT_TRUE(s.Set("k", Bytes("a")));
         EXPECT_TRUE(s.Set("k", Bytes("b")));
         std::vector<uint8_t> v;
         EXPECT_TRUE(s.Get("k", v));
         EXPECT_EQ(Text(v), "b");
       },
       {{"k", "blob", "b"}},
       {}},
      {"an empty value is an empty blob and reads back",
       [](RkStorage& s) {
         EXPECT_TRUE(s.Set("k", {}));
         std::vector<uint8_t> v = Bytes("junk");
         EXPECT_TRUE(s.Get("k", v));
         EXPECT_TRUE(v.empty());
       },
       {{"k", "blob", ""}},
       {}},
      {"get of a missing key is false and clears the value",
       [](RkStorage& s) {
         std::vector<uint8_t> v = Bytes("junk");
         EXPECT_FALSE(s.Get("missing", v));
         EXPECT_TRUE(v.empty());
       },
       {},
       {}},
      {"set with sync records new keys only",
       [](RkStorage& s) {
         EXPECT_TRUE(s.Set("old", Bytes("1")));
         EXPECT_TRUE(s.SetWithSync("old", Bytes("2")));
         EXPECT_TRUE(s.SetWithSync("new", Bytes("3")));
         EXPECT_TRUE(s.SetWithSync("new", Bytes("4")));
       },
       {{"new", "blob", "4"}, {"old", "blob", "2"}},
       {{"new"}}},
      {"delete all synced keeps unsynchronised keys",
       [](RkStorage& s) {
         EXPECT_TRUE(s.SetWithSync("k1", Bytes("1")));
         EXPECT_TRUE(s.Set("k2", Bytes("2")));
         EXPECT_TRUE(s.DeleteAllSynced());
       },
       {{"k1", "blob", "1"}},
       {{"k1"}}},
      {"after clearing the record every key is synced",
       [](RkStorage& s) {
         EXPECT_TRUE(s.SetWithSync("k1", Bytes("1")));
         EXPECT_TRUE(s.Set("k2", Bytes("2")));
         EXPECT_TRUE(s.ClearNoSyncTable());
         EXPECT_TRUE(s.DeleteAllSynced());
       },
       {},
       {}},
      {"delete with sync removes the key and its record",
       [](RkStorage& s) {
         EXPECT_TRUE(s.SetWithSync("k1", Bytes("1")));
         EXPECT_TRUE(s.SetWithSync("k2", Bytes("2")));
         EXPECT_TRUE(s.DeleteWithSync("k1"));
         EXPECT_TRUE(s.DeleteWithSync("never"));
       },
       {{"k2", "blob", "2"}},
       {{"k2"}}},
      {"delete of a missing key succeeds",
       [](RkStorage& s) {
         EXPECT_TRUE(s.SetWithSync("k1", Bytes("1")));
         EXPECT_TRUE(s.Set("k2", Bytes("2")));
         EXPECT_TRUE(s.Delete("k1"));
         EXPECT_TRUE(s.Delete("missing"));
       },
       {{"k2", "blob", "2"}},
       {{"k1"}}},
      {"get all is ordered byte-wise and empty on an empty table",
       [](RkStorage& s) {
         std::map<std::string, std::vector<uint8_t>> all = {{"junk", {}}};
         EXPECT_TRUE(s.GetAll(all));
         EXPECT_TRUE(all.empty());
         for (const char* key : {"b", "\xC3\xA9", "B", "a", ""}) EXPECT_TRUE(s.Set(key, Bytes(key)));
         EXPECT_TRUE(s.GetAll(all));
         std::vector<std::string> keys;
         for (const auto& entry : all) {
           keys.push_back(entry.first);
           EXPECT_EQ(Text(entry.second), entry.first);
         }
         EXPECT_EQ(keys, (std::vector<std::string>{"", "B", "a", "b", "\xC3\xA9"}));
       },
       {{"", "blob", ""}, {"B", "blob", "B"}, {"a", "blob", "a"}, {"b", "blob", "b"}, {"\xC3\xA9", "blob", "\xC3\xA9"}},
       {}},
      {"a transaction's sets are rolled back with it",
       [](RkStorage& s) {
         EXPECT_TRUE(s.Set("kept", Bytes("1")));
         s.BeginTransaction();
         EXPECT_TRUE(s.Set("kept", Bytes("2")));
         EXPECT_TRUE(s.SetWithSync("gone", Bytes("3")));
         EXPECT_EQ(s.RollbackTransaction(), 0);
         s.BeginTransaction();
         EXPECT_TRUE(s.Set("committed", Bytes("4")));
         EXPECT_EQ(s.CommitTransaction(), 0);
         // Ending without a transaction is harmless.
         EXPECT_EQ(s.CommitTransaction(), 0);
         EXPECT_EQ(s.RollbackTransaction(), 0);
       },
       {{"committed", "blob", "4"}, {"kept", "blob", "1"}},
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(file_);
    {
      auto store = NewStore();
      ASSERT_TRUE(store->Load());
      c.run(*store);
    }
    const rktest::SqliteFile file(file_);
    EXPECT_EQ(file.Rows("SELECT storage_key, typeof(storage_binary), storage_binary FROM storage ORDER BY storage_key;"),
              c.storage);
    EXPECT_EQ(file.Rows("SELECT storage_key FROM storage_nosync ORDER BY storage_key;"), c.nosync);
  }
}

TEST_F(RkStorageTest, HostileKeysTouchOnlyTheirOwnRows) {
  const std::string hostile[] = {
      "\"",
      "a\" OR \"1\"=\"1",
      "storage_key",
      "'",
      "\"; DROP TABLE storage; --",
      "%",
      "?",
      std::string(100000, 'L'),
      "\xFF\xFE\x80 not utf-8 \xC3",
  };
  auto store = NewStore();
  ASSERT_TRUE(store->Load());
  const std::vector<std::string> bystanders = {"a", "b", "storage_text", "\"\""};
  for (const std::string& key : bystanders) ASSERT_TRUE(store->SetWithSync(key, Bytes("by " + key)));

  for (const std::string& key : hostile) {
    SCOPED_TRACE(key.substr(0, 40));
    ASSERT_TRUE(store->SetWithSync(key, Bytes("v1 " + key)));
    ASSERT_TRUE(store->Set(key, Bytes("v2 " + key)));
    std::vector<uint8_t> value;
    ASSERT_TRUE(store->Get(key, value));
    EXPECT_EQ(Text(value), "v2 " + key);
    {
      const rktest::SqliteFile file(file_);
      EXPECT_EQ(file.Value("SELECT count(*) FROM storage WHERE storage_key=?;", {key}), "1");
      EXPECT_EQ(file.Value("SELECT count(*) FROM storage_nosync WHERE storage_key=?;", {key}), "1");
      EXPECT_EQ(file.Value("SELECT storage_binary FROM storage WHERE storage_key=?;", {key}), "v2 " + key);
    }
    ASSERT_TRUE(store->DeleteWithSync(key));
    EXPECT_FALSE(store->Get(key, value));
    ASSERT_TRUE(store->Set(key, Bytes("v3")));
    ASSERT_TRUE(store->Delete(key));
    EXPECT_FALSE(store->Get(key, value));

    std::map<std::string, std::vector<uint8_t>> all;
    ASSERT_TRUE(store->GetAll(all));
    ASSERT_EQ(all.size(), bystanders.size());
    for (const std::string& by : bystanders) EXPECT_EQ(Text(all[by]), "by " + by);
    const rktest::SqliteFile file(file_);
    EXPECT_EQ(file.Value("SELECT count(*) FROM storage_nosync;"), std::to_string(bystanders.size()));
  }
}

TEST_F(RkStorageTest, KeysWithNulBytesAreRefused) {
  auto store = NewStore();
  ASSERT_TRUE(store->Load());
  ASSERT_TRUE(store->Set("a", Bytes("keep")));
  rktest::LogCapture log;
  const std::string key("a\0b", 3);
  std::vector<uint8_t> value;
  EXPECT_FALSE(store->Set(key, Bytes("x")));
  EXPECT_FALSE(store->SetWithSync(key, Bytes("x")));
  EXPECT_FALSE(store->Get(key, value));
  EXPECT_FALSE(store->Delete(key));
  EXPECT_FALSE(store->DeleteWithSync(key));
  EXPECT_EQ(log.Count("storage key with a NUL byte refused"), 5u);
  ASSERT_TRUE(store->Get("a", value));
  EXPECT_EQ(Text(value), "keep");
  const rktest::SqliteFile file(file_);
  EXPECT_EQ(file.Value("SELECT count(*) FROM storage;"), "1");
  EXPECT_EQ(file.Value("SELECT count(*) FROM storage_nosync;"), "0");
}

TEST_F(RkStorageTest, AnotherThreadWaitsForTheTransactionToEnd) {
  auto store = NewStore();
  ASSERT_TRUE(store->Load());
  store->BeginTransaction();
  ASSERT_TRUE(store->Set("inside", Bytes("1")));
  std::atomic<bool> ended{false};
  std::atomic<bool> saw_end_first{false};
  auto other = std::async(std::launch::async, [&] {
    const bool set = store->Set("outside", Bytes("2"));
    saw_end_first = ended.load();
    return set;
  });
  EXPECT_EQ(other.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  ended = true;
  EXPECT_EQ(store->RollbackTransaction(), 0);
  EXPECT_TRUE(other.get());
  EXPECT_TRUE(saw_end_first.load());
  const rktest::SqliteFile file(file_);
  EXPECT_EQ(file.Rows("SELECT storage_key FROM storage;"), (Rows{{"outside"}}));
}

// The commit needs the file to grow; a file size limit makes it fail.
TEST_F(RkStorageTest, AFailedCommitIsReportedAndLosesNothing) {
  auto store = NewStore();
  ASSERT_TRUE(store->Load());
  ASSERT_TRUE(store->Set("k", Bytes("old")));
  rktest::LogCapture log;
  signal(SIGXFSZ, SIG_IGN);
  rlimit old_limit;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  rlimit limit = old_limit;
  limit.rlim_cur = std::filesystem::file_size(file_);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  const std::vector<uint8_t> big(256 * 1024, 'x');
  const bool set = store->Set("k", big);
  const bool set_with_sync = store->SetWithSync("other", big);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old_limit), 0);
  EXPECT_FALSE(set);
  EXPECT_FALSE(set_with_sync);
  EXPECT_GE(log.Count("sql error:COMMIT, code "), 2u);

  std::vector<uint8_t> value;
  ASSERT_TRUE(store->Get("k", value));
  EXPECT_EQ(Text(value), "old");
  EXPECT_FALSE(store->Get("other", value));
  // No transaction is left open behind the failure.
  EXPECT_TRUE(store->Set("k", Bytes("new")));
  const rktest::SqliteFile file(file_);
  EXPECT_EQ(file.Rows("SELECT storage_key, storage_binary FROM storage;"), (Rows{{"k", "new"}}));
  EXPECT_EQ(file.Value("SELECT count(*) FROM storage_nosync;"), "0");
  EXPECT_EQ(file.Value("PRAGMA integrity_check;"), "ok");
}

// 16 threads mix writes, reads and deletes on one store: each owns a set of
// keys whose expected state it tracks, and all share a few contended keys.
TEST_F(RkStorageTest, SixteenThreadsLoseNoWriteAndDuplicateNoRow) {
  constexpr int kThreads = 16;
  constexpr int kOwnKeys = 12;
  // Each thread does at least this many operations however slow the machine
  // is; a fast one goes on for the whole time.
  constexpr long kMinOperations = 150;
  const std::vector<std::string> shared = {"shared-0", "shared-1", "shared-2"};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  auto store = NewStore();
  ASSERT_TRUE(store->Load());

  struct KeyState {
    bool exists = false;
    bool in_nosync = false;
    std::string value;
  };
  std::vector<std::map<std::string, KeyState>> expected(kThreads);
  std::atomic<int> failures{0};
  std::atomic<long> operations{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(t);
      auto& mine = expected[t];
      for (long n = 0; n < kMinOperations || std::chrono::steady_clock::now() < deadline; ++n) {
        const std::string key = "t" + std::to_string(t) + "-" + std::to_string(random() % kOwnKeys);
        KeyState& state = mine[key];
        const std::string value = key + "#" + std::to_string(n) + std::string(random() % 300, 'v');
        std::vector<uint8_t> read;
        switch (random() % 5) {
          case 0:
            if (!store->Set(key, Bytes(value))) ++failures;
            state.exists = true;
            state.value = value;
            break;
          case 1:
            if (!store->SetWithSync(key, Bytes(value))) ++failures;
            if (!state.exists) state.in_nosync = true;
            state.exists = true;
            state.value = value;
            break;
          case 2:
            if (store->Get(key, read) != state.exists || (state.exists && Text(read) != state.value)) ++failures;
            break;
          case 3:
            if (!store->DeleteWithSync(key)) ++failures;
            state = KeyState();
            break;
          default: {
            const std::string& contended = shared[random() % shared.size()];
            if (!store->Set(contended, Bytes(contended + "@" + std::to_string(t)))) ++failures;
            break;
          }
        }
        ++operations;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GE(operations.load(), kThreads * kMinOperations);

  std::map<std::string, std::string> want;
  std::set<std::string> want_nosync;
  for (const auto& mine : expected) {
    for (const auto& entry : mine) {
      if (entry.second.exists) want[entry.first] = entry.second.value;
      if (entry.second.in_nosync) want_nosync.insert(entry.first);
    }
  }
  std::map<std::string, std::vector<uint8_t>> all;
  ASSERT_TRUE(store->GetAll(all));
  for (const std::string& key : shared) {
    ASSERT_EQ(all.count(key), 1u) << key;
    EXPECT_EQ(Text(all[key]).rfind(key + "@", 0), 0u) << key;
    all.erase(key);
  }
  std::map<std::string, std::string> got;
  for (const auto& entry : all) got[entry.first] = Text(entry.second);
  EXPECT_EQ(got, want);

  const rktest::SqliteFile file(file_);
  EXPECT_EQ(file.Rows("SELECT storage_key FROM storage GROUP BY storage_key HAVING count(*) > 1;"), Rows{});
  EXPECT_EQ(file.Rows("SELECT storage_key FROM storage_nosync GROUP BY storage_key HAVING count(*) > 1;"), Rows{});
  std::set<std::string> nosync;
  for (const auto& row : file.Rows("SELECT storage_key FROM storage_nosync;")) nosync.insert(row[0]);
  EXPECT_EQ(nosync, want_nosync);
}

// Two owners may open the same file; their transactions wait for each other
// instead of failing.
TEST_F(RkStorageTest, TwoStoresOnOneFileBothWrite) {
  auto first = NewStore();
  auto second = NewStore();
  ASSERT_TRUE(first->Load());
  ASSERT_TRUE(second->Load());
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    RkStorage* store = t % 2 == 0 ? first.get() : second.get();
    threads.emplace_back([store, t, &failures] {
      for (int i = 0; i < 150; ++i) {
        const std::string key = std::to_string(t) + "-" + std::to_string(i % 20);
        if (!store->SetWithSync(key, Bytes(key))) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  const rktest::SqliteFile file(file_);
  EXPECT_EQ(file.Value("SELECT count(*) FROM storage;"), "80");
  EXPECT_EQ(file.Value("SELECT count(DISTINCT storage_key) FROM storage_nosync;"), "80");
}

// An owner keeps what it read while the version stays the same: the version
// must move with every write that reaches the file, whoever commits it.
TEST_F(RkStorageTest, VersionMovesWithEveryWriteThroughAnyConnection) {
  auto mine = NewStore();
  auto other = NewStore();
  ASSERT_TRUE(mine->Load());
  ASSERT_TRUE(other->Load());
  RkStorage::Version last;
  ASSERT_TRUE(mine->ReadVersion(&last));
  const struct {
    const char* what;
    std::function<void()> run;
  } steps[] = {
      {"reads only", [&] {
         std::vector<uint8_t> value;
         mine->Get("k", value);
         std::map<std::string, std::vector<uint8_t>> all;
         mine->GetAll(all);
       }},
      {"another store sets", [&] { ASSERT_TRUE(other->Set("k", Bytes("1"))); }},
      {"another store deletes", [&] { ASSERT_TRUE(other->DeleteWithSync("k")); }},
      {"a plain connection commits", [&] {
         const rktest::SqliteFile file(file_);
         file.Rows("INSERT INTO storage(storage_key, storage_binary) VALUES('p', x'01');");
       }},
      {"this store sets", [&] { ASSERT_TRUE(mine->Set("k", Bytes("2"))); }},
      {"this store sets with sync", [&] { ASSERT_TRUE(mine->SetWithSync("n", Bytes("3"))); }},
      {"this store deletes", [&] { ASSERT_TRUE(mine->DeleteWithSync("n")); }},
      {"this store deletes the synced", [&] { ASSERT_TRUE(mine->DeleteAllSynced()); }},
      {"this store clears the record", [&] { ASSERT_TRUE(mine->ClearNoSyncTable()); }},
      {"this store rolls a write back", [&] {
         mine->BeginTransaction();
         ASSERT_TRUE(mine->Set("t", Bytes("4")));
         EXPECT_EQ(mine->RollbackTransaction(), 0);
       }},
  };
  for (const auto& step : steps) {
    step.run();
    RkStorage::Version now;
    ASSERT_TRUE(mine->ReadVersion(&now)) << step.what;
    // Only the first step writes nothing.
    if (&step == &steps[0]) {
      EXPECT_EQ(now, last) << step.what;
    } else {
      EXPECT_NE(now, last) << step.what;
    }
    last = now;
  }
}

// Find tells a key without a row from a read that failed; Get cannot.
TEST_F(RkStorageTest, FindTellsAMissingKeyFromAFailedRead) {
  auto store = NewStore();
  ASSERT_TRUE(store->Load());
  ASSERT_TRUE(store->Set("k", Bytes("v")));
  ASSERT_TRUE(store->Set("empty", {}));
  const struct {
    std::string key;
    bool found;
    std::string value;
  } cases[] = {{"k", true, "v"}, {"empty", true, ""}, {"missing", false, ""}};
  for (const auto& c : cases) {
    std::vector<uint8_t> value = Bytes("junk");
    bool found = !c.found;
    EXPECT_TRUE(store->Find(c.key, value, &found)) << c.key;
    EXPECT_EQ(found, c.found) << c.key;
    EXPECT_EQ(Text(value), c.value) << c.key;
  }

  // A file that cannot be opened: every read fails, none reads as missing.
  std::filesystem::create_directories(dir_.path() / "folder.dat");
  RkStorage broken(dir_.File("folder.dat"), "open-arg");
  std::vector<uint8_t> value;
  bool found = true;
  EXPECT_FALSE(broken.Find("k", value, &found));
  EXPECT_FALSE(found);
  RkStorage::Version version;
  EXPECT_FALSE(broken.ReadVersion(&version));
}

TEST_F(RkStorageTest, LocalItemChangedDoesNothing) {
  auto store = NewStore();
  EXPECT_FALSE(store->LocalItemChanged(u"key"));
  EXPECT_FALSE(std::filesystem::exists(file_));
}

TEST_F(RkStorageTest, AFileThatIsNotADatabaseIsNotOpenedNorChanged) {
  { std::ofstream(file_, std::ios::binary) << std::string(4096, 'z'); }
  rktest::LogCapture log;
  auto store = NewStore();
  EXPECT_FALSE(store->Load());
  EXPECT_FALSE(store->Set("k", Bytes("v")));
  EXPECT_EQ(log.Count("can not open storage " + file_), 2u);
  EXPECT_EQ(log.Count("!IsModuleValid"), 1u);
  EXPECT_EQ(std::filesystem::file_size(file_), 4096u);
}

}  // namespace
