#include "bp_payload.h"

#include "bp_cabinet.h"
#include "bp_output_file.h"
#include "bp_setup_launch.h"

namespace bootpack {
namespace {

constexpr wchar_t kSetupFileName[] = L"setup.exe";
constexpr wchar_t kProductKey[] = L"Software\\Halvex";

// Resource names become file names inside the work directory: anything that
// could leave it, or name the setup program that the run produces, is refused.
bool IsUsableFileName(const wchar_t* name) {
  if (name[0] == 0 || EqualsNoCase(name, kSetupFileName)) return false;
  for (const wchar_t* p = name; *p != 0; ++p) {
    if (*p == L'\\' || *p == L'/' || *p == L':') return false;
  }
  return !(name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0)));
}

bool WalkResources(HMODULE module, const wchar_t* type, PayloadWalk* walk) {
  walk->stopped = false;
  const BOOL completed =
      EnumResourceNamesW(module, type, OnPayloadResource, reinterpret_cast<LONG_PTR>(walk));
  return completed && !walk->stopped;
}

}  // namespace

ByteView ResourceRef::Bytes() const {
  if (!IsValid()) return ByteView();
  HGLOBAL loaded = LoadResource(module_, resource_);
  if (loaded == nullptr) return ByteView();
  const void* data = LockResource(loaded);
  if (data == nullptr) return ByteView();
  return ByteView(data, Size());
}

bool ResourceRef::WriteToFile(const wchar_t* path) const {
  ByteView bytes = Bytes();
  if (bytes.data() == nullptr) return false;
  return WriteBufferToFile(path, bytes.data(), bytes.size());
}

bool WriteBufferToFile(const wchar_t* path, const void* bytes, DWORD size) {
  OutputFile file;
  if (!file.Open(path)) return false;
  const uint8_t* next = static_cast<const uint8_t*>(bytes);
  DWORD left = size;
  while (left > 0) {
    const DWORD chunk = left < kWriteChunk ? left : kWriteChunk;
    DWORD written = 0;
    if (!WriteFile(file.Handle(), next, chunk, &written, nullptr) || written == 0) {
      const DWORD error = written == 0 && GetLastError() == 0 ? ERROR_WRITE_FAULT : GetLastError();
      file.MarkDeleteOnClose();
      file.Close();
      SetLastError(error);
      return false;
    }
    next += written;
    left -= written;
  }
  file.Close();
  return true;
}

BOOL CALLBACK OnPayloadResource(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR param) {
  PayloadWalk* walk = reinterpret_cast<PayloadWalk*>(param);
  walk->stopped = true;  // cleared below when the walk goes on
  if (IS_INTRESOURCE(name)) return FALSE;
  ResourceRef resource(module, FindResourceW(module, name, type));
  if (!resource.IsValid() || resource.Size() == 0) return FALSE;
  if (!IsUsableFileName(name)) return FALSE;
  PathBuffer path;
  if (!BoundedCopy(path, walk->work_dir) || !BoundedAppend(path, name)) return FALSE;

  wchar_t* record = nullptr;
  if (StartsWithNoCase(name, L"halvex") && walk->archive_path[0] == 0) {
    record = walk->archive_path;
  } else if (StartsWithNoCase(name, L"setup") && walk->setup_path[0] == 0) {
    record = walk->setup_path;
  } else {
    return FALSE;
  }
  // Recorded before writing: should a failed write be unable to remove its
  // partial file, the cleanup still finds it. The walk stops on failure.
  BoundedCopy(record, kPathCapacity, path);
  if (!resource.WriteToFile(path)) return FALSE;
  walk->stopped = false;
  return TRUE;
}

LONG OpenProductKey(RegKey* key, bool is_machine, REGSAM access) {
  return key->Open(is_machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, kProductKey,
                   access | KEY_WOW64_32KEY);
}

ExitResult FindPreviousSetup(bool is_machine, const wchar_t* previous_version,
                             wchar_t (&setup_path)[kPathCapacity]) {
  ExitResult result;
  setup_path[0] = 0;
  RegKey key;
  if (OpenProductKey(&key, is_machine, KEY_QUERY_VALUE) != ERROR_SUCCESS ||
      key.ReadString(L"UninstallString", setup_path, kPathCapacity) != ERROR_SUCCESS) {
    result.exit_code = kPreviousSetupKeyUnreadable;
    return result;
  }
  if (previous_version != nullptr && FindNoCase(setup_path, previous_version) == nullptr) {
    result.exit_code = kPreviousSetupVersionMismatch;
    return result;
  }
  const size_t length = BoundedLength(setup_path);
  if (length >= 2 && setup_path[0] == L'"' && setup_path[length - 1] == L'"') {
    for (size_t i = 0; i + 2 < length; ++i) setup_path[i] = setup_path[i + 1];
    setup_path[length - 2] = 0;
  }
  return result;
}

ExitResult ExtractPayload(const InstallerConfig& config, HMODULE module, const wchar_t* work_dir,
                          wchar_t (&archive_path)[kPathCapacity],
                          wchar_t (&setup_path)[kPathCapacity]) {
  ExitResult result;
  archive_path[0] = 0;
  setup_path[0] = 0;
  PathBuffer target;
  if (!BoundedCopy(target, work_dir) || !BoundedAppend(target, kSetupFileName)) {
    result.exit_code = kPathTooLong;
    return result;
  }

  PayloadWalk walk = {work_dir, archive_path, setup_path, false};
  if (!WalkResources(module, L"B7", &walk) || archive_path[0] == 0) {
    result.exit_code = kPayloadExtractFailed;
    return result;
  }

  if (setup_path[0] != 0) {
    // A patch: the installed setup program writes the new one to the target.
    PathBuffer installed;
    result = FindPreviousSetup(config.is_system_level, config.previous_version, installed);
    if (result.ok()) {
      CommandLineBuffer command;
      result = BuildPatchCommandLine(installed, setup_path, target, config.command_line, command);
      if (result.ok()) {
        result = RunProcessAndWait(installed, command, kPatchSetupNotFound,
                                   kPatchSetupPathNotFound, kPatchSetupStartFailed);
      }
    }
    DeleteWithRetry(setup_path);
    // Even after a failure the target may hold a partial file: clean it up too.
    BoundedCopy(setup_path, target);
    return result;
  }

  PayloadWalk setup_walk = {work_dir, archive_path, setup_path, false};
  if (!WalkResources(module, L"BL", &setup_walk) || setup_path[0] == 0) {
    result.exit_code = kSetupResourceMissing;
    return result;
  }
  const bool expanded = ExpandCabinet(setup_path, target);
  DeleteWithRetry(setup_path);
  BoundedCopy(setup_path, target);
  if (!expanded) result.exit_code = kSetupExpandFailed;
  return result;
}

}  // namespace bootpack
