// End-to-end runs of real bootpack variants under Wine. Each run gets its own
// temp folder, log file and environment, started from here with an exact
// command line (environment set on the Linux side does not all reach Windows
// programs).
#include <gtest/gtest.h>

#include <functional>
#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "bp_e2e_fixture.h"
#include "bp_test_util.h"

namespace {

using bptest::E2e;
using bptest::Env;
using bptest::Exists;
using bptest::FileFnv;
using bptest::kUnset;
using bptest::ListDir;
using bptest::Narrow;
using bptest::Outcome;
using bptest::Program;
using bptest::Record;
using bptest::Widen;

// ---- exit codes -------------------------------------------------------------

struct ExitCase {
  const char* name;
  const wchar_t* variant;
  const wchar_t* args;
  const wchar_t* setup_exit;  // FAKE_SETUP_EXIT, null: unset
  DWORD expected;
  bool setup_runs;
};

void PrintTo(const ExitCase& c, std::ostream* os) { *os << c.name; }

class ExitCodes : public E2e, public ::testing::WithParamInterface<ExitCase> {};

TEST_P(ExitCodes, ExitCodeAndNothingLeftInTemp) {
  const ExitCase& c = GetParam();
  Env env;
  if (c.setup_exit) env[L"FAKE_SETUP_EXIT"] = c.setup_exit;
  Outcome run = StartVariant(c.variant, c.args, env);
  EXPECT_EQ(run.exit_code, c.expected);
  EXPECT_EQ(run.Role("setup") != nullptr, c.setup_runs);
  EXPECT_TRUE(ListDir(temp_).empty()) << Narrow(ListDir(temp_).empty() ? L"" : ListDir(temp_)[0]);
}

const ExitCase kExitCases[] = {
    {"success", L"full", L"", nullptr, 0, true},
    {"reboot_passthrough", L"full", L"", L"3010", 3010, true},
    {"failure_passthrough", L"full", L" --slient", L"7", 7, true},
    {"cleanup", L"full", L" --cleanup", nullptr, 118, false},
    {"halvex_frame", L"full", L" --system-level --HALVEX-FRAME plugs.ini", nullptr, 118, false},
    {"build_mode", L"full", L" plugs.ini", nullptr, 0, false},
    {"previous_version_too_long", L"prev_long", L"", nullptr, 105, false},
    {"b7_second_halvex", L"b7_two_halvex", L"", nullptr, 112, false},
    {"b7_unknown_name", L"b7_unknown", L"", nullptr, 112, false},
    {"b7_integer_id", L"b7_int", L"", nullptr, 112, false},
    {"b7_empty", L"b7_empty", L"", nullptr, 112, false},
    {"b7_name_leaves_work_dir", L"b7_escape", L"", nullptr, 112, false},
    {"b7_missing", L"no_b7", L"", nullptr, 112, false},
    {"b7_none_at_all", L"", L"", nullptr, 112, false},
    {"patch_named_like_setup", L"patch_named_setup", L"", nullptr, 112, false},
    {"bl_missing", L"no_bl", L"", nullptr, 116, false},
    {"bl_halvex_name", L"bl_halvex", L"", nullptr, 116, false},
    {"bl_integer_id", L"bl_int", L"", nullptr, 116, false},
    {"bl_empty", L"bl_empty", L"", nullptr, 116, false},
    {"bl_second_setup", L"bl_second", L"", nullptr, 116, false},
    {"cab_truncated", L"cab_truncated", L"", nullptr, 115, false},
    {"cab_garbage", L"cab_garbage", L"", nullptr, 115, false},
    {"cab_not_a_program", L"cab_not_exe", L"", nullptr, 124, false},
    {"cab_other_entry_name", L"cab_other_name", L"", nullptr, 0, true},
    {"cab_several_entries", L"cab_multi", L"", nullptr, 0, true},
};

INSTANTIATE_TEST_SUITE_P(Table, ExitCodes, ::testing::ValuesIn(kExitCases),
                         [](const ::testing::TestParamInfo<ExitCase>& info) {
                           return std::string(info.param.name);
                         });

// Paths of a given length under `root` (components kept below 255 units).
std::wstring PathOfLength(const std::wstring& root, size_t length) {
  std::wstring path = root;
  CreateDirectoryW(root.c_str(), nullptr);
  while (path.size() < length) {
    size_t part = std::min<size_t>(200, length - path.size() - 1);
    if (part == 0) part = 1;
    path += L"\\" + std::wstring(part, L'p');
    CreateDirectoryW((L"\\\\?\\" + path).c_str(), nullptr);
  }
  return path;
}

TEST_F(E2e, ExitCodeWhenNeitherTempNorProgramFolderHasRoom) {
  // A temp path of 300 units fails the temp attempt. The program sits in a
  // folder of 248 units, where "CR_" leaves fewer than 11 units: 108.
  std::wstring long_temp = PathOfLength(temp_, 300);
  std::wstring dir = PathOfLength(dir_ + L"\\prog", 248);
  ASSERT_EQ(dir.size(), 248u);
  std::wstring program = dir + L"\\bp.exe";
  ASSERT_TRUE(CopyFileW(Program(L"full").c_str(), program.c_str(), FALSE));
  Outcome run = Start(program, L"\"" + program + L"\"", {{L"TMP", long_temp}, {L"TEMP", long_temp}});
  EXPECT_EQ(run.exit_code, 108u);
  EXPECT_FALSE(run.Role("setup"));
  EXPECT_TRUE(ListDir(long_temp).empty());
  EXPECT_EQ(ListDir(dir), std::vector<std::wstring>{L"bp.exe"});
}

TEST_F(E2e, CleanupSwitchDeletesNothing) {
  std::wstring kept = temp_ + L"\\CR_ABCDE.tmp";
  ASSERT_TRUE(CreateDirectoryW(kept.c_str(), nullptr));
  ASSERT_TRUE(bptest::WriteFileBytes(kept + L"\\setup.exe", "left by an earlier run"));
  Outcome run = StartVariant(L"full", L" --cleanup");
  EXPECT_EQ(run.exit_code, 118u);
  EXPECT_EQ(ListDir(temp_), std::vector<std::wstring>{L"CR_ABCDE.tmp"});
  EXPECT_TRUE(Exists(kept + L"\\setup.exe"));
}

TEST_F(E2e, ExitCodeWhenSetupPathDoesNotFit) {
  // Base of 240 units: the work directory fits, its "setup.exe" does not.
  std::wstring base = PathOfLength(temp_, 239);
  ASSERT_EQ(base.size(), 239u);
  Outcome run = StartVariant(L"full", L"", {{L"TMP", base}, {L"TEMP", base}});
  EXPECT_EQ(run.exit_code, 108u);
  EXPECT_TRUE(ListDir(base).empty());
}

// ---- flow -------------------------------------------------------------------

class Flow : public E2e {};

TEST_F(Flow, SetupCommandLineAndWorkDirectory) {
  std::wstring program = Program(L"full");
  Outcome run = Start(program, L"\"" + program + L"\" --system-level \"--install-path=C:\\My Dir\"");
  ASSERT_EQ(run.exit_code, 0u);
  const Record* setup = run.Role("setup");
  ASSERT_TRUE(setup);
  std::string wd = WorkDirOf(*setup, temp_);
  EXPECT_EQ(setup->at("cmdline"), "\"" + wd + "setup.exe\" --install-archive=\"" + wd +
                                      "HALVEX.PACKED.7Z\" --system-level \"--install-path=C:\\My Dir\"");
  // The payload arrived byte for byte; the cabinet was gone before setup ran.
  EXPECT_EQ(setup->at("archive_fnv"), FileFnv(bptest::FixtureDir() + L"\\payload.7z"));
  EXPECT_EQ(setup->at("listing"), "HALVEX.PACKED.7Z|setup.exe");
  EXPECT_TRUE(ListDir(temp_).empty());
}

TEST_F(Flow, ForwardedArgumentsByteForByte) {
  std::wstring program = Program(L"full");
  const std::wstring p = L"\"" + program + L"\"";
  const struct {
    std::wstring command_line;
    std::string forwarded;
  } cases[] = {
      {p + L" --system-level", " --system-level"},
      {p + L"\t--slient  --x", "\t--slient  --x"},
      {p + L"--portable", " --portable"},
      {L"\"" + program + L" --a", ""},  // no closing quote: nothing
      {program + L" --b \"--c d\"", " --b \"--c d\""},
      {p, ""},
  };
  for (const auto& c : cases) {
    Outcome run = Start(program, c.command_line);
    ASSERT_EQ(run.exit_code, 0u) << Narrow(c.command_line);
    const Record* setup = run.Role("setup");
    ASSERT_TRUE(setup) << Narrow(c.command_line);
    std::string wd = WorkDirOf(*setup, temp_);
    EXPECT_EQ(setup->at("cmdline"), "\"" + wd + "setup.exe\" --install-archive=\"" + wd +
                                        "HALVEX.PACKED.7Z\"" + c.forwarded)
        << Narrow(c.command_line);
  }
  EXPECT_TRUE(ListDir(temp_).empty());
}

TEST_F(Flow, PreviousVersionResource) {
  const struct {
    const wchar_t* variant;
    bool passed;
  } cases[] = {{L"prev_even", true}, {L"prev_odd", false}, {L"prev_nonul", false}};
  for (const auto& c : cases) {
    Outcome run = StartVariant(c.variant, L" --slient");
    ASSERT_EQ(run.exit_code, 0u) << Narrow(c.variant);
    const Record* setup = run.Role("setup");
    ASSERT_TRUE(setup);
    std::string wd = WorkDirOf(*setup, temp_);
    EXPECT_EQ(setup->at("cmdline"),
              "\"" + wd + "setup.exe\" --install-archive=\"" + wd + "HALVEX.PACKED.7Z\"" +
                  (c.passed ? " --previous-version=\"12.0.1\"" : "") + " --slient")
        << Narrow(c.variant);
  }
}

// The install goes on when %WINDIR% is unset or points nowhere, and when the
// parent strips SystemRoot as well. Which cabinet.dll path loads is not
// visible from here, and the fixed C:\Windows one cannot be reached: Wine
// gives every process SystemRoot (C:\windows) whatever its parent passes, as
// the setup program's own environment shows, so every run can load through
// %SYSTEMROOT%. The order of the paths, the fixed one included, is checked
// in-process (CabinetCandidateTest).
TEST_F(Flow, CabinetLibraryLoadsWithoutUsableWindir) {
  const struct {
    Env env;
    const char* windir;  // what setup, and so the installer, had
  } cases[] = {
      {{{L"WINDIR", kUnset}}, ""},
      {{{L"WINDIR", L"C:\\nowhere"}}, "C:\\nowhere"},
      {{{L"WINDIR", kUnset}, {L"SYSTEMROOT", kUnset}}, ""},
      {{{L"WINDIR", L"C:\\nowhere"}, {L"SYSTEMROOT", L"C:\\nowhere"}}, "C:\\nowhere"},
  };
  for (const auto& c : cases) {
    Outcome run = StartVariant(L"full", L"", c.env);
    const std::string what = Narrow(c.env.begin()->first + L"=" + c.env.begin()->second) +
                             (c.env.size() > 1 ? " and SYSTEMROOT" : "");
    EXPECT_EQ(run.exit_code, 0u) << what;
    const Record* setup = run.Role("setup");
    ASSERT_TRUE(setup) << what;
    EXPECT_EQ(setup->at("windir"), c.windir) << what;
    EXPECT_TRUE(_stricmp(setup->at("systemroot").c_str(), "C:\\windows") == 0)
        << what << ": " << setup->at("systemroot");
  }
  EXPECT_TRUE(ListDir(temp_).empty());
}

TEST_F(Flow, MissingTempFolderIsCreated) {
  std::wstring missing = temp_ + L"\\not-yet";
  Outcome run = StartVariant(L"full", L"", {{L"TMP", missing}, {L"TEMP", missing}});
  ASSERT_EQ(run.exit_code, 0u);
  ASSERT_TRUE(run.Role("setup"));
  WorkDirOf(*run.Role("setup"), missing);
  EXPECT_TRUE(Exists(missing));
  EXPECT_TRUE(ListDir(missing).empty());
}

TEST_F(Flow, WorkDirectoryBesideTheProgramWhenTempIsTooLong) {
  std::wstring long_temp = PathOfLength(temp_, 300);
  std::wstring beside = dir_ + L"\\prog";
  CreateDirectoryW(beside.c_str(), nullptr);
  std::wstring program = beside + L"\\bp.exe";
  ASSERT_TRUE(CopyFileW(Program(L"full").c_str(), program.c_str(), FALSE));
  Outcome run = Start(program, L"\"" + program + L"\"", {{L"TMP", long_temp}, {L"TEMP", long_temp}});
  ASSERT_EQ(run.exit_code, 0u);
  ASSERT_TRUE(run.Role("setup"));
  WorkDirOf(*run.Role("setup"), beside);
  EXPECT_EQ(ListDir(beside), std::vector<std::wstring>{L"bp.exe"});
}

TEST_F(Flow, ConcurrentRunsGetTheirOwnWorkDirectories) {
  // Three installers at once in one temp folder: distinct names, all cleaned up.
  std::wstring program = Program(L"full");
  std::vector<HANDLE> processes;
  std::vector<std::wstring> logs;
  for (int i = 0; i < 3; ++i) {
    logs.push_back(dir_ + L"\\setup" + std::to_wstring(i) + L".log");
    processes.push_back(Launch(program, L"\"" + program + L"\"", {{L"FAKE_SETUP_LOG", logs.back()}}));
  }
  std::set<std::string> dirs;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Finish(processes[i]), 0u);
    std::vector<Record> records = ReadLog(logs[i]);
    ASSERT_EQ(records.size(), 1u);
    dirs.insert(WorkDirOf(records[0], temp_));
  }
  EXPECT_EQ(dirs.size(), 3u);
  EXPECT_TRUE(ListDir(temp_).empty());
}

