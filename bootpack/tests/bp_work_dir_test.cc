#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <regex>
#include <set>
#include <string>

#include "bp_scoped_handle.h"
#include "bp_test_util.h"
#include "bp_work_dir.h"

namespace bootpack {
namespace {

TEST(WorkDirSecurity, SddlText) {
  wchar_t sddl[kSecurityTextCapacity];
  ASSERT_TRUE(BuildWorkDirSddl(L"S-1-5-21-1-2-3-1000", sddl, kSecurityTextCapacity));
  EXPECT_STREQ(sddl,
               L"D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)"
               L"(A;OIIOCI;GA;;;CO)(A;;FA;;;S-1-5-21-1-2-3-1000)");
  // 92 units of prefix and the ")" leave 206 units for the SID text.
  std::wstring sid = L"S-1-5-21-" + std::wstring(198, L'9');
  EXPECT_FALSE(BuildWorkDirSddl(sid.c_str(), sddl, kSecurityTextCapacity));
  EXPECT_TRUE(BuildWorkDirSddl(sid.substr(0, 206).c_str(), sddl, kSecurityTextCapacity));
}

TEST(WorkDirSecurity, OwnerSidAndDescriptor) {
  ScopedLocal<wchar_t*> sid;
  ASSERT_TRUE(GetOwnerSidString(sid.Receive()));
  EXPECT_EQ(std::wstring(sid.Get()).rfind(L"S-1-", 0), 0u);
  ScopedLocal<PSECURITY_DESCRIPTOR> descriptor;
  ASSERT_TRUE(MakeWorkDirSecurity(L"C:\\", descriptor.Receive()));
  ASSERT_NE(descriptor.Get(), nullptr);  // Wine's C: keeps ACLs
  ScopedLocal<wchar_t*> text;
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
      descriptor.Get(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, text.Receive(), nullptr));
  EXPECT_NE(std::wstring(text.Get()).find(std::wstring(L"(A;;FA;;;") + sid.Get() + L")"),
            std::wstring::npos)
      << text.Get();
}

TEST(CreateUniqueWorkDir, NameFormAndUniqueness) {
  std::wstring base = bptest::FreshDir(L"unique_work_dir") + L"\\";
  const std::wregex form(L"CR_[0-9A-F]{5}\\.tmp\\\\");
  std::set<std::wstring> seen;
  for (int i = 0; i < 5; ++i) {
    PathBuffer work_dir;
    ExitResult result;
    ASSERT_TRUE(CreateUniqueWorkDir(base.c_str(), work_dir, &result));
    EXPECT_EQ(result.exit_code, 0u);
    std::wstring path = work_dir;
    ASSERT_EQ(path.compare(0, base.size(), base), 0) << path;
    EXPECT_TRUE(std::regex_match(path.substr(base.size()), form)) << path;
    DWORD attributes = GetFileAttributesW(work_dir);
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY));
    seen.insert(path);
  }
  EXPECT_EQ(seen.size(), 5u);
}

TEST(CreateUniqueWorkDir, FailureCodes) {
  PathBuffer work_dir;
  ExitResult result;
  // base + "CR_" leaves 10 units: one short of the name.
  std::wstring base = L"C:\\" + std::wstring(243, L'd') + L"\\";
  ASSERT_EQ(base.size() + 3, 250u);
  EXPECT_FALSE(CreateUniqueWorkDir(base.c_str(), work_dir, &result));
  EXPECT_EQ(result.exit_code, 108u);
  std::wstring too_long = L"C:\\" + std::wstring(260, L'd') + L"\\";
  EXPECT_FALSE(CreateUniqueWorkDir(too_long.c_str(), work_dir, &result));
  EXPECT_EQ(result.exit_code, 108u);
  // Every attempt fails when the base does not exist.
  EXPECT_FALSE(CreateUniqueWorkDir(L"C:\\no-such-base\\deeper\\", work_dir, &result));
  EXPECT_EQ(result.exit_code, 109u);
  EXPECT_STREQ(work_dir, L"");
}

}  // namespace
}  // namespace bootpack
