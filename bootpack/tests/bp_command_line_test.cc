#include <gtest/gtest.h>

#include <string>

#include "bp_installer_config.h"
#include "bp_setup_launch.h"

namespace bootpack {
namespace {

std::wstring Forwarded(const wchar_t* raw, const wchar_t* start = L"X") {
  CommandLineBuffer command;
  BoundedCopy(command, start);
  AppendForwardedArguments(command, raw);
  return command;
}

TEST(ForwardedArguments, Table) {
  const struct {
    const wchar_t* raw;
    const wchar_t* expected;
  } cases[] = {
      {L"\"C:\\bp.exe\" --system-level", L"X --system-level"},
      {L"\"C:\\bp.exe\"\t--a  --b", L"X\t--a  --b"},
      {L"C:\\bp.exe --a \"b c\"", L"X --a \"b c\""},
      {L"\"C:\\bp.exe --a", L"X"},  // no closing quote: nothing
      {L"\"C:\\bp.exe\"--a", L"X --a"},
      {L"\"C:\\bp.exe\"", L"X"},
      {L"C:\\bp.exe", L"X"},
      {L"", L"X"},
  };
  for (const auto& c : cases) EXPECT_EQ(Forwarded(c.raw), c.expected) << c.raw;
}

TEST(ForwardedArguments, TooLongIsDroppedWhole) {
  std::wstring start(1000, L's');
  std::wstring raw = L"bp.exe " + std::wstring(38, L'a');  // " " + 38 = 39 fits 1039
  EXPECT_EQ(Forwarded(raw.c_str(), start.c_str()), start + L" " + std::wstring(38, L'a'));
  raw += L"a";
  EXPECT_EQ(Forwarded(raw.c_str(), start.c_str()), start);
  // After a program path without a blank the space is inserted first; when
  // the text then does not fit, the space goes too.
  std::wstring tight = L"\"bp.exe\"" + std::wstring(38, L'a');  // " " + 38 = 39 fits
  EXPECT_EQ(Forwarded(tight.c_str(), start.c_str()), start + L" " + std::wstring(38, L'a'));
  tight += L"a";
  EXPECT_EQ(Forwarded(tight.c_str(), start.c_str()), start);
  // The inserted space alone does not fit: nothing is forwarded.
  std::wstring full(1039, L's');
  EXPECT_EQ(Forwarded(L"\"bp.exe\"--a", full.c_str()), full);
}

TEST(SetupCommandLine, ExactForm) {
  InstallerConfig config;
  config.command_line = L"\"C:\\dl\\bp.exe\" --system-level \"--install-path=D:\\x\"";
  CommandLineBuffer command;
  ASSERT_TRUE(BuildSetupCommandLine(config, L"C:\\t\\CR_1A2B3.tmp\\HALVEX.PACKED.7Z",
                                    L"C:\\t\\CR_1A2B3.tmp\\setup.exe", command)
                  .ok());
  EXPECT_STREQ(command,
               L"\"C:\\t\\CR_1A2B3.tmp\\setup.exe\" "
               L"--install-archive=\"C:\\t\\CR_1A2B3.tmp\\HALVEX.PACKED.7Z\" "
               L"--system-level \"--install-path=D:\\x\"");

  config.previous_version = L"12.0.1";
  config.plugs_ini_path = L"C:\\t\\CR_1A2B3.tmp\\plugs.ini";
  ASSERT_TRUE(BuildSetupCommandLine(config, L"A", L"S", command).ok());
  EXPECT_STREQ(command,
               L"\"S\" --install-archive=\"A\" --previous-version=\"12.0.1\" "
               L"--plugs-config-path=\"C:\\t\\CR_1A2B3.tmp\\plugs.ini\" "
               L"--system-level \"--install-path=D:\\x\"");
}

TEST(SetupCommandLine, OverflowingPieceIs105) {
  InstallerConfig config;
  config.command_line = L"bp.exe";
  std::wstring version(1000, L'v');
  config.previous_version = version.c_str();
  CommandLineBuffer command;
  EXPECT_EQ(BuildSetupCommandLine(config, L"C:\\t\\HALVEX.PACKED.7Z", L"C:\\t\\setup.exe",
                                  command)
                .exit_code,
            105u);
  config.previous_version = nullptr;
  config.plugs_ini_path = version.c_str();
  EXPECT_EQ(BuildSetupCommandLine(config, L"C:\\t\\HALVEX.PACKED.7Z", L"C:\\t\\setup.exe",
                                  command)
                .exit_code,
            105u);
  // Three maximal paths still fit the patch command line.
  std::wstring path(259, L'p');
  EXPECT_TRUE(
      BuildPatchCommandLine(path.c_str(), path.c_str(), path.c_str(), L"bp.exe", command).ok());
  std::wstring huge(400, L'p');
  EXPECT_EQ(BuildPatchCommandLine(huge.c_str(), huge.c_str(), huge.c_str(), L"bp.exe", command)
                .exit_code,
            105u);
}

TEST(PatchCommandLine, ExactForm) {
  CommandLineBuffer command;
  ASSERT_TRUE(BuildPatchCommandLine(L"C:\\Halvex\\setup.exe", L"C:\\t\\SETUP.PATCH",
                                    L"C:\\t\\setup.exe", L"bp.exe --slient", command)
                  .ok());
  EXPECT_STREQ(command,
               L"\"C:\\Halvex\\setup.exe\" --update-setup-exe=\"C:\\t\\SETUP.PATCH\" "
               L"--new-setup-exe=\"C:\\t\\setup.exe\" --slient");
}

TEST(RunProcessAndWait, StartErrorsMapToTheGivenCodes) {
  CommandLineBuffer command;
  BoundedCopy(command, L"x");
  EXPECT_EQ(RunProcessAndWait(L"C:\\windows\\system32\\no-such-program.exe", command, 1, 2, 3)
                .exit_code,
            1u);
  EXPECT_EQ(RunProcessAndWait(L"C:\\no-such-folder\\x\\setup.exe", command, 1, 2, 3).exit_code,
            2u);
  EXPECT_EQ(RunProcessAndWait(L"C:\\windows", command, 1, 2, 3).exit_code, 3u);
}

}  // namespace
}  // namespace bootpack
