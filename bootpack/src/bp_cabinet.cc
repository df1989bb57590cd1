#include "bp_cabinet.h"

#include <windows.h>

#include <fdi.h>

#include "bp_output_file.h"
#include "bp_text.h"

namespace bootpack {
namespace {

using FdiCreateFn = HFDI(DIAMONDAPI*)(PFNALLOC, PFNFREE, PFNOPEN, PFNREAD, PFNWRITE, PFNCLOSE,
                                      PFNSEEK, int, PERF);
using FdiCopyFn = BOOL(DIAMONDAPI*)(HFDI, char*, char*, int, PFNFDINOTIFY, PFNFDIDECRYPT, void*);
using FdiDestroyFn = BOOL(DIAMONDAPI*)(HFDI);

// Open flags the decoder passes (the C runtime's _O_* values).
constexpr int kOpenWriteOnly = 0x0001;
constexpr int kOpenReadWrite = 0x0002;
constexpr int kOpenCreate = 0x0100;

// Loaded once and kept for the life of the process.
HMODULE g_cabinet_module = nullptr;

const wchar_t* const kCabinetCandidates[] = {
    L"%WINDIR%\\system32\\cabinet.dll",
    L"%SYSTEMROOT%\\system32\\cabinet.dll",
    L"C:\\Windows\\system32\\cabinet.dll",
};

struct CabinetTarget {
  const wchar_t* destination;
  OutputFile file;
  bool done = false;
  bool started = false;  // a first entry was handed to the decoder
};

// Through void(*)() so the cast between function types is explicit.
template <typename Fn>
Fn BindFunction(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

bool LoadCabinetLibrary() {
  if (g_cabinet_module == nullptr) g_cabinet_module = LoadCabinetCandidate(nullptr);
  return g_cabinet_module != nullptr;
}

void* DIAMONDAPI CabAlloc(ULONG size) { return HeapAlloc(GetProcessHeap(), 0, size); }

void DIAMONDAPI CabFree(void* block) { HeapFree(GetProcessHeap(), 0, block); }

INT_PTR DIAMONDAPI CabOpen(char* path, int flags, int /*mode*/) {
  wchar_t* wide = Utf8ToWide(path, -1, nullptr, 0);
  if (wide == nullptr) return -1;
  DWORD access = GENERIC_READ;
  if (flags & kOpenReadWrite) {
    access = GENERIC_READ | GENERIC_WRITE;
  } else if (flags & kOpenWriteOnly) {
    access = GENERIC_WRITE;
  }
  const DWORD disposition = (flags & kOpenCreate) ? CREATE_ALWAYS : OPEN_EXISTING;
  HANDLE file = CreateFileW(wide, access, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  HeapFree(GetProcessHeap(), 0, wide);
  return file == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<INT_PTR>(file);
}

UINT DIAMONDAPI CabRead(INT_PTR handle, void* buffer, UINT count) {
  DWORD read = 0;
  if (!ReadFile(reinterpret_cast<HANDLE>(handle), buffer, count, &read, nullptr)) {
    return static_cast<UINT>(-1);
  }
  return read;
}

UINT DIAMONDAPI CabWrite(INT_PTR handle, void* buffer, UINT count) {
  DWORD written = 0;
  if (!WriteFile(reinterpret_cast<HANDLE>(handle), buffer, count, &written, nullptr)) {
    return static_cast<UINT>(-1);
  }
  return written;
}

int DIAMONDAPI CabClose(INT_PTR handle) {
  return CloseHandle(reinterpret_cast<HANDLE>(handle)) ? 0 : -1;
}

LONG DIAMONDAPI CabSeek(INT_PTR handle, LONG distance, int origin) {
  return static_cast<LONG>(
      SetFilePointer(reinterpret_cast<HANDLE>(handle), distance, nullptr, origin));
}

void ApplyEntryInfo(const FDINOTIFICATION* note) {
  FILE_BASIC_INFO info;
  FillBytes(&info, 0, sizeof(info));
  FILETIME local;
  FILETIME utc;
  if (DosDateTimeToFileTime(note->date, note->time, &local) &&
      LocalFileTimeToFileTime(&local, &utc)) {
    info.CreationTime.LowPart = utc.dwLowDateTime;
    info.CreationTime.HighPart = static_cast<LONG>(utc.dwHighDateTime);
  }
  info.FileAttributes = note->attribs & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                         FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
  SetFileInformationByHandle(reinterpret_cast<HANDLE>(note->hf), FileBasicInfo, &info,
                             sizeof(info));
}

INT_PTR DIAMONDAPI CabNotify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION note) {
  CabinetTarget* target = static_cast<CabinetTarget*>(note->pv);
  switch (type) {
    case fdintCABINET_INFO:
    case fdintENUMERATE:
      return 0;
    case fdintCOPY_FILE: {
      // One destination: a second entry would replace the setup program.
      if (target->started) return 0;
      target->started = true;
      target->done = false;
      if (!target->file.Open(target->destination)) return -1;
      HANDLE copy = target->file.Duplicate();
      return copy == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<INT_PTR>(copy);
    }
    case fdintCLOSE_FILE_INFO:
      ApplyEntryInfo(note);
      CloseHandle(reinterpret_cast<HANDLE>(note->hf));
      target->done = true;
      return TRUE;
    default:  // partial file, next cabinet and anything unknown abort
      return -1;
  }
}

}  // namespace

HMODULE LoadCabinetCandidate(size_t* candidate) {
  for (size_t i = 0; i < sizeof(kCabinetCandidates) / sizeof(kCabinetCandidates[0]); ++i) {
    PathBuffer path;
    const DWORD length = ExpandEnvironmentStringsW(kCabinetCandidates[i], path, kPathCapacity);
    if (length < 1 || length > kPathCapacity) continue;
    HMODULE module = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module != nullptr) {
      if (candidate != nullptr) *candidate = i;
      return module;
    }
  }
  return nullptr;
}

bool ExpandCabinet(const wchar_t* cabinet_path, const wchar_t* destination) {
  if (!LoadCabinetLibrary()) return false;
  auto fdi_create = BindFunction<FdiCreateFn>(g_cabinet_module, "FDICreate");
  auto fdi_destroy = BindFunction<FdiDestroyFn>(g_cabinet_module, "FDIDestroy");
  auto fdi_copy = BindFunction<FdiCopyFn>(g_cabinet_module, "FDICopy");
  if (fdi_create == nullptr || fdi_destroy == nullptr || fdi_copy == nullptr) return false;

  const size_t length = BoundedLength(cabinet_path, 0x7FFF);
  size_t slash = length;
  while (slash > 0 && cabinet_path[slash - 1] != L'\\') --slash;
  if (slash <= 1) return false;  // no backslash, or only a leading one

  char* name = WideToUtf8(cabinet_path + slash, -1, nullptr, 0);
  if (name == nullptr) return false;
  char* directory = WideToUtf8(cabinet_path, static_cast<int>(slash), nullptr, 0);
  if (directory == nullptr) {
    HeapFree(GetProcessHeap(), 0, name);
    return false;
  }

  CabinetTarget target;
  target.destination = destination;
  ERF error;
  FillBytes(&error, 0, sizeof(error));
  bool copied = false;
  HFDI context = fdi_create(CabAlloc, CabFree, CabOpen, CabRead, CabWrite, CabClose, CabSeek,
                            cpuUNKNOWN, &error);
  if (context != nullptr) {
    // The decoder still sends the close notification for a truncated or
    // spanned cabinet, so its own verdict is required as well.
    copied = fdi_copy(context, name, directory, 0, CabNotify, nullptr, &target) != FALSE;
    fdi_destroy(context);
  }
  const bool complete = copied && target.done;
  if (!complete && target.file.IsOpen()) target.file.MarkDeleteOnClose();
  target.file.Close();
  HeapFree(GetProcessHeap(), 0, name);
  HeapFree(GetProcessHeap(), 0, directory);
  return complete;
}

}  // namespace bootpack
