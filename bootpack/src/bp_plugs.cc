#include "bp_plugs.h"

#include <shlwapi.h>

#include "bp_payload.h"
#include "bp_plug_format.h"
#include "bp_scoped_handle.h"
#include "bp_setup_launch.h"

namespace bootpack {
namespace {

constexpr wchar_t kListSection[] = L"plugs";
constexpr wchar_t kListKey[] = L"list";
constexpr uint64_t kFourGiB = 0x100000000ULL;

// One value of a profile file. The profile functions cut a value silently at
// the buffer's end, and a cut path or name would name something else, so the
// value is read with one spare unit and refused when it does not fit.
template <size_t N>
bool ReadProfileText(const wchar_t* section, const wchar_t* key, const wchar_t* file,
                     wchar_t (&out)[N]) {
  wchar_t value[N + 1];
  const DWORD n = GetPrivateProfileStringW(section, key, L"", value, N + 1, file);
  if (n >= N) {
    out[0] = 0;
    return false;
  }
  value[n] = 0;
  return BoundedCopy(out, value);
}

// Calls f(name, units) for every name of a list that a "," follows; text
// after the last comma is not a name.
template <typename F>
void ForEachListedName(const wchar_t* list, F f) {
  const wchar_t* name = list;
  for (const wchar_t* p = list; *p != 0; ++p) {
    if (*p == L',') {
      f(name, static_cast<size_t>(p - name));
      name = p + 1;
    }
  }
}

// `units` units of text as a NUL-terminated copy; false when it does not fit.
bool CopySlice(wchar_t (&out)[kPathCapacity], const wchar_t* text, size_t units) {
  out[0] = 0;
  return units < kPathCapacity && BoundedAppendUnits(out, kPathCapacity, text, units) &&
         BoundedLength(out) == units;
}

// How many more section headers the image can take.
uint32_t SectionRoom(const PeImage& image) {
  const uint32_t count = image.SectionCount();
  if (count >= kMaxSections) return 0;
  const uint64_t table_end =
      static_cast<uint64_t>(static_cast<uint32_t>(image.DosHeader().e_lfanew)) + kNtHeadersSize +
      static_cast<uint64_t>(count) * kSectionHeaderSize;
  const uint64_t headers = image.NtHeaders().OptionalHeader.SizeOfHeaders;
  if (table_end >= headers) return 0;
  const uint64_t fit = (headers - table_end) / kSectionHeaderSize;
  return fit < kMaxSections - count ? static_cast<uint32_t>(fit) : kMaxSections - count;
}

// Reads the whole file into `out`; false when it does not deliver `size`
// bytes (it shrank, or a read failed).
bool ReadWholeFile(HANDLE file, uint8_t* out, uint32_t size) {
  uint32_t done = 0;
  while (done < size) {
    const uint32_t left = size - done;
    const DWORD chunk = left < kWriteChunk ? left : kWriteChunk;
    DWORD got = 0;
    if (!ReadFile(file, out + done, chunk, &got, nullptr) || got == 0) return false;
    done += got;
  }
  return true;
}

const wchar_t* Flag(uint32_t value) { return value == 1 ? L"1" : L"0"; }

// The keys of one plug, in their order, as one section text ("key=value"
// entries each ending in a NUL, then one more NUL): a single profile call per
// plug, where each key on its own would rewrite the whole file.
class SectionText {
 public:
  bool Add(const wchar_t* key, const wchar_t* value) {
    return Put(key) && Put(L"=") && Put(value) && PutUnit(0);
  }
  const wchar_t* Finish() { return PutUnit(0) ? text_ : nullptr; }

 private:
  bool PutUnit(wchar_t c) {
    if (used_ >= kCapacity) return false;
    text_[used_++] = c;
    return true;
  }
  bool Put(const wchar_t* text) {
    for (; *text != 0; ++text) {
      if (!PutUnit(*text)) return false;
    }
    return true;
  }

