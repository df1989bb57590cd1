// A writer killed with SIGKILL at random points leaves a sound file that
// holds every write it reported complete.
#include <gtest/gtest.h>

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
      // Starting takes long on a loaded machine: wait for its first write.
      const std::string first_write = writer.WaitForLine("done ", std::chrono::seconds(60));
      ASSERT_FALSE(first_write.empty()) << "the writer never wrote";
      // Let it write for a while, then kill it wherever it is.
      const auto run_for = std::chrono::milliseconds(40 + random() % 160);
      std::vector<std::string> lines = {first_write};
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
