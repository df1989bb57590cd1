#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "bp_setup_launch.h"
#include "bp_test_util.h"

namespace bootpack {
namespace {

using Clock = std::chrono::steady_clock;

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
  auto start = Clock::now();
  EXPECT_TRUE(DeleteWithRetry(file.c_str()));
  EXPECT_LT(MillisecondsSince(start), 100);
  EXPECT_FALSE(bptest::Exists(file));
}

TEST_F(DeleteWithRetryTest, SharingViolationIsRetriedUntilReleased) {
  std::wstring file = dir_ + L"\\held.bin";
  ASSERT_TRUE(bptest::WriteFileBytes(file, "abc"));
  HANDLE held = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  std::thread release([held] {
    Sleep(350);
    CloseHandle(held);
  });
  auto start = Clock::now();
  EXPECT_TRUE(DeleteWithRetry(file.c_str()));
  EXPECT_GE(MillisecondsSince(start), 300);
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
  EXPECT_LT(elapsed, 2000);
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
  EXPECT_LT(MillisecondsSince(start), 2000);  // bounded, even where the disposition is ignored
  EXPECT_TRUE(bptest::Exists(inner));

  std::thread empty_it([inner] {
    Sleep(250);
    DeleteFileW(inner.c_str());
  });
  EXPECT_TRUE(DeleteWithRetry(sub.c_str()));
  empty_it.join();
  EXPECT_FALSE(bptest::Exists(sub));
}

}  // namespace
}  // namespace bootpack
