// The fixture of the end-to-end tests: runs real bootpack variants under Wine,
// each run with its own temp folder, log file and environment, started with
// an exact command line (environment set on the Linux side does not all
// reach Windows programs).
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "bp_test_util.h"

namespace bptest {

using Record = std::map<std::string, std::string>;
using Env = std::map<std::wstring, std::wstring>;

// An Env value that removes the variable instead of setting it.
inline const std::wstring kUnset = L"\x7f";

inline std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) c = towupper(c);
  return text;
}

inline std::wstring Program(const std::wstring& variant) {
  return bptest::BinDir() + (variant.empty() ? L"\\bootpack.exe" : L"\\bootpack_" + variant + L".exe");
}

inline std::string Hex(uint64_t value) {
  char text[17];
  snprintf(text, sizeof(text), "%016llx", static_cast<unsigned long long>(value));
  return text;
}

inline std::string FileFnv(const std::wstring& path) {
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(bptest::ReadFileBytes(path, &bytes)) << Narrow(path);
  return Hex(bptest::Fnv1a(bytes));
}

struct Outcome {
  DWORD exit_code = 0xFFFFFFFF;
  std::vector<Record> records;  // one per fake setup invocation

  const Record* Role(const std::string& role) const {
    for (const Record& r : records) {
      auto it = r.find("role");
      if (it != r.end() && it->second == role) return &r;
    }
    return nullptr;
  }
};

class E2e : public ::testing::Test {
 public:
  void SetUp() override {
    dir_ = bptest::FreshTestDir("", true);
    temp_ = dir_ + L"\\tmp";
    CreateDirectoryW(temp_.c_str(), nullptr);
    log_ = dir_ + L"\\setup.log";
  }

  // Starts `program` with exactly `command_line` and the test's environment
  // plus `extra`; returns the process handle, or null.
  HANDLE Launch(const std::wstring& program, const std::wstring& command_line,
                const Env& extra = {}) {
    Env env;
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* p = block; *p; p += wcslen(p) + 1) {
      std::wstring entry = p;
      size_t eq = entry.find(L'=', 1);
      if (eq == std::wstring::npos) continue;
      std::wstring key = entry.substr(0, eq);
      std::wstring upper = Upper(key);
      if (upper == L"TMP" || upper == L"TEMP" || upper == L"HALVEXUPDATEISMACHINE" ||
          upper.rfind(L"FAKE_", 0) == 0) {
        continue;
      }
      env[key] = entry.substr(eq + 1);
    }
    FreeEnvironmentStringsW(block);
    env[L"TMP"] = temp_;
    env[L"TEMP"] = temp_;
    env[L"FAKE_SETUP_LOG"] = log_;
    for (const auto& kv : extra) {
      for (auto it = env.begin(); it != env.end();) {
        it = Upper(it->first) == Upper(kv.first) ? env.erase(it) : std::next(it);
      }
      if (kv.second != kUnset) env[kv.first] = kv.second;
    }
    std::wstring env_block;
    for (const auto& kv : env) env_block += kv.first + L"=" + kv.second + L'\0';
    env_block += L'\0';

    std::vector<wchar_t> command(command_line.begin(), command_line.end());
    command.push_back(0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE,
                        CREATE_UNICODE_ENVIRONMENT, &env_block[0], dir_.c_str(), &startup,
                        &process)) {
      ADD_FAILURE() << "cannot start " << Narrow(program) << ": " << GetLastError();
      return nullptr;
    }
    CloseHandle(process.hThread);
    return process.hProcess;
  }

  DWORD Finish(HANDLE process) {
    DWORD exit_code = 0xFFFFFFFF;
    if (process == nullptr) return exit_code;
    EXPECT_EQ(WaitForSingleObject(process, 60000), WAIT_OBJECT_0);
    GetExitCodeProcess(process, &exit_code);
    CloseHandle(process);
    return exit_code;
  }

  Outcome Start(const std::wstring& program, const std::wstring& command_line,
                const Env& extra = {}) {
    Outcome run;
    run.exit_code = Finish(Launch(program, command_line, extra));
    run.records = ReadLog(log_);
    return run;
  }

  Outcome StartVariant(const std::wstring& variant, const std::wstring& args = L"",
                   const Env& extra = {}) {
    std::wstring program = Program(variant);
    return Start(program, L"\"" + program + L"\"" + args, extra);
  }

  static std::vector<Record> ReadLog(const std::wstring& log) {
    std::vector<uint8_t> bytes;
    std::vector<Record> records;
    if (!bptest::ReadFileBytes(log, &bytes)) return records;
    std::string text(bytes.begin(), bytes.end());
    size_t at = 0;
    while (at < text.size()) {
      size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(at, end - at);
      at = end + 1;
      if (line == "---") {
        records.emplace_back();
      } else if (!records.empty()) {
        size_t eq = line.find('=');
        if (eq != std::string::npos) records.back()[line.substr(0, eq)] = line.substr(eq + 1);
      }
    }
    DeleteFileW(log.c_str());
    return records;
  }

  // The work directory named in the setup program's own path.
  std::string WorkDirOf(const Record& setup, const std::wstring& base) {
    const std::string cmd = setup.at("cmdline");
    std::string prefix = "\"" + Narrow(base) + "\\CR_";
    EXPECT_EQ(cmd.compare(0, prefix.size(), prefix), 0) << cmd;
    std::smatch m;
    std::regex form("^\"(.*\\\\CR_[0-9A-F]{5}\\.tmp\\\\)setup\\.exe\"");
    if (!std::regex_search(cmd, m, form)) {
      ADD_FAILURE() << "no work directory in " << cmd;
      return std::string();
    }
    return m[1];
  }

  std::wstring dir_, temp_, log_;
};

// A fixture that writes the product key, which every run reads: suites
// built on it are named Registry*, which ctest runs alone. The key goes at
// the end of each test.
template <typename Base>
class WithProductKey : public Base {
 public:
  void TearDown() override {
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
      RegDeleteKeyExW(root, kProductKey, KEY_WOW64_32KEY, 0);
      RegDeleteKeyExW(root, kProductKey, KEY_WOW64_64KEY, 0);
    }
    Base::TearDown();
  }
  void SetValue(HKEY root, REGSAM view, const wchar_t* name, DWORD type, const void* data,
                DWORD bytes) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(root, kProductKey, 0, nullptr, 0, KEY_SET_VALUE | view, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), bytes),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  void SetString(HKEY root, REGSAM view, const wchar_t* name, const std::wstring& value) {
    SetValue(root, view, name, REG_SZ, value.c_str(),
             static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  }
  // The cleanup switch: "0" keeps everything the run extracted.
  void SetCleanupValue(const std::wstring& value) {
    SetString(HKEY_CURRENT_USER, 0, L"HalvexInstallerCleanup", value);
  }

 private:
  static constexpr wchar_t kProductKey[] = L"Software\\Halvex";
};

}  // namespace bptest