// ---- large payload ------------------------------------------------------------

class Large : public E2e {};

TEST_F(Large, PayloadAcrossSeveralWriteChunks) {
  Outcome run = StartVariant(L"large");
  ASSERT_EQ(run.exit_code, 0u);
  const Record* setup = run.Role("setup");
  ASSERT_TRUE(setup);
  EXPECT_EQ(setup->at("archive_size"), "20971520");
  EXPECT_EQ(setup->at("archive_fnv"), FileFnv(bptest::FixtureDir() + L"\\large.7z"));
  EXPECT_TRUE(ListDir(temp_).empty());
}

// ---- registry (run alone: every run reads these keys) ---------------------------

class Registry : public bptest::WithProductKey<E2e> {
 public:
  // Installs the fake setup at a path that carries the previous version and
  // registers it (32-bit view) under `root`.
  std::wstring RegisterInstalledSetup(HKEY root, const std::wstring& version = L"12.0.1") {
    std::wstring dir = dir_ + L"\\Halvex";
    CreateDirectoryW(dir.c_str(), nullptr);
    dir += L"\\" + version;
    CreateDirectoryW(dir.c_str(), nullptr);
    std::wstring installed = dir + L"\\setup.exe";
    EXPECT_TRUE(CopyFileW((bptest::BinDir() + L"\\fake_setup.exe").c_str(), installed.c_str(),
                          FALSE));
    SetString(root, KEY_WOW64_32KEY, L"UninstallString", L"\"" + installed + L"\"");
    return installed;
  }
};

