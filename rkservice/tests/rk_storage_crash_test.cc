// A writer killed with SIGKILL at random points leaves a sound file that
// holds every write it reported complete, and no overwrite half done.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "rk_storage_test_process.h"
#include "rk_storage_test_support.h"
#include "rk_test_wait.h"

namespace {

// The value the probe writes under "key-N" and then under each slot.
std::string WrittenValue(long n) {
  std::string value(8192, '\0');
  for (size_t i = 0; i < value.size(); ++i) value[i] = static_cast<char>((n * 31 + i) % 251);
  return value;
}

TEST(RkStorageCrash, KilledWriterLosesNoReportedWrite) {
  constexpr int kRounds = 16;
  const std::vector<std::string> slots = {"slot-0", "slot-1", "slot-2", "slot-3"};
  rktest::TempDir dir;
  const std::string db = dir.File("crash.dat");
  std::mt19937 random(std::random_device{}());
  std::vector<long> reported;  // every round's, all checked after each kill
  long next = 0;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const long first = next;
    long last = first - 1;
    {
      rktest::ChildProcess writer(std::string(RK_OUTPUT_DIR) + "/rk_storage_probe",
                                  {"write", db, std::to_string(first)}, RK_OUTPUT_DIR);
      ASSERT_TRUE(writer.started());
      // The kill timer starts once the writer is writing, then the kill comes
      // wherever it is.
      std::vector<std::string> lines = writer.ReadLines(rktest::kHangBound, "done ");
      if (!lines.empty()) {
        const auto run_for = std::chrono::milliseconds(random() % 200);
        for (const std::string& more : writer.ReadLines(run_for)) lines.push_back(more);
      }
      writer.Kill();
      ASSERT_EQ(writer.Wait(), -SIGKILL) << "the writer stopped by itself";
      // The child is gone: its output ends at once.
      for (const std::string& tail : writer.ReadLines(rktest::kHangBound)) lines.push_back(tail);
      for (const std::string& line : lines) {
        if (line.rfind("done ", 0) != 0) continue;
        last = std::stol(line.substr(5));
        reported.push_back(last);
      }
    }
    next = last + 1;
    // A writer killed before it reported anything may not have made the file.
    if (last < first && !std::filesystem::exists(db)) continue;
    const rktest::SqliteFile file(db);
    ASSERT_TRUE(file.ok());
    ASSERT_EQ(file.Value("PRAGMA integrity_check;"), "ok");
    std::map<std::string, std::vector<std::string>> stored;  // key -> the values of its rows
    for (const auto& row : file.Rows("SELECT storage_key, storage_binary FROM storage;")) {
      ASSERT_EQ(row.size(), 2u) << row[0];
      stored[row[0]].push_back(row[1]);
    }
    // Values are compared, not printed: they are 8 KiB of binary each.
    for (long n : reported) {
      const std::string key = "key-" + std::to_string(n);
      ASSERT_EQ(stored[key].size(), 1u) << key;
      ASSERT_TRUE(stored[key][0] == WrittenValue(n)) << key;
    }
    // Each slot holds the last reported value, or the one of the write after
    // the last report, which the kill may have let through unreported.
    if (reported.empty()) continue;
    for (const std::string& slot : slots) {
      const std::vector<std::string>& values = stored[slot];
      ASSERT_EQ(values.size(), 1u) << slot;
      ASSERT_TRUE(values[0] == WrittenValue(last) || values[0] == WrittenValue(last + 1)) << slot;
    }
  }
  EXPECT_FALSE(reported.empty()) << "no write was ever reported";
}

}  // namespace
