// A browser may leave its process, by exit or by returning from main, without
// releasing the services it started, while they still work: the process
// must end with its own exit code, and nothing of the service may run on
// what the exit has torn down (under the sanitizers: no report, leaks
// included).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "rk_storage_test_process.h"

namespace {

namespace fs = std::filesystem;

class ExitWithoutRelease : public testing::TestWithParam<std::tuple<const char*, const char*>> {};

TEST_P(ExitWithoutRelease, EndsWithTheHostsOwnCodeAndNoReport) {
#if defined(__SANITIZE_ADDRESS__)
  // The tests turn leak checks off for themselves; the host is checked.
  setenv("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=1", 1);
#endif
  const auto [scenario, how] = GetParam();
  const fs::path base = fs::path(testing::TempDir()) / ("rk_exit_" + std::to_string(getpid()));
  // Runs with a count, not a time: a slow machine only takes longer.
  constexpr int kRuns = 8;
  for (int run = 0; run < kRuns; ++run) {
    const fs::path root = base / std::to_string(run);
    fs::create_directories(root);
    rktest::ChildProcess host(RK_OUTPUT_DIR "/rk_exit_host", {scenario, how, root.string()}, root);
    ASSERT_TRUE(host.started());
    const std::vector<std::string> lines = host.ReadLines(std::chrono::minutes(5));
    const int code = host.Wait();
    std::string output;
    bool left = false;
    for (const std::string& line : lines) {
      output += line + "\n";
      left = left || line == "leaving";
    }
    EXPECT_TRUE(left) << "run " << run << "\n" << output;
    EXPECT_EQ(code, 0) << "run " << run << "\n" << output;
    EXPECT_EQ(output.find("Sanitizer"), std::string::npos) << "run " << run << "\n" << output;
    EXPECT_EQ(output.find("runtime error"), std::string::npos) << "run " << run << "\n" << output;
    if (HasFailure()) break;
  }
  fs::remove_all(base);
}

INSTANTIATE_TEST_SUITE_P(Ways, ExitWithoutRelease,
                         testing::Combine(testing::Values("saves", "flood"), testing::Values("exit", "return")),
                         [](const testing::TestParamInfo<std::tuple<const char*, const char*>>& info) {
                           return std::string(std::get<0>(info.param)) + "_" + std::get<1>(info.param);
                         });

}  // namespace