TEST_F(Registry, CleanupValueZeroKeepsTheFiles) {
  const struct {
    const char* name;
    DWORD type;
    std::wstring text;
    bool kept;
  } cases[] = {
      {"zero", REG_SZ, L"0", true},       {"double_zero", REG_SZ, L"00", false},
      {"one", REG_SZ, L"1", false},       {"blank_zero", REG_SZ, L" 0", false},
      {"dword_zero", REG_DWORD, L"", false}, {"absent", REG_NONE, L"", false},
  };
  for (const auto& c : cases) {
    TearDown();
    bptest::RemoveTree(temp_);
    CreateDirectoryW(temp_.c_str(), nullptr);
    if (c.type == REG_SZ) SetCleanupValue(c.text);
    if (c.type == REG_DWORD) {
      DWORD zero = 0;
      SetValue(HKEY_CURRENT_USER, 0, L"HalvexInstallerCleanup", REG_DWORD, &zero, 4);
    }
    Outcome run = StartVariant(L"full");
    EXPECT_EQ(run.exit_code, 0u) << c.name;
    std::vector<std::wstring> left = ListDir(temp_);
    if (c.kept) {
      ASSERT_EQ(left.size(), 1u) << c.name;
      EXPECT_TRUE(std::regex_match(Narrow(left[0]), std::regex("CR_[0-9A-F]{5}\\.tmp")));
      EXPECT_EQ(ListDir(temp_ + L"\\" + left[0]),
                (std::vector<std::wstring>{L"HALVEX.PACKED.7Z", L"setup.exe"}));
    } else {
      EXPECT_TRUE(left.empty()) << c.name;
    }
  }
}

