#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "bp_setup_launch.h"
#include "bp_test_util.h"

namespace bootpack {
namespace {

using Clock = std::chrono::steady_clock;

// Enough attempts to outlast any helper thread on a loaded machine.
constexpr int kPatientAttempts = 600;
// Far below what the default count of attempts waits in all: a call that
// ignored the count it was given would take that long.
constexpr long long kWellBelowDefaultMs = kDeleteAttempts * kDeleteRetryDelayMs * 8 / 10;

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class DeleteWithRetryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = bptest::FreshTestDir("delete_");
  }
  std::wstring dir_;
};

TEST_F(DeleteWithRetryTest, PlainFileMissingFileAndEmptyDirectory) {
  std::wstring file = dir_ + L"\\a.bin";
  ASSERT_TRUE(bptest::WriteFileBytes(file, "abc"));
  EXPECT_TRUE(DeleteWithRetry(file.c_str()));
  EXPECT_FALSE(bptest::Exists(file));
  EXPECT_TRUE(DeleteWithRetry(file.c_str()));  // already gone
  EXPECT_TRUE(DeleteWithRetry((dir_ + L"\\no\\such\\path").c_str()));
  std::wstring sub = dir_ + L"\\sub";
  ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
  EXPECT_TRUE(DeleteWithRetry((sub + L"\\").c_str()));  // the work directory form
  EXPECT_FALSE(bptest::Exists(sub));
}

TEST_F(DeleteWithRetryTest, ReadOnlyFileGoesAtOnce) {
  std::wstring file = dir_ + L"\\ro.bin";
  ASSERT_TRUE(bptest::WriteFileBytes(file, "abc"));
  ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
  // A single attempt: waiting for a retry would fail it.
  EXPECT_TRUE(DeleteWithRetry(file.c_str(), 1));
  EXPECT_FALSE(bptest::Exists(file));
}

TEST_F(DeleteWithRetryTest, SharingViolationIsRetriedUntilReleased) {
  std::wstring file = dir_ + L"\\held.bin";
  ASSERT_TRUE(bptest::WriteFileBytes(file, "abc"));
  HANDLE held = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  std::atomic<bool> released{false};
  // The pause lets the delete meet the open handle first; however late the
  // release comes, the delete can only succeed after it.
  std::thread release([held, &released] {
    Sleep(350);
    released = true;
    CloseHandle(held);
  });
  EXPECT_TRUE(DeleteWithRetry(file.c_str(), kPatientAttempts));
  EXPECT_TRUE(released);
  release.join();
  EXPECT_FALSE(bptest::Exists(file));
}

TEST_F(DeleteWithRetryTest, GivesUpAfterItsAttempts) {
  std::wstring file = dir_ + L"\\kept.bin";
  ASSERT_TRUE(bptest::WriteFileBytes(file, "abc"));
  HANDLE held = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  auto start = Clock::now();
  EXPECT_FALSE(DeleteWithRetry(file.c_str(), 4));
  const long long elapsed = MillisecondsSince(start);
  EXPECT_GE(elapsed, 290);  // three sleeps of 100 ms
  EXPECT_LT(elapsed, kWellBelowDefaultMs);
  CloseHandle(held);
  EXPECT_TRUE(bptest::Exists(file));
}

TEST_F(DeleteWithRetryTest, NonEmptyDirectoryWaitsForItsContent) {
  std::wstring sub = dir_ + L"\\full";
  ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
  std::wstring inner = sub + L"\\left.txt";
  ASSERT_TRUE(bptest::WriteFileBytes(inner, "x"));
  auto start = Clock::now();
  EXPECT_FALSE(DeleteWithRetry(sub.c_str(), 3));
  // Bounded, even where the disposition is ignored.
  EXPECT_LT(MillisecondsSince(start), kWellBelowDefaultMs);
  EXPECT_TRUE(bptest::Exists(inner));

  std::atomic<bool> emptied{false};
  std::thread empty_it([inner, &emptied] {
    Sleep(250);
    emptied = true;
    DeleteFileW(inner.c_str());
  });
  EXPECT_TRUE(DeleteWithRetry(sub.c_str(), kPatientAttempts));
  EXPECT_TRUE(emptied);
  empty_it.join();
  EXPECT_FALSE(bptest::Exists(sub));
}

}  // namespace
}  // namespace bootpack
