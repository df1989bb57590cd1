// Where and how the shipped service library finds its engine library: a probe
// program linked against librkservice.so is copied with the library into a
// folder of the test's own, and run from a current folder that does hold
// librkdb.so.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "rk_storage_test_process.h"
#include "rk_storage_test_support.h"
#include "rk_test_wait.h"

namespace {

namespace fs = std::filesystem;

const fs::path kOutputDir = RK_OUTPUT_DIR;

class RkDbLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(service_dir_);
    fs::copy_file(kOutputDir / "rk_storage_probe", service_dir_ / "rk_storage_probe");
    fs::copy_file(kOutputDir / "librkservice.so", service_dir_ / "librkservice.so");
  }

  // Runs the probe from the build's output folder, where a librkdb.so lies.
  std::vector<std::string> RunProbe(const std::vector<std::string>& args) {
    rktest::ChildProcess probe(service_dir_ / "rk_storage_probe", args, kOutputDir);
    EXPECT_TRUE(probe.started());
    std::vector<std::string> lines = probe.ReadLines(rktest::kHangBound);
    EXPECT_EQ(probe.Wait(), 0);
    return lines;
  }

  static std::vector<std::string> Results(const std::vector<std::string>& lines) {
    std::vector<std::string> results;
    for (const std::string& line : lines) {
      if (line.empty() || line[0] != '[') results.push_back(line);
    }
    return results;
  }
  static size_t CountEndingWith(const std::vector<std::string>& lines, const std::string& tail) {
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
    });
  }

  rktest::TempDir dir_;
  const fs::path service_dir_ = dir_.path() / "service";
  const std::string db_ = dir_.File("store.dat");
  const std::string engine_path_ = (fs::canonical(service_dir_.parent_path()) / "service" / "librkdb.so").string();
};

TEST_F(RkDbLibraryTest, LoadsFromTheServiceLibraryFolderOnlyAndRetriesAfterAFailure) {
  const auto lines = RunProbe({"retry", db_, (kOutputDir / "librkdb.so").string()});
  EXPECT_EQ(Results(lines), (std::vector<std::string>{"load 0", "set 0", "get 0", "copied", "load 1", "set 1",
                                                      "get 1 2", "removed", "load 1", "get 1 2"}));
  // One line per failed operation, naming the service library's folder.
  EXPECT_EQ(CountEndingWith(lines, "] " + engine_path_ + " not exists"), 3u);
  EXPECT_EQ(CountEndingWith(lines, "] !IsModuleValid"), 1u);
  EXPECT_EQ(rktest::SqliteFile(db_).Value("SELECT count(*) FROM storage;"), "1");
}

TEST_F(RkDbLibraryTest, EveryOperationFailsAndLogsTheLoaderFailureAgain) {
  const struct {
    const char* name;
    const char* library;  // copied in as librkdb.so; null: none
    std::string line;
  } cases[] = {
      {"missing", nullptr, engine_path_ + " not exists"},
      {"not a library", "junk", "can not load library:" + engine_path_ + ", with error "},
      {"incomplete", "librk_test_rkdb_incomplete.so", "get function from rkdb.dll error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(service_dir_ / "librkdb.so");
    if (c.library != nullptr && std::string(c.library) == "junk") {
      std::ofstream(service_dir_ / "librkdb.so") << "not an ELF file";
    } else if (c.library != nullptr) {
      fs::copy_file(kOutputDir / c.library, service_dir_ / "librkdb.so");
    }
    const auto lines = RunProbe({"ops", db_});
    EXPECT_EQ(Results(lines),
              (std::vector<std::string>{"Load 0", "Get 0", "Set 0", "SetWithSync 0", "DeleteWithSync 0",
                                        "DeleteAllSynced 0", "ClearNoSyncTable 0", "Delete 0", "GetAll 0",
                                        "CommitTransaction -1", "RollbackTransaction -1"}));
    const size_t failures = std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.find("] " + c.line) != std::string::npos;
    });
    // Every operation, BeginTransaction included, tries to load again.
    EXPECT_EQ(failures, 12u);
    EXPECT_EQ(CountEndingWith(lines, "] !IsModuleValid"), 6u);
    EXPECT_FALSE(fs::exists(db_));
  }
}

}  // namespace