TEST_F(Registry, PatchFlow) {
  std::wstring installed = RegisterInstalledSetup(HKEY_CURRENT_USER);
  Outcome run = StartVariant(L"patch", L" --slient", {{L"FAKE_SETUP_EXIT", L"3010"}});
  ASSERT_EQ(run.exit_code, 3010u);
  ASSERT_EQ(run.records.size(), 2u);
  const Record* patch = run.Role("patch");
  const Record* setup = run.Role("setup");
  ASSERT_TRUE(patch && setup);
  std::string wd = WorkDirOf(*setup, temp_);
  EXPECT_EQ(patch->at("cmdline"), "\"" + Narrow(installed) + "\" --update-setup-exe=\"" + wd +
                                      "SETUP.PATCH\" --new-setup-exe=\"" + wd +
                                      "setup.exe\" --slient");
  EXPECT_EQ(patch->at("patch_fnv"), FileFnv(bptest::FixtureDir() + L"\\patch.bin"));
  EXPECT_EQ(patch->at("listing"), "HALVEX.PACKED.7Z|SETUP.PATCH");
  EXPECT_EQ(setup->at("cmdline"), "\"" + wd + "setup.exe\" --install-archive=\"" + wd +
                                      "HALVEX.PACKED.7Z\" --previous-version=\"12.0.1\" --slient");
  // The patch was deleted before setup ran.
  EXPECT_EQ(setup->at("listing"), "HALVEX.PACKED.7Z|setup.exe");
  EXPECT_TRUE(ListDir(temp_).empty());
}

