// The engine library's contract: the table positions both sides compile
// against, and the real librkdb.so behaving as the store relies on.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "rk_storage_test_support.h"
#include "rkdb/rk_db_interface.h"

namespace {

using rkdb::RkDbObject;
using rkdb::RkDbRows;
using rkdb::RkDbStatement;

// On this ABI a pointer to a virtual member holds 1 + the byte offset of its
// table entry.
template <typename Pmf>
long SlotOf(Pmf pmf) {
  struct {
    uintptr_t ptr;
    ptrdiff_t adj;
  } rep;
  static_assert(sizeof(pmf) == sizeof(rep), "Itanium member pointer");
  std::memcpy(&rep, &pmf, sizeof(rep));
  if ((rep.ptr & 1) == 0) return -1;
  return static_cast<long>((rep.ptr - 1) / sizeof(void*));
}

TEST(RkDbInterface, OperationsKeepTheirTablePositions) {
  const struct {
    const char* name;
    long slot;
    long expected;
  } cases[] = {
      {"RkDbObject::Open", SlotOf(&RkDbObject::Open), 0},
      {"RkDbObject::TableExists", SlotOf(&RkDbObject::TableExists), 1},
      {"RkDbObject::Exec", SlotOf(&RkDbObject::Exec), 2},
      {"RkDbObject::Query", SlotOf(&RkDbObject::Query), 3},
      {"RkDbObject::Prepare", SlotOf(&RkDbObject::Prepare), 4},
      {"RkDbObject::Begin", SlotOf(&RkDbObject::Begin), 5},
      {"RkDbObject::Rollback", SlotOf(&RkDbObject::Rollback), 6},
      {"RkDbObject::Commit", SlotOf(&RkDbObject::Commit), 7},
      {"RkDbObject::Close", SlotOf(&RkDbObject::Close), 8},
      {"RkDbObject::LastErrorCode", SlotOf(&RkDbObject::LastErrorCode), 13},
      {"RkDbStatement::BindBlob", SlotOf(&RkDbStatement::BindBlob), 0},
      {"RkDbStatement::BindText", SlotOf(&RkDbStatement::BindText), 4},
      {"RkDbStatement::Step", SlotOf(&RkDbStatement::Step), 6},
      {"RkDbStatement::Query", SlotOf(&RkDbStatement::Query), 7},
      {"RkDbStatement::Release", SlotOf(&RkDbStatement::Release), 9},
      {"RkDbRows::Blob", SlotOf(&RkDbRows::Blob), 10},
      {"RkDbRows::Text", SlotOf(&RkDbRows::Text), 12},
      {"RkDbRows::Next", SlotOf(&RkDbRows::Next), 15},
      {"RkDbRows::AtEnd", SlotOf(&RkDbRows::AtEnd), 16},
      {"RkDbRows::Release", SlotOf(&RkDbRows::Release), 17},
  };
  for (const auto& c : cases) EXPECT_EQ(c.slot, c.expected) << c.name;
}

// The real library, loaded as the service loads it.
class RkDbEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string path = std::string(RK_OUTPUT_DIR) + "/librkdb.so";
    module_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module_, nullptr) << dlerror();
    create_ = reinterpret_cast<rkdb::RkDbCreateFn>(dlsym(module_, rkdb::kRkDbCreateName));
    destroy_ = reinterpret_cast<rkdb::RkDbDeleteFn>(dlsym(module_, rkdb::kRkDbDeleteName));
    ASSERT_NE(create_, nullptr);
    ASSERT_NE(destroy_, nullptr);
    ASSERT_TRUE(create_(&db_));
    ASSERT_TRUE(db_->Open(file_.c_str(), "open-arg", "1"));
    ASSERT_EQ(db_->Exec("PRAGMA synchronous=off"), 0);
    ASSERT_EQ(db_->Exec("CREATE TABLE t(k varchar, v varchar);"), 0);
  }
  void TearDown() override {
    if (db_ != nullptr) destroy_(&db_);
  }

  void Insert(const std::string& key, const void* data, int32_t size) {
    RkDbStatement* insert = db_->Prepare("INSERT INTO t(k, v) VALUES(?, ?);");
    ASSERT_NE(insert, nullptr);
    insert->BindText(1, key.c_str());
    insert->BindBlob(2, data, size);
    EXPECT_NE(insert->Step(), -1);
    insert->Release();
  }

  rktest::TempDir dir_;
  const std::string file_ = dir_.File("engine.db");
  void* module_ = nullptr;
  rkdb::RkDbCreateFn create_ = nullptr;
  rkdb::RkDbDeleteFn destroy_ = nullptr;
  RkDbObject* db_ = nullptr;
};

TEST_F(RkDbEngine, EmptyValueIsAnEmptyBlobNotNull) {
  Insert("empty", "", 0);
  Insert("null-pointer", nullptr, 0);
  const rktest::SqliteFile file(file_);
  EXPECT_EQ(file.Rows("SELECT k, typeof(v), length(v) FROM t ORDER BY k;"),
            (std::vector<std::vector<std::string>>{{"empty", "blob", "0"}, {"null-pointer", "blob", "0"}}));
}

TEST_F(RkDbEngine, TransactionsAndTheirHarmlessEnds) {
  EXPECT_EQ(db_->Commit(), 0);
  EXPECT_EQ(db_->Rollback(), 0);
  EXPECT_EQ(db_->Begin(), 0);
  Insert("gone", "x", 1);
  EXPECT_EQ(db_->Rollback(), 0);
  EXPECT_EQ(db_->Begin(), 0);
  Insert("kept", "y", 1);
  EXPECT_EQ(db_->Commit(), 0);
  EXPECT_EQ(db_->Commit(), 0);
  EXPECT_EQ(rktest::SqliteFile(file_).Rows("SELECT k FROM t;"), (std::vector<std::vector<std::string>>{{"kept"}}));
}