  // Seven keys with their values: three texts and a path of at most 259
  // units each, the item name, and the flags.
  static constexpr size_t kCapacity = 8 * kPlugTextCapacity;
  wchar_t text_[kCapacity];
  size_t used_ = 0;
};

bool WritePlugProfile(const wchar_t* section, const PlugRecord& record, const wchar_t* file,
                      const wchar_t* ini_path) {
  SectionText text;
  if (!text.Add(L"name", record.name) || !text.Add(L"file", file) ||
      !text.Add(L"cmd", record.cmd) || !text.Add(L"state", Flag(record.state)) ||
      !text.Add(L"check", record.check) || !text.Add(L"display", Flag(record.display)) ||
      !text.Add(L"admin", Flag(record.admin))) {
    return false;
  }
  const wchar_t* keys = text.Finish();
  return keys != nullptr && WritePrivateProfileSectionW(section, keys, ini_path);
}

// A path that names a file directly inside `dir` (which ends in "\").
bool IsDirectlyInside(const wchar_t* path, const wchar_t* dir, size_t dir_units) {
  for (size_t i = 0; i < dir_units; ++i) {
    if (FoldAscii(path[i]) != FoldAscii(dir[i])) return false;  // also stops at path's NUL
  }
  return IsPlugFileName(path + dir_units, L"");
}

}  // namespace

bool BuildPluggedOutputPath(const wchar_t* own_path, const wchar_t* list,
                            wchar_t (&output)[kPathCapacity]) {
  output[0] = 0;
  if (!IsPlainFileNamePiece(list, BoundedLength(list, kPlugListCapacity)) ||
      !BoundedCopy(output, own_path)) {
    output[0] = 0;
    return false;
  }
  const size_t own = BoundedLength(output);
  BoundedAppend(output, L"_");
  BoundedAppend(output, list);
  BoundedAppend(output, L".exe");
  if (BoundedLength(output) == own) {
    output[0] = 0;
    return false;
  }
  return true;
}

void AddPlugSection(PeImage* image, const wchar_t* item, size_t units, const wchar_t* section_name,
                    const wchar_t* description) {
  PlugRecord record;
  PathBuffer item_name;
  // The item is both a profile section of the description and the record's
  // name field; one that does not fit the field is left out.
  if (units == 0 || units >= kPlugTextCapacity || !CopySlice(item_name, item, units) ||
      !BoundedCopy(record.name, item_name)) {
    return;
  }
  PathBuffer file_path;
  if (!ReadProfileText(item_name, L"file", description, file_path) || file_path[0] == 0) return;
  if (!ReadProfileText(item_name, L"cmd", description, record.cmd) ||
      !ReadProfileText(item_name, L"check", description, record.check)) {
    return;
  }
  record.display = GetPrivateProfileIntW(item_name, L"display", 1, description);
  record.admin = GetPrivateProfileIntW(item_name, L"admin", 0, description);
  record.state = GetPrivateProfileIntW(item_name, L"state", 0, description);
  // Longer extensions do not fit the record; names the install would refuse
  // (the tenth item is "plu:") are not worth a section.
  if (!BoundedCopy(record.extension, PathFindExtensionW(file_path)) ||
      !IsPlugFileName(section_name, record.extension)) {
    return;
  }
  if (SectionRoom(*image) < 2) return;

  ScopedHandle file(CreateFileW(file_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) return;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file.Get(), &size) || size.QuadPart <= 0 ||
      static_cast<uint64_t>(size.QuadPart) + kPlugHeaderSize >= kFourGiB) {
    return;
  }
  const uint32_t data_size = static_cast<uint32_t>(size.QuadPart);
  if (image->AddSection(section_name, kPlugHeaderSize + static_cast<uint64_t>(data_size)) ==
      nullptr) {
    return;
  }
  uint8_t* block = image->SectionBlock(image->SectionCount() - 1);
  // The header goes in only once the bytes are there: a file that shrank
  // leaves a record of size 0, which the install skips.
  if (ReadWholeFile(file.Get(), block + kPlugHeaderSize, data_size)) {
    WritePlugHeader(block, record, data_size);
  } else {
    FillBytes(block, 0, image->SectionBlockSize(image->SectionCount() - 1));
  }
}

void AddPlugSections(PeImage* image, const wchar_t* description, const wchar_t* list) {
  PlugListBuffer names;
  names[0] = 0;
  wchar_t section_name[] = L"plu1";
  const wchar_t* item = list;
  for (;;) {
    const wchar_t* end = item;
    while (*end != 0 && *end != L',') ++end;
    // Name and comma go in together, so every name in the list is followed
    // by its comma; an item left out of the list is not packed either, as
    // the install would never look for it.
    wchar_t entry[] = {section_name[0], section_name[1], section_name[2], section_name[3], L',', 0};
    if (BoundedAppend(names, entry)) {
      AddPlugSection(image, item, static_cast<size_t>(end - item), section_name, description);
    }
    ++section_name[3];
    if (*end == 0) break;
    item = end + 1;
  }
  const size_t units = BoundedLength(names);
  if (units == 0) return;
  if (image->AddSection(kPlugListSectionName, PlugListSectionSize(units)) == nullptr) return;
  WritePlugList(image->SectionBlock(image->SectionCount() - 1), names, units);
}

ExitResult BuildPluggedInstaller(const InstallerConfig& config, HMODULE module) {
  // The profile functions look for a relative name in the Windows directory,
  // not in the current one.
  PathBuffer description;
  const DWORD n = GetFullPathNameW(config.plugs_ini_path, kPathCapacity, description, nullptr);
  if (n == 0 || n >= kPathCapacity) return ExitResult();
  PlugListBuffer list;
  if (!ReadProfileText(kListSection, kListKey, description, list) || list[0] == 0) {
    return ExitResult();
  }
  PathBuffer own_path;
  const DWORD own = GetModuleFileNameW(module, own_path, kPathCapacity);
  if (own == 0 || own >= kPathCapacity) return ExitResult();
  PathBuffer output;
  if (!BuildPluggedOutputPath(own_path, list, output)) return ExitResult();
  PeImage image;
  if (!image.Load(own_path)) return ExitResult();
  AddPlugSections(&image, description, list);
  image.Save(output);
  return ExitResult();
}

