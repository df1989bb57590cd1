#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "bp_cabinet.h"
#include "bp_test_util.h"
#include "bp_text.h"

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

// The loader reads this process's own variables. A child started from here
// cannot show the fixed path: Wine gives every process SystemRoot (as
// C:\windows) whatever its parent passes, so only here can both variables
// be missing.
class CabinetCandidateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const wchar_t* name : {L"WINDIR", L"SYSTEMROOT"}) {
      wchar_t value[kPathCapacity];
      const DWORD n = GetEnvironmentVariableW(name, value, kPathCapacity);
      ASSERT_TRUE(n > 0 && n < kPathCapacity) << name;
      saved_.push_back({name, value});
    }
  }
  void TearDown() override {
    for (const auto& v : saved_) SetEnvironmentVariableW(v.first.c_str(), v.second.c_str());
  }
  std::vector<std::pair<std::wstring, std::wstring>> saved_;
};

TEST_F(CabinetCandidateTest, EachPathIsTriedInTurn) {
  const std::wstring too_long(300, L'w');  // expands past the 260-unit path
  const struct {
    const char* name;
    const wchar_t* windir;      // null: unset
    const wchar_t* systemroot;  // null: unset
    size_t candidate;
  } cases[] = {
      {"windir", L"C:\\windows", L"C:\\nowhere", 0},
      {"windir_unset", nullptr, L"C:\\windows", 1},
      {"windir_nowhere", L"C:\\nowhere", L"C:\\windows", 1},
      {"windir_too_long", too_long.c_str(), L"C:\\windows", 1},
      {"both_unset", nullptr, nullptr, 2},
      {"both_nowhere", L"C:\\nowhere", L"C:\\nowhere", 2},
      {"both_too_long", too_long.c_str(), too_long.c_str(), 2},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(SetEnvironmentVariableW(L"WINDIR", c.windir) || c.windir == nullptr);
    ASSERT_TRUE(SetEnvironmentVariableW(L"SYSTEMROOT", c.systemroot) || c.systemroot == nullptr);
    size_t candidate = 99;
    HMODULE module = LoadCabinetCandidate(&candidate);
    ASSERT_NE(module, nullptr) << c.name;
    EXPECT_EQ(candidate, c.candidate) << c.name;
    EXPECT_NE(GetProcAddress(module, "FDICopy"), nullptr) << c.name;
    FreeLibrary(module);
  }
}

}  // namespace
}  // namespace bootpack
