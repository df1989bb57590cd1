// A writer killed with SIGKILL at random points leaves a sound file that
// holds every write it reported complete.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "rk_storage_test_process.h"
#include "rk_storage_test_support.h"

namespace {

// The value the probe writes under "key-N".
std::string WrittenValue(long n) {
  std::string value(1024, '\0');
  for (size_t i = 0; i < value.size(); ++i) value[i] = static_cast<char>((n * 31 + i) % 251);
  return value;
}

TEST(RkStorageCrash, KilledWriterLosesNoReportedWrite) {
  constexpr int kRounds = 6;
  rktest::TempDir dir;
  const std::string db = dir.File("crash.dat");
  std::mt19937 random(std::random_device{}());
  long next = 0;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const long first = next;
    std::vector<long> reported;
    {
      rktest::ChildProcess writer(std::string(RK_OUTPUT_DIR) + "/rk_storage_probe",
                                  {"write", db, std::to_string(first)}, RK_OUTPUT_DIR);
      ASSERT_TRUE(writer.started());
      // The window opens at the writer's first reported write: how long it
      // takes to start depends on the machine. Then it writes for a while and
      // is killed wherever it is.
      std::vector<std::string> lines;
      const auto started_by = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (std::none_of(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("done ", 0) == 0; }) &&
             std::chrono::steady_clock::now() < started_by) {
        for (const std::string& line : writer.ReadLines(std::chrono::milliseconds(100))) lines.push_back(line);
      }
      const auto run_for = std::chrono::milliseconds(40 + random() % 160);
      for (const std::string& line : writer.ReadLines(run_for)) lines.push_back(line);
      writer.Kill();
      ASSERT_EQ(writer.Wait(), -SIGKILL) << "the writer stopped by itself";
      for (const std::string& tail : writer.ReadLines(std::chrono::milliseconds(500))) lines.push_back(tail);
      for (const std::string& line : lines) {
        if (line.rfind("done ", 0) == 0) reported.push_back(std::stol(line.substr(5)));
      }
    }
    const rktest::SqliteFile file(db);
    ASSERT_TRUE(file.ok());
    ASSERT_EQ(file.Value("PRAGMA integrity_check;"), "ok");
    for (long n : reported) {
      const std::string key = "key-" + std::to_string(n);
      ASSERT_EQ(file.Value("SELECT count(*) FROM storage WHERE storage_key=?;", {key}), "1") << key;
      ASSERT_EQ(file.Value("SELECT storage_binary FROM storage WHERE storage_key=?;", {key}), WrittenValue(n)) << key;
    }
    next = reported.empty() ? first : reported.back() + 1;
  }
  EXPECT_GT(next, 0) << "no write was ever reported";
}

}  // namespace
