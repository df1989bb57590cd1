#include "bp_setup_launch.h"

#include <initializer_list>

#include "bp_output_file.h"
#include "bp_scoped_handle.h"

namespace bootpack {
namespace {

// Appends every piece in order; false at the first that does not fit.
bool AppendAll(wchar_t (&command)[kCommandLineCapacity],
               std::initializer_list<const wchar_t*> pieces) {
  for (const wchar_t* piece : pieces) {
    if (!BoundedAppend(command, piece)) return false;
  }
  return true;
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

ExitResult TooLong() {
  ExitResult result;
  result.exit_code = kCommandLineTooLong;
  return result;
}

HANDLE OpenForDelete(const wchar_t* path, DWORD access) {
  return CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// True when the entry was read-only and is now writable.
bool ClearReadOnly(const wchar_t* path) {
  ScopedHandle file(OpenForDelete(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES));
  if (!file.IsValid()) return false;
  FILE_BASIC_INFO info;
  if (!GetFileInformationByHandleEx(file.Get(), FileBasicInfo, &info, sizeof(info)) ||
      (info.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0) {
    return false;
  }
  info.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
  return SetFileInformationByHandle(file.Get(), FileBasicInfo, &info, sizeof(info)) != FALSE;
}

}  // namespace

void AppendForwardedArguments(wchar_t (&command)[kCommandLineCapacity], const wchar_t* raw) {
  if (raw == nullptr) return;
  const wchar_t* rest = raw;
  if (*rest == L'"') {
    ++rest;
    while (*rest != 0 && *rest != L'"') ++rest;
    if (*rest == 0) return;  // unterminated program path: nothing is forwarded
    ++rest;
  } else {
    while (*rest != 0 && !IsBlank(*rest)) ++rest;
  }
  if (*rest == 0) return;
  const size_t before = BoundedLength(command);
  if (!IsBlank(*rest) && !BoundedAppend(command, L" ")) return;
  if (!BoundedAppend(command, rest)) command[before] = 0;
}

ExitResult BuildSetupCommandLine(const InstallerConfig& config, const wchar_t* archive_path,
                                 const wchar_t* setup_path,
                                 wchar_t (&command)[kCommandLineCapacity]) {
  command[0] = 0;
  if (!AppendAll(command, {L"\"", setup_path, L"\"", L" --", L"install-archive", L"=\"",
                           archive_path, L"\""})) {
    return TooLong();
  }
  if (config.previous_version != nullptr &&
      !AppendAll(command, {L" --", L"previous-version", L"=\"", config.previous_version, L"\""})) {
    return TooLong();
  }
  if (config.plugs_ini_path != nullptr &&
      !AppendAll(command, {L" --", L"plugs-config-path", L"=\"", config.plugs_ini_path, L"\""})) {
    return TooLong();
  }
  AppendForwardedArguments(command, config.command_line);
  return ExitResult();
}

ExitResult BuildPatchCommandLine(const wchar_t* installed_setup, const wchar_t* patch_path,
                                 const wchar_t* target_path, const wchar_t* raw_command_line,
                                 wchar_t (&command)[kCommandLineCapacity]) {
  command[0] = 0;
  if (!AppendAll(command, {L"\"", installed_setup, L"\"", L" --", L"update-setup-exe", L"=\"",
                           patch_path, L"\"", L" --", L"new-setup-exe", L"=\"", target_path,
                           L"\""})) {
    return TooLong();
  }
  AppendForwardedArguments(command, raw_command_line);
  return ExitResult();
}

ExitResult RunSetup(const InstallerConfig& config, const wchar_t* archive_path,
                    const wchar_t* setup_path) {
  CommandLineBuffer command;
  ExitResult result = BuildSetupCommandLine(config, archive_path, setup_path, command);
  if (!result.ok()) return result;
  return RunProcessAndWait(setup_path, command, kSetupNotFound, kSetupPathNotFound,
                           kSetupStartFailed);
}

ExitResult RunProcessAndWait(const wchar_t* program, wchar_t* command_line,
                             uint32_t not_found_code, uint32_t path_not_found_code,
                             uint32_t other_code) {
  ExitResult result;
  STARTUPINFOW startup;
  FillBytes(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process;
  FillBytes(&process, 0, sizeof(process));
  if (!CreateProcessW(program, command_line, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &process)) {
    const DWORD error = GetLastError();
    result.exit_code = error == ERROR_FILE_NOT_FOUND   ? not_found_code
                       : error == ERROR_PATH_NOT_FOUND ? path_not_found_code
                                                       : other_code;
    return result;
  }
  CloseHandle(process.hThread);
  ScopedHandle handle(process.hProcess);
  DWORD exit_code = 0;
  if (WaitForSingleObject(handle.Get(), INFINITE) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(handle.Get(), &exit_code)) {
    result.exit_code = kSetupWaitFailed;
    return result;
  }
  result.exit_code = exit_code;
  return result;
}

bool DeleteWithRetry(const wchar_t* path, int max_attempts) {
  int attempts = 1;
  // Both loops that do not sleep are bounded: clearing the read-only flag,
  // and an entry that is still there right after its delete disposition was
  // set (a file system that ignores the disposition).
  int read_only_cleared = 0;
  bool disposition_set = false;
  for (;;) {
    ScopedHandle file(OpenForDelete(path, DELETE));
    DWORD error = ERROR_SUCCESS;
    if (file.IsValid()) {
      if (!disposition_set && SetDeleteDisposition(file.Get(), true)) {
        file.Close();
        disposition_set = true;
        continue;
      }
      error = disposition_set ? ERROR_DIR_NOT_EMPTY : GetLastError();
    } else {
      error = GetLastError();
    }
    disposition_set = false;
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
    if (error == ERROR_ACCESS_DENIED) {
      file.Close();
      if (read_only_cleared < max_attempts && ClearReadOnly(path)) {
        ++read_only_cleared;
        continue;
      }
    } else if (error != ERROR_DIR_NOT_EMPTY && error != ERROR_SHARING_VIOLATION) {
      return false;
    }
    if (attempts >= max_attempts) return false;
    ++attempts;
    file.Close();
    Sleep(kDeleteRetryDelayMs);
  }
}

void DeleteExtractedFiles(const wchar_t* archive_path, const wchar_t* setup_path,
                          const wchar_t* work_dir) {
  if (archive_path != nullptr && archive_path[0] != 0) DeleteWithRetry(archive_path);
  if (setup_path != nullptr && setup_path[0] != 0) DeleteWithRetry(setup_path);
  if (work_dir != nullptr && work_dir[0] != 0) DeleteWithRetry(work_dir);
}

}  // namespace bootpack
