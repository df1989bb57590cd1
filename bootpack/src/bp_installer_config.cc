#include "bp_installer_config.h"

#include <shellapi.h>

#include "bp_byte_view.h"
#include "bp_registry.h"

namespace bootpack {
namespace {

constexpr wchar_t kProductKey[] = L"Software\\Halvex";
constexpr wchar_t kCleanupValue[] = L"HalvexInstallerCleanup";
constexpr wchar_t kMachineVariable[] = L"HalvexUpdateIsMachine";

bool StartsWithTwoHyphens(const wchar_t* arg) { return arg[0] == L'-' && arg[1] == L'-'; }

}  // namespace

const wchar_t* FindPreviousVersion(HMODULE module) {
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
  if (found == nullptr) return nullptr;
  HGLOBAL loaded = LoadResource(module, found);
  if (loaded == nullptr) return nullptr;
  ByteView bytes(LockResource(loaded), SizeofResource(module, found));
  uint16_t last = 1;
  if (bytes.empty() || bytes.size() % 2 != 0 || !bytes.ReadU16(bytes.size() - 2, &last) ||
      last != 0) {
    return nullptr;
  }
  return reinterpret_cast<const wchar_t*>(bytes.data());
}

bool InstallerConfig::Initialize(HMODULE module, const wchar_t* raw_command_line) {
  Clear();
  previous_version = FindPreviousVersion(module);
  wchar_t cleanup[2];
  if (ReadRegistryString(HKEY_CURRENT_USER, kProductKey, kCleanupValue, cleanup, 2) &&
      cleanup[0] == L'0') {
    delete_extracted_files = false;
  }
  return ParseCommandLine(raw_command_line);
}

bool InstallerConfig::ParseCommandLine(const wchar_t* raw_command_line) {
  // CommandLineToArgvW has no defined behaviour for a null text.
  if (raw_command_line == nullptr) return false;
  command_line = raw_command_line;
  argv = CommandLineToArgvW(raw_command_line, &argc);
  if (argv == nullptr) {
    argc = 0;
    return false;
  }
  for (int i = 1; i < argc; ++i) {
    const wchar_t* arg = argv[i];
    if (lstrcmpiW(arg, L"--system-level") == 0) {
      is_system_level = true;
    } else if (lstrcmpiW(arg, L"--cleanup") == 0 || lstrcmpiW(arg, L"--halvex-frame") == 0) {
      nothing_to_do = true;
    } else if (lstrcmpiW(arg, L"--slient") == 0) {
      is_silent = true;
    } else if (lstrcmpiW(arg, L"--portable") == 0) {
      is_portable = true;
    } else if (StartsWithNoCase(arg, L"--install-path")) {
      for (const wchar_t* p = arg; *p != 0; ++p) {
        if (*p == L'=') {
          install_path = p + 1;
          break;
        }
      }
    } else if (lstrcmpiW(arg, L"--display-plugs") == 0) {
      skip_plug_extraction = true;
    } else if (!StartsWithTwoHyphens(arg)) {
      plugs_ini_path = arg;
    }
  }
  if (!is_system_level) {
    wchar_t value[2];
    if (GetEnvironmentVariableW(kMachineVariable, value, 2) == 1 && value[0] == L'1') {
      is_system_level = true;
    }
  }
  return true;
}

void InstallerConfig::Clear() {
  if (argv != nullptr) LocalFree(argv);
  argv = nullptr;
  argc = 0;
  command_line = nullptr;
  is_system_level = false;
  nothing_to_do = false;
  delete_extracted_files = true;
  previous_version = nullptr;
  is_silent = false;
  is_portable = false;
  install_path = nullptr;
  skip_plug_extraction = false;
  plugs_ini_path = nullptr;
  plugs_ini_storage[0] = 0;
}

}  // namespace bootpack
