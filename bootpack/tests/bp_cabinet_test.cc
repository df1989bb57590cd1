#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bp_cabinet.h"
#include "bp_test_util.h"

namespace bootpack {
namespace {

class ExpandCabinetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = bptest::FreshTestDir("cabinet_");
    ASSERT_TRUE(bptest::ReadFileBytes(bptest::FixtureDir() + L"\\stage\\setup.exe", &setup_));
  }
  bool Expand(const wchar_t* cabinet) {
    return ExpandCabinet((bptest::FixtureDir() + L"\\" + cabinet).c_str(), Destination().c_str());
  }
  std::wstring Destination() const { return dir_ + L"\\setup.exe"; }
  std::vector<uint8_t> Written() const {
    std::vector<uint8_t> bytes;
    bptest::ReadFileBytes(Destination(), &bytes);
    return bytes;
  }
  std::wstring dir_;
  std::vector<uint8_t> setup_;
};

TEST_F(ExpandCabinetTest, WritesTheEntryAndReplacesAnExistingFile) {
  ASSERT_TRUE(bptest::WriteFileBytes(Destination(), std::string(300000, 'o')));
  ASSERT_TRUE(Expand(L"setup.cab"));
  EXPECT_TRUE(Written() == setup_);
  DWORD attributes = GetFileAttributesW(Destination().c_str());
  EXPECT_EQ(attributes & ~(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL), 0u);
}

TEST_F(ExpandCabinetTest, EntryNameDoesNotMatter) {
  ASSERT_TRUE(Expand(L"other.cab"));
  EXPECT_TRUE(Written() == setup_);
  EXPECT_EQ(bptest::ListDir(dir_), std::vector<std::wstring>{L"setup.exe"});
}

TEST_F(ExpandCabinetTest, OnlyTheFirstEntryOfSeveralIsWritten) {
  ASSERT_TRUE(Expand(L"multi.cab"));
  EXPECT_TRUE(Written() == setup_);
  EXPECT_EQ(bptest::ListDir(dir_), std::vector<std::wstring>{L"setup.exe"});
}

TEST_F(ExpandCabinetTest, BrokenCabinetsLeaveNoDestination) {
  for (const wchar_t* cabinet : {L"truncated.cab", L"garbage.cab", L"no-such.cab"}) {
    EXPECT_FALSE(Expand(cabinet)) << cabinet;
    EXPECT_FALSE(bptest::Exists(Destination())) << cabinet;
  }
}

TEST_F(ExpandCabinetTest, PathWithoutUsableBackslashTouchesNothing) {
  ASSERT_TRUE(bptest::WriteFileBytes(Destination(), "keep"));
  EXPECT_FALSE(ExpandCabinet(L"setup.cab", Destination().c_str()));
  EXPECT_FALSE(ExpandCabinet(L"\\setup.cab", Destination().c_str()));
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(bptest::ReadFileBytes(Destination(), &bytes));
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "keep");
}

}  // namespace
}  // namespace bootpack
