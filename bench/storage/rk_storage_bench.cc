// Store benchmark: Set, SetWithSync, Get and GetAll of 1 KiB values over
// 10,000 keys, through RkStorage (the shipped librkservice.so over librkdb.so)
// and written directly against SQLite with prepared statements, the same
// schema, the same pragma and the same kind of transaction (BEGIN IMMEDIATE). Each operation is measured in several rounds,
// alternating the two sides; the best round of each side counts.
//
//   rk_storage_bench [keys] [rounds]
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "rk_storage.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Value = std::vector<uint8_t>;

constexpr size_t kValueBytes = 1024;
constexpr int kGetPasses = 3;
constexpr int kGetAllPasses = 10;

const char* const kSchema[] = {
    "CREATE TABLE storage(storage_key varchar(128),storage_text varchar,storage_binary varchar);",
    "CREATE INDEX storage_index ON storage(storage_key);",
    "CREATE TABLE storage_nosync(storage_key varchar(128));",
    "CREATE INDEX storage_nosync_index ON storage_nosync(storage_key);",
};

void Die(const std::string& what) {
  std::fprintf(stderr, "rk_storage_bench: %s\n", what.c_str());
  std::exit(1);
}

// The same operations written directly against SQLite.
class DirectStore {
 public:
  explicit DirectStore(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
      Die("cannot open " + path);
    }
    sqlite3_exec(db_, "PRAGMA synchronous=off", nullptr, nullptr, nullptr);
    for (const char* sql : kSchema) sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    begin_ = Prepare("BEGIN IMMEDIATE;");
    commit_ = Prepare("COMMIT;");
    select_ = Prepare("SELECT storage_binary FROM storage WHERE storage_key=?;");
    delete_ = Prepare("DELETE FROM storage WHERE storage_key =?");
    insert_ = Prepare("INSERT INTO storage(storage_key,storage_binary) VALUES(?,?);");
    insert_nosync_ = Prepare("INSERT INTO storage_nosync(storage_key) VALUES(?);");
    select_all_ = Prepare("SELECT storage_key, storage_binary FROM storage");
  }
  ~DirectStore() {
    for (sqlite3_stmt* stmt : {begin_, commit_, select_, delete_, insert_, insert_nosync_, select_all_}) {
      sqlite3_finalize(stmt);
    }
    sqlite3_close(db_);
  }

  bool Get(const std::string& key, Value& value) {
    value.clear();
    sqlite3_bind_text(select_, 1, key.c_str(), -1, SQLITE_TRANSIENT);
    const bool found = sqlite3_step(select_) == SQLITE_ROW;
    if (found) {
      const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(select_, 0));
      const int size = sqlite3_column_bytes(select_, 0);
      if (bytes != nullptr && size > 0) value.assign(bytes, bytes + size);
    }
    sqlite3_reset(select_);
    return found;
  }

  bool Set(const std::string& key, const Value& value) {
    Run(begin_);
    const bool ok = Write(key, value);
    return Run(commit_) && ok;
  }

  bool SetWithSync(const std::string& key, const Value& value) {
    Run(begin_);
    sqlite3_bind_text(select_, 1, key.c_str(), -1, SQLITE_TRANSIENT);
    const bool has_row = sqlite3_step(select_) == SQLITE_ROW;
    sqlite3_reset(select_);
    bool ok = true;
    if (!has_row) {
      sqlite3_bind_text(insert_nosync_, 1, key.c_str(), -1, SQLITE_TRANSIENT);
      ok = Run(insert_nosync_);
    }
    ok = Write(key, value) && ok;
    return Run(commit_) && ok;
  }

  bool GetAll(std::map<std::string, Value>& all) {
    all.clear();
    while (sqlite3_step(select_all_) == SQLITE_ROW) {
      const auto* key = reinterpret_cast<const char*>(sqlite3_column_text(select_all_, 0));
      if (key == nullptr) continue;
      const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(select_all_, 1));
      const int size = sqlite3_column_bytes(select_all_, 1);
      Value value;
      if (bytes != nullptr && size > 0) value.assign(bytes, bytes + size);
      all.emplace(key, std::move(value));
    }
    sqlite3_reset(select_all_);
    return true;
  }

 private:
  sqlite3_stmt* Prepare(const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr) != SQLITE_OK) Die(std::string("cannot prepare ") + sql);
    return stmt;
  }
  static bool Run(sqlite3_stmt* stmt) {
    const int rc = sqlite3_step(stmt);
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    return rc == SQLITE_DONE || rc == SQLITE_ROW;
  }
  bool Write(const std::string& key, const Value& value) {
    sqlite3_bind_text(delete_, 1, key.c_str(), -1, SQLITE_TRANSIENT);
    bool ok = Run(delete_);
    sqlite3_bind_text(insert_, 1, key.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_blob(insert_, 2, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    return Run(insert_) && ok;
  }

  sqlite3* db_ = nullptr;
  sqlite3_stmt* begin_ = nullptr;
  sqlite3_stmt* commit_ = nullptr;
  sqlite3_stmt* select_ = nullptr;
  sqlite3_stmt* delete_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* insert_nosync_ = nullptr;
  sqlite3_stmt* select_all_ = nullptr;
};

struct Data {
  std::vector<std::string> keys;
  std::vector<Value> values;
  std::vector<size_t> get_order;
};

// Operations per second of one round of each operation on a new file.
struct Round {
  double set = 0, set_with_sync = 0, get = 0, get_all = 0;
};

template <typename Body>
double PerSecond(size_t operations, Body body) {
  const auto start = Clock::now();
  body();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return operations / seconds;
}

template <typename Store>
Round Measure(Store& filled, Store& synced, const Data& data) {
  Round round;
  const size_t n = data.keys.size();
  round.set = PerSecond(n, [&] {
    for (size_t i = 0; i < n; ++i) {
      if (!filled.Set(data.keys[i], data.values[i])) Die("Set failed");
    }
  });
  round.set_with_sync = PerSecond(n, [&] {
    for (size_t i = 0; i < n; ++i) {
      if (!synced.SetWithSync(data.keys[i], data.values[i])) Die("SetWithSync failed");
    }
  });
  Value value;
  round.get = PerSecond(n * kGetPasses, [&] {
    for (int pass = 0; pass < kGetPasses; ++pass) {
      for (size_t i : data.get_order) {
        if (!filled.Get(data.keys[i], value) || value.size() != kValueBytes) Die("Get failed");
      }
    }
  });
  std::map<std::string, Value> all;
  round.get_all = PerSecond(kGetAllPasses, [&] {
    for (int pass = 0; pass < kGetAllPasses; ++pass) {
      if (!filled.GetAll(all) || all.size() != n) Die("GetAll failed");
    }
  });
  return round;
}

std::string CpuModel() {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown";
}

}  // namespace

