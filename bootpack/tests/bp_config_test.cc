#include <gtest/gtest.h>

#include <string>

#include "bp_installer.h"
#include "bp_installer_config.h"
#include "bp_registry.h"

namespace bootpack {
namespace {

struct ParseCase {
  const wchar_t* command_line;
  bool system_level, nothing_to_do, silent, portable, skip_plugs;
  const wchar_t* install_path;  // null: none
  const wchar_t* plugs_ini;     // null: none
};

class EnvironmentGuard {
 public:
  explicit EnvironmentGuard(const wchar_t* value) {
    SetEnvironmentVariableW(L"HalvexUpdateIsMachine", value);
  }
  ~EnvironmentGuard() { SetEnvironmentVariableW(L"HalvexUpdateIsMachine", nullptr); }
};

TEST(ParseCommandLine, ArgumentTable) {
  EnvironmentGuard no_variable(nullptr);
  const ParseCase cases[] = {
      {L"bp.exe", false, false, false, false, false, nullptr, nullptr},
      {L"bp.exe --SYSTEM-LEVEL", true, false, false, false, false, nullptr, nullptr},
      {L"bp.exe --cleanup --system-level", true, true, false, false, false, nullptr, nullptr},
      {L"bp.exe --halvex-frame", false, true, false, false, false, nullptr, nullptr},
      {L"bp.exe --slient --portable", false, false, true, true, false, nullptr, nullptr},
      {L"bp.exe --silent", false, false, false, false, false, nullptr, nullptr},
      {L"bp.exe \"--install-path=C:\\A B\"", false, false, false, false, false, L"C:\\A B",
       nullptr},
      {L"bp.exe --install-path", false, false, false, false, false, nullptr, nullptr},
      {L"bp.exe --install-pathX=D:\\x=y", false, false, false, false, false, L"D:\\x=y", nullptr},
      {L"bp.exe --display-plugs", false, false, false, false, true, nullptr, nullptr},
      {L"bp.exe /S", false, false, false, false, false, nullptr, L"/S"},
      {L"bp.exe a.ini --unknown b.ini", false, false, false, false, false, nullptr, L"b.ini"},
      {L"bp.exe -x", false, false, false, false, false, nullptr, L"-x"},
  };
  for (const ParseCase& c : cases) {
    InstallerConfig config;
    ASSERT_TRUE(config.ParseCommandLine(c.command_line)) << c.command_line;
    EXPECT_EQ(config.is_system_level, c.system_level) << c.command_line;
    EXPECT_EQ(config.nothing_to_do, c.nothing_to_do) << c.command_line;
    EXPECT_EQ(config.is_silent, c.silent) << c.command_line;
    EXPECT_EQ(config.is_portable, c.portable) << c.command_line;
    EXPECT_EQ(config.skip_plug_extraction, c.skip_plugs) << c.command_line;
    EXPECT_EQ(config.command_line, c.command_line);
    if (c.install_path == nullptr) {
      EXPECT_EQ(config.install_path, nullptr) << c.command_line;
    } else {
      ASSERT_NE(config.install_path, nullptr) << c.command_line;
      EXPECT_STREQ(config.install_path, c.install_path);
    }
    if (c.plugs_ini == nullptr) {
      EXPECT_EQ(config.plugs_ini_path, nullptr) << c.command_line;
    } else {
      ASSERT_NE(config.plugs_ini_path, nullptr) << c.command_line;
      EXPECT_STREQ(config.plugs_ini_path, c.plugs_ini);
    }
  }
}

TEST(ParseCommandLine, MachineVariableMustBeExactlyOne) {
  const struct {
    const wchar_t* value;
    bool expected;
  } cases[] = {{L"1", true}, {L"10", false}, {L"true", false}, {L"", false}, {L"0", false},
               {nullptr, false}};
  for (const auto& c : cases) {
    EnvironmentGuard guard(c.value);
    InstallerConfig config;
    ASSERT_TRUE(config.ParseCommandLine(L"bp.exe"));
    EXPECT_EQ(config.is_system_level, c.expected) << (c.value ? c.value : L"(unset)");
  }
}

TEST(ParseCommandLine, UnsplittableTextFailsTheRun) {
  InstallerConfig config;
  EXPECT_FALSE(config.ParseCommandLine(nullptr));
  EXPECT_EQ(RunInstaller(GetModuleHandleW(nullptr), nullptr).exit_code, 101u);
}

// Registry values are written raw so that odd sizes and missing NULs can be
// stored, then read back through the bounded reader.
class RegistryStringTest : public ::testing::Test {
 protected:
  static constexpr const wchar_t* kKey = L"Software\\BootpackTests\\RegistryString";
  void SetUp() override {
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key_, nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    RegCloseKey(key_);
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\BootpackTests");
  }
  void Put(const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
    ASSERT_EQ(RegSetValueExW(key_, name, 0, type, static_cast<const BYTE*>(data), bytes),
              ERROR_SUCCESS);
  }
  HKEY key_ = nullptr;
};

TEST_F(RegistryStringTest, BoundedReadRules) {
  const wchar_t terminated[] = L"0";
  const wchar_t unterminated[] = {L'0'};
  const wchar_t long_text[] = L"00";
  const DWORD dword = 0;
  const uint8_t odd[] = {'0', 0, 'x'};  // 3 bytes: one unit and a stray byte
  Put(L"terminated", REG_SZ, terminated, sizeof(terminated));
  Put(L"unterminated", REG_SZ, unterminated, sizeof(unterminated));
  Put(L"long", REG_SZ, long_text, sizeof(long_text));
  Put(L"dword", REG_DWORD, &dword, sizeof(dword));
  Put(L"empty", REG_SZ, "", 0);
  Put(L"onebyte", REG_SZ, "x", 1);
  Put(L"odd", REG_SZ, odd, sizeof(odd));

  const struct {
    const wchar_t* name;
    bool ok;
    const wchar_t* text;
  } cases[] = {
      {L"terminated", true, L"0"}, {L"unterminated", true, L"0"}, {L"long", false, L""},
      {L"dword", false, L""},      {L"empty", true, L""},         {L"onebyte", true, L""},
      {L"odd", true, L"0"},        {L"missing", false, L""},
  };
  for (const auto& c : cases) {
    wchar_t buffer[2] = {L'?', L'?'};
    EXPECT_EQ(ReadRegistryString(HKEY_CURRENT_USER, kKey, c.name, buffer, 2), c.ok) << c.name;
    EXPECT_STREQ(buffer, c.text) << c.name;
  }
  RegKey key;
  ASSERT_EQ(key.Open(HKEY_CURRENT_USER, kKey, KEY_QUERY_VALUE), ERROR_SUCCESS);
  wchar_t buffer[2];
  EXPECT_EQ(key.ReadString(L"dword", buffer, 2), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(key.ReadString(L"long", buffer, 2), ERROR_MORE_DATA);
  // Unterminated and exactly filling the buffer: no room for the NUL.
  const wchar_t two[] = {L'a', L'b'};
  Put(L"two", REG_SZ, two, sizeof(two));
  EXPECT_EQ(key.ReadString(L"two", buffer, 2), ERROR_MORE_DATA);
  wchar_t three[3];
  EXPECT_EQ(key.ReadString(L"two", three, 3), ERROR_SUCCESS);
  EXPECT_STREQ(three, L"ab");
}

}  // namespace
}  // namespace bootpack