TEST_F(RkDbEngine, QueriesAndFailures) {
  // A database query with no match is a result at its end.
  RkDbRows* none = db_->Query("SELECT k FROM t;");
  ASSERT_NE(none, nullptr);
  EXPECT_TRUE(none->AtEnd());
  none->Release();

  // A statement that yields no row gives no result object.
  RkDbStatement* select = db_->Prepare("SELECT v FROM t WHERE k=?;");
  ASSERT_NE(select, nullptr);
  select->BindText(1, "missing");
  EXPECT_EQ(select->Query(), nullptr);
  select->Release();

  EXPECT_EQ(db_->Prepare("SELECT nothing FROM nowhere;"), nullptr);
  EXPECT_NE(db_->LastErrorCode(), 0);
  EXPECT_EQ(db_->Query("NOT SQL"), nullptr);
  EXPECT_EQ(db_->Exec("NOT SQL"), -1);
  EXPECT_TRUE(db_->TableExists("t"));
  EXPECT_FALSE(db_->TableExists("u"));
}

TEST_F(RkDbEngine, ReleasingRowsKeepsTheStatementAndPointersStayUntilTheNextRow) {
  const std::string blob("a\0b", 3);
  Insert("k1", blob.data(), 3);
  Insert("k2", "second", 6);

  RkDbStatement* select = db_->Prepare("SELECT k, v FROM t WHERE k>=? ORDER BY k;");
  ASSERT_NE(select, nullptr);
  for (int round = 0; round < 2; ++round) {
    select->BindText(1, "k");
    RkDbRows* rows = select->Query();
    ASSERT_NE(rows, nullptr) << round;
    int32_t size = 0;
    const void* bytes = rows->Blob(1, &size);
    const char* key = rows->Text(0, nullptr);
    // The text form of the blob column must not move the bytes handed out.
    const char* as_text = rows->Text(1, nullptr);
    ASSERT_EQ(size, 3);
    EXPECT_EQ(std::string(static_cast<const char*>(bytes), size), blob);
    EXPECT_STREQ(key, "k1");
    EXPECT_STREQ(as_text, "a");
    rows->Next();
    ASSERT_FALSE(rows->AtEnd());
    EXPECT_STREQ(rows->Text(0, nullptr), "k2");
    rows->Next();
    EXPECT_TRUE(rows->AtEnd());
    EXPECT_EQ(rows->Text(0, "default"), std::string("default"));
    EXPECT_EQ(rows->Blob(0, &size), nullptr);
    EXPECT_EQ(size, 0);
    // Released rows leave the statement usable for the next round.
    rows->Release();
  }
  select->Release();
}

TEST_F(RkDbEngine, OneObjectServesManyThreads) {
  constexpr int kThreads = 8;
  constexpr int kRows = 100;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t, &failures] {
      for (int i = 0; i < kRows; ++i) {
        const std::string key = std::to_string(t) + "-" + std::to_string(i);
        RkDbStatement* insert = db_->Prepare("INSERT INTO t(k, v) VALUES(?, ?);");
        if (insert == nullptr) {
          ++failures;
          continue;
        }
        insert->BindText(1, key.c_str());
        insert->BindBlob(2, key.data(), static_cast<int32_t>(key.size()));
        if (insert->Step() == -1) ++failures;
        insert->Release();

        RkDbStatement* select = db_->Prepare("SELECT v FROM t WHERE k=?;");
        if (select == nullptr) {
          ++failures;
          continue;
        }
        select->BindText(1, key.c_str());
        RkDbRows* rows = select->Query();
        int32_t size = 0;
        const void* bytes = rows != nullptr ? rows->Blob(0, &size) : nullptr;
        if (bytes == nullptr || std::string(static_cast<const char*>(bytes), size) != key) ++failures;
        if (rows != nullptr) rows->Release();
        select->Release();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(rktest::SqliteFile(file_).Value("SELECT count(DISTINCT k) FROM t;"), std::to_string(kThreads * kRows));
}

TEST_F(RkDbEngine, OpenRefusesWhatIsNotADatabaseAndLeavesItAlone) {
  const std::string junk = dir_.File("junk.db");
  const std::string text(8192, 'j');
  std::ofstream(junk, std::ios::binary) << text;
  RkDbObject* other = nullptr;
  ASSERT_TRUE(create_(&other));
  EXPECT_FALSE(other->Open(junk.c_str(), "open-arg", "1"));
  EXPECT_NE(other->LastErrorCode(), 0);
  EXPECT_EQ(other->Exec("CREATE TABLE x(a);"), -1);
  // Without "1" a missing file is not made.
  EXPECT_FALSE(other->Open(dir_.File("missing.db").c_str(), "open-arg", "0"));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("missing.db")));
  destroy_(&other);
  EXPECT_EQ(other, nullptr);
  std::ifstream in(junk, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), text);
}

TEST_F(RkDbEngine, FilesArePlainSqlite) {
  Insert("plain", "value", 5);
  db_->Close();
  const rktest::SqliteFile file(file_);
  ASSERT_TRUE(file.ok());
  EXPECT_EQ(file.Value("PRAGMA integrity_check;"), "ok");
  EXPECT_EQ(file.Value("SELECT v FROM t WHERE k='plain';"), "value");
  // And the sqlite3 tool opens them too.
  if (std::system("command -v sqlite3 >/dev/null 2>&1") == 0) {
    const std::string command = "sqlite3 '" + file_ + "' 'SELECT k FROM t;' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[256] = {0};
    const char* got = std::fgets(line, sizeof(line), pipe);
    pclose(pipe);
    EXPECT_STREQ(got, "plain\n");
  }
}

}  // namespace