TEST_F(Registry, PatchFailures) {
  struct Case {
    const char* name;
    std::function<void(Registry*)> arrange;
    Env env;
    DWORD expected;
    bool patch_runs;
  };
  const DWORD dword = 1;
  const std::vector<Case> cases = {
      {"no_product_key", [](Registry*) {}, {}, 110, false},
      {"uninstall_string_not_text",
       [&](Registry* t) {
         t->SetValue(HKEY_CURRENT_USER, KEY_WOW64_32KEY, L"UninstallString", REG_DWORD, &dword, 4);
       },
       {}, 110, false},
      {"uninstall_string_too_long",
       [](Registry* t) {
         t->SetString(HKEY_CURRENT_USER, KEY_WOW64_32KEY, L"UninstallString",
                      L"C:\\12.0.1\\" + std::wstring(260, L'x'));
       },
       {}, 110, false},
      {"version_mismatch",
       [](Registry* t) { t->RegisterInstalledSetup(HKEY_CURRENT_USER, L"11.9.9"); }, {}, 111,
       false},
      {"installed_setup_fails",
       [](Registry* t) { t->RegisterInstalledSetup(HKEY_CURRENT_USER); },
       {{L"FAKE_PATCH_EXIT", L"5"}}, 5, true},
      {"installed_setup_leaves_partial_file",
       [](Registry* t) { t->RegisterInstalledSetup(HKEY_CURRENT_USER); },
       {{L"FAKE_PATCH_MODE", L"partial"}}, 9, true},
      {"installed_setup_missing",
       [](Registry* t) {
         t->SetString(HKEY_CURRENT_USER, KEY_WOW64_32KEY, L"UninstallString",
                      t->dir_ + L"\\12.0.1-setup.exe");
       },
       {}, 119, false},
      {"installed_setup_folder_missing",
       [](Registry* t) {
         t->SetString(HKEY_CURRENT_USER, KEY_WOW64_32KEY, L"UninstallString",
                      t->dir_ + L"\\gone\\12.0.1\\setup.exe");
       },
       {}, 120, false},
      {"installed_setup_not_a_program",
       [](Registry* t) {
         std::wstring dir = t->dir_ + L"\\12.0.1";
         CreateDirectoryW(dir.c_str(), nullptr);
         t->SetString(HKEY_CURRENT_USER, KEY_WOW64_32KEY, L"UninstallString", dir);
       },
       {}, 121, false},
      {"new_setup_not_written",
       [](Registry* t) { t->RegisterInstalledSetup(HKEY_CURRENT_USER); },
       {{L"FAKE_PATCH_MODE", L"skip"}}, 122, true},
      {"work_directory_vanished",
       [](Registry* t) { t->RegisterInstalledSetup(HKEY_CURRENT_USER); },
       {{L"FAKE_PATCH_MODE", L"vanish"}}, 123, true},
  };
  for (const Case& c : cases) {
    TearDown();
    bptest::RemoveTree(temp_);
    CreateDirectoryW(temp_.c_str(), nullptr);
    c.arrange(this);
    Outcome run = StartVariant(L"patch", L"", c.env);
    EXPECT_EQ(run.exit_code, c.expected) << c.name;
    EXPECT_EQ(run.Role("patch") != nullptr, c.patch_runs) << c.name;
    EXPECT_EQ(run.Role("setup"), nullptr) << c.name;
    std::vector<std::wstring> left = ListDir(temp_);
    if (std::string(c.name) == "work_directory_vanished") {
      ASSERT_EQ(left.size(), 1u);
      EXPECT_TRUE(std::regex_match(Narrow(left[0]), std::regex("CR_[0-9A-F]{5}\\.tmp\\.gone")));
    } else {
      EXPECT_TRUE(left.empty()) << c.name << ": " << (left.empty() ? "" : Narrow(left[0]));
    }
  }
}

