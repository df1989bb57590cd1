#include "bp_work_dir.h"

#include <sddl.h>

#include "bp_scoped_handle.h"

extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);  // RtlGenRandom

namespace bootpack {
namespace {

constexpr int kNameAttempts = 10;
// 5 digits, ".tmp", "\" and the NUL.
constexpr size_t kNameRoom = 11;
constexpr wchar_t kSddlPrefix[] =
    L"D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)"
    L"(A;OIIOCI;GA;;;CO)(A;;FA;;;";

}  // namespace

bool HexEncode(const uint8_t* bytes, size_t count, wchar_t* out, size_t capacity) {
  static const wchar_t kDigits[] = L"0123456789ABCDEF";
  if (out == nullptr || count >= capacity || 2 * count >= capacity) return false;
  for (size_t i = 0; i < count; ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 0x0F];
  }
  out[2 * count] = 0;
  return true;
}

bool BuildWorkDirSddl(const wchar_t* owner_sid, wchar_t* sddl, size_t capacity) {
  if (!BoundedCopy(sddl, capacity, kSddlPrefix)) return false;
  return BoundedAppend(sddl, capacity, owner_sid) && BoundedAppend(sddl, capacity, L")");
}

bool GetOwnerSidString(wchar_t** sid_text) {
  *sid_text = nullptr;
  ScopedHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Receive())) return false;
  DWORD size = 0;
  if (GetTokenInformation(token.Get(), TokenOwner, nullptr, 0, &size) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) {
    return false;
  }
  ScopedLocal<TOKEN_OWNER*> owner;
  *owner.Receive() = static_cast<TOKEN_OWNER*>(LocalAlloc(LPTR, size));
  if (owner.Get() == nullptr) return false;
  if (!GetTokenInformation(token.Get(), TokenOwner, owner.Get(), size, &size)) return false;
  return ConvertSidToStringSidW(owner.Get()->Owner, sid_text) != FALSE;
}

bool MakeWorkDirSecurity(const wchar_t* path, PSECURITY_DESCRIPTOR* descriptor) {
  *descriptor = nullptr;
  PathBuffer volume;
  DWORD flags = 0;
  if (!GetVolumePathNameW(path, volume, kPathCapacity) ||
      !GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) ||
      (flags & FILE_PERSISTENT_ACLS) == 0) {
    return true;
  }
  ScopedLocal<wchar_t*> sid;
  if (!GetOwnerSidString(sid.Receive())) return false;
  wchar_t sddl[kSecurityTextCapacity];
  if (!BuildWorkDirSddl(sid.Get(), sddl, kSecurityTextCapacity)) return false;
  return ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, descriptor,
                                                              nullptr) != FALSE;
}

bool CreateUniqueWorkDir(const wchar_t* base, wchar_t (&work_dir)[kPathCapacity],
                         ExitResult* result) {
  result->exit_code = kPathTooLong;
  if (!BoundedCopy(work_dir, base) || !BoundedAppend(work_dir, L"CR_")) return false;
  const size_t name_at = BoundedLength(work_dir);
  if (kPathCapacity - name_at < kNameRoom) return false;

  ScopedLocal<PSECURITY_DESCRIPTOR> descriptor;
  if (!MakeWorkDirSecurity(base, descriptor.Receive())) {
    result->exit_code = kWorkDirSecurityFailed;
    return false;
  }
  SECURITY_ATTRIBUTES attributes;
  attributes.nLength = sizeof(attributes);
  attributes.lpSecurityDescriptor = descriptor.Get();
  attributes.bInheritHandle = FALSE;

  result->exit_code = kWorkDirUnavailable;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    // A failed generator would leave predictable (or stale) bytes: skip it.
    uint8_t random[4] = {0, 0, 0, 0};
    if (!SystemFunction036(random, sizeof(random))) continue;
    work_dir[name_at] = 0;
    if (!HexEncode(random, sizeof(random), work_dir + name_at, kPathCapacity - name_at)) {
      // Cannot happen with 11 units of room; treated as a failed attempt.
      continue;
    }
    work_dir[name_at + 5] = 0;
    BoundedAppend(work_dir, L".tmp");
    if (CreateDirectoryW(work_dir, descriptor.Get() != nullptr ? &attributes : nullptr)) {
      BoundedAppend(work_dir, L"\\");
      result->exit_code = kSuccess;
      break;
    }
  }
  if (!result->ok()) work_dir[0] = 0;
  return result->ok();
}

bool CreateWorkDirInTemp(wchar_t (&work_dir)[kPathCapacity], ExitResult* result) {
  PathBuffer temp;
  const DWORD length = GetTempPathW(kPathCapacity, temp);
  if (length == 0) {
    result->exit_code = kWorkDirUnavailable;
    return false;
  }
  if (length >= kPathCapacity) {
    result->exit_code = kPathTooLong;
    return false;
  }
  const DWORD attributes = GetFileAttributesW(temp);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    CreateDirectoryW(temp, nullptr);
  }
  return CreateUniqueWorkDir(temp, work_dir, result);
}

bool CreateWorkDir(HMODULE module, wchar_t (&work_dir)[kPathCapacity], ExitResult* result) {
  if (CreateWorkDirInTemp(work_dir, result)) return true;
  PathBuffer base;
  const DWORD length = GetModuleFileNameW(module, base, kPathCapacity);
  if (length == 0 || length >= kPathCapacity) return false;  // keeps the temp attempt's code
  size_t cut = length;
  while (cut > 0 && base[cut - 1] != L'\\') --cut;
  if (cut == 0) return false;
  base[cut] = 0;  // keeps the backslash
  return CreateUniqueWorkDir(base, work_dir, result);
}

}  // namespace bootpack
