#include "bp_plug_image.h"

#include "bp_pe_image.h"
#include "bp_scoped_handle.h"

namespace bootpack {
namespace {

constexpr uint64_t kFourGiB = 0x100000000ULL;
// Offsets of the fields read, from e_lfanew and within a section header.
constexpr uint32_t kLfanewOffset = 0x3C;
constexpr uint32_t kNumberOfSectionsOffset = 6;
constexpr uint32_t kSizeOfOptionalHeaderOffset = 20;
constexpr uint32_t kMagicOffset = 24;
constexpr uint32_t kSizeOfRawDataOffset = 16;
constexpr uint32_t kPointerToRawDataOffset = 20;
constexpr uint32_t kNameSize = 8;

bool SameText(const wchar_t* a, const wchar_t* b) {
  size_t i = 0;
  for (; a[i] != 0 && b[i] != 0; ++i) {
    if (a[i] != b[i]) return false;
  }
  return a[i] == b[i];
}

}  // namespace

bool PlugImage::Open(const wchar_t* path) {
  Close();
  if (path == nullptr) return false;
  ScopedHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) return false;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file.Get(), &size) || size.QuadPart < kDosHeaderSize ||
      static_cast<uint64_t>(size.QuadPart) >= kFourGiB) {
    return false;
  }
  // The view keeps the mapping alive once both handles are closed.
  ScopedHandle mapping(CreateFileMappingW(file.Get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
  if (!mapping.IsValid()) return false;
  mapped_ = MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size.QuadPart));
  if (mapped_ == nullptr) return false;
  file_ = ByteView(mapped_, static_cast<uint32_t>(size.QuadPart));
  if (!CheckHeaders()) {
    Close();
    return false;
  }
  return true;
}

bool PlugImage::OpenMemory(const void* data, uint64_t size) {
  Close();
  if (data == nullptr || size >= kFourGiB) return false;
  file_ = ByteView(data, static_cast<uint32_t>(size));
  if (!CheckHeaders()) {
    Close();
    return false;
  }
  return true;
}

void PlugImage::Close() {
  if (mapped_ != nullptr) UnmapViewOfFile(mapped_);
  mapped_ = nullptr;
  file_ = ByteView();
  table_ = 0;
  count_ = 0;
}

bool PlugImage::CheckHeaders() {
  uint16_t mz = 0, sections = 0, magic = 0, optional_size = 0;
  uint32_t nt = 0, signature = 0;
  if (!file_.ReadU16(0, &mz) || mz != IMAGE_DOS_SIGNATURE || !file_.ReadU32(kLfanewOffset, &nt) ||
      nt < kDosHeaderSize || !file_.Contains(nt, kNtHeadersSize) ||
      !file_.ReadU32(nt, &signature) || signature != IMAGE_NT_SIGNATURE ||
      !file_.ReadU16(nt + kMagicOffset, &magic) || magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC ||
      // The table is taken to follow the standard 240-byte optional header.
      !file_.ReadU16(nt + kSizeOfOptionalHeaderOffset, &optional_size) ||
      optional_size != sizeof(IMAGE_OPTIONAL_HEADER64) ||
      !file_.ReadU16(nt + kNumberOfSectionsOffset, &sections) || sections == 0 ||
      sections > kMaxSections ||
      !file_.Contains(nt + kNtHeadersSize, sections * kSectionHeaderSize)) {
    return false;
  }
  table_ = nt + kNtHeadersSize;
  count_ = sections;
  return true;
}

bool PlugImage::FindSection(const wchar_t* name, uint32_t* index) const {
  if (name == nullptr) return false;
  for (uint32_t i = 0; i < count_; ++i) {
    const ByteView field = file_.Slice(table_ + i * kSectionHeaderSize, kNameSize);
    if (field.empty()) return false;
    // A name of exactly 8 bytes has no NUL in its field.
    int length = 0;
    while (length < static_cast<int>(kNameSize) && field.data()[length] != 0) ++length;
    wchar_t wide[kNameSize + 1];
    if (Utf8ToWide(reinterpret_cast<const char*>(field.data()), length, wide, kNameSize + 1) ==
        nullptr) {
      continue;
    }
    if (SameText(wide, name)) {
      if (index != nullptr) *index = i;
      return true;
    }
  }
  return false;
}

ByteView PlugImage::SectionBytes(uint32_t index) const {
  if (index >= count_) return ByteView();
  const uint32_t header = table_ + index * kSectionHeaderSize;
  uint32_t raw = 0, pointer = 0;
  if (!file_.ReadU32(header + kSizeOfRawDataOffset, &raw) ||
      !file_.ReadU32(header + kPointerToRawDataOffset, &pointer)) {
    return ByteView();
  }
  return file_.Slice(pointer, raw);
}

}  // namespace bootpack