TEST_F(Registry, QuotedUninstallStringWithArgumentsIsUsedWhole) {
  // Only a value that starts and ends with a quote loses its quotes; this one
  // is handed to CreateProcessW as the program name, quotes and all.
  std::wstring installed = RegisterInstalledSetup(HKEY_CURRENT_USER);
  SetString(HKEY_CURRENT_USER, KEY_WOW64_32KEY, L"UninstallString",
            L"\"" + installed + L"\" --uninstall");
  Outcome run = StartVariant(L"patch");
  EXPECT_GE(run.exit_code, 119u);
  EXPECT_LE(run.exit_code, 121u);
  EXPECT_TRUE(run.records.empty());
  EXPECT_TRUE(ListDir(temp_).empty());
}

TEST_F(Registry, MachineWideSelectsTheProductKeyRoot) {
  const struct {
    const char* name;
    HKEY registered;
    const wchar_t* args;
    const wchar_t* variable;  // null: unset
    DWORD expected;
  } cases[] = {
      {"switch_machine", HKEY_LOCAL_MACHINE, L" --system-level", nullptr, 0},
      {"variable_machine", HKEY_LOCAL_MACHINE, L"", L"1", 0},
      {"variable_ten", HKEY_LOCAL_MACHINE, L"", L"10", 110},
      {"variable_true", HKEY_LOCAL_MACHINE, L"", L"true", 110},
      {"variable_empty", HKEY_LOCAL_MACHINE, L"", L"", 110},
      {"user_default", HKEY_CURRENT_USER, L"", nullptr, 0},
      {"user_but_machine", HKEY_CURRENT_USER, L" --SYSTEM-LEVEL", nullptr, 110},
  };
  for (const auto& c : cases) {
    TearDown();
    RegisterInstalledSetup(c.registered);
    Env env;
    if (c.variable) env[L"HalvexUpdateIsMachine"] = c.variable;
    Outcome run = StartVariant(L"patch", c.args, env);
    EXPECT_EQ(run.exit_code, c.expected) << c.name;
    EXPECT_EQ(run.Role("setup") != nullptr, c.expected == 0) << c.name;
    EXPECT_TRUE(ListDir(temp_).empty()) << c.name;
  }
}

}  // namespace