int main(int argc, char** argv) {
  const size_t keys = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 10000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  Data data;
  std::mt19937 random(42);
  for (size_t i = 0; i < keys; ++i) {
    data.keys.push_back("bench-key-" + std::to_string(i));
    Value value(kValueBytes);
    for (uint8_t& byte : value) byte = static_cast<uint8_t>(random());
    data.values.push_back(std::move(value));
    data.get_order.push_back(i);
  }
  std::shuffle(data.get_order.begin(), data.get_order.end(), random);

  const fs::path dir = fs::temp_directory_path() / ("rk_storage_bench_" + std::to_string(getpid()));
  fs::create_directories(dir);
  Round best_store, best_direct;
  auto keep_best = [](Round& best, const Round& r) {
    best.set = std::max(best.set, r.set);
    best.set_with_sync = std::max(best.set_with_sync, r.set_with_sync);
    best.get = std::max(best.get, r.get);
    best.get_all = std::max(best.get_all, r.get_all);
  };
  for (int r = 0; r < rounds; ++r) {
    for (const fs::path& file : fs::directory_iterator(dir)) fs::remove(file);
    {
      rkservice::rkstorage::RkStorage filled((dir / "store-a.dat").string(), "bench");
      rkservice::rkstorage::RkStorage synced((dir / "store-b.dat").string(), "bench");
      if (!filled.Load() || !synced.Load()) Die("RkStorage::Load failed (is librkdb.so beside librkservice.so?)");
      keep_best(best_store, Measure(filled, synced, data));
    }
    {
      DirectStore filled((dir / "direct-a.dat").string());
      DirectStore synced((dir / "direct-b.dat").string());
      keep_best(best_direct, Measure(filled, synced, data));
    }
  }
  fs::remove_all(dir);

  std::printf("rk_storage_bench: RkStorage (librkservice.so over librkdb.so) vs direct SQLite\n");
  std::printf("machine: %s, %ld cores; SQLite %s\n", CpuModel().c_str(), sysconf(_SC_NPROCESSORS_ONLN),
              sqlite3_libversion());
  std::printf("settings: %zu keys, %zu-byte values, PRAGMA synchronous=off, file in %s; Set/SetWithSync of new\n"
              "keys (one transaction each), Get of every key in random order x%d, GetAll x%d; best of %d rounds,\n"
              "sides alternating\n",
              keys, kValueBytes, fs::temp_directory_path().c_str(), kGetPasses, kGetAllPasses, rounds);
  std::printf("%-12s %16s %16s %8s\n", "operation", "RkStorage op/s", "SQLite op/s", "ratio");
  const struct {
    const char* name;
    double store, direct;
  } rows[] = {
      {"Set", best_store.set, best_direct.set},
      {"SetWithSync", best_store.set_with_sync, best_direct.set_with_sync},
      {"Get", best_store.get, best_direct.get},
      {"GetAll", best_store.get_all, best_direct.get_all},
  };
  bool met = true;
  for (const auto& row : rows) {
    const double ratio = row.store / row.direct;
    met = met && ratio >= 0.7;
    std::printf("%-12s %16.0f %16.0f %8.2f\n", row.name, row.store, row.direct, ratio);
  }
  std::printf("target: ratio >= 0.70 for each operation: %s\n", met ? "met" : "NOT met");
  return 0;
}