bool ExtractPlug(const PlugImage& image, const wchar_t* name, size_t units, const wchar_t* ini_path,
                 const wchar_t* work_dir) {
  PathBuffer section_name;
  uint32_t index = 0;
  if (!CopySlice(section_name, name, units) || !IsPlugName(section_name) ||
      lstrcmpW(section_name, kPlugListSectionName) == 0 ||
      !image.FindSection(section_name, &index)) {
    return false;
  }
  PlugRecord record;
  if (!ParsePlugRecord(image.SectionBytes(index), &record) ||
      !IsPlugFileName(section_name, record.extension)) {
    return false;
  }
  PathBuffer path;
  if (!BoundedCopy(path, work_dir) || !BoundedAppend(path, section_name) ||
      !BoundedAppend(path, record.extension)) {
    return false;
  }
  // Never replaces what is already there: the setup program, the payload,
  // plugs.ini or a plug listed twice.
  if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES ||
      GetLastError() != ERROR_FILE_NOT_FOUND) {
    return false;
  }
  if (!WriteBufferToFile(path, record.data.data(), record.data.size())) return false;
  if (!WritePlugProfile(section_name, record, path, ini_path)) {
    WritePrivateProfileStringW(section_name, nullptr, nullptr, ini_path);
    DeleteWithRetry(path);
    return false;
  }
  return true;
}

bool ExtractPlugsFromImage(const PlugImage& image, const wchar_t* work_dir,
                           wchar_t (&ini_path)[kPathCapacity]) {
  ini_path[0] = 0;
  uint32_t index = 0;
  PlugListBuffer list;
  PathBuffer ini;
  if (!image.FindSection(kPlugListSectionName, &index) ||
      !ParsePlugList(image.SectionBytes(index), list) || !BoundedCopy(ini, work_dir) ||
      !BoundedAppend(ini, kPlugsIniName)) {
    return false;
  }
  // The profile functions write a new file in the ANSI code page, which
  // loses the paths of a work directory outside it; a file that starts with
  // a byte-order mark is kept in UTF-16.
  static const uint8_t kUtf16Bom[] = {0xFF, 0xFE};
  if (!WriteBufferToFile(ini, kUtf16Bom, sizeof(kUtf16Bom))) return false;
  ForEachListedName(list, [&](const wchar_t* name, size_t units) {
    ExtractPlug(image, name, units, ini, work_dir);
  });
  if (!WritePrivateProfileStringW(kListSection, kListKey, list, ini)) {
    // Without the list cleanup would find none of the plugs.
    DeleteListedPlugs(ini, list);
    DeleteWithRetry(ini);
    return false;
  }
  BoundedCopy(ini_path, ini);
  return true;
}

void ExtractPlugs(InstallerConfig* config, HMODULE module, const wchar_t* work_dir) {
  PathBuffer own_path;
  const DWORD n = GetModuleFileNameW(module, own_path, kPathCapacity);
  if (n == 0 || n >= kPathCapacity) return;
  PlugImage image;
  if (!image.Open(own_path)) return;
  if (ExtractPlugsFromImage(image, work_dir, config->plugs_ini_storage)) {
    config->plugs_ini_path = config->plugs_ini_storage;
  }
}

void DeleteListedPlugs(const wchar_t* ini_path, const wchar_t* list) {
  // The folder of plugs.ini is the work directory; the setup program may
  // have rewritten the file, so its paths are checked, not trusted.
  size_t dir_units = 0;
  for (size_t i = 0; ini_path[i] != 0; ++i) {
    if (ini_path[i] == L'\\') dir_units = i + 1;
  }
  if (dir_units == 0) return;
  ForEachListedName(list, [&](const wchar_t* name, size_t units) {
    PathBuffer section;
    PathBuffer file;
    if (!CopySlice(section, name, units) || section[0] == 0 ||
        !ReadProfileText(section, L"file", ini_path, file) ||
        !IsDirectlyInside(file, ini_path, dir_units) || EqualsNoCase(file, ini_path)) {
      return;
    }
    const DWORD attributes = GetFileAttributesW(file);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return;
    }
    DeleteWithRetry(file);
  });
}

void DeleteExtractedPlugs(const InstallerConfig& config) {
  if (config.plugs_ini_path == nullptr || config.plugs_ini_path[0] == 0) return;
  // Read with the room the list had when it was written: a shorter buffer
  // would cut it and leave the plugs of the cut-off part behind.
  PlugListBuffer list;
  GetPrivateProfileStringW(kListSection, kListKey, L"", list, kPlugListCapacity,
                           config.plugs_ini_path);
  DeleteListedPlugs(config.plugs_ini_path, list);
  DeleteWithRetry(config.plugs_ini_path);
}

}  // namespace bootpack
